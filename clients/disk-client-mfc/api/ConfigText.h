// The contents of the client's two configuration files (config.json, hotel-server.json) and the
// texts the operator types for a server: parsing only, no files, registry or Windows calls, so
// the same code also runs under the fuzzers of the Linux build.
#pragma once
#include <string>

// The management server a fresh installation talks to before anyone configured it: one fixed
// address on the café's private LAN.
#define ZELKO_DEFAULT_SERVER_ADDRESS L"192.168.100.10"
constexpr int kDefaultApiPort = 5000;

struct ClientConfig {
  std::wstring serverUrl = L"http://" ZELKO_DEFAULT_SERVER_ADDRESS L":5000";
  std::wstring serverHost = ZELKO_DEFAULT_SERVER_ADDRESS;
  int port = kDefaultApiPort;
  int timeoutSec = 5;
  int refreshSec = 5;
};

struct HotelServerConfig {
  std::wstring serverHost = L"127.0.0.1";
  int apiPort = kDefaultApiPort;
};

// Leading signed decimal value of a text (optional sign, then digits), saturated to 32 bits;
// 0 when it has no leading digits.
int ParseLeadingInt(const std::wstring& text);

void ParseServerUrl(const std::wstring& url, std::wstring& host, int& port);

// config.json's UTF-8 text; keys that are missing or unusable keep the defaults above.
ClientConfig ParseClientConfig(const std::string& doc);
// hotel-server.json's UTF-8 text, as above.
HotelServerConfig ParseHotelServerConfig(const std::string& doc);
