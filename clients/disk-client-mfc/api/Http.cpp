#include "Http.h"

#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "Replies.h"
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

// The request target goes into the request line verbatim: our paths are built from numbers and
// fixed texts, so anything outside printable ASCII means a value slipped in unchecked.
bool IsPlainRequestTarget(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return false;
  for (wchar_t c : path)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

// The Content-Length the server announced: -1 when there is none, -2 when it is not a plain
// decimal number or exceeds what we accept at all.
long long AnnouncedLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD size = sizeof text;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX))
    return GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND ? -1 : -2;
  long long v = 0;
  size_t i = 0;
  while (text[i] == L' ' || text[i] == L'\t') ++i;
  size_t start = i;
  for (; text[i] >= L'0' && text[i] <= L'9'; ++i) {
    v = v * 10 + (text[i] - L'0');
    if (v > (long long)kMaxReplyBytes) return -2;
  }
  while (text[i] == L' ' || text[i] == L'\t') ++i;
  if (i == start || text[i] != 0) return -2;
  return v;
}

bool IsChunked(HINTERNET request) {
  wchar_t text[64] = {};
  DWORD size = sizeof text;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX))
    return GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND;  // too long to read: not plain
  return true;  // any transfer coding means the body is not delimited by the connection alone
}

// One request as the worker runs it. Progress is published so that the caller can tell the
// connection and send phase (bounded by WinHTTP's own time-outs) from the reply phase.
struct Exchange {
  std::wstring verb, host, path, contentType;
  int port = 0;
  std::string bearerToken, body;
  int connectMs = 0, sendMs = 0, receiveMs = 0;

  std::mutex mu;
  std::condition_variable changed;
  bool sent = false;
  bool done = false;
  HttpResponse result;

  void MarkSent() {
    std::lock_guard<std::mutex> g(mu);
    sent = true;
    changed.notify_all();
  }
};

// Wine's synchronous WinHttpSendRequest already waits for the reply headers, so "the request is
// out" is taken from WinHTTP's status callback, which it also makes for synchronous requests.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
  if (status == WINHTTP_CALLBACK_STATUS_REQUEST_SENT && context)
    reinterpret_cast<Exchange*>(context)->MarkSent();
}

HttpResponse RunExchange(Exchange& x) {
  HttpResponse r;
  const std::wstring& verb = x.verb;
  const std::wstring& path = x.path;
  const std::wstring& contentType = x.contentType;
  const std::string& bearerToken = x.bearerToken;
  const std::string& body = x.body;
  int receiveMs = x.receiveMs;
  // Declared in this order so that they close request, connection, session.
  WinHttpHandle session, connection, request;
  session.h = WinHttpOpen(L"ZelkoMfcClient/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session.h) {
    r.error = "WinHttpOpen 失败";
    return r;
  }
  WinHttpSetTimeouts(session.h, 10000, x.connectMs, x.sendMs, receiveMs);

  connection.h = WinHttpConnect(session.h, x.host.c_str(), (INTERNET_PORT)(x.port & 0xFFFF), 0);
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
  // A redirect would carry our Authorization header to wherever the server points, and our
  // server never redirects: a 3xx is a failure like any other non-2xx status. Cookies and
  // authentication schemes are of no use to us either.
  DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
  WinHttpSetOption(request.h, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(request.h, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&x);
  WinHttpSetOption(request.h, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  WinHttpSetStatusCallback(request.h, OnStatus, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);
  // Windows' WinHTTP ends a reply whose headers exceed this; Wine's does not, which is why the
  // caller also bounds the reply phase as a whole (see HttpRequest).
  DWORD headerLimit = kMaxReplyHeaderBytes;
  WinHttpSetOption(request.h, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE, &headerLimit,
                   sizeof headerLimit);

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
  x.MarkSent();
  if (!WinHttpReceiveResponse(request.h, nullptr)) {
    r.error = "WinHttpReceiveResponse 失败，错误码: " + std::to_string(LastErrorForOperator());
    return r;
  }

  DWORD status = 0, size = sizeof status;
  if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    status = 0;

  long long announced = AnnouncedLength(request.h);
  if (announced == -2) {
    r.status = status;
    r.error = "服务器响应过大或长度无效";
    return r;
  }
  // A chunked body cut off inside a chunk is not reported by every WinHTTP (Wine's is silent),
  // so it would look complete and our key lookups would read whatever arrived. Our server
  // always sends a length; a chunked success is not taken. A body that simply ends with the
  // connection (HTTP/1.0 style, no length) stays accepted: that is how such servers frame it.
  if (announced == -1 && status >= 200 && status <= 299 && status != 204 &&
      IsChunked(request.h)) {
    r.status = status;
    r.error = "服务器响应缺少 Content-Length";
    return r;
  }
  // Each read waits at most the receive time-out; the deadline also bounds a server that keeps
  // dripping a byte just before every time-out would expire.
  // (A time-out of 0 is WinHTTP's "wait for ever": then there is no deadline either.)
  ULONGLONG deadline = receiveMs > 0 ? GetTickCount64() + (ULONGLONG)receiveMs : ~0ull;
  std::string received;
  std::string failure;
  std::vector<char> buf;
  for (;;) {
    DWORD avail = 0;
    if (!WinHttpQueryDataAvailable(request.h, &avail)) {
      failure = "WinHttpQueryDataAvailable 失败，错误码: " + std::to_string(LastErrorForOperator());
      break;
    }
    if (avail == 0) break;
    if (received.size() + avail > kMaxReplyBytes) {
      failure = "服务器响应过大或长度无效";
      break;
    }
    buf.resize(avail);
    DWORD got = 0;
    if (!WinHttpReadData(request.h, buf.data(), avail, &got)) {
      failure = "WinHttpReadData 失败，错误码: " + std::to_string(LastErrorForOperator());
      break;
    }
    if (got == 0) break;
    received.append(buf.data(), got);
    if (GetTickCount64() > deadline) {
      failure = "WinHttpReadData 失败，错误码: " + std::to_string(ERROR_WINHTTP_TIMEOUT);
      break;
    }
  }
  if (failure.empty() && announced >= 0 && received.size() != (unsigned long long)announced)
    failure = "服务器响应不完整（收到 " + std::to_string(received.size()) + " 字节，应为 " +
              std::to_string(announced) + " 字节）";
  // Without a length, a success must at least carry a body: a reply cut off in its headers
  // (Wine's WinHTTP drops the unfinished line and reports what came) would otherwise pass as
  // an empty success.
  if (failure.empty() && announced == -1 && received.empty() && status >= 200 && status <= 299 &&
      status != 204)
    failure = "服务器响应缺少 Content-Length";
  if (!failure.empty()) {
    r.status = status;
    r.error = failure;
    return r;
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

}  // namespace

HttpResponse HttpRequest(const std::wstring& verb, const std::wstring& host, int port,
                         const std::wstring& path, const std::wstring& contentType,
                         const std::string& bearerToken, const std::string& body) {
  HttpResponse r;
  if (!bearerToken.empty() && !IsSafeToken(bearerToken, kMaxAccessTokenChars)) {
    r.error = "登录令牌无效，请求未发送";
    return r;
  }
  if (!IsPlainRequestTarget(path)) {
    r.error = "请求路径无效，请求未发送";
    return r;
  }
  auto x = std::make_shared<Exchange>();
  x->verb = verb;
  x->host = host;
  x->port = port;
  x->path = path;
  x->contentType = contentType;
  x->bearerToken = bearerToken;
  x->body = body;
  AppSettings& s = Settings();
  x->connectMs = s.httpConnectTimeoutMs;
  x->sendMs = s.httpSendTimeoutMs;
  x->receiveMs = s.httpReceiveTimeoutMs;

  // WinHTTP's time-outs bound each wait for a byte, not a reply that never ends: a server that
  // keeps sending header lines holds a synchronous WinHttpReceiveResponse for as long as it
  // likes (Windows caps the header size, Wine does not). So the exchange runs on a worker and
  // the caller waits for the reply phase — headers, then the body with its own deadline — at
  // most twice the receive time-out. A worker given up on is left to finish by itself: closing
  // its handles from here could race with the calls it is making on them.
  std::thread worker;
  try {
    worker = std::thread([x] {
      HttpResponse result = RunExchange(*x);
      std::lock_guard<std::mutex> g(x->mu);
      x->result = std::move(result);
      x->done = true;
      x->changed.notify_all();
    });
  } catch (const std::system_error&) {  // no thread to be had: no exception leaves an operation
    r.error = "无法启动网络请求线程";
    return r;
  }
  std::unique_lock<std::mutex> lock(x->mu);
  // Resolving, connecting and sending are bounded by WinHTTP: nothing the server sends can
  // prolong them.
  x->changed.wait(lock, [&] { return x->done || x->sent; });
  if (!x->done && x->receiveMs > 0) {
    auto replyPhase = std::chrono::milliseconds(2LL * x->receiveMs + 1000);
    x->changed.wait_for(lock, replyPhase, [&] { return x->done; });
  } else {
    x->changed.wait(lock, [&] { return x->done; });
  }
  if (!x->done) {
    lock.unlock();
    worker.detach();
    r.error = "服务器响应未在时限内结束，错误码: " + std::to_string(ERROR_WINHTTP_TIMEOUT);
    return r;
  }
  r = std::move(x->result);
  lock.unlock();
  worker.join();
  return r;
}

HttpResponse HttpGet(int port, const std::wstring& path, const std::string& bearerToken) {
  return HttpRequest(L"GET", Settings().serverHost, port, path, L"", bearerToken, "");
}

HttpResponse HttpPostJson(const std::wstring& host, int port, const std::wstring& path,
                          const std::string& body) {
  return HttpRequest(L"POST", host, port, path, L"application/json", Settings().sessionToken, body);
}
