#include "ConfigText.h"

#include <cstdint>

#include "Json.h"
#include "Text.h"

namespace {

// ASCII-only case folding, as the C locale does: the prefixes we look for are plain ASCII.
bool StartsWithNoCase(const std::wstring& s, const wchar_t* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= s.size()) return false;
    wchar_t a = s[i], b = prefix[i];
    if (a >= L'A' && a <= L'Z') a = (wchar_t)(a - L'A' + L'a');
    if (b >= L'A' && b <= L'Z') b = (wchar_t)(b - L'A' + L'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

int ParseLeadingInt(const std::wstring& s) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) { neg = s[i] == L'-'; ++i; }
  long long v = 0;
  for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
    v = v * 10 + (s[i] - L'0');
    if (v > 0x7FFFFFFFLL) v = 0x80000000LL;  // saturate
  }
  if (neg) v = -v;
  if (v > 0x7FFFFFFFLL) v = 0x7FFFFFFFLL;
  if (v < -0x80000000LL) v = -0x80000000LL;
  return (int)v;
}

void ParseServerUrl(const std::wstring& url, std::wstring& host, int& port) {
  host = L"127.0.0.1";
  port = kDefaultApiPort;
  std::wstring rest = url;
  if (StartsWithNoCase(rest, L"http://")) rest = rest.substr(7);
  else if (StartsWithNoCase(rest, L"https://")) rest = rest.substr(8);
  std::wstring authority = rest.substr(0, rest.find(L'/'));
  size_t colon = authority.find(L':');
  if (colon != std::wstring::npos) {
    host = authority.substr(0, colon);
    std::wstring p = authority.substr(colon + 1);
    if (!p.empty()) port = ParseLeadingInt(p);
  } else if (!authority.empty()) {
    host = authority;
  }
}

ClientConfig ParseClientConfig(const std::string& doc) {
  ClientConfig cfg;
  std::string url, ip;
  int32_t n;
  if (JsonGetString(doc, "server_url", url) && !url.empty()) {
    cfg.serverUrl = Utf8ToWide(url);
    ParseServerUrl(cfg.serverUrl, cfg.serverHost, cfg.port);
  } else if (JsonGetString(doc, "serverIp", ip) && !ip.empty()) {
    cfg.serverHost = Utf8ToWide(ip);
    if (JsonGetInt(doc, "serverPort", n) && n > 0) cfg.port = n;
    cfg.serverUrl = L"http://" + cfg.serverHost + L":" + std::to_wstring(cfg.port);
  }
  if (JsonGetInt(doc, "timeout_sec", n) && n > 0) cfg.timeoutSec = n;
  else if (JsonGetInt(doc, "timeoutSec", n) && n > 0) cfg.timeoutSec = n;
  if (JsonGetInt(doc, "auto_refresh_sec", n) && n > 0) cfg.refreshSec = n;
  else if (JsonGetInt(doc, "autoRefreshSec", n) && n > 0) cfg.refreshSec = n;
  return cfg;
}

HotelServerConfig ParseHotelServerConfig(const std::string& doc) {
  HotelServerConfig cfg;
  std::string s;
  if (JsonGetString(doc, "ServerIp", s) && !s.empty()) cfg.serverHost = Utf8ToWide(s);
  // A plain text search, as older installers wrote this file by hand: spaces, tabs and colons
  // may follow the key, a line break may not.
  size_t pos = doc.find("\"ApiPort\"");
  if (pos != std::string::npos) {
    size_t i = pos + 9;
    while (i < doc.size() && (doc[i] == ' ' || doc[i] == '\t' || doc[i] == ':')) ++i;
    size_t start = i;
    long long v = 0;
    for (; i < doc.size() && doc[i] >= '0' && doc[i] <= '9'; ++i) {
      v = v * 10 + (doc[i] - '0');
      if (v > 0x7FFFFFFF) v = 0x7FFFFFFF;
    }
    if (i > start) cfg.apiPort = (int)v;
  }
  return cfg;
}
