// Recovery from broken connections: one resend with the same seq, rate-limited reconnects,
// failure flags and transport selection, and exchanges racing a reconnect.
#include "ProtocolTestSupport.h"

#include <atomic>
#include <random>
#include <thread>

namespace {

using peer::Conn;
using peer::Request;

class RecoveryTest : public ProtocolTest {
protected:
    peer::Disk disk;
};

TEST_F(RecoveryTest, TimedOutReadIsResentOnceWithTheSameSeq) {
    hk::test::SetClockRate(10.0);
    std::atomic<int> reads{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && reads++ == 0) return;  // the first Read is never answered
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(2048);
    ASSERT_EQ(ProtocolClient_Read(s, 4096, 2048, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 4096, 2048), 0);
    auto reqs = srv.Requests();
    ASSERT_EQ(reqs.size(), 4u);  // handshake, read, handshake (new connection), read again
    EXPECT_EQ(reqs[1].conn, 0);
    EXPECT_EQ(reqs[2].conn, 1);
    EXPECT_EQ(reqs[2].header.opcode, wire::OpHandshake);
    EXPECT_EQ(reqs[3].conn, 1);
    EXPECT_EQ(reqs[3].header.seq, reqs[1].header.seq) << "the same request is sent again";
    EXPECT_EQ(reqs[3].header.offset, 4096u);
    EXPECT_EQ(s->stats.reconnects, 1);
    EXPECT_EQ(s->stats.connects, 2);
    EXPECT_GE(s->stats.waitTimeouts, 1);
    EXPECT_EQ(s->stats.abandonedPackets, 0);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] IO 失败 0xC00000B5，触发重连\n"));
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] [Transport] TCP 标记为失败，尝试降级\n"));
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] [Transport] TCP 重连成功，清除失败标志\n"));
    EXPECT_FALSE(s->tcpFailed);

    // A second connection failure within 30 s of that burst fails at once, without a socket
    // being touched.
    reads = 0;
    int connections = srv.Connections();
    EXPECT_EQ(ProtocolClient_Read(s, 0, 2048, buf.data(), nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(srv.Connections(), connections);
    EXPECT_EQ(s->stats.reconnects, 1);
    EXPECT_FALSE(s->connected) << "the timed-out stream was closed, its late answer can never be misread";
}

TEST_F(RecoveryTest, ConnectionResetMidDataRecovers) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    // Handshake answer (56 bytes), then the Read header and 100 bytes of its data.
    HkWskTestResetAfterBytes(56 + 24 + 100, 0);
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(8192);
    ASSERT_EQ(ProtocolClient_Read(s, 65536, 8192, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 65536, 8192), 0);
    EXPECT_EQ(s->stats.reconnects, 1);
    EXPECT_TRUE(LogHas("IO 失败 0xC000020D"));
}

TEST_F(RecoveryTest, FailureFlagsAndTransportSelection) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());

    // Not a connection failure: handed back, nothing marked.
    EXPECT_EQ(WpTryRecover(s, STATUS_DATA_ERROR), STATUS_DATA_ERROR);
    EXPECT_EQ(WpTryRecover(s, STATUS_DEVICE_BUSY), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(s->tcpFailed);
    EXPECT_EQ(s->stats.reconnects, 0);

    // serverMask 0: every failure selects TCP.
    WskClient_Disconnect(s);
    EXPECT_EQ(WpTryRecover(s, STATUS_CONNECTION_RESET), STATUS_SUCCESS);
    EXPECT_EQ(s->currentTransport, PROTO_TRANSPORT_TCP);

    // serverMask 3, on TCP: a timed-out read marks TCP, switches to UDP, reconnects TCP and
    // clears the TCP mark again.
    s->serverMask = 3;
    hk::test::AdvanceClock(310000000);
    WskClient_Disconnect(s);
    EXPECT_EQ(WpTryRecover(s, STATUS_IO_TIMEOUT), STATUS_SUCCESS);
    EXPECT_EQ(s->currentTransport, PROTO_TRANSPORT_UDP);
    EXPECT_FALSE(s->tcpFailed);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] [SelectTransport] 传输层切换: 1 → 2 (serverMask=0x3)\n"));
    EXPECT_TRUE(s->connected);

    // On UDP with UDP marked: back to TCP; the next TCP failure finds nothing eligible.
    s->udpFailed = TRUE;
    hk::test::AdvanceClock(310000000);
    WskClient_Disconnect(s);
    EXPECT_EQ(WpTryRecover(s, STATUS_CONNECTION_DISCONNECTED), STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] [Transport] UDP 标记为失败，尝试降级\n"));
    EXPECT_EQ(s->currentTransport, PROTO_TRANSPORT_TCP);
    EXPECT_TRUE(LogHas("[SelectTransport] 传输层切换: 2 → 1 (serverMask=0x3)"));
    WskClient_Disconnect(s);
    // Within 30 s: the reconnect is refused and the TCP mark stays.
    EXPECT_EQ(WpTryRecover(s, STATUS_UNSUCCESSFUL), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] [SelectTransport] 所有传输层均失败，回退到 TCP\n"));
    EXPECT_EQ(s->currentTransport, PROTO_TRANSPORT_TCP);
    EXPECT_TRUE(s->tcpFailed);
    EXPECT_FALSE(s->connected);
}

TEST_F(RecoveryTest, RdmaPreference) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION a = Up(srv.port());
    a->serverMask = 7;
    SelectTransport(a);
    EXPECT_EQ(a->currentTransport, PROTO_TRANSPORT_RDMA);

    hk::test::ClearDbgLines();
    PPROTOCOL_SESSION b = NewSession(srv.port(), "iqn.x", "c", 2);
    EXPECT_TRUE(LogHas("ZelkoVd: preferredTransport=RDMA 不可用（内核态无 RDMA 数据通道），降级 UDP/TCP\n"));
    EXPECT_TRUE(b->rdmaFailed);
    EXPECT_EQ(b->currentTransport, PROTO_TRANSPORT_TCP);
    b->serverMask = 7;
    SelectTransport(b);
    EXPECT_EQ(b->currentTransport, PROTO_TRANSPORT_UDP);
}

TEST_F(RecoveryTest, ReconnectRefusedWhileRemoving) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());
    WskClient_Disconnect(s);
    s->removing = TRUE;
    EXPECT_EQ(ProtocolClient_Reconnect(s), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(srv.Connections(), 1);
    s->removing = FALSE;
}

// Several threads read while the server drops the connection now and then. Every read either
// fails cleanly or returns exactly the bytes of its own offset: a reconnect never swaps the
// socket under an exchange in flight.
TEST_F(RecoveryTest, ConcurrentReadsAcrossReconnects) {
    std::atomic<int> served{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && ++served % 40 == 0) {
            c.Close();
            return;
        }
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::atomic<int> wrong{0}, ok{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++) {
        ts.emplace_back([&, t] {
            std::mt19937 rng(t);
            std::vector<uint8_t> buf(4096);
            for (int i = 0; i < 60; i++) {
                ULONGLONG off = (rng() % 200) * 4096;
                NTSTATUS st = ProtocolClient_Read(s, off, 4096, buf.data(), nullptr);
                if (st == STATUS_DEVICE_NOT_CONNECTED) {
                    // Between bursts the session stays down; let time pass as a worker would wait.
                    hk::test::AdvanceClock(310000000);
                    (void)ProtocolClient_Reconnect(s);
                    continue;
                }
                if (!NT_SUCCESS(st)) continue;
                if (memcmp(buf.data(), disk.data.data() + off, 4096) != 0) wrong++;
                else ok++;
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(ok.load(), 120);
    EXPECT_GE(srv.Connections(), 2);
}

}  // namespace
