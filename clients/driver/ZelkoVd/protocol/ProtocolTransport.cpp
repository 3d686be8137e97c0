// Transport negotiation, failure classification, transport selection and the rate-limited
// reconnect that every block operation calls on its first failure.
#include "ProtocolInternal.h"

NTSTATUS ProtocolClient_TransportNegotiate(PPROTOCOL_SESSION Session, ULONG clientMask) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpTransportNegotiate, 0, 0, sizeof(zw::TransportNegotiateRequest));
    zw::TransportNegotiateRequest req = {clientMask, 0, 0, 1};
    NTSTATUS st = WpLockAndCheck(s);
    if (!NT_SUCCESS(st)) return st;

    BOOLEAN outOfStep = FALSE;
    ZV_MESSAGE_HEADER resp;
    zw::TransportNegotiateResponse body;
    st = WskClient_SendAll(s, &hdr, sizeof(hdr));
    if (NT_SUCCESS(st)) st = WskClient_SendAll(s, &req, sizeof(req));
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("[TransportNegotiate] 发送失败: 0x%08X\n", (ULONG)st);
        outOfStep = st != STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), PROTO_DEADLINE_NEGOTIATE_MS);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("[TransportNegotiate] 接收 header 失败: 0x%08X\n", (ULONG)st);
        outOfStep = TRUE;
        goto done;
    }
    if (resp.magic != zw::kMagic || resp.version != zw::kVersion) {
        st = STATUS_INVALID_NETWORK_RESPONSE;
        outOfStep = TRUE;
        goto done;
    }
    if (resp.opcode == zw::OpRespOk || resp.opcode == zw::OpRespTransportNegotiate) {
        if (resp.length != sizeof(body)) {
            PLOG_WARN("[TransportNegotiate] 响应 size 不匹配: got=%u, want=%u\n", resp.length, (ULONG)sizeof(body));
            st = STATUS_INVALID_BUFFER_SIZE;
            outOfStep = TRUE;
            goto done;
        }
    } else {
        st = WpCheckRespHeader(&resp, sizeof(body), "TransportNegotiate");
        // Only a record answers a negotiation; an "error 0" is no answer at all.
        if (NT_SUCCESS(st)) st = STATUS_UNEXPECTED_IO_ERROR;
        goto done;
    }
    st = WskClient_ReceiveAll(s, &body, sizeof(body));
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("[TransportNegotiate] 接收 body 失败: 0x%08X\n", (ULONG)st);
        outOfStep = TRUE;
        goto done;
    }
done:
    if (outOfStep && WpFlag(&s->connected)) WpDropOutOfStep(s, "TransportNegotiate", st);
    WpUnlock(s);
    if (outOfStep && st == STATUS_INVALID_BUFFER_SIZE) WpRestoreAfterDrop(s);
    if (!NT_SUCCESS(st)) return st;
    s->serverMask = body.selected;
    s->udpPort = (USHORT)(body.udpPort & 0xFFFF);
    s->rdmaPort = (USHORT)(body.rdmaPort & 0xFFFF);
    PLOG_INFO("[TransportNegotiate] 协商成功: selected=0x%X udpPort=%u rdmaPort=%u mtu=%u\n", body.selected,
              (ULONG)s->udpPort, (ULONG)s->rdmaPort, body.mtu);
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

VOID SelectTransport(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
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

NTSTATUS WpTryRecover(PPROTOCOL_SESSION Session, NTSTATUS status) {
    PPROTOCOL_SESSION s = Session;
    if (!WpIsConnectionFailure(status)) return status;
    PLOG_WARN("IO 失败 0x%08X，触发重连\n", (ULONG)status);
    // Several workers may fail at once; the flags and the choice change under reconnectLock.
    WpAcquire(&s->reconnectLock);
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
    SelectTransport(s);
    WpRelease(&s->reconnectLock);
    NTSTATUS st = ProtocolClient_Reconnect(s);
    if (NT_SUCCESS(st) && failed == PROTO_TRANSPORT_TCP) {
        WpAcquire(&s->reconnectLock);
        s->tcpFailed = FALSE;
        WpRelease(&s->reconnectLock);
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
    if (s->lastReconnectTime != 0 && now.QuadPart - s->lastReconnectTime < PROTO_RECONNECT_INTERVAL_100NS) {
        WpRelease(&s->reconnectLock);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    s->lastReconnectTime = now.QuadPart;
    InterlockedIncrement64(&s->stats.reconnects);

    NTSTATUS st = STATUS_DEVICE_NOT_CONNECTED;
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
            st = WpHandshakeLocked(s);
            if (!NT_SUCCESS(st)) WskClient_Disconnect(s);
        }
        WpRelease(&s->ioLock);
        if (NT_SUCCESS(st)) break;
        if (attempt == 0) WpSleepMs(1000);
        else if (attempt == 1) WpSleepMs(2000);
    }
    WpRelease(&s->reconnectLock);
    return st;
}
