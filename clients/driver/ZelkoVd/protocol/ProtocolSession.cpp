// The protocol session: Handshake and the block operations Read, Write, BatchRead, BatchWrite.
//
// Each operation is one body run by the exchange runner (ProtocolExchange.cpp), which holds
// ioLock around it, closes the stream when the body leaves it out of step, and runs the
// operation's one recovery.
#include "ProtocolInternal.h"

// ---------------------------------------------------------------------------------------------
// Life cycle

NTSTATUS ProtocolSession_Init(PPROTOCOL_SESSION Session, ULONG preferredTransport) {
    Session->seqCounter = 1;
    Session->currentTransport = PROTO_TRANSPORT_TCP;
    ExInitializeFastMutex(&Session->ioLock);
    ExInitializeFastMutex(&Session->reconnectLock);
    ExInitializeFastMutex(&Session->transportLock);
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

VOID WpClearCache(PPROTOCOL_SESSION s) {
    if (s->cacheClearRoutine) s->cacheClearRoutine(s, s->cacheClearContext);
}

NTSTATUS WpHandshakeBody(PWP_EXCHANGE x, PBOOLEAN clearAfter) {
    PPROTOCOL_SESSION s = x->session;
    UCHAR rec[WP_HANDSHAKE_BUFFER];
    UCHAR flags;
    ULONG size = WpBuildHandshakeRecord(s, rec, &flags);
    ZV_MESSAGE_HEADER hdr;
    WpBuildHeader(s, &hdr, zw::OpHandshake, flags, 0, size - 12);

    NTSTATUS st = WpXSendRequest(x, &hdr, rec, size, NULL, 0);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("握手发送失败: 0x%08X\n", (ULONG)st);
        return st;
    }
    ZV_MESSAGE_HEADER resp;
    st = WpXReceive(x, &resp, sizeof(resp), PROTO_DEADLINE_HANDSHAKE_MS);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("握手接收 header 失败: 0x%08X\n", (ULONG)st);
        return st;
    }
    if (resp.magic != zw::kMagic || resp.version != zw::kVersion) {
        PLOG_ERR("握手响应 magic/version 校验失败: magic=0x%08X, ver=%u\n", resp.magic, (ULONG)resp.version);
        return WpXRefuse(x, STATUS_INVALID_NETWORK_RESPONSE);
    }
    st = WpXCheckAnswer(x, &resp, sizeof(zw::HandshakeResponse), "Handshake");
    if (!NT_SUCCESS(st)) return st;
    zw::HandshakeResponse body;
    st = WpXReceive(x, &body, sizeof(body), PROTO_DEADLINE_HANDSHAKE_MS);
    if (!NT_SUCCESS(st)) {
        PLOG_WARN("握手接收 body 失败: 0x%08X\n", (ULONG)st);
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
        if (clearAfter != NULL) {
            *clearAfter = TRUE;
        } else {
            // The cache takes its own locks and may call back into the session: never under ioLock.
            WpRelease(&s->ioLock);
            WpClearCache(s);
            WpAcquire(&s->ioLock);
        }
    }
    WpSetFlag(&s->handshakeDone, TRUE);
    PLOG_INFO("握手成功: sid=%u, size=%llu, bs=%u, ro=%d, su=%d, ver=%u\n", (ULONG)s->sessionId,
              s->targetSize, s->blockSize, (int)WpFlag(&s->readOnly), (int)WpFlag(&s->superUser), s->imageVersion);
    return STATUS_SUCCESS;
}

static NTSTATUS WpHandshakeRun(PWP_EXCHANGE x) { return WpHandshakeBody(x, NULL); }

NTSTATUS ProtocolClient_Handshake(PPROTOCOL_SESSION Session) {
    if (!WpFlag(&Session->connected)) return STATUS_DEVICE_NOT_CONNECTED;
    WP_EXCHANGE x = {};
    x.session = Session;
    x.name = "Handshake";
    x.options = WP_X_CONNECTED_ONLY;
    x.body = WpHandshakeRun;
    return WpRunExchange(&x);
}

// ---------------------------------------------------------------------------------------------
// Read

typedef struct _WP_READ {
    ZV_MESSAGE_HEADER hdr;
    ULONG length;
    PVOID buffer;
    PULONGLONG bytesRead;
} WP_READ;

static NTSTATUS WpReadBody(PWP_EXCHANGE x) {
    WP_READ* r = (WP_READ*)x->context;
    NTSTATUS st = WpXSendAll(x, &r->hdr, sizeof(r->hdr));
    if (!NT_SUCCESS(st)) return st;
    ZV_MESSAGE_HEADER resp;
    st = WpXReceive(x, &resp, sizeof(resp), PROTO_DEADLINE_READ_MS);
    if (!NT_SUCCESS(st)) return st;
    st = WpXCheckAnswer(x, &resp, 0, "Read");
    if (!NT_SUCCESS(st)) return st;
    // What follows a header without the data flag is unknown.
    if (!(resp.flags & zw::FlagData)) return WpXRefuse(x, STATUS_UNEXPECTED_IO_ERROR);
    if (resp.flags & zw::FlagCompressed) {
        // The format cannot need more than this for the count asked for; anything longer would
        // only make us allocate what the server chose.
        if ((ULONGLONG)resp.length > zw::CompressedWorstCase(r->length)) {
            PLOG_ERR("LZ4 压缩长度超出上限: compSize=%u, expect=%u, max=%llu\n", resp.length, r->length,
                     (ULONGLONG)zw::CompressedWorstCase(r->length));
            return WpXRefuse(x, STATUS_INVALID_BUFFER_SIZE);
        }
        PUCHAR comp = resp.length ? (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, resp.length, ZV_TAG_LZ_BUFFER) : NULL;
        if (resp.length && comp == NULL) return WpXRefuse(x, STATUS_INSUFFICIENT_RESOURCES);
        if (resp.length) {
            st = WpXReceive(x, comp, resp.length, PROTO_DEADLINE_READ_MS);
            if (!NT_SUCCESS(st)) {
                ExFreePoolWithTag(comp, ZV_TAG_LZ_BUFFER);
                return st;
            }
        }
        SIZE_T got = resp.length ? WpDecompress(comp, resp.length, (PUCHAR)r->buffer, r->length) : 0;
        if (comp) ExFreePoolWithTag(comp, ZV_TAG_LZ_BUFFER);
        if (got != r->length || (resp.length == 0 && r->length != 0)) {
            // Every announced byte was read: the stream is in step, only the data are bad.
            PLOG_ERR("LZ4 解压失败: compSize=%u, expect=%u, got=%zu\n", resp.length, r->length, (SIZE_T)got);
            return STATUS_DATA_ERROR;
        }
        if (r->bytesRead) *r->bytesRead = got;
        return STATUS_SUCCESS;
    }
    if (resp.length != r->length) {
        PLOG_ERR("Read size 不匹配: got=%u, want=%u\n", resp.length, r->length);
        return WpXRefuse(x, STATUS_INVALID_BUFFER_SIZE);
    }
    st = WpXReceive(x, r->buffer, r->length, PROTO_DEADLINE_READ_MS);
    if (!NT_SUCCESS(st)) return st;
    if (r->bytesRead) *r->bytesRead = resp.length;
    return STATUS_SUCCESS;
}

NTSTATUS ProtocolClient_Read(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, PVOID buffer,
                             PULONGLONG bytesRead) {
    PPROTOCOL_SESSION s = Session;
    if (bytesRead) *bytesRead = 0;
    NTSTATUS st = WpEntryCheck(s);
    if (!NT_SUCCESS(st)) return st;
    if (buffer == NULL || length == 0) return STATUS_INVALID_PARAMETER;
    WP_READ r;
    WpBuildHeader(s, &r.hdr, zw::OpRead, 0, offset, length);
    r.length = length;
    r.buffer = buffer;
    r.bytesRead = bytesRead;
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "Read";
    x.options = WP_X_RECOVER;
    x.body = WpReadBody;
    x.context = &r;
    return WpRunExchange(&x);
}

// ---------------------------------------------------------------------------------------------
// Write

typedef struct _WP_WRITE {
    ZV_MESSAGE_HEADER hdr;
    ULONG length;
    const VOID* data;
    PULONGLONG bytesWritten;
} WP_WRITE;

static NTSTATUS WpWriteBody(PWP_EXCHANGE x) {
    WP_WRITE* w = (WP_WRITE*)x->context;
    NTSTATUS st = WpXSendRequest(x, &w->hdr, (PVOID)w->data, w->length, NULL, 0);
    PLOG("[Write] WskSend 返回 0x%08X (attempt=%u)\n", (ULONG)st, x->attempt);
    if (!NT_SUCCESS(st)) return st;
    ZV_MESSAGE_HEADER resp;
    RtlZeroMemory(&resp, sizeof(resp));
    st = WpXReceive(x, &resp, sizeof(resp), PROTO_DEADLINE_WRITE_MS);
    PLOG("[Write] WskRecv 返回 0x%08X, respOpcode=0x%02X, respSize=%u\n", (ULONG)st, (ULONG)resp.opcode,
         resp.length);
    if (!NT_SUCCESS(st)) return st;
    st = WpXCheckAnswer(x, &resp, 0, "Write");
    if (!NT_SUCCESS(st)) {
        PLOG("[Write] WpCheckRespHeader 失败: 0x%08X\n", (ULONG)st);
        return st;
    }
    if (w->bytesWritten) *w->bytesWritten = resp.length;
    PLOG("[Write] 成功: bytesWritten=%llu\n", (ULONGLONG)resp.length);
    return STATUS_SUCCESS;
}

static VOID WpWriteNoStream(PWP_EXCHANGE x, NTSTATUS status) {
    UNREFERENCED_PARAMETER(x);
    UNREFERENCED_PARAMETER(status);
    PLOG("[Write] WpLockAndCheck 失败\n");
}

static VOID WpWriteRecovery(PWP_EXCHANGE x, NTSTATUS status) {
    UNREFERENCED_PARAMETER(x);
    if (NT_SUCCESS(status)) PLOG("[Write] WpTryRecover 成功，重试\n");
    else PLOG("[Write] WpTryRecover 失败: 0x%08X\n", (ULONG)status);
}

NTSTATUS ProtocolClient_Write(PPROTOCOL_SESSION Session, ULONGLONG offset, ULONG length, const VOID* data,
                              PULONGLONG bytesWritten) {
    PPROTOCOL_SESSION s = Session;
    if (bytesWritten) *bytesWritten = 0;
    PLOG("[Write] 入口: connected=%d, handshakeDone=%d, readOnly=%d, superUser=%d, offset=%lld, size=%u\n",
         (int)WpFlag(&s->connected), (int)WpFlag(&s->handshakeDone), (int)WpFlag(&s->readOnly), (int)WpFlag(&s->superUser), (LONGLONG)offset, length);
    if (!WpFlag(&s->connected) && !WpFlag(&s->handshakeDone)) {
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
    WP_WRITE w;
    WpBuildHeader(s, &w.hdr, zw::OpWrite, zw::FlagData, offset, length);
    w.length = length;
    w.data = data;
    w.bytesWritten = bytesWritten;
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "Write";
    x.options = WP_X_RECOVER;
    x.body = WpWriteBody;
    x.onNoStream = WpWriteNoStream;
    x.onRecovery = WpWriteRecovery;
    x.context = &w;
    return WpRunExchange(&x);
}

// ---------------------------------------------------------------------------------------------
// BatchRead

typedef struct _WP_BATCH {
    ZV_MESSAGE_HEADER hdr;
    const zw::BatchSegment* segs;
    ULONG count;
    PUCHAR buffer;      // BatchRead: destination; BatchWrite: data
    ULONGLONG room;     // BatchRead: room in buffer; BatchWrite: data length
    // BatchRead: leading segments that arrived whole with the length they were asked for; the
    // first one that did not (short, long, missing) ends the count, since every later byte then
    // sits elsewhere than the caller's table says.
    ULONG complete;
    BOOLEAN mismatch;
} WP_BATCH;

// Segment i's data are all in the buffer.
static VOID WpBatchSegmentDone(WP_BATCH* b, ULONG i, ULONG length) {
    if (b->mismatch) return;
    if (length != b->segs[i].length) {
        b->mismatch = TRUE;
        return;
    }
    b->complete = i + 1;
}

// A receive gets at most this much at a time anyway (WskCall's bounce chunk).
#define WP_BATCH_RECEIVE_CHUNK WSK_CALL_RECEIVE_CHUNK

// What one segment header of the answer means for the rest of it.
#define WP_SEG_DATA  0   // data of seg.length bytes follows
#define WP_SEG_END   1   // the batch ended early: nothing follows
#define WP_SEG_FAIL  2   // the batch ends with *status: nothing follows, or the stream is out of step

static ULONG WpBatchSegmentHeader(PWP_EXCHANGE x, WP_BATCH* b, ULONG i, const ZV_MESSAGE_HEADER* seg, ULONGLONG pos,
                                  PNTSTATUS status) {
    if (seg->offset == zw::kBatchEndMarker) return WP_SEG_END;   // fewer segments than asked
    if (seg->opcode == zw::OpRespError) {
        // Ends the batch: the server sends nothing after it.
        *status = WpMapServerError(seg->length);
        PLOG_WARN("BatchRead 段 %u 服务端错误: err=%u → 0x%08X\n", i, seg->length, (ULONG)*status);
        return WP_SEG_FAIL;
    }
    // We cannot tell what else this answer carries.
    if (seg->opcode != zw::OpRespOk || !(seg->flags & zw::FlagData)) {
        *status = WpXRefuse(x, STATUS_UNEXPECTED_IO_ERROR);
        return WP_SEG_FAIL;
    }
    if (seg->length > b->room - pos) {
        PLOG_ERR("BatchRead 段 %u 超出缓冲区: len=%u, room=%llu\n", i, seg->length, b->room - pos);
        *status = WpXRefuse(x, STATUS_INVALID_BUFFER_SIZE);
        return WP_SEG_FAIL;
    }
    return WP_SEG_DATA;
}

// One receive per header and per segment: for when the receive chunk cannot be allocated.
static NTSTATUS WpBatchReadBySegment(PWP_EXCHANGE x, WP_BATCH* b) {
    ULONGLONG pos = 0;
    NTSTATUS st;
    for (ULONG i = 0; i < b->count; i++) {
        ZV_MESSAGE_HEADER seg;
        st = WpXReceive(x, &seg, sizeof(seg), PROTO_DEADLINE_BATCH_MS);
        if (!NT_SUCCESS(st)) return st;
        ULONG what = WpBatchSegmentHeader(x, b, i, &seg, pos, &st);
        if (what == WP_SEG_END) return STATUS_SUCCESS;
        if (what == WP_SEG_FAIL) return st;
        if (seg.length) {
            st = WpXReceive(x, b->buffer + pos, seg.length, PROTO_DEADLINE_BATCH_MS);
            if (!NT_SUCCESS(st)) return st;
        }
        pos += seg.length;
        WpBatchSegmentDone(b, i, seg.length);
    }
    ZV_MESSAGE_HEADER end;
    return WpXReceive(x, &end, sizeof(end), PROTO_DEADLINE_BATCH_MS);
}

// The answer to a batch of 256 blocks is 257 headers around 256 runs of data. Taken header by
// header and run by run, that is 513 receives, each a full trip through the socket provider;
// taken in large chunks and split here, it is a few dozen. A chunk never asks for more than the
// answer can still hold, so nothing of a later answer is consumed; a terminal header (end marker,
// server error) with bytes behind it means the stream is no longer in step.
static NTSTATUS WpBatchReadBody(PWP_EXCHANGE x) {
    WP_BATCH* b = (WP_BATCH*)x->context;
    // A retry starts the whole answer again, into the start of the buffer.
    b->complete = 0;
    b->mismatch = FALSE;
    NTSTATUS st = WpXSendRequest(x, &b->hdr, (PVOID)b->segs, b->count * (ULONG)sizeof(zw::BatchSegment), NULL, 0);
    if (!NT_SUCCESS(st)) return st;
    PUCHAR chunk = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, WP_BATCH_RECEIVE_CHUNK, ZV_TAG_BATCH_CHUNK);
    if (chunk == NULL) return WpBatchReadBySegment(x, b);

    // At most what the answer can still carry: every header and the asked lengths, corrected as
    // the segment headers tell the real ones.
    LONGLONG left = (LONGLONG)sizeof(ZV_MESSAGE_HEADER);
    for (ULONG i = 0; i < b->count; i++) left += (LONGLONG)sizeof(ZV_MESSAGE_HEADER) + b->segs[i].length;
    ZV_MESSAGE_HEADER seg;
    ULONG headerGot = 0;     // bytes of the current header received
    ULONG dataLeft = 0;      // bytes of the current segment's data still to come
    ULONG i = 0;             // current segment; count = the closing header
    ULONGLONG pos = 0;       // bytes placed into the caller's buffer
    BOOLEAN finished = FALSE;
    // The whole answer gets what its reads would get one by one (a header and the data of each
    // segment, and the end marker, 30 s each), not 30 s per chunk: a server that trickles a byte
    // every 29 s would otherwise hold the session, and every I/O of the disk, for ever.
    // (The counter is read in a statement of its own: the frequency it returns is only set once
    // the call has run, and the operands of + may be evaluated in either order.)
    LARGE_INTEGER freq;
    LONGLONG end = KeQueryPerformanceCounter(&freq).QuadPart;
    end += (LONGLONG)(2 * b->count + 1) * PROTO_DEADLINE_BATCH_MS * (freq.QuadPart / 1000);
    st = STATUS_SUCCESS;
    while (!finished) {
        ULONG want = left < (LONGLONG)WP_BATCH_RECEIVE_CHUNK ? (ULONG)left : WP_BATCH_RECEIVE_CHUNK;
        if (want == 0) {
            st = WpXRefuse(x, STATUS_UNEXPECTED_IO_ERROR);
            break;
        }
        LONGLONG leftMs = (end - KeQueryPerformanceCounter(NULL).QuadPart) * 1000 / freq.QuadPart;
        if (leftMs <= 0) {
            st = WpXRefuse(x, STATUS_IO_TIMEOUT);
            break;
        }
        ULONG n = 0;
        st = WpXReceiveSome(x, chunk, want, &n,
                            leftMs < PROTO_DEADLINE_BATCH_MS ? (ULONG)leftMs : PROTO_DEADLINE_BATCH_MS);
        if (!NT_SUCCESS(st)) break;
        left -= n;
        ULONG at = 0;
        while (at < n && !finished) {
            if (dataLeft != 0) {
                ULONG take = dataLeft < n - at ? dataLeft : n - at;
                RtlCopyMemory(b->buffer + pos, chunk + at, take);
                pos += take;
                at += take;
                dataLeft -= take;
                if (dataLeft == 0) WpBatchSegmentDone(b, i++, seg.length);
                continue;
            }
            ULONG take = (ULONG)sizeof(seg) - headerGot < n - at ? (ULONG)sizeof(seg) - headerGot : n - at;
            RtlCopyMemory((PUCHAR)&seg + headerGot, chunk + at, take);
            headerGot += take;
            at += take;
            if (headerGot < sizeof(seg)) break;
            headerGot = 0;
            if (i == b->count) {   // the closing header
                finished = TRUE;
                break;
            }
            ULONG what = WpBatchSegmentHeader(x, b, i, &seg, pos, &st);
            if (what != WP_SEG_DATA) {
                finished = TRUE;
                break;
            }
            left += (LONGLONG)seg.length - (LONGLONG)b->segs[i].length;
            if (seg.length == 0) WpBatchSegmentDone(b, i++, 0);
            else dataLeft = seg.length;
        }
        if (finished && at != n && !x->outOfStep) st = WpXRefuse(x, STATUS_UNEXPECTED_IO_ERROR);
    }
    ExFreePoolWithTag(chunk, ZV_TAG_BATCH_CHUNK);
    return st;
}

NTSTATUS ProtocolClient_BatchReadEx(PPROTOCOL_SESSION Session, const zw::BatchSegment* segments, ULONG count,
                                    PVOID buffer, ULONGLONG bufferLength, PULONG completeSegments) {
    PPROTOCOL_SESSION s = Session;
    if (completeSegments) *completeSegments = 0;
    NTSTATUS st = WpEntryCheck(s);
    if (!NT_SUCCESS(st)) return st;
    if (count < 1 || count > zw::kMaxBatchSegments || segments == NULL || buffer == NULL)
        return STATUS_INVALID_PARAMETER;
    WP_BATCH b;
    WpBuildHeader(s, &b.hdr, zw::OpBatchRead, zw::FlagBatch, count, count * (ULONG)sizeof(zw::BatchSegment));
    b.segs = segments;
    b.count = count;
    b.buffer = (PUCHAR)buffer;
    b.room = bufferLength;
    b.complete = 0;
    b.mismatch = FALSE;
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "BatchRead";
    x.options = WP_X_RECOVER;
    x.body = WpBatchReadBody;
    x.context = &b;
    st = WpRunExchange(&x);
    if (NT_SUCCESS(st) && completeSegments) *completeSegments = b.complete;
    return st;
}

NTSTATUS ProtocolClient_BatchRead(PPROTOCOL_SESSION Session, const zw::BatchSegment* segments, ULONG count,
                                  PVOID buffer) {
    // The caller sized the buffer as the sum of the segment lengths.
    ULONGLONG room = 0;
    if (segments != NULL && count <= zw::kMaxBatchSegments)
        for (ULONG i = 0; i < count; i++) room += segments[i].length;
    return ProtocolClient_BatchReadEx(Session, segments, count, buffer, room, NULL);
}

// ---------------------------------------------------------------------------------------------
// BatchWrite

static NTSTATUS WpBatchWriteBody(PWP_EXCHANGE x) {
    WP_BATCH* b = (WP_BATCH*)x->context;
    NTSTATUS st = WpXSendRequest(x, &b->hdr, (PVOID)b->segs, b->count * (ULONG)sizeof(zw::BatchSegment), b->buffer,
                                 (ULONG)b->room);
    if (!NT_SUCCESS(st)) return st;
    ZV_MESSAGE_HEADER resp;
    st = WpXReceive(x, &resp, sizeof(resp), PROTO_DEADLINE_BATCH_MS);
    if (!NT_SUCCESS(st)) return st;
    return WpXCheckAnswer(x, &resp, 0, "BatchWrite");
}

NTSTATUS ProtocolClient_BatchWrite(PPROTOCOL_SESSION Session, const zw::BatchSegment* segments, ULONG count,
                                   const VOID* data, ULONG dataLength) {
    PPROTOCOL_SESSION s = Session;
    NTSTATUS st = WpEntryCheck(s);
    if (!NT_SUCCESS(st)) return st;
    if (WpFlag(&s->readOnly) && !WpFlag(&s->superUser)) return STATUS_ACCESS_DENIED;
    if (count < 1 || count > zw::kMaxBatchSegments || segments == NULL || data == NULL)
        return STATUS_INVALID_PARAMETER;
    // The server splits the data by the table; a table that does not add up would shift every
    // later byte.
    ULONGLONG sum = 0;
    for (ULONG i = 0; i < count; i++) sum += segments[i].length;
    if (sum != dataLength) return STATUS_INVALID_PARAMETER;
    WP_BATCH b;
    WpBuildHeader(s, &b.hdr, zw::OpBatchWrite, zw::FlagBatch, count, dataLength);
    b.segs = segments;
    b.count = count;
    b.buffer = (PUCHAR)data;
    b.room = dataLength;
    WP_EXCHANGE x = {};
    x.session = s;
    x.name = "BatchWrite";
    x.options = WP_X_RECOVER;
    x.body = WpBatchWriteBody;
    x.context = &b;
    return WpRunExchange(&x);
}
