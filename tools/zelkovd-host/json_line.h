// One JSON object per line, built field by field; what every zelkovd-host subcommand prints.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zvhost {

class JsonLine {
public:
    JsonLine& Str(const char* key, const std::string& v) {
        Key(key);
        out_ += '"';
        for (unsigned char c : v) {
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += (char)c;
            } else if (c < 0x20) {
                char b[8];
                snprintf(b, sizeof(b), "\\u%04x", c);
                out_ += b;
            } else {
                out_ += (char)c;
            }
        }
        out_ += '"';
        return *this;
    }
    JsonLine& Num(const char* key, uint64_t v) {
        Key(key);
        out_ += std::to_string(v);
        return *this;
    }
    JsonLine& Bool(const char* key, bool v) {
        Key(key);
        out_ += v ? "true" : "false";
        return *this;
    }
    JsonLine& Status(uint32_t st) {
        char b[16];
        snprintf(b, sizeof(b), "0x%08X", st);
        return Str("status", b);
    }
    // A member whose value is already JSON text (an echoed id, an array, an object).
    JsonLine& Raw(const char* key, const std::string& json) {
        Key(key);
        out_ += json;
        return *this;
    }
    // Appends the fields of another line after this one's.
    JsonLine& Append(const JsonLine& other) {
        if (!other.out_.empty()) {
            if (!out_.empty()) out_ += ',';
            out_ += other.out_;
        }
        return *this;
    }
    std::string Text() const { return "{" + out_ + "}"; }
    void Print(FILE* f = stdout) const {
        fprintf(f, "%s\n", Text().c_str());
        fflush(f);
    }

private:
    void Key(const char* k) {
        if (!out_.empty()) out_ += ',';
        out_ += '"';
        out_ += k;
        out_ += "\":";
    }
    std::string out_;
};

}  // namespace zvhost
