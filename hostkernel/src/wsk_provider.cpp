// The host kernel's Winsock Kernel provider: WSK over non-blocking POSIX sockets.
//
// Every call that moves data or changes a socket's state is accepted with STATUS_PENDING. A
// stream send or receive is tried at once in the caller's thread, as the stack on Windows
// completes a send that fits the send window, or a receive whose bytes are already buffered,
// before WskSend/WskReceive return (the completion routine runs inside the call); what cannot
// finish at once waits in the socket's queue for the reactor thread (epoll). Handing every
// packet to the reactor instead would cost two thread switches per call that Windows does not
// make. Either way the IRP is completed at DISPATCH_LEVEL, as the network stack does. Pending packets carry a cancel routine, so IoCancelIrp on them
// completes them with STATUS_CANCELLED. Argument and state errors complete the packet at once in
// the caller's thread and return its status, as WSK does.
//
// Fault injection (hk_wsk_test.h) lets tests refuse connections, reset after N bytes, stall a
// packet and ignore its cancel, and make provider capture fail. What happens to datagrams on the
// wire (loss, duplication, delay, reordering, truncation) is wsk_datagram.cpp's part.
#include <hk_wsk_test.h>
#include <hk_wsk_script.h>
#include <hk_io.h>

#include "wsk_datagram.h"
#include "wsk_script.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

extern const WSK_PROVIDER_CONNECTION_DISPATCH g_hkConnDispatch;
extern const WSK_PROVIDER_DATAGRAM_DISPATCH g_hkDgramDispatch;

#ifndef STATUS_HOST_DOWN
#define STATUS_HOST_DOWN ((NTSTATUS)0xC0000350L)
#endif

namespace hk {
namespace wskscript {
void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NETWORK_INCREMENT);
    KeLowerIrql(old);
}
}  // namespace wskscript
}  // namespace hk

namespace {

[[noreturn]] void WskFatal(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("hostkernel: FATAL (WSK): ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::fflush(stderr);
    std::abort();
}

struct Registration;
struct Socket;

enum class OpKind { Socket, Bind, Connect, LocalAddress, RemoteAddress, Send, Receive, Disconnect, Close, SendTo, ReceiveFrom };

HK_WSK_OP HookKind(OpKind k) {
    switch (k) {
        case OpKind::Socket: return HkWskOpSocket;
        case OpKind::Bind: return HkWskOpBind;
        case OpKind::Connect: return HkWskOpConnect;
        case OpKind::LocalAddress:
        case OpKind::RemoteAddress: return HkWskOpLocalAddress;
        case OpKind::Send:
        case OpKind::SendTo: return HkWskOpSend;
        case OpKind::Receive:
        case OpKind::ReceiveFrom: return HkWskOpReceive;
        case OpKind::Disconnect: return HkWskOpDisconnect;
        case OpKind::Close: return HkWskOpClose;
    }
    return HkWskOpCount;
}

struct Op {
    OpKind kind;
    PIRP irp;
    std::shared_ptr<Socket> sock;  // null for WskSocket
    WSK_BUF buf{};
    ULONG flags = 0;
    SIZE_T done = 0;
    sockaddr_in addr{};     // bind / connect / sendto target
    PSOCKADDR out = nullptr;  // local/remote address, receive-from source
    PULONG controlFlags = nullptr;  // receive-from: MSG_TRUNC goes here
    // WskSocket arguments
    Registration* reg = nullptr;
    USHORT sockType = 0;
    ULONG sockFlags = 0;
    bool started = false;   // connect issued
    bool stalled = false;
    bool cancelled = false;  // cancel routine ran while the op was on its way to the reactor
    // Recovery fault hooks (section "Fault hooks" below)
    bool ignoreCancel = false;     // a cancel finds the packet already being completed
    bool cancelIgnored = false;    // ... and one came
    bool failSend = false;         // the send stops after failAfter bytes with failStatus
    SIZE_T failAfter = 0;
    NTSTATUS failStatus = STATUS_SUCCESS;
};

struct Socket {
    WSK_SOCKET pub;  // must stay first: clients hold &pub
    Registration* reg = nullptr;
    int fd = -1;
    USHORT type = 0;
    ULONG flags = 0;
    std::mutex lock;
    bool bound = false;
    bool connected = false;
    bool closeRequested = false;  // WskCloseSocket was called
    bool closing = false;
    bool closed = false;
    bool peerEof = false;
    NTSTATUS broken = STATUS_SUCCESS;  // set once the connection is reset or failed
    std::deque<Op*> sendQ, recvQ, ctlQ;  // ctlQ: bind, connect, addresses, disconnect, close
    ULONGLONG received = 0, sent = 0;
    ULONGLONG resetAfterRecv = 0, resetAfterSend = 0;
    uint32_t epollMask = 0;
};

struct Registration {
    WSK_CLIENT_NPI client{};
    std::atomic<LONG> captures{0};
    std::atomic<LONG> sockets{0};
    std::atomic<bool> deregistering{false};
};

struct Hooks {
    ULONG refuseCount = 0;
    NTSTATUS refuseStatus = STATUS_CONNECTION_REFUSED;
    ULONGLONG resetRecv = 0, resetSend = 0;
    bool resetArmed = false;
    ULONG stall[HkWskOpCount] = {};
    ULONG captureFailCount = 0;
    NTSTATUS captureStatus = STATUS_NOINTERFACE;
    ULONG captureDelayMs = 0;
    // Recovery fault hooks
    ULONG lateCancel[HkWskOpCount] = {};
    ULONG failSendSkip = 0, failSendCount = 0, failSendBytes = 0;
    NTSTATUS failSendStatus = STATUS_SUCCESS;
};

class Provider {
public:
    static Provider& Get() {
        static Provider* p = new Provider();  // never destroyed: the reactor may outlive statics
        return *p;
    }

    std::mutex lock;  // hooks, socket table, stalled list, registrations
    Hooks hooks;
    std::atomic<ULONG> captureCalls{0};
    std::atomic<ULONG> calls[HkWskOpCount];
    std::atomic<LONG> openSockets{0};
    std::atomic<LONG> registrations{0};
    std::atomic<ULONG> lateCompletions{0};  // packets that completed after a cancel they ignored
    std::unordered_map<PWSK_SOCKET, std::shared_ptr<Socket>> sockets;
    std::vector<Op*> stalled;

    void EnsureReactor() {
        std::lock_guard<std::mutex> g(reactorLock_);
        if (running_) return;
        epfd_ = epoll_create1(EPOLL_CLOEXEC);
        evfd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (epfd_ < 0 || evfd_ < 0) WskFatal("cannot create the reactor's epoll/eventfd: %s", strerror(errno));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        epoll_ctl(epfd_, EPOLL_CTL_ADD, evfd_, &ev);
        running_ = true;
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }

    void StopReactorIfIdle() {
        std::unique_lock<std::mutex> g(reactorLock_);
        if (!running_ || registrations.load() > 0 || openSockets.load() > 0) return;
        stop_ = true;
        Wake();
        std::thread t = std::move(thread_);
        running_ = false;
        g.unlock();
        t.join();
        close(epfd_);
        close(evfd_);
        epfd_ = evfd_ = -1;
    }

    // Carry out a stream send or receive in the caller's thread as far as the socket allows now:
    // queued behind what the socket already holds (so the byte order of a stream stays that of
    // the calls), tried at once, and left for the reactor when the socket cannot take or give
    // the bytes yet (UpdateInterest registers it with epoll from here; epoll_wait notices). The
    // op's socket lock must not be held.
    void StartNow(Op* op) {
        std::shared_ptr<Socket> s = op->sock;
        std::vector<Op*> done;
        Start(op, done);
        Process(s, done);
        Complete(done);
    }

    // Queue an op for the reactor. The op's socket lock must not be held.
    void Submit(Op* op) {
        {
            std::lock_guard<std::mutex> g(queueLock_);
            incoming_.push_back(op);
        }
        Wake();
    }

    // Carry an op out in the caller's thread, as the reactor would (for stream sockets while the
    // scripted peer is armed: nothing of theirs waits on the network).
    void RunNow(Op* op);

    void Kick(const std::shared_ptr<Socket>& s) {
        {
            std::lock_guard<std::mutex> g(queueLock_);
            kicked_.push_back(s);
        }
        Wake();
    }

    void UpdateInterest(Socket* s) {
        if (s->fd < 0) return;
        uint32_t want = 0;
        if (!s->recvQ.empty()) want |= EPOLLIN | EPOLLRDHUP;
        if (!s->sendQ.empty()) want |= EPOLLOUT;
        for (Op* op : s->ctlQ)
            if (op->kind == OpKind::Connect && op->started) want |= EPOLLOUT;
        if (want == s->epollMask) return;
        epoll_event ev{};
        ev.events = want;
        ev.data.ptr = s;
        if (s->epollMask == 0) {
            if (epoll_ctl(epfd_, EPOLL_CTL_ADD, s->fd, &ev) != 0 && errno == EEXIST)
                epoll_ctl(epfd_, EPOLL_CTL_MOD, s->fd, &ev);
        } else if (want == 0) {
            epoll_ctl(epfd_, EPOLL_CTL_DEL, s->fd, &ev);
        } else {
            epoll_ctl(epfd_, EPOLL_CTL_MOD, s->fd, &ev);
        }
        s->epollMask = want;
    }

    void ForgetFd(Socket* s) {
        if (s->fd >= 0) {
            if (s->epollMask) {
                epoll_event ev{};
                epoll_ctl(epfd_, EPOLL_CTL_DEL, s->fd, &ev);
            }
            ::close(s->fd);
            s->fd = -1;
            s->epollMask = 0;
        }
    }

private:
    Provider() {
        for (auto& c : calls) c = 0;
    }

    void Wake() {
        uint64_t one = 1;
        if (evfd_ >= 0) {
            ssize_t r = write(evfd_, &one, sizeof(one));
            (void)r;
        }
    }

    void Run();
    void Complete(std::vector<Op*>& done);
    void Process(const std::shared_ptr<Socket>& s, std::vector<Op*>& done);
    void Start(Op* op, std::vector<Op*>& done);

    std::mutex reactorLock_;
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
    int epfd_ = -1;
    int evfd_ = -1;
    std::mutex queueLock_;
    std::vector<Op*> incoming_;
    std::vector<std::shared_ptr<Socket>> kicked_;
};

Provider& P() { return Provider::Get(); }

// ---------------------------------------------------------------------------------------------
// Helpers

std::shared_ptr<Socket> Lookup(PWSK_SOCKET ws, const char* what) {
    std::lock_guard<std::mutex> g(P().lock);
    auto it = P().sockets.find(ws);
    if (it == P().sockets.end()) WskFatal("%s on %p, which is not an open WSK socket (used after close?)", what, ws);
    return it->second;
}

using hk::wskscript::CompleteIrp;

// Completion in the caller's thread for calls refused before anything was queued.
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info = 0) {
    if (irp == nullptr) return status;
    IoSetNextIrpStackLocation(irp);  // the provider's own level, as IoCallDriver would
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI CancelOp(PDEVICE_OBJECT, PIRP irp);

bool IsCancelled(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0; }

// ---------------------------------------------------------------------------------------------
// Fault hooks for the recovery tests: sends that stop part-way with an error, and packets whose
// cancel arrives while the network stack is already completing them (they complete normally, with
// their data, whenever the socket allows; closing the socket still cancels them).

VOID NTAPI IgnoredCancel(PDEVICE_OBJECT, PIRP irp);

// The cancel routine an op carries while it waits in a queue.
PDRIVER_CANCEL CancelRoutineFor(const Op* op) { return op->ignoreCancel ? IgnoredCancel : CancelOp; }

// Whether a cancel has to be honoured now.
bool CancelRequested(const Op* op) { return !op->ignoreCancel && IsCancelled(op->irp); }

VOID NTAPI IgnoredCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Op* op = static_cast<Op*>(irp->Tail.Overlay.DriverContext[0]);
    // Nobody can claim the op while its cancel routine is cleared; after re-arming, it is the
    // reactor's again.
    op->cancelIgnored = true;
    IoSetCancelRoutine(irp, IgnoredCancel);
}

void TakeFaultHooks(Op* op) {
    HK_WSK_OP h = HookKind(op->kind);
    std::lock_guard<std::mutex> g(P().lock);
    Hooks& k = P().hooks;
    if (h < HkWskOpCount && k.lateCancel[h]) {
        if (k.lateCancel[h] != HK_WSK_FOREVER) k.lateCancel[h]--;
        op->ignoreCancel = true;
    }
    if ((op->kind == OpKind::Send) && k.failSendCount) {
        if (k.failSendSkip) {
            k.failSendSkip--;
        } else {
            if (k.failSendCount != HK_WSK_FOREVER) k.failSendCount--;
            op->failSend = true;
            op->failAfter = k.failSendBytes;
            op->failStatus = k.failSendStatus;
        }
    }
}

void NoteCompletion(const Op* op) {
    if (op->cancelIgnored) P().lateCompletions++;
}

// The packet becomes the provider's: one stack location down, as IoCallDriver would do.
void TakeIrp(PIRP irp, Op* op) {
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = nullptr;
    irp->Tail.Overlay.DriverContext[0] = op;
    IoMarkIrpPending(irp);
}

bool TakeStallHook(OpKind k) {
    HK_WSK_OP h = HookKind(k);
    P().calls[h]++;
    std::lock_guard<std::mutex> g(P().lock);
    ULONG& n = P().hooks.stall[h];
    if (n == 0) return false;
    if (n != HK_WSK_FOREVER) n--;
    return true;
}

// Accept a call: either stall it (no cancel routine, never completed) or arm cancellation and
// hand it to the reactor.
NTSTATUS Accept(Op* op) {
    TakeIrp(op->irp, op);
    if (TakeStallHook(op->kind)) {
        op->stalled = true;
        std::lock_guard<std::mutex> g(P().lock);
        P().stalled.push_back(op);
        return STATUS_PENDING;
    }
    TakeFaultHooks(op);
    // Creating a socket takes no time worth cancelling; everything else can be cancelled.
    if (op->kind != OpKind::Socket) {
        IoSetCancelRoutine(op->irp, CancelRoutineFor(op));
        if (CancelRequested(op) && IoSetCancelRoutine(op->irp, nullptr) != nullptr) {
            CompleteIrp(op->irp, STATUS_CANCELLED, 0);
            delete op;
            return STATUS_PENDING;
        }
    }
    bool stream = op->kind == OpKind::Socket ? op->sockType == SOCK_STREAM : op->sock->type == SOCK_STREAM;
    if (stream && hk::wskscript::Armed()) P().RunNow(op);
    else if (op->kind == OpKind::Send || op->kind == OpKind::Receive) P().StartNow(op);
    else P().Submit(op);
    return STATUS_PENDING;
}

bool RemoveFrom(std::deque<Op*>& q, Op* op) {
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (*it == op) {
            q.erase(it);
            return true;
        }
    }
    return false;
}

VOID NTAPI CancelOp(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Op* op = static_cast<Op*>(irp->Tail.Overlay.DriverContext[0]);
    std::shared_ptr<Socket> s = op->sock;
    {
        std::lock_guard<std::mutex> g(s->lock);
        if (!(RemoveFrom(s->sendQ, op) || RemoveFrom(s->recvQ, op) || RemoveFrom(s->ctlQ, op))) {
            // Still on its way to the reactor: the reactor sees the flag and completes it.
            op->cancelled = true;
            P().Kick(s);
            return;
        }
        P().UpdateInterest(s.get());
    }
    op->irp->Tail.Overlay.DriverContext[0] = nullptr;
    CompleteIrp(irp, STATUS_CANCELLED, 0);
    delete op;
}

// Build an iovec list for `len` bytes of a WSK_BUF starting `skip` bytes into it.
bool BuildIov(const WSK_BUF& b, SIZE_T skip, std::vector<iovec>& iov) {
    iov.clear();
    SIZE_T offset = b.Offset + skip;
    SIZE_T left = b.Length - skip;
    for (PMDL m = b.Mdl; m && left > 0 && iov.size() < 64; m = m->Next) {
        ULONG count = MmGetMdlByteCount(m);
        if (offset >= count) {
            offset -= count;
            continue;
        }
        PUCHAR va = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(m, NormalPagePriority));
        SIZE_T n = count - offset;
        if (n > left) n = left;
        iov.push_back(iovec{va + offset, n});
        left -= n;
        offset = 0;
    }
    return !iov.empty() || b.Length == skip;
}

SIZE_T MdlChainBytes(const WSK_BUF& b) {
    SIZE_T total = 0;
    for (PMDL m = b.Mdl; m; m = m->Next) total += MmGetMdlByteCount(m);
    return total > b.Offset ? total - b.Offset : 0;
}

void ToSockaddr(const sockaddr_in& in, PSOCKADDR out) {
    auto* o = reinterpret_cast<PSOCKADDR_IN>(out);
    std::memset(o, 0, sizeof(*o));
    o->sin_family = AF_INET;
    o->sin_port = in.sin_port;
    o->sin_addr.S_un.S_addr = in.sin_addr.s_addr;
}

bool FromSockaddr(PSOCKADDR in, sockaddr_in& out) {
    if (in == nullptr || in->sa_family != AF_INET) return false;
    auto* i = reinterpret_cast<PSOCKADDR_IN>(in);
    std::memset(&out, 0, sizeof(out));
    out.sin_family = AF_INET;
    out.sin_port = i->sin_port;
    out.sin_addr.s_addr = i->sin_addr.S_un.S_addr;
    return true;
}

// Errors after which Linux would report a mere end of stream on the next call, while Windows
// keeps reporting the failure: remember it on the socket.
bool ConnectionLost(int err) {
    return err == ECONNRESET || err == EPIPE || err == ETIMEDOUT || err == ECONNABORTED ||
           err == EHOSTUNREACH || err == ENETUNREACH;
}

void Break(Socket* s, NTSTATUS st, bool rst) {
    if (rst && s->fd >= 0) {
        linger l{1, 0};
        setsockopt(s->fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    }
    P().ForgetFd(s);
    if (s->broken == STATUS_SUCCESS) s->broken = st;
}

// ---------------------------------------------------------------------------------------------
// Reactor

void Provider::Start(Op* op, std::vector<Op*>& done) {
    if (op->kind == OpKind::Socket) {
        int type = op->sockType == SOCK_DGRAM ? SOCK_DGRAM : SOCK_STREAM;
        NTSTATUS refused = STATUS_SUCCESS;
        if (type == SOCK_DGRAM && hk::wskdgram::TakeRefusal(false, &refused)) {
            op->irp->IoStatus.Status = refused;
            op->irp->IoStatus.Information = 0;
            done.push_back(op);
            return;
        }
        int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            op->irp->IoStatus.Status = HkWskStatusFromErrno(errno);
            op->irp->IoStatus.Information = 0;
        } else {
            auto s = std::make_shared<Socket>();
            s->fd = fd;
            s->type = op->sockType;
            s->flags = op->sockFlags;
            s->reg = op->reg;
            if (type == SOCK_STREAM) {
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            }
            {
                std::lock_guard<std::mutex> g(lock);
                if (hooks.resetArmed && type == SOCK_STREAM) {
                    s->resetAfterRecv = hooks.resetRecv;
                    s->resetAfterSend = hooks.resetSend;
                    hooks.resetArmed = false;
                }
                sockets[&s->pub] = s;
            }
            s->pub.Dispatch = type == SOCK_DGRAM ? (const VOID*)&g_hkDgramDispatch : (const VOID*)&g_hkConnDispatch;
            if (type == SOCK_DGRAM) hk::wskdgram::Opened(&s->pub, fd);
            op->reg->sockets++;
            openSockets++;
            op->irp->IoStatus.Status = STATUS_SUCCESS;
            op->irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(&s->pub);
        }
        done.push_back(op);
        return;
    }
    std::shared_ptr<Socket> s = op->sock;
    std::lock_guard<std::mutex> g(s->lock);
    if (IoSetCancelRoutine(op->irp, nullptr) == nullptr) {
        // The cancel routine has run or is about to take the socket lock. If it has run, the op
        // is ours to complete; otherwise queue it and let the routine find it there.
        if (op->cancelled) {
            op->irp->IoStatus.Status = STATUS_CANCELLED;
            op->irp->IoStatus.Information = 0;
            done.push_back(op);
            return;
        }
    } else {
        IoSetCancelRoutine(op->irp, CancelRoutineFor(op));
    }
    switch (op->kind) {
        case OpKind::Send:
        case OpKind::SendTo: s->sendQ.push_back(op); break;
        case OpKind::Receive:
        case OpKind::ReceiveFrom: s->recvQ.push_back(op); break;
        default: s->ctlQ.push_back(op); break;
    }
    (void)done;
}

// Carry out whatever the socket's queues allow now. Called with no locks held.
void Provider::Process(const std::shared_ptr<Socket>& sp, std::vector<Op*>& done) {
    Socket* s = sp.get();
    std::lock_guard<std::mutex> g(s->lock);
    auto finish = [&](std::deque<Op*>& q, Op* op, NTSTATUS st, ULONG_PTR info) {
        RemoveFrom(q, op);
        op->irp->IoStatus.Status = st;
        op->irp->IoStatus.Information = info;
        done.push_back(op);
    };
    // Claim an op for processing: false when its cancel routine is already running.
    auto claim = [](Op* op) { return IoSetCancelRoutine(op->irp, nullptr) != nullptr; };
    auto unclaim = [&](std::deque<Op*>& q, Op* op) {
        IoSetCancelRoutine(op->irp, CancelRoutineFor(op));
        if (CancelRequested(op) && IoSetCancelRoutine(op->irp, nullptr) != nullptr) finish(q, op, STATUS_CANCELLED, 0);
    };

    // Control operations run in order; a pending connect blocks the ones behind it.
    while (!s->ctlQ.empty()) {
        Op* op = s->ctlQ.front();
        if (!claim(op)) break;
        NTSTATUS st = STATUS_SUCCESS;
        ULONG_PTR info = 0;
        bool pending = false;
        switch (op->kind) {
            case OpKind::Bind:
                if (s->fd < 0) st = s->broken ? s->broken : STATUS_INVALID_DEVICE_STATE;
                else if (s->bound) st = STATUS_ADDRESS_ALREADY_ASSOCIATED;
                else if (::bind(s->fd, reinterpret_cast<sockaddr*>(&op->addr), sizeof(op->addr)) != 0)
                    st = HkWskStatusFromErrno(errno);
                else s->bound = true;
                break;
            case OpKind::Connect:
                if (!op->started) {
                    NTSTATUS refused = STATUS_SUCCESS;
                    {
                        std::lock_guard<std::mutex> hg(lock);
                        if (hooks.refuseCount) {
                            if (hooks.refuseCount != HK_WSK_FOREVER) hooks.refuseCount--;
                            refused = hooks.refuseStatus;
                        }
                    }
                    if (refused != STATUS_SUCCESS) { st = refused; break; }
                    if (s->fd < 0) { st = STATUS_INVALID_DEVICE_STATE; break; }
                    if (!s->bound) { st = STATUS_INVALID_DEVICE_STATE; break; }
                    if (s->connected) { st = STATUS_CONNECTION_ACTIVE; break; }
                    if (hk::wskscript::Join(&s->pub, &st)) {   // a scripted peer, no network
                        if (NT_SUCCESS(st)) s->connected = true;
                        break;
                    }
                    op->started = true;
                    if (::connect(s->fd, reinterpret_cast<sockaddr*>(&op->addr), sizeof(op->addr)) == 0) {
                        s->connected = true;
                    } else if (errno == EINPROGRESS) {
                        pending = true;
                    } else {
                        st = HkWskStatusFromErrno(errno);
                    }
                } else {
                    int err = 0;
                    socklen_t len = sizeof(err);
                    getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err == 0) {
                        sockaddr_in peer{};
                        socklen_t pl = sizeof(peer);
                        if (getpeername(s->fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0) {
                            if (errno == ENOTCONN) pending = true;  // spurious wake-up
                            else st = HkWskStatusFromErrno(errno);
                        } else {
                            s->connected = true;
                        }
                    } else {
                        st = HkWskStatusFromErrno(err);
                    }
                }
                break;
            case OpKind::LocalAddress:
            case OpKind::RemoteAddress: {
                sockaddr_in a{};
                socklen_t len = sizeof(a);
                int r = s->fd < 0 ? (errno = ENOTCONN, -1)
                        : op->kind == OpKind::LocalAddress ? getsockname(s->fd, reinterpret_cast<sockaddr*>(&a), &len)
                                                           : getpeername(s->fd, reinterpret_cast<sockaddr*>(&a), &len);
                if (r != 0) st = s->broken ? s->broken : HkWskStatusFromErrno(errno);
                else ToSockaddr(a, op->out);
                break;
            }
            case OpKind::Disconnect:
                if (s->fd < 0) { st = s->broken ? s->broken : STATUS_INVALID_DEVICE_STATE; break; }
                if (op->flags & WSK_FLAG_ABORTIVE) {
                    Break(s, STATUS_CONNECTION_ABORTED, true);
                } else if (::shutdown(s->fd, SHUT_WR) != 0) {
                    st = HkWskStatusFromErrno(errno);
                }
                break;
            case OpKind::Close:
                s->closing = true;
                break;
            default: st = STATUS_NOT_SUPPORTED; break;
        }
        if (pending) {
            IoSetCancelRoutine(op->irp, CancelRoutineFor(op));
            if (CancelRequested(op) && IoSetCancelRoutine(op->irp, nullptr) != nullptr) {
                finish(s->ctlQ, op, STATUS_CANCELLED, 0);
                continue;
            }
            break;
        }
        if (op->kind == OpKind::Close) {
            // Closing cancels everything still pending on the socket (stalled packets too).
            for (auto* q : {&s->sendQ, &s->recvQ}) {
                for (auto it = q->begin(); it != q->end();) {
                    Op* o = *it;
                    if (claim(o)) {
                        it = q->erase(it);
                        o->irp->IoStatus.Status = STATUS_CANCELLED;
                        o->irp->IoStatus.Information = 0;
                        done.push_back(o);
                    } else {
                        ++it;  // its cancel routine is about to take it
                    }
                }
            }
            {
                std::lock_guard<std::mutex> pg(lock);
                for (auto it = stalled.begin(); it != stalled.end();) {
                    if ((*it)->sock.get() == s) {
                        (*it)->irp->IoStatus.Status = STATUS_CANCELLED;
                        (*it)->irp->IoStatus.Information = 0;
                        done.push_back(*it);
                        it = stalled.erase(it);
                    } else {
                        ++it;
                    }
                }
                sockets.erase(&s->pub);
            }
            if (s->type == SOCK_DGRAM) hk::wskdgram::Closed(&s->pub);
            else hk::wskscript::Leave(&s->pub);
            ForgetFd(s);
            s->closed = true;
            s->reg->sockets--;
            openSockets--;
            finish(s->ctlQ, op, STATUS_SUCCESS, 0);
            // Anything queued behind a close is a client error; fail it.
            while (!s->ctlQ.empty()) {
                Op* o = s->ctlQ.front();
                if (!claim(o)) break;
                finish(s->ctlQ, o, STATUS_INVALID_DEVICE_STATE, 0);
            }
            return;
        }
        finish(s->ctlQ, op, st, info);
    }

    // Sends: complete when every byte is out.
    while (!s->sendQ.empty()) {
        Op* op = s->sendQ.front();
        if (!claim(op)) break;
        if (s->fd < 0 || (!s->connected && op->kind == OpKind::Send)) {
            finish(s->sendQ, op, s->broken ? s->broken : STATUS_INVALID_DEVICE_STATE, 0);
            continue;
        }
        std::vector<iovec> iov;
        SIZE_T want = op->buf.Length - op->done;
        if (s->resetAfterSend && s->sent + want > s->resetAfterSend) want = (SIZE_T)(s->resetAfterSend - s->sent);
        if (op->failSend) {
            // Fault hook: this send stops after failAfter bytes.
            if (op->done >= op->failAfter) {
                finish(s->sendQ, op, op->failStatus, op->done);
                continue;
            }
            if (want > op->failAfter - op->done) want = op->failAfter - op->done;
        }
        WSK_BUF b = op->buf;
        b.Length = op->done + want;
        BuildIov(b, op->done, iov);
        ssize_t n = 0;
        if (want > 0) {
            msghdr mh{};
            mh.msg_iov = iov.data();
            mh.msg_iovlen = iov.size();
            if (op->kind == OpKind::SendTo) {
                mh.msg_name = &op->addr;
                mh.msg_namelen = sizeof(op->addr);
            }
            n = op->kind == OpKind::SendTo ? hk::wskdgram::Send(&s->pub, s->fd, &mh)
                                           : sendmsg(s->fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                unclaim(s->sendQ, op);
                break;
            }
            NTSTATUS st = HkWskStatusFromErrno(errno);
            if (op->kind == OpKind::Send && ConnectionLost(errno)) Break(s, st, false);
            finish(s->sendQ, op, st, op->done);
            continue;
        }
        op->done += (SIZE_T)n;
        s->sent += (ULONGLONG)n;
        if (s->resetAfterSend && s->sent >= s->resetAfterSend) {
            Break(s, STATUS_CONNECTION_RESET, true);
            finish(s->sendQ, op, STATUS_CONNECTION_RESET, op->done);
            continue;
        }
        if (op->done >= op->buf.Length || op->kind == OpKind::SendTo) {
            finish(s->sendQ, op, STATUS_SUCCESS, op->done);
            continue;
        }
        unclaim(s->sendQ, op);
        break;
    }

    // Receives: complete as soon as some bytes arrived (all of them with WSK_FLAG_WAITALL);
    // 0 bytes with success once the peer has closed gracefully.
    while (!s->recvQ.empty()) {
        Op* op = s->recvQ.front();
        if (!claim(op)) break;
        if (s->fd < 0) {
            finish(s->recvQ, op, s->broken ? s->broken : STATUS_INVALID_DEVICE_STATE, op->done);
            continue;
        }
        if (s->peerEof) {
            finish(s->recvQ, op, STATUS_SUCCESS, op->done);
            continue;
        }
        SIZE_T want = op->buf.Length - op->done;
        if (s->resetAfterRecv && s->received + want > s->resetAfterRecv) want = (SIZE_T)(s->resetAfterRecv - s->received);
        std::vector<iovec> iov;
        WSK_BUF b = op->buf;
        b.Length = op->done + want;
        BuildIov(b, op->done, iov);
        sockaddr_in from{};
        msghdr mh{};
        mh.msg_iov = iov.data();
        mh.msg_iovlen = iov.size();
        if (op->kind == OpKind::ReceiveFrom) {
            mh.msg_name = &from;
            mh.msg_namelen = sizeof(from);
        }
        bool truncated = false;
        ssize_t n = want == 0                         ? 0
                    : op->kind == OpKind::ReceiveFrom ? hk::wskdgram::Receive(&s->pub, s->fd, &mh, &truncated)
                                                      : recvmsg(s->fd, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                unclaim(s->recvQ, op);
                break;
            }
            NTSTATUS st = HkWskStatusFromErrno(errno);
            if (op->kind == OpKind::Receive && ConnectionLost(errno)) Break(s, st, false);
            finish(s->recvQ, op, st, op->done);
            continue;
        }
        if (n == 0 && want > 0 && op->kind == OpKind::Receive) {
            s->peerEof = true;
            finish(s->recvQ, op, STATUS_SUCCESS, op->done);
            continue;
        }
        op->done += (SIZE_T)n;
        s->received += (ULONGLONG)n;
        if (op->kind == OpKind::ReceiveFrom && op->out) ToSockaddr(from, op->out);
        if (truncated && op->controlFlags) *op->controlFlags |= MSG_TRUNC;
        if (s->resetAfterRecv && s->received >= s->resetAfterRecv) {
            Break(s, STATUS_CONNECTION_RESET, true);
            // The bytes that arrived before the reset are delivered; the next call fails.
            finish(s->recvQ, op, op->done ? STATUS_SUCCESS : STATUS_CONNECTION_RESET, op->done);
            continue;
        }
        if ((op->flags & WSK_FLAG_WAITALL) && op->done < op->buf.Length && op->kind == OpKind::Receive) {
            unclaim(s->recvQ, op);
            break;
        }
        finish(s->recvQ, op, STATUS_SUCCESS, op->done);
    }
    UpdateInterest(s);
}

// Completes what Start, Process and RunNow finished (no locks held).
void Provider::Complete(std::vector<Op*>& done) {
    for (Op* op : done) {
        NoteCompletion(op);
        op->irp->Tail.Overlay.DriverContext[0] = nullptr;
        CompleteIrp(op->irp, op->irp->IoStatus.Status, op->irp->IoStatus.Information);
        delete op;
    }
}

void Provider::Run() {
    std::vector<epoll_event> events(64);
    for (;;) {
        int n = epoll_wait(epfd_, events.data(), (int)events.size(), -1);
        if (n < 0 && errno != EINTR) WskFatal("epoll_wait: %s", strerror(errno));
        std::vector<std::shared_ptr<Socket>> ready;
        bool woken = false;
        for (int i = 0; i < n; i++) {
            if (events[i].data.ptr == nullptr) {
                woken = true;
                continue;
            }
            Socket* raw = static_cast<Socket*>(events[i].data.ptr);
            std::lock_guard<std::mutex> g(lock);
            auto it = sockets.find(&raw->pub);
            if (it != sockets.end()) ready.push_back(it->second);
        }
        std::vector<Op*> in;
        if (woken) {
            uint64_t v;
            ssize_t r = read(evfd_, &v, sizeof(v));
            (void)r;
        }
        {
            std::lock_guard<std::mutex> g(queueLock_);
            in.swap(incoming_);
            for (auto& k : kicked_) ready.push_back(k);
            kicked_.clear();
        }
        std::vector<Op*> done;
        for (Op* op : in) {
            std::shared_ptr<Socket> s = op->sock;  // op may be gone once Start returns
            Start(op, done);
            if (s) ready.push_back(s);
        }
        for (auto& s : ready) Process(s, done);
        Complete(done);
        std::lock_guard<std::mutex> g(reactorLock_);
        if (stop_) return;
    }
}

void Provider::RunNow(Op* op) {
    std::shared_ptr<Socket> s = op->sock;
    std::vector<Op*> done;
    Start(op, done);
    if (s) Process(s, done);
    Complete(done);
}

// ---------------------------------------------------------------------------------------------
// Dispatch routines

NTSTATUS WSKAPI HkWskSocket(PWSK_CLIENT Client, ADDRESS_FAMILY AddressFamily, USHORT SocketType,
                            ULONG Protocol, ULONG Flags, PVOID SocketContext, const VOID* Dispatch,
                            PEPROCESS, PETHREAD, PVOID, PIRP Irp) {
    if (Irp == nullptr) WskFatal("WskSocket without an IRP");
    auto* reg = static_cast<Registration*>(Client);
    if (reg == nullptr || reg->deregistering) return CompleteNow(Irp, STATUS_DEVICE_NOT_READY);
    if (AddressFamily != AF_INET) return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
    bool stream = SocketType == SOCK_STREAM && (Protocol == IPPROTO_TCP || Protocol == 0) &&
                  Flags == WSK_FLAG_CONNECTION_SOCKET;
    bool dgram = SocketType == SOCK_DGRAM && (Protocol == IPPROTO_UDP || Protocol == 0) &&
                 Flags == WSK_FLAG_DATAGRAM_SOCKET;
    if (!stream && !dgram) return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
    NTSTATUS refused;
    if (dgram && hk::wskdgram::TakeRefusal(true, &refused)) return CompleteNow(Irp, refused);
    auto* op = new Op{};
    op->kind = OpKind::Socket;
    op->irp = Irp;
    op->reg = reg;
    op->sockType = SocketType;
    op->sockFlags = Flags;
    return Accept(op);
}

NTSTATUS WSKAPI HkWskSocketConnect(PWSK_CLIENT, USHORT, ULONG, PSOCKADDR, PSOCKADDR, ULONG, PVOID,
                                   const VOID*, PEPROCESS, PETHREAD, PVOID, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS WSKAPI HkWskControlClient(PWSK_CLIENT, ULONG, SIZE_T, PVOID, SIZE_T, PVOID, SIZE_T*, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS WSKAPI HkWskGetAddressInfo(PWSK_CLIENT, PUNICODE_STRING, PUNICODE_STRING, ULONG, PVOID,
                                    PVOID, PVOID*, PEPROCESS, PETHREAD, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

VOID WSKAPI HkWskFreeAddressInfo(PWSK_CLIENT, PVOID) {}

NTSTATUS WSKAPI HkWskGetNameInfo(PWSK_CLIENT, PSOCKADDR, ULONG, PUNICODE_STRING, PUNICODE_STRING,
                                 ULONG, PEPROCESS, PETHREAD, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS WSKAPI HkWskControlSocket(PWSK_SOCKET, WSK_CONTROL_SOCKET_TYPE, ULONG, ULONG, SIZE_T,
                                   PVOID, SIZE_T, PVOID, SIZE_T*, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

Op* NewOp(OpKind k, PWSK_SOCKET ws, PIRP irp, const char* what) {
    if (irp == nullptr) WskFatal("%s without an IRP", what);
    auto* op = new Op{};
    op->kind = k;
    op->irp = irp;
    op->sock = Lookup(ws, what);
    return op;
}

NTSTATUS WSKAPI HkWskCloseSocket(PWSK_SOCKET Socket, PIRP Irp) {
    Op* op = NewOp(OpKind::Close, Socket, Irp, "WskCloseSocket");
    {
        std::lock_guard<std::mutex> g(op->sock->lock);
        if (op->sock->closing || op->sock->closeRequested)
            WskFatal("WskCloseSocket called twice on %p", Socket);
        op->sock->closeRequested = true;
    }
    return Accept(op);
}

NTSTATUS WSKAPI HkWskBind(PWSK_SOCKET Socket, PSOCKADDR LocalAddress, ULONG Flags, PIRP Irp) {
    Op* op = NewOp(OpKind::Bind, Socket, Irp, "WskBind");
    if (!FromSockaddr(LocalAddress, op->addr)) {
        delete op;
        return CompleteNow(Irp, STATUS_INVALID_ADDRESS);
    }
    return Accept(op);
}

NTSTATUS WSKAPI HkWskConnect(PWSK_SOCKET Socket, PSOCKADDR RemoteAddress, ULONG Flags, PIRP Irp) {
    Op* op = NewOp(OpKind::Connect, Socket, Irp, "WskConnect");
    if (!FromSockaddr(RemoteAddress, op->addr)) {
        delete op;
        return CompleteNow(Irp, STATUS_INVALID_ADDRESS);
    }
    return Accept(op);
}

NTSTATUS WSKAPI HkWskGetLocalAddress(PWSK_SOCKET Socket, PSOCKADDR LocalAddress, PIRP Irp) {
    Op* op = NewOp(OpKind::LocalAddress, Socket, Irp, "WskGetLocalAddress");
    if (LocalAddress == nullptr) {
        delete op;
        return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
    }
    op->out = LocalAddress;
    return Accept(op);
}

NTSTATUS WSKAPI HkWskGetRemoteAddress(PWSK_SOCKET Socket, PSOCKADDR RemoteAddress, PIRP Irp) {
    Op* op = NewOp(OpKind::RemoteAddress, Socket, Irp, "WskGetRemoteAddress");
    if (RemoteAddress == nullptr) {
        delete op;
        return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
    }
    op->out = RemoteAddress;
    return Accept(op);
}

bool IsBound(const std::shared_ptr<Socket>& s) {
    std::lock_guard<std::mutex> g(s->lock);
    return s->bound;
}

NTSTATUS CheckBuf(PWSK_BUF Buffer) {
    if (Buffer == nullptr || Buffer->Mdl == nullptr) return STATUS_INVALID_PARAMETER;
    if (Buffer->Length > MdlChainBytes(*Buffer)) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Send and receive queue the same way: the buffer is checked against its MDL chain before the
// packet is taken, as the provider on Windows does.
NTSTATUS QueueBufferOp(OpKind kind, const char* name, PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags,
                       PIRP Irp) {
    if ((kind == OpKind::Send || kind == OpKind::Receive) && hk::wskscript::Joined(Socket)) {
        if (Irp == nullptr) WskFatal("%s without an IRP", name);
        (void)Lookup(Socket, name);
        P().calls[HookKind(kind)]++;
        NTSTATUS st = CheckBuf(Buffer);
        if (!NT_SUCCESS(st)) return CompleteNow(Irp, st);
        return hk::wskscript::Transfer(Socket, kind == OpKind::Send, Buffer, Flags, Irp);
    }
    Op* op = NewOp(kind, Socket, Irp, name);
    NTSTATUS st = CheckBuf(Buffer);
    if (!NT_SUCCESS(st)) {
        delete op;
        return CompleteNow(Irp, st);
    }
    op->buf = *Buffer;
    op->flags = Flags;
    return Accept(op);
}

NTSTATUS WSKAPI HkWskSend(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags, PIRP Irp) {
    return QueueBufferOp(OpKind::Send, "WskSend", Socket, Buffer, Flags, Irp);
}

NTSTATUS WSKAPI HkWskReceive(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags, PIRP Irp) {
    return QueueBufferOp(OpKind::Receive, "WskReceive", Socket, Buffer, Flags, Irp);
}

NTSTATUS WSKAPI HkWskDisconnect(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags, PIRP Irp) {
    Op* op = NewOp(OpKind::Disconnect, Socket, Irp, "WskDisconnect");
    if (Buffer != nullptr && Buffer->Length != 0) {
        // A final send before the shutdown is not something this driver uses.
        delete op;
        return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
    }
    if (hk::wskscript::Joined(Socket)) {   // nothing to shut down: the script is no connection
        delete op;
        return CompleteNow(Irp, STATUS_SUCCESS);
    }
    op->flags = Flags;
    return Accept(op);
}

NTSTATUS WSKAPI HkWskRelease(PWSK_SOCKET, PWSK_DATA_INDICATION) { return STATUS_NOT_SUPPORTED; }

NTSTATUS WSKAPI HkWskConnectEx(PWSK_SOCKET, PSOCKADDR, PWSK_BUF, ULONG, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS WSKAPI HkWskSendEx(PWSK_SOCKET, PWSK_BUF, ULONG, ULONG, PCMSGHDR, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS WSKAPI HkWskReceiveEx(PWSK_SOCKET, PWSK_BUF, ULONG, PULONG, PCMSGHDR, PULONG, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

NTSTATUS WSKAPI HkWskSendTo(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags, PSOCKADDR RemoteAddress,
                            ULONG ControlInfoLength, PCMSGHDR ControlInfo, PIRP Irp) {
    Op* op = NewOp(OpKind::SendTo, Socket, Irp, "WskSendTo");
    NTSTATUS st = CheckBuf(Buffer);
    if (NT_SUCCESS(st) && !FromSockaddr(RemoteAddress, op->addr)) st = STATUS_INVALID_ADDRESS;
    if (NT_SUCCESS(st) && !IsBound(op->sock)) st = STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(st)) {
        delete op;
        return CompleteNow(Irp, st);
    }
    op->buf = *Buffer;
    op->flags = Flags;
    return Accept(op);
}

NTSTATUS WSKAPI HkWskReceiveFrom(PWSK_SOCKET Socket, PWSK_BUF Buffer, ULONG Flags, PSOCKADDR RemoteAddress,
                                 PULONG ControlLength, PCMSGHDR, PULONG ControlFlags, PIRP Irp) {
    Op* op = NewOp(OpKind::ReceiveFrom, Socket, Irp, "WskReceiveFrom");
    NTSTATUS st = CheckBuf(Buffer);
    if (NT_SUCCESS(st) && !IsBound(op->sock)) st = STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(st)) {
        delete op;
        return CompleteNow(Irp, st);
    }
    if (ControlLength) *ControlLength = 0;
    if (ControlFlags) *ControlFlags = 0;
    op->buf = *Buffer;
    op->flags = Flags;
    op->out = RemoteAddress;
    op->controlFlags = ControlFlags;
    return Accept(op);
}

NTSTATUS WSKAPI HkWskSendMessages(PWSK_SOCKET, PVOID, ULONG, PSOCKADDR, ULONG, PCMSGHDR, PIRP Irp) {
    return CompleteNow(Irp, STATUS_NOT_SUPPORTED);
}

const WSK_PROVIDER_DISPATCH g_hkProviderDispatch = {
    MAKE_WSK_VERSION(1, 0), 0,
    HkWskSocket, HkWskSocketConnect, HkWskControlClient,
    HkWskGetAddressInfo, HkWskFreeAddressInfo, HkWskGetNameInfo,
};

}  // namespace

const WSK_PROVIDER_CONNECTION_DISPATCH g_hkConnDispatch = {
    {HkWskControlSocket, HkWskCloseSocket},
    HkWskBind, HkWskConnect, HkWskGetLocalAddress, HkWskGetRemoteAddress,
    HkWskSend, HkWskReceive, HkWskDisconnect, HkWskRelease,
    HkWskConnectEx, HkWskSendEx, HkWskReceiveEx,
};

const WSK_PROVIDER_DATAGRAM_DISPATCH g_hkDgramDispatch = {
    {HkWskControlSocket, HkWskCloseSocket},
    HkWskBind, HkWskSendTo, HkWskReceiveFrom, HkWskRelease, HkWskGetLocalAddress, HkWskSendMessages,
};

void HkWskKickSocket(PWSK_SOCKET ws) {
    std::shared_ptr<Socket> s;
    {
        std::lock_guard<std::mutex> g(P().lock);
        auto it = P().sockets.find(ws);
        if (it == P().sockets.end()) return;
        s = it->second;
    }
    P().Kick(s);
}

// ---------------------------------------------------------------------------------------------
// Registration

namespace {
constexpr ULONGLONG kRegMagic = 0x4B53574B48ull;  // "HKWSK"

Registration* RegOf(PWSK_REGISTRATION r, const char* what) {
    if (r == nullptr || r->ReservedRegistrationState != kRegMagic || r->ReservedRegistrationContext == nullptr)
        WskFatal("%s: %p is not a live WSK registration", what, r);
    return static_cast<Registration*>(r->ReservedRegistrationContext);
}

void ReleaseStalled(Registration* only) {
    std::vector<Op*> ops;
    {
        std::lock_guard<std::mutex> g(P().lock);
        for (auto it = P().stalled.begin(); it != P().stalled.end();) {
            Registration* r = (*it)->sock ? (*it)->sock->reg : (*it)->reg;
            if (only == nullptr || r == only) {
                ops.push_back(*it);
                it = P().stalled.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Op* op : ops) {
        if (op->kind == OpKind::Close) {
            // A stalled close still has to happen; let the reactor do it now.
            op->stalled = false;
            IoSetCancelRoutine(op->irp, CancelOp);
            P().Submit(op);
            continue;
        }
        op->irp->Tail.Overlay.DriverContext[0] = nullptr;
        CompleteIrp(op->irp, STATUS_CANCELLED, 0);
        delete op;
    }
}
}  // namespace

extern "C" {

NTSTATUS WSKAPI WskRegister(PWSK_CLIENT_NPI WskClientNpi, PWSK_REGISTRATION WskRegistration) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) WskFatal("WskRegister above PASSIVE_LEVEL");
    if (WskClientNpi == nullptr || WskRegistration == nullptr || WskClientNpi->Dispatch == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (WSK_MAJOR_VERSION(WskClientNpi->Dispatch->Version) != 1) return STATUS_NOT_SUPPORTED;
    if (WskRegistration->ReservedRegistrationState == kRegMagic)
        WskFatal("WskRegister: registration %p is already registered", WskRegistration);
    auto* reg = new Registration();
    reg->client = *WskClientNpi;
    WskRegistration->ReservedRegistrationContext = reg;
    WskRegistration->ReservedRegistrationState = kRegMagic;
    P().registrations++;
    P().EnsureReactor();
    return STATUS_SUCCESS;
}

NTSTATUS WSKAPI WskCaptureProviderNPI(PWSK_REGISTRATION WskRegistration, ULONG WaitTimeout,
                                      PWSK_PROVIDER_NPI WskProviderNpi) {
    if (WaitTimeout != WSK_NO_WAIT && KeGetCurrentIrql() != PASSIVE_LEVEL)
        WskFatal("WskCaptureProviderNPI may wait only at PASSIVE_LEVEL");
    Registration* reg = RegOf(WskRegistration, "WskCaptureProviderNPI");
    P().captureCalls++;
    if (reg->deregistering) return STATUS_DEVICE_NOT_READY;
    NTSTATUS fail = STATUS_SUCCESS;
    ULONG delay = 0;
    {
        std::lock_guard<std::mutex> g(P().lock);
        if (P().hooks.captureFailCount) {
            if (P().hooks.captureFailCount != HK_WSK_FOREVER) P().hooks.captureFailCount--;
            fail = P().hooks.captureStatus;
            delay = P().hooks.captureDelayMs;
        }
    }
    if (fail != STATUS_SUCCESS) {
        if (WaitTimeout != WSK_INFINITE_WAIT && delay > WaitTimeout) delay = WaitTimeout;
        if (delay) {
            // On the host kernel's clock, so that tests that speed it up see the same limits.
            LARGE_INTEGER t;
            t.QuadPart = -(LONGLONG)delay * 10000;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        }
        return fail;
    }
    WskProviderNpi->Client = reg;
    WskProviderNpi->Dispatch = &g_hkProviderDispatch;
    reg->captures++;
    return STATUS_SUCCESS;
}

VOID WSKAPI WskReleaseProviderNPI(PWSK_REGISTRATION WskRegistration) {
    Registration* reg = RegOf(WskRegistration, "WskReleaseProviderNPI");
    if (reg->captures.fetch_sub(1) <= 0) WskFatal("WskReleaseProviderNPI without a capture");
}

VOID WSKAPI WskDeregister(PWSK_REGISTRATION WskRegistration) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) WskFatal("WskDeregister above PASSIVE_LEVEL");
    Registration* reg = RegOf(WskRegistration, "WskDeregister");
    reg->deregistering = true;
    ReleaseStalled(reg);
    // As on Windows, deregistration waits for every capture to be released and every socket to
    // be closed. A client that never does so hangs here on Windows; the host kernel says so.
    for (int i = 0; reg->captures.load() > 0 || reg->sockets.load() > 0; i++) {
        if (i == 3000)
            WskFatal("WskDeregister: %d captures and %d sockets still open after 30 s",
                     (int)reg->captures.load(), (int)reg->sockets.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    WskRegistration->ReservedRegistrationState = 0;
    WskRegistration->ReservedRegistrationContext = nullptr;
    delete reg;
    P().registrations--;
    P().StopReactorIfIdle();
}

// ---------------------------------------------------------------------------------------------
// Test hooks

VOID HkWskTestReset(VOID) {
    hk::wskdgram::ResetHooks();
    HkWskScriptDisarm();
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks = Hooks{};
    P().captureCalls = 0;
    P().lateCompletions = 0;
    for (auto& c : P().calls) c = 0;
}

VOID HkWskTestRefuseConnections(ULONG count) { HkWskTestFailConnect(STATUS_CONNECTION_REFUSED, count); }

VOID HkWskTestFailConnect(NTSTATUS status, ULONG count) {
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks.refuseCount = count;
    P().hooks.refuseStatus = status;
}

VOID HkWskTestResetAfterBytes(ULONGLONG receivedBytes, ULONGLONG sentBytes) {
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks.resetRecv = receivedBytes;
    P().hooks.resetSend = sentBytes;
    P().hooks.resetArmed = receivedBytes != 0 || sentBytes != 0;
}

VOID HkWskTestStall(HK_WSK_OP op, ULONG count) {
    if (op >= HkWskOpCount) return;
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks.stall[op] = count;
}

ULONG HkWskTestStalledIrps(VOID) {
    std::lock_guard<std::mutex> g(P().lock);
    return (ULONG)P().stalled.size();
}

VOID HkWskTestReleaseStalled(VOID) { ReleaseStalled(nullptr); }

VOID HkWskTestFailCapture(NTSTATUS status, ULONG count, ULONG delayMs) {
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks.captureFailCount = count;
    P().hooks.captureStatus = status;
    P().hooks.captureDelayMs = delayMs;
}

VOID HkWskTestFailSend(NTSTATUS status, ULONG afterBytes, ULONG skip, ULONG count) {
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks.failSendStatus = status;
    P().hooks.failSendBytes = afterBytes;
    P().hooks.failSendSkip = skip;
    P().hooks.failSendCount = count;
}

VOID HkWskTestLateCancel(HK_WSK_OP op, ULONG count) {
    if (op >= HkWskOpCount) return;
    std::lock_guard<std::mutex> g(P().lock);
    P().hooks.lateCancel[op] = count;
}

ULONG HkWskTestLateCompletions(VOID) { return P().lateCompletions.load(); }

ULONG HkWskTestCaptureCalls(VOID) { return P().captureCalls.load(); }
LONG HkWskTestOpenSockets(VOID) { return P().openSockets.load(); }
LONG HkWskTestRegistrations(VOID) { return P().registrations.load(); }
ULONG HkWskTestCalls(HK_WSK_OP op) { return op < HkWskOpCount ? P().calls[op].load() : 0; }

NTSTATUS HkWskStatusFromErrno(int err) {
    switch (err) {
        case 0: return STATUS_SUCCESS;
        case ECONNREFUSED: return STATUS_CONNECTION_REFUSED;
        case ETIMEDOUT: return STATUS_IO_TIMEOUT;
        case ENETUNREACH: return STATUS_NETWORK_UNREACHABLE;
        case EHOSTUNREACH: return STATUS_HOST_UNREACHABLE;
        case ECONNRESET:
        case EPIPE: return STATUS_CONNECTION_RESET;
        case ECONNABORTED: return STATUS_CONNECTION_ABORTED;
        case EADDRINUSE: return STATUS_ADDRESS_ALREADY_EXISTS;
        case EADDRNOTAVAIL: return STATUS_INVALID_ADDRESS_COMPONENT;
        case ENETDOWN: return STATUS_NETWORK_UNREACHABLE;
        case EHOSTDOWN: return STATUS_HOST_DOWN;
        case ENOTCONN: return STATUS_INVALID_DEVICE_STATE;
        case EISCONN: return STATUS_CONNECTION_ACTIVE;
        case EINVAL: return STATUS_INVALID_PARAMETER;
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
        case EOPNOTSUPP: return STATUS_NOT_SUPPORTED;
        case ENOMEM:
        case ENOBUFS:
        case EMFILE:
        case ENFILE: return STATUS_INSUFFICIENT_RESOURCES;
        case EACCES:
        case EPERM: return STATUS_ACCESS_DENIED;
        case EMSGSIZE: return STATUS_BUFFER_OVERFLOW;
        default: return STATUS_UNSUCCESSFUL;
    }
}

}  // extern "C"
