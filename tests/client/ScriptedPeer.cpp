#include "ScriptedPeer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {

struct WinsockInit {
  WinsockInit() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
} g_winsock;

SOCKET BindLoopback(int& port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket");
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (bind(s, (sockaddr*)&a, sizeof a) != 0) throw std::runtime_error("bind");
  int len = sizeof a;
  getsockname(s, (sockaddr*)&a, &len);
  port = ntohs(a.sin_port);
  return s;
}

// Waits up to 50 ms for `s` to become readable.
bool Readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv = {0, 50000};
  return select(0, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::string reply)
    : ScriptedPeer(reply, reply.empty() ? Then::Hold : Then::Close) {}

ScriptedPeer::ScriptedPeer(std::string reply, Then then, std::string filler)
    : reply_(std::move(reply)), then_(then), filler_(std::move(filler)) {
  listener_ = BindLoopback(port_);
  listen(listener_, 16);
  thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
  stop_ = true;
  thread_.join();
  closesocket(listener_);
}

std::vector<std::string> ScriptedPeer::requests() {
  std::lock_guard<std::mutex> g(mu_);
  return requests_;
}

std::string ScriptedPeer::Reply(int status, const std::string& body, const char* reason) {
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (status != 204) r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  r += "Content-Type: application/json\r\nConnection: close\r\n\r\n";
  return r + body;
}

void ScriptedPeer::Run() {
  std::vector<std::thread> conns;
  while (!stop_) {
    if (!Readable(listener_)) continue;
    SOCKET s = accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) continue;
    conns.emplace_back([this, s] { Serve(s); });
  }
  for (auto& t : conns) t.join();
}

void ScriptedPeer::Serve(SOCKET s) {
  std::string req;
  size_t need = std::string::npos;
  while (!stop_) {
    if (need != std::string::npos && req.size() >= need) break;
    if (!Readable(s)) continue;
    char buf[4096];
    int n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    req.append(buf, n);
    size_t end = req.find("\r\n\r\n");
    if (end != std::string::npos && need == std::string::npos) {
      size_t len = 0;
      size_t cl = req.find("Content-Length:");
      if (cl == std::string::npos) cl = req.find("content-length:");
      if (cl != std::string::npos && cl < end) len = strtoul(req.c_str() + cl + 15, nullptr, 10);
      need = end + 4 + len;
    }
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back(req);
  }
  // Non-blocking from here on, so a client that stops reading cannot wedge the peer's thread.
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  bool alive = SendAll(s, reply_);
  if (alive && then_ == Then::Repeat && !filler_.empty()) {
    while (!stop_ && SendAll(s, filler_)) {}
  } else if (alive && then_ == Then::Drip && !filler_.empty()) {
    for (;;) {
      for (int i = 0; i < 10 && !stop_; ++i) Sleep(20);
      if (stop_ || !SendAll(s, filler_)) break;
    }
  } else if (alive && then_ == Then::Hold) {
    while (!stop_) Sleep(20);  // hold the connection until the test ends
  } else {
    shutdown(s, SD_SEND);
  }
  closesocket(s);
}

bool ScriptedPeer::SendAll(SOCKET s, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    if (stop_) return false;
    int chunk = (int)std::min<size_t>(data.size() - off, 65536);
    int n = send(s, data.data() + off, chunk, 0);
    if (n > 0) {
      off += (size_t)n;
      continue;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;  // the client hung up
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = {0, 50000};
    select(0, nullptr, &set, nullptr, &tv);
  }
  return true;
}

int UnusedLoopbackPort() {
  int port = 0;
  SOCKET s = BindLoopback(port);
  closesocket(s);
  return port;
}
