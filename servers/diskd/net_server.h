// The data path: a TCP listener served by a fixed pool of worker threads that all wait on one
// epoll set (each connection armed one-shot, so exactly one worker handles it at a time and its
// requests are answered strictly in order), and a UDP socket served by its own threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "session.h"
#include "store.h"

namespace zelko::diskd {

// One datagram received from `ip` on the UDP channel: the answer, if one is due, and after a
// read the read-ahead pushes are handed to `send` in order (`out` is scratch space).
void ServeDatagram(const Config& cfg, UdpRegistry& udp, std::atomic<uint32_t>& pushSeq, const uint8_t* p,
                   size_t n, const std::string& ip, Bytes& out, const std::function<void(const Bytes&)>& send);

class NetServer {
public:
    NetServer(const Config& cfg, ImageStore& store, ServerStats& stats);
    ~NetServer();
    bool Start(std::string* error);
    // Stops accepting, lets every worker finish the request it is on, sends what is still
    // queued (bounded), closes all connections.
    void Stop();
    uint16_t tcpPort() const { return tcpPort_; }
    uint16_t udpPort() const { return udp_.port; }
    size_t connections();

    // One connection run on the calling thread, without listener, epoll or workers: tests and
    // fuzzing drive the real framing through one end of a socketpair this way (no Start
    // needed). Adopt takes `fd`, a non-blocking stream socket; Pump handles what has arrived
    // and sends what the socket takes, and a parked handshake is admitted inline. After
    // Closed the handle is gone and `fd` is closed.
    using Handle = void*;
    enum class PumpResult { WaitRead, WaitWrite, Closed };
    Handle Adopt(int fd, const std::string& peerIp, uint16_t peerPort);
    PumpResult Pump(Handle h);
    // Bytes one connection holds in its buffers (received and unsent), for the bound tests.
    static size_t BufferedBytes(Handle h);

private:
    struct Conn;
    enum class Action { WantRead, WantWrite, Close, Park };
    // Answers a parked handshake; false when the answer could not be sent.
    bool Admit(Conn* c);
    void WorkerLoop();
    void AdmissionLoop();
    Action Process(Conn* c);
    static Action Close(Conn* c, const char* why);
    void UdpLoop();
    void Accept();
    void HandleConn(Conn* c, uint32_t events);
    bool Flush(Conn* c);  // false: fatal send error
    void Rearm(Conn* c, bool wantWrite);
    void CloseConn(Conn* c, const char* why);
    // Hangs up a connection that overstayed (connsMutex_ held); its worker closes it.
    void Cut(Conn* c, const char* why);
    // Enforces the handshake and request timeouts.
    void SweepLoop();

    const Config& cfg_;
    ImageStore& store_;
    ServerStats& stats_;
    UdpRegistry udp_;
    int listenFd_ = -1;
    int udpFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    uint16_t tcpPort_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<uint32_t> pushSeq_{1};
    std::vector<std::thread> workers_;
    std::vector<std::thread> udpThreads_;
    // Handshakes that wait for the management server's session check.
    std::vector<std::thread> admissionThreads_;
    std::mutex admissionMutex_;
    std::condition_variable admissionCv_;
    std::deque<Conn*> admissionQueue_;
    bool admissionStop_ = false;
    std::mutex connsMutex_;
    std::unordered_set<Conn*> conns_;
    size_t evicting_ = 0;  // connections cut to make room, not yet closed (connsMutex_)
    std::thread sweeper_;
    std::mutex sweepMutex_;
    std::condition_variable sweepCv_;
};

}  // namespace zelko::diskd
