// The kernel TCP socket client: driver-wide WSK registration, per-session connect and close, the
// per-session request-packet pool, and the transfer primitives every exchange rests on.
//
// Every WSK call is asynchronous; each one runs on a packet of the session's pool with the bounded
// wait of WskCall.cpp (wait for the call's limit, cancel, wait 5 s more, abandon).
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
// Packets (the bounded-wait machinery itself is WskCall.cpp)

static const WSK_PROVIDER_CONNECTION_DISPATCH* WskpConn(PWSK_SOCKET sock) {
    return (const WSK_PROVIDER_CONNECTION_DISPATCH*)sock->Dispatch;
}

// The result of a setup call (socket, bind, connect, address). These calls have no "nothing
// arrived yet" meaning for STATUS_TIMEOUT, which would read as success: a wait that ran out is a
// time-out failure, unless the packet came back with its own result while we cancelled it.
static NTSTATUS WskpSetupStatus(const WSK_CALL_RESULT* r) {
    if (r->abandoned) return STATUS_IO_TIMEOUT;
    NTSTATUS st = r->status;
    return st == STATUS_CANCELLED || st == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : st;
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

const WSK_PROVIDER_NPI* WskClient_Provider(VOID) {
    return InterlockedCompareExchange(&g_wskInited, 0, 0) ? &g_wskProvider : NULL;
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
    PWSK_CALL c = WskCallGet(&s->irpPool);
    if (c == NULL) return;  // dropped without a close: nothing else can be done here
    NTSTATUS st = WskpConn(sock)->Basic.WskCloseSocket(sock, WskCallIrp(c));
    WSK_CALL_RESULT r;
    (VOID)WskCallWait(c, st, WpFlag(&s->removing) ? WSK_LIMIT_CLOSE_REMOVING_MS : WSK_LIMIT_CLOSE_MS, &r);
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
    PWSK_CALL c = WskCallGet(&s->irpPool);
    if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    WskCallCreatesSocket(c);
    st = g_wskProvider.Dispatch->WskSocket(g_wskProvider.Client, AF_INET, SOCK_STREAM, IPPROTO_TCP,
                                           WSK_FLAG_CONNECTION_SOCKET, NULL, NULL, NULL, NULL, NULL,
                                           WskCallIrp(c));
    WSK_CALL_RESULT r;
    if (!NT_SUCCESS(st)) {
        PLOG("WskSocket 立即失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskSocket 立即失败 0x%08X\n", (ULONG)st);
        (VOID)WskCallWait(c, st, WSK_LIMIT_SETUP_MS, &r);
        return st;
    }
    (VOID)WskCallWait(c, st, WSK_LIMIT_SETUP_MS, &r);
    st = WskpSetupStatus(&r);
    if (!NT_SUCCESS(st)) {
        PLOG("WskSocket 超时/失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskSocket 失败 0x%08X\n", (ULONG)st);
        return st;
    }
    PWSK_SOCKET sock = (PWSK_SOCKET)r.information;
    if (sock == NULL) {
        FileLogWrite("[WskConnect] WskSocket 返回空\n");
        return STATUS_UNSUCCESSFUL;
    }
    FileLogWrite("[WskConnect] WskSocket 成功\n");
    s->socket = sock;

    // Bind to any local address
    PLOG("调用 WskBind -> 0.0.0.0:0\n");
    c = WskCallGet(&s->irpPool);
    if (c == NULL) {
        WskpCloseSocket(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PSOCKADDR_IN a = (PSOCKADDR_IN)WskCallAddress(c);
    a->sin_family = AF_INET;
    st = WskpConn(sock)->WskBind(sock, (PSOCKADDR)a, 0, WskCallIrp(c));
    (VOID)WskCallWait(c, st, WSK_LIMIT_SETUP_MS, &r);
    st = WskpSetupStatus(&r);
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
    c = WskCallGet(&s->irpPool);
    if (c == NULL) {
        WskpCloseSocket(s);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    a = (PSOCKADDR_IN)WskCallAddress(c);
    a->sin_family = AF_INET;
    a->sin_port = WskpHtons(s->serverPort);
    a->sin_addr.S_un.S_addr = ip;
    st = WskpConn(sock)->WskConnect(sock, (PSOCKADDR)a, 0, WskCallIrp(c));
    if (!NT_SUCCESS(st)) {
        PLOG("WskConnect 立即失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskConnect 立即失败 0x%08X\n", (ULONG)st);
        (VOID)WskCallWait(c, st, WSK_LIMIT_SETUP_MS, &r);
        WskpCloseSocket(s);
        return st;
    }
    (VOID)WskCallWait(c, st, WSK_LIMIT_SETUP_MS, &r);
    st = WskpSetupStatus(&r);
    if (!NT_SUCCESS(st)) {
        PLOG("WskConnect 超时/失败: 0x%08X\n", (ULONG)st);
        FileLogWrite("[WskConnect] WskConnect 失败 0x%08X\n", (ULONG)st);
        WskpCloseSocket(s);
        return st;
    }
    WpSetFlag(&s->connected, TRUE);
    InterlockedIncrement64(&s->stats.connects);

    // Local address, for the UDP channel; a failure here does not fail the connect.
    c = WskCallGet(&s->irpPool);
    if (c != NULL) {
        st = WskpConn(sock)->WskGetLocalAddress(sock, WskCallAddress(c), WskCallIrp(c));
        (VOID)WskCallWait(c, st, WSK_LIMIT_SETUP_MS, &r);
        st = WskpSetupStatus(&r);
        if (NT_SUCCESS(st) && r.address.sin_family == AF_INET) {
            const UCHAR* b = (const UCHAR*)&r.address.sin_addr;
            InterlockedExchange(&g_wskLocalAddrFamily, AF_INET);
            InterlockedExchange((volatile LONG*)&g_wskLocalAddr, (LONG)r.address.sin_addr.S_un.S_addr);
            FileLogWrite("[WskConnect] 本地地址 %u.%u.%u.%u:%u\n", (ULONG)b[0], (ULONG)b[1], (ULONG)b[2],
                         (ULONG)b[3], (ULONG)WskpHtons(r.address.sin_port));
        } else if (!NT_SUCCESS(st)) {
            FileLogWrite("[WskConnect] WskGetLocalAddress 失败 0x%08X\n", (ULONG)st);
        }
    } else {
        FileLogWrite("[WskConnect] WskGetLocalAddress 失败 0x%08X\n", (ULONG)STATUS_INSUFFICIENT_RESOURCES);
    }
    FileLogWrite("[WskConnect] 连接成功\n");
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Transfers

// One send of up to three buffers on the session's socket with the bounded wait. *moved holds
// the bytes the network stack reports sent, also when the send failed part-way: a caller that
// keeps a byte stream in step must know whether any byte of its request went out.
NTSTATUS WskpSendBuffers(PPROTOCOL_SESSION s, PVOID* buffers, const ULONG* lengths, ULONG count, BOOLEAN resident,
                         ULONG limitMs, PULONG moved) {
    *moved = 0;
    if (!WpFlag(&s->connected) || s->socket == NULL) return STATUS_DEVICE_NOT_CONNECTED;
    PWSK_CALL c = WskCallGet(&s->irpPool);
    if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PWSK_BUF buf;
    NTSTATUS st = WskCallSendBuffers(c, buffers, lengths, count, resident, &buf);
    if (!NT_SUCCESS(st)) {
        WskCallPut(c);
        return st;
    }
    if (buf->Length == 0) {
        WskCallPut(c);
        return STATUS_SUCCESS;
    }
    ULONG length = (ULONG)buf->Length;
    PWSK_SOCKET sock = s->socket;
    st = WskpConn(sock)->WskSend(sock, buf, 0, WskCallIrp(c));
    WSK_CALL_RESULT r;
    st = WskCallWait(c, st, limitMs, &r);
    ULONG_PTR info = r.information > length ? length : r.information;
    *moved = (ULONG)info;
    if (info) InterlockedAdd64(&s->stats.bytesSent, (LONG64)info);
    return st;
}

NTSTATUS WskpReceiveLimited(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived,
                            ULONG LimitMs) {
    PPROTOCOL_SESSION s = Session;
    *BytesReceived = 0;
    if (LimitMs == 0 || LimitMs > WSK_LIMIT_RECEIVE_MS) LimitMs = WSK_LIMIT_RECEIVE_MS;
    if (!WpFlag(&s->connected) || s->socket == NULL) return STATUS_DEVICE_NOT_CONNECTED;
    if (Length == 0) return STATUS_SUCCESS;
    PWSK_CALL c = WskCallGet(&s->irpPool);
    if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PWSK_BUF buf;
    NTSTATUS st = WskCallReceiveBuffer(c, Buffer, Length, &buf);
    if (!NT_SUCCESS(st)) {
        WskCallPut(c);
        return st;
    }
    PWSK_SOCKET sock = s->socket;
    st = WskpConn(sock)->WskReceive(sock, buf, 0, WskCallIrp(c));
    WSK_CALL_RESULT r;
    st = WskCallWait(c, st, LimitMs, &r);
    if (!NT_SUCCESS(st) || st == STATUS_TIMEOUT) return st;
    *BytesReceived = (ULONG)r.information;
    if (r.information) InterlockedAdd64(&s->stats.bytesReceived, (LONG64)r.information);
    return st;
}

NTSTATUS WskClient_Send(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesSent) {
    PVOID b[1] = {Buffer};
    ULONG l[1] = {Length};
    NTSTATUS st = WskpSendBuffers(Session, b, l, 1, FALSE, WSK_LIMIT_SEND_MS, BytesSent);
    if (!NT_SUCCESS(st) || st == STATUS_TIMEOUT) *BytesSent = 0;
    return st;
}

NTSTATUS WskClient_Receive(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived) {
    return WskpReceiveLimited(Session, Buffer, Length, BytesReceived, WSK_LIMIT_RECEIVE_MS);
}

NTSTATUS WskpSendChainCount(PPROTOCOL_SESSION s, PVOID Buffers[3], ULONG Lengths[3], ULONG Count, ULONG Total,
                            PULONG sent) {
    *sent = 0;
    if (!WpFlag(&s->connected) || s->socket == NULL) return STATUS_DEVICE_NOT_CONNECTED;
    ULONG sum = 0;
    for (ULONG i = 0; i < Count && i < 3; i++)
        if (Buffers[i] != NULL) sum += Lengths[i];
    if (sum == 0 || sum != Total) return STATUS_INVALID_PARAMETER;
    NTSTATUS st = WskpSendBuffers(s, Buffers, Lengths, Count < 3 ? Count : 3, TRUE, WSK_LIMIT_SEND_MS, sent);
    if (st == STATUS_TIMEOUT) return STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(st)) return st;
    return *sent == Total ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS WskClient_SendChain(PPROTOCOL_SESSION Session, PVOID Buffers[3], ULONG Lengths[3], ULONG Count,
                             ULONG Total) {
    ULONG sent;
    return WskpSendChainCount(Session, Buffers, Lengths, Count, Total, &sent);
}

NTSTATUS WskpSendAllCount(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG sent) {
    PUCHAR b = (PUCHAR)Buffer;
    *sent = 0;
    while (*sent < Length) {
        ULONG n = 0;
        PVOID bufs[1] = {b + *sent};
        ULONG lens[1] = {Length - *sent};
        NTSTATUS st = WskpSendBuffers(Session, bufs, lens, 1, FALSE, WSK_LIMIT_SEND_MS, &n);
        *sent += n;
        if (!NT_SUCCESS(st)) return st;
        if (st == STATUS_TIMEOUT || n == 0) return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WskClient_SendAll(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length) {
    ULONG sent;
    return WskpSendAllCount(Session, Buffer, Length, &sent);
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

VOID WskpSessionPoolInit(PPROTOCOL_SESSION s) {
    WSK_CALL_COUNTERS counters = {&s->stats.waitTimeouts, &s->stats.abandonedPackets, &s->stats.poolHits,
                                  &s->stats.poolMisses};
    WskCallPoolInit(&s->irpPool, &counters);
}
VOID WskpSessionPoolDestroy(PPROTOCOL_SESSION s) { WskCallPoolDestroy(&s->irpPool); }
