// The block cache's structure: the driver-wide index, the per-LUN LRU list, nodes, the lock
// helpers, eviction, and the whole-cache operations (set-up and teardown, drop-all on a new image
// version, range invalidation, statistics).
//
// A LUN's cached blocks are linked twice: into its own LRU list (most recently used first) and
// into one bucket of the index shared by every LUN (block number AND 0xFFFF), so a lookup costs one
// short spin-locked bucket walk (a handful of nodes up to the largest cache size).
#include "CacheInternal.h"

const LUN_BACKEND g_NetworkLunBackend = {CacheRead, CacheWrite, CacheFlush, NULL};

// ---------------------------------------------------------------------------------------------
// The index, set up by the first cache initialisation and kept for the life of the driver image
// (its buckets are empty whenever no LUN holds blocks).

typedef struct _ZV_CACHE_BUCKET {
    LIST_ENTRY head;
    KSPIN_LOCK lock;
} ZV_CACHE_BUCKET;

static ZV_CACHE_BUCKET g_CacheIndex[ZV_CACHE_INDEX_BUCKETS];
static volatile LONG g_CacheIndexState;   // 0 not set up, 1 being set up, 2 ready

static VOID CacheIndexSetUp(VOID) {
    if (InterlockedCompareExchange(&g_CacheIndexState, 0, 0) == 2) return;
    if (InterlockedCompareExchange(&g_CacheIndexState, 1, 0) == 0) {
        for (ULONG i = 0; i < ZV_CACHE_INDEX_BUCKETS; i++) {
            InitializeListHead(&g_CacheIndex[i].head);
            KeInitializeSpinLock(&g_CacheIndex[i].lock);
        }
        InterlockedExchange(&g_CacheIndexState, 2);
        return;
    }
    // Another LUN is setting it up right now (LUNs are created at passive level).
    while (InterlockedCompareExchange(&g_CacheIndexState, 0, 0) != 2) {
        LARGE_INTEGER t;
        t.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
}

FORCEINLINE ZV_CACHE_BUCKET* CacheBucket(ULONGLONG block) { return &g_CacheIndex[block & (ZV_CACHE_INDEX_BUCKETS - 1)]; }

PZV_CACHE_NODE CacheLookup(PZV_CACHE c, ULONGLONG Block) {
    ZV_CACHE_BUCKET* b = CacheBucket(Block);
    PZV_CACHE_NODE found = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&b->lock, &irql);
    for (PLIST_ENTRY e = b->head.Flink; e != &b->head; e = e->Flink) {
        PZV_CACHE_NODE n = CONTAINING_RECORD(e, ZV_CACHE_NODE, indexLink);
        if (n->block == Block && n->owner == c) {
            found = n;
            break;
        }
    }
    KeReleaseSpinLock(&b->lock, irql);
    return found;
}

VOID CacheInsert(PZV_CACHE c, PZV_CACHE_NODE Node) {
    ZV_CACHE_BUCKET* b = CacheBucket(Node->block);
    KIRQL irql;
    KeAcquireSpinLock(&b->lock, &irql);
    InsertHeadList(&b->head, &Node->indexLink);
    KeReleaseSpinLock(&b->lock, irql);
    KeAcquireSpinLock(&c->lruLock, &irql);
    InsertHeadList(&c->lruList, &Node->lruLink);
    InterlockedExchange64(&Node->stamp, InterlockedIncrement64(&c->useSequence));
    KeReleaseSpinLock(&c->lruLock, irql);
    Node->inCache = 1;
    c->inserts++;
    c->used += ZV_CACHE_BLOCK_SIZE;
    if (Node->dirty) InterlockedExchangeAdd64(&c->dirtyBytes, ZV_CACHE_BLOCK_SIZE);
}

VOID CacheRemove(PZV_CACHE c, PZV_CACHE_NODE Node) {
    ZV_CACHE_BUCKET* b = CacheBucket(Node->block);
    KIRQL irql;
    KeAcquireSpinLock(&b->lock, &irql);
    RemoveEntryList(&Node->indexLink);
    KeReleaseSpinLock(&b->lock, irql);
    KeAcquireSpinLock(&c->lruLock, &irql);
    RemoveEntryList(&Node->lruLink);
    KeReleaseSpinLock(&c->lruLock, irql);
    Node->inCache = 0;
    c->used -= ZV_CACHE_BLOCK_SIZE;
    if (Node->dirty) InterlockedExchangeAdd64(&c->dirtyBytes, -(LONG64)ZV_CACHE_BLOCK_SIZE);
    // A written block leaving the cache: a fetch in flight may carry the server's older copy.
    if (Node->everDirty) InterlockedIncrement(&c->insertEpoch);
}

VOID CacheTouch(PZV_CACHE c, PZV_CACHE_NODE Node) {
    // Hot blocks are met over and over; moving each of them at every hit would make the LRU lock
    // the busiest lock of the read path for no gain in eviction order.
    LONG64 now = InterlockedCompareExchange64(&c->useSequence, 0, 0);
    if (now - InterlockedCompareExchange64(&Node->stamp, 0, 0) < ZV_CACHE_LRU_SKIP) return;
    KIRQL irql;
    KeAcquireSpinLock(&c->lruLock, &irql);
    RemoveEntryList(&Node->lruLink);
    InsertHeadList(&c->lruList, &Node->lruLink);
    InterlockedExchange64(&Node->stamp, InterlockedIncrement64(&c->useSequence));
    KeReleaseSpinLock(&c->lruLock, irql);
}

// ---------------------------------------------------------------------------------------------
// Nodes

PZV_CACHE_NODE CacheAllocNode(PZV_CACHE c, ULONGLONG Block) {
    PZV_CACHE_NODE n = (PZV_CACHE_NODE)ExAllocateFromNPagedLookasideList(&c->nodePool);
    if (n == NULL) return NULL;
    RtlZeroMemory(n, sizeof(*n));
    n->data = (PUCHAR)ExAllocateFromNPagedLookasideList(&c->dataPool);
    if (n->data == NULL) {
        ExFreeToNPagedLookasideList(&c->nodePool, n);
        return NULL;
    }
    n->block = Block;
    n->owner = c;
    n->dataSize = ZV_CACHE_BLOCK_SIZE;
    return n;
}

VOID CacheFreeNode(PZV_CACHE c, PZV_CACHE_NODE Node) {
    ExFreeToNPagedLookasideList(&c->dataPool, Node->data);
    ExFreeToNPagedLookasideList(&c->nodePool, Node);
}

// Unlinks and frees every node of the cache (exclusive).
static VOID CacheFreeAll(PZV_CACHE c) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&c->lruLock, &irql);
        PLIST_ENTRY e = IsListEmpty(&c->lruList) ? NULL : c->lruList.Flink;
        KeReleaseSpinLock(&c->lruLock, irql);
        if (e == NULL) break;
        PZV_CACHE_NODE n = CONTAINING_RECORD(e, ZV_CACHE_NODE, lruLink);
        CacheRemove(c, n);
        CacheFreeNode(c, n);
    }
    c->used = 0;
    InterlockedExchange64(&c->dirtyBytes, 0);
}

ULONGLONG CacheCountDirty(PZV_CACHE c, ULONGLONG FirstBlock, ULONGLONG EndBlock) {
    ULONGLONG n = 0;
    KIRQL irql;
    KeAcquireSpinLock(&c->lruLock, &irql);
    for (PLIST_ENTRY e = c->lruList.Flink; e != &c->lruList; e = e->Flink) {
        PZV_CACHE_NODE node = CONTAINING_RECORD(e, ZV_CACHE_NODE, lruLink);
        if (node->dirty && node->block >= FirstBlock && node->block < EndBlock) n++;
    }
    KeReleaseSpinLock(&c->lruLock, irql);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Flush wake-up

static KDEFERRED_ROUTINE CacheFlushDpc;

static VOID NTAPI CacheFlushDpc(PKDPC Dpc, PVOID Context, PVOID Arg1, PVOID Arg2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Arg1);
    UNREFERENCED_PARAMETER(Arg2);
    PZV_CACHE c = (PZV_CACHE)Context;
    InterlockedExchange(&c->flushRequested, 0);
    KeSetEvent(&c->flushEvent, IO_NO_INCREMENT, FALSE);
}

VOID CacheQueueFlush(PZV_CACHE c) {
    if (InterlockedCompareExchange(&c->flushRequested, 1, 0) != 0) return;
    CacheStat(c, ZvStatFlushWakeupsQueued);
    KeInsertQueueDpc(&c->flushDpc, NULL, NULL);
}

// ---------------------------------------------------------------------------------------------
// Eviction

VOID CacheEvict(LuExt* Lu, ULONGLONG Target) {
    PZV_CACHE c = &Lu->cache;
    ULONG dirtyMet = 0;
    while (c->used > Target) {
        KIRQL irql;
        KeAcquireSpinLock(&c->lruLock, &irql);
        PZV_CACHE_NODE n = IsListEmpty(&c->lruList) ? NULL : CONTAINING_RECORD(c->lruList.Blink, ZV_CACHE_NODE, lruLink);
        if (n != NULL && n->dirty) {
            // A written block stays until it is written back; the flusher is told to hurry.
            RemoveEntryList(&n->lruLink);
            InsertHeadList(&c->lruList, &n->lruLink);
        }
        KeReleaseSpinLock(&c->lruLock, irql);
        if (n == NULL) break;
        if (n->dirty) {
            CacheQueueFlush(c);
            if (++dirtyMet >= ZV_CACHE_EVICT_DIRTY_LIMIT) break;
            continue;
        }
        CacheRemove(c, n);
        CacheFreeNode(c, n);
        CacheStat(c, ZvStatEvictions);
    }
}

// ---------------------------------------------------------------------------------------------
// Locks and the deferred drop-all

// Carries out the drop-all requests counted so far (exclusive lock held, no session lock held).
// The written blocks belong to this client's layer on the server: they are written back first
// when the session takes writes, and reported when that fails.
static VOID CacheCarryOutDrop(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    LONG requests = InterlockedCompareExchange(&c->dropRequests, 0, 0);
    ULONGLONG dirty = CacheCountDirty(c, 0, MAXULONGLONG);
    if (dirty != 0 && CacheSessionWritable(Lu)) {
        ULONGLONG written = 0;
        (VOID)CacheWriteBack(Lu, 0, MAXULONGLONG, 0, &written);
        dirty = CacheCountDirty(c, 0, MAXULONGLONG);
    }
    if (dirty != 0) {
        ZvLogError("CacheDropAll: %llu 个脏块未能回写，随镜像版本变化丢弃 (%llu 字节)\n", dirty,
                   dirty * ZV_CACHE_BLOCK_SIZE);
        CacheStat(c, ZvStatDirtyLost, (LONG64)dirty);
    }
    CacheFreeAll(c);
    c->lastPassStart = (ULONGLONG)-1;
    c->sequentialStreak = 0;
    c->dropsHandled = requests;
}

VOID CacheLockExclusive(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&c->cacheLock, TRUE);
    if (CacheDropPending(c)) CacheCarryOutDrop(Lu);
}

VOID CacheLockShared(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    for (;;) {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(&c->cacheLock, TRUE);
        if (!CacheDropPending(c)) return;
        // Blocks of the previous image version must not be served: drop them first.
        CacheUnlock(c);
        CacheLockExclusive(Lu);
        CacheUnlock(c);
    }
}

VOID CacheUnlock(PZV_CACHE c) {
    ExReleaseResourceLite(&c->cacheLock);
    KeLeaveCriticalRegion();
}

// ---------------------------------------------------------------------------------------------
// Set-up and teardown

static VOID CachePushRegisterRoutine(PPROTOCOL_SESSION Session, PVOID Context) {
    UNREFERENCED_PARAMETER(Session);
    CacheRegisterPushBlock((LuExt*)Context);
}

NTSTATUS CacheInit(LuExt* Lu, ULONG CacheSizeMb) {
    PZV_CACHE c = &Lu->cache;
    if (CacheSizeMb < ZV_CACHE_MIN_MB || CacheSizeMb > ZV_CACHE_MAX_MB) CacheSizeMb = ZV_CACHE_DEFAULT_MB;
    CacheIndexSetUp();
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
    ExInitializeNPagedLookasideList(&c->nodePool, NULL, NULL, POOL_NX_ALLOCATION, sizeof(ZV_CACHE_NODE),
                                    ZV_TAG_CACHE_NODE, 0);
    ExInitializeNPagedLookasideList(&c->dataPool, NULL, NULL, POOL_NX_ALLOCATION, ZV_CACHE_BLOCK_SIZE,
                                    ZV_TAG_CACHE_DATA, 0);
    KeInitializeDpc(&c->flushDpc, CacheFlushDpc, c);
    KeInitializeEvent(&c->flushEvent, SynchronizationEvent, FALSE);
    // Without the staging buffer every write-back goes block by block: slower, still correct.
    c->stagingBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, ZV_CACHE_STAGING_SIZE, ZV_TAG_CACHE_STAGING);
    // The block cache registers the LUN's PushBlock handler once the UDP channel is up.
    Lu->session.pushBlockRegisterRoutine = CachePushRegisterRoutine;
    Lu->session.pushBlockRegisterContext = Lu;
    c->initialized = TRUE;
    st = CacheStartFlusher(Lu);
    if (!NT_SUCCESS(st)) {
        CacheTeardown(Lu);
        return st;
    }
    return STATUS_SUCCESS;
}

// Everything dirty to the server, with one more attempt for what fails (exclusive lock held).
static VOID CacheWriteBackTwice(LuExt* Lu) {
    ULONGLONG written = 0;
    if (!NT_SUCCESS(CacheWriteBack(Lu, 0, MAXULONGLONG, 0, &written)))
        (VOID)CacheWriteBack(Lu, 0, MAXULONGLONG, 0, &written);
}

VOID CacheShutdown(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return;
    CacheStopFlusher(Lu);
    CacheLockExclusive(Lu);
    CacheWriteBackTwice(Lu);
    CacheUnlock(c);
}

VOID CacheTeardown(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return;
    CacheStopFlusher(Lu);
    CachePushDetach(Lu);

    CacheLockExclusive(Lu);
    CacheWriteBackTwice(Lu);
    // A LUN being removed cannot keep what the server refused: say how much is lost.
    ULONGLONG lost = CacheCountDirty(c, 0, MAXULONGLONG);
    if (lost != 0) {
        ZvLogError("CacheTeardown: %llu 个脏块回写失败，数据丢失 (%llu 字节)\n", lost, lost * ZV_CACHE_BLOCK_SIZE);
        CacheStat(c, ZvStatDirtyLost, (LONG64)lost);
    }
    CacheFreeAll(c);
    CacheUnlock(c);

    // A wake-up queued by the last writer may still be pending.
    KeFlushQueuedDpcs();
    if (c->stagingBuffer != NULL) ExFreePoolWithTag(c->stagingBuffer, ZV_TAG_CACHE_STAGING);
    c->stagingBuffer = NULL;
    ExDeleteNPagedLookasideList(&c->nodePool);
    ExDeleteNPagedLookasideList(&c->dataPool);
    Lu->session.pushBlockRegisterRoutine = NULL;
    c->initialized = FALSE;
    ExDeleteResourceLite(&c->cacheLock);
}

// ---------------------------------------------------------------------------------------------
// Whole-cache operations

NTSTATUS CacheFlush(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return STATUS_SUCCESS;
    CacheLockExclusive(Lu);
    ULONGLONG written = 0;
    NTSTATUS st = CacheWriteBack(Lu, 0, MAXULONGLONG, 0, &written);
    CacheUnlock(c);
    return st;
}

VOID CacheDropAll(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    if (!c->initialized) return;
    // Called inside the handshake, possibly by a thread that holds the cache lock itself (a
    // write-back whose exchange reconnected) or while another holder waits for this session:
    // count the request and leave it to the next exclusive holder. Reads check for it before they
    // serve a block, so nothing of the old image is served once the handshake has completed.
    InterlockedIncrement(&c->insertEpoch);
    InterlockedIncrement(&c->dropRequests);
    KeSetEvent(&c->flushEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CacheInvalidateRange(LuExt* Lu, ULONGLONG Offset, ULONGLONG Length, PULONGLONG Dropped,
                              PULONGLONG WrittenBack) {
    PZV_CACHE c = &Lu->cache;
    ULONGLONG dropped = 0, written = 0, kept = 0;
    if (Dropped != NULL) *Dropped = 0;
    if (WrittenBack != NULL) *WrittenBack = 0;
    if (!c->initialized) return STATUS_SUCCESS;
    ULONGLONG first = 0, end = MAXULONGLONG;
    if (Length != 0) {
        first = Offset / ZV_CACHE_BLOCK_SIZE;
        ULONGLONG last = Offset + Length + ZV_CACHE_BLOCK_SIZE - 1;
        end = last < Offset ? MAXULONGLONG : last / ZV_CACHE_BLOCK_SIZE;   // a range past 2^64 ends there
    }
    CacheLockExclusive(Lu);
    (VOID)CacheWriteBack(Lu, first, end, 0, &written);
    // Only this thread changes the list while it holds the cache lock exclusively, so the walk
    // may step past the node it frees.
    KIRQL irql;
    KeAcquireSpinLock(&c->lruLock, &irql);
    PLIST_ENTRY e = c->lruList.Flink;
    KeReleaseSpinLock(&c->lruLock, irql);
    while (e != &c->lruList) {
        PZV_CACHE_NODE n = CONTAINING_RECORD(e, ZV_CACHE_NODE, lruLink);
        e = e->Flink;
        if (n->block < first || n->block >= end || n->dirty) continue;
        CacheRemove(c, n);
        CacheFreeNode(c, n);
        dropped++;
    }
    // Blocks whose write-back failed hold data the server does not have: they stay, dirty.
    kept = CacheCountDirty(c, first, end);
    CacheUnlock(c);
    if (kept != 0) {
        ZvLogWarning("CacheInvalidateRange: %llu 个脏块回写失败，保留在缓存中\n", kept);
        CacheStat(c, ZvStatDirtyKept, (LONG64)kept);
    }
    if (Dropped != NULL) *Dropped = dropped;
    if (WrittenBack != NULL) *WrittenBack = written;
    return STATUS_SUCCESS;
}

VOID CacheGetStatistics(LuExt* Lu, ULONGLONG Stats[ZV_CACHE_STAT_COUNT]) {
    for (ULONG i = 0; i < ZV_CACHE_STAT_COUNT; i++)
        Stats[i] = (ULONGLONG)InterlockedCompareExchange64(&Lu->cache.stats[i], 0, 0);
}
