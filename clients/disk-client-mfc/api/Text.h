// UTF-8 <-> UTF-16 conversion. The client works in UTF-16 inside and exchanges UTF-8 with the
// management server and its JSON files; both directions use the system's UTF-8 code page with
// no special flags, so an empty input or a failed conversion gives an empty string.
#pragma once
#include <string>

std::wstring Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::wstring& s);
