// Both servers under a connection flood from other hosts on the LAN (other loopback addresses):
// connections that connect and say nothing, that stop after part of a request, and that send
// a byte a second, kept up as fast as the servers close them and more of them than the servers
// take. Meanwhile a well-behaved PC must keep being served within a bound, every stalled
// connection must be closed by the server within its timeout, and the server's memory must
// stay bounded. The servers run with small limits and timeouts (their configuration) so that
// this takes seconds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "../diskd/diskd_harness.h"
#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Resident memory of a process in KiB, from /proc/PID/status.
int64_t RssKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
    return -1;
}

// A sanitizer build of the server keeps freed memory in quarantine (256 MiB by default),
// which would read as growth here; a small quarantine keeps the figure about the server.
void SmallQuarantineForChildren() {
    const char* old = getenv("ASAN_OPTIONS");
    std::string v = old ? std::string(old) + ":" : std::string();
    setenv("ASAN_OPTIONS", (v + "quarantine_size_mb=8").c_str(), 1);
}

// What a flooding connection does once connected.
enum class Kind {
    Silent,   // nothing at all
    Partial,  // the first bytes of a request, then nothing
    Drip,     // a request, one byte a second
    After,    // (disk server) a proper handshake, then a request one byte a second
};
const char* KindName(Kind k) {
    switch (k) {
        case Kind::Silent: return "silent";
        case Kind::Partial: return "partial";
        case Kind::Drip: return "drip";
        case Kind::After: return "after-handshake drip";
    }
    return "?";
}

struct FloodStats {
    int opened = 0;
    int refusedOrReset = 0;
    // Per kind: connections the server closed, and the longest any of them was held open.
    std::map<Kind, int> closed;
    std::map<Kind, int64_t> longestMs;
    int open = 0;  // still open when the flood ended
    int64_t oldestOpenMs = 0;
};

// Keeps `slots` connections open to 127.0.0.1:port from 127.0.0.2.. 127.0.0.(1+addresses),
// reopening each one (at most every 100 ms) once the server has closed it.
class Flood {
public:
    Flood(int port, int slots, int addresses, std::vector<Kind> kinds, std::string request, std::string prelude = {})
        : port_(port), request_(std::move(request)), prelude_(std::move(prelude)) {
        for (int i = 0; i < slots; ++i) {
            Slot s;
            s.kind = kinds[i % kinds.size()];
            s.source = "127.0.0." + std::to_string(2 + i % addresses);
            slots_.push_back(s);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~Flood() { Stop(); }
    FloodStats Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
            for (Slot& s : slots_) {
                if (s.fd < 0) continue;
                ++stats_.open;
                stats_.oldestOpenMs = std::max<int64_t>(stats_.oldestOpenMs, MsSince(s.openedAt));
                close(s.fd);
                s.fd = -1;
            }
        }
        return stats_;
    }

private:
    struct Slot {
        Kind kind = Kind::Silent;
        std::string source;
        int fd = -1;
        Clock::time_point openedAt, nextSend, reopenAt;
        size_t sent = 0;
    };

    void Open(Slot& s) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, s.source.c_str(), &local.sin_addr);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(static_cast<uint16_t>(port_));
        inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
            close(fd);
            ++stats_.refusedOrReset;
            return;
        }
        ++stats_.opened;
        s.fd = fd;
        s.openedAt = Clock::now();
        s.sent = 0;
        s.nextSend = s.openedAt;
        if (s.kind == Kind::Partial) {
            std::string head = request_.substr(0, request_.size() / 2);
            (void)!send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        }
        if (s.kind == Kind::After) (void)!send(fd, prelude_.data(), prelude_.size(), MSG_NOSIGNAL);
    }

    void Run() {
        while (!stop_) {
            auto now = Clock::now();
            std::vector<pollfd> pfds;
            std::vector<Slot*> owners;
            for (Slot& s : slots_) {
                if (s.fd < 0) {
                    if (now >= s.reopenAt) Open(s);
                    if (s.fd < 0) continue;
                }
                if ((s.kind == Kind::Drip || s.kind == Kind::After) && now >= s.nextSend && s.sent < request_.size()) {
                    (void)!send(s.fd, request_.data() + s.sent, 1, MSG_NOSIGNAL);
                    ++s.sent;
                    s.nextSend = now + std::chrono::seconds(1);
                }
                pfds.push_back(pollfd{s.fd, POLLIN, 0});
                owners.push_back(&s);
            }
            poll(pfds.data(), pfds.size(), 20);
            for (size_t i = 0; i < pfds.size(); ++i) {
                if (!pfds[i].revents) continue;
                Slot& s = *owners[i];
                char buf[4096];
                ssize_t n = recv(s.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) continue;  // an answer (the handshake's, an error): not a close
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                // Closed by the server (EOF or reset).
                int64_t held = MsSince(s.openedAt);
                stats_.closed[s.kind]++;
                stats_.longestMs[s.kind] = std::max(stats_.longestMs[s.kind], held);
                close(s.fd);
                s.fd = -1;
                s.reopenAt = Clock::now() + std::chrono::milliseconds(100);
            }
        }
    }

    int port_;
    std::string request_, prelude_;
    std::vector<Slot> slots_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    FloodStats stats_;
};

// Runs `exchange` (true on success) again and again from the well-behaved PC while the flood is
// on; an exchange that fails is retried, as the PC would, and counts once it succeeds. Returns
// the longest time from the first try to the success, or -1 when one never succeeded within
// `giveUpMs`. Also samples the server's RSS.
struct GoodClientResult {
    int served = 0;
    int64_t slowestMs = 0;
    int64_t maxRssKiB = 0;
    bool gaveUp = false;
};
GoodClientResult ServeWhileFlooded(pid_t server, int durationMs, int giveUpMs, const std::function<bool()>& exchange) {
    GoodClientResult r;
    auto start = Clock::now();
    int tries = 0;
    while (MsSince(start) < durationMs) {
        auto first = Clock::now();
        bool ok = false;
        while (++tries, !(ok = exchange()) && MsSince(first) < giveUpMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!ok) {
            r.gaveUp = true;
            break;
        }
        ++r.served;
        r.slowestMs = std::max(r.slowestMs, MsSince(first));
        r.maxRssKiB = std::max(r.maxRssKiB, RssKiB(server));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::printf("well-behaved PC: %d exchanges in %d tries, slowest %lld ms, server RSS at most %lld KiB\n", r.served,
                tries, static_cast<long long>(r.slowestMs), static_cast<long long>(r.maxRssKiB));
    return r;
}

void ExpectTimedOut(const FloodStats& st, std::initializer_list<Kind> kinds, int64_t limitMs) {
    std::string closed;
    for (auto& [k, n] : st.closed)
        closed += std::string(" ") + KindName(k) + "=" + std::to_string(n) + "/" + std::to_string(st.longestMs.at(k)) + "ms";
    std::printf("flood: %d opened, %d refused or reset, closed by the server:%s; %d open at the end (oldest %lld ms)\n",
                st.opened, st.refusedOrReset, closed.c_str(), st.open, static_cast<long long>(st.oldestOpenMs));
    for (Kind k : kinds) {
        SCOPED_TRACE(KindName(k));
        auto c = st.closed.find(k);
        ASSERT_NE(c, st.closed.end()) << "the server never closed one of these connections";
        EXPECT_GT(c->second, 0);
        EXPECT_LE(st.longestMs.at(k), limitMs) << "held open longer than its timeout allows";
    }
    // What was still open at the end is not older than the timeouts either.
    EXPECT_LE(st.oldestOpenMs, limitMs);
}

constexpr int kFloodMs = 6000;
constexpr int kGoodBoundMs = 3000;  // a PC's exchange, retries included
constexpr int64_t kRssGrowthKiB = 48 * 1024;

TEST(Flood, DiskServerKeepsServingAndClosesStalledConnections) {
    SmallQuarantineForChildren();
    diskd_test::TempDir dir;
    const std::string iqn = "iqn.2026-01.flood:disk";
    diskd_test::MakeImage(dir / "disk.img", 8 << 20);
    // 1 s for a handshake, 2 s for a request: the flood's 96 connections against 32 places.
    diskd_test::Server server(dir.path(), {"--image", iqn + "=" + (dir / "disk.img"), "--udp-listen", "off",
                                           "--max-connections", "32", "--handshake-timeout", "1",
                                           "--request-timeout", "2", "--log-level", "warn"});
    ASSERT_TRUE(server.running());
    auto goodExchange = [&] {
        diskd_test::Client c(server.tcpPort());
        if (!c.connected()) return false;
        auto hs = c.Handshake(iqn, "good-pc");
        if (!hs || hs->header.opcode != diskd_test::wire::OpRespOk) return false;
        auto data = c.Read(0, 4096);
        if (!data || data->size() != 4096) return false;
        for (size_t i = 0; i < data->size(); ++i)
            if ((*data)[i] != diskd_test::PatternByte(i)) return false;
        return true;
    };
    ASSERT_TRUE(goodExchange());
    int64_t baseRss = RssKiB(server.pid());

    diskd_test::Client enc(server.tcpPort());
    std::vector<uint8_t> hs = enc.HandshakeRequest(iqn, "flood-pc");
    diskd_test::Header read;
    read.opcode = diskd_test::wire::OpRead;
    read.seq = 9;
    read.length = 4096;
    std::vector<uint8_t> readReq = diskd_test::EncodeHeader(read);
    // Silent, partial and dripping handshakes, and dripping reads after a proper handshake.
    Flood handshakes(server.tcpPort(), 72, 8, {Kind::Silent, Kind::Partial, Kind::Drip},
                     std::string(hs.begin(), hs.end()));
    Flood reads(server.tcpPort(), 24, 8, {Kind::After}, std::string(readReq.begin(), readReq.end()),
                std::string(hs.begin(), hs.end()));
    GoodClientResult good = ServeWhileFlooded(server.pid(), kFloodMs, kGoodBoundMs, goodExchange);
    FloodStats a = handshakes.Stop(), b = reads.Stop();

    EXPECT_FALSE(good.gaveUp) << "the well-behaved PC was not served for " << kGoodBoundMs << " ms";
    EXPECT_GT(good.served, 10);
    EXPECT_LE(good.slowestMs, kGoodBoundMs);
    // Timeout plus the sweeper's tick plus scheduling on a busy machine.
    ExpectTimedOut(a, {Kind::Silent, Kind::Partial, Kind::Drip}, 1000 + 1500);
    ExpectTimedOut(b, {Kind::After}, 2000 + 1500);
    EXPECT_GT(a.opened, 96) << "the flood never outran the limit";
    EXPECT_LT(good.maxRssKiB - baseRss, kRssGrowthKiB) << "RSS from " << baseRss << " KiB to " << good.maxRssKiB;
    // Still healthy afterwards, and it stops cleanly.
    EXPECT_TRUE(goodExchange());
    EXPECT_EQ(server.Stop(), 0);
}

TEST(Flood, ManagementServerKeepsServingAndClosesStalledConnections) {
    SmallQuarantineForChildren();
    mgmtd_test::Server server({"--max-connections", "32", "--max-connections-per-address", "8", "--idle-timeout", "1",
                               "--request-timeout", "2"});
    server.Start();
    auto goodExchange = [&] {
        auto r = mgmtd_test::RawRequest("127.0.0.1", server.clientPort(), "GET", "/api/health");
        return r.status == 200;
    };
    ASSERT_TRUE(goodExchange());
    int64_t baseRss = RssKiB(server.pid());

    const std::string request =
        "POST /api/auth/disk/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Content-Length: 40\r\n\r\n{\"username\":\"admin\",\"password\":\"x\"}   ";
    // 8 addresses, 12 connections each: over the per-address and the total limit.
    Flood flood(server.clientPort(), 96, 8, {Kind::Silent, Kind::Partial, Kind::Drip}, request);
    GoodClientResult good = ServeWhileFlooded(server.pid(), kFloodMs, kGoodBoundMs, goodExchange);
    FloodStats st = flood.Stop();

    EXPECT_FALSE(good.gaveUp) << "the well-behaved PC was not served for " << kGoodBoundMs << " ms";
    EXPECT_GT(good.served, 10);
    EXPECT_LE(good.slowestMs, kGoodBoundMs);
    // Silent: the idle timeout (1 s); partial and dripping: the request timeout (2 s).
    ExpectTimedOut(st, {Kind::Silent, Kind::Partial, Kind::Drip}, 2000 + 1500);
    EXPECT_GT(st.opened, 96);
    EXPECT_LT(good.maxRssKiB - baseRss, kRssGrowthKiB) << "RSS from " << baseRss << " KiB to " << good.maxRssKiB;
    EXPECT_TRUE(goodExchange());
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
