// The protocol session: Handshake and the block operations Read, Write, BatchRead, BatchWrite.
//
// Each operation is one complete request/response exchange under ioLock, so the TCP stream never
// carries two exchanges at once. When an exchange fails half-way (a transfer failed, or the
// answer announced bytes the driver will not take), the bytes still on their way would be read as
// the next answer's header; such an exchange closes the stream before it releases ioLock.
#include "ProtocolInternal.h"

// How an exchange left the stream.
typedef enum _WP_STREAM_STATE {
    WpStreamInStep = 0,
    WpStreamBroken,   // a transfer failed; recovery (if any) reconnects
    WpStreamRefused,  // the answer could not be consumed; close, then restore the session
} WP_STREAM_STATE;

// Closes the stream if the exchange left it out of step; called with ioLock held.
static VOID WpSettleStream(PPROTOCOL_SESSION s, WP_STREAM_STATE state, PCSTR name, NTSTATUS st) {
    if (state != WpStreamInStep && WpFlag(&s->connected)) WpDropOutOfStep(s, name, st);
}

// A transfer failure other than "nothing was sent for lack of memory" leaves the stream broken.
static WP_STREAM_STATE WpTransferState(NTSTATUS st) {
    return st == STATUS_INSUFFICIENT_RESOURCES ? WpStreamInStep : WpStreamBroken;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

NTSTATUS ProtocolSession_Init(PPROTOCOL_SESSION Session, ULONG preferredTransport) {
    Session->seqCounter = 1;
    Session->currentTransport = PROTO_TRANSPORT_TCP;
    ExInitializeFastMutex(&Session->ioLock);
    ExInitializeFastMutex(&Session->reconnectLock);
    WskpSessionPoolInit(Session);
    if (preferredTransport == 2) {
        PLOG("preferredTransport=RDMA 不可用（内核态无 RDMA 数据通道），降级 UDP/TCP\n");
        Session->rdmaFailed = TRUE;
    }
    return STATUS_SUCCESS;
}

VOID ProtocolSession_Teardown(PPROTOCOL_SESSION Session) {
    WpSetFlag(&Session->removing, TRUE);
    UdpRetryStop(Session);
    if (Session->pathId != 0 && WpFlag(&Session->connected))
        (VOID)ProtocolClient_PathDeregister(Session, Session->pathId, 0);
    // The reconnect lock keeps a recovery in another thread from reopening the socket behind us.
    WpAcquire(&Session->reconnectLock);
    WpAcquire(&Session->ioLock);
    WskClient_Disconnect(Session);
    WpRelease(&Session->ioLock);
    WpRelease(&Session->reconnectLock);
    WskpSessionPoolDestroy(Session);
}

// ---------------------------------------------------------------------------------------------
// Handshake

// The largest record: 18 + 255 + 63 + 63 bytes. It always fits the fixed buffer, so the pool
// allocation for larger records is never needed.
#define WP_HANDSHAKE_BUFFER 412
static_assert(18 + zw::kMaxIqnBytes + zw::kMaxClientIdBytes + zw::kMaxTokenUnits <= WP_HANDSHAKE_BUFFER,
              "handshake record fits its buffer");

static ULONG WpAnsiText(PCWSTR text, ULONG maxUnits, PCHAR out, USHORT usable) {
    ULONG units = 0;
    while (units < maxUnits && text[units] != 0) units++;
    if (units > usable) units = usable;
    UNICODE_STRING u;
    u.Buffer = (PWSTR)text;
    u.Length = (USHORT)(units * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    ANSI_STRING a;
    a.Buffer = out;
    a.Length = 0;
    a.MaximumLength = (USHORT)(usable + 1);  // the conversion keeps room for its terminator
    (VOID)RtlUnicodeStringToAnsiString(&a, &u, FALSE);
    ULONG n = 0;
    while (n < usable && out[n] != 0) n++;
    return n;
}

static ULONG WpBuildHandshakeRecord(PPROTOCOL_SESSION s, PUCHAR rec, PUCHAR flags) {
    CHAR iqn[256];
    CHAR cid[64];
    RtlZeroMemory(iqn, sizeof(iqn));
    RtlZeroMemory(cid, sizeof(cid));
    ULONG a = WpAnsiText(s->targetIqn, PROTO_IQN_UNITS, iqn, 255);
    ULONG b = WpAnsiText(s->clientId, PROTO_CLIENT_ID_UNITS, cid, 63);
    ULONG pos = 0;
    zw::HandshakeRequestFixed fixed = {1, 0, 0};
    RtlCopyMemory(rec, &fixed, sizeof(fixed));
    pos = sizeof(fixed);
    USHORT len16 = (USHORT)a;
    RtlCopyMemory(rec + pos, &len16, 2);
    pos += 2;
    RtlCopyMemory(rec + pos, iqn, a);
    pos += a;
    len16 = (USHORT)b;
    RtlCopyMemory(rec + pos, &len16, 2);
    pos += 2;
    RtlCopyMemory(rec + pos, cid, b);
    pos += b;
    *flags = WpFlag(&s->readOnly) ? zw::FlagReadOnly : 0;
    if (WpFlag(&s->superUser)) {
        *flags |= zw::FlagSuperUser;
        USHORT t = 0;
        while (t < zw::kMaxTokenUnits && s->superUserToken[t] != 0) t++;
        RtlCopyMemory(rec + pos, &t, 2);
        pos += 2;
        for (USHORT i = 0; i < t; i++) rec[pos++] = (UCHAR)(s->superUserToken[i] & 0xFF);
    }
    return pos;
}

NTSTATUS WpHandshakeLocked(PPROTOCOL_SESSION s) {
    UCHAR rec[WP_HANDSHAKE_BUFFER];
    UCHAR flags;
    ULONG size = WpBuildHandshakeRecord(s, rec, &flags);
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpHandshake, flags, 0, size - 12);

    NTSTATUS st = WpSendRequest(s, &hdr, rec, size, NULL, 0);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("握手发送失败: 0x%08X\n", (ULONG)st);
        WpSettleStream(s, WpTransferState(st), "Handshake", st);
        return st;
    }
    ZV_MESSAGE_HEADER resp;
    st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), PROTO_DEADLINE_HANDSHAKE_MS);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("握手接收 header 失败: 0x%08X\n", (ULONG)st);
        WpSettleStream(s, WpStreamBroken, "Handshake", st);
        return st;
    }
    if (resp.magic != zw::kMagic || resp.version != zw::kVersion) {
        PLOG_ERR("握手响应 magic/version 校验失败: magic=0x%08X, ver=%u\n", resp.magic, (ULONG)resp.version);
        WpSettleStream(s, WpStreamRefused, "Handshake", STATUS_INVALID_NETWORK_RESPONSE);
        return STATUS_INVALID_NETWORK_RESPONSE;
    }
    st = WpCheckRespHeader(&resp, sizeof(zw::HandshakeResponse), "Handshake");
    if (!NT_SUCCESS(st)) {
        if (st == STATUS_INVALID_BUFFER_SIZE) WpSettleStream(s, WpStreamRefused, "Handshake", st);
        return st;
    }
    zw::HandshakeResponse body;
    st = WskClient_ReceiveAllDeadline(s, &body, sizeof(body), PROTO_DEADLINE_HANDSHAKE_MS);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("握手接收 body 失败: 0x%08X\n", (ULONG)st);
        WpSettleStream(s, WpStreamBroken, "Handshake", st);
        return st;
    }
    if (body.serverVersion != 1) {
        PLOG_ERR("协议版本不匹配: client=%u, server=%u\n", 1u, body.serverVersion);
        return STATUS_REVISION_MISMATCH;
    }
    ULONG previous = s->imageVersion;
    s->sessionId = body.sid;
    s->targetSize = body.size;
    s->blockSize = body.bs ? body.bs : zw::kDefaultBlockSize;
    WpSetFlag(&s->readOnly, (body.flags & zw::kHandshakeReadOnly) ? TRUE : FALSE);
    WpSetFlag(&s->superUser, (body.flags & zw::kHandshakeSuperUser) ? TRUE : FALSE);
    s->imageVersion = body.ver;
    if (previous != 0 && previous != body.ver) {
        PLOG_INFO("镜像版本变化: %u -> %u，清除本地缓存\n", previous, body.ver);
        // The cache takes its own locks and may call back into the session: never under ioLock.
        WpRelease(&s->ioLock);
        if (s->cacheClearRoutine) s->cacheClearRoutine(s, s->cacheClearContext);
        WpAcquire(&s->ioLock);
    }
    WpSetFlag(&s->handshakeDone, TRUE);
    PLOG_INFO("握手成功: sid=%u, size=%llu, bs=%u, ro=%d, su=%d, ver=%u\n", (ULONG)s->sessionId,
              s->targetSize, s->blockSize, (int)WpFlag(&s->readOnly), (int)WpFlag(&s->superUser), s->imageVersion);
    return STATUS_SUCCESS;
}

NTSTATUS ProtocolClient_Handshake(PPROTOCOL_SESSION Session) {
    if (!WpFlag(&Session->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    WpAcquire(&Session->ioLock);
    if (!WpFlag(&Session->connected)) {
        WpRelease(&Session->ioLock);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS st = WpHandshakeLocked(Session);
    WpRelease(&Session->ioLock);
    return st;
}

// ---------------------------------------------------------------------------------------------
// Read

static NTSTATUS WpReadLocked(PPROTOCOL_SESSION s, ZV_MESSAGE_HEADER* hdr, ULONG length, PVOID buffer,
                             PULONGLONG bytesRead, BOOLEAN* recover, WP_STREAM_STATE* stream) {
    *recover = TRUE;
    *stream = WpStreamInStep;
    NTSTATUS st = WskClient_SendAll(s, hdr, sizeof(*hdr));
    if (!NT_SUCCESS(st)) {
        *stream = WpTransferState(st);
        return st;
    }
    ZV_MESSAGE_HEADER resp;
    st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), PROTO_DEADLINE_READ_MS);
    if (!NT_SUCCESS(st)) {
        *stream = WpStreamBroken;
        return st;
    }
    st = WpCheckRespHeader(&resp, 0, "Read");
    if (!NT_SUCCESS(st)) return st;
    if (!(resp.flags & zw::FlagData)) {
        *recover = FALSE;
        return STATUS_UNEXPECTED_IO_ERROR;
    }
    if (resp.flags & zw::FlagCompressed) {
        // The format cannot need more than this for the count asked for; anything longer would
        // only make us allocate what the server chose.
        if ((ULONGLONG)resp.length > zw::CompressedWorstCase(length)) {
            PLOG_ERR("LZ4 压缩长度超出上限: compSize=%u, expect=%u, max=%llu\n", resp.length, length,
                     (ULONGLONG)zw::CompressedWorstCase(length));
            *recover = FALSE;
            *stream = WpStreamRefused;
            return STATUS_INVALID_BUFFER_SIZE;
        }
        PUCHAR comp = resp.length ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, resp.length, ZV_TAG_LZ_BUFFER) : NULL;
        if (resp.length && comp == NULL) {
            *recover = FALSE;
            *stream = WpStreamRefused;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (resp.length) {
            st = WskClient_ReceiveAllDeadline(s, comp, resp.length, PROTO_DEADLINE_READ_MS);
            if (!NT_SUCCESS(st)) {
                ExFreePoolWithTag(comp, ZV_TAG_LZ_BUFFER);
                *stream = WpStreamBroken;
                return st;
            }
        }
        SIZE_T got = resp.length ? WpDecompress(comp, resp.length, (PUCHAR)buffer, length) : 0;
        if (comp) ExFreePoolWithTag(comp, ZV_TAG_LZ_BUFFER);
        if (got != length || (resp.length == 0 && length != 0)) {
            PLOG_ERR("LZ4 解压失败: compSize=%u, expect=%u, got=%zu\n", resp.length, length, (SIZE_T)got);
            return STATUS_DATA_ERROR;
        }
        if (bytesRead) *bytesRead = got;
        return STATUS_SUCCESS;
    }
    if (resp.length != length) {
        PLOG_ERR("Read size 不匹配: got=%u, want=%u\n", resp.length, length);
        *recover = FALSE;
        *stream = WpStreamRefused;
        return STATUS_INVALID_BUFFER_SIZE;
    }
    st = WskClient_ReceiveAllDeadline(s, buffer, length, PROTO_DEADLINE_READ_MS);
    if (!NT_SUCCESS(st)) {
        *stream = WpStreamBroken;
        return st;
    }
    if (bytesRead) *bytesRead = resp.length;
    return STATUS_SUCCESS;
}

NTSTATUS ProtocolClient_Read(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer,
                             PULONGLONG bytesRead) {
    PPROTOCOL_SESSION s = Session;
    if (bytesRead) *bytesRead = 0;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    if (buffer == NULL || length == 0) return STATUS_INVALID_PARAMETER;
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpRead, 0, offset, length);
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS st = WpLockAndCheck(s);
        if (!NT_SUCCESS(st)) return st;
        BOOLEAN recover;
        WP_STREAM_STATE stream;
        st = WpReadLocked(s, &hdr, length, buffer, bytesRead, &recover, &stream);
        WpSettleStream(s, stream, "Read", st);
        WpUnlock(s);
        if (NT_SUCCESS(st)) return st;
        if (stream == WpStreamRefused) WpRestoreAfterDrop(s);
        if (!recover || attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (!NT_SUCCESS(r)) return r;
    }
}

// ---------------------------------------------------------------------------------------------
// Write

NTSTATUS ProtocolClient_Write(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, const VOID* data,
                              PULONGLONG bytesWritten) {
    PPROTOCOL_SESSION s = Session;
    if (bytesWritten) *bytesWritten = 0;
    PLOG("[Write] 入口: connected=%d, handshakeDone=%d, readOnly=%d, superUser=%d, offset=%lld, size=%u\n",
         (int)WpFlag(&s->connected), (int)WpFlag(&s->handshakeDone), (int)WpFlag(&s->readOnly), (int)WpFlag(&s->superUser), (LONGLONG)offset, length);
    if (!WpFlag(&s->connected)) {
        PLOG("[Write] 失败: 未连接\n");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!WpFlag(&s->handshakeDone)) {
        PLOG("[Write] 失败: 握手未完成\n");
        return STATUS_DEVICE_NOT_READY;
    }
    if (WpFlag(&s->readOnly) && !WpFlag(&s->superUser)) {
        PLOG("[Write] 失败: readOnly 且非超管模式\n");
        return STATUS_ACCESS_DENIED;
    }
    if (data == NULL || length == 0) return STATUS_INVALID_PARAMETER;
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpWrite, zw::FlagData, offset, length);
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS st = WpLockAndCheck(s);
        if (!NT_SUCCESS(st)) {
            PLOG("[Write] WpLockAndCheck 失败\n");
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        WP_STREAM_STATE stream = WpStreamInStep;
        st = WpSendRequest(s, &hdr, (PVOID)data, length, NULL, 0);
        PLOG("[Write] WskSend 返回 0x%08X (attempt=%u)\n", (ULONG)st, attempt);
        if (!NT_SUCCESS(st)) {
            stream = WpTransferState(st);
        } else {
            ZV_MESSAGE_HEADER resp;
            RtlZeroMemory(&resp, sizeof(resp));
            st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), PROTO_DEADLINE_WRITE_MS);
            PLOG("[Write] WskRecv 返回 0x%08X, respOpcode=0x%02X, respSize=%u\n", (ULONG)st, (ULONG)resp.opcode,
                 resp.length);
            if (!NT_SUCCESS(st)) {
                stream = WpStreamBroken;
            } else {
                st = WpCheckRespHeader(&resp, 0, "Write");
                if (!NT_SUCCESS(st)) {
                    PLOG("[Write] WpCheckRespHeader 失败: 0x%08X\n", (ULONG)st);
                } else {
                    if (bytesWritten) *bytesWritten = resp.length;
                    PLOG("[Write] 成功: bytesWritten=%llu\n", (ULONGLONG)resp.length);
                }
            }
        }
        WpSettleStream(s, stream, "Write", st);
        WpUnlock(s);
        if (NT_SUCCESS(st) || attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (!NT_SUCCESS(r)) {
            PLOG("[Write] WpTryRecover 失败: 0x%08X\n", (ULONG)r);
            return r;
        }
        PLOG("[Write] WpTryRecover 成功，重试\n");
    }
}

// ---------------------------------------------------------------------------------------------
// BatchRead

static NTSTATUS WpBatchReadLocked(PPROTOCOL_SESSION s, ZV_MESSAGE_HEADER* hdr, const zw::BatchSegment* segs,
                                  ULONG count, PUCHAR buffer, ULONGLONG room, WP_STREAM_STATE* stream) {
    *stream = WpStreamInStep;
    NTSTATUS st = WpSendRequest(s, hdr, (PVOID)segs, count * (ULONG)sizeof(zw::BatchSegment), NULL, 0);
    if (!NT_SUCCESS(st)) {
        *stream = WpTransferState(st);
        return st;
    }
    ULONGLONG pos = 0;
    for (ULONG i = 0; i < count; i++) {
        ZV_MESSAGE_HEADER seg;
        st = WskClient_ReceiveAllDeadline(s, &seg, sizeof(seg), PROTO_DEADLINE_BATCH_MS);
        if (!NT_SUCCESS(st)) {
            *stream = WpStreamBroken;
            return st;
        }
        if (seg.offset == zw::kBatchEndMarker) return STATUS_SUCCESS;  // fewer segments than asked
        if (seg.opcode == zw::OpRespError) {
            st = WpMapServerError(seg.length);
            PLOG_WARN("BatchRead 段 %u 服务端错误: err=%u → 0x%08X\n", i, seg.length, (ULONG)st);
            return st;
        }
        if (seg.opcode != zw::OpRespOk || !(seg.flags & zw::FlagData)) {
            // We cannot tell what else this answer carries.
            *stream = WpStreamRefused;
            return STATUS_UNEXPECTED_IO_ERROR;
        }
        if (seg.length > room - pos) {
            PLOG_ERR("BatchRead 段 %u 超出缓冲区: len=%u, room=%llu\n", i, seg.length, room - pos);
            *stream = WpStreamRefused;
            return STATUS_INVALID_BUFFER_SIZE;
        }
        if (seg.length) {
            st = WskClient_ReceiveAllDeadline(s, buffer + pos, seg.length, PROTO_DEADLINE_BATCH_MS);
            if (!NT_SUCCESS(st)) {
                *stream = WpStreamBroken;
                return st;
            }
        }
        pos += seg.length;
    }
    ZV_MESSAGE_HEADER end;
    st = WskClient_ReceiveAllDeadline(s, &end, sizeof(end), PROTO_DEADLINE_BATCH_MS);
    if (!NT_SUCCESS(st)) *stream = WpStreamBroken;
    return st;
}

NTSTATUS ProtocolClient_BatchReadEx(PPROTOCOL_SESSION Session, const zw::BatchSegment* segments, ULONG count,
                                    PVOID buffer, ULONGLONG bufferLength) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    if (count < 1 || count > zw::kMaxBatchSegments || segments == NULL || buffer == NULL)
        return STATUS_INVALID_PARAMETER;
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpBatchRead, zw::FlagBatch, count, count * (ULONG)sizeof(zw::BatchSegment));
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS st = WpLockAndCheck(s);
        if (!NT_SUCCESS(st)) return st;
        WP_STREAM_STATE stream;
        st = WpBatchReadLocked(s, &hdr, segments, count, (PUCHAR)buffer, bufferLength, &stream);
        WpSettleStream(s, stream, "BatchRead", st);
        WpUnlock(s);
        if (NT_SUCCESS(st)) return st;
        if (stream == WpStreamRefused) WpRestoreAfterDrop(s);
        if (stream == WpStreamRefused || attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (!NT_SUCCESS(r)) return r;
    }
}

NTSTATUS ProtocolClient_BatchRead(PPROTOCOL_SESSION Session, const zw::BatchSegment* segments, ULONG count,
                                  PVOID buffer) {
    // The caller sized the buffer as the sum of the segment lengths.
    ULONGLONG room = 0;
    if (segments != NULL && count <= zw::kMaxBatchSegments)
        for (ULONG i = 0; i < count; i++) room += segments[i].length;
    return ProtocolClient_BatchReadEx(Session, segments, count, buffer, room);
}

// ---------------------------------------------------------------------------------------------
// BatchWrite

NTSTATUS ProtocolClient_BatchWrite(PPROTOCOL_SESSION Session, const zw::BatchSegment* segments, ULONG count,
                                   const VOID* data, ULONG dataLength) {
    PPROTOCOL_SESSION s = Session;
    if (!WpFlag(&s->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    if (WpFlag(&s->readOnly) && !WpFlag(&s->superUser)) return STATUS_ACCESS_DENIED;
    if (count < 1 || count > zw::kMaxBatchSegments || segments == NULL || data == NULL)
        return STATUS_INVALID_PARAMETER;
    // The server splits the data by the table; a table that does not add up would shift every
    // later byte.
    ULONGLONG sum = 0;
    for (ULONG i = 0; i < count; i++) sum += segments[i].length;
    if (sum != dataLength) return STATUS_INVALID_PARAMETER;
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpBatchWrite, zw::FlagBatch, count, dataLength);
    for (ULONG attempt = 0;; attempt++) {
        NTSTATUS st = WpLockAndCheck(s);
        if (!NT_SUCCESS(st)) return st;
        WP_STREAM_STATE stream = WpStreamInStep;
        st = WpSendRequest(s, &hdr, (PVOID)segments, count * (ULONG)sizeof(zw::BatchSegment), (PVOID)data,
                           dataLength);
        if (!NT_SUCCESS(st)) {
            stream = WpTransferState(st);
        } else {
            ZV_MESSAGE_HEADER resp;
            st = WskClient_ReceiveAllDeadline(s, &resp, sizeof(resp), PROTO_DEADLINE_BATCH_MS);
            if (!NT_SUCCESS(st)) stream = WpStreamBroken;
            else st = WpCheckRespHeader(&resp, 0, "BatchWrite");
        }
        WpSettleStream(s, stream, "BatchWrite", st);
        WpUnlock(s);
        if (NT_SUCCESS(st) || attempt > 0) return st;
        NTSTATUS r = WpTryRecover(s, st);
        if (!NT_SUCCESS(r)) return r;
    }
}
