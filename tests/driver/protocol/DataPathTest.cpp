// The data path choice against the real disk server with its UDP channel: which reads go over
// UDP, which over TCP, that lossy datagrams never cost data, that writes are confirmed, the
// server's PushBlocks, and UdpRetryTimer.
#include "ProtocolTestSupport.h"

#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "DiskdProcess.h"

extern volatile LONG LogLevel;

namespace {

const char* const kDiskd = diskdproc::kBuiltDiskd;

const char kIqn[] = "iqn.2024-01.net.zelko:image.1";

// zelko-diskd on ephemeral ports with its UDP channel, pushing this many blocks ahead.
std::unique_ptr<diskdproc::DiskdProcess> StartUdpDiskd(const std::vector<uint8_t>& image, int pushAhead) {
    diskdproc::Options o;
    o.iqn = kIqn;
    o.udp = true;
    o.extraArgs = {"--udp-push-ahead", std::to_string(pushAhead)};
    o.dirTemplate = "/tmp/zvudpdXXXXXX";
    return std::make_unique<diskdproc::DiskdProcess>(o, image);
}

std::mutex g_pushLock;
std::vector<std::pair<uint64_t, std::vector<uint8_t>>> g_pushed;

ULONG PushHandler(ULONGLONG offset, ULONG length, const VOID* data) {
    std::lock_guard<std::mutex> g(g_pushLock);
    g_pushed.emplace_back(offset, std::vector<uint8_t>((const uint8_t*)data, (const uint8_t*)data + length));
    return 1;
}

std::atomic<int> g_registerCalls{0};
VOID RegisterPush(PPROTOCOL_SESSION, PVOID) {
    g_registerCalls++;
    WskUdp_RegisterPushBlock(PushHandler);
}

// The retry fields change in the timer's work item: read them as the driver does.
LONG Atomic(volatile LONG& v) { return InterlockedCompareExchange(&v, 0, 0); }

WSKUDP_STATS Stats() {
    WSKUDP_STATS s;
    WskUdp_GetStats(&s);
    return s;
}

class DataPathTest : public ProtocolTest {
protected:
    void SetUp() override {
        if (kDiskd == nullptr) GTEST_SKIP() << "zelko-diskd is not part of this build";
        ProtocolTest::SetUp();
        savedLevel_ = LogLevel;
        image.resize(8 << 20);
        std::mt19937 rng(7);
        for (auto& b : image) b = (uint8_t)rng();
        g_registerCalls = 0;
        std::lock_guard<std::mutex> g(g_pushLock);
        g_pushed.clear();
    }
    void TearDown() override {
        if (kDiskd == nullptr) return;
        WskUdp_Cleanup();
        InterlockedExchange(&LogLevel, savedLevel_);
        ProtocolTest::TearDown();
        server.reset();
    }
    PPROTOCOL_SESSION Start(int pushAhead = 0) {
        server = StartUdpDiskd(image, pushAhead);
        EXPECT_NE(server->port(), 0) << "zelko-diskd did not start";
        PPROTOCOL_SESSION s = Up(server->port());
        s->pushBlockRegisterRoutine = RegisterPush;
        return s;
    }
    bool Matches(const std::vector<uint8_t>& buf, uint64_t off) {
        return memcmp(buf.data(), image.data() + off, buf.size()) == 0;
    }

    std::vector<uint8_t> image;
    std::unique_ptr<diskdproc::DiskdProcess> server;
    LONG savedLevel_ = 2;
};

TEST_F(DataPathTest, SmallReadsTakeUdpAndLargeOnesGoStraightToTcp) {
    PPROTOCOL_SESSION s = Start();
    ASSERT_EQ(ProtocolClient_StartUdp(s), STATUS_SUCCESS);
    EXPECT_TRUE(WskUdp_IsActive());
    EXPECT_EQ(s->udpPort, server->udpPort());
    EXPECT_EQ(g_registerCalls.load(), 1);

    std::mt19937 rng(11);
    for (ULONG len : {512u, 4096u, 65483u}) {
        uint64_t off = (rng() % ((image.size() - len) / 512)) * 512;
        std::vector<uint8_t> buf(len);
        ULONG path = 0;
        ASSERT_EQ(ReadFromRemoteEx(s, off, len, buf.data(), &path), STATUS_SUCCESS) << len;
        EXPECT_EQ(path, PROTO_TRANSPORT_UDP) << len;
        EXPECT_TRUE(Matches(buf, off)) << len;
    }
    // Answers that cannot fit one datagram: no UDP round trip first (the server would refuse it).
    LONG64 sends = Stats().sends;
    for (ULONG len : {65484u, 65536u, 65537u, 262144u}) {
        std::vector<uint8_t> buf(len);
        ULONG path = 0;
        ASSERT_EQ(ReadFromRemoteEx(s, 4096, len, buf.data(), &path), STATUS_SUCCESS) << len;
        EXPECT_EQ(path, PROTO_TRANSPORT_TCP) << len;
        EXPECT_TRUE(Matches(buf, 4096)) << len;
    }
    EXPECT_EQ(Stats().sends, sends);
    EXPECT_EQ(s->dataPath.udpFallbacks, 0);
    EXPECT_EQ(s->dataPath.udpReads, 3);
}

TEST_F(DataPathTest, AServerErrorOverUdpFallsBackToTcp) {
    PPROTOCOL_SESSION s = Start();
    ASSERT_EQ(ProtocolClient_StartUdp(s), STATUS_SUCCESS);
    // Beyond the end of the disk: the server answers RespError over UDP, which is no data; TCP
    // then gets the same refusal and that is what the caller sees.
    std::vector<uint8_t> buf(4096);
    ULONG path = 0;
    NTSTATUS st = ReadFromRemoteEx(s, image.size() + 4096, 4096, buf.data(), &path);
    EXPECT_EQ(st, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(path, PROTO_TRANSPORT_TCP);
    EXPECT_EQ(s->dataPath.udpFallbacks, 2) << "one UDP attempt per try";
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] ReadFromRemote 第 1 次失败 0xC000000D"));
}

TEST_F(DataPathTest, AThousandReadsUnderFivePercentLossAllReturnTheRightData) {
    PPROTOCOL_SESSION s = Start();
    ASSERT_EQ(ProtocolClient_StartUdp(s), STATUS_SUCCESS);
    HK_DGRAM_FAULTS loss{};
    loss.dropPerMillion = 50000;
    loss.seed = 3;
    HkWskTestDatagramFaults(HkDgramOutbound, &loss);
    loss.seed = 4;
    loss.duplicateEvery = 97;
    loss.reorderEvery = 89;
    HkWskTestDatagramFaults(HkDgramInbound, &loss);
    hk::test::SetClockRate(20);  // retransmissions every 200 ms of virtual time
    std::mt19937 rng(5);
    int wrong = 0, failed = 0;
    for (int i = 0; i < 1000; i++) {
        ULONG len = (rng() % 2) ? 4096 : 512 * (1 + rng() % 64);
        uint64_t off = (rng() % ((image.size() - len) / 512)) * 512;
        std::vector<uint8_t> buf(len);
        if (ReadFromRemote(s, off, len, buf.data()) != STATUS_SUCCESS) failed++;
        else if (!Matches(buf, off)) wrong++;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrong, 0);
    HK_DGRAM_STATS out, in;
    HkWskTestDatagramStats(HkDgramOutbound, &out);
    HkWskTestDatagramStats(HkDgramInbound, &in);
    EXPECT_GT(out.dropped, 20u);
    EXPECT_GT(in.dropped, 20u);
    EXPECT_GT(in.duplicated, 0u);
    EXPECT_GT(Stats().retransmits, 40);
    EXPECT_EQ(s->dataPath.udpReads, 1000) << "loss is the channel's business, not a reason for TCP";
}

TEST_F(DataPathTest, WritesGoOverTcpAndAreReadBackOverUdp) {
    PPROTOCOL_SESSION s = Start();
    ASSERT_EQ(ProtocolClient_StartUdp(s), STATUS_SUCCESS);
    // Every outbound datagram lost: a write must not depend on one.
    HK_DGRAM_FAULTS all{};
    all.dropEvery = 1;
    HkWskTestDatagramFaults(HkDgramOutbound, &all);
    std::vector<uint8_t> data(8192);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 13 + 1);
    LONG64 sends = Stats().sends;
    ASSERT_EQ(WriteToRemote(s, 1 << 20, (ULONG)data.size(), data.data()), STATUS_SUCCESS);
    EXPECT_EQ(Stats().sends, sends);
    EXPECT_EQ(s->dataPath.tcpWrites, 1);
    HkWskTestDatagramFaults(HkDgramOutbound, nullptr);
    std::vector<uint8_t> back(8192);
    ULONG path = 0;
    ASSERT_EQ(ReadFromRemoteEx(s, 1 << 20, 8192, back.data(), &path), STATUS_SUCCESS);
    EXPECT_EQ(path, PROTO_TRANSPORT_UDP);
    EXPECT_EQ(back, data);
}

TEST_F(DataPathTest, PushedBlocksReachTheHandlerAndAreAcknowledged) {
    PPROTOCOL_SESSION s = Start(2);
    ASSERT_EQ(ProtocolClient_StartUdp(s), STATUS_SUCCESS);
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(ReadFromRemote(s, 40960, 4096, buf.data()), STATUS_SUCCESS);
    // The handler sees a block before the channel acknowledges it: wait for both.
    for (int i = 0; i < 500; i++) {
        {
            std::lock_guard<std::mutex> g(g_pushLock);
            if (g_pushed.size() >= 2 && Stats().pushAcks >= 2) break;
        }
        peer::SleepMs(2);
    }
    std::lock_guard<std::mutex> g(g_pushLock);
    ASSERT_EQ(g_pushed.size(), 2u);
    for (const auto& [off, data] : g_pushed) {
        EXPECT_TRUE(off == 45056 || off == 49152) << off;
        ASSERT_EQ(data.size(), 4096u);
        EXPECT_TRUE(Matches(data, off));
    }
    auto st = Stats();
    EXPECT_EQ(st.pushedBlocks, 2);
    EXPECT_EQ(st.pushAcks, 2);
}

TEST_F(DataPathTest, NoUdpPortMeansTcpOnlyWithoutARetryTimer) {
    server = StartUdpDiskd(image, 0);
    // A session that never handshook cannot negotiate.
    PPROTOCOL_SESSION fresh = NewSession(server->port());
    ASSERT_EQ(WskClient_Connect(fresh), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_StartUdp(fresh), STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(Atomic(fresh->retryArmed));
    EXPECT_FALSE(WskUdp_IsActive());
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(ProtocolClient_Handshake(fresh), STATUS_SUCCESS);
    ULONG path = 0;
    ASSERT_EQ(ReadFromRemoteEx(fresh, 0, 4096, buf.data(), &path), STATUS_SUCCESS);
    EXPECT_EQ(path, PROTO_TRANSPORT_TCP);
    EXPECT_TRUE(Matches(buf, 0));
}

// Readers racing the channel going down and up again: each read still returns the image's data,
// over whichever path was there when it ran.
TEST_F(DataPathTest, RacingReadersWhileTheChannelComesAndGoes) {
    PPROTOCOL_SESSION s = Start();
    ASSERT_EQ(ProtocolClient_StartUdp(s), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, failed{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; t++) {
        readers.emplace_back([&, t] {
            std::mt19937 rng(100 + t);
            std::vector<uint8_t> buf(8192);
            while (!stop) {
                uint64_t off = (rng() % ((image.size() - buf.size()) / 512)) * 512;
                NTSTATUS st = ReadFromRemote(s, off, (ULONG)buf.size(), buf.data());
                if (st != STATUS_SUCCESS) failed++;
                else if (!Matches(buf, off)) wrong++;
                reads++;
            }
        });
    }
    for (int round = 0; round < 6; round++) {
        peer::SleepMs(40);
        WskUdp_Disconnect();
        peer::SleepMs(20);
        ASSERT_EQ(WskUdp_Connect(s->serverIp, s->udpPort), STATUS_SUCCESS);
    }
    peer::SleepMs(40);
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(s->dataPath.udpReads, 0);
    EXPECT_GT(reads.load(), 50);
}

class UdpRetryTest : public DataPathTest {
protected:
    void SetUp() override {
        DataPathTest::SetUp();
        if (IsSkipped()) return;
        char tmpl[] = "/tmp/zvudplogXXXXXX";
        dir_ = mkdtemp(tmpl);
        hk::test::MapDrive('C', dir_);
    }
    void TearDown() override {
        DataPathTest::TearDown();
        if (!dir_.empty() && system(("rm -rf " + dir_).c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }
    std::string FileLog() {
        std::ifstream f(dir_ + "/ZelkoVd.log");
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    // Moves the clock past the next firing and waits for its work item.
    void Fire(PPROTOCOL_SESSION s) {
        LONG before = Atomic(s->retryAttempts);
        hk::test::AdvanceClock(60LL * 10000000);
        for (int i = 0; i < 250 && Atomic(s->retryAttempts) == before; i++) peer::SleepMs(2);
        for (int i = 0; i < 500 && Atomic(s->retryWorkBusy) != 0; i++) peer::SleepMs(2);
        hk::test::DrainWorkItems();
    }
    std::string dir_;
};

TEST_F(UdpRetryTest, AFailedStartIsRetriedEveryMinuteUntilTheChannelIsUp) {
    PPROTOCOL_SESSION s = Start();
    HkWskTestRefuseDatagramSockets(STATUS_INSUFFICIENT_RESOURCES, 2, TRUE);
    EXPECT_EQ(ProtocolClient_StartUdp(s), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(Atomic(s->retryArmed));
    EXPECT_EQ(g_registerCalls.load(), 0);
    hk::test::AdvanceClock(59LL * 10000000);
    peer::SleepMs(20);
    hk::test::DrainWorkItems();
    EXPECT_EQ(Atomic(s->retryAttempts), 0) << "fired before 60 s";
    Fire(s);
    EXPECT_EQ(Atomic(s->retryAttempts), 1);
    EXPECT_NE(FileLog().find("[UDP重试] 第 1 次失败\n"), std::string::npos);
    Fire(s);
    EXPECT_NE(FileLog().find("[UDP重试] 第 2 次成功，UDP 已激活 端口=" + std::to_string(server->udpPort()) + "\n"),
              std::string::npos);
    EXPECT_TRUE(WskUdp_IsActive());
    EXPECT_FALSE(Atomic(s->retryArmed));
    EXPECT_EQ(g_registerCalls.load(), 1);
    std::vector<uint8_t> buf(4096);
    ULONG path = 0;
    ASSERT_EQ(ReadFromRemoteEx(s, 8192, 4096, buf.data(), &path), STATUS_SUCCESS);
    EXPECT_EQ(path, PROTO_TRANSPORT_UDP);
}

TEST_F(UdpRetryTest, TheEleventhFiringLogsTheLimitAndNeverNegotiates) {
    PPROTOCOL_SESSION s = Start();
    HkWskTestRefuseDatagramSockets(STATUS_INSUFFICIENT_RESOURCES, HK_WSK_FOREVER, TRUE);
    EXPECT_EQ(ProtocolClient_StartUdp(s), STATUS_INSUFFICIENT_RESOURCES);
    hk::test::ClearDbgLines();
    for (int i = 0; i < 10; i++) Fire(s);
    EXPECT_EQ(LogCount("[TransportNegotiate] 协商成功"), 10);
    EXPECT_TRUE(Atomic(s->retryArmed));
    Fire(s);
    EXPECT_EQ(LogCount("[TransportNegotiate] 协商成功"), 10) << "an 11th negotiation";
    EXPECT_NE(FileLog().find("[UDP重试] 第 10 次失败\n[UDP重试] 已达上限 10 次，停止\n"), std::string::npos);
    EXPECT_FALSE(Atomic(s->retryArmed));
    Fire(s);
    EXPECT_EQ(Atomic(s->retryAttempts), 11);
}

TEST_F(UdpRetryTest, TeardownDisarmsAnArmedTimer) {
    PPROTOCOL_SESSION s = Start();
    HkWskTestRefuseDatagramSockets(STATUS_INSUFFICIENT_RESOURCES, HK_WSK_FOREVER, TRUE);
    EXPECT_EQ(ProtocolClient_StartUdp(s), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(Atomic(s->retryArmed));
    ProtocolSession_Teardown(s);
    EXPECT_FALSE(Atomic(s->retryArmed));
    hk::test::AdvanceClock(61LL * 10000000);
    peer::SleepMs(20);
    hk::test::DrainWorkItems();
    EXPECT_EQ(Atomic(s->retryAttempts), 0);
    HkWskTestRefuseDatagramSockets(STATUS_SUCCESS, 0, TRUE);
}

}  // namespace
