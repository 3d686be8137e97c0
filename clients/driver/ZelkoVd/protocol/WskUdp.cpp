// The UDP channel: one datagram socket towards the disk server's UDP port, one receive thread,
// and a table of waiting requests paired with their answers by the header's seq (the reqId).
//
// Up to 128 requests are outstanding at once (the window); each is sent again every 200 ms, at
// most 16 times. The first answer wins; late answers and duplicates find no waiting record and
// are dropped. The channel has a WSK registration of its own, so that it can come and go without
// touching the TCP side's.
//
// Teardown under load: senders hold a reference (sendRefs) while they use the socket, and the
// receive thread issues its receives under receiveLock; the disconnect clears `active`, waits
// for the senders, takes the socket away under receiveLock and only then closes it. So no call
// ever reaches a closed socket.
#include "ProtocolInternal.h"

// ---------------------------------------------------------------------------------------------
// State

typedef struct _WSKUDP_PENDING {
    LIST_ENTRY link;
    ULONG seq;
    ULONG reqId;
    const VOID* request;
    ULONG requestLength;
    PVOID answer;
    ULONG capacity;
    ULONG received;
    ULONG payloadLength;
    ZV_MESSAGE_HEADER answerHeader;
    NTSTATUS status;
    BOOLEAN completed;
    BOOLEAN linked;
    BOOLEAN holdsWindow;
    ULONG retransmits;
    KEVENT event;
} WSKUDP_PENDING, *PWSKUDP_PENDING;

typedef struct _WSKUDP_BUCKET {
    KSPIN_LOCK lock;
    LIST_ENTRY head;
} WSKUDP_BUCKET;

typedef struct _WSKUDP_CHANNEL {
    WSK_REGISTRATION registration;
    WSK_PROVIDER_NPI provider;
    volatile LONG registered;
    PWSK_SOCKET socket;
    volatile LONG active;
    SOCKADDR_IN remote;
    KSEMAPHORE window;
    volatile LONG windowEnabled;
    WSKUDP_BUCKET buckets[WSKUDP_BUCKETS];
    NPAGED_LOOKASIDE_LIST pendingPool;
    volatile LONG pendingPoolReady;
    PUCHAR receiveBuffer;
    PMDL receiveMdl;
    PETHREAD receiveThread;
    volatile LONG stop;
    KEVENT stopEvent;
    FAST_MUTEX receiveLock;   // issuing a receive vs. taking the socket away
    volatile LONG sendRefs;   // senders inside the socket
    volatile LONG users;      // callers inside WskUdp_SendRecv (cleanup waits for them)
    PWSKUDP_PUSHBLOCK_HANDLER pushBlock;
    volatile LONG logSeq;
    WSKUDP_STATS stats;
} WSKUDP_CHANNEL;

static WSKUDP_CHANNEL g_udp;
static const WSK_CLIENT_DISPATCH g_udpClientDispatch = {MAKE_WSK_VERSION(1, 0), 0, NULL};
// Serialises initialise, connect, disconnect and cleanup (a gate, so that it needs no set-up).
static volatile LONG g_udpStateGate = 0;

static VOID WskUdpLockState(VOID) {
    while (InterlockedCompareExchange(&g_udpStateGate, 1, 0) != 0) WpSleepMs(1);
}
static VOID WskUdpUnlockState(VOID) { InterlockedExchange(&g_udpStateGate, 0); }

static const WSK_PROVIDER_DATAGRAM_DISPATCH* WskUdpDgram(PWSK_SOCKET sock) {
    return (const WSK_PROVIDER_DATAGRAM_DISPATCH*)sock->Dispatch;
}

// The socket pointer changes under receiveLock and is read by senders without it: always atomic.
static PWSK_SOCKET WskUdpSocket(VOID) {
    return (PWSK_SOCKET)InterlockedCompareExchangePointer((PVOID volatile*)&g_udp.socket, NULL, NULL);
}

static USHORT WskUdpHtons(USHORT v) { return (USHORT)((v >> 8) | (v << 8)); }

static ULONG WskUdpBucketOf(ULONG reqId) { return ((ULONG)(reqId * 0x1E3779B1u) >> 26) & 0x1F; }

#define UDP_STAT_INC(field) InterlockedIncrement64(&g_udp.stats.field)

// ---------------------------------------------------------------------------------------------
// Bounded calls (WskCall): a packet from the channel's pool, the call, and a wait of the call's
// limit, cancel, 5 s more, then abandonment. Receives land in the packet's own memory and are
// copied into the channel's receive buffer only when the packet came back.

static WSK_CALL_POOL g_udpPool;
// The receive thread's own pool: its idle 2 s slices end in a cancel by design, which must not
// count as wait time-outs of the channel's calls.
static WSK_CALL_POOL g_udpReceivePool;
static volatile LONG g_udpPoolHits, g_udpPoolMisses;

// Waits for a setup, send or close call. A packet that has to be abandoned is logged by its
// address, the way the channel has always reported such leaks.
static NTSTATUS WskUdpWaitIrp(PWSK_CALL c, NTSTATUS issued, ULONG seconds, PWSK_CALL_RESULT r) {
    PIRP irp = WskCallIrp(c);
    NTSTATUS st = WskCallWait(c, issued, seconds * 1000, r);
    if (r->abandoned) PLOG_ERR("WskUdpWaitIrp: IRP %p 取消超时，泄露以避免 UAF\n", irp);
    return st;
}

static VOID WskUdpCloseSocket(PWSK_SOCKET sock) {
    if (sock == NULL) return;
    PWSK_CALL c = WskCallGet(&g_udpPool);
    if (c == NULL) {
        PLOG_ERR("WskUdpCloseSocket: IRP 分配失败，socket 泄漏\n");
        return;
    }
    WSK_CALL_RESULT r;
    NTSTATUS st = WskUdpDgram(sock)->Basic.WskCloseSocket(sock, WskCallIrp(c));
    (VOID)WskUdpWaitIrp(c, st, WSKUDP_CLOSE_SECONDS, &r);
}

// ---------------------------------------------------------------------------------------------
// Single datagram send

// The datagram is described in place: a send that has to be abandoned only reads it later, and
// the channel's datagrams are requests whose stale copy can do no harm (an answer to it finds no
// waiting record).
static NTSTATUS WskUdpSendOne(const VOID* data, ULONG length) {
    if (length == 0 || data == NULL) return STATUS_INVALID_PARAMETER;
    InterlockedIncrement(&g_udp.sendRefs);
    PWSK_SOCKET sock = WskUdpSocket();
    if (!WpFlag(&g_udp.active) || sock == NULL) {
        InterlockedDecrement(&g_udp.sendRefs);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    PWSK_CALL c = WskCallGet(&g_udpPool);
    PWSK_BUF b = NULL;
    PVOID buffers[1] = {(PVOID)data};
    ULONG lengths[1] = {length};
    NTSTATUS st = c ? WskCallSendBuffers(c, buffers, lengths, 1, FALSE, &b) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(st)) {
        if (c) WskCallPut(c);
        InterlockedDecrement(&g_udp.sendRefs);
        return st;
    }
    RtlCopyMemory(WskCallAddress(c), &g_udp.remote, sizeof(g_udp.remote));
    st = WskUdpDgram(sock)->WskSendTo(sock, b, 0, WskCallAddress(c), 0, NULL, WskCallIrp(c));
    WSK_CALL_RESULT r;
    st = WskUdpWaitIrp(c, st, WSKUDP_SEND_SECONDS, &r);
    InterlockedDecrement(&g_udp.sendRefs);
    return st;
}

NTSTATUS WskUdp_SendDatagram(const VOID* datagram, ULONG length) { return WskUdpSendOne(datagram, length); }

// ---------------------------------------------------------------------------------------------
// Registration

static PVOID NTAPI WskUdpPendingAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    UNREFERENCED_PARAMETER(PoolType);
    return ExAllocatePoolWithTag(NonPagedPoolNx, NumberOfBytes, Tag);
}

static VOID NTAPI WskUdpPendingFree(PVOID Buffer) { ExFreePoolWithTag(Buffer, ZV_TAG_UDP_PENDING); }

static NTSTATUS WskUdpInitializeLocked(VOID) {
    if (WpFlag(&g_udp.registered)) return STATUS_SUCCESS;
    for (ULONG i = 0; i < WSKUDP_BUCKETS; i++) {
        KeInitializeSpinLock(&g_udp.buckets[i].lock);
        InitializeListHead(&g_udp.buckets[i].head);
    }
    if (!WpFlag(&g_udp.pendingPoolReady)) {
        ExInitializeNPagedLookasideList(&g_udp.pendingPool, WskUdpPendingAllocate, WskUdpPendingFree, 0,
                                        sizeof(WSKUDP_PENDING), ZV_TAG_UDP_PENDING, 0);
        WSK_CALL_COUNTERS counters = {&g_udp.stats.waitTimeouts, &g_udp.stats.abandonedPackets, &g_udpPoolHits,
                                      &g_udpPoolMisses};
        WskCallPoolInit(&g_udpPool, &counters);
        counters.waitTimeouts = NULL;
        WskCallPoolInit(&g_udpReceivePool, &counters);
        WpSetFlag(&g_udp.pendingPoolReady, TRUE);
    }
    KeInitializeSemaphore(&g_udp.window, WSKUDP_WINDOW, WSKUDP_WINDOW);
    WpSetFlag(&g_udp.windowEnabled, TRUE);
    KeInitializeEvent(&g_udp.stopEvent, NotificationEvent, FALSE);
    ExInitializeFastMutex(&g_udp.receiveLock);
    if (g_udp.logSeq == 0) g_udp.logSeq = 1;

    if (g_udp.receiveBuffer == NULL) {
        g_udp.receiveBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, WSKUDP_RECEIVE_BUFFER, ZV_TAG_UDP_BUFFER);
        if (g_udp.receiveBuffer == NULL) {
            PLOG_ERR("WskUdp_Initialize: 接收缓冲分配失败\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        g_udp.receiveMdl = IoAllocateMdl(g_udp.receiveBuffer, WSKUDP_RECEIVE_BUFFER, FALSE, FALSE, NULL);
        if (g_udp.receiveMdl == NULL) {
            PLOG_ERR("WskUdp_Initialize: 接收 MDL 分配失败\n");
            ExFreePoolWithTag(g_udp.receiveBuffer, ZV_TAG_UDP_BUFFER);
            g_udp.receiveBuffer = NULL;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(g_udp.receiveMdl);
    }

    WSK_CLIENT_NPI npi;
    npi.ClientContext = NULL;
    npi.Dispatch = &g_udpClientDispatch;
    NTSTATUS st = WskRegister(&npi, &g_udp.registration);
    if (!NT_SUCCESS(st)) {
        PLOG_ERR("WskUdp: WskRegister 失败 0x%08X\n", (ULONG)st);
    } else {
        st = WskCaptureProviderNPI(&g_udp.registration, WSK_CAPTURE_WAIT_MS, &g_udp.provider);
        if (!NT_SUCCESS(st)) {
            PLOG_ERR("WskUdp: WskCaptureProvider 失败 0x%08X（NETIO 可能未就绪）\n", (ULONG)st);
            WskDeregister(&g_udp.registration);
        }
    }
    if (!NT_SUCCESS(st)) {
        IoFreeMdl(g_udp.receiveMdl);
        ExFreePoolWithTag(g_udp.receiveBuffer, ZV_TAG_UDP_BUFFER);
        g_udp.receiveMdl = NULL;
        g_udp.receiveBuffer = NULL;
        return st;
    }
    WpSetFlag(&g_udp.registered, TRUE);
    PLOG_INFO("WskUdp_Initialize: WSK UDP provider 注册成功（窗口=%u 桶=%u 池化=ON）\n", (ULONG)WSKUDP_WINDOW,
              (ULONG)WSKUDP_BUCKETS);
    return STATUS_SUCCESS;
}

NTSTATUS WskUdp_Initialize(VOID) {
    if (WpFlag(&g_udp.registered)) return STATUS_SUCCESS;
    WskUdpLockState();
    NTSTATUS st = WskUdpInitializeLocked();
    WskUdpUnlockState();
    return st;
}

BOOLEAN WskUdp_IsActive(VOID) { return WpFlag(&g_udp.active); }

VOID WskUdp_RegisterPushBlock(PWSKUDP_PUSHBLOCK_HANDLER handler) {
    InterlockedExchangePointer((PVOID volatile*)&g_udp.pushBlock, (PVOID)handler);
    PLOG_INFO("WskUdp: PushBlock 回调已注册 cb=%p\n", (PVOID)handler);
}

VOID WskUdp_GetStats(PWSKUDP_STATS stats) {
    LONG64* out = (LONG64*)stats;
    volatile LONG64* in = (volatile LONG64*)&g_udp.stats;
    for (ULONG i = 0; i < sizeof(WSKUDP_STATS) / sizeof(LONG64); i++) out[i] = InterlockedCompareExchange64(&in[i], 0, 0);
}

// ---------------------------------------------------------------------------------------------
// Receive path

static VOID WskUdpHandlePushBlock(const ZV_MESSAGE_HEADER* h, ULONG datagramLength) {
    ULONG carried = datagramLength - (ULONG)sizeof(*h);
    UDP_STAT_INC(pushedBlocks);
    PWSKUDP_PUSHBLOCK_HANDLER handler =
        (PWSKUDP_PUSHBLOCK_HANDLER)InterlockedCompareExchangePointer((PVOID volatile*)&g_udp.pushBlock, NULL, NULL);
    if ((h->flags & zw::FlagData) && handler != NULL && carried > 0) {
        // The handler gets exactly the bytes the datagram holds: a length field that claims more
        // (or less) than that describes no block we could trust.
        if (h->length != carried) {
            UDP_STAT_INC(pushRejected);
            PLOG_DBG("WskUdp: PushBlock 长度不符 len=%u 实际=%u，丢弃\n", h->length, carried);
        } else if (handler(h->offset, h->length, g_udp.receiveBuffer + sizeof(*h))) {
            UDP_STAT_INC(pushAccepted);
        }
    }
    if (!WpFlag(&g_udp.active)) return;
    ZV_MESSAGE_HEADER ack;
    RtlZeroMemory(&ack, sizeof(ack));
    ack.magic = zw::kMagic;
    ack.version = zw::kVersion;
    ack.opcode = zw::OpPushBlockAck;
    ack.flags = 0;
    ack.seq = h->seq;
    ack.offset = h->offset;
    ack.length = h->length;
    if (NT_SUCCESS(WskUdpSendOne(&ack, sizeof(ack)))) UDP_STAT_INC(pushAcks);
}

static VOID WskUdpHandleAnswer(const ZV_MESSAGE_HEADER* h, ULONG datagramLength) {
    ULONG payload = datagramLength - (ULONG)sizeof(*h);
    WSKUDP_BUCKET* b = &g_udp.buckets[WskUdpBucketOf(h->seq)];
    BOOLEAN found = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&b->lock, &irql);
    for (PLIST_ENTRY e = b->head.Flink; e != &b->head; e = e->Flink) {
        PWSKUDP_PENDING r = CONTAINING_RECORD(e, WSKUDP_PENDING, link);
        if (r->completed || r->reqId != h->seq) continue;
        ULONG n = payload < r->capacity ? payload : r->capacity;
        if (r->answer != NULL && n != 0) RtlCopyMemory(r->answer, g_udp.receiveBuffer + sizeof(*h), n);
        r->received = n;
        r->payloadLength = payload;
        r->answerHeader = *h;
        r->status = STATUS_SUCCESS;
        r->completed = TRUE;
        RemoveEntryList(&r->link);
        r->linked = FALSE;
        if (r->holdsWindow) {
            r->holdsWindow = FALSE;
            if (WpFlag(&g_udp.windowEnabled)) KeReleaseSemaphore(&g_udp.window, IO_NO_INCREMENT, 1, FALSE);
        }
        KeSetEvent(&r->event, IO_NO_INCREMENT, FALSE);
        found = TRUE;
        break;
    }
    KeReleaseSpinLock(&b->lock, irql);
    if (found) UDP_STAT_INC(answers);
    else UDP_STAT_INC(lateDropped);
}

static VOID WskUdpReceivePath(ULONG length) {
    if (length < sizeof(ZV_MESSAGE_HEADER)) {
        UDP_STAT_INC(invalidDropped);
        return;
    }
    ZV_MESSAGE_HEADER h;
    RtlCopyMemory(&h, g_udp.receiveBuffer, sizeof(h));
    if (h.magic != zw::kMagic || h.version != zw::kVersion) {
        UDP_STAT_INC(invalidDropped);
        PLOG_DBG("WskUdp: 丢弃非法数据报 magic=0x%08X len=%zu\n", h.magic, (SIZE_T)length);
        return;
    }
    if (h.opcode == zw::OpPushBlock) WskUdpHandlePushBlock(&h, length);
    else WskUdpHandleAnswer(&h, length);
}

static KSTART_ROUTINE WskUdpRecvThread;

// The receive waits in slices of 2 s. An idle slice cancels its packet (a datagram that has not
// arrived yet stays queued in the socket) and posts the next one, unless the channel is stopping;
// the disconnect closes the socket, which ends a pending receive at once.
static VOID NTAPI WskUdpRecvThread(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    PLOG_INFO("WskUdpRecvThread: 启动\n");
    if (WskUdpSocket() == NULL) {
        PLOG_ERR("WskUdpRecvThread: socket 为空，立即退出\n");
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    while (!WpFlag(&g_udp.stop)) {
        PWSK_CALL c = WskCallGet(&g_udpReceivePool);
        PWSK_BUF b = NULL;
        NTSTATUS st = c ? WskCallReceiveBuffer(c, g_udp.receiveBuffer, WSKUDP_RECEIVE_BUFFER, &b)
                        : STATUS_INSUFFICIENT_RESOURCES;
        if (!NT_SUCCESS(st)) {
            if (c) WskCallPut(c);
            if (WpFlag(&g_udp.stop)) break;
            WpSleepMs(10);
            continue;
        }
        // Issued under receiveLock: the disconnect takes the socket away under it, so a receive
        // is never issued on a socket that is being closed.
        WpAcquire(&g_udp.receiveLock);
        PWSK_SOCKET sock = WskUdpSocket();
        if (sock == NULL || WpFlag(&g_udp.stop)) {
            WpRelease(&g_udp.receiveLock);
            WskCallPut(c);
            break;
        }
        st = WskUdpDgram(sock)->WskReceiveFrom(sock, b, 0, WskCallAddress(c), NULL, NULL, NULL, WskCallIrp(c));
        WpRelease(&g_udp.receiveLock);
        WSK_CALL_RESULT r;
        st = WskCallWait(c, st, 2000, &r);
        if (r.abandoned) {
            PLOG_ERR("WskUdp: 接收 IRP 取消超时，泄露\n");
            break;
        }
        if (NT_SUCCESS(st) && st != STATUS_TIMEOUT && r.information > 0) {
            WskUdpReceivePath((ULONG)r.information);
            continue;
        }
        if (WpFlag(&g_udp.stop)) break;
        if (!r.timedOut) WpSleepMs(10);
    }
    PLOG_INFO("WskUdpRecvThread: 退出\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Connect and disconnect

static NTSTATUS WskUdpConnectLocked(PCWSTR serverIp, USHORT port) {
    if (WpFlag(&g_udp.active)) return STATUS_SUCCESS;
    NTSTATUS st = WskUdpInitializeLocked();
    if (!NT_SUCCESS(st)) return st;

    // Socket
    PWSK_CALL c = WskCallGet(&g_udpPool);
    if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    WskCallCreatesSocket(c);
    st = g_udp.provider.Dispatch->WskSocket(g_udp.provider.Client, AF_INET, SOCK_DGRAM, IPPROTO_UDP,
                                            WSK_FLAG_DATAGRAM_SOCKET, NULL, NULL, NULL, NULL, NULL, WskCallIrp(c));
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("WskUdp_Connect: WskSocket 立即失败 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskUdp] WskSocket 立即失败 0x%08X\n", (ULONG)st);
        WskCallPut(c);
        return st;
    }
    WSK_CALL_RESULT r;
    st = WskUdpWaitIrp(c, st, WSKUDP_SETUP_SECONDS, &r);
    ULONG_PTR info = r.information;
    if (!NT_SUCCESS(st) || st == STATUS_TIMEOUT) {
        if (st == STATUS_TIMEOUT) st = STATUS_IO_TIMEOUT;
        PLOG_WARN("WskUdp_Connect: WskSocket 失败 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskUdp] WskSocket 异步失败 0x%08X\n", (ULONG)st);
        return st;
    }
    PWSK_SOCKET sock = (PWSK_SOCKET)info;
    if (sock == NULL) {
        PLOG_ERR("WskUdp_Connect: WskSocket 返回空 socket\n");
        return STATUS_UNSUCCESSFUL;
    }

    // Bind: on the address the TCP connection left from, so that the server sees both of our
    // connections come from one host.
    c = WskCallGet(&g_udpPool);
    if (c == NULL) {
        WskUdpCloseSocket(sock);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PSOCKADDR_IN local = (PSOCKADDR_IN)WskCallAddress(c);
    local->sin_family = AF_INET;
    ULONG tcpLocal = (ULONG)InterlockedCompareExchange((volatile LONG*)&g_wskLocalAddr, 0, 0);
    if (InterlockedCompareExchange(&g_wskLocalAddrFamily, 0, 0) == AF_INET && tcpLocal != 0) {
        const UCHAR* b = (const UCHAR*)&tcpLocal;
        local->sin_addr.S_un.S_addr = tcpLocal;
        FileLogWrite("[WskUdp] WskBind 使用 TCP 本地 IP %u.%u.%u.%u:0\n", (ULONG)b[0], (ULONG)b[1], (ULONG)b[2],
                     (ULONG)b[3]);
    } else {
        FileLogWrite("[WskUdp] WskBind 使用 INADDR_ANY:0（TCP 本地地址未获取）\n");
    }
    st = WskUdpDgram(sock)->WskBind(sock, WskCallAddress(c), 0, WskCallIrp(c));
    st = WskUdpWaitIrp(c, st, WSKUDP_SETUP_SECONDS, &r);
    if (st == STATUS_TIMEOUT) st = STATUS_IO_TIMEOUT;
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("WskUdp_Connect: WskBind 失败 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskUdp] WskBind 失败 0x%08X\n", (ULONG)st);
        WskUdpCloseSocket(sock);
        return st;
    }
    FileLogWrite("[WskUdp] WskBind 成功\n");

    // Remote address
    ULONG units = 0;
    while (units < PROTO_SERVER_IP_UNITS && serverIp[units] != 0) units++;
    ULONG ip = 0;
    st = units == 0 || units >= PROTO_SERVER_IP_UNITS ? STATUS_INVALID_PARAMETER : WskpParseIpv4(serverIp, units, &ip);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("WskUdp_Connect: 解析 serverIp %ws 失败 0x%08X\n", serverIp, (ULONG)st);
        WskUdpCloseSocket(sock);
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(&g_udp.remote, sizeof(g_udp.remote));
    g_udp.remote.sin_family = AF_INET;
    g_udp.remote.sin_port = WskUdpHtons(port);
    g_udp.remote.sin_addr.S_un.S_addr = ip;

    // Receive thread
    InterlockedExchangePointer((PVOID volatile*)&g_udp.socket, sock);
    WpSetFlag(&g_udp.stop, FALSE);
    KeClearEvent(&g_udp.stopEvent);
    HANDLE h = NULL;
    st = PsCreateSystemThread(&h, THREAD_ALL_ACCESS, NULL, NULL, NULL, WskUdpRecvThread, NULL);
    if (!NT_SUCCESS(st)) {
        PLOG_ERR("WskUdp_Connect: 创建接收线程失败 0x%08X\n", (ULONG)st);
        InterlockedExchangePointer((PVOID volatile*)&g_udp.socket, NULL);
        WskUdpCloseSocket(sock);
        return st;
    }
    st = ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, (PVOID*)&g_udp.receiveThread, NULL);
    ZwClose(h);
    if (!NT_SUCCESS(st)) {
        PLOG_ERR("WskUdp_Connect: ObReferenceObjectByHandle 失败 0x%08X\n", (ULONG)st);
        WpSetFlag(&g_udp.stop, TRUE);
        KeSetEvent(&g_udp.stopEvent, IO_NO_INCREMENT, FALSE);
        // The thread must not post a receive on the socket we are about to close.
        WpAcquire(&g_udp.receiveLock);
        InterlockedExchangePointer((PVOID volatile*)&g_udp.socket, NULL);
        WpRelease(&g_udp.receiveLock);
        g_udp.receiveThread = NULL;
        WskUdpCloseSocket(sock);
        return st;
    }
    WpSetFlag(&g_udp.active, TRUE);
    PLOG_INFO("WskUdp_Connect: UDP 通道已建立 -> %ws:%u\n", serverIp, (ULONG)port);
    return STATUS_SUCCESS;
}

NTSTATUS WskUdp_Connect(PCWSTR serverIp, USHORT port) {
    if (serverIp == NULL || port == 0) return STATUS_INVALID_PARAMETER;
    if (WpFlag(&g_udp.active)) return STATUS_SUCCESS;
    WskUdpLockState();
    NTSTATUS st = WskUdpConnectLocked(serverIp, port);
    WskUdpUnlockState();
    return st;
}

static VOID WskUdpFailAllPending(VOID) {
    for (ULONG i = 0; i < WSKUDP_BUCKETS; i++) {
        WSKUDP_BUCKET* b = &g_udp.buckets[i];
        KIRQL irql;
        KeAcquireSpinLock(&b->lock, &irql);
        while (!IsListEmpty(&b->head)) {
            PWSKUDP_PENDING r = CONTAINING_RECORD(RemoveHeadList(&b->head), WSKUDP_PENDING, link);
            r->linked = FALSE;
            r->status = STATUS_DEVICE_NOT_CONNECTED;
            r->completed = TRUE;
            if (r->holdsWindow) {
                r->holdsWindow = FALSE;
                if (WpFlag(&g_udp.windowEnabled)) KeReleaseSemaphore(&g_udp.window, IO_NO_INCREMENT, 1, FALSE);
            }
            KeSetEvent(&r->event, IO_NO_INCREMENT, FALSE);
        }
        KeReleaseSpinLock(&b->lock, irql);
    }
}

static VOID WskUdpDisconnectLocked(VOID) {
    if (!WpFlag(&g_udp.active)) return;
    WpSetFlag(&g_udp.active, FALSE);
    WpSetFlag(&g_udp.stop, TRUE);
    KeSetEvent(&g_udp.stopEvent, IO_NO_INCREMENT, FALSE);
    // Senders that saw the channel active finish their (bounded) send first.
    while (InterlockedCompareExchange(&g_udp.sendRefs, 0, 0) != 0) WpSleepMs(1);
    WpAcquire(&g_udp.receiveLock);
    PWSK_SOCKET sock = (PWSK_SOCKET)InterlockedExchangePointer((PVOID volatile*)&g_udp.socket, NULL);
    WpRelease(&g_udp.receiveLock);
    WskUdpCloseSocket(sock);
    if (g_udp.receiveThread != NULL) {
        LARGE_INTEGER t = WpRelativeMs(WSKUDP_THREAD_EXIT_MS);
        if (KeWaitForSingleObject(g_udp.receiveThread, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT)
            PLOG_ERR("WskUdp_Disconnect: 接收线程 3 秒内未退出，强制继续\n");
        ObDereferenceObject(g_udp.receiveThread);
        g_udp.receiveThread = NULL;
    }
    WskUdpFailAllPending();
    PLOG_INFO("WskUdp_Disconnect: UDP 通道已关闭\n");
}

VOID WskUdp_Disconnect(VOID) {
    if (!WpFlag(&g_udp.active)) return;
    WskUdpLockState();
    WskUdpDisconnectLocked();
    WskUdpUnlockState();
}

VOID WskUdp_Cleanup(VOID) {
    WskUdpLockState();
    WskUdpDisconnectLocked();
    // The disconnect failed every waiter; let them leave before their records' pool goes.
    while (InterlockedCompareExchange(&g_udp.users, 0, 0) != 0) WpSleepMs(1);
    if (WpFlag(&g_udp.registered)) {
        WskReleaseProviderNPI(&g_udp.registration);
        WskDeregister(&g_udp.registration);
        WpSetFlag(&g_udp.registered, FALSE);
    }
    WpSetFlag(&g_udp.windowEnabled, FALSE);
    if (WpFlag(&g_udp.pendingPoolReady)) {
        ExDeleteNPagedLookasideList(&g_udp.pendingPool);
        WskCallPoolDestroy(&g_udpPool);
        WskCallPoolDestroy(&g_udpReceivePool);
        WpSetFlag(&g_udp.pendingPoolReady, FALSE);
    }
    if (g_udp.receiveMdl != NULL) IoFreeMdl(g_udp.receiveMdl);
    if (g_udp.receiveBuffer != NULL) ExFreePoolWithTag(g_udp.receiveBuffer, ZV_TAG_UDP_BUFFER);
    g_udp.receiveMdl = NULL;
    g_udp.receiveBuffer = NULL;
    InterlockedExchangePointer((PVOID volatile*)&g_udp.pushBlock, NULL);
    RtlZeroMemory(&g_udp.stats, sizeof(g_udp.stats));
    PLOG_INFO("WskUdp_Cleanup: 完成\n");
    WskUdpUnlockState();
}

// ---------------------------------------------------------------------------------------------
// Request and answer

static SIZE_T WskUdpSendRecvIn(const VOID* request, ULONG requestLength, PVOID answer, ULONG capacity,
                               ZV_MESSAGE_HEADER* answerHeader, PULONG payloadLength) {
    if (request == NULL || requestLength < sizeof(ZV_MESSAGE_HEADER) || (capacity > 0 && answer == NULL) ||
        !WpFlag(&g_udp.active))
        return WSKUDP_FAILED;
    ZV_MESSAGE_HEADER req;
    RtlCopyMemory(&req, request, sizeof(req));
    if (req.magic != zw::kMagic || req.version != zw::kVersion) {
        PLOG_WARN("WskUdp_SendRecv: 请求头非法 magic=0x%08X\n", req.magic);
        return WSKUDP_FAILED;
    }
    BOOLEAN holds = FALSE;
    if (WpFlag(&g_udp.windowEnabled)) {
        NTSTATUS w = KeWaitForSingleObject(&g_udp.window, Executive, KernelMode, FALSE, NULL);
        if (w != STATUS_SUCCESS) {
            PLOG_WARN("WskUdp_SendRecv: 窗口信号量等待失败 0x%08X\n", (ULONG)w);
            return WSKUDP_FAILED;
        }
        holds = TRUE;
    }
    PWSKUDP_PENDING r = WpFlag(&g_udp.pendingPoolReady)
                            ? (PWSKUDP_PENDING)ExAllocateFromNPagedLookasideList(&g_udp.pendingPool)
                            : NULL;
    if (r == NULL) {
        PLOG_ERR("WskUdp_SendRecv: pending 池分配失败\n");
        if (holds) KeReleaseSemaphore(&g_udp.window, IO_NO_INCREMENT, 1, FALSE);
        return WSKUDP_FAILED;
    }
    RtlZeroMemory(r, sizeof(*r));
    r->seq = (ULONG)InterlockedIncrement(&g_udp.logSeq);
    r->reqId = req.seq;
    r->request = request;
    r->requestLength = requestLength;
    r->answer = answer;
    r->capacity = capacity;
    r->status = STATUS_UNSUCCESSFUL;
    r->holdsWindow = holds;
    KeInitializeEvent(&r->event, NotificationEvent, FALSE);
    WSKUDP_BUCKET* b = &g_udp.buckets[WskUdpBucketOf(r->reqId)];
    KIRQL irql;
    KeAcquireSpinLock(&b->lock, &irql);
    InsertTailList(&b->head, &r->link);
    r->linked = TRUE;
    KeReleaseSpinLock(&b->lock, irql);

    BOOLEAN done = FALSE;
    for (ULONG k = 0; k < WSKUDP_MAX_SENDS && !done; k++) {
        if (k > 0) {
            KeAcquireSpinLock(&b->lock, &irql);
            done = r->completed;
            if (!done) {
                r->retransmits = k;
                KeClearEvent(&r->event);
            }
            KeReleaseSpinLock(&b->lock, irql);
            if (done) break;
            UDP_STAT_INC(retransmits);
            PLOG_DBG("WskUdp_SendRecv: 重传 seq=%u reqId=%u 第 %u 次\n", r->seq, r->reqId, k);
        }
        NTSTATUS st = WskUdpSendOne(request, requestLength);
        UDP_STAT_INC(sends);
        if (!NT_SUCCESS(st) || st == STATUS_TIMEOUT) {
            KeAcquireSpinLock(&b->lock, &irql);
            if (r->linked) {
                RemoveEntryList(&r->link);
                r->linked = FALSE;
            }
            KeReleaseSpinLock(&b->lock, irql);
            PLOG_WARN("WskUdp_SendRecv: 发送失败 0x%08X\n", (ULONG)st);
            break;
        }
        LARGE_INTEGER t = WpRelativeMs(WSKUDP_RETRANSMIT_MS);
        KeWaitForSingleObject(&r->event, Executive, KernelMode, FALSE, &t);
        KeAcquireSpinLock(&b->lock, &irql);
        done = r->completed;
        KeReleaseSpinLock(&b->lock, irql);
    }
    if (!done) {
        BOOLEAN giveBack = FALSE;
        KeAcquireSpinLock(&b->lock, &irql);
        if (!r->completed) {
            if (r->linked) {
                RemoveEntryList(&r->link);
                r->linked = FALSE;
            }
            r->status = STATUS_IO_TIMEOUT;
            r->completed = TRUE;
            giveBack = r->holdsWindow;
            r->holdsWindow = FALSE;
            UDP_STAT_INC(timeouts);
        }
        KeReleaseSpinLock(&b->lock, irql);
        if (giveBack && WpFlag(&g_udp.windowEnabled)) KeReleaseSemaphore(&g_udp.window, IO_NO_INCREMENT, 1, FALSE);
    }
    // The record is unlinked now, whoever completed it: nothing else touches it.
    SIZE_T result;
    if (NT_SUCCESS(r->status)) {
        result = r->received;
        if (answerHeader) *answerHeader = r->answerHeader;
        if (payloadLength) *payloadLength = r->payloadLength;
    } else {
        PLOG_WARN("WskUdp_SendRecv: 失败 seq=%u reqId=%u status=0x%08X 重传=%u\n", r->seq, r->reqId, (ULONG)r->status,
                  r->retransmits);
        result = WSKUDP_FAILED;
    }
    ExFreeToNPagedLookasideList(&g_udp.pendingPool, r);
    return result;
}

SIZE_T WskUdp_SendRecvEx(const VOID* request, ULONG requestLength, PVOID answer, ULONG capacity,
                         ZV_MESSAGE_HEADER* answerHeader, PULONG payloadLength) {
    if (payloadLength) *payloadLength = 0;
    // Counted before the channel is looked at, so that a cleanup that saw no users cannot have a
    // caller still on its way to the pending pool.
    InterlockedIncrement(&g_udp.users);
    SIZE_T r = WskUdpSendRecvIn(request, requestLength, answer, capacity, answerHeader, payloadLength);
    InterlockedDecrement(&g_udp.users);
    return r;
}

SIZE_T WskUdp_SendRecv(const VOID* request, ULONG requestLength, PVOID answer, ULONG capacity) {
    return WskUdp_SendRecvEx(request, requestLength, answer, capacity, NULL, NULL);
}
