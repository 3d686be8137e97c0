// The auto-activation thread in the whole driver, loaded into the host kernel's port driver: a
// scripted disk server (handshake outcomes, gates, transport answers) and a scripted management
// API behind it, the host kernel's virtual clock for the retry delays, and SCSI READs that
// arrive before activation as Windows sends them.
#include "ActivationTestSupport.h"
#include "HttpPeer.h"
#include "../protocol/PeerServer.h"

#include "adapter/AdapterInternal.h"

#include <hk_storport_test.h>
#include <hk_wsk_test.h>

#include <chrono>
#include <condition_variable>

using httppeer::Http;

namespace {

namespace wire = zelko::wire;

const std::string kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters";
const std::string kClass =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const std::string kInterfaces = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
const char kIqn[] = "iqn.2024-01.net.zelko:image.3";

std::string ApiBody(const std::string& token = "") {
    return "{\"code\":0,\"imageIqn\":\"" + std::string(kIqn) + "\",\"macAddress\":\"00-1A-2B-3C-4D-5E\",\"superUserToken\":\"" +
           token + "\"}";
}

int64_t VirtualNow() { return (int64_t)KeQueryInterruptTime(); }
int64_t RealMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class Hs { Ok, Deny, Silent };

const int64_t kStopBoundMs = 250;

class ActivationThread : public DriverMachine {
protected:
    void SetUp() override {
        DriverMachine::SetUp();
        HkWskTestReset();
        InterlockedExchangePointer((PVOID volatile*)&g_ActivationThreadRoutine, (PVOID)ZvActivationThread);
        // A disk with an MBR that points at nothing the prefetch could follow.
        disk_.data[510] = 0x55;
        disk_.data[511] = 0xAA;
        diskPeer_.reset(new peer::Server([this](peer::Conn& c, const peer::Request& r) { Serve(c, r); }));
        api_.reset(new httppeer::Peer([this](int, const std::string&) {
            std::lock_guard<std::mutex> g(lock_);
            return Http(200, apiBody_);
        }));
        hk::test::RegSetString(kClass + "\\0000", "NetworkAddress", "00-1A-2B-3C-4D-5E");
        hk::test::RegSetString(kClass + "\\0000", "NetCfgInstanceId", "{guid-boot}");
    }

    void TearDown() override {
        OpenGate();
        if (loaded_) {
            HkUnloadReport r = HkDriverUnload();
            for (const auto& l : r.leaks) ADD_FAILURE() << "unload: " << l;
        }
        WskClient_Cleanup();
        api_->Stop();
        diskPeer_->Stop();
        HkWskTestReset();
        DriverMachine::TearDown();
    }

    // Parameters as the registry gives them: the API names everything.
    void ViaApi() {
        hk::test::RegSetDword(kService, "AutoActivateViaApi", 1);
        hk::test::RegSetString(kService, "ApiServerIp", "127.0.0.1");
        hk::test::RegSetDword(kService, "ApiServerPort", api_->port());
        hk::test::RegSetDword(kService, "ServerPort", diskPeer_->port());
    }
    void Load() {
        ASSERT_EQ(HkDriverLoad(DriverEntry), STATUS_SUCCESS);
        loaded_ = true;
    }
    LuExt* Lun0() { return GetLun((AdapterExt*)HkStorDeviceExtension(), 0, 0, 0); }

    // The disk server's side
    void Serve(peer::Conn& c, const peer::Request& r) {
        const auto& h = r.header;
        if (h.opcode == wire::OpHandshake) {
            Hs what;
            {
                std::unique_lock<std::mutex> g(lock_);
                gateCv_.wait(g, [&] { return gateOpen_; });
                size_t n = handshakes_++;
                what = n < script_.size() ? script_[n] : Hs::Ok;
            }
            if (what == Hs::Deny) return c.SendHeader(wire::OpRespError, 0, h.seq, 0, wire::ErrAccessDenied);
            if (what == Hs::Silent) return;   // the driver's handshake deadline ends it
        }
        if (h.opcode == wire::OpTransportNegotiate) {
            wire::TransportNegotiateResponse b{udpPort_ ? 3u : 1u, udpPort_, 0, 1400, 0};
            c.SendHeader(wire::OpRespTransportNegotiate, 0, h.seq, 0, sizeof(b));
            c.Send(&b, sizeof(b));
            return;
        }
        disk_.Answer(c, r);
    }
    void CloseGate() {
        std::lock_guard<std::mutex> g(lock_);
        gateOpen_ = false;
    }
    void OpenGate() {
        std::lock_guard<std::mutex> g(lock_);
        gateOpen_ = true;
        gateCv_.notify_all();
    }
    size_t Handshakes() {
        std::lock_guard<std::mutex> g(lock_);
        return handshakes_;
    }
    std::vector<peer::Request> HandshakeRequests() {
        std::vector<peer::Request> out;
        for (auto& r : diskPeer_->Requests())
            if (r.header.opcode == wire::OpHandshake) out.push_back(r);
        return out;
    }

    // Waiting and watching
    bool Ended(int realMs = 10000) {
        for (int64_t until = RealMs() + realMs;; SleepMs(2)) {
            if (FileLog().find("[Thread] 退出\n") != std::string::npos) return true;
            if (RealMs() >= until) return false;
        }
    }
    // The virtual times at which the first n debug lines containing `text` were seen.
    std::vector<int64_t> Times(const std::string& text, size_t n, int realMs = 20000) {
        std::vector<int64_t> t;
        for (int64_t until = RealMs() + realMs; t.size() < n && RealMs() < until;) {
            size_t seen = 0;
            for (auto& l : DriverLines())
                if (l.find(text) != std::string::npos) seen++;
            while (t.size() < seen && t.size() < n) t.push_back(VirtualNow());
            SleepMs(1);
        }
        return t;
    }
    int Count(const std::string& text) {
        int n = 0;
        std::string log = FileLog();
        for (size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) n++;
        return n;
    }
    // With the clock nearly stopped: waits for attempt `attempt` to begin (its sleep follows at
    // once), moves the clock on by `atLeastMs` less a step at once, then in 20 ms steps until the
    // attempt's first step after the sleep is printed. Returns the virtual milliseconds that
    // took, or -1.
    int64_t RetrySleepMs(int attempt, int64_t atLeastMs) {
        std::string begun = "[Thread] 尝试 " + std::to_string(attempt) + "/24 开始\n";
        std::string woke = "（attempt=" + std::to_string(attempt) + "/24）";
        bool started = false;
        for (int64_t until = RealMs() + 20000; !started && RealMs() < until; SleepMs(2))
            started = FileLog().find(begun) != std::string::npos;
        if (!started) return -1;
        auto seen = [&] {
            for (auto& l : DriverLines())
                if (l.find(woke) != std::string::npos) return true;
            return false;
        };
        int64_t advanced = atLeastMs - 20;
        hk::test::AdvanceClock(advanced * 10000);
        for (int64_t until = RealMs() + 50; RealMs() < until; SleepMs(1))
            if (seen()) return advanced;
        for (; advanced <= 10000; advanced += 20) {
            hk::test::AdvanceClock(20 * 10000);
            for (int64_t until = RealMs() + 15; RealMs() < until; SleepMs(1))
                if (seen()) return advanced + 20;
        }
        return -1;
    }
    // How long (real ms) a stop takes to end the thread.
    int64_t StopMs() {
        int64_t t0 = RealMs();
        EXPECT_TRUE(ZvStopActivationThread(2000));
        return RealMs() - t0;
    }
    static HkScsiRequest Read(uint32_t lba) {
        HkScsiRequest r;
        r.cdb = {0x28, 0, (uint8_t)(lba >> 24), (uint8_t)(lba >> 16), (uint8_t)(lba >> 8), (uint8_t)lba, 0, 0, 1, 0};
        r.dataInLength = 512;
        return r;
    }
    static void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    peer::Disk disk_;
    std::unique_ptr<peer::Server> diskPeer_;
    std::unique_ptr<httppeer::Peer> api_;
    std::mutex lock_;
    std::condition_variable gateCv_;
    bool gateOpen_ = true;
    size_t handshakes_ = 0;
    std::vector<Hs> script_;
    uint32_t udpPort_ = 0;
    std::string apiBody_ = ApiBody();
    bool loaded_ = false;
};

TEST_F(ActivationThread, BootsByItselfAndReleasesTheReadsWindowsSentMeanwhile) {
    ViaApi();
    // The boot loader's block: this server, the ports, the address to pin on the boot adapter.
    uint8_t block[64] = {'K', 'B', 'R', 'T', 1, 0, 1, 0, 127, 0, 0, 1, 192, 168, 50, 77, 255, 255, 255, 0,
                         192, 168, 50, 1, 192, 168, 50, 2, 0, 0, 0, 0, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    block[0x28] = (uint8_t)api_->port();
    block[0x29] = (uint8_t)(api_->port() >> 8);
    block[0x2A] = (uint8_t)diskPeer_->port();
    block[0x2B] = (uint8_t)(diskPeer_->port() >> 8);
    hk::test::PhysWrite(0x80000, block, sizeof block);
    hk::test::RegSetDword(kInterfaces + "\\{guid-boot}", "EnableDHCP", 1);
    for (int i = 0; i < 512; i++) disk_.data[i] = (uint8_t)(i * 3);
    disk_.data[510] = 0x55;
    disk_.data[511] = 0xAA;
    CloseGate();
    Load();

    HkScsiResult held;
    uint64_t ticket = HkScsiSubmit(Read(0));
    EXPECT_FALSE(HkScsiWait(ticket, 300, &held)) << "a READ before activation is held";
    uint64_t busBefore = HkPortStats().busChanges;
    OpenGate();
    ASSERT_TRUE(HkScsiWait(ticket, 10000, &held));
    EXPECT_EQ(held.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(held.data, std::vector<uint8_t>(disk_.data.begin(), disk_.data.begin() + 512));
    ASSERT_TRUE(Ended());

    EXPECT_EQ(HkPortStats().busChanges - busBefore, 3u);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationSucceeded, 0, 0), 1);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationThreadRunning, 0, 0), 0);
    // The handshake carried what the API said and this PC's MAC as its client id.
    auto hs = HandshakeRequests();
    ASSERT_EQ(hs.size(), 1u);
    std::string payload(hs[0].payload.begin(), hs[0].payload.end());
    EXPECT_NE(payload.find(kIqn), std::string::npos);
    EXPECT_NE(payload.find("001a2b3c4d5e"), std::string::npos);

    std::string log = FileLog();
    std::string port = std::to_string(diskPeer_->port());
    const char* steps[] = {
        "[Thread] 启动，等待 LUN 0 就绪\n",
        "[Thread] LUN 0 已就绪\n",
        "[Thread] 需要查 API: ServerIp=127.0.0.1 TargetIqn=\n",
        "[API] 成功 ServerIp=127.0.0.1 Port=",
        "[Thread] API 查询结果 0x00000000 ServerIp=127.0.0.1 TargetIqn=iqn.2024-01.net.zelko:image.3\n",
        "[Thread] 尝试 1/24 开始\n",
        "[Thread] WskClient_Initialize 成功\n",
        "[Thread] Connect ServerIp=127.0.0.1:",
        "[Thread] Connect 成功\n",
        "[Thread] Handshake 成功 targetSize=1048576 readOnly=0 superUser=0\n",
        "[Thread] TransportNegotiate 0x00000000 udpPort=0\n",
        "[Thread] BusChangeDetected #1 已通知（握手后立即）\n",
        "[Thread] 预取完成 status=0x",
        "[Thread] 已唤醒挂起的 READ SRB\n",
        "[Thread] BusChangeDetected #2 已通知（预取后）\n",
        "[Thread] BusChangeDetected #3 已通知（1秒后兜底）\n",
        "[Thread] 退出\n",
    };
    size_t at = 0;
    for (const char* s : steps) {
        size_t p = log.find(s, at);
        EXPECT_NE(p, std::string::npos) << "missing or out of order: " << s;
        if (p != std::string::npos) at = p;
    }
    EXPECT_EQ(log.find("[Thread] 尝试 2/24"), std::string::npos);
    // IP maintenance pinned the boot loader's address on the adapter with the boot MAC.
    ULONG type = 0;
    std::vector<uint8_t> ip;
    ASSERT_TRUE(hk::test::RegGetValue(kInterfaces + "\\{guid-boot}", "IPAddress", &type, &ip));
    EXPECT_EQ(type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(ip.size(), (13u + 2u) * 2u);
}

TEST_F(ActivationThread, TheLastBusChangeComesOneSecondAfterTheSecond) {
    ViaApi();
    Load();
    // The file log is the thread's own account; watch its two lines on the virtual clock.
    int64_t second = 0, third = 0;
    for (int64_t until = RealMs() + 10000; RealMs() < until && third == 0; SleepMs(1)) {
        std::string log = FileLog();
        if (second == 0 && log.find("BusChangeDetected #2") != std::string::npos) second = VirtualNow();
        if (third == 0 && log.find("BusChangeDetected #3") != std::string::npos) third = VirtualNow();
    }
    ASSERT_NE(second, 0);
    ASSERT_NE(third, 0);
    EXPECT_GE(third - second, 9500000) << "one second, less the polling slack";
    EXPECT_LE(third - second, 13000000);
}

// The retry sleeps measured on a nearly stopped virtual clock that the test moves on in 10 ms
// steps: the time the driver spends working between sleeps (which a fast clock would multiply)
// does not count, and a loaded machine only makes the test slower, not wrong.
TEST_F(ActivationThread, AServerNotYetListeningIsAskedAgainEveryTwoToThreeSeconds) {
    ViaApi();
    uint16_t closed;
    {
        peer::Server gone([](peer::Conn&, const peer::Request&) {});
        closed = gone.port();
    }
    hk::test::RegSetDword(kService, "ServerPort", closed);
    hk::test::SetClockRate(0.001);
    Load();
    for (int attempt = 2; attempt <= 5; attempt++) {
        int64_t ms = RetrySleepMs(attempt, 2000);
        EXPECT_GE(ms, 2000) << "attempt " << attempt;
        EXPECT_LE(ms, 3020) << "attempt " << attempt;
    }
    // The rest of the 24 attempts at speed, then the failure path.
    hk::test::SetClockRate(50);
    ASSERT_TRUE(Ended(30000));
    EXPECT_EQ(Count("[Thread] Connect 失败 0xC0000236 (服务端未监听，2s 快重试)\n"), 24);
    EXPECT_EQ(Count("[Thread] 尝试 24/24 开始\n"), 1);
    EXPECT_EQ(Count("[Thread] 尝试 25/24"), 0);
    EXPECT_EQ(Count("[Thread] 自激活失败，放弃（等待手动激活）\n"), 1);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationSucceeded, 0, 0), 0);
}

TEST_F(ActivationThread, AnUnreachableNetworkIsAskedAgainEveryFiveToSixSeconds) {
    ViaApi();
    HkWskTestFailConnect(STATUS_NETWORK_UNREACHABLE, HK_WSK_FOREVER);
    hk::test::SetClockRate(0.001);
    Load();
    for (int attempt = 2; attempt <= 4; attempt++) {
        int64_t ms = RetrySleepMs(attempt, 5000);
        EXPECT_GE(ms, 5000) << "attempt " << attempt;
        EXPECT_LE(ms, 6020) << "attempt " << attempt;
    }
    EXPECT_GE(Count("[Thread] Connect 失败 0xC000023C (网络不可达，等待DHCP分配IP)\n"), 3);
    // No image came from the API: every attempt asks again.
    EXPECT_GE(Count("[Thread] IQN 为空，重试 API 查询"), 3);
    EXPECT_LT(StopMs(), kStopBoundMs);
}

TEST_F(ActivationThread, ThreeRejectionsInARowStopAfterTwoTokenRefreshes) {
    ViaApi();
    apiBody_ = ApiBody("wrongtoken-0123456789");
    script_ = {Hs::Deny, Hs::Deny, Hs::Deny, Hs::Ok};
    hk::test::SetClockRate(10);
    Load();
    uint64_t ticket = HkScsiSubmit(Read(0));
    ASSERT_TRUE(Ended(20000));
    HkScsiResult r;
    ASSERT_TRUE(HkScsiWait(ticket, 5000, &r));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_BUSY);
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[2] & 0x0F, 0x02) << "not ready";
    EXPECT_EQ(Handshakes(), 3u);
    EXPECT_EQ(api_->Count(), 3u) << "the first query and two refreshes";
    EXPECT_EQ(Count("[Thread] 握手被拒绝(1/3)，重新查询 API 刷新 TOKEN (attempt 1/24)...\n"), 1);
    EXPECT_EQ(Count("[Thread] 握手被拒绝(2/3)，重新查询 API 刷新 TOKEN (attempt 2/24)...\n"), 1);
    EXPECT_EQ(Count("[Thread] API 刷新结果 0x00000000 Super=1 TOKEN=wron\xE2\x80\xA6(21)\n"), 2);
    EXPECT_EQ(Count("[Thread] 超管模式: superUser=TRUE token=wron\xE2\x80\xA6(21)\n"), 3);
    EXPECT_EQ(Count("[Thread] 连续 3 次握手被拒，停止重试（等待手动激活）\n"), 1);
    EXPECT_EQ(Count("[Thread] 自激活失败，放弃（等待手动激活）\n"), 1);
    // The token travelled in the handshake and nowhere else.
    std::string all = FileLog();
    for (auto& l : DriverLines()) all += l;
    EXPECT_EQ(all.find("0123456789"), std::string::npos);
    auto hs = HandshakeRequests();
    ASSERT_FALSE(hs.empty());
    std::string payload(hs[0].payload.begin(), hs[0].payload.end());
    EXPECT_NE(payload.find("wrongtoken-0123456789"), std::string::npos);
}

TEST_F(ActivationThread, ADifferentFailureBetweenRejectionsStartsTheCountAgain) {
    ViaApi();
    script_ = {Hs::Deny, Hs::Silent, Hs::Deny, Hs::Deny, Hs::Ok};
    hk::test::SetClockRate(20);
    Load();
    ASSERT_TRUE(Ended(30000));
    EXPECT_EQ(Handshakes(), 5u);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationSucceeded, 0, 0), 1);
    EXPECT_EQ(Count("[Thread] 握手被拒绝(1/3)"), 2);
    EXPECT_EQ(Count("[Thread] 握手被拒绝(2/3)"), 1);
    EXPECT_EQ(Count("连续 3 次握手被拒"), 0);
    EXPECT_EQ(Count("[Thread] 尝试 5/24 开始\n"), 1);
}

// A fake management server that drips its answers byte by byte: every query ends at the receive
// phase's limit, the failures are logged, and the thread goes on with what it has (here the
// default image) instead of hanging the boot behind the query.
TEST_F(ActivationThread, ADrippingApiServerCostsBoundedTimeAndTheDefaultsAreTried) {
    api_->Stop();
    api_.reset(new httppeer::Peer([](int, const std::string&) {
        return httppeer::Answer{Http(200, ApiBody()).bytes + std::string(8000, ' '), false, 1, 10};
    }));
    ViaApi();
    hk::test::SetClockRate(200);   // 10 ms between bytes are 2 s of the driver's time
    int64_t t0 = RealMs();
    Load();
    ASSERT_TRUE(Ended(30000));
    EXPECT_LT(RealMs() - t0, 30000);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationSucceeded, 0, 0), 1);
    // The first query and the retry of attempt 1 (still no image), each ended by the limit.
    EXPECT_EQ(api_->Count(), 2u);
    EXPECT_EQ(Count("[Thread] API 查询结果 0xC00000C3"), 2);
    EXPECT_EQ(Count("[API] WskHttpGet 失败 0xC00000C3\n"), 2);
    auto hs = HandshakeRequests();
    ASSERT_EQ(hs.size(), 1u);
    std::string payload(hs[0].payload.begin(), hs[0].payload.end());
    EXPECT_NE(payload.find("iqn.2024-01.net.zelko:client.default"), std::string::npos);
}

TEST_F(ActivationThread, WithNothingToAskTheDefaultsAreTried) {
    hk::test::RegSetDword(kService, "AutoActivate", 1);
    hk::test::RegSetDword(kService, "ServerPort", diskPeer_->port());
    Load();
    ASSERT_TRUE(Ended());
    EXPECT_EQ(api_->Count(), 0u);
    EXPECT_EQ(Count("[Thread] 无需查 API，直接用注册表参数\n"), 1);
    EXPECT_EQ(Count("[Thread] ApiServerIp 为空"), 0);
    auto hs = HandshakeRequests();
    ASSERT_EQ(hs.size(), 1u);
    std::string payload(hs[0].payload.begin(), hs[0].payload.end());
    EXPECT_NE(payload.find("iqn.2024-01.net.zelko:client.default"), std::string::npos);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationSucceeded, 0, 0), 1);
}

TEST_F(ActivationThread, AFailingUdpSocketLeavesTcpAndArmsTheRetryTimerOnce) {
    ViaApi();
    udpPort_ = 9;
    HkWskTestRefuseDatagramSockets(STATUS_INSUFFICIENT_RESOURCES, HK_WSK_FOREVER, TRUE);
    Load();
    ASSERT_TRUE(Ended());
    EXPECT_EQ(InterlockedCompareExchange(&ActivationSucceeded, 0, 0), 1);
    EXPECT_EQ(Count("[Thread] TransportNegotiate 0x00000000 udpPort=9\n"), 1);
    EXPECT_EQ(Count("[Thread] WskUdp_Connect 失败 0x"), 1);
    EXPECT_EQ(Count("[Thread] UDP 重试定时器已启动（间隔 60000 ms）\n"), 1);
    LuExt* lu = Lun0();
    ASSERT_NE(lu, nullptr);
    EXPECT_TRUE(WpFlag(&lu->session.retryArmed));
    // A later bring-up that fails too finds the timer armed and leaves it as it is.
    EXPECT_FALSE(NT_SUCCESS(ProtocolClient_StartUdp(&lu->session)));
    EXPECT_EQ(InterlockedCompareExchange(&lu->session.retryAttempts, 0, 0), 0);
    // Reads go over TCP.
    HkScsiResult r = HkScsiExecute(Read(0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
}

TEST_F(ActivationThread, AFileBackedLun0IsNotPrefetched) {
    hk::test::RegSetDword(kService, "AutoActivate", 1);
    hk::test::RegSetString(kService, "ServerIp", "127.0.0.1");
    hk::test::RegSetDword(kService, "ServerPort", diskPeer_->port());
    hk::test::RegSetString(kService, "TargetIqn", kIqn);
    CloseGate();
    Load();
    LuExt* lu = Lun0();
    ASSERT_NE(lu, nullptr);
    // Stands in for an image-file LUN 0 (the thread only asks the flag).
    lu->fileBacked = 1;
    OpenGate();
    ASSERT_TRUE(Ended());
    lu->fileBacked = 0;
    EXPECT_EQ(Count("[Thread] ApiServerIp 为空，回退使用 ServerIp=127.0.0.1:9500\n"), 1);
    EXPECT_EQ(Count("[Thread] 预取完成"), 0);
    EXPECT_EQ(Count("[Thread] 已唤醒挂起的 READ SRB\n"), 1);
    EXPECT_EQ(Count("[Thread] BusChangeDetected #3"), 1);
}

// ---------------------------------------------------------------------------------------------
// Stopping: every sleep ends at once on a stop request (real time, normal clock). The thread
// ends within a few milliseconds; the bound leaves room for a loaded machine's scheduling and is
// still far below the shortest sleep (1 s) a stop that did not wake the thread would have to sit
// out.

// The stoppers race the thread: these also run under ThreadSanitizer.
class ActivationStopRacing : public ActivationThread {};

TEST_F(ActivationStopRacing, AStopDuringTheRetrySleepEndsTheThreadAtOnce) {
    ViaApi();
    uint16_t closed;
    {
        peer::Server gone([](peer::Conn&, const peer::Request&) {});
        closed = gone.port();
    }
    hk::test::RegSetDword(kService, "ServerPort", closed);
    Load();
    ASSERT_EQ(Times("ZelkoVd: 自激活 Connect 失败", 1).size(), 1u);
    SleepMs(300);
    EXPECT_LT(StopMs(), kStopBoundMs);
    EXPECT_TRUE(Ended(0));
    EXPECT_EQ(Count("[Thread] 自激活失败"), 0) << "a stop after a sleep ends the thread without the failure path";
}

TEST_F(ActivationStopRacing, AStopWhileWaitingForLun0EndsTheThreadAtOnce) {
    hk::test::RegSetDword(kService, "AutoActivate", 1);
    hk::test::FailPoolAllocation(1, ZV_TAG_LUEXT);
    Load();
    ASSERT_EQ(Lun0(), nullptr);
    SleepMs(1300);
    EXPECT_LT(StopMs(), kStopBoundMs);
    EXPECT_EQ(Count("[Thread] LUN 0 未就绪，放弃\n"), 1);
    EXPECT_EQ(Count("[Thread] 退出\n"), 1);
}

TEST_F(ActivationStopRacing, AStopBeforeTheLastBusChangeSkipsIt) {
    ViaApi();
    Load();
    bool second = false;
    for (int64_t until = RealMs() + 10000; !second && RealMs() < until; SleepMs(1))
        second = FileLog().find("BusChangeDetected #2") != std::string::npos;
    ASSERT_TRUE(second);
    EXPECT_LT(StopMs(), kStopBoundMs);
    EXPECT_EQ(Count("BusChangeDetected #3"), 0);
    EXPECT_EQ(Count("[Thread] 退出\n"), 1);
}

TEST_F(ActivationStopRacing, TheSetConfigurationRequestStopsTheThread) {
    ViaApi();
    uint16_t closed;
    {
        peer::Server gone([](peer::Conn&, const peer::Request&) {});
        closed = gone.port();
    }
    hk::test::RegSetDword(kService, "ServerPort", closed);
    Load();
    ASSERT_EQ(Times("ZelkoVd: 自激活 Connect 失败", 1).size(), 1u);
    SleepMs(300);
    HkFile* f = nullptr;
    ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &f), STATUS_SUCCESS);
    int64_t t0 = RealMs();
    HkIoResult io = HkDeviceIoControl(f, 0x8100200C, std::vector<uint8_t>(908, 0), 0);
    int64_t took = RealMs() - t0;
    HkCloseFile(f);
    EXPECT_TRUE(NT_SUCCESS(io.status)) << std::hex << io.status;
    EXPECT_LT(took, kStopBoundMs + 100);
    EXPECT_EQ(InterlockedCompareExchange(&ActivationThreadRunning, 0, 0), 0);
    EXPECT_TRUE(Ended(0));
    EXPECT_EQ(InterlockedCompareExchangePointer(&ActivationThreadObject, nullptr, nullptr), nullptr);
}

}  // namespace
