// Configuration files, start-up order and what a login writes back (files and registry).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "api/Settings.h"

namespace {

std::wstring MakeTempDir() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  static int seq = 0;
  std::wstring dir = std::wstring(base) + L"zelko-cfg-" + std::to_wstring(GetCurrentProcessId()) +
                     L"-" + std::to_wstring(++seq);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\";
}

void WriteFile(const std::wstring& path, const std::string& text) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  ASSERT_TRUE(f);
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

std::string ReadFile(const std::wstring& path) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return "<missing>";
  std::string s;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

class Config : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    AppSettings& s = Settings();
    s.exeDir = dir_;
    s.serverHost.clear();
    s.apiPort = 0;
    SetAllHttpTimeouts(10000);
    // A key of our own, not the driver's: the end-to-end test writes the driver's key in the
    // same Wine prefix at the same time. Each test starts without it.
    key_ = L"SOFTWARE\\ZelkoClientTests\\" + std::to_wstring(GetCurrentProcessId()) + L"\\Parameters";
    g_driverParametersKey = key_.c_str();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, g_driverParametersKey);
    g_regCreateKeyExW = RegCreateKeyExW;
  }
  void TearDown() override {
    g_regCreateKeyExW = RegCreateKeyExW;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZelkoClientTests");
    g_driverParametersKey = kDriverKey;
    DeleteFileW((dir_ + L"config.json").c_str());
    DeleteFileW((dir_ + L"hotel-server.json").c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  void Config_(const std::string& text) { WriteFile(dir_ + L"config.json", text); }
  void Hotel(const std::string& text) { WriteFile(dir_ + L"hotel-server.json", text); }
  void Startup() { LoadStartupSettings(); }

  std::wstring dir_;
  std::wstring key_;
  const wchar_t* const kDriverKey = g_driverParametersKey;
};

std::wstring RegSz(const wchar_t* name) {
  wchar_t buf[256] = {};
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, g_driverParametersKey, name, RRF_RT_REG_SZ, nullptr, buf,
                   &size) != ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

DWORD RegDword(const wchar_t* name) {
  DWORD v = 0xDEADBEEF, size = sizeof v;
  RegGetValueW(HKEY_LOCAL_MACHINE, g_driverParametersKey, name, RRF_RT_REG_DWORD, nullptr, &v, &size);
  return v;
}

}  // namespace

TEST_F(Config, NoFilesGiveTheCompiledInDefault) {
  Startup();
  EXPECT_EQ(Settings().serverHost, ZELKO_DEFAULT_SERVER_ADDRESS);
  EXPECT_EQ(Settings().apiPort, 5000);
  EXPECT_EQ(Settings().connectTimeoutSec, 5);
  EXPECT_EQ(Settings().refreshIntervalSec, 5);
  EXPECT_EQ(Settings().httpConnectTimeoutMs, 5000);
  EXPECT_EQ(Settings().httpReceiveTimeoutMs, 5000);
}

TEST_F(Config, ServerUrlForms) {
  std::wstring host;
  int port;
  ParseServerUrl(L"HTTP://10.1.2.3", host, port);
  EXPECT_EQ(host, L"10.1.2.3");
  EXPECT_EQ(port, 5000);
  ParseServerUrl(L"hTTpS://mgmt.lan:8080/api/x:9", host, port);
  EXPECT_EQ(host, L"mgmt.lan");
  EXPECT_EQ(port, 8080);
  ParseServerUrl(L"10.0.0.5:", host, port);
  EXPECT_EQ(host, L"10.0.0.5");
  EXPECT_EQ(port, 5000);
  ParseServerUrl(L"http://10.0.0.5:abc", host, port);
  EXPECT_EQ(port, 0);
  ParseServerUrl(L"http:///path", host, port);
  EXPECT_EQ(host, L"127.0.0.1");
  EXPECT_EQ(port, 5000);

  Config_("{\"server_url\": \"Http://10.9.8.7:8080/path\"}");
  Startup();
  EXPECT_EQ(Settings().serverHost, L"10.9.8.7");
  EXPECT_EQ(Settings().apiPort, 8080);
}

TEST_F(Config, BadPortFallsBackToHotelServerFile) {
  Config_("{\"server_url\": \"http://10.0.0.5:abc\"}");
  Startup();  // no hotel-server.json either: its own defaults
  EXPECT_EQ(Settings().serverHost, L"127.0.0.1");
  EXPECT_EQ(Settings().apiPort, 5000);

  Hotel("{\n  \"ServerIp\": \"10.0.0.77\",\n  \"ApiPort\"\t: 6001,\n  \"HubUrl\": \"\"\n}\n");
  Startup();
  EXPECT_EQ(Settings().serverHost, L"10.0.0.77");
  EXPECT_EQ(Settings().apiPort, 6001);

  // The port is found by plain text search, which does not cross a line break.
  Hotel("{\"ServerIp\":\"10.0.0.78\",\"ApiPort\":\n 6002}");
  Startup();
  EXPECT_EQ(Settings().serverHost, L"10.0.0.78");
  EXPECT_EQ(Settings().apiPort, 5000);
}

TEST_F(Config, ConfigJsonWinsOverHotelServerFile) {
  Config_("{\"server_url\":\"http://10.0.0.1:7000\"}");
  Hotel("{\"ServerIp\":\"10.0.0.2\",\"ApiPort\":7001}");
  Startup();
  EXPECT_EQ(Settings().serverHost, L"10.0.0.1");
  EXPECT_EQ(Settings().apiPort, 7000);
}

TEST_F(Config, AlternativeKeysAndTimeouts) {
  Config_("{\"serverIp\":\"10.4.4.4\",\"serverPort\":6000,\"timeout_sec\":0,\"timeoutSec\":12,"
          "\"autoRefreshSec\":9}");
  ClientConfig cfg = LoadClientConfig();
  EXPECT_EQ(cfg.serverUrl, L"http://10.4.4.4:6000");
  EXPECT_EQ(cfg.timeoutSec, 12);
  EXPECT_EQ(cfg.refreshSec, 9);
  Startup();
  EXPECT_EQ(Settings().httpConnectTimeoutMs, 12000);
  EXPECT_EQ(Settings().httpSendTimeoutMs, 12000);
  EXPECT_EQ(Settings().httpReceiveTimeoutMs, 12000);

  // A time-out whose milliseconds do not fit 32 bits keeps the previous HTTP time-outs.
  SetAllHttpTimeouts(10000);
  Config_("{\"server_url\":\"http://10.4.4.4\",\"timeout_sec\":3000000}");
  Startup();
  EXPECT_EQ(Settings().connectTimeoutSec, 3000000);
  EXPECT_EQ(Settings().httpConnectTimeoutMs, 10000);
}

TEST_F(Config, WriteBackAfterLoginWritesBothFilesAndTheRegistry) {
  Config_("{\"server_url\":\"http://10.0.0.1:5000\",\"timeout_sec\":7,\"auto_refresh_sec\":11}");
  ClientConfig loaded = LoadStartupSettings();
  WriteBackAfterLogin(L"127.0.0.1", 5001, loaded);

  EXPECT_EQ(ReadFile(dir_ + L"config.json"),
            "{\n  \"server_url\": \"http://127.0.0.1:5001\",\n  \"timeout_sec\": 7,\n"
            "  \"auto_refresh_sec\": 11\n}\n");
  EXPECT_EQ(ReadFile(dir_ + L"hotel-server.json"),
            "{\n  \"ServerIp\": \"127.0.0.1\",\n  \"ApiPort\": 5001,\n  \"ApiBaseUrl\": \"\",\n"
            "  \"HubUrl\": \"\"\n}\n");
  EXPECT_EQ(Settings().serverHost, L"127.0.0.1");
  EXPECT_EQ(Settings().apiPort, 5001);

  EXPECT_EQ(RegSz(L"ServerIp"), L"127.0.0.1");
  EXPECT_EQ(RegSz(L"ApiServerIp"), L"127.0.0.1");
  EXPECT_EQ(RegDword(L"ServerPort"), 9501u);
  EXPECT_EQ(RegDword(L"ApiServerPort"), 5001u);
  EXPECT_EQ(RegDword(L"AutoActivate"), 1u);
  EXPECT_EQ(RegDword(L"AutoActivateViaApi"), 1u);

  // What we wrote is read back the same way at the next start.
  Settings().serverHost.clear();
  LoadStartupSettings();
  EXPECT_EQ(Settings().serverHost, L"127.0.0.1");
  EXPECT_EQ(Settings().apiPort, 5001);
  EXPECT_EQ(Settings().connectTimeoutSec, 7);
}

TEST_F(Config, HostsWithQuotesAreEscapedInTheFiles) {
  SaveHotelServerConfig(L"we\"ird\\host", 5002);
  HotelServerConfig h = LoadHotelServerConfig();
  EXPECT_EQ(h.serverHost, L"we\"ird\\host");
  EXPECT_EQ(h.apiPort, 5002);
}

TEST_F(Config, RegistryRefusalStillWritesTheFiles) {
  // Wine lets every user create HKLM keys; a non-administrator on Windows gets access denied.
  g_regCreateKeyExW = [](HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                         PHKEY key, LPDWORD) -> LSTATUS {
    *key = nullptr;
    return ERROR_ACCESS_DENIED;
  };
  WriteBackAfterLogin(L"127.0.0.2", 5003, ClientConfig{});
  EXPECT_NE(ReadFile(dir_ + L"config.json").find("\"http://127.0.0.2:5003\""), std::string::npos);
  EXPECT_NE(ReadFile(dir_ + L"hotel-server.json").find("\"ApiPort\": 5003"), std::string::npos);
  EXPECT_EQ(RegSz(L"ServerIp"), L"<missing>");
}

TEST_F(Config, UnwritableFileLeavesTheOldOneAndStillWritesTheRegistry) {
  // A directory in place of the file cannot be opened for writing.
  CreateDirectoryW((dir_ + L"config.json").c_str(), nullptr);
  ClientConfig cfg;
  cfg.serverUrl = L"http://127.0.0.3:5004";
  cfg.serverHost = L"127.0.0.3";
  cfg.port = 5004;
  SaveClientConfig(cfg);
  RemoveDirectoryW((dir_ + L"config.json").c_str());
  EXPECT_EQ(RegDword(L"ApiServerPort"), 5004u);
}
