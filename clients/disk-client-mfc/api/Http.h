// The one synchronous HTTP request routine of the client (WinHTTP, plain HTTP, no retry) and the
// text the login dialog shows for its failures.
#pragma once
#include <windows.h>

#include <string>

#include "ErrorText.h"

struct HttpResponse {
  bool ok = false;         // status 200..299
  std::string body;        // as received, also for a non-2xx status
  DWORD status = 0;        // 0 when no status could be read
  std::string error;       // UTF-8, empty on success
};

// Longest reply body we accept. The largest real reply (a page of 100 images) is tens of
// kilobytes; the bound keeps a hostile server from making the client buffer without end.
constexpr size_t kMaxReplyBytes = 4u << 20;
// Longest header block we accept (WinHTTP's own default on Windows).
constexpr DWORD kMaxReplyHeaderBytes = 64u << 10;

// Fails without sending when the bearer token could end the header line (see IsSafeToken), and
// when the reply is larger than kMaxReplyBytes, shorter than its Content-Length, cut off by a
// read error, or slower to arrive as a whole than the receive time-out. The whole reply phase
// (after the request is sent) ends within about twice the receive time-out, however the server
// behaves. Redirects are not followed.
HttpResponse HttpRequest(const std::wstring& verb, const std::wstring& host, int port,
                         const std::wstring& path, const std::wstring& contentType,
                         const std::string& bearerToken, const std::string& body);
// GET to the process-wide server host, without content type or body.
HttpResponse HttpGet(int port, const std::wstring& path, const std::string& bearerToken);
// POST with "application/json" and the process-wide session token.
HttpResponse HttpPostJson(const std::wstring& host, int port, const std::wstring& path,
                          const std::string& body);
