// The UDP channel against a scripted datagram peer on loopback: pairing of answers by seq,
// retransmission and time-out on the host kernel's clock, the window, PushBlocks, malformed
// datagrams, and teardown while requests wait.
#include "ProtocolTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

extern volatile LONG LogLevel;

namespace {

struct Datagram {
    wire::MessageHeader h;
    std::vector<uint8_t> bytes;
    double atMs;  // virtual time of arrival
};

// A datagram peer: records everything it gets and lets the test script its answers.
class UdpPeer {
public:
    using Handler = std::function<void(UdpPeer&, const Datagram&)>;

    UdpPeer() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t l = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &l);
        port_ = ntohs(a.sin_port);
        KeQueryPerformanceCounter(&freq_);
        t0_ = KeQueryPerformanceCounter(nullptr);
        thread_ = std::thread([this] { Run(); });
    }
    ~UdpPeer() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    uint16_t port() const { return port_; }
    void OnRequest(Handler h) {
        std::lock_guard<std::mutex> g(lock_);
        handler_ = std::move(h);
    }
    std::vector<Datagram> Received() {
        std::lock_guard<std::mutex> g(lock_);
        return got_;
    }
    size_t Count(uint8_t opcode) {
        std::lock_guard<std::mutex> g(lock_);
        size_t n = 0;
        for (const auto& d : got_) n += d.h.opcode == opcode;
        return n;
    }
    bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
        for (int i = 0; i < ms / 2; i++) {
            if (cond()) return true;
            peer::SleepMs(2);
        }
        return cond();
    }
    // Sends raw bytes to the driver (once it has sent us something).
    void Send(const void* data, size_t n) {
        sockaddr_in to;
        {
            std::lock_guard<std::mutex> g(lock_);
            to = client_;
        }
        sendto(fd_, data, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    void Answer(const wire::MessageHeader& req, uint8_t opcode, uint8_t flags, uint32_t lengthField,
                const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> d(sizeof(wire::MessageHeader) + payload.size());
        wire::MessageHeader h{};
        h.magic = wire::kMagic;
        h.version = wire::kVersion;
        h.opcode = opcode;
        h.flags = flags;
        h.seq = req.seq;
        h.offset = req.offset;
        h.length = lengthField;
        memcpy(d.data(), &h, sizeof(h));
        if (!payload.empty()) memcpy(d.data() + sizeof(h), payload.data(), payload.size());
        Send(d.data(), d.size());
    }

private:
    void Run() {
        std::vector<uint8_t> buf(70000);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof(from);
            ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n < (ssize_t)sizeof(wire::MessageHeader)) continue;
            Datagram d;
            memcpy(&d.h, buf.data(), sizeof(d.h));
            d.bytes.assign(buf.begin(), buf.begin() + n);
            d.atMs = VirtualMs(t0_);
            Handler h;
            {
                std::lock_guard<std::mutex> g(lock_);
                client_ = from;
                got_.push_back(d);
                h = handler_;
            }
            if (h) h(*this, d);
        }
    }

    int fd_ = -1;
    uint16_t port_ = 0;
    LARGE_INTEGER freq_{}, t0_{};
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    Handler handler_;
    std::vector<Datagram> got_;
    sockaddr_in client_{};
    std::thread thread_;
};

wire::MessageHeader ReadRequest(uint32_t seq, uint64_t offset, uint32_t length) {
    wire::MessageHeader h{};
    h.magic = wire::kMagic;
    h.version = wire::kVersion;
    h.opcode = wire::OpRead;
    h.seq = seq;
    h.offset = offset;
    h.length = length;
    return h;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 7);
    return v;
}

WSKUDP_STATS Stats() {
    WSKUDP_STATS s;
    WskUdp_GetStats(&s);
    return s;
}

std::atomic<int> g_pushCalls{0};
std::atomic<uint64_t> g_pushOffset{0};
std::atomic<uint32_t> g_pushLength{0};
std::vector<uint8_t> g_pushData;
std::mutex g_pushLock;

ULONG TestPushHandler(ULONGLONG offset, ULONG length, const VOID* data) {
    std::lock_guard<std::mutex> g(g_pushLock);
    g_pushOffset = offset;
    g_pushLength = length;
    g_pushData.assign((const uint8_t*)data, (const uint8_t*)data + length);
    g_pushCalls++;
    return 1;
}

class UdpTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        savedLevel_ = LogLevel;
        InterlockedExchange(&LogLevel, 3);
        ASSERT_EQ(WskUdp_Initialize(), STATUS_SUCCESS);
    }
    void TearDown() override {
        WskUdp_Cleanup();
        InterlockedExchange(&LogLevel, savedLevel_);
        ProtocolTest::TearDown();
    }
    void Connect(UdpPeer& p) { ASSERT_EQ(WskUdp_Connect(L"127.0.0.1", p.port()), STATUS_SUCCESS); }

    LONG savedLevel_ = 2;
};

TEST_F(UdpTest, AnswerAfterTheThirdSendCompletesAndItsLateDuplicateIsDropped) {
    UdpPeer peer;
    auto data = Pattern(4096, 3);
    peer.OnRequest([&](UdpPeer& p, const Datagram& d) {
        if (d.h.opcode != wire::OpRead) return;
        size_t copies = 0;
        for (const auto& r : p.Received()) copies += r.h.seq == d.h.seq;
        if (copies == 3) {
            p.Answer(d.h, wire::OpRespOk, wire::FlagData, 4096, data);
            p.Answer(d.h, wire::OpRespOk, wire::FlagData, 4096, data);  // the duplicate
        }
    });
    Connect(peer);
    hk::test::AdvanceClock(5LL * 10000000);  // an idle receive slice or two
    peer::SleepMs(20);
    auto req = ReadRequest(77, 8192, 4096);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(WskUdp_SendRecv(&req, sizeof(req), buf.data(), 4096), 4096u);
    EXPECT_EQ(buf, data);
    EXPECT_EQ(peer.Count(wire::OpRead), 3u);
    EXPECT_TRUE(peer.WaitFor([] { return Stats().lateDropped == 1; }));
    auto st = Stats();
    EXPECT_EQ(st.sends, 3);
    EXPECT_EQ(st.retransmits, 2);
    EXPECT_EQ(st.answers, 1);
    EXPECT_EQ(st.waitTimeouts, 0) << "the receive thread's idle slices are no time-outs";
    EXPECT_TRUE(LogHas("[ZelkoVd][DBG] WskUdp_SendRecv: 重传 seq="));
    EXPECT_TRUE(LogHas("reqId=77 第 2 次\n"));
}

TEST_F(UdpTest, WithoutAnswerSixteenSendsTwoHundredMsApartThenTimeOut) {
    UdpPeer peer;
    Connect(peer);
    hk::test::SetClockRate(10);
    auto req = ReadRequest(5, 0, 512);
    std::vector<uint8_t> buf(512);
    LARGE_INTEGER f, t0 = KeQueryPerformanceCounter(&f);
    EXPECT_EQ(WskUdp_SendRecv(&req, sizeof(req), buf.data(), 512), WSKUDP_FAILED);
    double took = VirtualMs(t0);
    EXPECT_GE(took, 16 * 200.0 - 1);
    EXPECT_LT(took, 16 * 200.0 + 1000);
    ASSERT_TRUE(peer.WaitFor([&] { return peer.Count(wire::OpRead) == 16; }, 2000));
    auto got = peer.Received();
    for (size_t i = 1; i < got.size(); i++) {
        double gap = got[i].atMs - got[i - 1].atMs;
        EXPECT_GT(gap, 150.0) << i;
        EXPECT_LT(gap, 400.0) << i;
    }
    peer::SleepMs(100);
    EXPECT_EQ(peer.Count(wire::OpRead), 16u) << "a 17th send";
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] WskUdp_SendRecv: 失败 seq="));
    EXPECT_TRUE(LogHas("reqId=5 status=0xC00000B5 重传=15\n"));
    EXPECT_EQ(Stats().timeouts, 1);
}

TEST_F(UdpTest, AnswersAreCutToTheCapacityAndCheckedArgumentsFailAtOnce) {
    UdpPeer peer;
    auto data = Pattern(100, 9);
    peer.OnRequest([&](UdpPeer& p, const Datagram& d) { p.Answer(d.h, wire::OpRespOk, wire::FlagData, 100, data); });
    auto req = ReadRequest(9, 0, 64);
    std::vector<uint8_t> buf(64);
    EXPECT_EQ(WskUdp_SendRecv(&req, sizeof(req), buf.data(), 64), WSKUDP_FAILED) << "not active yet";
    Connect(peer);
    wire::MessageHeader answer{};
    ULONG carried = 0;
    EXPECT_EQ(WskUdp_SendRecvEx(&req, sizeof(req), buf.data(), 64, &answer, &carried), 64u);
    EXPECT_EQ(0, memcmp(buf.data(), data.data(), 64));
    EXPECT_EQ(carried, 100u);
    EXPECT_EQ((uint32_t)answer.length, 100u);

    EXPECT_EQ(WskUdp_SendRecv(&req, 23, buf.data(), 64), WSKUDP_FAILED);
    EXPECT_EQ(WskUdp_SendRecv(&req, sizeof(req), nullptr, 64), WSKUDP_FAILED);
    auto bad = req;
    bad.version = 2;
    EXPECT_EQ(WskUdp_SendRecv(&bad, sizeof(bad), buf.data(), 64), WSKUDP_FAILED);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] WskUdp_SendRecv: 请求头非法 magic=0x44504B5A\n"));
    EXPECT_EQ(peer.Count(wire::OpRead), 1u) << "refused requests are never sent";
}

TEST_F(UdpTest, TheHundredAndTwentyNinthCallerWaitsForAWindowSlot) {
    UdpPeer peer;
    std::atomic<bool> answer{false};
    peer.OnRequest([&](UdpPeer& p, const Datagram& d) {
        if (answer) p.Answer(d.h, wire::OpRespOk, wire::FlagData, 8, Pattern(8, (uint8_t)d.h.seq));
    });
    Connect(peer);
    auto distinct = [&] {
        std::set<uint32_t> s;
        for (const auto& d : peer.Received()) s.insert(d.h.seq);
        return s;
    };
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (uint32_t i = 0; i < 129; i++) {
        threads.emplace_back([&, i] {
            auto req = ReadRequest(1000 + i, i * 8, 8);
            uint8_t buf[8];
            if (WskUdp_SendRecv(&req, sizeof(req), buf, 8) == 8) ok++;
        });
        if (i == 127) ASSERT_TRUE(peer.WaitFor([&] { return distinct().size() == 128; }));
    }
    peer::SleepMs(150);
    EXPECT_EQ(distinct().size(), 128u) << "the 129th request went out with 128 outstanding";
    EXPECT_EQ(distinct().count(1128), 0u);
    answer = true;  // the next retransmission of each is answered, which frees slots
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 129);
    EXPECT_EQ(distinct().count(1128), 1u);
}

TEST_F(UdpTest, PushBlocksAreAcknowledgedAndOnlyWholeOnesReachTheHandler) {
    UdpPeer peer;
    peer.OnRequest([&](UdpPeer& p, const Datagram& d) {
        if (d.h.opcode == wire::OpRead) p.Answer(d.h, wire::OpRespOk, wire::FlagData, 4, Pattern(4, 1));
    });
    Connect(peer);
    g_pushCalls = 0;
    WskUdp_RegisterPushBlock(TestPushHandler);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] WskUdp: PushBlock 回调已注册 cb="));
    auto req = ReadRequest(1, 0, 4);
    uint8_t b4[4];
    ASSERT_EQ(WskUdp_SendRecv(&req, sizeof(req), b4, 4), 4u);  // the peer learns our address

    auto push = [&](uint32_t seq, uint8_t flags, uint64_t off, uint32_t lengthField, const std::vector<uint8_t>& data) {
        wire::MessageHeader h = ReadRequest(seq, off, 0);
        h.opcode = wire::OpPushBlock;
        peer.Answer(h, wire::OpPushBlock, flags, lengthField, data);
    };
    auto acks = [&](uint32_t seq) {
        std::vector<wire::MessageHeader> v;
        for (const auto& d : peer.Received())
            if (d.h.opcode == wire::OpPushBlockAck && d.h.seq == seq) v.push_back(d.h);
        return v;
    };
    auto block = Pattern(4096, 42);
    push(501, wire::FlagData, 40960, 4096, block);
    ASSERT_TRUE(peer.WaitFor([&] { return acks(501).size() == 1; }));
    auto a = acks(501)[0];
    EXPECT_EQ(a.flags, 0);
    EXPECT_EQ((uint64_t)a.offset, 40960u);
    EXPECT_EQ((uint32_t)a.length, 4096u);
    EXPECT_EQ(peer.Received().back().bytes.size(), 24u);
    EXPECT_EQ(g_pushCalls.load(), 1);
    EXPECT_EQ(g_pushOffset.load(), 40960u);
    {
        std::lock_guard<std::mutex> g(g_pushLock);
        EXPECT_EQ(g_pushData, block);
    }

    push(502, 0, 8192, 0, {});  // no data flag: acknowledged, not handed on
    ASSERT_TRUE(peer.WaitFor([&] { return acks(502).size() == 1; }));
    push(503, wire::FlagData, 12288, 8192, block);  // claims more than it carries
    ASSERT_TRUE(peer.WaitFor([&] { return acks(503).size() == 1; }));
    EXPECT_EQ(acks(503)[0].length, 8192u);
    push(504, wire::FlagData, 16384, 100, block);  // claims less than it carries
    ASSERT_TRUE(peer.WaitFor([&] { return acks(504).size() == 1; }));
    EXPECT_EQ(g_pushCalls.load(), 1);
    auto st = Stats();
    EXPECT_EQ(st.pushedBlocks, 4);
    EXPECT_EQ(st.pushAccepted, 1);
    EXPECT_EQ(st.pushRejected, 2);
    EXPECT_EQ(st.pushAcks, 4);
}

TEST_F(UdpTest, MalformedDatagramsAreDroppedAndTheChannelGoesOn) {
    UdpPeer peer;
    peer.OnRequest([&](UdpPeer& p, const Datagram& d) {
        if (d.h.seq == 1) {
            std::vector<uint8_t> shortOne(20, 0x5A);
            p.Send(shortOne.data(), shortOne.size());
            wire::MessageHeader h = d.h;
            h.magic = 0x11223344;
            p.Send(&h, sizeof(h));
            h.magic = wire::kMagic;
            h.version = 2;
            p.Send(&h, sizeof(h));
        }
        p.Answer(d.h, wire::OpRespOk, wire::FlagData, 4, Pattern(4, 2));
    });
    Connect(peer);
    auto req = ReadRequest(1, 0, 4);
    uint8_t b4[4];
    EXPECT_EQ(WskUdp_SendRecv(&req, sizeof(req), b4, 4), 4u);
    ASSERT_TRUE(peer.WaitFor([] { return Stats().invalidDropped == 3; }));
    EXPECT_EQ(LogCount("WskUdp: 丢弃非法数据报"), 2) << "the 20-byte datagram is dropped without a line";
    EXPECT_TRUE(LogHas("[ZelkoVd][DBG] WskUdp: 丢弃非法数据报 magic=0x11223344 len=24\n"));
    req.seq = 2;
    EXPECT_EQ(WskUdp_SendRecv(&req, sizeof(req), b4, 4), 4u);
}

TEST_F(UdpTest, DisconnectFailsEveryWaitingRequestAtOnce) {
    UdpPeer peer;
    Connect(peer);
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (uint32_t i = 0; i < 6; i++) {
        threads.emplace_back([&, i] {
            auto req = ReadRequest(300 + i, 0, 16);
            uint8_t buf[16];
            if (WskUdp_SendRecv(&req, sizeof(req), buf, 16) == WSKUDP_FAILED) failed++;
        });
    }
    ASSERT_TRUE(peer.WaitFor([&] { return peer.Count(wire::OpRead) >= 6; }));
    LARGE_INTEGER f, t0 = KeQueryPerformanceCounter(&f);
    WskUdp_Disconnect();
    for (auto& t : threads) t.join();
    EXPECT_LT(VirtualMs(t0), 1500.0) << "waiters sat out their time-out";
    EXPECT_EQ(failed.load(), 6);
    EXPECT_FALSE(WskUdp_IsActive());
    EXPECT_TRUE(LogHas("status=0xC000009D"));
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] WskUdp_Disconnect: UDP 通道已关闭\n"));
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] WskUdpRecvThread: 退出\n"));
    // The window is whole again: 128 requests go out at once after a reconnect.
    Connect(peer);
    EXPECT_TRUE(WskUdp_IsActive());
}

TEST_F(UdpTest, RefusedSocketsFailTheConnectWithTheirOwnLines) {
    UdpPeer peer;
    HkWskTestRefuseDatagramSockets(STATUS_INSUFFICIENT_RESOURCES, 1, TRUE);
    EXPECT_EQ(WskUdp_Connect(L"127.0.0.1", peer.port()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] WskUdp_Connect: WskSocket 立即失败 0xC000009A\n"));
    HkWskTestRefuseDatagramSockets(STATUS_ACCESS_DENIED, 1, FALSE);
    EXPECT_EQ(WskUdp_Connect(L"127.0.0.1", peer.port()), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] WskUdp_Connect: WskSocket 失败 0xC0000022\n"));
    EXPECT_EQ(WskUdp_Connect(L"127.0.0.1", 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WskUdp_Connect(L"127.0.0.256", peer.port()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] WskUdp_Connect: 解析 serverIp 127.0.0.256 失败 0xC000000D\n"));
    EXPECT_FALSE(WskUdp_IsActive());
    for (int i = 0; i < 200 && HkWskTestOpenSockets() != 0; i++) peer::SleepMs(5);
    EXPECT_EQ(HkWskTestOpenSockets(), 0);
    Connect(peer);
}

// Senders, answers and PushBlocks in flight while the channel is torn down and rebuilt: nothing
// may touch a closed socket or a freed record, and nothing may leak.
TEST_F(UdpTest, ConcurrentRequestsWhileTheChannelIsTornDown) {
    UdpPeer peer;
    std::atomic<uint32_t> pushSeq{1 << 20};
    peer.OnRequest([&](UdpPeer& p, const Datagram& d) {
        if (d.h.opcode != wire::OpRead) return;
        if (d.h.seq % 3 != 0) p.Answer(d.h, wire::OpRespOk, wire::FlagData, d.h.length, Pattern(d.h.length, 1));
        if (d.h.seq % 5 == 0) {
            wire::MessageHeader h = d.h;
            h.seq = pushSeq++;
            p.Answer(h, wire::OpPushBlock, wire::FlagData, 4096, Pattern(4096, 5));
        }
    });
    WskUdp_RegisterPushBlock(TestPushHandler);
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> seq{1};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&] {
            std::vector<uint8_t> buf(1024);
            while (!stop) {
                auto req = ReadRequest(seq++, 0, 1024);
                SIZE_T n = WskUdp_SendRecv(&req, sizeof(req), buf.data(), 1024);
                if (n == WSKUDP_FAILED) peer::SleepMs(1);
            }
        });
    }
    for (int round = 0; round < 5; round++) {
        Connect(peer);
        peer::SleepMs(60);
        WskUdp_Disconnect();
    }
    Connect(peer);
    peer::SleepMs(30);
    WskUdp_Cleanup();  // straight from busy to gone
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_FALSE(WskUdp_IsActive());
    EXPECT_EQ(WskUdp_Initialize(), STATUS_SUCCESS);
}

}  // namespace
