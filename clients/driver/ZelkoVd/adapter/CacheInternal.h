// Shared between the block cache's own files (Cache*.cpp) only.
//
// Locks: the per-LUN cache lock (an executive resource, always inside a critical region) comes
// first; under it a reader or writer may take the LUN's LRU spin lock or one bucket spin lock of
// the driver-wide index, never two spin locks at once. No spin lock is held across a call out of
// this file group. The session's locks are taken under the cache lock (fetches of the read path
// happen with it released; write-back and the fill of a partial block write do not), so nothing
// the protocol calls back into the cache (the clear routine) may wait for the cache lock.
#pragma once

#include "LunBackend.h"

// One cached block. Nodes come from the LUN's node pool, data from its data pool.
typedef struct _ZV_CACHE_NODE {
    LIST_ENTRY lruLink;          // PZV_CACHE::lruList (lruLock)
    LIST_ENTRY indexLink;        // its index bucket (bucket lock)
    ULONGLONG block;             // byte offset / 4096
    PUCHAR data;                 // 4096 bytes
    PZV_CACHE owner;             // an index entry matches only for its own LUN's cache
    volatile LONG64 stamp;       // use stamp of the last LRU move (interlocked)
    ULONG dataSize;              // 4096
    UCHAR dirty;                 // cache lock exclusive
    UCHAR everDirty;             // written since it entered the cache (cache lock exclusive)
    UCHAR inCache;               // linked into the index and the LRU list
} ZV_CACHE_NODE, *PZV_CACHE_NODE;

#define ZV_CACHE_LRU_SKIP 17     // a node stamped fewer than this many uses ago keeps its place
#define ZV_CACHE_EVICT_DIRTY_LIMIT 64

FORCEINLINE VOID CacheStat(PZV_CACHE c, ULONG slot, LONG64 n = 1) { InterlockedExchangeAdd64(&c->stats[slot], n); }

// Lock helpers. Both carry out a pending drop-all first (so no block of an older image version
// is served or written back into the new one); PushBlock takes the lock by itself, without
// waiting, and refuses its block instead.
VOID CacheLockShared(LuExt* Lu);
VOID CacheLockExclusive(LuExt* Lu);
VOID CacheUnlock(PZV_CACHE c);
// TRUE when the session takes writes (a read-only image only in super-user mode).
FORCEINLINE BOOLEAN CacheSessionWritable(LuExt* Lu) { return LuHandshakeDone(Lu) && !LuWriteProtected(Lu); }
FORCEINLINE BOOLEAN CacheDropPending(PZV_CACHE c) {
    return InterlockedCompareExchange(&c->dropRequests, 0, 0) != c->dropsHandled;
}

// Nodes
PZV_CACHE_NODE CacheAllocNode(PZV_CACHE c, ULONGLONG Block);
VOID CacheFreeNode(PZV_CACHE c, PZV_CACHE_NODE Node);
// Index and LRU (cache lock held: shared for lookups and LRU refresh, exclusive otherwise).
PZV_CACHE_NODE CacheLookup(PZV_CACHE c, ULONGLONG Block);
VOID CacheInsert(PZV_CACHE c, PZV_CACHE_NODE Node);      // index + LRU head, stamped, used += 4096
VOID CacheRemove(PZV_CACHE c, PZV_CACHE_NODE Node);      // unlinks; used (and dirty bytes) adjusted
VOID CacheTouch(PZV_CACHE c, PZV_CACHE_NODE Node);       // the LRU refresh
// Exclusive: evicts clean blocks from the LRU tail until used <= Target.
VOID CacheEvict(LuExt* Lu, ULONGLONG Target);
// Queues the flush wake-up unless one is queued. Any IRQL up to DISPATCH_LEVEL.
VOID CacheQueueFlush(PZV_CACHE c);

// Write-back (exclusive): every dirty block in [FirstBlock, EndBlock). MaxRounds bounds the
// number of batches (0 = until done). *Written counts blocks written back. Returns the failure
// status when any block could not be written, else 0.
NTSTATUS CacheWriteBack(LuExt* Lu, ULONGLONG FirstBlock, ULONGLONG EndBlock, ULONG MaxRounds, PULONGLONG Written);
// Number of dirty blocks in [FirstBlock, EndBlock) (exclusive).
ULONGLONG CacheCountDirty(PZV_CACHE c, ULONGLONG FirstBlock, ULONGLONG EndBlock);

// The flusher thread (CacheFlusher.cpp).
NTSTATUS CacheStartFlusher(LuExt* Lu);
VOID CacheStopFlusher(LuExt* Lu);
// PushBlock target (CachePush.cpp): clears it when it is Lu and waits for PushBlock calls to end.
VOID CachePushDetach(LuExt* Lu);

// The server exchanges of the cache.
FORCEINLINE NTSTATUS CacheReadFromRemote(LuExt* Lu, ULONGLONG Offset, ULONG Length, PVOID Buffer) {
    return ReadFromRemote(&Lu->session, Offset, Length, Buffer);
}
FORCEINLINE NTSTATUS CacheWriteToRemote(LuExt* Lu, ULONGLONG Offset, ULONG Length, const VOID* Data) {
    return WriteToRemote(&Lu->session, Offset, Length, Data);
}

// Bytes of a block that lie on the disk: 4096, less for the last block of a disk whose size is
// not a multiple of 4096 (the server refuses transfers past the end). The rest of such a block
// is kept zero and never sent.
FORCEINLINE ULONG CacheBlockBytes(LuExt* Lu, ULONGLONG Block) {
    ULONGLONG size = LuTargetSize(Lu);
    ULONGLONG start = Block * ZV_CACHE_BLOCK_SIZE;
    if (size <= start || size - start >= ZV_CACHE_BLOCK_SIZE) return ZV_CACHE_BLOCK_SIZE;
    return (ULONG)(size - start);
}

// Fetches one block alone into Data (zero-filling what lies past the end of the disk).
FORCEINLINE NTSTATUS CacheFetchBlock(LuExt* Lu, ULONGLONG Block, PUCHAR Data) {
    ULONG bytes = CacheBlockBytes(Lu, Block);
    if (bytes < ZV_CACHE_BLOCK_SIZE) RtlZeroMemory(Data + bytes, ZV_CACHE_BLOCK_SIZE - bytes);
    return CacheReadFromRemote(Lu, Block * ZV_CACHE_BLOCK_SIZE, bytes, Data);
}
