// The management server's HTTP/1.1 front: one epoll reactor thread that accepts, reads and
// writes every connection without blocking, and a small pool of workers that only ever see
// complete requests.
//
// Why not a thread per connection: when a café opens, every PC asks for its configuration at
// the same moment, and any PC (or anything else on the LAN) can open connections and send
// nothing. A worker that waits for a client's bytes is a worker that answers nobody, so here
// waiting is the reactor's job and costs one file descriptor, not a thread. What a client can
// hold is bounded instead: connections per source address, connections in all (the longest idle
// one gives way to a new one), the time to send a request, the idle time between requests, and
// the size of a body — checked while it is read, whether it comes with a Content-Length or
// chunked, so an oversized body is refused before it is received.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zelko::mgmtd::http {

struct Request {
    std::string method;
    std::string path;  // percent-decoded, without the query
    std::string query;
    std::vector<std::pair<std::string, std::string>> headers;
    std::multimap<std::string, std::string> params;  // decoded query parameters
    std::string body;
    std::string remoteAddr;
    int remotePort = 0;
    std::vector<std::string> matches;  // the route's capture groups; [0] is the whole path

    // First header of that name (case-insensitive), or "".
    std::string Header(std::string_view name) const;
    bool HasParam(const std::string& name) const { return params.count(name) > 0; }
    std::string Param(const std::string& name) const;
};

struct Response {
    int status = 200;
    std::string body;
    std::string contentType;
    // Further header lines, e.g. Set-Cookie or Content-Security-Policy (name, value).
    std::vector<std::pair<std::string, std::string>> headers;
    void Set(std::string content, std::string type) {
        body = std::move(content);
        contentType = std::move(type);
    }
};

using Handler = std::function<void(const Request&, Response&)>;

// Which workers run a route. Slow routes (a password hash, formatting an image, a call to the
// disk server) have workers of their own, so however many of them are under way, the quick
// ones — a PC's boot lookup above all — never wait behind them.
enum class Lane { Quick = 0, Slow = 1 };

struct Limits {
    size_t maxBody = 1 << 20;
    size_t maxHead = 16 * 1024;  // request line and headers (and, apart, a chunked body's trailers)
    size_t maxHeaders = 100;     // header lines of one request
    int workers = 8;             // for quick routes
    int slowWorkers = 4;         // for slow routes
    int maxConnections = 4096;
    int maxPerAddress = 64;
    int backlog = 4096;            // the kernel caps it at net.core.somaxconn
    int idleTimeoutMs = 5000;      // between requests, and before the first one
    int requestTimeoutMs = 10000;  // from a request's first byte to its last
    int writeTimeoutMs = 10000;    // for a reply to leave
    int maxRequestsPerConnection = 1000;
};

// The incremental parser of the requests on one connection, without any I/O: the reactor
// appends what it receives to `in` and calls Parse, which takes what it has used from the front
// of `in` (a pipelined request after a complete one stays there). Every bound of Limits on a
// request's bytes is enforced here, while the bytes arrive.
class RequestParser {
public:
    enum class Result { NeedMore, Complete, Refused };
    explicit RequestParser(const Limits& limits) : limits_(limits) {}
    // On Complete `req` holds the request (all but the remote address) and the parser is ready
    // for the next one; on Refused, refusal() is the status to answer before closing.
    Result Parse(std::string& in, Request& req);
    bool inBody() const { return inBody_; }
    bool keepAlive() const { return keepAlive_; }
    int refusal() const { return refusal_; }
    // True once after a head that asked for "100 Continue" before its body.
    bool TakeContinue() { return std::exchange(wantsContinue_, false); }

private:
    Result Refuse(int status) {
        refusal_ = status;
        return Result::Refused;
    }
    Result ParseHead(std::string& in, Request& req);
    const Limits& limits_;
    bool inBody_ = false;
    bool keepAlive_ = true;
    bool wantsContinue_ = false;
    int refusal_ = 0;
    bool chunked_ = false;
    size_t contentLength_ = 0;
    // Chunked decoding: a size line is expected when chunkLeft_ is 0 and !inTrailers_.
    size_t chunkLeft_ = 0;
    bool chunkCrlf_ = false;  // the CR LF after a chunk's data is due
    bool inTrailers_ = false;
    size_t trailerBytes_ = 0;
};

// Counters for tests and the shutdown log.
struct Stats {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> refusedPerAddress{0};
    std::atomic<uint64_t> evictedIdle{0};
    std::atomic<uint64_t> evictedSlow{0};  // mid-request, at the connection limit with none idle
    std::atomic<uint64_t> timedOut{0};
};

class Server {
public:
    explicit Server(Limits limits = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Routes are tried in the order they were added; `pattern` must match the whole path.
    void Route(const std::string& method, const std::string& pattern, Handler handler, Lane lane = Lane::Quick);
    // Runs before routing; returns true when it has answered the request itself.
    void SetPreRouting(std::function<bool(const Request&, Response&)> fn) { preRouting_ = std::move(fn); }
    void SetAccessLog(std::function<void(const Request&, const Response&)> fn) { accessLog_ = std::move(fn); }
    // Routes and answers a parsed request as a worker does, without a connection (tests and
    // fuzzing of the handlers).
    void Handle(Request& req, Response& res) { Respond(req, res); }

    // Binds and listens on an IPv4 address; port 0 picks a free one. Returns the port, or -1
    // with errno set.
    int Listen(const std::string& host, int port);
    // Serves until Stop(); requests already with a worker are answered before it returns.
    void Run();
    void Stop();

    const Stats& stats() const { return stats_; }

private:
    struct Conn;
    struct RouteEntry {
        std::string method;
        std::regex pattern;
        Handler handler;
        Lane lane;
    };

    void Accept(int listenFd);
    void OnReadable(Conn* c);
    void OnWritable(Conn* c);
    void Drain(Conn* c);
    // Parses what `c` holds; hands a complete request to the workers or answers an error.
    void Advance(Conn* c);
    void StartWrite(Conn* c);
    void Close(Conn* c);
    void Refuse(Conn* c, int status, const char* message);
    void Watch(Conn* c, uint32_t events);
    void Sweep(int64_t now);
    bool EvictIdle();
    // A request still arriving after this long may give way at the connection limit.
    static constexpr int64_t kSlowRequestMs = 500;
    void WorkerLoop(int lane);
    Lane LaneOf(const Request& req) const;
    void Dispatch(Conn* c);
    void Respond(Request& req, Response& res);
    static std::string Serialize(const Request* req, const Response& res, bool keepAlive);

    Limits limits_;
    std::vector<RouteEntry> routes_;
    std::function<bool(const Request&, Response&)> preRouting_;
    std::function<void(const Request&, const Response&)> accessLog_;
    Stats stats_;

    int epfd_ = -1;
    int wakeFd_ = -1;
    std::vector<int> listenFds_;
    std::unordered_map<int, std::unique_ptr<Conn>> conns_;
    std::unordered_map<std::string, int> perAddress_;
    std::atomic<bool> stopping_{false};

    std::mutex mu_;
    std::condition_variable cv_;         // a reply is done (for the shutdown)
    std::condition_variable laneCv_[2];  // a request is queued
    std::deque<Conn*> queue_[2];         // complete requests waiting for a worker, per lane
    std::vector<Conn*> done_;            // answered requests waiting for the reactor
    int busy_ = 0;                       // reactor's count of connections that are with a worker
    uint64_t idleSeq_ = 0;               // reactor only
    bool workersStop_ = false;
    std::vector<std::thread> workers_;
};

// Percent-decoding; `plusIsSpace` for query strings. Malformed escapes are kept as they are.
std::string DecodeUrl(std::string_view text, bool plusIsSpace);

}  // namespace zelko::mgmtd::http
