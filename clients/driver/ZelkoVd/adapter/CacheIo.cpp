// Reads and writes of a network LUN. Until the cache keeps blocks, every request takes the
// cache's pass-through road: a READ is fetched whole from the server, a WRITE is checked
// against write protection and written through.
#include "LunBackend.h"

// The server exchange of one request: the protocol's data path picks the UDP channel or TCP
// and retries a failed read once.
static NTSTATUS CacheReadFromRemote(LuExt* lu, ULONGLONG offset, ULONG length, PVOID buffer) {
    return ReadFromRemote(&lu->session, offset, length, buffer);
}

static NTSTATUS CacheWriteToRemote(LuExt* lu, ULONGLONG offset, ULONG length, const VOID* data) {
    return WriteToRemote(&lu->session, offset, length, data);
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
