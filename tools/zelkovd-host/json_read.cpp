// A small reader for the flat JSON objects of the machine runner's requests.
#include "json_read.h"

#include <cerrno>
#include <cstdlib>

namespace zvhost {
namespace {

struct Reader {
    const std::string& s;
    size_t i = 0;
    std::string error;

    void Space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) i++;
    }
    bool Fail(const char* what) {
        if (error.empty()) error = std::string(what) + " at offset " + std::to_string(i);
        return false;
    }
    static void PutUtf8(std::string* out, uint32_t cp) {
        if (cp < 0x80) {
            *out += (char)cp;
        } else if (cp < 0x800) {
            *out += (char)(0xC0 | cp >> 6);
            *out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out += (char)(0xE0 | cp >> 12);
            *out += (char)(0x80 | ((cp >> 6) & 0x3F));
            *out += (char)(0x80 | (cp & 0x3F));
        } else {
            *out += (char)(0xF0 | cp >> 18);
            *out += (char)(0x80 | ((cp >> 12) & 0x3F));
            *out += (char)(0x80 | ((cp >> 6) & 0x3F));
            *out += (char)(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(uint32_t* v) {
        if (i + 4 > s.size()) return Fail("short \\u escape");
        *v = 0;
        for (int k = 0; k < 4; k++) {
            char c = s[i++];
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return Fail("bad \\u escape");
            *v = *v << 4 | (uint32_t)d;
        }
        return true;
    }
    bool String(std::string* out) {
        if (i >= s.size() || s[i] != '"') return Fail("expected a string");
        i++;
        while (i < s.size() && s[i] != '"') {
            char c = s[i++];
            if ((unsigned char)c < 0x20) return Fail("control character in a string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (i >= s.size()) return Fail("bad escape");
            char e = s[i++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                uint32_t cp;
                if (!Hex4(&cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i] == '\\' && s[i + 1] == 'u') {
                    i += 2;
                    uint32_t lo;
                    if (!Hex4(&lo)) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                }
                PutUtf8(out, cp);
                break;
            }
            default: return Fail("bad escape");
            }
        }
        if (i >= s.size()) return Fail("unterminated string");
        i++;
        return true;
    }
    // Skips any value (for nested objects and arrays).
    bool Skip() {
        Space();
        if (i >= s.size()) return Fail("missing value");
        if (s[i] == '"') {
            std::string tmp;
            return String(&tmp);
        }
        if (s[i] == '{' || s[i] == '[') {
            char close = s[i] == '{' ? '}' : ']';
            i++;
            Space();
            if (i < s.size() && s[i] == close) {
                i++;
                return true;
            }
            for (;;) {
                if (close == '}') {
                    std::string k;
                    Space();
                    if (!String(&k)) return false;
                    Space();
                    if (i >= s.size() || s[i] != ':') return Fail("expected ':'");
                    i++;
                }
                if (!Skip()) return false;
                Space();
                if (i < s.size() && s[i] == ',') {
                    i++;
                    continue;
                }
                if (i < s.size() && s[i] == close) {
                    i++;
                    return true;
                }
                return Fail("expected ',' or end of a nested value");
            }
        }
        size_t start = i;
        while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ') i++;
        if (i == start) return Fail("missing value");
        return true;
    }
};

}  // namespace

bool JsonObject::Parse(const std::string& line, std::string* error) {
    members_.clear();
    raw_.clear();
    Reader r{line, 0, std::string()};
    r.Space();
    if (r.i >= line.size() || line[r.i] != '{') {
        *error = "a request is one JSON object";
        return false;
    }
    r.i++;
    r.Space();
    if (r.i < line.size() && line[r.i] == '}') {
        r.i++;
    } else {
        for (;;) {
            r.Space();
            std::string key;
            if (!r.String(&key)) break;
            r.Space();
            if (r.i >= line.size() || line[r.i] != ':') {
                r.Fail("expected ':'");
                break;
            }
            r.i++;
            r.Space();
            size_t start = r.i;
            JsonValue v;
            if (r.i < line.size() && line[r.i] == '"') {
                v.kind = JsonValue::String;
                if (!r.String(&v.text)) break;
            } else {
                if (!r.Skip()) break;
                std::string lit = line.substr(start, r.i - start);
                v.text = lit;
                if (lit == "true" || lit == "false") {
                    v.kind = JsonValue::Bool;
                    v.flag = lit == "true";
                } else if (lit == "null") {
                    v.kind = JsonValue::Null;
                } else if (lit[0] == '{' || lit[0] == '[') {
                    v.kind = JsonValue::Raw;
                } else {
                    char* end = nullptr;
                    strtod(lit.c_str(), &end);
                    if (!end || *end) {
                        r.Fail("bad literal");
                        break;
                    }
                    v.kind = JsonValue::Number;
                }
            }
            raw_[key] = line.substr(start, r.i - start);
            members_[key] = v;
            r.Space();
            if (r.i < line.size() && line[r.i] == ',') {
                r.i++;
                continue;
            }
            if (r.i < line.size() && line[r.i] == '}') {
                r.i++;
                break;
            }
            r.Fail("expected ',' or '}'");
            break;
        }
    }
    if (r.error.empty()) {
        r.Space();
        if (r.i != line.size()) r.Fail("text after the object");
    }
    if (!r.error.empty()) {
        *error = r.error;
        return false;
    }
    return true;
}

bool JsonObject::GetString(const std::string& key, std::string* out) const {
    const JsonValue* v = Get(key);
    if (!v || v->kind != JsonValue::String) return false;
    *out = v->text;
    return true;
}

bool JsonObject::GetU64(const std::string& key, uint64_t* out) const {
    const JsonValue* v = Get(key);
    if (!v || (v->kind != JsonValue::Number && v->kind != JsonValue::String)) return false;
    const std::string& t = v->text;
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
    if (v->kind == JsonValue::Number && t.find_first_of(".eE") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(t.c_str(), &end, (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) ? 16 : 10);
    if (errno || !end || *end) return false;
    *out = x;
    return true;
}

std::string JsonObject::RawText(const std::string& key) const {
    auto it = raw_.find(key);
    return it == raw_.end() ? std::string() : it->second;
}

}  // namespace zvhost
