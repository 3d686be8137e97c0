// Many clients at once on one image while super-user layers are merged into it: running
// clients keep reading exactly the content they started with (through the snapshot chain),
// their own overlays stay theirs, TCP and UDP of one session run in parallel, and the server
// shuts down cleanly afterwards. Built with ThreadSanitizer in the host-tsan preset.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "diskd_harness.h"

using namespace diskd_test;

namespace {

const std::string kIqn = "iqn.2024-01.test:image.1";
const std::string kToken = "super-token-1";
constexpr uint64_t kSize = 4u << 20;

// Compression off sends plain answers of base blocks straight from the image's mapping, the
// path where a merge overwriting those blocks could leak into an answer; on builds them in memory.
class ReaderMergeTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ReaderMergeTest, ReadersStayOnTheirVersionWhileMergesRun) {
    TempDir dir;
    MakeImage(dir / "a.img", kSize);
    Server server(dir.path(), {"--image", kIqn + "=" + dir / "a.img", "--token", kToken + "=" + kIqn, "--workers",
                               "4", "--log-level", "info", "--compression", GetParam()});
    ASSERT_TRUE(server.running()) << server.Log();

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<int> ready{0};  // sessions bound before the first merge starts
    constexpr int kReaders = 6;
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            Client c(server.tcpPort());
            auto h = c.Handshake(kIqn, "reader-" + std::to_string(r));
            if (!h || h->header.opcode != wire::OpRespOk || h->body.ver != 1) {
                failures++;
                ready++;
                return;
            }
            ready++;
            // Each reader owns a region above the patterned area for its overlay writes.
            uint64_t own = (3u << 20) + static_cast<uint64_t>(r) * 65536;
            std::mt19937 rng(r);
            while (!stop) {
                uint64_t off = (rng() % 500) * 4096 + rng() % 4096;
                uint32_t len = 1 + rng() % 20000;
                auto d = c.Read(off, len);
                if (!d) {
                    failures++;
                    return;
                }
                for (uint32_t i = 0; i < len; ++i)
                    if ((*d)[i] != PatternByte(off + i)) {
                        ADD_FAILURE() << "reader " << r << " saw changed content at " << off + i;
                        failures++;
                        return;
                    }
                auto mine = Pattern(3000, static_cast<uint8_t>(r));
                if (!c.Write(own + rng() % 1000, mine)) failures++;
                reads++;
            }
        });
    }
    // One reader also goes over UDP on the same session, in parallel with its TCP traffic.
    threads.emplace_back([&] {
        Client c(server.tcpPort());
        if (!c.Handshake(kIqn, "udp-reader")) {
            failures++;
            ready++;
            return;
        }
        auto tn = c.Negotiate(3);
        ready++;
        if (!tn || !tn->udpPort) return void(failures++);
        UdpClient u(static_cast<uint16_t>(tn->udpPort));
        uint32_t seq = 1000;
        while (!stop) {
            Header h;
            h.opcode = wire::OpRead;
            h.seq = ++seq;
            h.offset = (seq % 400) * 4096;
            h.length = 8192;
            u.Send(EncodeHeader(h));
            auto a = u.Recv(2000);
            if (!a || a->size() != 24 + 8192 || DecodeHeader(a->data()).seq != seq) continue;  // UDP may drop
            for (size_t i = 0; i < 8192; ++i)
                if ((*a)[24 + i] != PatternByte(h.offset + i)) {
                    ADD_FAILURE() << "UDP reader saw changed content";
                    failures++;
                    return;
                }
            if (!c.Read(h.offset, 512)) failures++;
        }
    });

    while (ready.load() < kReaders + 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Three rounds of super-user writes and merges on the patterned area.
    std::vector<uint8_t> last;
    for (int round = 0; round < 3; ++round) {
        Client su(server.tcpPort());
        auto h = su.Handshake(kIqn, "admin-pc", &kToken);
        ASSERT_TRUE(h && h->header.opcode == wire::OpRespOk);
        last = Pattern(65536, static_cast<uint8_t>(100 + round));
        for (int k = 0; k < 8; ++k) {
            auto w = su.Write(static_cast<uint64_t>(k) * 200 * 1024 + round * 4096, last);
            ASSERT_TRUE(w && w->opcode == wire::OpRespOk);
        }
        wire::ExitSuperUserResponse er{};
        auto e = su.Exit(true, &er);
        ASSERT_TRUE(e && e->opcode == wire::OpRespOk) << server.Log();
        EXPECT_EQ(V(er.blocks), 8u * 16);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 50u);

    Client fresh(server.tcpPort());
    auto h = fresh.Handshake(kIqn, "late-pc");
    ASSERT_TRUE(h);
    EXPECT_EQ(V(h->body.ver), 4u);
    EXPECT_EQ(*fresh.Read(7 * 200 * 1024 + 2 * 4096, 65536), last);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Log().find("ThreadSanitizer"), std::string::npos) << server.Log();
}

// The management server's merge of a layer races with the PC attaching to that very layer:
// a merge runs only when no session is attached, a session never attaches to a layer that is
// being merged (it is told "busy"), and every write a session had acknowledged ends up in the
// image.
INSTANTIATE_TEST_SUITE_P(Compression, ReaderMergeTest, ::testing::Values("on", "off"));

TEST(ConcurrencyTest, AdminMergesRaceWithSessionsOfTheSameLayer) {
    TempDir dir;
    MakeImage(dir / "a.img", kSize);
    Server server(dir.path(), {"--image", kIqn + "=" + dir / "a.img", "--token", kToken + "=" + kIqn, "--log-level",
                               "info"});
    ASSERT_TRUE(server.running()) << server.Log();
    const std::string path = "/admin/v1/images/" + kIqn + "/layers/admin-pc@127.0.0.1/merge";
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, merged{0}, refused{0}, busyHandshakes{0};
    std::map<uint64_t, std::vector<uint8_t>> acked;  // offset -> last acknowledged content

    std::thread pc([&] {
        // Like the driver: a "busy" handshake is tried again a moment later.
        for (int round = 0, attempts = 0; round < 25 && attempts < 5000; ++attempts) {
            Client c(server.tcpPort());
            auto h = c.Handshake(kIqn, "admin-pc", &kToken);
            if (!h) {
                failures++;
                break;
            }
            if (h->header.opcode == wire::OpRespError && h->header.length == wire::ErrBusy) {
                busyHandshakes++;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            ++round;
            if (h->header.opcode != wire::OpRespOk) {
                ADD_FAILURE() << "handshake answered " << int(h->header.opcode) << "/" << h->header.length;
                failures++;
                break;
            }
            for (int k = 0; k < 3; ++k) {
                uint64_t off = static_cast<uint64_t>((round * 3 + k) % 48) * 4096;  // some offsets twice
                auto data = Pattern(4096, static_cast<uint8_t>(round * 3 + k));
                auto w = c.Write(off, data);
                if (!w) {
                    failures++;
                    break;
                }
                if (w->opcode == wire::OpRespOk) acked[off] = data;
            }
        }
        stop = true;
    });
    std::thread admin([&] {
        httplib::Client http("127.0.0.1", server.adminPort());
        http.set_read_timeout(30, 0);
        while (!stop) {
            auto r = http.Post(path.c_str(), "{}", "application/json");
            if (!r) {
                failures++;
                return;
            }
            if (r->status == 200) merged++;
            else if (r->status == 409 || r->status == 404) refused++;
            else {
                ADD_FAILURE() << "merge answered " << r->status << " " << r->body;
                failures++;
                return;
            }
        }
    });
    pc.join();
    admin.join();
    EXPECT_EQ(failures.load(), 0);
    // What is left in the layer goes in now; then the image holds every acknowledged write.
    httplib::Client http("127.0.0.1", server.adminPort());
    auto last = http.Post(path.c_str(), "{}", "application/json");
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->status == 200 || last->status == 404) << last->body;
    for (auto& [off, data] : acked) EXPECT_EQ(ReadFileRange(dir / "a.img", off, 4096), data) << off;
    EXPECT_GT(merged.load() + (last->status == 200), 0);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Log().find("ThreadSanitizer"), std::string::npos) << server.Log();
}

// The admin listener's session list and image status are read while sessions come and go,
// write, leave super-user mode and are merged: every entry read is whole, and once the last
// client is gone the list is empty (no entry outlives its connection).
TEST(ConcurrencyTest, SessionListIsReadWhileSessionsComeAndGo) {
    TempDir dir;
    MakeImage(dir / "a.img", kSize);
    Server server(dir.path(), {"--image", kIqn + "=" + dir / "a.img", "--token", kToken + "=" + kIqn});
    ASSERT_TRUE(server.running()) << server.Log();
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, lists{0}, seenMax{0};
    std::vector<std::thread> pcs;
    for (int t = 0; t < 6; ++t) {
        pcs.emplace_back([&, t] {
            for (int round = 0; round < 15; ++round) {
                Client c(server.tcpPort());
                bool su = t == 0;
                auto h = c.Handshake(kIqn, "pc-" + std::to_string(t), su ? &kToken : nullptr);
                if (!h || (h->header.opcode != wire::OpRespOk && h->header.length != wire::ErrBusy)) {
                    failures++;
                    return;
                }
                if (h->header.opcode != wire::OpRespOk) continue;
                uint64_t off = static_cast<uint64_t>(t * 64 + round) * 4096;
                if (!c.Write(off, Pattern(4096, static_cast<uint8_t>(round))) || !c.Read(off, 4096)) failures++;
                if (su && round % 3 == 2 && !c.Exit(round % 2 == 0)) failures++;
            }
        });
    }
    std::thread admin([&] {
        httplib::Client http("127.0.0.1", server.adminPort());
        while (!stop) {
            auto r = http.Get("/admin/v1/sessions");
            auto st = http.Get(("/admin/v1/images/" + kIqn).c_str());
            if (!r || r->status != 200 || !st || st->status != 200) {
                failures++;
                return;
            }
            auto j = nlohmann::json::parse(r->body, nullptr, false);
            if (!j.is_object() || !j["items"].is_array()) {
                failures++;
                return;
            }
            for (auto& i : j["items"])
                if (i["iqn"] != kIqn || i["clientId"].get<std::string>().rfind("pc-", 0) != 0 || i["sid"] == 0)
                    failures++;
            seenMax = std::max<int>(seenMax.load(), static_cast<int>(j["items"].size()));
            lists++;
        }
    });
    for (auto& p : pcs) p.join();
    // Connections are closed by now; the server lets their sessions go as it notices.
    nlohmann::json items;
    httplib::Client http("127.0.0.1", server.adminPort());
    for (int i = 0; i < 300; ++i) {
        auto r = http.Get("/admin/v1/sessions");
        if (r && r->status == 200) items = nlohmann::json::parse(r->body)["items"];
        if (items.is_array() && items.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop = true;
    admin.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(lists.load(), 0);
    EXPECT_LE(seenMax.load(), 6) << "one entry per connection at most";
    EXPECT_TRUE(items.is_array() && items.empty()) << items.dump();
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(server.Log().find("ThreadSanitizer"), std::string::npos) << server.Log();
}

}  // namespace
