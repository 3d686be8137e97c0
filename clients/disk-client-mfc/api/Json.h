// Key lookups on raw JSON text and the escaping used when we write JSON.
//
// We never build a document tree: the documents are small (a login reply, one page of images, a
// configuration file) and the server's replies are read by a handful of keys, so every lookup
// searches the whole UTF-8 text for "key" followed by a colon. The first such occurrence wins at
// any nesting depth. A lookup that reports "not found" leaves its output untouched, so callers
// preset their defaults (e.g. code = -1).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

bool JsonGetString(const std::string& doc, const char* key, std::string& out);
bool JsonGetBool(const std::string& doc, const char* key, bool& out);
bool JsonGetInt(const std::string& doc, const char* key, int32_t& out);
bool JsonGetInt64(const std::string& doc, const char* key, int64_t& out);
// Each element is the text of one object, "{" through its matching "}" (braces inside string
// values do not count).
std::vector<std::string> JsonGetObjectArray(const std::string& doc, const char* key);

// Unescapes the raw bytes of a string value (without its quotes). \uXXXX escapes, surrogate
// pairs included, become UTF-8; an unpaired surrogate becomes U+FFFD.
std::string JsonUnescape(const std::string& raw);

// A JSON string literal, quotes included, for a UTF-8 value.
std::string JsonQuote(const std::string& utf8);
