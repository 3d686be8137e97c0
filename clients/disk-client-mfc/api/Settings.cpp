#include "Settings.h"

#include <cstdio>

#include "Json.h"
#include "Text.h"

const wchar_t* g_driverParametersKey = L"SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters";
decltype(&RegCreateKeyExW) g_regCreateKeyExW = RegCreateKeyExW;

AppSettings& Settings() {
  static AppSettings s;
  return s;
}

void SetAllHttpTimeouts(int ms) {
  Settings().httpConnectTimeoutMs = ms;
  Settings().httpSendTimeoutMs = ms;
  Settings().httpReceiveTimeoutMs = ms;
}

std::wstring GetExeDirectory() {
  wchar_t buf[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring path(buf, n < MAX_PATH ? n : MAX_PATH);
  size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return path;
  return path.substr(0, cut + 1);
}

std::wstring ConfigFilePath(const wchar_t* name) {
  std::wstring p = Settings().exeDir;
  if (p.empty() || (p.back() != L'\\' && p.back() != L'/')) p += L'\\';
  return p + name;
}

namespace {

bool ReadWholeFile(const std::wstring& path, std::string& out) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return true;
}

// Written in one piece after the text is complete, so a failure to open leaves the old file.
void WriteWholeFile(const std::wstring& path, const std::string& text) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

}  // namespace

ClientConfig LoadClientConfig() {
  std::string doc;
  if (!ReadWholeFile(ConfigFilePath(L"config.json"), doc)) return ClientConfig();
  return ParseClientConfig(doc);
}

void SaveClientConfig(const ClientConfig& cfg) {
  std::string text = "{\n";
  text += "  \"server_url\": " + JsonQuote(WideToUtf8(cfg.serverUrl)) + ",\n";
  text += "  \"timeout_sec\": " + std::to_string(cfg.timeoutSec) + ",\n";
  text += "  \"auto_refresh_sec\": " + std::to_string(cfg.refreshSec) + "\n";
  text += "}\n";
  WriteWholeFile(ConfigFilePath(L"config.json"), text);
  WriteDriverParameters(cfg.serverHost, cfg.port);
}

HotelServerConfig LoadHotelServerConfig() {
  std::string doc;
  if (!ReadWholeFile(ConfigFilePath(L"hotel-server.json"), doc)) return HotelServerConfig();
  return ParseHotelServerConfig(doc);
}

void SaveHotelServerConfig(const std::wstring& host, int port) {
  std::string text = "{\n";
  text += "  \"ServerIp\": " + JsonQuote(WideToUtf8(host)) + ",\n";
  text += "  \"ApiPort\": " + std::to_string(port) + ",\n";
  text += "  \"ApiBaseUrl\": \"\",\n";
  text += "  \"HubUrl\": \"\"\n";
  text += "}\n";
  WriteWholeFile(ConfigFilePath(L"hotel-server.json"), text);
  WriteDriverParameters(host, port);
}

void WriteDriverParameters(const std::wstring& host, int port) {
  HKEY key = nullptr;
  if (g_regCreateKeyExW(HKEY_LOCAL_MACHINE, g_driverParametersKey, 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    return;  // no administrator rights: the driver keeps its previous parameters
  auto setSz = [&](const wchar_t* name, const std::wstring& v) {
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)v.c_str(),
                   (DWORD)((v.size() + 1) * sizeof(wchar_t)));
  };
  auto setDword = [&](const wchar_t* name, DWORD v) {
    RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&v, sizeof v);
  };
  setSz(L"ServerIp", host);
  setDword(L"ServerPort", kDiskServerPort);
  setSz(L"ApiServerIp", host);
  setDword(L"ApiServerPort", (DWORD)port);
  setDword(L"AutoActivate", 1);
  setDword(L"AutoActivateViaApi", 1);
  RegCloseKey(key);
}

ClientConfig LoadStartupSettings() {
  ClientConfig cfg = LoadClientConfig();
  std::wstring host = cfg.serverHost;
  int port = cfg.port;
  if (cfg.serverUrl.empty() || cfg.serverHost.empty() || cfg.port <= 0) {
    HotelServerConfig hotel = LoadHotelServerConfig();
    if (!hotel.serverHost.empty() && hotel.apiPort > 0) {
      host = hotel.serverHost;
      port = hotel.apiPort;
    }
  }
  AppSettings& s = Settings();
  s.serverHost = host;
  s.apiPort = port;
  s.connectTimeoutSec = cfg.timeoutSec > 0 ? cfg.timeoutSec : 5;
  s.refreshIntervalSec = cfg.refreshSec > 0 ? cfg.refreshSec : 5;
  if ((long long)s.connectTimeoutSec * 1000 > 0 && (long long)s.connectTimeoutSec * 1000 <= 0x7FFFFFFF)
    SetAllHttpTimeouts(s.connectTimeoutSec * 1000);
  return cfg;
}

void WriteBackAfterLogin(const std::wstring& host, int port, const ClientConfig& loaded) {
  SaveHotelServerConfig(host, port);
  AppSettings& s = Settings();
  s.serverHost = host;
  s.apiPort = port;
  ClientConfig cfg;
  cfg.serverUrl = L"http://" + s.serverHost + L":" + std::to_wstring(s.apiPort);
  cfg.serverHost = s.serverHost;
  cfg.port = s.apiPort;
  cfg.timeoutSec = loaded.timeoutSec;
  cfg.refreshSec = loaded.refreshSec;
  SaveClientConfig(cfg);
}
