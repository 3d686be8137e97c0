// Control requests that drive LUN 0's session with the disk server: configure, connect,
// handshake (manual activation), reconnect, disconnect, and the server-side session commands
// (leave super-user mode, migration status, ping).
//
// LUN 0's connection fields are written here without a lock, as the auto-activation thread
// does: the two never run at once, because SET_CONFIG stops the thread before it touches them
// and the thread, once it gave up or succeeded, no longer writes them. The protocol operations
// take the session's own lock.
#include "ControlInternal.h"

namespace {

// Every socket close this device performs also forgets the handshake: a later exchange must
// not run on a fresh connection that never bound itself to an image.
VOID ControlCloseSession(LuExt* lu) {
    WskClient_Disconnect(&lu->session);
    WpSetFlag(&lu->session.handshakeDone, FALSE);
}

}  // namespace

NTSTATUS ControlConnect(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    ZvLogPlain("[用户上传] IOCTL_ZELKO_CONNECT 收到，调用 WskClient_Connect\n");
    if (LuConnected(lu)) {
        FileLogWrite("[用户上传] Connect 前断开旧连接残留\n");
        ControlCloseSession(lu);
    }
    NTSTATUS status = WskClient_Connect(&lu->session);
    ZvLogPlain("[用户上传] WskClient_Connect 返回 0x%08X\n", (ULONG)status);
    return status;
}

NTSTATUS ControlDisconnect(PCONTROL_REQUEST Request) {
    if (Request->Lun0 != NULL) ControlCloseSession(Request->Lun0);
    return STATUS_SUCCESS;
}

NTSTATUS ControlHandshake(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    ZvLogPlain("[HANDSHAKE] lun0Ext=%p\n", (PVOID)lu);
    NTSTATUS status = ProtocolClient_Handshake(&lu->session);
    if (NT_SUCCESS(status) && LuHandshakeDone(lu)) {
        // The held READs are released below; their expiry timer has nothing left to do.
        (VOID)ZvCancelPendingReadTimer(lu);
        if (!lu->fileBacked && LuTargetSize(lu) > 0) {
            NTSTATUS prefetch = PrefetchBoot(lu);
            FileLogWrite("[ManualActivate] 预取完成 status=0x%08X\n", (ULONG)prefetch);
        }
        WakeupPendingReads(lu);
        ZvNotifyBusChange(Request->Adapter);
        FileLogWrite("[ManualActivate] 手动激活完成：已唤醒 READ + BusChangeDetected\n");
    }
    ZvLogPlain("[HANDSHAKE] 返回 0x%08X, ro=%d, su=%d\n", (ULONG)status, (int)LuReadOnly(lu), (int)LuSuperUser(lu));
    return status;
}

NTSTATUS ControlSetConfig(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    // The record is copied out first: nothing below writes the system buffer, but the copy keeps
    // the user's bytes from changing between the checks and the use.
    zc::SetConfigRecord rec;
    RtlCopyMemory(&rec, Request->Buffer, sizeof(rec));

    // The auto-activation thread copies the driver parameters into LUN 0 on every attempt; stop
    // it before writing LUN 0, or it would overwrite this configuration (and race the connect
    // that follows). ZvStopActivationThread clears the running flag, waits at most 2 s and drops
    // the thread reference.
    if (InterlockedCompareExchange(&ActivationThreadRunning, 0, 0) != 0) (VOID)ZvStopActivationThread();

    PPROTOCOL_SESSION s = &lu->session;
    if (rec.serverIp[0] != 0) ControlCopyText(s->serverIp, rec.serverIp, PROTO_SERVER_IP_UNITS);
    if (rec.serverPort != 0) s->serverPort = rec.serverPort;
    if (rec.targetIqn[0] != 0) ControlCopyText(s->targetIqn, rec.targetIqn, PROTO_IQN_UNITS);
    if (rec.clientId[0] != 0) ControlCopyText(s->clientId, rec.clientId, PROTO_CLIENT_ID_UNITS);
    if (rec.cacheSizeMb >= zc::kCacheMinMb && rec.cacheSizeMb <= zc::kCacheMaxMb && lu->cache.initialized) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&lu->cache.cacheLock, TRUE);
        lu->cache.capacity = (ULONGLONG)rec.cacheSizeMb * 1024 * 1024;
        ExReleaseResourceLite(&lu->cache.cacheLock);
        KeLeaveCriticalRegion();
    }
    WpSetFlag(&s->readOnly, rec.readOnly != 0);
    WpSetFlag(&s->superUser, rec.superUser != 0);
    // The token is copied whole (an empty one clears it); its 64th unit is always the end.
    RtlCopyMemory(s->superUserToken, rec.superUserToken, sizeof(s->superUserToken));
    s->superUserToken[PROTO_TOKEN_UNITS - 1] = 0;

    if (LuConnected(lu)) WskClient_Disconnect(s);
    WpSetFlag(&s->handshakeDone, FALSE);
    s->sessionId = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ControlExitSuperUser(PCONTROL_REQUEST Request) {
    BOOLEAN commit = ((const zc::ExitSuperUserRequest*)Request->Buffer)->commit != 0;
    ULONGLONG blocks = 0, bytes = 0;
    NTSTATUS status = ProtocolClient_ExitSuperUser(&Request->Lun0->session, commit, &blocks, &bytes);
    if (!NT_SUCCESS(status)) return status;
    zc::ExitSuperUserRecord* out = (zc::ExitSuperUserRecord*)Request->Buffer;
    out->mergedBlocks = blocks;
    out->mergedBytes = bytes;
    Request->Information = sizeof(*out);
    return status;
}

NTSTATUS ControlReconnect(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    zc::ReconnectRecord rec;
    RtlCopyMemory(&rec, Request->Buffer, sizeof(rec));

    ControlCloseSession(lu);
    PPROTOCOL_SESSION s = &lu->session;
    if (rec.serverIp[0] != 0) ControlCopyText(s->serverIp, rec.serverIp, PROTO_SERVER_IP_UNITS);
    if (rec.serverPort != 0) s->serverPort = rec.serverPort;
    if (rec.clientId[0] != 0) ControlCopyText(s->clientId, rec.clientId, PROTO_CLIENT_ID_UNITS);

    NTSTATUS status = WskClient_Connect(s);
    if (!NT_SUCCESS(status)) return status;
    status = ProtocolClient_Handshake(s);
    if (!NT_SUCCESS(status)) return status;
    // The disk may have changed size or protection: let the port look again. Held READs stay
    // with manual activation (HANDSHAKE).
    ZvNotifyBusChange(lu->adapter != NULL ? lu->adapter : Request->Adapter);
    return STATUS_SUCCESS;
}

NTSTATUS ControlMigrationStatus(PCONTROL_REQUEST Request) {
    // The key travels as 8-bit text; the 32 input bytes need not hold a terminator, so give them
    // one before the session reads up to the first NUL. The session sends at most 28 bytes.
    CHAR key[sizeof(zc::MigrationStatusRequest) + 1];
    RtlCopyMemory(key, Request->Buffer, sizeof(zc::MigrationStatusRequest));
    key[sizeof(zc::MigrationStatusRequest)] = 0;

    UCHAR reply[sizeof(zc::MigrationStatusReply)];
    NTSTATUS status = ProtocolClient_MigrationStatus(&Request->Lun0->session, key, reply);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(Request->Buffer, reply, sizeof(reply));
    Request->Information = sizeof(reply);
    return status;
}

NTSTATUS ControlPing(PCONTROL_REQUEST Request) {
    NTSTATUS ping = ProtocolClient_Ping(&Request->Lun0->session);
    zc::PingRecord* out = (zc::PingRecord*)Request->Buffer;
    RtlZeroMemory(out, sizeof(*out));
    out->succeeded = NT_SUCCESS(ping) ? 1 : 0;
    out->status = (int32_t)ping;
    Request->Information = sizeof(*out);
    return STATUS_SUCCESS;
}
