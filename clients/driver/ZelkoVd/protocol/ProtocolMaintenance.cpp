// Session maintenance exchanges: ExitSuperUser, MigrationStatus, Ping, PathDeregister.
//
// They send the header and the payload with two sends. Like the block operations they close
// the stream when they fail half-way, so that no later exchange reads their leftovers.
#include "ProtocolInternal.h"

static VOID WpSettle(PPROTOCOL_SESSION s, BOOLEAN outOfStep, PCSTR name, NTSTATUS st) {
    if (outOfStep && WpFlag(&s->connected)) WpDropOutOfStep(s, name, st);
}

// Header checks shared by ExitSuperUser and MigrationStatus: server error mapping, opcode, and
// the exact record length.
static NTSTATUS WpCheckFixedAnswer(const ZV_MESSAGE_HEADER* resp, ULONG want, PCSTR name) {
    return WpCheckRespHeader(resp, want, name);
}

// One request with a fixed-size answer record: send header + payload, receive header, check it,
// receive the record. Runs under ioLock; *outOfStep reports whether the stream must be closed.
static NTSTATUS WpFixedExchange(PPROTOCOL_SESSION s, ZV_MESSAGE_HEADER* hdr, PVOID payload, ULONG payloadLength,
                                PVOID answer, ULONG answerLength, ULONG deadlineMs, PCSTR name,
                                BOOLEAN* outOfStep) {
    *outOfStep = FALSE;
    NTSTATUS st = WskClient_SendAll(s, hdr, sizeof(*hdr));
    if (NT_SUCCESS(st) && payloadLength) st = WskClient_SendAll(s, payload, payloadLength);
    if (!NT_SUCCESS(st)) {
        *outOfStep = st != STATUS_INSUFFICIENT_RESOURCES;
        return st;
    }
    ZV_MESSAGE_HEADER resp;
    st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), deadlineMs);
    if (!NT_SUCCESS(st)) {
        *outOfStep = TRUE;
        return st;
    }
    st = WpCheckFixedAnswer(&resp, answerLength, name);
    if (!NT_SUCCESS(st)) {
        // A record of another size is on its way.
        *outOfStep = st == STATUS_INVALID_BUFFER_SIZE;
        return st;
    }
    st = WskClient_ReceiveAllDeadline(s, answer, answerLength, deadlineMs);
    if (!NT_SUCCESS(st)) *outOfStep = TRUE;
    return st;
}

// ---------------------------------------------------------------------------------------------

NTSTATUS ProtocolClient_ExitSuperUser(PPROTOCOL_SESSION Session, BOOLEAN commit, PULONGLONG blocks,
                                      PULONGLONG bytes) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    if (!WpFlag(&s->superUser)) return STATUS_INVALID_DEVICE_REQUEST;
    UCHAR payload = commit ? 1 : 0;
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpExitSuperUser, 0, 0, 1);
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS st = WpLockAndCheck(s);
        if (!NT_SUCCESS(st)) return st;
        zw::ExitSuperUserResponse rec;
        BOOLEAN outOfStep;
        st = WpFixedExchange(s, &hdr, &payload, 1, &rec, sizeof(rec), PROTO_DEADLINE_EXIT_SU_MS, "ExitSuperUser",
                             &outOfStep);
        if (NT_SUCCESS(st)) {
            if (blocks) *blocks = rec.blocks;
            if (bytes) *bytes = rec.bytes;
            WpSetFlag(&s->superUser, FALSE);
            PLOG_INFO("ExitSuperUser 成功: commit=%d, blocks=%llu, bytes=%llu\n", (int)commit, rec.blocks, rec.bytes);
        }
        WpSettle(s, outOfStep, "ExitSuperUser", st);
        WpUnlock(s);
        if (outOfStep && st == STATUS_INVALID_BUFFER_SIZE) WpRestoreAfterDrop(s);
        if (NT_SUCCESS(st) || attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (!NT_SUCCESS(r)) return r;
    }
}

NTSTATUS ProtocolClient_MigrationStatus(PPROTOCOL_SESSION Session, PCSTR key, PVOID out48) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    if (key == NULL || out48 == NULL) return STATUS_INVALID_PARAMETER;
    zw::MigrationStatusRequest req;
    RtlZeroMemory(&req, sizeof(req));
    for (ULONG i = 0; i < zw::kMigrationKeyMaxText && key[i] != 0; i++) req.key[i] = (UCHAR)key[i];
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpMigrationStatus, 0, 0, sizeof(req));
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS st = WpLockAndCheck(s);
        if (!NT_SUCCESS(st)) return st;
        zw::MigrationStatusResponse rec;
        BOOLEAN outOfStep;
        st = WpFixedExchange(s, &hdr, &req, sizeof(req), &rec, sizeof(rec), PROTO_DEADLINE_MIGRATION_MS,
                             "MigrationStatus", &outOfStep);
        if (NT_SUCCESS(st)) {
            rec.field12 = 0;
            RtlCopyMemory(out48, &rec, sizeof(rec));
            PLOG_DBG("MigrationStatus: active=%u, dirty=%llu/%llu\n", rec.active, rec.dirty, rec.total);
        }
        WpSettle(s, outOfStep, "MigrationStatus", st);
        WpUnlock(s);
        if (outOfStep && st == STATUS_INVALID_BUFFER_SIZE) WpRestoreAfterDrop(s);
        if (NT_SUCCESS(st) || attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (!NT_SUCCESS(r)) return r;
    }
}

NTSTATUS ProtocolClient_Ping(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    if (WpFlag(&s->removing)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->connected)) {
        InterlockedIncrement64(&s->stats.pingFailures);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpPing, 0, 0, 0);
    WpAcquire(&s->ioLock);
    if (!WpFlag(&s->connected)) {
        WpRelease(&s->ioLock);
        InterlockedIncrement64(&s->stats.pingFailures);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    BOOLEAN outOfStep = FALSE;
    NTSTATUS st = STATUS_SUCCESS;
    ULONG sent = 0;
    while (sent < sizeof(hdr)) {
        ULONG n = 0;
        st = WskClient_Send(s, (PUCHAR)&hdr + sent, sizeof(hdr) - sent, &n);
        if (!NT_SUCCESS(st)) break;
        if (n == 0) {
            st = STATUS_UNSUCCESSFUL;
            break;
        }
        sent += n;
    }
    ZV_MESSAGE_HEADER resp;
    if (!NT_SUCCESS(st)) {
        outOfStep = st != STATUS_INSUFFICIENT_RESOURCES || sent > 0;
    } else {
        // One deadline for the whole answer, which may arrive in pieces.
        LARGE_INTEGER freq;
        LARGE_INTEGER start = KeQueryPerformanceCounter(&freq);
        LONGLONG deadline = start.QuadPart + (LONGLONG)PROTO_DEADLINE_PING_MS * freq.QuadPart / 1000;
        ULONG got = 0;
        while (got < sizeof(resp)) {
            LONGLONG now = KeQueryPerformanceCounter(NULL).QuadPart;
            if (now >= deadline) {
                st = STATUS_IO_TIMEOUT;
                break;
            }
            // A single receive waits no longer than the deadline leaves, so a silent server
            // fails the Ping after 3 s, not after a whole receive limit.
            ULONG leftMs = (ULONG)((deadline - now) * 1000 / freq.QuadPart) + 1;
            ULONG n = 0;
            st = WskpReceiveLimited(s, (PUCHAR)&resp + got, sizeof(resp) - got, &n, leftMs);
            if (st == STATUS_TIMEOUT) continue;
            if (!NT_SUCCESS(st)) break;
            if (n == 0) {
                st = STATUS_CONNECTION_DISCONNECTED;
                break;
            }
            got += n;
            // An answer completed after the deadline is late all the same.
            if (KeQueryPerformanceCounter(NULL).QuadPart > deadline) {
                st = STATUS_IO_TIMEOUT;
                break;
            }
        }
        if (got == sizeof(resp) && NT_SUCCESS(st)) st = STATUS_SUCCESS;
        if (!NT_SUCCESS(st)) outOfStep = TRUE;
    }
    if (NT_SUCCESS(st)) {
        if (resp.magic != zw::kMagic || resp.version != zw::kVersion) {
            st = STATUS_INVALID_NETWORK_RESPONSE;
            outOfStep = TRUE;
        } else if (resp.opcode == zw::OpRespPong) {
            st = STATUS_SUCCESS;
        } else if (resp.opcode == zw::OpRespError) {
            st = STATUS_REMOTE_NOT_LISTENING;
        } else {
            st = STATUS_UNEXPECTED_NETWORK_ERROR;
        }
    }
    WpSettle(s, outOfStep, "Ping", st);
    WpRelease(&s->ioLock);
    if (NT_SUCCESS(st)) {
        InterlockedIncrement64(&s->stats.pongs);
        return STATUS_SUCCESS;
    }
    InterlockedIncrement64(&s->stats.pingFailures);
    PLOG_WARN("Ping 失败: 0x%08X\n", (ULONG)st);
    return st;
}

NTSTATUS ProtocolClient_PathDeregister(PPROTOCOL_SESSION Session, ULONG pathId, ULONG reason) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    zw::PathDeregisterRequest req = {pathId, reason, 0};
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpPathDeregister, 0, 0, sizeof(req));
    NTSTATUS st = WpLockAndCheck(s);
    if (!NT_SUCCESS(st)) return st;
    st = WskClient_SendAll(s, &hdr, sizeof(hdr));
    if (NT_SUCCESS(st)) st = WskClient_SendAll(s, &req, sizeof(req));
    if (!NT_SUCCESS(st)) {
        WpSettle(s, st != STATUS_INSUFFICIENT_RESOURCES, "PathDeregister", st);
        return WpUnlockReturn(s, st);
    }
    ZV_MESSAGE_HEADER resp;
    st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), PROTO_DEADLINE_PATHDEREG_MS);
    WpSettle(s, !NT_SUCCESS(st), "PathDeregister", st);
    WpUnlock(s);
    if (!NT_SUCCESS(st)) return st;
    if (s->pathId == pathId) s->pathId = 0;
    PLOG_INFO("[PathDeregister] pathId=%u reason=%u\n", pathId, reason);
    return STATUS_SUCCESS;
}
