#include "net_server.h"

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

namespace zelko::diskd {

namespace {

constexpr size_t kHeader = sizeof(wire::MessageHeader);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
char g_listenTag, g_wakeTag;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string AddrText(const sockaddr_storage& ss, uint16_t* port) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET) {
        auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
        *port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {
            inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], buf, sizeof buf);
        } else {
            inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
        }
        *port = ntohs(a->sin6_port);
    }
    return buf;
}

int BindSocket(const Endpoint& ep, int type, uint16_t* boundPort, std::string* error) {
    addrinfo hints{};
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    std::string port = std::to_string(ep.port);
    int rc = getaddrinfo(ep.host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        *error = "bad listen address " + ep.host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = socket(res->ai_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, res->ai_addr, res->ai_addrlen) != 0) {
        *error = "cannot bind " + ep.host + ":" + port + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        freeaddrinfo(res);
        return -1;
    }
    freeaddrinfo(res);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    AddrText(ss, boundPort);
    return fd;
}

}  // namespace

struct NetServer::Conn {
    int fd = -1;
    std::shared_ptr<Session> session;
    Bytes in;  // received, not yet processed bytes [0, inLen)
    size_t inLen = 0;
    // The size of the frame at the front of `in` once its header has arrived and it does not
    // fit yet. The buffer grows towards it only as its bytes come in: a header alone, which
    // may declare up to max-io, must not make the server allocate that much.
    size_t want = 0;
    Bytes out;  // answer bytes [outOff, out.size()) still to send
    size_t outOff = 0;
    bool closeAfterFlush = false;
    const char* closeWhy = "";
    std::vector<uint8_t> parked;  // a Handshake waiting for an admission thread
    std::mutex mutex;
    // What the sweeper looks at without the connection's lock (set by whoever holds it), in
    // steady-clock milliseconds. unboundSince: opened, or last tried a handshake, and has no
    // session (0 once it has one). busySince: a request has been arriving, or an answer
    // leaving, since then (0 when neither).
    std::atomic<int64_t> unboundSince{0};
    std::atomic<int64_t> busySince{0};
    std::atomic<bool> parkedNow{false};     // waiting for the management server, not the peer
    std::atomic<const char*> cut{nullptr};  // why the sweeper hung it up
    bool evicted = false;                   // guarded by connsMutex_
};


NetServer::NetServer(const Config& cfg, ImageStore& store, ServerStats& stats)
    : cfg_(cfg), store_(store), stats_(stats) {}

NetServer::~NetServer() { Stop(); }

bool NetServer::Start(std::string* error) {
    listenFd_ = BindSocket(cfg_.tcp, SOCK_STREAM, &tcpPort_, error);
    if (listenFd_ < 0) return false;
    if (listen(listenFd_, 1024) != 0) {
        *error = std::string("listen: ") + strerror(errno);
        return false;
    }
    if (cfg_.udp.enabled) {
        Endpoint ep = cfg_.udp;
        // "Same port as TCP" with an ephemeral TCP port: take the port TCP actually got, or
        // any free one if that is taken for UDP.
        if (ep.port == 0 && cfg_.tcp.port == 0 && ep.host == cfg_.tcp.host) ep.port = tcpPort_;
        uint16_t port = 0;
        udpFd_ = BindSocket(ep, SOCK_DGRAM, &port, error);
        if (udpFd_ < 0 && ep.port == tcpPort_ && cfg_.udp.port == 0) {
            ep.port = 0;
            udpFd_ = BindSocket(ep, SOCK_DGRAM, &port, error);
        }
        if (udpFd_ < 0) return false;
        // The UDP receivers block in recvfrom; a timeout lets them notice shutdown.
        int fl = fcntl(udpFd_, F_GETFL);
        fcntl(udpFd_, F_SETFL, fl & ~O_NONBLOCK);
        timeval tv{0, 200000};
        setsockopt(udpFd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int buf = 4 << 20;
        setsockopt(udpFd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        setsockopt(udpFd_, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
        udp_.port = port;
    }
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.ptr = &g_listenTag;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    ev.events = EPOLLIN;  // level-triggered: once written, it wakes every worker for good
    ev.data.ptr = &g_wakeTag;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    for (unsigned i = 0; i < cfg_.workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
    sweeper_ = std::thread([this] { SweepLoop(); });
    if (store_.managed())
        for (unsigned i = 0; i < cfg_.admissionThreads; ++i) admissionThreads_.emplace_back([this] { AdmissionLoop(); });
    if (udpFd_ >= 0)
        for (int i = 0; i < 2; ++i) udpThreads_.emplace_back([this] { UdpLoop(); });
    ZLOG(Info, "net", "listening tcp=%s:%u udp=%s:%u workers=%u compression=%s", cfg_.tcp.host.c_str(), tcpPort_,
         cfg_.udp.enabled ? cfg_.udp.host.c_str() : "off", udp_.port, cfg_.workers, cfg_.compression ? "on" : "off");
    return true;
}

void NetServer::Stop() {
    if (epollFd_ < 0) return;
    stopping_ = true;
    uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) { /* the flag alone stops them at the next event */ }
    for (auto& t : workers_) t.join();
    workers_.clear();
    {
        std::lock_guard<std::mutex> lk(sweepMutex_);
    }
    sweepCv_.notify_all();
    if (sweeper_.joinable()) sweeper_.join();
    {
        std::lock_guard<std::mutex> lk(admissionMutex_);
        admissionStop_ = true;
    }
    admissionCv_.notify_all();
    for (auto& t : admissionThreads_) t.join();
    admissionThreads_.clear();
    for (auto& t : udpThreads_) t.join();
    udpThreads_.clear();
    // Workers are gone: answers that are still queued get a bounded blocking send.
    std::lock_guard<std::mutex> lk(connsMutex_);
    size_t flushed = 0;
    for (Conn* c : conns_) {
        if (c->outOff < c->out.size()) {
            int fl = fcntl(c->fd, F_GETFL);
            fcntl(c->fd, F_SETFL, fl & ~O_NONBLOCK);
            timeval tv{5, 0};
            setsockopt(c->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            while (c->outOff < c->out.size()) {
                ssize_t n = send(c->fd, c->out.data() + c->outOff, c->out.size() - c->outOff, MSG_NOSIGNAL);
                if (n <= 0) break;
                c->outOff += static_cast<size_t>(n);
            }
            ++flushed;
        }
        close(c->fd);
        delete c;
    }
    ZLOG(Info, "net", "closed %zu connections (%zu with queued answers)", conns_.size(), flushed);
    conns_.clear();
    close(listenFd_);
    if (udpFd_ >= 0) close(udpFd_);
    close(wakeFd_);
    close(epollFd_);
    epollFd_ = -1;
}

size_t NetServer::connections() {
    std::lock_guard<std::mutex> lk(connsMutex_);
    return conns_.size();
}

void NetServer::WorkerLoop() {
    while (!stopping_) {
        epoll_event ev;
        int n = epoll_wait(epollFd_, &ev, 1, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || stopping_) break;
        if (ev.data.ptr == &g_wakeTag) break;
        if (ev.data.ptr == &g_listenTag) {
            Accept();
            continue;
        }
        HandleConn(static_cast<Conn*>(ev.data.ptr), ev.events);
    }
}

void NetServer::Accept() {
    for (;;) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                ZLOG(Warn, "net", "accept failed: %s", strerror(errno));
            return;
        }
        uint16_t port = 0;
        std::string ip = AddrText(ss, &port);
        {
            std::lock_guard<std::mutex> lk(connsMutex_);
            if (conns_.size() - evicting_ >= cfg_.maxConnections) {
                // Connections that never got a session are what a flood leaves behind; the
                // oldest of them makes room, so a PC that comes to boot is still served.
                Conn* oldest = nullptr;
                for (Conn* o : conns_)
                    if (!o->cut.load() && !o->parkedNow.load() && o->unboundSince.load() &&
                        (!oldest || o->unboundSince.load() < oldest->unboundSince.load()))
                        oldest = o;
                if (!oldest) {
                    ZLOG(Warn, "net", "connection refused peer=%s:%u: limit of %u connections reached", ip.c_str(),
                         port, cfg_.maxConnections);
                    close(fd);
                    continue;
                }
                oldest->evicted = true;
                ++evicting_;
                Cut(oldest, "connection limit reached: made room for a new connection");
            }
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A PC that is reset or loses power leaves its connection half-open, and the server
        // never writes unasked: without keepalive that session, and so its layer, would count
        // as attached for ever (a super-user layer is never merged while attached). Dead peers
        // are found after about two minutes.
        int idle = 60, interval = 10, count = 6;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        auto* c = new Conn();
        c->fd = fd;
        c->session = std::make_shared<Session>(store_, cfg_, stats_, udp_, ip, port);
        c->in.resize(16 * 1024);
        c->unboundSince = NowMs();
        {
            std::lock_guard<std::mutex> lk(connsMutex_);
            conns_.insert(c);
        }
        ZLOG(Info, "net", "connection accepted peer=%s", c->session->peer().c_str());
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLONESHOT;
        ev.data.ptr = c;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
    }
}

void NetServer::CloseConn(Conn* c, const char* why) {
    ZLOG(Info, "net", "connection closed peer=%s reason=%s", c->session->peer().c_str(), why);
    {
        // Out of the set before the descriptor is closed: the sweeper must never hang up a
        // number the kernel has already given to a new connection.
        std::lock_guard<std::mutex> lk(connsMutex_);
        if (c->evicted) --evicting_;
        conns_.erase(c);
    }
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    delete c;
}

void NetServer::Cut(Conn* c, const char* why) {
    c->cut = why;
    // The hang-up wakes whichever worker the connection is armed for; that worker closes it
    // the ordinary way (it may be serving it right now: the connection's lock is not taken).
    shutdown(c->fd, SHUT_RDWR);
}

void NetServer::SweepLoop() {
    unsigned shortest = std::min(cfg_.handshakeTimeoutMs, cfg_.requestTimeoutMs);
    auto tick = std::chrono::milliseconds(std::clamp(shortest / 4, 20u, 1000u));
    std::unique_lock<std::mutex> lk(sweepMutex_);
    while (!sweepCv_.wait_for(lk, tick, [this] { return stopping_.load(); })) {
        int64_t now = NowMs();
        std::lock_guard<std::mutex> cl(connsMutex_);
        for (Conn* c : conns_) {
            if (c->cut.load() || c->parkedNow.load()) continue;
            int64_t unbound = c->unboundSince.load(), busy = c->busySince.load();
            if (unbound && now - unbound > cfg_.handshakeTimeoutMs)
                Cut(c, "no session within the handshake timeout");
            else if (busy && now - busy > cfg_.requestTimeoutMs)
                Cut(c, "a request or its answer took longer than the request timeout");
        }
    }
}

NetServer::Action NetServer::Close(Conn* c, const char* why) {
    c->closeWhy = why;
    return Action::Close;
}

bool NetServer::Flush(Conn* c) {
    while (c->outOff < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->outOff, c->out.size() - c->outOff, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            return false;
        }
        c->outOff += static_cast<size_t>(n);
    }
    c->out.clear();
    c->outOff = 0;
    // Keep a big buffer from a 32 MiB read from pinning memory for an idle connection.
    if (c->out.capacity() > (4u << 20)) c->out.shrink_to_fit();
    return true;
}

void NetServer::Rearm(Conn* c, bool wantWrite) {
    epoll_event ev{};
    ev.events = (wantWrite ? EPOLLOUT : EPOLLIN) | EPOLLONESHOT;
    ev.data.ptr = c;
    epoll_ctl(epollFd_, EPOLL_CTL_MOD, c->fd, &ev);
}

NetServer::Action NetServer::Process(Conn* c) {
    if (const char* why = c->cut.load()) return Close(c, why);
    if (c->outOff < c->out.size()) {
        if (!Flush(c)) return Close(c, "send failed");
        if (c->outOff < c->out.size()) return Action::WantWrite;
        if (c->closeAfterFlush) return Close(c, "protocol error");
    }
    bool peerClosed = false;
    // Read what is there, at most one buffer-full per wake-up (fairness between connections;
    // the buffer grows to the size of a large request once its header is known).
    if (c->inLen == c->in.size() && c->want > c->in.size())
        c->in.resize(std::min(c->want, c->in.size() * 2));
    while (c->inLen < c->in.size()) {
        ssize_t n = recv(c->fd, c->in.data() + c->inLen, c->in.size() - c->inLen, 0);
        if (n > 0) {
            size_t space = c->in.size() - c->inLen;
            c->inLen += static_cast<size_t>(n);
            // A short read means the socket is drained; asking again would only cost an
            // EAGAIN (the connection is re-armed level-triggered, so nothing is missed).
            if (static_cast<size_t>(n) < space) break;
            continue;
        }
        if (n == 0) {
            peerClosed = true;
            break;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return Close(c, "receive failed");
    }

    size_t pos = 0;
    bool park = false, served = false;
    while (!stopping_ || pos == 0) {
        if (c->inLen - pos < kHeader) break;
        wire::MessageHeader h;
        memcpy(&h, c->in.data() + pos, kHeader);
        uint64_t payload = 0;
        uint32_t err = 0;
        if (RequestPayloadSize(h, cfg_.maxIoBytes, &payload, &err) == FrameCheck::Bad) {
            ZLOG(Warn, "net", "untrustworthy stream, closing peer=%s magic=0x%08X version=%u opcode=0x%02X length=%u",
                 c->session->peer().c_str(), h.magic, h.version, h.opcode, h.length);
            stats_.errors++;
            if (err) {
                AppendHeader(c->out, wire::OpRespError, 0, h.seq, h.offset, err);
                c->closeAfterFlush = true;
                c->inLen = 0;
                if (!Flush(c)) return Close(c, "send failed");
                if (c->outOff < c->out.size()) return Action::WantWrite;
            }
            return Close(c, "protocol error");
        }
        size_t frame = kHeader + static_cast<size_t>(payload);
        if (c->inLen - pos < frame) {
            // The frame is moved to the front, where the buffer can grow to hold it as its bytes
            // arrive (see `want`).
            if (c->in.size() - pos < frame && pos > 0) {
                memmove(c->in.data(), c->in.data() + pos, c->inLen - pos);
                c->inLen -= pos;
                pos = 0;
            }
            c->want = frame;
            break;
        }
        c->want = 0;
        if (h.opcode == wire::OpHandshake && store_.managed()) {
            // The session check asks the management server; that must not hold a data-path
            // worker. The connection is parked (not re-armed) until an admission thread has
            // answered, so its requests stay in order.
            c->parked.assign(c->in.data() + pos, c->in.data() + pos + frame);
            c->parkedNow = true;
            pos += frame;
            park = served = true;
            break;
        }
        if (!c->session->HandleTcp(h, c->in.data() + pos + kHeader, payload, c->out, c->fd))
            return Close(c, "answer cut short by an I/O error");
        if (h.opcode == wire::OpHandshake) c->unboundSince = c->session->Bound() ? 0 : NowMs();
        pos += frame;
        served = true;
        if (!Flush(c)) return Close(c, "send failed");
        if (c->outOff < c->out.size()) break;  // answer first, then the next request
        if (stopping_) break;
    }
    if (pos > 0) {
        memmove(c->in.data(), c->in.data() + pos, c->inLen - pos);
        c->inLen -= pos;
        if (c->in.size() > (1u << 20) && c->inLen < (16u << 10)) {
            c->in.resize(16 * 1024);
            c->in.shrink_to_fit();
        }
    }
    // The request timeout runs from the first byte of a request that has not fully arrived, or
    // of an answer that has not fully left; a request served restarts it.
    if (c->inLen == 0 && c->outOff >= c->out.size())
        c->busySince = 0;
    else if (served || c->busySince.load() == 0)
        c->busySince = NowMs();
    if (park) return Action::Park;
    if (c->outOff < c->out.size()) return Action::WantWrite;
    if (peerClosed) return Close(c, "peer closed");
    // A complete request may still be buffered (pipelining): handle it without waiting for
    // more bytes, which may never come.
    if (c->inLen >= kHeader) {
        wire::MessageHeader h;
        memcpy(&h, c->in.data(), kHeader);
        uint64_t payload = 0;
        uint32_t err = 0;
        if (RequestPayloadSize(h, cfg_.maxIoBytes, &payload, &err) == FrameCheck::Ready &&
            c->inLen >= kHeader + payload && !stopping_) {
            return Action::WantWrite;  // writable at once: comes straight back
        }
    }
    return Action::WantRead;
}

void NetServer::HandleConn(Conn* c, uint32_t events) {
    // EPOLLONESHOT already hands a connection to one worker at a time; the (uncontended) lock
    // states that hand-over in terms the C++ memory model, and ThreadSanitizer, can see.
    Action a;
    {
        std::unique_lock<std::mutex> lk(c->mutex, std::defer_lock);
        // The previous worker re-arms the connection just before it lets go of it, so the
        // worker that the client's next request wakes often finds the lock still held for the
        // moment that takes. Sleeping on it would cost two more context switches per request:
        // spin briefly first. (Re-arming after the unlock would avoid the wait, but then
        // nothing a race detector can see orders that epoll_ctl before the next worker's close.)
        for (int i = 0; i < 200 && !lk.try_lock(); ++i) CpuRelax();
        if (!lk.owns_lock()) lk.lock();
        a = Process(c);
        if (a == Action::WantRead || a == Action::WantWrite) Rearm(c, a == Action::WantWrite);
    }
    if (a == Action::Close) CloseConn(c, c->closeWhy);
    if (a == Action::Park) {
        {
            std::lock_guard<std::mutex> lk(admissionMutex_);
            admissionQueue_.push_back(c);
        }
        admissionCv_.notify_one();
    }
}

void NetServer::AdmissionLoop() {
    std::unique_lock<std::mutex> lk(admissionMutex_);
    for (;;) {
        // Drained even when stopping: a handshake that was received gets its answer.
        admissionCv_.wait(lk, [this] { return admissionStop_ || !admissionQueue_.empty(); });
        if (admissionQueue_.empty()) return;
        Conn* c = admissionQueue_.front();
        admissionQueue_.pop_front();
        lk.unlock();
        bool close = false;
        {
            std::lock_guard<std::mutex> cl(c->mutex);
            close = !Admit(c);
            // Back to the workers through an immediate "writable" event: they send what is
            // left and go on with any request that arrived meanwhile.
            if (!close) Rearm(c, true);
        }
        if (close) CloseConn(c, "send failed");
        lk.lock();
    }
}

bool NetServer::Admit(Conn* c) {
    wire::MessageHeader h;
    memcpy(&h, c->parked.data(), kHeader);
    c->session->HandleTcp(h, c->parked.data() + kHeader, c->parked.size() - kHeader, c->out);
    c->parked.clear();
    c->parked.shrink_to_fit();
    c->unboundSince = c->session->Bound() ? 0 : NowMs();
    c->parkedNow = false;
    return Flush(c);
}

NetServer::Handle NetServer::Adopt(int fd, const std::string& peerIp, uint16_t peerPort) {
    auto* c = new Conn();
    c->fd = fd;
    c->session = std::make_shared<Session>(store_, cfg_, stats_, udp_, peerIp, peerPort);
    c->in.resize(16 * 1024);
    c->unboundSince = NowMs();
    std::lock_guard<std::mutex> lk(connsMutex_);
    conns_.insert(c);
    return c;
}

NetServer::PumpResult NetServer::Pump(Handle h) {
    auto* c = static_cast<Conn*>(h);
    Action a;
    {
        std::lock_guard<std::mutex> lk(c->mutex);
        a = Process(c);
        if (a == Action::Park) a = Admit(c) ? Action::WantWrite : Close(c, "send failed");
    }
    if (a == Action::Close) {
        CloseConn(c, c->closeWhy);
        return PumpResult::Closed;
    }
    return a == Action::WantWrite ? PumpResult::WaitWrite : PumpResult::WaitRead;
}

size_t NetServer::BufferedBytes(Handle h) {
    auto* c = static_cast<Conn*>(h);
    return c->in.capacity() + c->out.capacity() + c->parked.capacity();
}

void ServeDatagram(const Config& cfg, UdpRegistry& udp, std::atomic<uint32_t>& pushSeq, const uint8_t* p,
                   size_t n, const std::string& ip, Bytes& out, const std::function<void(const Bytes&)>& send) {
    if (n < kHeader) return;
    wire::MessageHeader h;
    memcpy(&h, p, kHeader);
    if (h.magic != wire::kMagic || h.version != wire::kVersion) return;
    auto session = udp.Find(ip);
    if (!session) {
        ZLOG(Debug, "udp", "datagram from %s without a negotiated session dropped", ip.c_str());
        return;
    }
    out.clear();
    session->HandleUdp(h, p + kHeader, n - kHeader, out);
    if (!out.empty()) send(out);
    // Read-ahead into the client's cache: the blocks that follow a successful read.
    if (cfg.udpPushAhead && h.opcode == wire::OpRead && out.size() > kHeader && out[6] == wire::OpRespOk) {
        uint64_t next = (h.offset + h.length + kLayerBlock - 1) / kLayerBlock * kLayerBlock;
        for (unsigned k = 0; k < cfg.udpPushAhead; ++k, next += kLayerBlock) {
            if (!session->BuildPushBlock(next, pushSeq.fetch_add(1), out)) break;
            send(out);
        }
    }
}

void NetServer::UdpLoop() {
    std::vector<uint8_t> buf(65536);
    Bytes out;
    while (!stopping_) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ssize_t n = recvfrom(udpFd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&ss), &len);
        if (n < 0) continue;  // timeout (shutdown check) or a transient error
        uint16_t port = 0;
        std::string ip = AddrText(ss, &port);
        ServeDatagram(cfg_, udp_, pushSeq_, buf.data(), static_cast<size_t>(n), ip, out, [&](const Bytes& d) {
            sendto(udpFd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
        });
    }
}

}  // namespace zelko::diskd
