// zelko-mgmtd's HTTP front under a café's load and hostile input, against the real binary on
// loopback: the boot burst, idle and slow connections, the limits per address and in all, bodies
// over the limit however they are framed, kept-alive connections, and a log that requests
// cannot forge. Counts are bounded and nothing is timed here (scripts/bench-mgmtd.sh measures).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "harness.h"

using namespace mgmtd_test;

namespace {

// A socket connected from `source` to the server; -1 on failure.
int Connect(const std::string& source, int port, bool nonBlocking = false) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    if (nonBlocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// True while the server keeps the connection open (nothing to read, no EOF).
bool StillOpen(int fd) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Waits up to `ms` for EOF or a reset; true when the server closed.
bool ClosedWithin(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN);
}

// Reads one reply with a Content-Length from a kept-alive connection; what follows it (the next
// pipelined reply) is kept for the next call.
HttpReply ReadReply(int fd) {
    static std::map<int, std::string> leftovers;
    HttpReply r;
    std::string all;
    all.swap(leftovers[fd]);
    char buf[8192];
    size_t end;
    while ((end = all.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return r;
        all.append(buf, static_cast<size_t>(n));
    }
    std::smatch m;
    std::string head = all.substr(0, end);
    if (!std::regex_search(head, m, std::regex("Content-Length: (\\d+)", std::regex::icase))) return r;
    size_t len = std::stoul(m[1]);
    while (all.size() < end + 4 + len) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return r;
        all.append(buf, static_cast<size_t>(n));
    }
    r.status = std::atoi(all.c_str() + 9);
    r.body = all.substr(end + 4, len);
    leftovers[fd] = all.substr(end + 4 + len);
    return r;
}

long RssKiB(pid_t pid) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t p = status.find("VmRSS:");
    return p == std::string::npos ? -1 : std::atol(status.c_str() + p + 6);
}

std::string Source(int i) { return "127.0." + std::to_string(10 + i / 250) + "." + std::to_string(1 + i % 250); }

const std::string kLookup = "GET /api/disk/clients/by-mac/AA-BB-CC-00-11-22 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

class MgmtdFront : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The tests hold several hundred sockets at once.
        rlimit r{};
        getrlimit(RLIMIT_NOFILE, &r);
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
    void StartWith(std::vector<std::string> args) {
        server_ = std::make_unique<Server>(std::move(args));
        server_->Start();
        int st;
        server_->Admin("image add --name win10 --size 4M", &st);
        ASSERT_EQ(st, 0);
        server_->Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
        ASSERT_EQ(st, 0);
    }
    void TearDown() override {
        for (int fd : fds_) close(fd);
        if (server_) {
            EXPECT_EQ(server_->Stop(), 0) << server_->Stderr().substr(0, 4000);
        }
    }
    bool LookupOk(const std::string& from = "127.0.0.1") {
        auto r = RawRequest(from, server_->driverPort(), "GET", "/api/disk/clients/by-mac/AA-BB-CC-00-11-22");
        return r.status == 200 && r.Json().value("id", 0) == 1;
    }
    std::unique_ptr<Server> server_;
    std::vector<int> fds_;
};

// Every PC of a café asks at the same moment when it opens: 500 lookups, all connected before
// the first is read, from 500 addresses. Every one is answered.
TEST_F(MgmtdFront, BootBurstOfFiveHundredLookupsIsAnsweredInFull) {
    StartWith({});
    constexpr int kPcs = 500;
    for (int i = 0; i < kPcs; ++i) {
        int fd = Connect(Source(i), server_->driverPort(), true);
        ASSERT_GE(fd, 0) << i;
        fds_.push_back(fd);
    }
    for (int fd : fds_) ASSERT_TRUE(SendAll(fd, kLookup));
    std::vector<std::string> replies(kPcs);
    std::vector<bool> done(kPcs, false);
    int finished = 0;
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (finished < kPcs && std::chrono::steady_clock::now() < giveUp) {
        std::vector<pollfd> p;
        std::vector<int> idx;
        for (int i = 0; i < kPcs; ++i)
            if (!done[i]) p.push_back({fds_[i], POLLIN, 0}), idx.push_back(i);
        if (poll(p.data(), p.size(), 1000) <= 0) continue;
        for (size_t k = 0; k < p.size(); ++k) {
            if (!p[k].revents) continue;
            char buf[4096];
            ssize_t n = recv(p[k].fd, buf, sizeof buf, 0);
            if (n > 0) {
                replies[idx[k]].append(buf, static_cast<size_t>(n));
            } else {
                done[idx[k]] = true;
                ++finished;
            }
        }
    }
    int ok = 0;
    for (auto& r : replies)
        if (r.rfind("HTTP/1.1 200 ", 0) == 0 && r.find("\"id\":1,") != std::string::npos) ++ok;
    EXPECT_EQ(ok, kPcs);
}

// 256 connections that say nothing and 16 that send half a request head hold no worker: the
// lookups of 50 PCs are answered while every one of them is still open.
TEST_F(MgmtdFront, IdleAndSlowConnectionsDoNotStarveLookups) {
    StartWith({"--idle-timeout", "600"});
    for (int i = 0; i < 256; ++i) {
        int fd = Connect(Source(i / 8), server_->driverPort());
        ASSERT_GE(fd, 0);
        fds_.push_back(fd);
    }
    std::vector<int> slow;
    for (int i = 0; i < 16; ++i) {
        int fd = Connect(Source(100 + i), server_->clientPort());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, "POST /api/auth/disk/login HTTP/1.1\r\nHost: x\r\n"));
        slow.push_back(fd);
        fds_.push_back(fd);
    }
    int ok = 0;
    for (int i = 0; i < 50; ++i) ok += LookupOk();
    EXPECT_EQ(ok, 50);
    int open = 0;
    for (int i = 0; i < 256; ++i) open += StillOpen(fds_[i]);
    EXPECT_EQ(open, 256) << "idle connections were dropped rather than held";
    // The slow ones are not forgotten either: finishing the request gets its answer.
    ASSERT_TRUE(SendAll(slow[0], "Content-Length: 2\r\nConnection: close\r\n\r\n{}"));
    EXPECT_EQ(ReadReply(slow[0]).status, 200);
}

// One address cannot take more than its share; the rest of the café is still served.
TEST_F(MgmtdFront, ConnectionsPerAddressAreBounded) {
    StartWith({"--max-connections-per-address", "20", "--idle-timeout", "600"});
    for (int i = 0; i < 30; ++i) {
        int fd = Connect("127.0.0.9", server_->clientPort());
        ASSERT_GE(fd, 0);
        fds_.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the server's turn to refuse
    int closed = 0;
    for (int fd : fds_) closed += ClosedWithin(fd, 100);
    EXPECT_EQ(closed, 10);
    EXPECT_FALSE(LookupOk("127.0.0.9"));
    EXPECT_TRUE(LookupOk("127.0.0.1"));
    close(fds_[0]);
    fds_.erase(fds_.begin());
    // The server notices the close on its next turn.
    bool ok = false;
    for (int i = 0; i < 50 && !ok; ++i) {
        ok = LookupOk("127.0.0.9");
        if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(ok);
}

// At the overall limit, the connection idle longest gives way to a new one.
TEST_F(MgmtdFront, AtTheConnectionLimitTheLongestIdleGivesWay) {
    StartWith({"--max-connections", "40", "--idle-timeout", "600"});
    for (int i = 0; i < 40; ++i) {
        int fd = Connect(Source(i), server_->clientPort());
        ASSERT_GE(fd, 0);
        fds_.push_back(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(LookupOk());
    EXPECT_TRUE(ClosedWithin(fds_[0], 5000));
    EXPECT_TRUE(StillOpen(fds_[39]));
}

// A declared length over 1 MiB is refused before any of the body is sent; a chunked body is
// counted while it arrives, so 64 MiB of chunks cost the server no more than the limit.
TEST_F(MgmtdFront, BodiesOverTheLimitAreRefusedWhileRead) {
    StartWith({});
    int fd = Connect("127.0.0.1", server_->clientPort());
    ASSERT_GE(fd, 0);
    fds_.push_back(fd);
    ASSERT_TRUE(SendAll(fd, "POST /api/auth/disk/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                            "Content-Length: 209715200\r\n\r\n"));
    auto r = ReadReply(fd);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.Json()["code"], 413);

    long before = RssKiB(server_->pid());
    fd = Connect("127.0.0.1", server_->clientPort());
    ASSERT_GE(fd, 0);
    fds_.push_back(fd);
    ASSERT_TRUE(SendAll(fd, "POST /api/auth/disk/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                            "Transfer-Encoding: chunked\r\n\r\n"));
    std::string chunk(64 * 1024, 'a');
    std::string framed = "10000\r\n" + chunk + "\r\n";
    std::thread reader([&] { r = ReadReply(fd); });
    for (int i = 0; i < 1024; ++i)
        if (!SendAll(fd, framed)) break;  // the server may close once it has answered
    reader.join();
    EXPECT_EQ(r.status, 413);
    long after = RssKiB(server_->pid());
    EXPECT_LT(after - before, 16 * 1024) << "server grew from " << before << " KiB to " << after << " KiB";

    // A chunked body within the limit is read like any other.
    fd = Connect("127.0.0.1", server_->clientPort());
    ASSERT_GE(fd, 0);
    fds_.push_back(fd);
    std::string login = R"({"username":"admin","password":")" + std::string(Server::kAdminPassword) + "\"}";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%zx", login.size() - 5);
    ASSERT_TRUE(SendAll(fd, "POST /api/auth/disk/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n" +
                                login.substr(0, 5) + "\r\n" + hex + "\r\n" + login.substr(5) + "\r\n0\r\n\r\n"));
    r = ReadReply(fd);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.Json()["code"], 0) << r.body;
    EXPECT_FALSE(r.Json().value("accessToken", "").empty());
}

// Requests that take long (here: prepare-disk against a disk server that never answers) run on
// workers of their own: while a dozen of them hang, PCs' lookups are answered.
TEST_F(MgmtdFront, SlowRequestsDoNotHoldUpLookups) {
    // A listener that is never accepted from: connections complete, requests vanish.
    int blackhole = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    ASSERT_EQ(bind(blackhole, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(blackhole, 64), 0);
    socklen_t len = sizeof sa;
    getsockname(blackhole, reinterpret_cast<sockaddr*>(&sa), &len);
    StartWith({"--diskd-admin", "http://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)), "--workers", "4"});
    std::string token = server_->Login("admin", Server::kAdminPassword);
    ASSERT_FALSE(token.empty());
    std::vector<int> slow;
    for (int i = 0; i < 12; ++i) {
        int fd = Connect("127.0.0.1", server_->clientPort());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, "POST /api/disk/images/1/prepare-disk HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                                    token + "\r\nContent-Length: 0\r\n\r\n"));
        slow.push_back(fd);
        fds_.push_back(fd);
    }
    int ok = 0;
    while (ok < 20 && LookupOk()) ++ok;  // a lookup stuck behind them fails after 30 s
    EXPECT_EQ(ok, 20);
    int waiting = 0;
    for (int fd : slow) waiting += StillOpen(fd);
    EXPECT_EQ(waiting, 12) << "the lookups waited for the slow requests";
    // Closing the listener resets the hanging calls, so the server can stop.
    close(blackhole);
    for (int fd : slow) EXPECT_EQ(ReadReply(fd).status, 502);  // the disk server failed
}

// Four requests on one connection are four answers on that connection.
TEST_F(MgmtdFront, KeptAliveConnectionAnswersEveryRequest) {
    StartWith({});
    int fd = Connect("127.0.0.1", server_->driverPort());
    ASSERT_GE(fd, 0);
    fds_.push_back(fd);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(SendAll(fd, "GET /api/disk/clients/by-mac/AA-BB-CC-00-11-22 HTTP/1.1\r\nHost: x\r\n\r\n"));
        auto r = ReadReply(fd);
        EXPECT_EQ(r.status, 200) << i;
        EXPECT_EQ(r.Json()["id"], 1) << i;
    }
    // Two pipelined requests are answered in order.
    ASSERT_TRUE(SendAll(fd, "GET /api/health HTTP/1.1\r\nHost: x\r\n\r\nGET /api/disk/clients/by-mac/zz HTTP/1.1\r\n"
                            "Host: x\r\n\r\n"));
    EXPECT_EQ(ReadReply(fd).Json()["code"], 0);
    EXPECT_EQ(ReadReply(fd).Json()["code"], 400);
}

// What a request carries cannot add a line to the log, cut one short or reach the operator's
// terminal: every line of the log is one event that starts with its time stamp.
TEST_F(MgmtdFront, RequestsCannotForgeOrCutLogLines) {
    StartWith({});
    std::string forged = "x\n2026-01-01T00:00:00.000Z INFO  [mgmtd] pwned";
    nlohmann::json body = {{"username", forged + "\x1b[2J\r"}, {"password", "wrong password"}};
    RawRequest("127.0.0.1", server_->clientPort(), "POST", "/api/auth/disk/login", {}, body.dump());
    RawRequest("127.0.0.1", server_->clientPort(), "GET", "/api/x%0A2026-01-01T00:00:00.000Z%20INFO%20forged");
    RawRequest("127.0.0.7", server_->clientPort(), "GET", "/api/cut%00here");
    server_->Stop();
    std::string log = server_->Stderr();
    server_.reset();
    std::istringstream lines(log);
    std::string line;
    std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (INFO |WARN |ERROR|DEBUG) \[\w+\] )");
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        EXPECT_TRUE(std::regex_search(line, stamp)) << line;
        EXPECT_NE(line.rfind("2026-01-01T", 0), 0u) << "forged line: " << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    }
    EXPECT_GT(n, 3);
    EXPECT_NE(log.find("login of \"x\\x0a2026-01-01T"), std::string::npos) << log;
    EXPECT_NE(log.find("\\x1b[2J\\x0d"), std::string::npos) << log;
    EXPECT_NE(log.find("/api/cut\\x00here 404 from 127.0.0.7"), std::string::npos) << log;
}

// The lookup needs no login, so it tells only what the driver and the client program read;
// where an image lives is for administrators.
TEST_F(MgmtdFront, RepliesGiveEachAudienceWhatItNeeds) {
    StartWith({});
    auto j = RawRequest("127.0.0.1", server_->driverPort(), "GET", "/api/disk/clients/by-mac/aabbcc001122").Json();
    std::vector<std::string> keys;
    for (auto& [k, v] : j.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"code", "id", "imageId", "imageIqn", "isSuperClient", "macAddress",
                                              "superUserToken"}));
    int st;
    server_->Admin("user add op --password-stdin", &st, "operator password\n");
    ASSERT_EQ(st, 0);
    std::string op = server_->Login("op", "operator password");
    std::string admin = server_->Login("admin", Server::kAdminPassword);
    auto forOp = server_->Get("/api/disk/images?page=1&pageSize=100", op).Json();
    ASSERT_EQ(forOp["items"].size(), 1u);
    EXPECT_EQ(forOp["items"][0]["name"], "win10");
    EXPECT_FALSE(forOp["items"][0].contains("path"));
    EXPECT_FALSE(server_->Get("/api/disk/images/1", op).Json().contains("path"));
    auto forAdmin = server_->Get("/api/disk/images?page=1&pageSize=100", admin).Json();
    EXPECT_EQ(forAdmin["items"][0]["path"], server_->dataDir() + "/images/1.img");
}

}  // namespace
