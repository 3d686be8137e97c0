#include "Operations.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <vector>

#include "Http.h"
#include "Json.h"
#include "Replies.h"
#include "Settings.h"
#include "Text.h"

bool Login(const std::wstring& host, int port, const std::string& user, const std::string& password,
           std::string& accessToken, std::string& error) {
  std::string body = "{\"username\":" + JsonQuote(user) + ",\"password\":" + JsonQuote(password) + "}";
  HttpResponse r = HttpRequest(L"POST", host, port, L"/api/auth/disk/login", L"application/json",
                               "", body);
  if (!r.ok) { error = r.error; return false; }
  return DecodeLoginReply(r.body, accessToken, error);
}

bool GetClientByMac(const std::string& mac, int64_t& clientId, bool& isSuperClient,
                    std::string& error) {
  // The lookup never carries the session token: the server answers it for anyone.
  HttpResponse r = HttpGet(Settings().apiPort, L"/api/disk/clients/by-mac/" + Utf8ToWide(mac), "");
  if (!r.ok) { error = r.error; return false; }
  return DecodeClientReply(r.body, clientId, isSuperClient, error);
}

bool LoadImageList(std::vector<ImageEntry>& images, std::string& error) {
  HttpResponse r = HttpGet(Settings().apiPort, L"/api/disk/images?page=1&pageSize=100",
                           Settings().sessionToken);
  if (!r.ok) { error = r.error; return false; }
  return DecodeImageList(r.body, images, error);
}

bool SetSuperClient(int64_t clientId, bool on, std::string& error) {
  std::string body = on ? "{\"isSuperClient\":true}" : "{\"isSuperClient\":false}";
  AppSettings& s = Settings();
  HttpResponse r = HttpRequest(L"POST", s.serverHost, s.apiPort,
                               L"/api/disk/clients/" + std::to_wstring(clientId) + L"/super",
                               L"application/json", s.sessionToken, body);
  if (!r.ok) { error = r.error; return false; }
  return ReplyOk(r.body, "切换超级用户模式失败", error);
}

bool PrepareDisk(int64_t imageId, std::string& error) {
  AppSettings& s = Settings();
  HttpResponse r = HttpPostJson(s.serverHost, s.apiPort,
                                L"/api/disk/images/" + std::to_wstring(imageId) + L"/prepare-disk", "");
  if (!r.ok) { error = r.error; return false; }
  // An empty 2xx is a success; a body must say so with code 0 like every other reply, or a
  // refusal inside a 200 would be shown to the operator as a formatted disk.
  if (r.body.empty()) return true;
  return ReplyOk(r.body, "服务器未确认磁盘初始化", error);
}

bool RequestUploadSession(const std::wstring& host, int port, int64_t imageId,
                          std::string& uploadToken, std::string& error) {
  std::string body = "{\"imageId\":" + std::to_string(imageId) + "}";
  HttpResponse r = HttpRequest(L"POST", host, port, L"/api/disk/images/upload-session",
                               L"application/json", Settings().sessionToken, body);
  if (!r.ok) {
    error = "申请上传会话失败: " + r.error + " (HTTP " + std::to_string(r.status) + ")";
    return false;
  }
  return DecodeUploadSessionReply(r.body, uploadToken, error);
}

std::string GetMacAddress() {
  ULONG size = 0;
  if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return {};
  std::vector<unsigned char> buf(size, 0);
  auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buf.data());
  if (GetAdaptersInfo(list, &size) != NO_ERROR) return {};
  return MacFromAdapterList(list);
}

std::string MacFromAdapterList(const IP_ADAPTER_INFO* list) {
  for (const IP_ADAPTER_INFO* a = list; a; a = a->Next) {
    if (a->AddressLength != 6) continue;
    const BYTE* m = a->Address;
    if (!(m[0] | m[1] | m[2] | m[3] | m[4] | m[5])) continue;
    char text[18];
    snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
  }
  return {};
}
