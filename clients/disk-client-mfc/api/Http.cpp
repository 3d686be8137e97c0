#include "Http.h"

#include <winhttp.h>

#include <vector>

#include "Settings.h"
#include "Text.h"

namespace {

struct WinHttpHandle {
  HINTERNET h = nullptr;
  ~WinHttpHandle() {
    if (h) WinHttpCloseHandle(h);
  }
};

// Wine's WinHTTP reports an expired receive time-out as the socket error WSAETIMEDOUT rather
// than ERROR_WINHTTP_TIMEOUT; both mean the same to the operator.
DWORD LastErrorForOperator() {
  DWORD e = GetLastError();
  return e == WSAETIMEDOUT ? ERROR_WINHTTP_TIMEOUT : e;
}

}  // namespace

HttpResponse HttpRequest(const std::wstring& verb, const std::wstring& host, int port,
                         const std::wstring& path, const std::wstring& contentType,
                         const std::string& bearerToken, const std::string& body) {
  HttpResponse r;
  // Declared in this order so that they close request, connection, session.
  WinHttpHandle session, connection, request;
  session.h = WinHttpOpen(L"ZelkoMfcClient/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session.h) {
    r.error = "WinHttpOpen 失败";
    return r;
  }
  AppSettings& s = Settings();
  int receiveMs = s.httpReceiveTimeoutMs;
  WinHttpSetTimeouts(session.h, 10000, s.httpConnectTimeoutMs, s.httpSendTimeoutMs, receiveMs);

  connection.h = WinHttpConnect(session.h, host.c_str(), (INTERNET_PORT)(port & 0xFFFF), 0);
  if (!connection.h) {
    r.error = "WinHttpConnect 失败，无法连接到服务器";
    return r;
  }
  request.h = WinHttpOpenRequest(connection.h, verb.c_str(), path.c_str(), nullptr,
                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
  if (!request.h) {
    r.error = "WinHttpOpenRequest 失败";
    return r;
  }
  // Without this a server that accepts the connection and never answers would block the dialog
  // thread for good: the receive time-out alone does not bound the wait for the reply headers.
  DWORD wait = (DWORD)receiveMs;
  WinHttpSetOption(request.h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &wait, sizeof wait);

  std::wstring headers;
  if (!contentType.empty()) headers += L"Content-Type: " + contentType + L"\r\n";
  if (!bearerToken.empty()) headers += L"Authorization: Bearer " + Utf8ToWide(bearerToken) + L"\r\n";

  BOOL sent = WinHttpSendRequest(
      request.h, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
      headers.empty() ? 0 : (DWORD)-1,
      body.empty() ? WINHTTP_NO_REQUEST_DATA : (LPVOID)body.data(), (DWORD)body.size(),
      (DWORD)body.size(), 0);
  if (!sent) {
    r.error = "WinHttpSendRequest 失败，错误码: " + std::to_string(LastErrorForOperator());
    return r;
  }
  if (!WinHttpReceiveResponse(request.h, nullptr)) {
    r.error = "WinHttpReceiveResponse 失败，错误码: " + std::to_string(LastErrorForOperator());
    return r;
  }

  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    status = 0;

  std::string received;
  for (;;) {
    DWORD avail = 0;
    if (!WinHttpQueryDataAvailable(request.h, &avail) || avail == 0) break;
    std::vector<char> buf(avail + 1, 0);
    DWORD got = 0;
    if (!WinHttpReadData(request.h, buf.data(), avail, &got) || got == 0) break;
    received.append(buf.data(), got);
  }
  r.body = std::move(received);
  r.status = status;
  if (status >= 200 && status <= 299) {
    r.ok = true;
  } else if (r.error.empty()) {
    r.error = "HTTP 状态码: " + std::to_string(status);
  }
  return r;
}

HttpResponse HttpGet(int port, const std::wstring& path, const std::string& bearerToken) {
  return HttpRequest(L"GET", Settings().serverHost, port, path, L"", bearerToken, "");
}

HttpResponse HttpPostJson(const std::wstring& host, int port, const std::wstring& path,
                          const std::string& body) {
  return HttpRequest(L"POST", host, port, path, L"application/json", Settings().sessionToken, body);
}

std::wstring DescribeConnectError(const std::string& errorText, const std::wstring& host, int port) {
  std::wstring endpoint = host + L":" + std::to_wstring(port);
  unsigned long code = 0;
  size_t pos = errorText.find("错误码:");
  if (pos != std::string::npos) {
    size_t i = pos + strlen("错误码:");
    while (i < errorText.size() && (errorText[i] == ' ' || errorText[i] == '\t')) ++i;
    unsigned long long v = 0;
    for (; i < errorText.size() && errorText[i] >= '0' && errorText[i] <= '9'; ++i) {
      v = v * 10 + (unsigned)(errorText[i] - '0');
      if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
    }
    code = (unsigned long)v;
  }
  switch (code) {
    case 0: return Utf8ToWide(errorText);
    case 12002:
      return L"连接服务器 " + endpoint + L" 超时\n请检查网络连接或服务器是否响应";
    case 12005: return L"服务器地址格式无效: " + endpoint;
    case 12007: return L"无法解析服务器地址 " + host + L"\n请检查服务器地址是否正确";
    case 12029:
      return L"无法连接到服务器 " + endpoint +
             L"\n\n请检查：\n1. 服务器地址和端口是否正确\n2. 服务端程序是否正在运行\n3. 防火墙是否放行该端口";
    case 12030: return L"与服务器 " + endpoint + L" 的连接已断开\n请确认服务端运行正常";
    default:
      return L"网络请求失败（错误码 " + std::to_wstring(code) + L"）\n服务器: " + endpoint;
  }
}
