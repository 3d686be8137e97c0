#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "zelko_common/log.h"

namespace zelko::mgmtd::http {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

const char* Reason(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 411: return "Length Required";
        case 413: return "Payload Too Large";
        case 415: return "Unsupported Media Type";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return status < 300 ? "OK" : status < 500 ? "Bad Request" : "Internal Server Error";
    }
}

std::string ErrorBody(int status, const char* message) {
    // Plain ASCII digits and a fixed text: no JSON library needed to write it safely.
    return "{\"code\":" + std::to_string(status) + ",\"message\":\"" + message + "\"}";
}

const char* DefaultMessage(int status) {
    switch (status) {
        case 404: return "接口不存在";
        case 405: return "不支持的请求方法";
        case 413: return "请求体过大";
        case 431: return "请求头过大";
        case 500: return "服务器内部错误";
        case 501: return "不支持的传输编码";
        case 505: return "不支持的 HTTP 版本";
        default: return "请求无效";
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A token character of RFC 9110 (method and header names).
bool TokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

}  // namespace

std::string DecodeUrl(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string Request::Header(std::string_view name) const {
    for (auto& [k, v] : headers)
        if (IEquals(k, name)) return v;
    return {};
}

std::string Request::Param(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

// ---- one connection --------------------------------------------------------------------------

struct Server::Conn {
    explicit Conn(const Limits& limits) : parser(limits) {}
    // Draining: the reply is out and our side shut down; what the client still sends is read
    // and dropped until it closes, so that closing never resets a reply it has not read yet.
    enum class State { ReadHead, ReadBody, Busy, Writing, Draining };
    int fd = -1;
    std::string addr;
    int port = 0;
    State state = State::ReadHead;
    uint32_t watching = 0;
    std::string in;   // bytes received and not yet consumed
    std::string out;  // reply bytes still to send
    size_t outOff = 0;
    int64_t deadline = 0;  // steady ms; 0 = none
    int64_t idleSince = 0;
    uint64_t idleSeq = 0;  // orders connections that became idle in the same millisecond
    int requests = 0;
    bool closeAfterWrite = false;
    bool keepAlive = true;

    // The request being read.
    Request req;
    RequestParser parser;
    // The reply being written, for the access log.
    Response res;
};

Server::Server(Limits limits) : limits_(limits) {
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epfd_ < 0 || wakeFd_ < 0) throw std::runtime_error(std::string("epoll: ") + std::strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    epoll_ctl(epfd_, EPOLL_CTL_ADD, wakeFd_, &ev);
}

Server::~Server() {
    for (auto& [fd, c] : conns_) ::close(fd);
    for (int fd : listenFds_) ::close(fd);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (epfd_ >= 0) ::close(epfd_);
}

void Server::Route(const std::string& method, const std::string& pattern, Handler handler, Lane lane) {
    routes_.push_back(RouteEntry{method, std::regex(pattern), std::move(handler), lane});
}

Lane Server::LaneOf(const Request& req) const {
    const std::string& method = req.method == "HEAD" ? std::string("GET") : req.method;
    for (auto& route : routes_)
        if (route.method == method && std::regex_match(req.path, route.pattern)) return route.lane;
    return Lane::Quick;
}

int Server::Listen(const std::string& host, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, limits_.backlog) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
    listenFds_.push_back(fd);
    return ntohs(sa.sin_port);
}

void Server::Stop() {
    stopping_ = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

// A connection with a worker is taken out of the epoll set altogether: epoll reports a hang-up
// even for an empty event mask, and the reactor would spin on it until the reply is ready.
void Server::Watch(Conn* c, uint32_t events) {
    if (c->watching == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = c->fd;
    int op = events == 0 ? EPOLL_CTL_DEL : c->watching == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    epoll_ctl(epfd_, op, c->fd, events == 0 ? nullptr : &ev);
    c->watching = events;
}

void Server::Run() {
    for (int i = 0; i < std::max(1, limits_.workers); ++i) workers_.emplace_back([this] { WorkerLoop(0); });
    for (int i = 0; i < std::max(1, limits_.slowWorkers); ++i) workers_.emplace_back([this] { WorkerLoop(1); });
    int64_t lastSweep = NowMs();
    std::vector<epoll_event> events(256);
    while (!stopping_) {
        int n = epoll_wait(epfd_, events.data(), static_cast<int>(events.size()), 100);
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == wakeFd_) {
                uint64_t v;
                [[maybe_unused]] ssize_t r = read(wakeFd_, &v, sizeof v);
                continue;
            }
            if (std::find(listenFds_.begin(), listenFds_.end(), fd) != listenFds_.end()) {
                Accept(fd);
                continue;
            }
            auto it = conns_.find(fd);
            if (it == conns_.end()) continue;
            Conn* c = it->second.get();
            if (c->state == Conn::State::Writing)
                OnWritable(c);
            else if (c->state == Conn::State::Draining)
                Drain(c);
            else if (c->state != Conn::State::Busy)
                OnReadable(c);
        }
        // Replies the workers have finished.
        std::vector<Conn*> done;
        {
            std::lock_guard<std::mutex> lock(mu_);
            done.swap(done_);
        }
        for (Conn* c : done) {
            --busy_;
            StartWrite(c);
        }
        int64_t now = NowMs();
        if (now - lastSweep >= 100) {
            Sweep(now);
            lastSweep = now;
        }
    }
    // Shutdown: no new connections; requests with a worker are answered (best effort, without
    // waiting for slow readers), then everything is closed.
    for (int fd : listenFds_) ::close(fd);
    listenFds_.clear();
    int64_t giveUp = NowMs() + 5000;
    while (busy_ > 0 && NowMs() < giveUp) {
        std::vector<Conn*> done;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !done_.empty(); });
            done.swap(done_);
        }
        for (Conn* c : done) {
            --busy_;
            c->closeAfterWrite = true;
            StartWrite(c);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        workersStop_ = true;
        queue_[0].clear();
        queue_[1].clear();
    }
    laneCv_[0].notify_all();
    laneCv_[1].notify_all();
    for (auto& t : workers_) t.join();
    workers_.clear();
    for (auto& [fd, c] : conns_) ::close(fd);
    conns_.clear();
    perAddress_.clear();
}

void Server::Accept(int listenFd) {
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: make room by dropping an idle connection; the pending
                // one stays in the backlog until the next round.
                if (!EvictIdle()) ZLOG(Warn, "http", "out of file descriptors with no idle connection to drop");
            }
            return;
        }
        ++stats_.accepted;
        char buf[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
        std::string addr = buf;
        int& count = perAddress_[addr];
        if (count >= limits_.maxPerAddress) {
            ++stats_.refusedPerAddress;
            if (stats_.refusedPerAddress % 100 == 1)
                ZLOG(Warn, "http", "%s holds %d connections already; further ones are closed", addr.c_str(), count);
            ::close(fd);
            continue;
        }
        if (static_cast<int>(conns_.size()) >= limits_.maxConnections && !EvictIdle()) {
            ::close(fd);
            continue;
        }
        ++count;
        int one = 1;
        // Every reply leaves in one write, but the 100-continue interim answer and the reply
        // after it are two: without this the second would wait for the peer's delayed ACK.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Conn>(limits_);
        c->fd = fd;
        c->addr = addr;
        c->port = ntohs(sa.sin_port);
        int64_t now = NowMs();
        c->idleSince = now;
        c->idleSeq = ++idleSeq_;
        c->deadline = now + limits_.idleTimeoutMs;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = fd;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
        c->watching = ev.events;
        conns_.emplace(fd, std::move(c));
    }
}

// The connection that has waited longest without a request under way gives way. With none
// idle, the one whose request has been arriving longest does, once that is longer than any
// client on the LAN needs to send a request: otherwise connections that each keep a request
// coming a byte at a time would lock every other client out until they time out.
bool Server::EvictIdle() {
    Conn* victim = nullptr;
    for (auto& [fd, c] : conns_)
        if (((c->state == Conn::State::ReadHead && c->in.empty()) || c->state == Conn::State::Draining) &&
            (!victim || std::pair(c->idleSince, c->idleSeq) < std::pair(victim->idleSince, victim->idleSeq)))
            victim = c.get();
    if (!victim) {
        // A request under way has deadline = its first byte + requestTimeoutMs.
        int64_t latestStart = NowMs() - kSlowRequestMs;
        for (auto& [fd, c] : conns_) {
            bool arriving = (c->state == Conn::State::ReadHead && !c->in.empty()) || c->state == Conn::State::ReadBody;
            if (arriving && c->deadline && c->deadline - limits_.requestTimeoutMs <= latestStart &&
                (!victim || c->deadline < victim->deadline))
                victim = c.get();
        }
        if (!victim) return false;
        ++stats_.evictedSlow;
    } else {
        ++stats_.evictedIdle;
    }
    Close(victim);
    return true;
}

void Server::Drain(Conn* c) {
    char buf[16 * 1024];
    for (;;) {
        ssize_t n = recv(c->fd, buf, sizeof buf, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        Close(c);
        return;
    }
}

void Server::Close(Conn* c) {
    if (c->watching) epoll_ctl(epfd_, EPOLL_CTL_DEL, c->fd, nullptr);
    ::close(c->fd);
    auto it = perAddress_.find(c->addr);
    if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
    conns_.erase(c->fd);  // frees c
}

void Server::Sweep(int64_t now) {
    std::vector<Conn*> expired;
    for (auto& [fd, c] : conns_)
        if (c->state != Conn::State::Busy && c->deadline && now >= c->deadline) expired.push_back(c.get());
    for (Conn* c : expired) {
        if ((!c->in.empty() && c->state != Conn::State::Draining) || c->state == Conn::State::Writing)
            ++stats_.timedOut;
        Close(c);
    }
}

void Server::OnReadable(Conn* c) {
    char buf[64 * 1024];
    for (;;) {
        ssize_t n = recv(c->fd, buf, sizeof buf, 0);
        if (n > 0) {
            if (c->in.empty() && c->state == Conn::State::ReadHead)
                c->deadline = NowMs() + limits_.requestTimeoutMs;  // a request has begun
            c->in.append(buf, static_cast<size_t>(n));
            Advance(c);
            // Advance may have closed c, handed it to a worker or started a reply.
            auto it = conns_.find(c->fd);
            if (it == conns_.end() || it->second.get() != c) return;
            if (c->state != Conn::State::ReadHead && c->state != Conn::State::ReadBody) return;
            if (static_cast<size_t>(n) < sizeof buf) return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        Close(c);  // peer closed or failed
        return;
    }
}

void Server::Refuse(Conn* c, int status, const char* message) {
    Response res;
    res.status = status;
    res.Set(ErrorBody(status, message), "application/json; charset=utf-8");
    c->res = res;
    c->req.method = c->req.method.empty() ? "-" : c->req.method;
    c->closeAfterWrite = true;
    c->out = Serialize(nullptr, res, false);
    c->outOff = 0;
    c->in.clear();
    c->state = Conn::State::Writing;
    c->deadline = NowMs() + limits_.writeTimeoutMs;
    if (accessLog_) accessLog_(c->req, res);
    OnWritable(c);
}

RequestParser::Result RequestParser::ParseHead(std::string& in, Request& r) {
    size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (in.size() > limits_.maxHead) return Refuse(431);
        return Result::NeedMore;
    }
    if (end + 4 > limits_.maxHead) return Refuse(431);
    r = Request();
    std::string_view head(in.data(), end);
    size_t eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return Refuse(400);
    std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                     version = line.substr(sp2 + 1);
    if (method.empty() || target.empty() || target.find(' ') != std::string_view::npos) return Refuse(400);
    for (char ch : method)
        if (!TokenChar(ch)) return Refuse(400);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return Refuse(505);
    if (target.front() != '/') return Refuse(400);
    for (char ch : target)
        if (static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F) return Refuse(400);
    r.method = std::string(method);
    size_t q = target.find('?');
    r.path = DecodeUrl(target.substr(0, q), false);
    if (q != std::string_view::npos) {
        r.query = std::string(target.substr(q + 1));
        std::string_view rest = r.query;
        while (!rest.empty()) {
            size_t amp = rest.find('&');
            std::string_view kv = rest.substr(0, amp);
            size_t eq = kv.find('=');
            if (!kv.empty())
                r.params.emplace(DecodeUrl(kv.substr(0, eq), true),
                                 eq == std::string_view::npos ? std::string() : DecodeUrl(kv.substr(eq + 1), true));
            if (amp == std::string_view::npos) break;
            rest.remove_prefix(amp + 1);
        }
    }
    std::string_view rest = eol == std::string_view::npos ? std::string_view() : head.substr(eol + 2);
    while (!rest.empty()) {
        size_t e = rest.find("\r\n");
        std::string_view h = rest.substr(0, e);
        rest = e == std::string_view::npos ? std::string_view() : rest.substr(e + 2);
        size_t colon = h.find(':');
        // No name, a name with blanks before the colon, or an obsolete folded line.
        if (colon == 0 || colon == std::string_view::npos) return Refuse(400);
        for (size_t k = 0; k < colon; ++k)
            if (!TokenChar(h[k])) return Refuse(400);
        // Every header costs a lookup on each Header() call: thousands of tiny ones inside
        // maxHead would make each request's handling quadratic.
        if (r.headers.size() >= limits_.maxHeaders) return Refuse(431);
        r.headers.emplace_back(std::string(h.substr(0, colon)), std::string(Trim(h.substr(colon + 1))));
    }
    std::string connection = r.Header("Connection");
    keepAlive_ = version == "HTTP/1.1" ? !IEquals(connection, "close") : IEquals(connection, "keep-alive");
    in.erase(0, end + 4);  // `head` and its views end here
    // A request with both framings, or with two different lengths, is how requests are
    // smuggled past a proxy: refuse them.
    chunked_ = false;
    contentLength_ = 0;
    bool haveLength = false;
    for (auto& [k, v] : r.headers) {
        if (IEquals(k, "Transfer-Encoding")) {
            if (!IEquals(v, "chunked") || chunked_) return Refuse(501);
            chunked_ = true;
        } else if (IEquals(k, "Content-Length")) {
            size_t len = 0;
            auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), len);
            if (v.empty() || ec == std::errc::result_out_of_range) return Refuse(v.empty() ? 400 : 413);
            if (ec != std::errc() || p != v.data() + v.size() || (haveLength && len != contentLength_))
                return Refuse(400);
            haveLength = true;
            contentLength_ = len;
        }
    }
    if (chunked_ && haveLength) return Refuse(400);
    // Refused at once, before a byte of it is read.
    if (contentLength_ > limits_.maxBody) return Refuse(413);
    chunkLeft_ = 0;
    chunkCrlf_ = false;
    inTrailers_ = false;
    trailerBytes_ = 0;
    wantsContinue_ = IEquals(r.Header("Expect"), "100-continue") && (chunked_ || contentLength_ > 0);
    inBody_ = true;
    return Result::Complete;
}

RequestParser::Result RequestParser::Parse(std::string& in, Request& r) {
    if (!inBody_) {
        Result head = ParseHead(in, r);
        if (head != Result::Complete) return head;
    }
    if (!chunked_) {
        size_t need = contentLength_ - r.body.size();
        size_t take = std::min(need, in.size());
        r.body.append(in, 0, take);
        in.erase(0, take);
        if (r.body.size() < contentLength_) return Result::NeedMore;
    } else {
        // Chunks are decoded as they arrive, so what is held never exceeds the limit plus one
        // read, however the body is cut into chunks.
        for (;;) {
            if (chunkLeft_ > 0) {
                size_t take = std::min(chunkLeft_, in.size());
                r.body.append(in, 0, take);
                in.erase(0, take);
                chunkLeft_ -= take;
                if (chunkLeft_ > 0) return Result::NeedMore;
                chunkCrlf_ = true;
            }
            if (chunkCrlf_) {
                if (in.size() < 2) return Result::NeedMore;
                if (in.compare(0, 2, "\r\n") != 0) return Refuse(400);
                in.erase(0, 2);
                chunkCrlf_ = false;
            }
            size_t e = in.find("\r\n");
            if (e == std::string::npos) {
                if (in.size() > 1024) return Refuse(400);
                return Result::NeedMore;
            }
            std::string_view line(in.data(), e);
            if (inTrailers_) {
                // Trailers are read and dropped, but they are a head of their own: bounded
                // like one, or a client could keep a connection busy with them for ever.
                trailerBytes_ += e + 2;
                if (trailerBytes_ > limits_.maxHead) return Refuse(431);
                bool last = line.empty();
                in.erase(0, e + 2);
                if (last) break;  // the body is complete
                continue;
            }
            std::string_view size = line.substr(0, line.find(';'));
            size = Trim(size);
            size_t n = 0;
            auto [p, ec] = std::from_chars(size.data(), size.data() + size.size(), n, 16);
            if (size.empty() || ec != std::errc() || p != size.data() + size.size())
                return Refuse(ec == std::errc::result_out_of_range ? 413 : 400);
            in.erase(0, e + 2);
            if (n > limits_.maxBody - r.body.size()) return Refuse(413);
            if (n == 0) {
                inTrailers_ = true;
                continue;
            }
            chunkLeft_ = n;
        }
    }
    inBody_ = false;
    return Result::Complete;
}

void Server::Advance(Conn* c) {
    RequestParser::Result st = c->parser.Parse(c->in, c->req);
    c->req.remoteAddr = c->addr;
    c->req.remotePort = c->port;
    if (st == RequestParser::Result::Refused) {
        int status = c->parser.refusal();
        return Refuse(c, status, DefaultMessage(status));
    }
    if (c->parser.TakeContinue()) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        [[maybe_unused]] ssize_t n = send(c->fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
    }
    if (st == RequestParser::Result::NeedMore) {
        c->state = c->parser.inBody() ? Conn::State::ReadBody : Conn::State::ReadHead;
        return;
    }
    c->keepAlive = c->parser.keepAlive();
    // A complete request: off to a worker. The connection is not read meanwhile; what the
    // client sends after it (a pipelined request) waits in `in`.
    c->state = Conn::State::Busy;
    c->deadline = 0;
    Watch(c, 0);
    ++busy_;
    int lane = static_cast<int>(LaneOf(c->req));
    {
        std::lock_guard<std::mutex> lock(mu_);
        queue_[lane].push_back(c);
    }
    laneCv_[lane].notify_one();
}

void Server::WorkerLoop(int lane) {
    for (;;) {
        Conn* c;
        {
            std::unique_lock<std::mutex> lock(mu_);
            laneCv_[lane].wait(lock, [&] { return workersStop_ || !queue_[lane].empty(); });
            if (workersStop_) return;
            c = queue_[lane].front();
            queue_[lane].pop_front();
        }
        Dispatch(c);
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_.push_back(c);
        }
        cv_.notify_all();
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
    }
}

// On a worker: the reactor does not touch `c` until it is back in done_.
void Server::Dispatch(Conn* c) {
    ++stats_.requests;
    Response res;
    Respond(c->req, res);
    ++c->requests;
    bool keepAlive = c->keepAlive && c->requests < limits_.maxRequestsPerConnection && !stopping_;
    c->closeAfterWrite = !keepAlive;
    c->out = Serialize(&c->req, res, keepAlive);
    c->outOff = 0;
    if (accessLog_) accessLog_(c->req, res);
    c->res = std::move(res);
}

void Server::Respond(Request& req, Response& res) {
    try {
        if (preRouting_ && preRouting_(req, res)) return;
        // HEAD is answered as GET without the body (Serialize drops it).
        const std::string& method = req.method == "HEAD" ? std::string("GET") : req.method;
        bool pathKnown = false;
        for (auto& route : routes_) {
            std::smatch m;
            if (!std::regex_match(req.path, m, route.pattern)) continue;
            pathKnown = true;
            if (route.method != method) continue;
            req.matches.clear();
            for (auto& g : m) req.matches.push_back(g.str());
            route.handler(req, res);
            if (res.body.empty() && res.status >= 400)
                res.Set(ErrorBody(res.status, DefaultMessage(res.status)), "application/json; charset=utf-8");
            return;
        }
        res.status = pathKnown ? 405 : 404;
        res.Set(ErrorBody(res.status, DefaultMessage(res.status)), "application/json; charset=utf-8");
    } catch (const std::exception& e) {
        ZLOG(Error, "http", "unhandled error on %s: %s", req.path.c_str(), e.what());
        res = Response();
        res.status = 500;
        res.Set(ErrorBody(500, DefaultMessage(500)), "application/json; charset=utf-8");
    }
}

std::string Server::Serialize(const Request* req, const Response& res, bool keepAlive) {
    std::string out;
    out.reserve(160 + res.body.size());
    out += "HTTP/1.1 " + std::to_string(res.status) + " " + Reason(res.status) + "\r\n";
    if (!res.contentType.empty()) out += "Content-Type: " + res.contentType + "\r\n";
    for (const auto& [name, value] : res.headers) out += name + ": " + value + "\r\n";
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    if (!req || req->method != "HEAD") out += res.body;
    return out;
}

void Server::StartWrite(Conn* c) {
    c->state = Conn::State::Writing;
    c->deadline = NowMs() + limits_.writeTimeoutMs;
    OnWritable(c);
}

void Server::OnWritable(Conn* c) {
    while (c->outOff < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->outOff, c->out.size() - c->outOff, MSG_NOSIGNAL);
        if (n > 0) {
            c->outOff += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Watch(c, EPOLLOUT);
            return;
        }
        Close(c);
        return;
    }
    if (stopping_) return Close(c);
    if (c->closeAfterWrite) {
        // A close with unread request bytes in the buffer would reset the connection and could
        // destroy the reply in flight (a refused 200 MiB body is still arriving): send FIN, then
        // drop what comes until the client closes or a short grace time ends.
        shutdown(c->fd, SHUT_WR);
        c->in.clear();
        c->state = Conn::State::Draining;
        c->deadline = NowMs() + 2000;
        Watch(c, EPOLLIN | EPOLLRDHUP);
        return;
    }
    c->out.clear();
    c->outOff = 0;
    c->res = Response();
    c->state = Conn::State::ReadHead;
    int64_t now = NowMs();
    c->idleSince = now;
    c->idleSeq = ++idleSeq_;
    c->deadline = now + (c->in.empty() ? limits_.idleTimeoutMs : limits_.requestTimeoutMs);
    Watch(c, EPOLLIN | EPOLLRDHUP);
    if (!c->in.empty()) Advance(c);  // a pipelined request is already here
}

}  // namespace zelko::mgmtd::http
