// The block cache's life cycle and its whole-cache operations: set-up and teardown per LUN,
// flush, drop-all on a new image version, range invalidation, statistics.
//
// The cache holds no blocks yet: every read and write goes through to the disk server (see
// CacheIo.cpp), so a flush has nothing to write back and a purge nothing to drop. The lock, the
// LRU list and the statistics are already the real ones, so the callers (the I/O worker, the
// control device, the session's version check) work against the final interface.
#include "LunBackend.h"

const LUN_BACKEND g_NetworkLunBackend = {CacheRead, CacheWrite, CacheFlush, NULL};

NTSTATUS CacheInit(LuExt* Lu, ULONG CacheSizeMb) {
    PZV_CACHE c = &Lu->cache;
    if (CacheSizeMb < ZV_CACHE_MIN_MB || CacheSizeMb > ZV_CACHE_MAX_MB) CacheSizeMb = ZV_CACHE_DEFAULT_MB;
    NTSTATUS st = ExInitializeResourceLite(&c->cacheLock);
    if (!NT_SUCCESS(st)) return st;
    c->capacity = (ULONGLONG)CacheSizeMb * 1024 * 1024;
    c->used = 0;
    c->dirtyBytes = 0;
    c->blockSize = ZV_CACHE_BLOCK_SIZE;
    c->readAheadWindow = ZV_CACHE_READ_AHEAD;
    c->dirtyThreshold = ZV_CACHE_DIRTY_PERCENT;
    c->lastPassStart = (ULONGLONG)-1;
    c->sequentialStreak = 0;
    InitializeListHead(&c->lruList);
    KeInitializeSpinLock(&c->lruLock);
    c->initialized = TRUE;
    return STATUS_SUCCESS;
}

VOID CacheTeardown(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return;
    // Write back what is dirty before the record goes (nothing while the cache holds no blocks).
    (VOID)CacheFlush(Lu);
    c->initialized = FALSE;
    ExDeleteResourceLite(&c->cacheLock);
}

static VOID CacheLockExclusive(PZV_CACHE c) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&c->cacheLock, TRUE);
}

static VOID CacheUnlock(PZV_CACHE c) {
    ExReleaseResourceLite(&c->cacheLock);
    KeLeaveCriticalRegion();
}

NTSTATUS CacheFlush(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return STATUS_SUCCESS;
    CacheLockExclusive(c);
    // Every write has already reached the server: no block is dirty.
    NTSTATUS st = STATUS_SUCCESS;
    CacheUnlock(c);
    return st;
}

VOID CacheDropAll(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return;
    CacheLockExclusive(c);
    c->used = 0;
    c->dirtyBytes = 0;
    c->lastPassStart = (ULONGLONG)-1;
    c->sequentialStreak = 0;
    CacheUnlock(c);
}

NTSTATUS CacheInvalidateRange(LuExt* Lu, ULONGLONG Offset, ULONGLONG Length, PULONGLONG Dropped,
                              PULONGLONG WrittenBack) {
    UNREFERENCED_PARAMETER(Offset);
    UNREFERENCED_PARAMETER(Length);
    PZV_CACHE c = &Lu->cache;
    if (Dropped != NULL) *Dropped = 0;
    if (WrittenBack != NULL) *WrittenBack = 0;
    if (!c->initialized) return STATUS_SUCCESS;
    CacheLockExclusive(c);
    if (Length == 0) c->dirtyBytes = 0;
    CacheUnlock(c);
    return STATUS_SUCCESS;
}

VOID CacheGetStatistics(LuExt* Lu, ULONGLONG Stats[ZV_CACHE_STAT_COUNT]) {
    for (ULONG i = 0; i < ZV_CACHE_STAT_COUNT; i++)
        Stats[i] = (ULONGLONG)InterlockedCompareExchange64(&Lu->cache.stats[i], 0, 0);
}
