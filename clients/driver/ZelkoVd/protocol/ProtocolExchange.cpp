// The exchange runner: ioLock, the in-step state of the TCP stream, and the one recovery of an
// operation (see ProtocolInternal.h).
//
// A TCP stream carries no message boundaries of its own: the driver stays in step with the server
// only as long as every exchange consumes exactly the bytes of its answer. Once an exchange
// cannot (a transfer broke, part of a request went out and the rest did not, an answer announced
// bytes the driver will not take), whatever is still on its way would be read as the next
// answer's header, and a request whose payload is cut short would make the server read the next
// request as that payload. Closing the stream is the only way back; the next operation's recovery
// builds a clean one.
#include "ProtocolInternal.h"

static VOID WpDropOutOfStep(PPROTOCOL_SESSION s, PCSTR name, NTSTATUS status) {
    PLOG_WARN("[%s] 响应数据无法接收 (0x%08X)，关闭连接以重新同步\n", name, (ULONG)status);
    WskClient_Disconnect(s);
}

static VOID WpXFailed(PWP_EXCHANGE x, NTSTATUS status) {
    // Only a request that never reached the wire leaves the stream as it was.
    if (x->sent > 0 || status != STATUS_INSUFFICIENT_RESOURCES) x->outOfStep = TRUE;
}

NTSTATUS WpXSendRequest(PWP_EXCHANGE x, ZV_MESSAGE_HEADER* header, PVOID p1, ULONG l1, PVOID p2, ULONG l2) {
    PPROTOCOL_SESSION s = x->session;
    PVOID bufs[3] = {header, p1, p2};
    ULONG lens[3] = {sizeof(*header), p1 ? l1 : 0, p2 ? l2 : 0};
    ULONGLONG total = (ULONGLONG)lens[0] + lens[1] + lens[2];
    if (total > MAXULONG) return STATUS_INVALID_PARAMETER;
    ULONG n = 0;
    NTSTATUS st = WskpSendChainCount(s, bufs, lens, 3, (ULONG)total, &n);
    x->sent += n;
    if (st == STATUS_INSUFFICIENT_RESOURCES && x->sent == 0) {
        // The chain could not be described: the same bytes, one buffer after another.
        for (ULONG i = 0; i < 3; i++) {
            if (lens[i] == 0) continue;
            st = WskpSendAllCount(s, bufs[i], lens[i], &n);
            x->sent += n;
            if (!NT_SUCCESS(st)) break;
        }
    }
    if (!NT_SUCCESS(st)) WpXFailed(x, st);
    return st;
}

NTSTATUS WpXSendAll(PWP_EXCHANGE x, PVOID buffer, ULONG length) {
    ULONG n = 0;
    NTSTATUS st = WskpSendAllCount(x->session, buffer, length, &n);
    x->sent += n;
    if (!NT_SUCCESS(st)) WpXFailed(x, st);
    return st;
}

NTSTATUS WpXReceive(PWP_EXCHANGE x, PVOID buffer, ULONG length, ULONG deadlineMs) {
    NTSTATUS st = WskClient_ReceiveAllDeadline(x->session, buffer, length, deadlineMs);
    if (!NT_SUCCESS(st)) x->outOfStep = TRUE;  // the request is out; its answer may still come
    return st;
}

NTSTATUS WpXReceiveSome(PWP_EXCHANGE x, PVOID buffer, ULONG length, PULONG received, ULONG deadlineMs) {
    LARGE_INTEGER freq;
    LONGLONG deadline = KeQueryPerformanceCounter(&freq).QuadPart;  // sets freq: its own statement
    deadline += (LONGLONG)deadlineMs * freq.QuadPart / 1000;
    NTSTATUS st;
    *received = 0;
    for (;;) {
        if (KeQueryPerformanceCounter(NULL).QuadPart >= deadline) {
            st = STATUS_IO_TIMEOUT;
            break;
        }
        ULONG n = 0;
        st = WskClient_Receive(x->session, buffer, length, &n);
        if (st == STATUS_TIMEOUT) continue;   // nothing yet; the deadline decides
        if (!NT_SUCCESS(st)) break;
        if (n == 0) {
            st = STATUS_CONNECTION_DISCONNECTED;
            break;
        }
        *received = n;
        return STATUS_SUCCESS;
    }
    x->outOfStep = TRUE;   // the request is out; its answer may still come
    return st;
}

NTSTATUS WpXReceiveTight(PWP_EXCHANGE x, PVOID buffer, ULONG length, ULONG deadlineMs) {
    PUCHAR b = (PUCHAR)buffer;
    LARGE_INTEGER freq;
    LARGE_INTEGER start = KeQueryPerformanceCounter(&freq);
    LONGLONG deadline = start.QuadPart + (LONGLONG)deadlineMs * freq.QuadPart / 1000;
    ULONG got = 0;
    NTSTATUS st = STATUS_SUCCESS;
    while (got < length) {
        LONGLONG now = KeQueryPerformanceCounter(NULL).QuadPart;
        if (now >= deadline) {
            st = STATUS_IO_TIMEOUT;
            break;
        }
        // A single receive waits no longer than the deadline leaves, so a silent server fails
        // after the deadline, not after a whole receive limit. An answer that completes while
        // that receive is being cancelled is taken: it is complete, and dropping it would only
        // leave its bytes to the next exchange.
        ULONG leftMs = (ULONG)((deadline - now) * 1000 / freq.QuadPart) + 1;
        ULONG n = 0;
        st = WskpReceiveLimited(x->session, b + got, length - got, &n, leftMs);
        if (st == STATUS_TIMEOUT) {
            st = STATUS_SUCCESS;
            continue;
        }
        if (!NT_SUCCESS(st)) break;
        if (n == 0) {
            st = STATUS_CONNECTION_DISCONNECTED;
            break;
        }
        got += n;
    }
    if (!NT_SUCCESS(st)) x->outOfStep = TRUE;
    return st;
}

NTSTATUS WpXRefuse(PWP_EXCHANGE x, NTSTATUS status) {
    x->outOfStep = TRUE;
    return status;
}

NTSTATUS WpXCheckAnswer(PWP_EXCHANGE x, const ZV_MESSAGE_HEADER* resp, ULONG expectedLength, PCSTR name) {
    NTSTATUS st = WpCheckRespHeader(resp, expectedLength, name);
    // A server error is a bare header: nothing of it is left on the stream.
    if (NT_SUCCESS(st) || resp->opcode == zw::OpRespError) return st;
    return WpXRefuse(x, st);
}

// A session that was bound to its image and lost its connection: the operation's one recovery
// rebuilds it. Within the rate limit nothing new has failed, so neither the failure lines nor
// the transport marks are repeated; a reconnect burst under way in another thread is still waited
// for (its outcome is ours), and otherwise the reconnect refuses at once.
static NTSTATUS WpRecoverClosed(PPROTOCOL_SESSION s, PBOOLEAN quiet) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG last = InterlockedCompareExchange64(&s->lastReconnectTime, 0, 0);
    if (last != 0 && now.QuadPart - last < PROTO_RECONNECT_INTERVAL_100NS) {
        *quiet = TRUE;
        return ProtocolClient_Reconnect(s);
    }
    *quiet = FALSE;
    return WpTryRecover(s, STATUS_DEVICE_NOT_CONNECTED);
}

NTSTATUS WpRunExchange(PWP_EXCHANGE x) {
    PPROTOCOL_SESSION s = x->session;
    BOOLEAN needHandshake = (x->options & WP_X_CONNECTED_ONLY) == 0;
    for (x->attempt = 0;; x->attempt++) {
        x->sent = 0;
        x->outOfStep = FALSE;
        WpAcquire(&s->ioLock);
        if (!WpFlag(&s->connected) || (needHandshake && !WpFlag(&s->handshakeDone))) {
            WpRelease(&s->ioLock);
            if ((x->options & WP_X_RECOVER) && x->attempt == 0 && WpFlag(&s->handshakeDone) &&
                !WpFlag(&s->removing)) {
                BOOLEAN quiet;
                NTSTATUS r = WpRecoverClosed(s, &quiet);
                if (!quiet && x->onRecovery) x->onRecovery(x, r);
                if (NT_SUCCESS(r)) continue;
                if (quiet && x->onNoStream) x->onNoStream(x, r);
                return r;
            }
            if (x->onNoStream) x->onNoStream(x, STATUS_DEVICE_NOT_CONNECTED);
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        NTSTATUS st = x->body(x);
        if (x->outOfStep && WpFlag(&s->connected)) WpDropOutOfStep(s, x->name, st);
        WpRelease(&s->ioLock);
        if (NT_SUCCESS(st)) return st;
        // A refused answer ends here too: WpTryRecover hands back every status that is not a
        // broken connection, without reconnecting.
        if (!(x->options & WP_X_RECOVER) || x->attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (x->onRecovery) x->onRecovery(x, r);
        if (!NT_SUCCESS(r)) return r;
    }
}
