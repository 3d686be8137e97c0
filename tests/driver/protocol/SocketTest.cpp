// The kernel TCP socket client over the host kernel's WSK provider: time-outs, peer close,
// abandoned packets, address checks, provider capture and the packet pool.
#include "ProtocolTestSupport.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace {

// A listener that completes TCP handshakes (backlog) but never accepts, reads or writes.
struct DeadServer {
    int fd;
    uint16_t port;
    DeadServer() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        ::listen(fd, 8);
        socklen_t l = sizeof(a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
        port = ntohs(a.sin_port);
    }
    ~DeadServer() { ::close(fd); }
};

uint16_t ClosedPort() {
    DeadServer d;
    uint16_t p = d.port;
    return p;  // closed when d goes away
}

class SocketTest : public ProtocolTest {};

TEST_F(SocketTest, DeadServerTimesOutWithinTheLimits) {
    hk::test::SetClockRate(5.0);
    DeadServer dead;
    PPROTOCOL_SESSION s = NewSession(dead.port);
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    uint8_t buf[24];
    LARGE_INTEGER t0 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(WskClient_ReceiveAllDeadline(s, buf, sizeof(buf), 10000), STATUS_IO_TIMEOUT);
    double ms = VirtualMs(t0);
    EXPECT_GE(ms, 10000.0);
    EXPECT_LE(ms, 17000.0);
    EXPECT_GE(s->stats.waitTimeouts, 1);
    EXPECT_EQ(s->stats.abandonedPackets, 0) << "the provider honours cancellation";
    // Without a deadline a receive that timed out means the peer is gone.
    EXPECT_EQ(WskClient_ReceiveAll(s, buf, sizeof(buf)), STATUS_CONNECTION_DISCONNECTED);
}

TEST_F(SocketTest, PeerCloseAndTransfersWithoutConnection) {
    peer::Server srv([](peer::Conn& c, const peer::Request&) { c.Close(); });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    uint8_t buf[24] = {0};
    ULONG n = 7;
    EXPECT_EQ(WskClient_Send(s, buf, 24, &n), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(WskClient_ReceiveAll(s, buf, 24), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(s->stats.connects, 1);
    wire::MessageHeader h{wire::kMagic, 1, wire::OpPing, 0, 2, 0, 0};
    ASSERT_EQ(WskClient_SendAll(s, &h, sizeof(h)), STATUS_SUCCESS);
    EXPECT_EQ(WskClient_ReceiveAll(s, buf, 24), STATUS_CONNECTION_DISCONNECTED);
    EXPECT_EQ(WskClient_ReceiveAllDeadline(s, buf, 24, 5000), STATUS_CONNECTION_DISCONNECTED);
    EXPECT_EQ(s->stats.bytesSent, 24);
    WskClient_Disconnect(s);
    EXPECT_FALSE(s->connected);
    EXPECT_EQ(s->socket, nullptr);
    WskClient_Disconnect(s);  // no socket: only clears the flag
}

TEST_F(SocketTest, StalledPacketIsAbandonedAndCounted) {
    hk::test::SetClockRate(10.0);
    peer::Disk disk;
    peer::Server srv([&](peer::Conn& c, const peer::Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());
    HkWskTestStall(HkWskOpReceive, 1);
    uint8_t buf[64];
    ULONG n = 99;
    EXPECT_EQ(WskClient_Receive(s, buf, sizeof(buf), &n), STATUS_TIMEOUT);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s->stats.abandonedPackets, 1);
    EXPECT_EQ(s->stats.waitTimeouts, 1);
    EXPECT_EQ(HkWskTestStalledIrps(), 1u);
    // The session goes on with fresh packets.
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_SUCCESS);
    // When the stack finally completes the abandoned packet, it frees it and its MDL.
    WskClient_Disconnect(s);
    for (int i = 0; i < 200 && HkWskTestStalledIrps() != 0; i++) peer::SleepMs(5);
    EXPECT_EQ(HkWskTestStalledIrps(), 0u);
    for (int i = 0; i < 200 && HkIoOutstandingMdls() != 0; i++) peer::SleepMs(5);
    EXPECT_EQ(HkIoOutstandingMdls(), 0);
}

TEST_F(SocketTest, StalledConnectFailsAsTimeout) {
    hk::test::SetClockRate(20.0);
    peer::Disk disk;
    peer::Server srv([&](peer::Conn& c, const peer::Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    HkWskTestStall(HkWskOpConnect, 1);
    EXPECT_EQ(WskClient_Connect(s), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(s->connected);
    EXPECT_EQ(s->stats.abandonedPackets, 1);
    EXPECT_TRUE(LogHas("ZelkoVd: WskConnect 超时/失败: 0xC00000B5\n"));
    HkWskTestReleaseStalled();
    EXPECT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
}

TEST_F(SocketTest, InvalidServerAddressesFailAfterTheSocketWasClosed) {
    char dir[] = "/tmp/zvprotoXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    hk::test::MapDrive('C', dir);
    PPROTOCOL_SESSION s = NewSession(ClosedPort());
    for (const char* ip : {"10.0.0.256", "10.0.0", "10..0.1", "10.0.0.1.5", "1.2.3.4x", "1.2.3.-4", "1234.1.1.1", ""}) {
        SetWide(s->serverIp, PROTO_SERVER_IP_UNITS, ip);
        ULONG sockets = HkWskTestCalls(HkWskOpSocket);
        EXPECT_EQ(WskClient_Connect(s), STATUS_INVALID_PARAMETER) << ip;
        EXPECT_EQ(HkWskTestCalls(HkWskOpSocket), sockets + 1) << "a socket was made first";
        EXPECT_EQ(HkWskTestCalls(HkWskOpConnect), 0u);
        for (int i = 0; i < 200 && HkWskTestOpenSockets() != 0; i++) peer::SleepMs(5);
        EXPECT_EQ(HkWskTestOpenSockets(), 0) << ip;
        EXPECT_EQ(s->socket, nullptr);
    }
    for (int i = 0; i < PROTO_SERVER_IP_UNITS; i++) s->serverIp[i] = L'1';  // 64 units, no terminator
    EXPECT_EQ(WskClient_Connect(s), STATUS_INVALID_PARAMETER);
    std::ifstream f(std::string(dir) + "/ZelkoVd.log");
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_NE(text.str().find("[WskConnect] 解析 IP 失败 0xC000000D\n"), std::string::npos);
    EXPECT_NE(text.str().find("[WskConnect] serverIp 为空\n"), std::string::npos);
    EXPECT_NE(text.str().find("[WskConnect] WskSocket 成功\n"), std::string::npos);
    hk::test::UnmapDrive('C');
    std::string cmd = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST_F(SocketTest, RefusedConnections) {
    PPROTOCOL_SESSION s = NewSession(ClosedPort());
    EXPECT_EQ(WskClient_Connect(s), STATUS_CONNECTION_REFUSED);
    EXPECT_TRUE(LogHas("ZelkoVd: WskConnect 超时/失败: 0xC0000236\n"));
    peer::Disk disk;
    peer::Server srv([&](peer::Conn& c, const peer::Request& r) { disk.Answer(c, r); });
    s->serverPort = srv.port();
    HkWskTestRefuseConnections(1);
    EXPECT_EQ(WskClient_Connect(s), STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(srv.Connections(), 0);
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(g_wskLocalAddrFamily, AF_INET);
    EXPECT_EQ(g_wskLocalAddr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(s->stats.connects, 1);
}

TEST_F(SocketTest, PacketPoolHitsAndMisses) {
    peer::Disk disk;
    peer::Server srv([&](peer::Conn& c, const peer::Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    // The pool's allocator fails once: that packet is allocated directly.
    hk::test::FailPoolAllocation(1, ZV_TAG_WSK_PACKET);
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    hk::test::FailPoolAllocation(0, ZV_TAG_WSK_PACKET);
    EXPECT_EQ(s->stats.poolMisses, 1);
    LONG hits = s->stats.poolHits;
    EXPECT_GE(hits, 3);
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    EXPECT_GT(s->stats.poolHits, hits);
    EXPECT_EQ(s->stats.poolMisses, 1);
    // Out of every kind of memory: the transfer fails and nothing is sent.
    size_t before = srv.RequestCount();
    hk::test::FailPoolAllocation(1, 0);
    uint8_t buf[512] = {0};
    NTSTATUS st = ProtocolClient_Read(s, 0, 512, buf, nullptr);
    hk::test::FailPoolAllocation(0, 0);
    EXPECT_EQ(st, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(srv.RequestCount(), before);
    EXPECT_TRUE(s->connected) << "nothing was sent, the stream is still in step";
    ASSERT_EQ(ProtocolClient_Read(s, 0, 512, buf, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf, disk.data.data(), 512), 0);
}

class CaptureTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        WskClient_Cleanup();
        HkWskTestReset();
        hk::test::ClearDbgLines();
    }
    void TearDown() override {
        ProtocolTest::TearDown();
        HkWskTestReset();
        if (!g_wskInited) {
            EXPECT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
        }
    }
};

TEST_F(CaptureTest, NoInterfaceIsRetriedOtherStatusesStop) {
    // Slow enough that a scheduling hiccup never makes a capture look like a long wait.
    hk::test::SetClockRate(5.0);
    HkWskTestFailCapture(STATUS_NOINTERFACE, 2, 0);
    EXPECT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(HkWskTestCaptureCalls(), 3u);
    EXPECT_TRUE(LogHas("ZelkoVd: WskRegister 前版本检查: Version=0x0100 (应为 0x0100)\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: WskRegister OK（首次注册）\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: WskCaptureProviderNPI[1/30] 返回 0xC00002B9"));
    EXPECT_EQ(LogCount("ZelkoVd: 立即返回，等待 1 秒后重试（等待 NETIO 就绪）\n"), 2);
    EXPECT_TRUE(LogHas("ZelkoVd: WSK provider 捕获成功（g_wskInited=1）\n"));
    hk::test::ClearDbgLines();
    EXPECT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("ZelkoVd: WskClient_Initialize 跳过（g_wskInited=1）\n"));

    // A capture that waited before failing is retried at once.
    WskClient_Cleanup();
    hk::test::ClearDbgLines();
    HkWskTestFailCapture(STATUS_NOINTERFACE, 1, 2000);
    EXPECT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("，继续重试\n"));
    EXPECT_EQ(LogCount("立即返回"), 0);

    // Any other status stops the loop; the registration stays for the next try.
    WskClient_Cleanup();
    hk::test::ClearDbgLines();
    HkWskTestReset();
    HkWskTestFailCapture(STATUS_ACCESS_DENIED, 1, 0);
    EXPECT_EQ(WskClient_Initialize(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(HkWskTestCaptureCalls(), 1u);
    EXPECT_TRUE(LogHas("ZelkoVd: 非 STATUS_NOINTERFACE，停止重试: 0xC0000022\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: 保留 WskRegistration（不 deregister），下次可重试\n"));
    EXPECT_EQ(g_wskRegistered, 1);
    EXPECT_EQ(g_wskInited, 0);
    hk::test::ClearDbgLines();
    EXPECT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("ZelkoVd: WskRegister 已完成（跳过重复注册，复用已有 registration）\n"));
    EXPECT_EQ(HkWskTestRegistrations(), 1);
}

TEST_F(CaptureTest, ThirtyFailuresKeepTheRegistration) {
    hk::test::SetClockRate(100.0);
    HkWskTestFailCapture(STATUS_NOINTERFACE, 30, 0);
    EXPECT_EQ(WskClient_Initialize(), STATUS_NOINTERFACE);
    EXPECT_EQ(HkWskTestCaptureCalls(), 30u);
    EXPECT_TRUE(LogHas("ZelkoVd: WskCaptureProviderNPI[30/30] 返回 0xC00002B9"));
    EXPECT_TRUE(LogHas("ZelkoVd: WskCaptureProvider 最终失败: 0xC00002B9（已重试 30 次）\n"));
    // A connect retries the capture.
    peer::Disk disk;
    peer::Server srv([&](peer::Conn& c, const peer::Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    EXPECT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(HkWskTestRegistrations(), 1);
}

TEST_F(CaptureTest, RacingFirstInitialisationRegistersOnce) {
    hk::test::SetClockRate(20.0);
    HkWskTestFailCapture(STATUS_NOINTERFACE, 1, 0);  // keeps the first caller busy for a while
    NTSTATUS a = STATUS_UNSUCCESSFUL, b = STATUS_UNSUCCESSFUL;
    std::thread t1([&] { a = WskClient_Initialize(); });
    std::thread t2([&] { b = WskClient_Initialize(); });
    t1.join();
    t2.join();
    EXPECT_EQ(a, STATUS_SUCCESS);
    EXPECT_EQ(b, STATUS_SUCCESS);
    EXPECT_EQ(HkWskTestRegistrations(), 1);
    EXPECT_EQ(LogCount("WskRegister OK（首次注册）"), 1);
}

}  // namespace
