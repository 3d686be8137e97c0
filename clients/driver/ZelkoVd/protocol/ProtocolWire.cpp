// Wire helpers: server error mapping, response header checks, request headers, the compressed
// sequence decoder, and the lock check of an exchange.
#include "ProtocolInternal.h"

NTSTATUS WpMapServerError(ULONG code) {
    static const NTSTATUS table[18] = {
        STATUS_SUCCESS,                 // 0
        STATUS_INVALID_PARAMETER,       // 1
        STATUS_REVISION_MISMATCH,       // 2
        STATUS_ACCESS_DENIED,           // 3
        STATUS_NOT_FOUND,               // 4
        STATUS_IO_DEVICE_ERROR,         // 5
        STATUS_IO_DEVICE_ERROR,         // 6
        STATUS_MEDIA_WRITE_PROTECTED,   // 7
        STATUS_INVALID_PARAMETER,       // 8
        STATUS_INVALID_PARAMETER,       // 9
        STATUS_INSUFFICIENT_RESOURCES,  // 10
        STATUS_IO_DEVICE_ERROR,         // 11
        STATUS_INVALID_PARAMETER,       // 12
        STATUS_IO_DEVICE_ERROR,         // 13
        STATUS_IO_TIMEOUT,              // 14
        STATUS_DEVICE_BUSY,             // 15: a warning, so it counts as failure
        STATUS_WRONG_PASSWORD,          // 16
        STATUS_DEVICE_BUSY,             // 17
    };
    return code < RTL_NUMBER_OF(table) ? table[code] : STATUS_IO_DEVICE_ERROR;
}

NTSTATUS WpCheckRespHeader(const ZV_MESSAGE_HEADER* Header, ULONG expectedLength, PCSTR name) {
    if (Header->opcode == zw::OpRespError) {
        NTSTATUS st = WpMapServerError(Header->length);
        PLOG_WARN("[%s] 服务端错误: err=%u → 0x%08X\n", name, Header->length, (ULONG)st);
        return st;
    }
    if (Header->opcode != zw::OpRespOk) {
        PLOG_WARN("[%s] 响应 opcode 异常: 0x%02X\n", name, (ULONG)Header->opcode);
        return STATUS_UNEXPECTED_IO_ERROR;
    }
    if (expectedLength != 0 && Header->length != expectedLength) {
        PLOG_ERR("[%s] 响应 size 不匹配: got=%u, want=%u\n", name, Header->length, expectedLength);
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return STATUS_SUCCESS;
}

VOID WpBuildHeader(PPROTOCOL_SESSION Session, ZV_MESSAGE_HEADER* Header, UCHAR opcode, UCHAR flags,
                   ULONGLONG offset, ULONG length) {
    Header->magic = zw::kMagic;
    Header->version = zw::kVersion;
    Header->opcode = opcode;
    Header->flags = flags;
    Header->seq = (ULONG)InterlockedIncrement(&Session->seqCounter);
    Header->offset = offset;
    Header->length = length;
}

SIZE_T WpDecompress(const UCHAR* in, ULONG inLength, UCHAR* out, ULONG outLength) {
    ULONG ip = 0;
    ULONG op = 0;
    while (ip < inLength) {
        UCHAR token = in[ip++];
        ULONG literals = token >> 4;
        ULONG match = token & 0x0F;
        if (literals) {
            if (inLength - ip < literals || outLength - op < literals) return 0;
            RtlCopyMemory(out + op, in + ip, literals);
            ip += literals;
            op += literals;
        }
        if (match == 0) continue;
        if (inLength - ip < 2) return 0;
        ULONG distance = (ULONG)in[ip] | ((ULONG)in[ip + 1] << 8);
        ip += 2;
        if (distance == 0 || distance > op) return 0;
        ULONG length = match + 4;
        if (outLength - op < length) return 0;
        // Byte by byte: a match may overlap the bytes it produces.
        for (ULONG i = 0; i < length; i++, op++) out[op] = out[op - distance];
    }
    return op == outLength ? op : 0;
}

NTSTATUS WpLockAndCheck(PPROTOCOL_SESSION Session) {
    WpAcquire(&Session->ioLock);
    if (!WpFlag(&Session->connected) || !WpFlag(&Session->handshakeDone)) {
        WpRelease(&Session->ioLock);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    return STATUS_SUCCESS;
}

VOID WpUnlock(PPROTOCOL_SESSION Session) { WpRelease(&Session->ioLock); }
