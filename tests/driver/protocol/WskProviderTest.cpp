// The host kernel's WSK provider driven directly, for what the TCP client does not exercise:
// datagram sockets and the cancellation of a pending call.
#include "ProtocolTestSupport.h"

namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID ctx) {
    KeSetEvent(static_cast<PKEVENT>(ctx), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One packet, waited for without a limit.
struct SyncIrp {
    KEVENT ev;
    PIRP irp;
    SyncIrp() {
        KeInitializeEvent(&ev, NotificationEvent, FALSE);
        irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(irp, SignalDone, &ev, TRUE, TRUE, TRUE);
    }
    ~SyncIrp() { IoFreeIrp(irp); }
    NTSTATUS Wait(NTSTATUS st) {
        if (st == STATUS_PENDING) KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
        return irp->IoStatus.Status;
    }
};

class WskProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        WSK_CLIENT_NPI npi{nullptr, &dispatch_};
        ASSERT_EQ(WskRegister(&npi, &reg_), STATUS_SUCCESS);
        ASSERT_EQ(WskCaptureProviderNPI(&reg_, WSK_INFINITE_WAIT, &prov_), STATUS_SUCCESS);
    }
    void TearDown() override {
        WskReleaseProviderNPI(&reg_);
        WskDeregister(&reg_);
    }
    PWSK_SOCKET Datagram() {
        SyncIrp s;
        NTSTATUS st = prov_.Dispatch->WskSocket(prov_.Client, AF_INET, SOCK_DGRAM, IPPROTO_UDP,
                                                WSK_FLAG_DATAGRAM_SOCKET, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, s.irp);
        EXPECT_EQ(s.Wait(st), STATUS_SUCCESS);
        return reinterpret_cast<PWSK_SOCKET>(s.irp->IoStatus.Information);
    }
    static const WSK_PROVIDER_DATAGRAM_DISPATCH* D(PWSK_SOCKET s) {
        return static_cast<const WSK_PROVIDER_DATAGRAM_DISPATCH*>(s->Dispatch);
    }
    void Close(PWSK_SOCKET s) {
        SyncIrp c;
        EXPECT_EQ(c.Wait(D(s)->Basic.WskCloseSocket(s, c.irp)), STATUS_SUCCESS);
    }

    WSK_CLIENT_DISPATCH dispatch_{MAKE_WSK_VERSION(1, 0), 0, nullptr};
    WSK_REGISTRATION reg_{};
    WSK_PROVIDER_NPI prov_{};
};

TEST_F(WskProviderTest, DatagramSendToAndReceiveFrom) {
    PWSK_SOCKET s = Datagram();
    ASSERT_NE(s, nullptr);
    uint8_t buf[64];
    PMDL mdl = IoAllocateMdl(buf, sizeof(buf), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    WSK_BUF wb{mdl, 0, sizeof(buf)};
    SOCKADDR_IN from{};
    {
        SyncIrp r;  // unbound datagram sockets cannot receive
        EXPECT_EQ(r.Wait(D(s)->WskReceiveFrom(s, &wb, 0, (PSOCKADDR)&from, nullptr, nullptr, nullptr, r.irp)),
                  STATUS_INVALID_DEVICE_STATE);
    }
    SOCKADDR_IN local{};
    local.sin_family = AF_INET;
    local.sin_addr.S_un.S_addr = htonl(INADDR_LOOPBACK);
    {
        SyncIrp b;
        ASSERT_EQ(b.Wait(D(s)->WskBind(s, (PSOCKADDR)&local, 0, b.irp)), STATUS_SUCCESS);
        SyncIrp a;
        ASSERT_EQ(a.Wait(D(s)->WskGetLocalAddress(s, (PSOCKADDR)&local, a.irp)), STATUS_SUCCESS);
        EXPECT_NE(local.sin_port, 0);
    }

    // A peer on plain POSIX sockets.
    int u = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in pa{};
    pa.sin_family = AF_INET;
    pa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(u, reinterpret_cast<sockaddr*>(&pa), sizeof(pa)), 0);
    socklen_t pl = sizeof(pa);
    getsockname(u, reinterpret_cast<sockaddr*>(&pa), &pl);

    SyncIrp r;
    NTSTATUS st = D(s)->WskReceiveFrom(s, &wb, 0, (PSOCKADDR)&from, nullptr, nullptr, nullptr, r.irp);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = local.sin_port;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(u, "datagram!", 9, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 9);
    ASSERT_EQ(r.Wait(st), STATUS_SUCCESS);
    EXPECT_EQ(r.irp->IoStatus.Information, 9u);
    EXPECT_EQ(std::string((char*)buf, 9), "datagram!");
    EXPECT_EQ(from.sin_port, pa.sin_port);

    memcpy(buf, "pong", 4);
    WSK_BUF out{mdl, 0, 4};
    SOCKADDR_IN dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = pa.sin_port;
    dest.sin_addr.S_un.S_addr = htonl(INADDR_LOOPBACK);
    SyncIrp w;
    ASSERT_EQ(w.Wait(D(s)->WskSendTo(s, &out, 0, (PSOCKADDR)&dest, 0, nullptr, w.irp)), STATUS_SUCCESS);
    EXPECT_EQ(w.irp->IoStatus.Information, 4u);
    char got[8] = {0};
    EXPECT_EQ(::recv(u, got, sizeof(got), 0), 4);
    EXPECT_STREQ(got, "pong");

    // A pending receive is cancelled by IoCancelIrp.
    SyncIrp c;
    st = D(s)->WskReceiveFrom(s, &wb, 0, (PSOCKADDR)&from, nullptr, nullptr, nullptr, c.irp);
    EXPECT_EQ(st, STATUS_PENDING);
    peer::SleepMs(20);
    IoCancelIrp(c.irp);  // the routine or, if the reactor holds the packet that instant, the flag
    EXPECT_EQ(c.Wait(st), STATUS_CANCELLED);

    ::close(u);
    IoFreeMdl(mdl);
    Close(s);
    EXPECT_EQ(HkWskTestOpenSockets(), 0);
}

TEST_F(WskProviderTest, CloseCancelsPendingReceives) {
    PWSK_SOCKET s = Datagram();
    SOCKADDR_IN local{};
    local.sin_family = AF_INET;
    local.sin_addr.S_un.S_addr = htonl(INADDR_LOOPBACK);
    SyncIrp b;
    ASSERT_EQ(b.Wait(D(s)->WskBind(s, (PSOCKADDR)&local, 0, b.irp)), STATUS_SUCCESS);
    uint8_t buf[16];
    PMDL mdl = IoAllocateMdl(buf, sizeof(buf), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    WSK_BUF wb{mdl, 0, sizeof(buf)};
    SyncIrp r;
    NTSTATUS st = D(s)->WskReceiveFrom(s, &wb, 0, nullptr, nullptr, nullptr, nullptr, r.irp);
    EXPECT_EQ(st, STATUS_PENDING);
    Close(s);
    EXPECT_EQ(r.Wait(st), STATUS_CANCELLED);
    IoFreeMdl(mdl);
}

}  // namespace
