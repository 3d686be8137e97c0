// The data path choice for remote reads and writes, the UDP bring-up after a Handshake, and
// UdpRetryTimer, which keeps trying to bring the channel up after a failed start.
//
// Reads take the UDP channel when it is up and their answer fits one datagram; everything else,
// and every read whose UDP answer is not exactly the data asked for, goes over TCP. Writes always
// go over TCP: a datagram nobody acknowledges cannot tell a written block from a lost one.
#include "ProtocolInternal.h"

// ---------------------------------------------------------------------------------------------
// Reads and writes

// One Read over the UDP channel. The answer counts only when it is a plain RespOk carrying exactly
// the bytes asked for; anything else (a server error, a short or compressed answer, no answer)
// fails the attempt and the caller falls back to TCP.
static BOOLEAN WpReadOverUdp(PPROTOCOL_SESSION s, ULONGLONG offset, ULONG length, PVOID buffer) {
    ZV_MESSAGE_HEADER req;
    WpBuildHeader(s, &req, zw::OpRead, 0, offset, length);
    ZV_MESSAGE_HEADER answer;
    RtlZeroMemory(&answer, sizeof(answer));
    ULONG carried = 0;
    SIZE_T got = WskUdp_SendRecvEx(&req, sizeof(req), buffer, length, &answer, &carried);
    if (got == WSKUDP_FAILED) return FALSE;
    if (answer.opcode != zw::OpRespOk || !(answer.flags & zw::FlagData) || (answer.flags & zw::FlagCompressed) ||
        answer.length != length || carried != length || got != length) {
        PLOG_DBG("ReadFromRemote: UDP 应答无效 opcode=0x%02X flags=0x%02X len=%u 数据=%u (off=%lld sz=%u)，改走 TCP\n",
                 (ULONG)answer.opcode, (ULONG)answer.flags, answer.length, carried, (LONGLONG)offset, length);
        return FALSE;
    }
    return TRUE;
}

static NTSTATUS WpReadOnce(PPROTOCOL_SESSION s, ULONGLONG offset, ULONG length, PVOID buffer, PULONG path) {
    if (length <= WSKUDP_MAX_READ && WskUdp_IsActive() && WpFlag(&s->handshakeDone)) {
        if (WpReadOverUdp(s, offset, length, buffer)) {
            InterlockedIncrement64(&s->dataPath.udpReads);
            if (path) *path = PROTO_TRANSPORT_UDP;
            return STATUS_SUCCESS;
        }
        InterlockedIncrement64(&s->dataPath.udpFallbacks);
    }
    if (path) *path = PROTO_TRANSPORT_TCP;
    InterlockedIncrement64(&s->dataPath.tcpReads);
    ULONGLONG got = 0;
    NTSTATUS st = ProtocolClient_Read(s, offset, length, buffer, &got);
    if (NT_SUCCESS(st) && got != length) st = STATUS_UNEXPECTED_IO_ERROR;
    return st;
}

NTSTATUS ReadFromRemoteEx(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer, PULONG path) {
    if (path) *path = PROTO_TRANSPORT_TCP;
    if (Session == NULL || buffer == NULL || length == 0) return STATUS_INVALID_PARAMETER;
    NTSTATUS st = WpReadOnce(Session, offset, length, buffer, path);
    if (NT_SUCCESS(st)) return STATUS_SUCCESS;
    PLOG_WARN("ReadFromRemote 第 1 次失败 0x%08X (off=%lld sz=%u), 重试\n", (ULONG)st, (LONGLONG)offset, length);
    st = WpReadOnce(Session, offset, length, buffer, path);
    return NT_SUCCESS(st) ? STATUS_SUCCESS : st;
}

NTSTATUS ReadFromRemote(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer) {
    return ReadFromRemoteEx(Session, offset, length, buffer, NULL);
}

NTSTATUS WriteToRemote(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, const VOID* data) {
    if (Session == NULL || data == NULL || length == 0) return STATUS_INVALID_PARAMETER;
    InterlockedIncrement64(&Session->dataPath.tcpWrites);
    ULONGLONG written = 0;
    NTSTATUS st = ProtocolClient_Write(Session, offset, length, data, &written);
    return NT_SUCCESS(st) ? STATUS_SUCCESS : st;
}

// ---------------------------------------------------------------------------------------------
// Bringing the channel up

// The negotiated port changes under transportLock (a retry may negotiate while activation does).
static USHORT WpUdpPort(PPROTOCOL_SESSION s) {
    WpAcquire(&s->transportLock);
    USHORT port = s->udpPort;
    WpRelease(&s->transportLock);
    return port;
}

static VOID WpRegisterPushBlock(PPROTOCOL_SESSION s) {
    if (s->pushBlockRegisterRoutine != NULL) s->pushBlockRegisterRoutine(s, s->pushBlockRegisterContext);
}

NTSTATUS ProtocolClient_StartUdp(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    NTSTATUS st = ProtocolClient_TransportNegotiate(s, PROTO_TRANSPORT_TCP | PROTO_TRANSPORT_UDP);
    if (!NT_SUCCESS(st)) return st;
    USHORT port = WpUdpPort(s);
    if (port == 0) return STATUS_NOT_SUPPORTED;  // the server offers no channel: TCP only
    st = WskUdp_Connect(s->serverIp, port);
    if (NT_SUCCESS(st)) {
        WpRegisterPushBlock(s);
        return st;
    }
    if (!WpFlag(&s->retryArmed)) UdpRetryStart(s);
    return st;
}

// ---------------------------------------------------------------------------------------------
// UdpRetryTimer

static VOID WpUdpRetryDisarm(PPROTOCOL_SESSION s) {
    KeCancelTimer(&s->udpRetryTimer);
    WpSetFlag(&s->retryArmed, FALSE);
}

static VOID WpUdpRetryRun(PPROTOCOL_SESSION s) {
    if (WpFlag(&s->removing) || !WpFlag(&s->retryArmed)) return;
    if (WskUdp_IsActive() || !WpFlag(&s->handshakeDone)) {
        WpUdpRetryDisarm(s);
        return;
    }
    LONG attempt = InterlockedIncrement(&s->retryAttempts);
    if (attempt > UDP_RETRY_MAX_ATTEMPTS) {
        FileLogWrite("[UDP重试] 已达上限 %d 次，停止\n", (int)UDP_RETRY_MAX_ATTEMPTS);
        WpUdpRetryDisarm(s);
        return;
    }
    NTSTATUS st = ProtocolClient_TransportNegotiate(s, PROTO_TRANSPORT_TCP | PROTO_TRANSPORT_UDP);
    USHORT port = NT_SUCCESS(st) ? WpUdpPort(s) : 0;
    if (port != 0 && NT_SUCCESS(WskUdp_Connect(s->serverIp, port))) {
        FileLogWrite("[UDP重试] 第 %d 次成功，UDP 已激活 端口=%u\n", (int)attempt, (ULONG)port);
        WpUdpRetryDisarm(s);
        WpRegisterPushBlock(s);
        return;
    }
    FileLogWrite("[UDP重试] 第 %d 次失败\n", (int)attempt);
}

static WORKER_THREAD_ROUTINE WpUdpRetryWork;

static VOID NTAPI WpUdpRetryWork(PVOID Context) {
    PPROTOCOL_SESSION s = (PPROTOCOL_SESSION)Context;
    WpUdpRetryRun(s);
    // The last touch of the session: teardown waits for this.
    InterlockedExchange(&s->retryWorkBusy, 0);
}

static KDEFERRED_ROUTINE WpUdpRetryDpc;

static VOID NTAPI WpUdpRetryDpc(PKDPC Dpc, PVOID Context, PVOID Arg1, PVOID Arg2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Arg1);
    UNREFERENCED_PARAMETER(Arg2);
    PPROTOCOL_SESSION s = (PPROTOCOL_SESSION)Context;
    if (!WpFlag(&s->retryArmed)) return;
    // One retry at a time: a firing while the previous one still negotiates is skipped.
    if (InterlockedCompareExchange(&s->retryWorkBusy, 1, 0) != 0) return;
    ExQueueWorkItem(&s->udpRetryWork, DelayedWorkQueue);
}

VOID UdpRetryStart(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    if (InterlockedCompareExchange(&s->udpRetryInitialized, 1, 0) == 0) {
        KeInitializeTimerEx(&s->udpRetryTimer, NotificationTimer);
        KeInitializeDpc(&s->udpRetryDpc, WpUdpRetryDpc, s);
        ExInitializeWorkItem(&s->udpRetryWork, WpUdpRetryWork, s);
    }
    if (InterlockedCompareExchange(&s->retryArmed, 1, 0) != 0) return;
    InterlockedExchange(&s->retryAttempts, 0);
    LARGE_INTEGER due = WpRelativeMs(UDP_RETRY_FIRST_MS);
    KeSetTimerEx(&s->udpRetryTimer, due, UDP_RETRY_PERIOD_MS, &s->udpRetryDpc);
}

VOID UdpRetryStop(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    if (!InterlockedCompareExchange(&s->udpRetryInitialized, 0, 0)) return;
    WpUdpRetryDisarm(s);
    // A deferred routine already running may still queue the work item; after the flush none
    // runs, and a queued or running work item clears retryWorkBusy as its last step.
    KeFlushQueuedDpcs();
    while (InterlockedCompareExchange(&s->retryWorkBusy, 0, 0) != 0) WpSleepMs(10);
}
