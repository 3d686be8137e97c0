// Reading one flat JSON object per line (the requests of `zelkovd-host machine`): members whose
// values are strings, numbers, booleans or null. Nested values are kept as raw text.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zvhost {

struct JsonValue {
    enum Kind { String, Number, Bool, Null, Raw } kind = Null;
    std::string text;     // decoded string, or the literal text of other kinds
    bool flag = false;
};

class JsonObject {
public:
    // False (with *error) when the line is not one JSON object.
    bool Parse(const std::string& line, std::string* error);
    bool Has(const std::string& key) const { return members_.count(key) != 0; }
    const JsonValue* Get(const std::string& key) const {
        auto it = members_.find(key);
        return it == members_.end() ? nullptr : &it->second;
    }
    // The member as a string (only string values).
    bool GetString(const std::string& key, std::string* out) const;
    // The member as an unsigned integer: a JSON number, or a string in decimal or 0x-hex.
    bool GetU64(const std::string& key, uint64_t* out) const;
    // The raw JSON text of a member (to echo "id" as it came).
    std::string RawText(const std::string& key) const;

private:
    std::map<std::string, JsonValue> members_;
    std::map<std::string, std::string> raw_;
};

}  // namespace zvhost
