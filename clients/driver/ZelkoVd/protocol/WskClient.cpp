// The kernel TCP socket client: driver-wide WSK registration, per-session connect and close, the
// per-session request-packet pool, and the transfer primitives every exchange rests on.
//
// Every WSK call is asynchronous. Each one is turned into a bounded wait: wait for the call's
// limit, cancel, wait 5 s more, and if the packet still has not come back, abandon it. An
// abandoned packet is never reused; its completion routine, should the network stack complete it
// after all, frees it together with the MDL it carried, because nobody else will.
#include "ProtocolInternal.h"

volatile LONG g_wskRegistered = 0;
volatile LONG g_wskInited = 0;
volatile LONG g_wskLocalAddrFamily = 0;
volatile ULONG g_wskLocalAddr = 0;

static WSK_REGISTRATION g_wskRegistration;
static WSK_PROVIDER_NPI g_wskProvider;
static const WSK_CLIENT_DISPATCH g_wskClientDispatch = {MAKE_WSK_VERSION(1, 0), 0, NULL};
// First-time initialisation may be raced by the activation thread and the control device; the
// gate lets one of them register while the other waits for the outcome.
static volatile LONG g_wskInitGate = 0;

// ---------------------------------------------------------------------------------------------
// Request packets

enum {
    PKT_PENDING = 0,
    PKT_COMPLETED = 1,
    PKT_ABANDONED = 2,
};

enum {
    PKT_FROM_POOL = 0,
    PKT_DIRECT = 1,
};

typedef struct DECLSPEC_ALIGN(16) _WSK_PACKET {
    SLIST_ENTRY entry;
    KEVENT event;
    volatile LONG state;
    UCHAR origin;
    BOOLEAN createsSocket;  // a late success must close the socket it created
    BOOLEAN mdlLocked;
    PMDL mdl;               // the MDL (chain) the call uses; freed here if the packet is abandoned
    WSK_BUF buf;
    SOCKADDR_IN addr;
    PIRP irp;
} WSK_PACKET, *PWSK_PACKET;

#define WSK_PACKET_HEADER ((ULONG)ALIGN_UP_BY(sizeof(WSK_PACKET), 16))
#define WSK_PACKET_SIZE (WSK_PACKET_HEADER + IoSizeOfIrp(1))

static VOID WskpFreeMdl(PMDL mdl, BOOLEAN locked) {
    while (mdl) {
        PMDL next = mdl->Next;
        if (locked) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
}

static VOID WskpFreePacketMemory(PWSK_PACKET p) {
    if (p->origin == PKT_DIRECT) {
        IoFreeIrp(p->irp);
        ExFreePoolWithTag(p, ZV_TAG_WSK_DIRECT);
    } else {
        ExFreePoolWithTag(p, ZV_TAG_WSK_PACKET);
    }
}

static IO_COMPLETION_ROUTINE WskpLateCloseComplete;

static NTSTATUS NTAPI WskpLateCloseComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    WskpFreePacketMemory((PWSK_PACKET)Context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static IO_COMPLETION_ROUTINE WskpIrpComplete;

static NTSTATUS NTAPI WskpIrpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PWSK_PACKET p = (PWSK_PACKET)Context;
    if (InterlockedCompareExchange(&p->state, PKT_COMPLETED, PKT_PENDING) == PKT_ABANDONED) {
        // Nobody waits any more: this completion owns the packet.
        WskpFreeMdl(p->mdl, p->mdlLocked);
        p->mdl = NULL;
        PWSK_SOCKET late = p->createsSocket && NT_SUCCESS(Irp->IoStatus.Status)
                               ? (PWSK_SOCKET)Irp->IoStatus.Information
                               : NULL;
        if (late != NULL) {
            IoReuseIrp(Irp, STATUS_UNSUCCESSFUL);
            IoSetCompletionRoutine(Irp, WskpLateCloseComplete, p, TRUE, TRUE, TRUE);
            ((const WSK_PROVIDER_BASIC_DISPATCH*)late->Dispatch)->WskCloseSocket(late, Irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        WskpFreePacketMemory(p);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KeSetEvent(&p->event, IO_NO_INCREMENT, FALSE);
    // The packet stays the driver's: it goes back to the pool.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static PVOID NTAPI WskpPacketAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    UNREFERENCED_PARAMETER(PoolType);
    return ExAllocatePoolWithTag(NonPagedPoolNx, NumberOfBytes, Tag);
}

static VOID NTAPI WskpPacketFree(PVOID Buffer) { ExFreePoolWithTag(Buffer, ZV_TAG_WSK_PACKET); }

static VOID WskpPoolInit(PPROTOCOL_SESSION s) {
    InitializeSListHead(&s->irpPool.freeList);
    ExInitializeNPagedLookasideList(&s->irpPool.allocator, WskpPacketAllocate, WskpPacketFree, 0,
                                    WSK_PACKET_SIZE, ZV_TAG_WSK_PACKET, 0);
    s->irpPool.initialized = TRUE;
}

static VOID WskpPoolDestroy(PPROTOCOL_SESSION s) {
    if (!s->irpPool.initialized) return;
    PSLIST_ENTRY e;
    while ((e = InterlockedPopEntrySList(&s->irpPool.freeList)) != NULL)
        ExFreeToNPagedLookasideList(&s->irpPool.allocator, CONTAINING_RECORD(e, WSK_PACKET, entry));
    ExDeleteNPagedLookasideList(&s->irpPool.allocator);
    s->irpPool.initialized = FALSE;
}

static PWSK_PACKET WskpGetPacket(PPROTOCOL_SESSION s) {
    PWSK_PACKET p = NULL;
    PSLIST_ENTRY e = InterlockedPopEntrySList(&s->irpPool.freeList);
    if (e != NULL) {
        p = CONTAINING_RECORD(e, WSK_PACKET, entry);
    } else {
        p = (PWSK_PACKET)ExAllocateFromNPagedLookasideList(&s->irpPool.allocator);
    }
    if (p != NULL) {
        RtlZeroMemory(p, WSK_PACKET_HEADER);
        p->origin = PKT_FROM_POOL;
        p->irp = (PIRP)((PUCHAR)p + WSK_PACKET_HEADER);
        IoInitializeIrp(p->irp, IoSizeOfIrp(1), 1);
        InterlockedIncrement(&s->stats.poolHits);
    } else {
        p = (PWSK_PACKET)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WSK_PACKET), ZV_TAG_WSK_DIRECT);
        if (p == NULL) return NULL;
        RtlZeroMemory(p, sizeof(WSK_PACKET));
        p->irp = IoAllocateIrp(1, FALSE);
        if (p->irp == NULL) {
            ExFreePoolWithTag(p, ZV_TAG_WSK_DIRECT);
            return NULL;
        }
        p->origin = PKT_DIRECT;
        InterlockedIncrement(&s->stats.poolMisses);
    }
    KeInitializeEvent(&p->event, NotificationEvent, FALSE);
    p->state = PKT_PENDING;
    IoSetCompletionRoutine(p->irp, WskpIrpComplete, p, TRUE, TRUE, TRUE);
    return p;
}

static VOID WskpPutPacket(PPROTOCOL_SESSION s, PWSK_PACKET p) {
    if (p->origin == PKT_DIRECT) {
        WskpFreePacketMemory(p);
        return;
    }
    if (QueryDepthSList(&s->irpPool.freeList) < WSK_IRP_POOL_DEPTH) {
        InterlockedPushEntrySList(&s->irpPool.freeList, &p->entry);
    } else {
        ExFreeToNPagedLookasideList(&s->irpPool.allocator, p);
    }
}

// The bounded wait. Returns the packet's status, or STATUS_TIMEOUT when the wait ran out (the
// cancel may or may not have completed it). *abandoned tells the caller that the packet (and its
// MDL) now belong to the network stack.
static NTSTATUS WskpWait(PPROTOCOL_SESSION s, PWSK_PACKET p, NTSTATUS callStatus, ULONG limitMs,
                         PBOOLEAN abandoned) {
    *abandoned = FALSE;
    if (callStatus != STATUS_PENDING) {
        // Completed in the call; the completion routine has run already.
        return p->irp->IoStatus.Status;
    }
    LARGE_INTEGER t = WpRelativeMs(limitMs);
    NTSTATUS w = KeWaitForSingleObject(&p->event, Executive, KernelMode, FALSE, &t);
    if (w != STATUS_TIMEOUT) return p->irp->IoStatus.Status;

    InterlockedIncrement64(&s->stats.waitTimeouts);
    IoCancelIrp(p->irp);
    t = WpRelativeMs(WSK_LIMIT_AFTER_CANCEL_MS);
    w = KeWaitForSingleObject(&p->event, Executive, KernelMode, FALSE, &t);
    if (w == STATUS_TIMEOUT &&
        InterlockedCompareExchange(&p->state, PKT_ABANDONED, PKT_PENDING) == PKT_PENDING) {
        InterlockedIncrement64(&s->stats.abandonedPackets);
        *abandoned = TRUE;
        return STATUS_TIMEOUT;
    }
    // Completed (perhaps just now, racing the abandonment): the event is set or about to be.
    KeWaitForSingleObject(&p->event, Executive, KernelMode, FALSE, NULL);
    return STATUS_TIMEOUT;
}

// The result of a setup call (socket, bind, connect, address). These calls have no "nothing
// arrived yet" meaning for STATUS_TIMEOUT, which would read as success: a wait that ran out is a
// time-out failure, unless the packet completed with its own result while we cancelled it.
static NTSTATUS WskpSetupStatus(PWSK_PACKET p, NTSTATUS waited, BOOLEAN abandoned) {
    if (abandoned) return STATUS_IO_TIMEOUT;
    if (waited != STATUS_TIMEOUT) return waited;
    NTSTATUS st = p->irp->IoStatus.Status;
    return st == STATUS_CANCELLED || st == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : st;
}

static const WSK_PROVIDER_CONNECTION_DISPATCH* WskpConn(PWSK_SOCKET sock) {
    return (const WSK_PROVIDER_CONNECTION_DISPATCH*)sock->Dispatch;
}

// ---------------------------------------------------------------------------------------------
// Registration

NTSTATUS WskClient_Initialize(VOID) {
    if (InterlockedCompareExchange(&g_wskInited, 0, 0)) {
        PLOG("WskClient_Initialize 跳过（g_wskInited=1）\n");
        return STATUS_SUCCESS;
    }
    while (InterlockedCompareExchange(&g_wskInitGate, 1, 0) != 0) WpSleepMs(10);
    if (InterlockedCompareExchange(&g_wskInited, 0, 0)) {
        // The racing caller finished it while we waited.
        InterlockedExchange(&g_wskInitGate, 0);
        PLOG("WskClient_Initialize 跳过（g_wskInited=1）\n");
        return STATUS_SUCCESS;
    }

    NTSTATUS st;
    PLOG("WskClient_Initialize 开始（g_wskInited=0, g_wskRegistered=%d）\n",
         (int)InterlockedCompareExchange(&g_wskRegistered, 0, 0));
    if (InterlockedCompareExchange(&g_wskRegistered, 0, 0)) {
        PLOG("WskRegister 已完成（跳过重复注册，复用已有 registration）\n");
    } else {
        WSK_CLIENT_NPI npi;
        npi.ClientContext = NULL;
        npi.Dispatch = &g_wskClientDispatch;
        PLOG("WskRegister 前版本检查: Version=0x%04X (应为 0x0100)\n", (ULONG)g_wskClientDispatch.Version);
        st = WskRegister(&npi, &g_wskRegistration);
        if (!NT_SUCCESS(st)) {
            PLOG("WskRegister 失败: 0x%08X\n", (ULONG)st);
            InterlockedExchange(&g_wskInitGate, 0);
            return st;
        }
        InterlockedExchange(&g_wskRegistered, 1);
        PLOG("WskRegister OK（首次注册）\n");
    }

    st = STATUS_NOINTERFACE;
    LARGE_INTEGER freq;
    for (int attempt = 1; attempt <= WSK_CAPTURE_ATTEMPTS; attempt++) {
        LARGE_INTEGER t0 = KeQueryPerformanceCounter(&freq);
        st = WskCaptureProviderNPI(&g_wskRegistration, WSK_CAPTURE_WAIT_MS, &g_wskProvider);
        LARGE_INTEGER t1 = KeQueryPerformanceCounter(NULL);
        ULONGLONG ms = freq.QuadPart ? (ULONGLONG)(t1.QuadPart - t0.QuadPart) * 1000 / (ULONGLONG)freq.QuadPart : 0;
        PLOG("WskCaptureProviderNPI[%d/30] 返回 0x%08X，耗时 %llu ms\n", attempt, (ULONG)st, ms);
        if (NT_SUCCESS(st)) {
            InterlockedExchange(&g_wskInited, 1);
            PLOG("WSK provider 捕获成功（g_wskInited=1）\n");
            InterlockedExchange(&g_wskInitGate, 0);
            return STATUS_SUCCESS;
        }
        if (st != STATUS_NOINTERFACE) {
            PLOG("非 STATUS_NOINTERFACE，停止重试: 0x%08X\n", (ULONG)st);
            break;
        }
        if (ms < 1000) {
            PLOG("立即返回，等待 1 秒后重试（等待 NETIO 就绪）\n");
            WpSleepMs(1000);
        } else {
            PLOG("已等待 %llu ms，继续重试\n", ms);
        }
    }
    PLOG("WskCaptureProvider 最终失败: 0x%08X（已重试 30 次）\n", (ULONG)st);
    PLOG("保留 WskRegistration（不 deregister），下次可重试\n");
    InterlockedExchange(&g_wskInitGate, 0);
    return st;
}

VOID WskClient_Cleanup(VOID) {
    if (InterlockedExchange(&g_wskInited, 0)) WskReleaseProviderNPI(&g_wskRegistration);
    if (InterlockedExchange(&g_wskRegistered, 0)) WskDeregister(&g_wskRegistration);
}

// ---------------------------------------------------------------------------------------------
// Connect and close

static VOID WskpCloseSocket(PPROTOCOL_SESSION s) {
    PWSK_SOCKET sock = s->socket;
    s->socket = NULL;
    WpSetFlag(&s->connected, FALSE);
    if (sock == NULL) return;
    PWSK_PACKET p = WskpGetPacket(s);
    if (p == NULL) return;  // dropped without a close: nothing else can be done here
    NTSTATUS st = WskpConn(sock)->Basic.WskCloseSocket(sock, p->irp);
    BOOLEAN abandoned;
    WskpWait(s, p, st, WpFlag(&s->removing) ? WSK_LIMIT_CLOSE_REMOVING_MS : WSK_LIMIT_CLOSE_MS, &abandoned);
    if (!abandoned) WskpPutPacket(s, p);
}

VOID WskClient_Disconnect(PPROTOCOL_SESSION Session) { WskpCloseSocket(Session); }

// Dotted IPv4: four non-empty decimal parts of at most 255, single dots, nothing after.
NTSTATUS WskpParseIpv4(PCWSTR text, ULONG units, PULONG addrNetworkOrder) {
    ULONG parts = 0, value = 0, digits = 0;
    UCHAR bytes[4];
    for (ULONG i = 0; i <= units; i++) {
        WCHAR c = i < units ? text[i] : L'\0';
        if (c >= L'0' && c <= L'9') {
            value = value * 10 + (ULONG)(c - L'0');
            if (++digits > 3 || value > 255) return STATUS_INVALID_PARAMETER;
        } else if (c == L'.' || c == L'\0') {
            if (digits == 0 || parts >= 4) return STATUS_INVALID_PARAMETER;
            bytes[parts++] = (UCHAR)value;
            value = 0;
            digits = 0;
            if (c == L'\0') break;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (parts != 4) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(addrNetworkOrder, bytes, 4);
    return STATUS_SUCCESS;
}

static USHORT WskpHtons(USHORT v) { return (USHORT)((v >> 8) | (v << 8)); }

NTSTATUS WskClient_Connect(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    PLOG("WskClient_Connect 入口: connected=%d, g_wskInited=%d, serverPort=%u\n", (int)WpFlag(&s->connected),
         (int)InterlockedCompareExchange(&g_wskInited, 0, 0), (ULONG)s->serverPort);
    if (WpFlag(&s->connected)) return STATUS_SUCCESS;

    NTSTATUS st;
    if (!InterlockedCompareExchange(&g_wskInited, 0, 0)) {
        st = WskClient_Initialize();
        if (!NT_SUCCESS(st)) {
            PLOG("WskClient_Connect - WskClient_Initialize 失败 0x%08X\n", (ULONG)st);
            FileLogWrite("[WskConnect] WskClient_Initialize 失败 0x%08X\n", (ULONG)st);
            return st;
        }
    }
    if (s->socket != NULL) WskpCloseSocket(s);  // a leftover from a failed exchange

    // Socket
    FileLogWrite("[WskConnect] WskSocket 开始\n");
    PWSK_PACKET p = WskpGetPacket(s);
    if (p == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    p->createsSocket = TRUE;
    st = g_wskProvider.Dispatch->WskSocket(g_wskProvider.Client, AF_INET, SOCK_STREAM, IPPROTO_TCP,
                                           WSK_FLAG_CONNECTION_SOCKET, NULL, NULL, NULL, NULL, NULL, p->irp);
    if (!NT_SUCCESS(st)) {
        PLOG("WskSocket 立即失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskSocket 立即失败 0x%08X\n", (ULONG)st);
        WskpPutPacket(s, p);
        return st;
    }
    BOOLEAN abandoned;
    NTSTATUS w = WskpWait(s, p, st, WSK_LIMIT_SETUP_MS, &abandoned);
    st = WskpSetupStatus(p, w, abandoned);
    if (!NT_SUCCESS(st)) {
        PLOG("WskSocket 超时/失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskSocket 失败 0x%08X\n", (ULONG)st);
        if (!abandoned) WskpPutPacket(s, p);
        return st;
    }
    PWSK_SOCKET sock = (PWSK_SOCKET)p->irp->IoStatus.Information;
    WskpPutPacket(s, p);
    if (sock == NULL) {
        FileLogWrite("[WskConnect] WskSocket 返回空\n");
        return STATUS_UNSUCCESSFUL;
    }
    FileLogWrite("[WskConnect] WskSocket 成功\n");
    s->socket = sock;

    // Bind to any local address
    PLOG("调用 WskBind -> 0.0.0.0:0\n");
    p = WskpGetPacket(s);
    if (p == NULL) {
        WskpCloseSocket(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&p->addr, sizeof(p->addr));
    p->addr.sin_family = AF_INET;
    st = WskpConn(sock)->WskBind(sock, (PSOCKADDR)&p->addr, 0, p->irp);
    w = WskpWait(s, p, st, WSK_LIMIT_SETUP_MS, &abandoned);
    st = WskpSetupStatus(p, w, abandoned);
    if (!abandoned) WskpPutPacket(s, p);
    PLOG("WskBind 返回 0x%08X\n", (ULONG)st);
    FileLogWrite("[WskConnect] WskBind 0x%08X\n", (ULONG)st);
    if (!NT_SUCCESS(st)) {
        WskpCloseSocket(s);
        return st;
    }

    // Server address
    ULONG units = 0;
    while (units < PROTO_SERVER_IP_UNITS && s->serverIp[units] != 0) units++;
    if (units == 0 || units >= PROTO_SERVER_IP_UNITS) {
        FileLogWrite("[WskConnect] serverIp 为空\n");
        WskpCloseSocket(s);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ip;
    st = WskpParseIpv4(s->serverIp, units, &ip);
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[WskConnect] 解析 IP 失败 0x%08X\n", (ULONG)st);
        WskpCloseSocket(s);
        return st;
    }

    // Connect
    PLOG("调用 WskConnect -> %ws:%u\n", s->serverIp, (ULONG)s->serverPort);
    FileLogWrite("[WskConnect] WskConnect -> %ws:%u\n", s->serverIp, (ULONG)s->serverPort);
    p = WskpGetPacket(s);
    if (p == NULL) {
        WskpCloseSocket(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(&p->addr, sizeof(p->addr));
    p->addr.sin_family = AF_INET;
    p->addr.sin_port = WskpHtons(s->serverPort);
    p->addr.sin_addr.S_un.S_addr = ip;
    st = WskpConn(sock)->WskConnect(sock, (PSOCKADDR)&p->addr, 0, p->irp);
    if (!NT_SUCCESS(st)) {
        PLOG("WskConnect 立即失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskConnect 立即失败 0x%08X\n", (ULONG)st);
        WskpPutPacket(s, p);
        WskpCloseSocket(s);
        return st;
    }
    w = WskpWait(s, p, st, WSK_LIMIT_SETUP_MS, &abandoned);
    st = WskpSetupStatus(p, w, abandoned);
    if (!abandoned) WskpPutPacket(s, p);
    if (!NT_SUCCESS(st)) {
        PLOG("WskConnect 超时/失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskConnect 失败 0x%08X\n", (ULONG)st);
        WskpCloseSocket(s);
        return st;
    }
    WpSetFlag(&s->connected, TRUE);
    InterlockedIncrement64(&s->stats.connects);

    // Local address, for the UDP channel; a failure here does not fail the connect.
    p = WskpGetPacket(s);
    if (p != NULL) {
        RtlZeroMemory(&p->addr, sizeof(p->addr));
        st = WskpConn(sock)->WskGetLocalAddress(sock, (PSOCKADDR)&p->addr, p->irp);
        w = WskpWait(s, p, st, WSK_LIMIT_SETUP_MS, &abandoned);
        st = WskpSetupStatus(p, w, abandoned);
        if (NT_SUCCESS(st) && p->addr.sin_family == AF_INET) {
            const UCHAR* b = (const UCHAR*)&p->addr.sin_addr;
            InterlockedExchange(&g_wskLocalAddrFamily, AF_INET);
            InterlockedExchange((volatile LONG*)&g_wskLocalAddr, (LONG)p->addr.sin_addr.S_un.S_addr);
            FileLogWrite("[WskConnect] 本地地址 %u.%u.%u.%u:%u\n", (ULONG)b[0], (ULONG)b[1], (ULONG)b[2],
                         (ULONG)b[3], (ULONG)WskpHtons(p->addr.sin_port));
        } else if (!NT_SUCCESS(st)) {
            FileLogWrite("[WskConnect] WskGetLocalAddress 失败 0x%08X\n", (ULONG)st);
        }
        if (!abandoned) WskpPutPacket(s, p);
    } else {
        FileLogWrite("[WskConnect] WskGetLocalAddress 失败 0x%08X\n", (ULONG)STATUS_INSUFFICIENT_RESOURCES);
    }
    FileLogWrite("[WskConnect] 连接成功\n");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Transfers

// Runs one send or receive of an MDL (chain) on a pool packet with the bounded wait. Unless the
// packet was abandoned (its completion routine then owns packet and MDLs), the MDLs are freed,
// the packet goes back to the pool and *info holds the bytes moved.
static NTSTATUS WskpRunBufferPacket(PPROTOCOL_SESSION s, PWSK_PACKET p, PMDL mdl, BOOLEAN locked, ULONG length,
                                    BOOLEAN send, ULONG limitMs, PBOOLEAN abandoned, ULONG_PTR* info) {
    p->mdl = mdl;
    p->mdlLocked = locked;
    p->buf.Mdl = mdl;
    p->buf.Offset = 0;
    p->buf.Length = length;
    PWSK_SOCKET sock = s->socket;
    NTSTATUS st = send ? WskpConn(sock)->WskSend(sock, &p->buf, 0, p->irp)
                       : WskpConn(sock)->WskReceive(sock, &p->buf, 0, p->irp);
    st = WskpWait(s, p, st, limitMs, abandoned);
    *info = 0;
    if (*abandoned) return st;
    *info = p->irp->IoStatus.Information;
    p->mdl = NULL;
    WskpFreeMdl(mdl, locked);
    WskpPutPacket(s, p);
    return st;
}

static NTSTATUS WskpTransfer(PPROTOCOL_SESSION s, PVOID buffer, ULONG length, BOOLEAN send, PULONG moved,
                             ULONG limitMs) {
    *moved = 0;
    if (!WpFlag(&s->connected) || s->socket == NULL) return STATUS_DEVICE_NOT_CONNECTED;
    if (length == 0) return STATUS_SUCCESS;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, NULL);
    if (mdl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    // GCC has no structured exception handling; the buffers handed to this layer are always
    // resident system-space memory, so the probe cannot fault.
    MmProbeAndLockPages(mdl, KernelMode, send ? IoReadAccess : IoWriteAccess);
    PWSK_PACKET p = WskpGetPacket(s);
    if (p == NULL) {
        WskpFreeMdl(mdl, TRUE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BOOLEAN abandoned;
    ULONG_PTR info;
    NTSTATUS st = WskpRunBufferPacket(s, p, mdl, TRUE, length, send, limitMs, &abandoned, &info);
    if (abandoned || st == STATUS_TIMEOUT) return STATUS_TIMEOUT;
    if (!NT_SUCCESS(st)) return st;
    if (info > length) info = length;
    *moved = (ULONG)info;
    InterlockedAdd64(send ? &s->stats.bytesSent : &s->stats.bytesReceived, (LONG64)info);
    return st;
}

NTSTATUS WskClient_Send(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesSent) {
    return WskpTransfer(Session, Buffer, Length, TRUE, BytesSent, WSK_LIMIT_SEND_MS);
}

NTSTATUS WskClient_Receive(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived) {
    return WskpTransfer(Session, Buffer, Length, FALSE, BytesReceived, WSK_LIMIT_RECEIVE_MS);
}

NTSTATUS WskpReceiveLimited(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived,
                            ULONG LimitMs) {
    if (LimitMs == 0 || LimitMs > WSK_LIMIT_RECEIVE_MS) LimitMs = WSK_LIMIT_RECEIVE_MS;
    return WskpTransfer(Session, Buffer, Length, FALSE, BytesReceived, LimitMs);
}

NTSTATUS WskClient_SendChain(PPROTOCOL_SESSION Session, PVOID Buffers[3], ULONG Lengths[3], ULONG Count,
                             ULONG Total) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected) || s->socket == NULL) return STATUS_DEVICE_NOT_CONNECTED;
    PMDL first = NULL, last = NULL;
    ULONG sum = 0;
    for (ULONG i = 0; i < Count && i < 3; i++) {
        if (Buffers[i] == NULL || Lengths[i] == 0) continue;
        PMDL m = IoAllocateMdl(Buffers[i], Lengths[i], FALSE, FALSE, NULL);
        if (m == NULL) {
            WskpFreeMdl(first, FALSE);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(m);
        if (last) last->Next = m;
        else first = m;
        last = m;
        sum += Lengths[i];
    }
    if (first == NULL || sum != Total) {
        WskpFreeMdl(first, FALSE);
        return STATUS_INVALID_PARAMETER;
    }
    PWSK_PACKET p = WskpGetPacket(s);
    if (p == NULL) {
        WskpFreeMdl(first, FALSE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BOOLEAN abandoned;
    ULONG_PTR info;
    NTSTATUS st = WskpRunBufferPacket(s, p, first, FALSE, Total, TRUE, WSK_LIMIT_SEND_MS, &abandoned, &info);
    if (abandoned || st == STATUS_TIMEOUT) return STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(st)) return st;
    InterlockedAdd64(&s->stats.bytesSent, (LONG64)info);
    return info == Total ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS WskClient_SendAll(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length) {
    PUCHAR b = (PUCHAR)Buffer;
    ULONG done = 0;
    while (done < Length) {
        ULONG n = 0;
        NTSTATUS st = WskClient_Send(Session, b + done, Length - done, &n);
        if (!NT_SUCCESS(st)) return st;
        if (n == 0) return STATUS_UNSUCCESSFUL;
        done += n;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WskClient_ReceiveAll(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length) {
    return WskClient_ReceiveAllDeadline(Session, Buffer, Length, 0);
}

NTSTATUS WskClient_ReceiveAllDeadline(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length,
                                      ULONG DeadlineMs) {
    PUCHAR b = (PUCHAR)Buffer;
    ULONG done = 0;
    LONGLONG deadline = 0;
    if (DeadlineMs > 0) {
        LARGE_INTEGER freq;
        LARGE_INTEGER now = KeQueryPerformanceCounter(&freq);
        deadline = now.QuadPart + (LONGLONG)DeadlineMs * freq.QuadPart / 1000;
    }
    while (done < Length) {
        if (DeadlineMs > 0 && KeQueryPerformanceCounter(NULL).QuadPart >= deadline) return STATUS_IO_TIMEOUT;
        ULONG n = 0;
        NTSTATUS st = WskClient_Receive(Session, b + done, Length - done, &n);
        if (st == STATUS_TIMEOUT && DeadlineMs > 0) continue;  // nothing yet; the deadline decides
        if (!NT_SUCCESS(st)) return st;
        if (n == 0) return STATUS_CONNECTION_DISCONNECTED;
        done += n;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Session life cycle (pool part)

VOID WskpSessionPoolInit(PPROTOCOL_SESSION s) { WskpPoolInit(s); }
VOID WskpSessionPoolDestroy(PPROTOCOL_SESSION s) { WskpPoolDestroy(s); }
