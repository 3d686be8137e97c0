// Process-wide settings of the client program, its two configuration files beside the
// executable (config.json, hotel-server.json) and the driver's registry parameters.
#pragma once
#include <windows.h>

#include <atomic>
#include <string>

#include "ConfigText.h"

// The disk server's block-protocol port, written for the driver beside the API address.
constexpr DWORD kDiskServerPort = 9501;

struct AppSettings {
  HINSTANCE instance = nullptr;
  std::wstring exeDir;             // ends in a separator
  std::wstring serverHost;
  int apiPort = kDefaultApiPort;
  int connectTimeoutSec = 5;
  int refreshIntervalSec = 5;
  // Read by HttpRequest, possibly from the upload worker while the dialog thread changes them.
  std::atomic<int> httpConnectTimeoutMs{10000};
  std::atomic<int> httpSendTimeoutMs{30000};
  std::atomic<int> httpReceiveTimeoutMs{30000};
  std::string sessionToken;        // UTF-8, empty before login
  std::string userName;            // UTF-8
};

AppSettings& Settings();
void SetAllHttpTimeouts(int ms);

std::wstring GetExeDirectory();
// exeDir + name, with a separator in between when exeDir lacks one. Uses Settings().exeDir.
std::wstring ConfigFilePath(const wchar_t* name);

ClientConfig LoadClientConfig();
void SaveClientConfig(const ClientConfig& cfg);
HotelServerConfig LoadHotelServerConfig();
void SaveHotelServerConfig(const std::wstring& host, int port);
void WriteDriverParameters(const std::wstring& host, int port);

// Start-up order: config.json wins, hotel-server.json is consulted only when config.json yields
// no usable host or port. Stores host, port and time-outs process-wide and returns the loaded
// config.json (its time-out and refresh values are written back after login).
ClientConfig LoadStartupSettings();

// After a successful login with the typed host and port: hotel-server.json and registry, then
// the process-wide values, then config.json (with `loaded`'s time-out and refresh interval) and
// the registry again.
void WriteBackAfterLogin(const std::wstring& host, int port, const ClientConfig& loaded);

// The driver's Parameters key. Tests point it elsewhere or replace the key creation to reach
// the failure paths that Wine (which treats every user as an administrator) never takes.
extern const wchar_t* g_driverParametersKey;
extern decltype(&RegCreateKeyExW) g_regCreateKeyExW;
