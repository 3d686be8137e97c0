#include "Json.h"

#include <climits>
#include <cstring>

namespace {

bool IsWs(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t SkipWs(const std::string& d, size_t i) {
  while (i < d.size() && IsWs(d[i])) ++i;
  return i;
}

// Finds the next occurrence of "key" that is followed by a colon, starting the search at `from`.
// Returns the position of the value's first byte (after the colon and whitespace) in `value`
// and the occurrence's start in `occ`; false when there is no such occurrence or the document
// ends right after the colon.
bool FindKey(const std::string& d, const char* key, size_t from, size_t& occ, size_t& value) {
  std::string needle = std::string("\"") + key + "\"";
  size_t pos = from;
  while ((pos = d.find(needle, pos)) != std::string::npos) {
    size_t i = SkipWs(d, pos + needle.size());
    if (i < d.size() && d[i] == ':') {
      i = SkipWs(d, i + 1);
      if (i >= d.size()) return false;
      occ = pos;
      value = i;
      return true;
    }
    pos += 1;
  }
  return false;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += (char)cp;
  } else if (cp < 0x800) {
    out += (char)(0xC0 | (cp >> 6));
    out += (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += (char)(0xE0 | (cp >> 12));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  } else {
    out += (char)(0xF0 | (cp >> 18));
    out += (char)(0x80 | ((cp >> 12) & 0x3F));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  }
}

// Reads four hexadecimal digits at raw[i]; false when they are not all there.
bool Hex4(const std::string& raw, size_t i, uint32_t& v) {
  if (i + 4 > raw.size()) return false;
  v = 0;
  for (size_t k = 0; k < 4; ++k) {
    char c = raw[i + k];
    v <<= 4;
    if (c >= '0' && c <= '9') v |= (uint32_t)(c - '0');
    else if (c >= 'a' && c <= 'f') v |= (uint32_t)(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') v |= (uint32_t)(c - 'A' + 10);
    else return false;
  }
  return true;
}

template <typename T>
bool GetInteger(const std::string& d, const char* key, T& out, long long lo, long long hi) {
  size_t occ, i;
  if (!FindKey(d, key, 0, occ, i)) return false;
  bool neg = false;
  if (d[i] == '-') { neg = true; ++i; }
  size_t start = i;
  // Accumulate as a negative magnitude so the most negative value fits; saturate on overflow.
  long long acc = 0;
  bool overflow = false;
  while (i < d.size() && d[i] >= '0' && d[i] <= '9') {
    int digit = d[i] - '0';
    if (!overflow) {
      if (acc < (LLONG_MIN + digit) / 10) overflow = true;
      else acc = acc * 10 - digit;
    }
    ++i;
  }
  if (i == start) return false;
  long long v;
  if (neg) v = overflow ? LLONG_MIN : acc;
  else v = (overflow || acc == LLONG_MIN) ? LLONG_MAX : -acc;
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  out = (T)v;
  return true;
}

}  // namespace

std::string JsonUnescape(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c != '\\' || i + 1 >= raw.size()) {
      out += c;
      continue;
    }
    char e = raw[++i];
    switch (e) {
      case '"': out += '"'; break;
      case '/': out += '/'; break;
      case '\\': out += '\\'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        uint32_t cp;
        if (!Hex4(raw, i + 1, cp)) {  // not a \u escape after all: keep the letter
          out += 'u';
          break;
        }
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          uint32_t lo;
          if (i + 2 < raw.size() && raw[i + 1] == '\\' && raw[i + 2] == 'u' &&
              Hex4(raw, i + 3, lo) && lo >= 0xDC00 && lo <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 6;
          } else {
            cp = 0xFFFD;
          }
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
          cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
        break;
      }
      default: out += e; break;  // unknown escape: drop the backslash
    }
  }
  return out;
}

bool JsonGetString(const std::string& d, const char* key, std::string& out) {
  size_t occ, i;
  if (!FindKey(d, key, 0, occ, i)) return false;
  if (d[i] != '"') return false;
  std::string raw;
  for (++i; i < d.size(); ++i) {
    char c = d[i];
    if (c == '"') break;
    if (c == '\\' && i + 1 < d.size()) {
      raw += c;
      raw += d[++i];
      continue;
    }
    raw += c;
  }
  out = JsonUnescape(raw);
  return true;
}

bool JsonGetBool(const std::string& d, const char* key, bool& out) {
  size_t occ, i;
  if (!FindKey(d, key, 0, occ, i)) return false;
  if (d.size() - i >= 4 && d.compare(i, 4, "true") == 0) { out = true; return true; }
  if (d.size() - i >= 5 && d.compare(i, 5, "false") == 0) { out = false; return true; }
  return false;
}

bool JsonGetInt(const std::string& d, const char* key, int32_t& out) {
  return GetInteger(d, key, out, INT32_MIN, INT32_MAX);
}

bool JsonGetInt64(const std::string& d, const char* key, int64_t& out) {
  return GetInteger(d, key, out, LLONG_MIN, LLONG_MAX);
}

std::vector<std::string> JsonGetObjectArray(const std::string& d, const char* key) {
  std::vector<std::string> items;
  size_t occ, i, from = 0;
  while (FindKey(d, key, from, occ, i)) {
    if (d[i] != '[') {  // not an array: the key may still come later with one
      from = occ + 1;
      continue;
    }
    for (++i; i < d.size();) {
      i = SkipWs(d, i);
      if (i >= d.size() || d[i] == ']') break;
      if (d[i] == ',') { ++i; continue; }
      if (d[i] != '{') { ++i; continue; }
      size_t start = i;
      int depth = 1;
      bool inString = false;
      // Braces inside string values (an image called "win{10}") do not count.
      for (++i; i < d.size() && depth > 0; ++i) {
        char c = d[i];
        if (inString) {
          if (c == '\\') ++i;
          else if (c == '"') inString = false;
        } else if (c == '"') {
          inString = true;
        } else if (c == '{') {
          ++depth;
        } else if (c == '}') {
          --depth;
        }
      }
      if (i > d.size()) i = d.size();
      items.push_back(d.substr(start, i - start));
    }
    return items;
  }
  return items;
}

std::string JsonQuote(const std::string& s) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += (char)c;
        }
    }
  }
  out += '"';
  return out;
}
