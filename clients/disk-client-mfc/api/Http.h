// The one synchronous HTTP request routine of the client (WinHTTP, plain HTTP, no retry) and the
// text the login dialog shows for its failures.
#pragma once
#include <windows.h>

#include <string>

struct HttpResponse {
  bool ok = false;         // status 200..299
  std::string body;        // as received, also for a non-2xx status
  DWORD status = 0;        // 0 when no status could be read
  std::string error;       // UTF-8, empty on success
};

HttpResponse HttpRequest(const std::wstring& verb, const std::wstring& host, int port,
                         const std::wstring& path, const std::wstring& contentType,
                         const std::string& bearerToken, const std::string& body);
// GET to the process-wide server host, without content type or body.
HttpResponse HttpGet(int port, const std::wstring& path, const std::string& bearerToken);
// POST with "application/json" and the process-wide session token.
HttpResponse HttpPostJson(const std::wstring& host, int port, const std::wstring& path,
                          const std::string& body);

std::wstring DescribeConnectError(const std::string& errorText, const std::wstring& host, int port);
