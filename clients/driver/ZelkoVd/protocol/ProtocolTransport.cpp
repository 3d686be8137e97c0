// Transport negotiation, failure classification, transport selection and the rate-limited
// reconnect that every block operation calls on its first failure.
#include "ProtocolInternal.h"

typedef struct _WP_NEGOTIATE {
    ZV_MESSAGE_HEADER hdr;
    zw::TransportNegotiateRequest req;
    zw::TransportNegotiateResponse body;
} WP_NEGOTIATE;

static NTSTATUS WpNegotiateBody(PWP_EXCHANGE x) {
    WP_NEGOTIATE* n = (WP_NEGOTIATE*)x->context;
    NTSTATUS st = WpXSendAll(x, &n->hdr, sizeof(n->hdr));
    if (NT_SUCCESS(st)) st = WpXSendAll(x, &n->req, sizeof(n->req));
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("[TransportNegotiate] 发送失败: 0x%08X\n", (ULONG)st);
        return st;
    }
    ZV_MESSAGE_HEADER resp;
    st = WpXReceive(x, &resp, sizeof(resp), PROTO_DEADLINE_NEGOTIATE_MS);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("[TransportNegotiate] 接收 header 失败: 0x%08X\n", (ULONG)st);
        return st;
    }
    if (resp.magic != zw::kMagic || resp.version != zw::kVersion) return WpXRefuse(x, STATUS_INVALID_NETWORK_RESPONSE);
    if (resp.opcode == zw::OpRespOk || resp.opcode == zw::OpRespTransportNegotiate) {
        if (resp.length != sizeof(n->body)) {
            PLOG_WARN("[TransportNegotiate] 响应 size 不匹配: got=%u, want=%u\n", resp.length,
                      (ULONG)sizeof(n->body));
            return WpXRefuse(x, STATUS_INVALID_BUFFER_SIZE);
        }
    } else {
        st = WpXCheckAnswer(x, &resp, sizeof(n->body), "TransportNegotiate");
        // Only a record answers a negotiation; an "error 0" is no answer at all.
        return NT_SUCCESS(st) ? STATUS_UNEXPECTED_IO_ERROR : st;
    }
    st = WpXReceive(x, &n->body, sizeof(n->body), 0);
    if (!NT_SUCCESS(st)) PLOG_WARN("[TransportNegotiate] 接收 body 失败: 0x%08X\n", (ULONG)st);
    return st;
}

NTSTATUS ProtocolClient_TransportNegotiate(PPROTOCOL_SESSION Session, ULONG clientMask) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    WP_NEGOTIATE n;
    WpBuildHeader(s, &n.hdr, zw::OpTransportNegotiate, 0, 0, sizeof(zw::TransportNegotiateRequest));
    n.req = {clientMask, 0, 0, 1};
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "TransportNegotiate";
    x.body = WpNegotiateBody;
    x.context = &n;
    NTSTATUS st = WpRunExchange(&x);
    if (!NT_SUCCESS(st)) return st;
    // The transport choice of a failing exchange in another thread reads serverMask.
    WpAcquire(&s->transportLock);
    s->serverMask = n.body.selected;
    s->udpPort = (USHORT)(n.body.udpPort & 0xFFFF);
    s->rdmaPort = (USHORT)(n.body.rdmaPort & 0xFFFF);
    WpRelease(&s->transportLock);
    PLOG_INFO("[TransportNegotiate] 协商成功: selected=0x%X udpPort=%u rdmaPort=%u mtu=%u\n", n.body.selected,
              (ULONG)s->udpPort, (ULONG)s->rdmaPort, n.body.mtu);
    return STATUS_SUCCESS;
}

BOOLEAN WpIsConnectionFailure(NTSTATUS status) {
    switch (status) {
        case STATUS_DEVICE_NOT_CONNECTED:
        case STATUS_CONNECTION_DISCONNECTED:
        case STATUS_CONNECTION_RESET:
        case STATUS_NETWORK_UNREACHABLE:
        case STATUS_IO_TIMEOUT:
        case STATUS_REMOTE_DISCONNECT:
        case STATUS_UNSUCCESSFUL:
            return TRUE;
        default:
            return FALSE;
    }
}

static VOID WpSelectTransportLocked(PPROTOCOL_SESSION s) {
    ULONG mask = s->serverMask;
    ULONG choice;
    if (mask == 0) {
        choice = PROTO_TRANSPORT_TCP;
    } else if ((mask & zw::TransportRdma) && !s->rdmaFailed) {
        choice = PROTO_TRANSPORT_RDMA;
    } else if ((mask & zw::TransportUdp) && !s->udpFailed) {
        choice = PROTO_TRANSPORT_UDP;
    } else if ((mask & zw::TransportTcp) && !s->tcpFailed) {
        choice = PROTO_TRANSPORT_TCP;
    } else {
        PLOG_WARN("[SelectTransport] 所有传输层均失败，回退到 TCP\n");
        choice = PROTO_TRANSPORT_TCP;
    }
    if (choice != s->currentTransport)
        PLOG_INFO("[SelectTransport] 传输层切换: %u → %u (serverMask=0x%X)\n", s->currentTransport, choice, mask);
    s->currentTransport = choice;
}

VOID SelectTransport(PPROTOCOL_SESSION Session) {
    WpAcquire(&Session->transportLock);
    WpSelectTransportLocked(Session);
    WpRelease(&Session->transportLock);
}

NTSTATUS WpTryRecover(PPROTOCOL_SESSION Session, NTSTATUS status) {
    PPROTOCOL_SESSION s = Session;
    if (!WpIsConnectionFailure(status)) return status;
    PLOG_WARN("IO 失败 0x%08X，触发重连\n", (ULONG)status);
    // Several workers may fail at once; the flags and the choice change under transportLock,
    // which nothing else is taken under. Recovery takes no other lock before the reconnect,
    // which returns at once when another thread has reconnected already: a caller that holds
    // the block cache's lock must never wait here for a reconnect that waits for that lock.
    WpAcquire(&s->transportLock);
    ULONG failed = s->currentTransport;
    switch (failed) {
        case PROTO_TRANSPORT_UDP:
            s->udpFailed = TRUE;
            PLOG_WARN("[Transport] UDP 标记为失败，尝试降级\n");
            break;
        case PROTO_TRANSPORT_RDMA:
            s->rdmaFailed = TRUE;
            PLOG_WARN("[Transport] RDMA 标记为失败，尝试降级\n");
            break;
        default:
            s->tcpFailed = TRUE;
            PLOG_WARN("[Transport] TCP 标记为失败，尝试降级\n");
            break;
    }
    WpSelectTransportLocked(s);
    WpRelease(&s->transportLock);
    NTSTATUS st = ProtocolClient_Reconnect(s);
    if (NT_SUCCESS(st) && failed == PROTO_TRANSPORT_TCP) {
        WpAcquire(&s->transportLock);
        s->tcpFailed = FALSE;
        WpRelease(&s->transportLock);
        PLOG_INFO("[Transport] TCP 重连成功，清除失败标志\n");
    }
    return st;
}

NTSTATUS ProtocolClient_Reconnect(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    if (WpFlag(&s->removing)) return STATUS_DEVICE_NOT_CONNECTED;
    if (WpFlag(&s->connected)) return STATUS_SUCCESS;
    WpAcquire(&s->reconnectLock);
    if (WpFlag(&s->connected)) {
        WpRelease(&s->reconnectLock);
        return STATUS_SUCCESS;
    }
    if (WpFlag(&s->removing)) {
        WpRelease(&s->reconnectLock);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG last = InterlockedCompareExchange64(&s->lastReconnectTime, 0, 0);
    if (last != 0 && now.QuadPart - last < PROTO_RECONNECT_INTERVAL_100NS) {
        WpRelease(&s->reconnectLock);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    InterlockedExchange64(&s->lastReconnectTime, now.QuadPart);
    InterlockedIncrement64(&s->stats.reconnects);

    NTSTATUS st = STATUS_DEVICE_NOT_CONNECTED;
    BOOLEAN clearCache = FALSE;
    for (ULONG attempt = 0; attempt < PROTO_RECONNECT_ATTEMPTS; attempt++) {
        if (WpFlag(&s->removing)) {
            st = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        // ioLock around close, connect and handshake: no other thread of this session can be in
        // the middle of an exchange on the socket we replace, nor start one before the new
        // connection is bound to the image.
        WpAcquire(&s->ioLock);
        WskClient_Disconnect(s);
        st = WskClient_Connect(s);
        if (NT_SUCCESS(st)) {
            WP_EXCHANGE x = {};
            x.session = s;
            x.name = "Handshake";
            st = WpHandshakeBody(&x, &clearCache);
            if (!NT_SUCCESS(st)) WskClient_Disconnect(s);
        }
        WpRelease(&s->ioLock);
        if (NT_SUCCESS(st)) break;
        if (attempt == 0) WpSleepMs(1000);
        else if (attempt == 1) WpSleepMs(2000);
    }
    WpRelease(&s->reconnectLock);
    // The cache takes its own lock, and a thread holding that lock may be failing an exchange
    // and waiting for this reconnect right now: clear only once no session lock is held.
    if (clearCache) WpClearCache(s);
    return st;
}
