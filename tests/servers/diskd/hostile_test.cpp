// What any machine on the café's LAN can send to the disk server: it refuses, bounds and
// survives, and keeps serving the well-behaved PCs.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "diskd_harness.h"
#include "net_server.h"

using namespace diskd_test;

namespace {

const std::string kIqn = "iqn.2026-01.test:hostile";

// The server process' resident memory in KiB (from /proc).
long RssKiB(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A client id or IQN that is not valid UTF-8 used to reach the layer metadata's JSON writer,
// which threw on invalid UTF-8 and ended the whole server: one datagram-sized handshake from
// anyone took every PC's disk away.
TEST(DiskdHostile, HandshakeWithUncleanTextIsRefusedAndTheServerLivesOn) {
    TempDir dir;
    MakeImage(dir / "a.img", 1 << 20);
    Server server(dir.path(), {"--image", kIqn + "=" + dir / "a.img"});
    ASSERT_TRUE(server.running());
    for (std::string bad : {std::string("pc\xdc" "01"), std::string("\xed\xa0\x80"),
                            std::string("\xc0\xaf")}) {
        Client c(server.tcpPort());
        auto hs = c.Handshake(kIqn, bad);
        ASSERT_TRUE(hs);
        EXPECT_EQ(hs->header.opcode, wire::OpRespError) << "client id accepted: " << bad;
        EXPECT_EQ(hs->header.length, wire::ErrInvalidParameter);
    }
    Client good(server.tcpPort());
    auto hs = good.Handshake(kIqn, "pc-\xe7\xbd\x91\xe5\x90\xa7");  // UTF-8 names stay welcome
    ASSERT_TRUE(hs);
    EXPECT_EQ(hs->header.opcode, wire::OpRespOk);
    EXPECT_TRUE(good.Read(0, 4096));
    EXPECT_EQ(server.Stop(), 0);
}

// Headers that declare the largest write there is, from many connections, and then nothing:
// the server holds what was received, not what was announced.
TEST(DiskdHostile, DeclaredLengthsDoNotCostMemory) {
    TempDir dir;
    MakeImage(dir / "a.img", 1 << 20);
    Server server(dir.path(), {"--image", kIqn + "=" + dir / "a.img"});
    ASSERT_TRUE(server.running());
    std::vector<std::unique_ptr<Client>> liars;
    for (int i = 0; i < 64; ++i) {
        liars.push_back(std::make_unique<Client>(server.tcpPort()));
        ASSERT_TRUE(liars.back()->Handshake(kIqn, "liar-" + std::to_string(i)));
        Header h;
        h.opcode = wire::OpWrite;
        h.seq = 9;
        h.length = 32u << 20;
        auto bytes = EncodeHeader(h);
        bytes.resize(bytes.size() + 20000, 0x5A);  // a little more than the first buffer
        liars.back()->Send(bytes);
    }
    Client good(server.tcpPort());
    ASSERT_TRUE(good.Handshake(kIqn, "good"));
    EXPECT_TRUE(good.Read(4096, 65536));
    // 64 connections x 32 MiB would be 2 GiB; what arrived is about 1.3 MiB.
    long rss = RssKiB(server.pid());
    ASSERT_GT(rss, 0);
    EXPECT_LT(rss, 256 * 1024) << "resident KiB with 64 announced 32 MiB writes";
    EXPECT_EQ(server.Stop(), 0);
}

// The connection code itself, through a socketpair: a frame's buffer grows with the bytes
// that arrive, never to the declared length at once.
TEST(DiskdHostile, ConnectionBufferFollowsTheBytesNotTheHeader) {
    TempDir dir;
    MakeImage(dir / "a.img", 1 << 20);
    zelko::diskd::Config cfg;
    cfg.images.push_back({kIqn, dir / "a.img", false, 0});
    cfg.dataDir = dir / "data";
    zelko::diskd::ImageStore store(cfg);
    std::string error;
    ASSERT_TRUE(store.Start(&error)) << error;
    zelko::diskd::ServerStats stats;
    zelko::diskd::NetServer net(cfg, store, stats);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    auto conn = net.Adopt(sv[0], "10.1.2.3", 4000);
    Header h;
    h.opcode = wire::OpWrite;
    h.length = 32u << 20;
    auto bytes = EncodeHeader(h);
    bytes.resize(bytes.size() + 1000, 1);
    ASSERT_EQ(send(sv[1], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(net.Pump(conn), zelko::diskd::NetServer::PumpResult::WaitRead);
    EXPECT_LT(zelko::diskd::NetServer::BufferedBytes(conn), 64u << 10);
    // More bytes: the buffer grows as they come, by doubling.
    std::vector<uint8_t> more(200000, 2);
    size_t sent = 0;
    while (sent < more.size()) {
        ssize_t n = send(sv[1], more.data() + sent, more.size() - sent, MSG_DONTWAIT);
        if (n > 0) sent += static_cast<size_t>(n);
        net.Pump(conn);
    }
    net.Pump(conn);
    EXPECT_LT(zelko::diskd::NetServer::BufferedBytes(conn), 1u << 20);
    shutdown(sv[1], SHUT_WR);
    auto r = zelko::diskd::NetServer::PumpResult::WaitRead;
    for (int i = 0; i < 100 && r != zelko::diskd::NetServer::PumpResult::Closed; ++i) r = net.Pump(conn);
    EXPECT_EQ(r, zelko::diskd::NetServer::PumpResult::Closed);  // peer gone mid-frame
    close(sv[1]);
}

}  // namespace
