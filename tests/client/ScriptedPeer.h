// A loopback HTTP peer that answers every request with one scripted reply (or never answers)
// and records the raw requests, for what the real management server never does.
#pragma once
#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedPeer {
 public:
  // `reply` is sent verbatim after each complete request; an empty reply means "stay silent":
  // the connection is accepted and read but never answered.
  explicit ScriptedPeer(std::string reply);
  // What a hostile peer does once `reply` is out: close its side, hold the connection open
  // without another byte, send `filler` again and again until the client hangs up, or do that
  // with a pause of 200 ms before each (a drip that never lets a receive time-out expire).
  enum class Then { Close, Hold, Repeat, Drip };
  ScriptedPeer(std::string reply, Then then, std::string filler = "");
  ~ScriptedPeer();
  int port() const { return port_; }
  std::vector<std::string> requests();

  // A full HTTP/1.1 reply with Content-Length and Connection: close.
  static std::string Reply(int status, const std::string& body, const char* reason = "X");

 private:
  void Run();
  void Serve(SOCKET s);
  // Sends all of `data` unless the client hangs up or the test ends; false then.
  bool SendAll(SOCKET s, const std::string& data);

  std::string reply_;
  Then then_ = Then::Close;
  std::string filler_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

// A loopback port on which nothing listens (bound once, then closed).
int UnusedLoopbackPort();
