// Reads and writes of a network LUN. Until the cache keeps blocks, every request takes the
// cache's pass-through road: a READ is fetched whole from the server, a WRITE is checked
// against write protection and written through.
#include "LunBackend.h"

// The server exchange of one request. The data-path choice between the UDP channel and TCP
// belongs to the protocol layer; these two call the TCP session until it offers that choice.
static NTSTATUS CacheReadFromRemote(LuExt* lu, ULONGLONG offset, ULONG length, PVOID buffer) {
    NTSTATUS st = STATUS_UNSUCCESSFUL;
    for (int attempt = 1; attempt <= 2; attempt++) {
        ULONGLONG got = 0;
        st = ProtocolClient_Read(&lu->session, offset, length, buffer, &got);
        if (NT_SUCCESS(st) && got != length) st = STATUS_UNEXPECTED_IO_ERROR;
        if (NT_SUCCESS(st)) return STATUS_SUCCESS;
        if (attempt == 1)
            ZvLogWarning("ReadFromRemote 第 1 次失败 0x%08X (off=%lld sz=%u), 重试\n", (ULONG)st, (LONGLONG)offset,
                         length);
    }
    return st;
}

static NTSTATUS CacheWriteToRemote(LuExt* lu, ULONGLONG offset, ULONG length, const VOID* data) {
    ULONGLONG written = 0;
    NTSTATUS st = ProtocolClient_Write(&lu->session, offset, length, data, &written);
    if (NT_SUCCESS(st) && written != length) st = STATUS_UNEXPECTED_IO_ERROR;
    return st;
}

NTSTATUS CacheRead(LuExt* Lu, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG BytesDone) {
    *BytesDone = 0;
    NTSTATUS st = CacheReadFromRemote(Lu, Offset, Length, Buffer);
    if (NT_SUCCESS(st)) *BytesDone = Length;
    return st;
}

NTSTATUS CacheWrite(LuExt* Lu, ULONGLONG Offset, ULONG Length, const VOID* Data, PULONG BytesDone) {
    *BytesDone = 0;
    if (LuWriteProtected(Lu)) return STATUS_ACCESS_DENIED;
    NTSTATUS st = CacheWriteToRemote(Lu, Offset, Length, Data);
    if (NT_SUCCESS(st)) *BytesDone = Length;
    return st;
}
