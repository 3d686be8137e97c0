// The write path of the block cache and the write-back: writes land in cached blocks (a block the
// write covers only in part is fetched first), are marked dirty, and are written back in batches
// of up to 256 blocks (1 MiB) by the flusher, a flush, a purge or the teardown.
#include "CacheInternal.h"

namespace zw = zelko::wire;

// A refill of a partly written block is repeated when a drop-all or the eviction of a written
// block happened while it was in flight; after this many the last fill is taken.
#define WRITE_FILL_ATTEMPTS 3

static VOID MarkDirty(PZV_CACHE c, PZV_CACHE_NODE Node) {
    Node->everDirty = 1;
    if (Node->dirty) return;
    Node->dirty = 1;
    if (Node->inCache) InterlockedExchangeAdd64(&c->dirtyBytes, ZV_CACHE_BLOCK_SIZE);
}

static VOID MarkClean(PZV_CACHE c, PZV_CACHE_NODE Node, PULONGLONG Written) {
    Node->dirty = 0;
    InterlockedExchangeAdd64(&c->dirtyBytes, -(LONG64)ZV_CACHE_BLOCK_SIZE);
    CacheStat(c, ZvStatBytesWrittenBack, ZV_CACHE_BLOCK_SIZE);
    (*Written)++;
}

// A new node for Block holding the server's copy (cache lock exclusive on entry and on return,
// released while the server is asked). Returns the node to write into: ours, or one that another
// request inserted meanwhile (*IsNew FALSE).
static NTSTATUS FillForPartialWrite(LuExt* Lu, ULONGLONG Block, PZV_CACHE_NODE* Node, PBOOLEAN IsNew) {
    PZV_CACHE c = &Lu->cache;
    PZV_CACHE_NODE node = *Node;
    for (ULONG attempt = 1;; attempt++) {
        LONG epoch = InterlockedCompareExchange(&c->insertEpoch, 0, 0);
        CacheUnlock(c);
        NTSTATUS st = CacheFetchBlock(Lu, Block, node->data);
        CacheLockExclusive(Lu);
        if (!NT_SUCCESS(st)) {
            CacheFreeNode(c, node);
            *Node = NULL;
            return st;
        }
        PZV_CACHE_NODE cached = CacheLookup(c, Block);
        if (cached != NULL) {
            CacheFreeNode(c, node);
            *Node = cached;
            *IsNew = FALSE;
            return STATUS_SUCCESS;
        }
        if (InterlockedCompareExchange(&c->insertEpoch, 0, 0) == epoch || attempt >= WRITE_FILL_ATTEMPTS) {
            *IsNew = TRUE;
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS CacheWrite(LuExt* Lu, ULONGLONG Offset, ULONG Length, const VOID* Data, PULONG BytesDone) {
    PZV_CACHE c = &Lu->cache;
    *BytesDone = 0;
    if (LuWriteProtected(Lu)) return STATUS_ACCESS_DENIED;
    if (Length == 0) return STATUS_SUCCESS;
    if (!Lu->writeCacheEnabled || !LuHandshakeDone(Lu) || !c->initialized) {
        NTSTATUS st = CacheWriteToRemote(Lu, Offset, Length, Data);
        if (NT_SUCCESS(st)) *BytesDone = Length;
        return st;
    }

    const UCHAR* in = (const UCHAR*)Data;
    NTSTATUS st = STATUS_SUCCESS;
    ULONG done = 0;
    CacheLockExclusive(Lu);
    while (done < Length) {
        ULONGLONG offset = Offset + done;
        ULONGLONG block = offset / ZV_CACHE_BLOCK_SIZE;
        ULONG inBlock = (ULONG)(offset % ZV_CACHE_BLOCK_SIZE);
        ULONG slice = ZV_CACHE_BLOCK_SIZE - inBlock;
        if (slice > Length - done) slice = Length - done;

        PZV_CACHE_NODE node = CacheLookup(c, block);
        BOOLEAN isNew = FALSE;
        if (node != NULL) {
            CacheStat(c, ZvStatWriteHits);
        } else {
            CacheStat(c, ZvStatWriteMisses);
            node = CacheAllocNode(c, block);
            if (node == NULL) {
                st = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            isNew = TRUE;
            // A write of part of a block keeps the rest of it: fetch the block first.
            if (slice < ZV_CACHE_BLOCK_SIZE) {
                st = FillForPartialWrite(Lu, block, &node, &isNew);
                if (!NT_SUCCESS(st)) break;
            } else {
                // Whole block: what lies past the end of the disk stays zero.
                RtlZeroMemory(node->data, ZV_CACHE_BLOCK_SIZE);
            }
        }
        RtlCopyMemory(node->data + inBlock, in + done, slice);
        MarkDirty(c, node);
        if (isNew) {
            CacheInsert(c, node);
            if (c->used > c->capacity) CacheEvict(Lu, c->capacity);
        } else {
            CacheTouch(c, node);
        }
        CacheStat(c, ZvStatBytesWrittenIntoCache, slice);
        done += slice;
    }
    // Past the dirty threshold the flusher does not wait for its 5-second round.
    if ((ULONGLONG)InterlockedCompareExchange64(&c->dirtyBytes, 0, 0) >= c->capacity * c->dirtyThreshold / 100)
        CacheQueueFlush(c);
    CacheUnlock(c);
    *BytesDone = done;
    return st;
}

// ---------------------------------------------------------------------------------------------
// Write-back

static NTSTATUS WriteBackOne(LuExt* Lu, PZV_CACHE_NODE Node, PULONGLONG Written) {
    NTSTATUS st = CacheWriteToRemote(Lu, Node->block * ZV_CACHE_BLOCK_SIZE, CacheBlockBytes(Lu, Node->block), Node->data);
    if (NT_SUCCESS(st)) MarkClean(&Lu->cache, Node, Written);
    return st;
}

NTSTATUS CacheWriteBack(LuExt* Lu, ULONGLONG FirstBlock, ULONGLONG EndBlock, ULONG MaxRounds, PULONGLONG Written) {
    PZV_CACHE c = &Lu->cache;
    PZV_CACHE_NODE* nodes = c->writeBackNodes;
    zw::BatchSegment* segments = c->writeBackSegments;
    NTSTATUS last = STATUS_SUCCESS;
    ULONG rounds = 0;
    *Written = 0;
    if (InterlockedCompareExchange64(&c->dirtyBytes, 0, 0) == 0) return STATUS_SUCCESS;

    // Nothing reorders the list while the cache lock is held exclusively and the exchanges below
    // never call back into the cache, so one walk from the head finds every dirty block once.
    KIRQL irql;
    KeAcquireSpinLock(&c->lruLock, &irql);
    PLIST_ENTRY cursor = c->lruList.Flink;
    KeReleaseSpinLock(&c->lruLock, irql);
    for (;;) {
        ULONG n = 0;
        while (cursor != &c->lruList && n < ZV_CACHE_BATCH_BLOCKS) {
            PZV_CACHE_NODE node = CONTAINING_RECORD(cursor, ZV_CACHE_NODE, lruLink);
            cursor = cursor->Flink;
            if (node->dirty && node->block >= FirstBlock && node->block < EndBlock) nodes[n++] = node;
        }
        if (n == 0) break;
        if (n == 1) {
            NTSTATUS st = WriteBackOne(Lu, nodes[0], Written);
            if (!NT_SUCCESS(st)) last = st;
            break;
        }
        if (c->stagingBuffer != NULL && (ULONGLONG)n * ZV_CACHE_BLOCK_SIZE <= ZV_CACHE_STAGING_SIZE) {
            PUCHAR staging = (PUCHAR)c->stagingBuffer;
            ULONG total = 0;
            for (ULONG i = 0; i < n; i++) {
                ULONG bytes = CacheBlockBytes(Lu, nodes[i]->block);
                segments[i].offset = nodes[i]->block * ZV_CACHE_BLOCK_SIZE;
                segments[i].length = bytes;
                RtlCopyMemory(staging + total, nodes[i]->data, bytes);
                total += bytes;
            }
            NTSTATUS st = ProtocolClient_BatchWrite(&Lu->session, segments, n, staging, total);
            if (NT_SUCCESS(st)) {
                for (ULONG i = 0; i < n; i++) MarkClean(c, nodes[i], Written);
                CacheStat(c, ZvStatWriteBackBatches);
                if (MaxRounds != 0 && ++rounds >= MaxRounds) break;
                continue;
            }
        }
        // Block by block. When every one of them went through, the blocks after them are worth a
        // try as well: a flush must not report success while written blocks were left unsent.
        CacheStat(c, ZvStatWriteBackFallbacks);
        BOOLEAN failed = FALSE;
        for (ULONG i = 0; i < n; i++) {
            NTSTATUS st = WriteBackOne(Lu, nodes[i], Written);
            if (!NT_SUCCESS(st)) {
                last = st;
                failed = TRUE;
            }
        }
        if (failed) break;
        if (MaxRounds != 0 && ++rounds >= MaxRounds) break;
    }
    return last;
}
