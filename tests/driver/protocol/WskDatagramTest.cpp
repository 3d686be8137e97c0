// The host kernel's datagram sockets as a WSK client sees them: truncation, closing with a
// receive pending, and the faults tests inject on the wire (loss, duplication, delay on the
// virtual clock, reordering, refused sockets).
#include "ProtocolTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

namespace {

IO_COMPLETION_ROUTINE SignalDone;
NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID ctx) {
    KeSetEvent(static_cast<PKEVENT>(ctx), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Runs one WSK call to completion; a call still pending after waitMs is cancelled first.
NTSTATUS RunCall(const std::function<NTSTATUS(PIRP)>& call, ULONG_PTR* info = nullptr, ULONG waitMs = 5000) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &ev, TRUE, TRUE, TRUE);
    if (call(irp) == STATUS_PENDING) {
        LARGE_INTEGER t;
        t.QuadPart = -(LONGLONG)waitMs * 10000;
        if (KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        }
    }
    NTSTATUS st = irp->IoStatus.Status;
    if (info) *info = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return st;
}

class WskDatagramTest : public ProtocolTest {
protected:
    void SetUp() override {
        ProtocolTest::SetUp();
        WSK_CLIENT_NPI npi{nullptr, &dispatch_};
        ASSERT_EQ(WskRegister(&npi, &reg_), STATUS_SUCCESS);
        ASSERT_EQ(WskCaptureProviderNPI(&reg_, WSK_INFINITE_WAIT, &prov_), STATUS_SUCCESS);
        peer_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(peer_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t l = sizeof(a);
        getsockname(peer_, reinterpret_cast<sockaddr*>(&a), &l);
        peerPort_ = ntohs(a.sin_port);
    }
    void TearDown() override {
        if (sock_) Close();
        close(peer_);
        WskReleaseProviderNPI(&reg_);
        WskDeregister(&reg_);
        ProtocolTest::TearDown();
    }
    const WSK_PROVIDER_DATAGRAM_DISPATCH* D() { return static_cast<const WSK_PROVIDER_DATAGRAM_DISPATCH*>(sock_->Dispatch); }

    NTSTATUS Open() {
        ULONG_PTR info = 0;
        NTSTATUS st = RunCall(
            [&](PIRP irp) {
                return prov_.Dispatch->WskSocket(prov_.Client, AF_INET, SOCK_DGRAM, IPPROTO_UDP, WSK_FLAG_DATAGRAM_SOCKET,
                                                 nullptr, nullptr, nullptr, nullptr, nullptr, irp);
            },
            &info);
        if (!NT_SUCCESS(st)) return st;
        sock_ = reinterpret_cast<PWSK_SOCKET>(info);
        SOCKADDR_IN local{};
        local.sin_family = AF_INET;
        local.sin_addr.S_un.S_addr = htonl(INADDR_LOOPBACK);
        st = RunCall([&](PIRP irp) { return D()->WskBind(sock_, (PSOCKADDR)&local, 0, irp); });
        SOCKADDR_IN got{};
        RunCall([&](PIRP irp) { return D()->WskGetLocalAddress(sock_, (PSOCKADDR)&got, irp); });
        myPort_ = ntohs(got.sin_port);
        return st;
    }
    void Close() {
        RunCall([&](PIRP irp) { return D()->Basic.WskCloseSocket(sock_, irp); });
        sock_ = nullptr;
    }
    NTSTATUS SendTo(const void* data, ULONG n) {
        PMDL m = IoAllocateMdl(const_cast<void*>(data), n, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(m);
        WSK_BUF b{m, 0, n};
        SOCKADDR_IN to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(peerPort_);
        to.sin_addr.S_un.S_addr = htonl(INADDR_LOOPBACK);
        NTSTATUS st = RunCall([&](PIRP irp) { return D()->WskSendTo(sock_, &b, 0, (PSOCKADDR)&to, 0, nullptr, irp); });
        IoFreeMdl(m);
        return st;
    }
    // One receive of up to `cap` bytes; status, bytes and control flags.
    NTSTATUS ReceiveFrom(std::vector<uint8_t>* out, ULONG cap, ULONG* flags = nullptr, ULONG waitMs = 2000) {
        out->assign(cap, 0);
        PMDL m = IoAllocateMdl(out->data(), cap, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(m);
        WSK_BUF b{m, 0, cap};
        SOCKADDR_IN from{};
        ULONG cf = 0;
        ULONG_PTR info = 0;
        NTSTATUS st = RunCall(
            [&](PIRP irp) { return D()->WskReceiveFrom(sock_, &b, 0, (PSOCKADDR)&from, nullptr, nullptr, &cf, irp); },
            &info, waitMs);
        IoFreeMdl(m);
        out->resize(NT_SUCCESS(st) ? info : 0);
        if (flags) *flags = cf;
        return st;
    }
    void PeerSend(const std::vector<uint8_t>& d) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(myPort_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(peer_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    // What the peer got within a short while.
    std::vector<std::vector<uint8_t>> PeerDrain(int ms = 100) {
        std::vector<std::vector<uint8_t>> got;
        for (;;) {
            pollfd p{peer_, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) return got;
            std::vector<uint8_t> b(70000);
            ssize_t n = recv(peer_, b.data(), b.size(), 0);
            b.resize(n > 0 ? n : 0);
            got.push_back(b);
        }
    }

    WSK_CLIENT_DISPATCH dispatch_{MAKE_WSK_VERSION(1, 0), 0, nullptr};
    WSK_REGISTRATION reg_{};
    WSK_PROVIDER_NPI prov_{};
    PWSK_SOCKET sock_ = nullptr;
    int peer_ = -1;
    uint16_t peerPort_ = 0, myPort_ = 0;
};

TEST_F(WskDatagramTest, ALongDatagramIsCutAndFlaggedAsWindowsDoes) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<uint8_t> big(100);
    for (size_t i = 0; i < big.size(); i++) big[i] = (uint8_t)i;
    PeerSend(big);
    std::vector<uint8_t> got;
    ULONG flags = 0;
    EXPECT_EQ(ReceiveFrom(&got, 64, &flags), STATUS_SUCCESS);
    ASSERT_EQ(got.size(), 64u);
    EXPECT_EQ(0, memcmp(got.data(), big.data(), 64));
    EXPECT_TRUE(flags & MSG_TRUNC);
    PeerSend({1, 2, 3});
    EXPECT_EQ(ReceiveFrom(&got, 64, &flags), STATUS_SUCCESS);
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 2, 3})) << "the cut datagram's rest is gone";
    EXPECT_FALSE(flags & MSG_TRUNC);
    HK_DGRAM_STATS st;
    HkWskTestDatagramStats(HkDgramInbound, &st);
    EXPECT_EQ(st.truncated, 1u);
}

TEST_F(WskDatagramTest, ClosingCancelsAPendingReceive) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    std::vector<uint8_t> buf(64);
    PMDL m = IoAllocateMdl(buf.data(), 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(m);
    WSK_BUF b{m, 0, 64};
    PIRP irp = IoAllocateIrp(1, FALSE);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &ev, TRUE, TRUE, TRUE);
    ASSERT_EQ(D()->WskReceiveFrom(sock_, &b, 0, nullptr, nullptr, nullptr, nullptr, irp), STATUS_PENDING);
    Close();
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    IoFreeIrp(irp);
    IoFreeMdl(m);
}

TEST_F(WskDatagramTest, OutboundLossAndDuplicationFollowTheirCounts) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    HK_DGRAM_FAULTS f{};
    f.dropEvery = 3;
    f.duplicateEvery = 4;
    HkWskTestDatagramFaults(HkDgramOutbound, &f);
    for (uint8_t i = 1; i <= 8; i++) ASSERT_EQ(SendTo(&i, 1), STATUS_SUCCESS) << "a lost datagram still counts as sent";
    std::vector<uint8_t> order;
    for (const auto& d : PeerDrain()) order.push_back(d[0]);
    EXPECT_EQ(order, (std::vector<uint8_t>{1, 2, 4, 4, 5, 7, 8, 8}));
    HK_DGRAM_STATS st;
    HkWskTestDatagramStats(HkDgramOutbound, &st);
    EXPECT_EQ(st.dropped, 2u);
    EXPECT_EQ(st.duplicated, 2u);
}

TEST_F(WskDatagramTest, InboundDelayRunsOnTheVirtualClockAndReorderingSwapsNeighbours) {
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    HK_DGRAM_FAULTS f{};
    f.delayEvery = 1;
    f.delayMs = 30000;
    HkWskTestDatagramFaults(HkDgramInbound, &f);
    PeerSend({9});
    std::vector<uint8_t> got;
    EXPECT_EQ(ReceiveFrom(&got, 16, nullptr, 300), STATUS_CANCELLED) << "delivered before its time";
    hk::test::AdvanceClock(31LL * 10000000);
    EXPECT_EQ(ReceiveFrom(&got, 16), STATUS_SUCCESS);
    EXPECT_EQ(got, std::vector<uint8_t>{9});

    f = HK_DGRAM_FAULTS{};
    f.reorderEvery = 2;
    HkWskTestDatagramFaults(HkDgramInbound, &f);
    for (uint8_t i = 1; i <= 3; i++) PeerSend({i});
    peer::SleepMs(50);
    std::vector<uint8_t> order;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(ReceiveFrom(&got, 16), STATUS_SUCCESS);
        order.push_back(got[0]);
    }
    EXPECT_EQ(order, (std::vector<uint8_t>{1, 3, 2}));
}

TEST_F(WskDatagramTest, RefusedSocketsFailAtOnceOrOnCompletion) {
    HkWskTestRefuseDatagramSockets(STATUS_INSUFFICIENT_RESOURCES, 1, TRUE);
    PIRP irp = IoAllocateIrp(1, FALSE);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &ev, TRUE, TRUE, TRUE);
    EXPECT_EQ(prov_.Dispatch->WskSocket(prov_.Client, AF_INET, SOCK_DGRAM, IPPROTO_UDP, WSK_FLAG_DATAGRAM_SOCKET,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, irp),
              STATUS_INSUFFICIENT_RESOURCES);
    IoFreeIrp(irp);
    HkWskTestRefuseDatagramSockets(STATUS_ACCESS_DENIED, 1, FALSE);
    EXPECT_EQ(Open(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(HkWskTestOpenSockets(), 0);
    EXPECT_EQ(Open(), STATUS_SUCCESS) << "the refusals are used up";
}

}  // namespace
