// Session maintenance exchanges: ExitSuperUser, MigrationStatus, Ping, PathDeregister.
//
// They send the header and the payload with two sends. Like the block operations they run
// through the exchange runner, which closes the stream when one of them fails half-way.
#include "ProtocolInternal.h"

// One request with a fixed-size answer record: send header + payload, receive header, check it,
// receive the record.
typedef struct _WP_FIXED {
    ZV_MESSAGE_HEADER hdr;
    PVOID payload;
    ULONG payloadLength;
    PVOID answer;
    ULONG answerLength;
    ULONG deadlineMs;
    PCSTR name;
} WP_FIXED;

static NTSTATUS WpFixedBody(PWP_EXCHANGE x) {
    WP_FIXED* f = (WP_FIXED*)x->context;
    NTSTATUS st = WpXSendAll(x, &f->hdr, sizeof(f->hdr));
    if (NT_SUCCESS(st) && f->payloadLength) st = WpXSendAll(x, f->payload, f->payloadLength);
    if (!NT_SUCCESS(st)) return st;
    ZV_MESSAGE_HEADER resp;
    st = WpXReceive(x, &resp, sizeof(resp), f->deadlineMs);
    if (!NT_SUCCESS(st)) return st;
    st = WpXCheckAnswer(x, &resp, f->answerLength, f->name);
    if (!NT_SUCCESS(st)) return st;
    return WpXReceive(x, f->answer, f->answerLength, f->deadlineMs);
}

static NTSTATUS WpFixedExchange(PPROTOCOL_SESSION s, WP_FIXED* f) {
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = f->name;
    x.options = WP_X_RECOVER;
    x.body = WpFixedBody;
    x.context = f;
    return WpRunExchange(&x);
}

// ---------------------------------------------------------------------------------------------

NTSTATUS ProtocolClient_ExitSuperUser(PPROTOCOL_SESSION Session, BOOLEAN commit, PULONGLONG blocks,
                                      PULONGLONG bytes) {
    PPROTOCOL_SESSION s = Session;
    NTSTATUS st = WpEntryCheck(s);
    if (!NT_SUCCESS(st)) return st;
    if (!WpFlag(&s->superUser)) return STATUS_INVALID_DEVICE_REQUEST;
    UCHAR payload = commit ? 1 : 0;
    zw::ExitSuperUserResponse rec;
    WP_FIXED f;
    WpBuildHeader(s, &f.hdr, zw::OpExitSuperUser, 0, 0, 1);
    f.payload = &payload;
    f.payloadLength = 1;
    f.answer = &rec;
    f.answerLength = sizeof(rec);
    f.deadlineMs = PROTO_DEADLINE_EXIT_SU_MS;
    f.name = "ExitSuperUser";
    st = WpFixedExchange(s, &f);
    if (!NT_SUCCESS(st)) return st;
    if (blocks) *blocks = rec.blocks;
    if (bytes) *bytes = rec.bytes;
    WpSetFlag(&s->superUser, FALSE);
    PLOG_INFO("ExitSuperUser 成功: commit=%d, blocks=%llu, bytes=%llu\n", (int)commit, rec.blocks, rec.bytes);
    return STATUS_SUCCESS;
}

NTSTATUS ProtocolClient_MigrationStatus(PPROTOCOL_SESSION Session, PCSTR key, PVOID out48) {
    PPROTOCOL_SESSION s = Session;
    NTSTATUS st = WpEntryCheck(s);
    if (!NT_SUCCESS(st)) return st;
    if (key == NULL || out48 == NULL) return STATUS_INVALID_PARAMETER;
    zw::MigrationStatusRequest req;
    RtlZeroMemory(&req, sizeof(req));
    for (ULONG i = 0; i < zw::kMigrationKeyMaxText && key[i] != 0; i++) req.key[i] = (UCHAR)key[i];
    zw::MigrationStatusResponse rec;
    WP_FIXED f;
    WpBuildHeader(s, &f.hdr, zw::OpMigrationStatus, 0, 0, sizeof(req));
    f.payload = &req;
    f.payloadLength = sizeof(req);
    f.answer = &rec;
    f.answerLength = sizeof(rec);
    f.deadlineMs = PROTO_DEADLINE_MIGRATION_MS;
    f.name = "MigrationStatus";
    st = WpFixedExchange(s, &f);
    if (!NT_SUCCESS(st)) return st;
    rec.field12 = 0;
    RtlCopyMemory(out48, &rec, sizeof(rec));
    PLOG_DBG("MigrationStatus: active=%u, dirty=%llu/%llu\n", rec.active, rec.dirty, rec.total);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Ping

typedef struct _WP_PING {
    ZV_MESSAGE_HEADER hdr;
    BOOLEAN noStream;  // the session was not connected any more (counted, not logged)
} WP_PING;

static NTSTATUS WpPingBody(PWP_EXCHANGE x) {
    WP_PING* p = (WP_PING*)x->context;
    NTSTATUS st = WpXSendAll(x, &p->hdr, sizeof(p->hdr));
    if (!NT_SUCCESS(st)) return st;
    // One deadline for the whole answer, which may arrive in pieces.
    ZV_MESSAGE_HEADER resp;
    st = WpXReceiveTight(x, &resp, sizeof(resp), PROTO_DEADLINE_PING_MS);
    if (!NT_SUCCESS(st)) return st;
    if (resp.magic != zw::kMagic || resp.version != zw::kVersion) return WpXRefuse(x, STATUS_INVALID_NETWORK_RESPONSE);
    if (resp.opcode == zw::OpRespPong) return STATUS_SUCCESS;
    // A server error is a bare header; what follows any other answer is unknown.
    if (resp.opcode == zw::OpRespError) return STATUS_REMOTE_NOT_LISTENING;
    return WpXRefuse(x, STATUS_UNEXPECTED_NETWORK_ERROR);
}

static VOID WpPingNoStream(PWP_EXCHANGE x, NTSTATUS status) {
    UNREFERENCED_PARAMETER(status);
    ((WP_PING*)x->context)->noStream = TRUE;
}

NTSTATUS ProtocolClient_Ping(PPROTOCOL_SESSION Session) {
    PPROTOCOL_SESSION s = Session;
    if (WpFlag(&s->removing)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->connected)) {
        InterlockedIncrement64(&s->stats.pingFailures);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    WP_PING p;
    WpBuildHeader(s, &p.hdr, zw::OpPing, 0, 0, 0);
    p.noStream = FALSE;
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "Ping";
    x.options = WP_X_CONNECTED_ONLY;
    x.body = WpPingBody;
    x.onNoStream = WpPingNoStream;
    x.context = &p;
    NTSTATUS st = WpRunExchange(&x);
    if (NT_SUCCESS(st)) {
        InterlockedIncrement64(&s->stats.pongs);
        return STATUS_SUCCESS;
    }
    InterlockedIncrement64(&s->stats.pingFailures);
    if (!p.noStream) PLOG_WARN("Ping 失败: 0x%08X\n", (ULONG)st);
    return st;
}

// ---------------------------------------------------------------------------------------------
// PathDeregister

typedef struct _WP_PATHDEREG {
    ZV_MESSAGE_HEADER hdr;
    zw::PathDeregisterRequest req;
} WP_PATHDEREG;

static NTSTATUS WpPathDeregisterBody(PWP_EXCHANGE x) {
    WP_PATHDEREG* d = (WP_PATHDEREG*)x->context;
    NTSTATUS st = WpXSendAll(x, &d->hdr, sizeof(d->hdr));
    if (NT_SUCCESS(st)) st = WpXSendAll(x, &d->req, sizeof(d->req));
    if (!NT_SUCCESS(st)) return st;
    // The header's content is not examined: whatever it says, nothing follows it.
    ZV_MESSAGE_HEADER resp;
    return WpXReceive(x, &resp, sizeof(resp), PROTO_DEADLINE_PATHDEREG_MS);
}

NTSTATUS ProtocolClient_PathDeregister(PPROTOCOL_SESSION Session, ULONG pathId, ULONG reason) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    WP_PATHDEREG d;
    d.req = {pathId, reason, 0};
    WpBuildHeader(s, &d.hdr, zw::OpPathDeregister, 0, 0, sizeof(d.req));
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "PathDeregister";
    x.body = WpPathDeregisterBody;
    x.context = &d;
    NTSTATUS st = WpRunExchange(&x);
    if (!NT_SUCCESS(st)) return st;
    if (s->pathId == pathId) s->pathId = 0;
    PLOG_INFO("[PathDeregister] pathId=%u reason=%u\n", pathId, reason);
    return STATUS_SUCCESS;
}
