// What the format readers share: byte-order helpers, exact reads and writes through the image's
// callbacks, pool helpers, and the per-format entry points the probe dispatches to.
#pragma once

#include "Image.h"

// Tables read from a header are bounded before anything is allocated: a hostile or truncated
// file must not make the driver allocate gigabytes or read past what it holds.
#define ZV_IMAGE_MAX_TABLE_BYTES (64u * 1024u * 1024u)

// A translation that needs a table the cache does not hold while the lock is only shared.
#define ZV_STATUS_NEED_TABLE STATUS_MORE_PROCESSING_REQUIRED

FORCEINLINE ULONG ImgBe32(const UCHAR* p) {
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | (ULONG)p[3];
}
FORCEINLINE ULONGLONG ImgBe64(const UCHAR* p) { return ((ULONGLONG)ImgBe32(p) << 32) | ImgBe32(p + 4); }
FORCEINLINE USHORT ImgLe16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }
FORCEINLINE ULONG ImgLe32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}
FORCEINLINE ULONGLONG ImgLe64(const UCHAR* p) { return (ULONGLONG)ImgLe32(p) | ((ULONGLONG)ImgLe32(p + 4) << 32); }
FORCEINLINE VOID ImgPutBe32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}
FORCEINLINE VOID ImgPutBe64(UCHAR* p, ULONGLONG v) {
    ImgPutBe32(p, (ULONG)(v >> 32));
    ImgPutBe32(p + 4, (ULONG)v);
}
FORCEINLINE VOID ImgPutLe32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}
FORCEINLINE VOID ImgPutLe64(UCHAR* p, ULONGLONG v) {
    ImgPutLe32(p, (ULONG)v);
    ImgPutLe32(p + 4, (ULONG)(v >> 32));
}
FORCEINLINE BOOLEAN ImgIsPow2(ULONGLONG v) { return v != 0 && (v & (v - 1)) == 0; }
FORCEINLINE ULONGLONG ImgRoundUp(ULONGLONG v, ULONGLONG to) { return (v + to - 1) / to * to; }

// Exactly Length bytes at Offset; a short read is STATUS_END_OF_FILE.
NTSTATUS ImgReadExact(PZV_IMAGE Image, ULONGLONG Offset, ULONG Length, PVOID Buffer);
// Length bytes at Offset; a short write is STATUS_DISK_FULL.
NTSTATUS ImgWrite(PZV_IMAGE Image, ULONGLONG Offset, ULONG Length, const VOID* Buffer);
// Zero-filled table from pool, or NULL.
PVOID ImgAlloc(SIZE_T Bytes);
VOID ImgFree(PVOID P);
// Reads a table of Bytes bytes at Offset that must lie inside the file; bounded by
// ZV_IMAGE_MAX_TABLE_BYTES.
NTSTATUS ImgReadTable(PZV_IMAGE Image, ULONGLONG Offset, ULONGLONG Bytes, PVOID* Table);
// Drops every slot of a table cache.
VOID ImgCacheClear(ZV_TABLE_SLOT* Cache);
// Records a write that reached End (the file grows; the append point is the allocators' own).
FORCEINLINE VOID ImgGrowFile(PZV_IMAGE Image, ULONGLONG End) {
    if (End > Image->fileSize) Image->fileSize = End;
}

// A random-looking identifier for header fields that must change when the file changes.
VOID ImgNewGuid(PZV_IMAGE Image, UCHAR Guid[16]);

// Per format. Open fills the state and virtualSize; Translate runs under the lock (shared or
// exclusive: CanLoad says whether the table caches may change); Allocate under the exclusive
// lock; Close frees the tables.
NTSTATUS VhdOpen(PZV_IMAGE Image);
NTSTATUS VhdTranslate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad);
NTSTATUS VhdAllocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset);
VOID VhdClose(PZV_IMAGE Image);

NTSTATUS VhdxOpen(PZV_IMAGE Image);
NTSTATUS VhdxTranslate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad);
NTSTATUS VhdxAllocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset);
NTSTATUS VhdxBeginWrite(PZV_IMAGE Image);
VOID VhdxClose(PZV_IMAGE Image);

NTSTATUS VmdkOpen(PZV_IMAGE Image);
NTSTATUS VmdkTranslate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad);
NTSTATUS VmdkAllocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset);
VOID VmdkClose(PZV_IMAGE Image);

NTSTATUS Qcow2Open(PZV_IMAGE Image);
NTSTATUS Qcow2Translate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad);
NTSTATUS Qcow2Allocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset);
NTSTATUS Qcow2BeginWrite(PZV_IMAGE Image);
VOID Qcow2Close(PZV_IMAGE Image);
