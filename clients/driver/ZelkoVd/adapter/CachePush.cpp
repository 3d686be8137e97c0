// Blocks the disk server pushes over the UDP channel unasked (what it expects this client to read
// next). They go into the cache of the LUN that registered last, as clean blocks, but only when
// the cache lock is free at that moment: the UDP receive thread must never wait behind a
// write-back, so a busy cache simply lets the block go (the reader will fetch it).
#include "CacheInternal.h"

// The LUN that registered the handler last, and the lock that lets CacheTeardown take it away
// while a push is in progress (pushRefs counts the pushes holding it). A zero spin lock is a
// free one, so both need no set-up.
static KSPIN_LOCK g_PushTargetLock;
static LuExt* g_PushTarget;

VOID CacheRegisterPushBlock(LuExt* Lu) {
    KIRQL irql;
    KeAcquireSpinLock(&g_PushTargetLock, &irql);
    g_PushTarget = Lu;
    KeReleaseSpinLock(&g_PushTargetLock, irql);
    WskUdp_RegisterPushBlock(PushBlock);
    ZvLogInfo("PushBlock: 回调已注册 ext=%p\n", (PVOID)Lu);
}

VOID CachePushDetach(LuExt* Lu) {
    KIRQL irql;
    KeAcquireSpinLock(&g_PushTargetLock, &irql);
    if (g_PushTarget == Lu) g_PushTarget = NULL;
    KeReleaseSpinLock(&g_PushTargetLock, irql);
    while (InterlockedCompareExchange(&Lu->cache.pushRefs, 0, 0) != 0) {
        LARGE_INTEGER t;
        t.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
}

static ULONG PushInto(LuExt* lu, ULONGLONG Offset, const VOID* Data) {
    PZV_CACHE c = &lu->cache;
    PZV_CACHE_NODE node = CacheAllocNode(c, Offset / ZV_CACHE_BLOCK_SIZE);
    if (node == NULL) {
        ZvLogDebug("PushBlock: 分配块失败 offset=%lld\n", (LONGLONG)Offset);
        return 0;
    }
    RtlCopyMemory(node->data, Data, ZV_CACHE_BLOCK_SIZE);
    KeEnterCriticalRegion();
    if (!ExAcquireResourceExclusiveLite(&c->cacheLock, FALSE)) {
        KeLeaveCriticalRegion();
        CacheFreeNode(c, node);
        CacheStat(c, ZvStatPushDroppedBusy);
        return 0;
    }
    if (CacheDropPending(c)) {
        // The pending drop needs the server (write-back first), which this thread must not wait
        // for; the block may belong to the old image anyway.
        CacheUnlock(c);
        CacheFreeNode(c, node);
        CacheStat(c, ZvStatPushDroppedBusy);
        return 0;
    }
    if (CacheLookup(c, node->block) != NULL) {
        // The cached copy may be newer (written here and not yet written back).
        CacheFreeNode(c, node);
    } else {
        if (c->used + ZV_CACHE_BLOCK_SIZE > c->capacity) CacheEvict(lu, c->capacity - ZV_CACHE_BLOCK_SIZE);
        CacheInsert(c, node);
        CacheStat(c, ZvStatPushInserted);
    }
    CacheUnlock(c);
    return 1;
}

ULONG PushBlock(ULONGLONG Offset, ULONG Size, const VOID* Data) {
    if (Data == NULL || Size != ZV_CACHE_BLOCK_SIZE || Offset % ZV_CACHE_BLOCK_SIZE != 0) return 0;
    KIRQL irql;
    KeAcquireSpinLock(&g_PushTargetLock, &irql);
    LuExt* lu = g_PushTarget;
    if (lu != NULL) InterlockedIncrement(&lu->cache.pushRefs);
    KeReleaseSpinLock(&g_PushTargetLock, irql);
    if (lu == NULL) return 0;
    // A block past the end of the disk is no block a reader will ever ask for: taking it would
    // only let the server evict real blocks with junk.
    ULONG taken = lu->cache.initialized && Offset < LuTargetSize(lu) ? PushInto(lu, Offset, Data) : 0;
    InterlockedDecrement(&lu->cache.pushRefs);
    return taken;
}
