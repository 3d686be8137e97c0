// A scriptable disk-server peer on loopback for the protocol tests: it accepts connections,
// cuts the byte stream into requests (by the wire format's payload rules), records every request
// byte for byte, and lets each test decide how to answer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../../clients/shared/ZelkoWire.h"

namespace peer {

namespace wire = zelko::wire;

struct Request {
    int conn = 0;                  // 0 for the first connection, 1 for the next, ...
    wire::MessageHeader header{};
    std::vector<uint8_t> payload;  // what followed the header
    std::vector<uint8_t> raw;      // header + payload as received
};

class Conn {
public:
    explicit Conn(int fd, int index) : fd_(fd), index_(index) {}
    int index() const { return index_; }
    void Send(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        while (n > 0) {
            ssize_t w = ::send(fd_, b, n, MSG_NOSIGNAL);
            if (w <= 0) return;
            b += w;
            n -= (size_t)w;
        }
    }
    void Send(const std::vector<uint8_t>& v) { Send(v.data(), v.size()); }
    void SendHeader(uint8_t opcode, uint8_t flags, uint32_t seq, uint64_t offset, uint32_t length,
                    uint32_t magic = wire::kMagic, uint16_t version = wire::kVersion) {
        wire::MessageHeader h{magic, version, opcode, flags, seq, offset, length};
        Send(&h, sizeof(h));
    }
    void Close() {
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
        closed_ = true;
    }
    bool closed() const { return closed_; }

private:
    int fd_;
    int index_;
    bool closed_ = false;
};

// A handler that the test replaces between exchanges while the peer thread may still be
// finishing a call of the previous one: calls run on a copy taken under the lock.
class Hook {
public:
    using Fn = std::function<void(Conn&, const struct Request&)>;
    Hook& operator=(Fn f) {
        std::lock_guard<std::mutex> g(lock_);
        fn_ = std::move(f);
        return *this;
    }
    Hook& operator=(std::nullptr_t) { return *this = Fn(); }
    explicit operator bool() {
        std::lock_guard<std::mutex> g(lock_);
        return (bool)fn_;
    }
    void operator()(Conn& c, const struct Request& r) {
        Fn f;
        {
            std::lock_guard<std::mutex> g(lock_);
            f = fn_;
        }
        if (f) f(c, r);
    }

private:
    std::mutex lock_;
    Fn fn_;
};

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Payload bytes that follow a request header.
inline uint64_t PayloadLength(const wire::MessageHeader& h) {
    switch (h.opcode) {
        case wire::OpHandshake: return (uint64_t)h.length + 12;
        case wire::OpRead:
        case wire::OpPing: return 0;
        case wire::OpBatchWrite: return h.offset * sizeof(wire::BatchSegment) + h.length;
        default: return h.length;
    }
}

class Server {
public:
    using Handler = std::function<void(Conn&, const Request&)>;

    explicit Server(Handler h) : handler_(std::move(h)) {
        lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(lfd_, 16) != 0) abort();
        socklen_t len = sizeof(a);
        getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~Server() { Stop(); }

    void Stop() {
        if (stopped_.exchange(true)) return;
        ::shutdown(lfd_, SHUT_RDWR);
        ::close(lfd_);
        acceptor_.join();
        std::vector<std::thread> ts;
        {
            std::lock_guard<std::mutex> g(lock_);
            for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
            ts.swap(threads_);
        }
        for (auto& t : ts) t.join();
        std::lock_guard<std::mutex> g(lock_);
        for (int fd : fds_) ::close(fd);
        fds_.clear();
    }

    uint16_t port() const { return port_; }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_;
    }
    size_t RequestCount() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_.size();
    }
    int Connections() const { return connections_.load(); }

    // Waits until at least n requests were recorded (or the time ran out).
    bool WaitRequests(size_t n, int ms = 5000) {
        std::unique_lock<std::mutex> g(lock_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return requests_.size() >= n; });
    }

private:
    void AcceptLoop() {
        for (;;) {
            int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            int index = connections_.fetch_add(1);
            std::lock_guard<std::mutex> g(lock_);
            fds_.push_back(fd);
            threads_.emplace_back([this, fd, index] { Serve(fd, index); });
        }
    }

    bool ReadExact(int fd, void* p, size_t n) {
        uint8_t* b = static_cast<uint8_t*>(p);
        while (n > 0) {
            ssize_t r = ::recv(fd, b, n, 0);
            if (r <= 0) return false;
            b += r;
            n -= (size_t)r;
        }
        return true;
    }

    void Serve(int fd, int index) {
        Conn conn(fd, index);
        for (;;) {
            Request req;
            req.conn = index;
            if (!ReadExact(fd, &req.header, sizeof(req.header))) return;
            uint64_t n = PayloadLength(req.header);
            if (n > (64u << 20)) return;
            req.payload.resize(n);
            if (n && !ReadExact(fd, req.payload.data(), n)) return;
            req.raw.resize(sizeof(req.header) + n);
            memcpy(req.raw.data(), &req.header, sizeof(req.header));
            if (n) memcpy(req.raw.data() + sizeof(req.header), req.payload.data(), n);
            {
                std::lock_guard<std::mutex> g(lock_);
                requests_.push_back(req);
            }
            cv_.notify_all();
            handler_(conn, req);
            if (conn.closed()) return;
        }
    }

    Handler handler_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopped_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::vector<Request> requests_;
};

// A small in-memory disk that answers like a well-behaved server; tests override single
// opcodes around it.
struct Disk {
    std::vector<uint8_t> data = std::vector<uint8_t>(1 << 20);
    uint32_t version = 1;
    uint32_t hsFlags = 0;  // bit 0 ro, bit 1 su
    uint32_t blockSize = 512;
    std::mutex lock;

    Disk() {
        for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7 + (i >> 9));
    }

    void Answer(Conn& c, const Request& r) {
        const auto& h = r.header;
        std::lock_guard<std::mutex> g(lock);
        switch (h.opcode) {
            case wire::OpHandshake: {
                wire::HandshakeResponse b{1, 0, 7, 0, data.size(), blockSize, hsFlags, version};
                c.SendHeader(wire::OpRespOk, 0, h.seq, 0, sizeof(b));
                c.Send(&b, sizeof(b));
                break;
            }
            case wire::OpRead:
                if (h.offset + h.length > data.size()) {
                    c.SendHeader(wire::OpRespError, 0, h.seq, h.offset, wire::ErrInvalidParameter);
                } else {
                    c.SendHeader(wire::OpRespOk, wire::FlagData, h.seq, h.offset, h.length);
                    c.Send(data.data() + h.offset, h.length);
                }
                break;
            case wire::OpWrite:
                memcpy(data.data() + h.offset, r.payload.data(), h.length);
                c.SendHeader(wire::OpRespOk, 0, h.seq, h.offset, h.length);
                break;
            case wire::OpBatchRead: {
                const auto* segs = reinterpret_cast<const wire::BatchSegment*>(r.payload.data());
                for (uint64_t i = 0; i < h.offset; i++) {
                    c.SendHeader(wire::OpRespOk, wire::FlagData, h.seq, segs[i].offset, segs[i].length);
                    c.Send(data.data() + segs[i].offset, segs[i].length);
                }
                c.SendHeader(wire::OpRespOk, 0, h.seq, wire::kBatchEndMarker, 0);
                break;
            }
            case wire::OpBatchWrite: {
                const auto* segs = reinterpret_cast<const wire::BatchSegment*>(r.payload.data());
                size_t pos = h.offset * sizeof(wire::BatchSegment);
                for (uint64_t i = 0; i < h.offset; i++) {
                    memcpy(data.data() + segs[i].offset, r.payload.data() + pos, segs[i].length);
                    pos += segs[i].length;
                }
                c.SendHeader(wire::OpRespOk, 0, h.seq, 0, h.length);
                break;
            }
            case wire::OpPing: c.SendHeader(wire::OpRespPong, 0, h.seq, 0, 0); break;
            case wire::OpExitSuperUser: {
                wire::ExitSuperUserResponse b{12, 12 * 512};
                c.SendHeader(wire::OpRespOk, 0, h.seq, 0, sizeof(b));
                c.Send(&b, sizeof(b));
                break;
            }
            case wire::OpMigrationStatus: {
                wire::MigrationStatusResponse b{1, 2, 3, 0xAAAA, 40, 6, 100, 8};
                c.SendHeader(wire::OpRespOk, 0, h.seq, 0, sizeof(b));
                c.Send(&b, sizeof(b));
                break;
            }
            case wire::OpTransportNegotiate: {
                wire::TransportNegotiateResponse b{3, 0x10000 + 9601, 0x20000 + 9700, 1400, 0};
                c.SendHeader(wire::OpRespTransportNegotiate, 0, h.seq, 0, sizeof(b));
                c.Send(&b, sizeof(b));
                break;
            }
            case wire::OpPathDeregister: c.SendHeader(wire::OpRespOk, 0, h.seq, 0, 0); break;
            default: c.SendHeader(wire::OpRespError, 0, h.seq, 0, wire::ErrInvalidParameter); break;
        }
    }
};

}  // namespace peer
