// ExitSuperUser, MigrationStatus, Ping, PathDeregister and TransportNegotiate on the wire.
#include "ProtocolTestSupport.h"

#include <algorithm>

namespace {

using peer::Conn;
using peer::Request;

class MaintenanceTest : public ProtocolTest {
protected:
    peer::Disk disk;
};

TEST_F(MaintenanceTest, ExitSuperUser) {
    std::atomic<uint32_t> answerLength{16};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpExitSuperUser && answerLength != 16) {
            c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, answerLength);
            c.Send(std::vector<uint8_t>(answerLength, 0));
            return;
        }
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    // Not in super-user mode: refused, nothing sent.
    EXPECT_EQ(ProtocolClient_ExitSuperUser(s, TRUE, nullptr, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(srv.RequestCount(), 1u);

    s->superUser = TRUE;
    ULONGLONG blocks = 0, bytes = 0;
    ASSERT_EQ(ProtocolClient_ExitSuperUser(s, TRUE, &blocks, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(blocks, 12u);
    EXPECT_EQ(bytes, 12u * 512);
    EXPECT_FALSE(s->superUser);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] ExitSuperUser 成功: commit=1, blocks=12, bytes=6144\n"));
    auto r = srv.Requests().back();
    EXPECT_EQ(r.header.opcode, wire::OpExitSuperUser);
    EXPECT_EQ(r.header.flags, 0);
    EXPECT_EQ(r.header.offset, 0u);
    EXPECT_EQ(r.header.length, 1u);
    EXPECT_EQ(r.payload, std::vector<uint8_t>{1});

    s->superUser = TRUE;
    ASSERT_EQ(ProtocolClient_ExitSuperUser(s, FALSE, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(srv.Requests().back().payload, std::vector<uint8_t>{0});

    // A record of 8 bytes: the size refusal goes through recovery, which hands it back.
    s->superUser = TRUE;
    answerLength = 8;
    EXPECT_EQ(ProtocolClient_ExitSuperUser(s, TRUE, nullptr, nullptr), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(LogHas("[ZelkoVd][ERR] [ExitSuperUser] 响应 size 不匹配: got=8, want=16\n"));
    // Not retried; the stream that still held 8 unread bytes was closed.
    auto reqs = srv.Requests();
    EXPECT_EQ(std::count_if(reqs.begin(), reqs.end(), [](const Request& q) { return q.header.opcode == wire::OpExitSuperUser; }), 3);
    EXPECT_EQ(reqs.back().header.opcode, wire::OpExitSuperUser);
    EXPECT_FALSE(s->connected);
    // The next exchange runs on a clean stream that its recovery built.
    answerLength = 16;
    s->superUser = TRUE;
    ASSERT_EQ(ProtocolClient_ExitSuperUser(s, TRUE, nullptr, nullptr), STATUS_SUCCESS);
    reqs = srv.Requests();
    EXPECT_EQ(reqs[reqs.size() - 2].header.opcode, wire::OpHandshake);
    EXPECT_EQ(reqs.back().header.opcode, wire::OpExitSuperUser);
    EXPECT_EQ(reqs.back().conn, 1);
}

TEST_F(MaintenanceTest, MigrationStatusKeyAndRecord) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());
    uint8_t out[48];
    memset(out, 0xEE, sizeof(out));
    std::string key(40, 'K');
    key[27] = 'Z';
    key[28] = 'Y';
    hk::test::ClearDbgLines();
    ASSERT_EQ(ProtocolClient_MigrationStatus(s, key.c_str(), out), STATUS_SUCCESS);
    auto r = srv.Requests().back();
    EXPECT_EQ(r.header.opcode, wire::OpMigrationStatus);
    EXPECT_EQ(r.header.length, 32u);
    ASSERT_EQ(r.payload.size(), 32u);
    EXPECT_EQ(std::string(r.payload.begin(), r.payload.begin() + 28), key.substr(0, 28));
    EXPECT_EQ(std::vector<uint8_t>(r.payload.begin() + 28, r.payload.end()), std::vector<uint8_t>(4, 0));
    wire::MigrationStatusResponse rec;
    memcpy(&rec, out, 48);
    EXPECT_EQ(rec.active, 1u);
    EXPECT_EQ(rec.field4, 2u);
    EXPECT_EQ(rec.field8, 3u);
    EXPECT_EQ(rec.field12, 0u) << "the caller's copy gets 0 at offset 12";
    EXPECT_EQ(rec.dirty, 40u);
    EXPECT_EQ(rec.field24, 6u);
    EXPECT_EQ(rec.total, 100u);
    EXPECT_EQ(rec.field40, 8u);
    // Debug lines are not printed at the fixed log level 2.
    EXPECT_FALSE(LogHas("[ZelkoVd][DBG]"));
    EXPECT_EQ(ProtocolClient_MigrationStatus(s, nullptr, out), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(ProtocolClient_MigrationStatus(s, "short", out), STATUS_SUCCESS);
    r = srv.Requests().back();
    EXPECT_EQ(std::string((const char*)r.payload.data()), "short");
}

TEST_F(MaintenanceTest, PingAnswers) {
    std::atomic<int> mode{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode != wire::OpPing) return disk.Answer(c, r);
        if (mode == 0) c.SendHeader(wire::OpRespPong, 0, r.header.seq, 0, 0);
        else if (mode == 1) c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 0);
        else if (mode == 2) c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, 5);
        else c.SendHeader(wire::OpRespPong, 0, r.header.seq, 0, 0, wire::kMagic, 2);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    ASSERT_EQ(ProtocolClient_Ping(s), STATUS_SUCCESS);
    EXPECT_EQ(s->stats.pongs, 1);
    auto r = srv.Requests().back();
    EXPECT_EQ(r.header.opcode, wire::OpPing);
    EXPECT_EQ(r.header.length, 0u);
    EXPECT_EQ(r.raw.size(), 24u);
    mode = 1;
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_UNEXPECTED_NETWORK_ERROR);
    EXPECT_EQ(s->stats.pingFailures, 1);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] Ping 失败: 0xC00000C4\n"));
    EXPECT_EQ(s->stats.reconnects, 0) << "Ping never recovers";
    EXPECT_FALSE(s->connected) << "what follows an unexpected answer is unknown: the stream goes";
    ASSERT_EQ(ProtocolClient_Reconnect(s), STATUS_SUCCESS);
    mode = 2;
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_REMOTE_NOT_LISTENING);
    EXPECT_TRUE(s->connected) << "a server error is a bare header";
    mode = 3;
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_EQ(s->stats.pingFailures, 3);
    EXPECT_EQ(s->stats.reconnects, 1) << "Ping never recovers";
    ASSERT_EQ(ProtocolClient_Reconnect(s), STATUS_DEVICE_NOT_CONNECTED) << "rate limit";
    hk::test::AdvanceClock(310000000);
    ASSERT_EQ(ProtocolClient_Reconnect(s), STATUS_SUCCESS);
    s->removing = TRUE;
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(s->stats.pingFailures, 3) << "a removing session does not count";
    s->removing = FALSE;
}

// One 3 s deadline for the whole answer, measured on the driver's clock (run 2x faster here).
TEST_F(MaintenanceTest, PingDeadlineWithSplitAnswer) {
    hk::test::SetClockRate(2.0);
    std::atomic<int> delayMs{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode != wire::OpPing) return disk.Answer(c, r);
        wire::MessageHeader h{wire::kMagic, 1, wire::OpRespPong, 0, r.header.seq, 0, 0};
        c.Send(&h, 10);
        peer::SleepMs(delayMs);
        c.Send(reinterpret_cast<uint8_t*>(&h) + 10, 14);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    delayMs = 1000;  // 2 s of driver time
    LARGE_INTEGER t0 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_SUCCESS);
    EXPECT_GE(VirtualMs(t0), 1500.0);
    delayMs = 1800;  // 3.6 s of driver time
    t0 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_IO_TIMEOUT);
    double ms = VirtualMs(t0);
    EXPECT_GE(ms, 2900.0);
    EXPECT_LT(ms, 5000.0) << "the deadline, not a whole receive limit";
    EXPECT_EQ(s->stats.pongs, 1);
    EXPECT_EQ(s->stats.pingFailures, 1);
    // The late half of that answer must not be taken for the next answer.
    EXPECT_FALSE(s->connected);
    peer::SleepMs(300);
}

TEST_F(MaintenanceTest, PathDeregisterAndTeardown) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());
    s->pathId = 5;
    ASSERT_EQ(ProtocolClient_PathDeregister(s, 4, 2), STATUS_SUCCESS);
    EXPECT_EQ(s->pathId, 5u);
    auto r = srv.Requests().back();
    EXPECT_EQ(r.header.opcode, wire::OpPathDeregister);
    EXPECT_EQ(r.header.length, 12u);
    wire::PathDeregisterRequest p;
    memcpy(&p, r.payload.data(), 12);
    EXPECT_EQ(p.pathId, 4u);
    EXPECT_EQ(p.reason, 2u);
    EXPECT_EQ(p.reserved, 0u);
    ASSERT_EQ(ProtocolClient_PathDeregister(s, 5, 1), STATUS_SUCCESS);
    EXPECT_EQ(s->pathId, 0u);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] [PathDeregister] pathId=5 reason=1\n"));

    // Teardown sends PathDeregister with reason 0 only when a path id is set.
    size_t before = srv.RequestCount();
    s->pathId = 9;
    ProtocolSession_Teardown(s);
    ASSERT_TRUE(srv.WaitRequests(before + 1));
    r = srv.Requests().back();
    EXPECT_EQ(r.header.opcode, wire::OpPathDeregister);
    memcpy(&p, r.payload.data(), 12);
    EXPECT_EQ(p.pathId, 9u);
    EXPECT_EQ(p.reason, 0u);
    EXPECT_FALSE(s->connected);
    sessions_.clear();
    std::free(s);
    PPROTOCOL_SESSION t = Up(srv.port());
    before = srv.RequestCount();
    ProtocolSession_Teardown(t);
    sessions_.clear();
    std::free(t);
    peer::SleepMs(50);
    EXPECT_EQ(srv.RequestCount(), before) << "path id 0: nothing sent";
}

TEST_F(MaintenanceTest, TransportNegotiate) {
    std::atomic<int> mode{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode != wire::OpTransportNegotiate || mode == 0) return disk.Answer(c, r);
        if (mode == 1) c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, 0);
        else if (mode == 2) c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 20), c.Send(std::vector<uint8_t>(20));
        else c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 24, wire::kMagic, 2);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    ASSERT_EQ(ProtocolClient_TransportNegotiate(s, 3), STATUS_SUCCESS);
    EXPECT_EQ(s->serverMask, 3u);
    EXPECT_EQ(s->udpPort, 9601);
    EXPECT_EQ(s->rdmaPort, 9700);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] [TransportNegotiate] 协商成功: selected=0x3 udpPort=9601 rdmaPort=9700 mtu=1400\n"));
    auto r = srv.Requests().back();
    EXPECT_EQ(r.header.opcode, wire::OpTransportNegotiate);
    EXPECT_EQ(r.header.length, 16u);
    wire::TransportNegotiateRequest q;
    memcpy(&q, r.payload.data(), 16);
    EXPECT_EQ(q.mask, 3u);
    EXPECT_EQ(q.reserved1, 0u);
    EXPECT_EQ(q.reserved2, 0u);
    EXPECT_EQ(q.one, 1u);
    mode = 1;  // "error 0" is no answer to a negotiation
    EXPECT_EQ(ProtocolClient_TransportNegotiate(s, 3), STATUS_UNEXPECTED_IO_ERROR);
    mode = 2;
    EXPECT_EQ(ProtocolClient_TransportNegotiate(s, 3), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] [TransportNegotiate] 响应 size 不匹配: got=20, want=24\n"));
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    mode = 3;
    EXPECT_EQ(ProtocolClient_TransportNegotiate(s, 3), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_EQ(s->serverMask, 3u) << "a failed negotiation keeps what was learnt";
}

}  // namespace
