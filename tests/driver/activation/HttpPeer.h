// A scripted HTTP peer on loopback for the activation tests: it records every request byte for
// byte and answers each connection with the bytes the test chose (status line, headers and body
// exactly as given, nothing added), so tests see what the driver's minimal GET really does with
// odd answers. An answer may also be held back until the peer stops, to make the driver wait.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httppeer {

struct Answer {
    std::string bytes;
    bool hold = false;      // send nothing and keep the connection open until the peer stops
    size_t chunk = 0;       // send in pieces of this size (0 = at once)
    int gapMs = 2;          // real milliseconds between two pieces
};

// A well-formed answer with the given status and body.
inline Answer Http(int status, const std::string& body) {
    return {"HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body};
}

class Peer {
public:
    using Responder = std::function<Answer(int index, const std::string& request)>;

    explicit Peer(Responder r) : responder_(std::move(r)) {
        lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(lfd_, (sockaddr*)&a, sizeof(a)) != 0 || ::listen(lfd_, 16) != 0) abort();
        socklen_t len = sizeof(a);
        getsockname(lfd_, (sockaddr*)&a, &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~Peer() { Stop(); }

    void Stop() {
        if (stopped_.exchange(true)) return;
        ::shutdown(lfd_, SHUT_RDWR);
        ::close(lfd_);
        acceptor_.join();
        {
            std::lock_guard<std::mutex> g(lock_);
            cv_.notify_all();
        }
        std::vector<std::thread> ts;
        {
            std::lock_guard<std::mutex> g(lock_);
            ts.swap(threads_);
        }
        for (auto& t : ts) t.join();
    }

    uint16_t port() const { return port_; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_.size();
    }

private:
    void AcceptLoop() {
        for (int index = 0;; index++) {
            int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            // Every wait on the driver is bounded, so a peer never outlives its test.
            timeval tv{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::lock_guard<std::mutex> g(lock_);
            threads_.emplace_back([this, fd, index] { Serve(fd, index); });
        }
    }

    void Serve(int fd, int index) {
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos && req.size() < 65536) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            req.append(buf, (size_t)n);
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            requests_.push_back(req);
        }
        Answer a = responder_(index, req);
        if (a.hold) {
            std::unique_lock<std::mutex> g(lock_);
            cv_.wait(g, [&] { return stopped_.load(); });
        } else {
            size_t step = a.chunk ? a.chunk : a.bytes.size();
            for (size_t at = 0; at < a.bytes.size(); at += step) {
                if (::send(fd, a.bytes.data() + at, std::min(step, a.bytes.size() - at), MSG_NOSIGNAL) <= 0) break;
                if (a.chunk) std::this_thread::sleep_for(std::chrono::milliseconds(a.gapMs));
                if (stopped_) break;
            }
        }
        ::shutdown(fd, SHUT_WR);
        // Drain until the driver closes, so it never meets a reset.
        while (::recv(fd, buf, sizeof buf, 0) > 0) {
        }
        ::close(fd);
    }

    Responder responder_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopped_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<std::thread> threads_;
    std::vector<std::string> requests_;
};

}  // namespace httppeer
