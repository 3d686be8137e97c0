// The read path of the block cache: passes of at most 256 blocks, hits served under the shared
// lock, misses fetched with one batched request per pass (read-ahead blocks of a sequential stream
// riding along), and a block-by-block fallback when the batch fails.
#include "CacheInternal.h"

namespace zw = zelko::wire;

#define PASS_MAX ZV_CACHE_BATCH_BLOCKS

// Per-block state of a pass.
#define PASS_HIT     0   // copied to the caller under the shared lock
#define PASS_DONE    1   // copied to the caller later (found in the index, or fetched)
#define PASS_FETCH   2   // a new node waits for the server's data
#define PASS_NO_NODE 3   // no node could be allocated, or its fetch failed

// Bookkeeping of one read with misses: too large for a kernel stack, so it comes from pool, once
// per request and only when a pass misses.
typedef struct _CACHE_READ_PASS {
    UCHAR state[PASS_MAX];
    PZV_CACHE_NODE nodes[PASS_MAX];               // PASS_FETCH: the node being filled
    PZV_CACHE_NODE readAhead[ZV_CACHE_READ_AHEAD];
    ULONG readAheadCount;
    PZV_CACHE_NODE batch[PASS_MAX];
    zw::BatchSegment segments[PASS_MAX];
} CACHE_READ_PASS, *PCACHE_READ_PASS;

// Copies the part of Node's block that the request [Offset, Offset + Length) covers.
static VOID CopySlice(ULONGLONG Offset, ULONG Length, PUCHAR Buffer, ULONGLONG Block, const UCHAR* Data) {
    ULONGLONG blockStart = Block * ZV_CACHE_BLOCK_SIZE;
    ULONGLONG from = blockStart > Offset ? blockStart : Offset;
    ULONGLONG to = blockStart + ZV_CACHE_BLOCK_SIZE < Offset + Length ? blockStart + ZV_CACHE_BLOCK_SIZE : Offset + Length;
    RtlCopyMemory(Buffer + (from - Offset), Data + (from - blockStart), (SIZE_T)(to - from));
}

// The read-ahead window for this pass (exclusive lock held); 0 = no read-ahead. Also keeps the
// streak and its counters.
static ULONG ReadAheadWindow(PZV_CACHE c, ULONGLONG passStart) {
    if (c->lastPassStart == passStart - 1) {
        c->sequentialStreak++;
    } else {
        c->sequentialStreak = 1;
    }
    c->lastPassStart = passStart;
    ULONG streak = c->sequentialStreak;
    if (streak < 2) {
        CacheStat(c, ZvStatNonSequentialPasses);
        return 0;
    }
    if (streak <= 3) return c->readAheadWindow < ZV_CACHE_READ_AHEAD ? c->readAheadWindow : ZV_CACHE_READ_AHEAD;
    if (streak <= 7) {
        if (c->readAheadWindow < 128) {
            c->readAheadWindow = 128;
            CacheStat(c, ZvStatReadAheadRaises);
        }
        return c->readAheadWindow < ZV_CACHE_READ_AHEAD ? c->readAheadWindow : ZV_CACHE_READ_AHEAD;
    }
    if (c->readAheadWindow < ZV_CACHE_READ_AHEAD) CacheStat(c, ZvStatReadAheadRaises);
    c->readAheadWindow = ZV_CACHE_READ_AHEAD;
    return ZV_CACHE_READ_AHEAD;
}

// Fetches the pass's new nodes (and the read-ahead nodes that fit) with one batched request, and
// block by block whatever the batch did not bring whole (it could not be made, failed, or was cut
// short). A node whose fetch failed is freed and
// cleared; for a block the caller asked for, the first such status lands in *Remembered.
static VOID FetchPass(LuExt* Lu, PCACHE_READ_PASS p, ULONG passBlocks, PNTSTATUS Remembered) {
    PZV_CACHE c = &Lu->cache;
    ULONG n = 0, missed = 0;
    for (ULONG i = 0; i < passBlocks; i++)
        if (p->state[i] == PASS_FETCH) p->batch[n++] = p->nodes[i];
    missed = n;
    // Read-ahead rides in this batch only; what does not fit is given up.
    ULONG ra = 0;
    for (; ra < p->readAheadCount && n < PASS_MAX; ra++) p->batch[n++] = p->readAhead[ra];
    for (ULONG j = ra; j < p->readAheadCount; j++) CacheFreeNode(c, p->readAhead[j]);
    p->readAheadCount = ra;
    if (n == 0) return;

    ULONG total = 0;
    for (ULONG i = 0; i < n; i++) {
        ULONG bytes = CacheBlockBytes(Lu, p->batch[i]->block);
        p->segments[i].offset = p->batch[i]->block * ZV_CACHE_BLOCK_SIZE;
        p->segments[i].length = bytes;
        total += bytes;
    }
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, total, ZV_TAG_CACHE_FETCH);
    NTSTATUS st = STATUS_INSUFFICIENT_RESOURCES;
    ULONG complete = 0;
    if (buffer != NULL) st = ProtocolClient_BatchReadEx(&Lu->session, p->segments, n, buffer, total, &complete);
    if (!NT_SUCCESS(st)) complete = 0;
    // A batch the server ended early, or answered with other lengths than asked, holds only its
    // leading whole segments where the table puts them; the rest is fetched block by block.
    CacheStat(c, complete == n ? ZvStatBatchFetchOk : ZvStatBatchFetchFailed);
    ULONG pos = 0;
    for (ULONG i = 0; i < complete; i++) {
        ULONG bytes = p->segments[i].length;
        RtlCopyMemory(p->batch[i]->data, buffer + pos, bytes);
        if (bytes < ZV_CACHE_BLOCK_SIZE) RtlZeroMemory(p->batch[i]->data + bytes, ZV_CACHE_BLOCK_SIZE - bytes);
        pos += bytes;
    }
    for (ULONG i = complete; i < n; i++) {
        PZV_CACHE_NODE node = p->batch[i];
        NTSTATUS one = CacheFetchBlock(Lu, node->block, node->data);
        if (NT_SUCCESS(one)) continue;
        CacheFreeNode(c, node);
        if (i < missed) {
            if (NT_SUCCESS(*Remembered)) *Remembered = one;
            for (ULONG k = 0; k < passBlocks; k++)
                if (p->nodes[k] == node) {
                    p->nodes[k] = NULL;
                    p->state[k] = PASS_NO_NODE;
                }
        } else {
            p->readAhead[i - missed] = NULL;   // read-ahead failures are silent
        }
    }
    if (buffer != NULL) ExFreePoolWithTag(buffer, ZV_TAG_CACHE_FETCH);
}

NTSTATUS CacheRead(LuExt* Lu, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG BytesDone) {
    PZV_CACHE c = &Lu->cache;
    *BytesDone = 0;
    if (Length == 0) return STATUS_SUCCESS;
    if (!Lu->writeCacheEnabled || !LuHandshakeDone(Lu) || !c->initialized) {
        NTSTATUS st = CacheReadFromRemote(Lu, Offset, Length, Buffer);
        if (NT_SUCCESS(st)) *BytesDone = Length;
        return st;
    }

    PUCHAR out = (PUCHAR)Buffer;
    ULONGLONG lastBlock = (Offset + Length - 1) / ZV_CACHE_BLOCK_SIZE;
    PCACHE_READ_PASS p = NULL;
    NTSTATUS result = STATUS_SUCCESS;
    ULONG done = 0;

    while (done < Length) {
        ULONGLONG passOffset = Offset + done;
        ULONGLONG passStart = passOffset / ZV_CACHE_BLOCK_SIZE;
        ULONGLONG passEnd = lastBlock - passStart >= PASS_MAX ? passStart + PASS_MAX - 1 : lastBlock;
        ULONG passBlocks = (ULONG)(passEnd - passStart + 1);
        ULONG passBytes = (ULONG)((passEnd + 1) * ZV_CACHE_BLOCK_SIZE < Offset + Length
                                      ? (passEnd + 1) * ZV_CACHE_BLOCK_SIZE - passOffset
                                      : Offset + Length - passOffset);

        // Lookups under the shared lock: hits are served at once.
        ULONG missBits[PASS_MAX / 32];
        RtlZeroMemory(missBits, sizeof(missBits));
        ULONG misses = 0;
        CacheLockShared(Lu);
        for (ULONG i = 0; i < passBlocks; i++) {
            PZV_CACHE_NODE node = CacheLookup(c, passStart + i);
            if (node != NULL) {
                CopySlice(Offset, Length, out, passStart + i, node->data);
                CacheTouch(c, node);
                CacheStat(c, ZvStatReadHits);
            } else {
                missBits[i / 32] |= 1u << (i % 32);
                misses++;
                CacheStat(c, ZvStatReadMisses);
                CacheStat(c, ZvStatMissedBytes, ZV_CACHE_BLOCK_SIZE);
            }
        }
        ULONGLONG insertsSeen = c->inserts;
        CacheUnlock(c);
        if (misses == 0) {
            done += passBytes;
            continue;
        }

        if (p == NULL) {
            p = (PCACHE_READ_PASS)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(*p), ZV_TAG_CACHE_FETCH);
            if (p == NULL) {
                result = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
        }
        for (ULONG i = 0; i < passBlocks; i++) {
            p->state[i] = (missBits[i / 32] & (1u << (i % 32))) ? PASS_FETCH : PASS_HIT;
            p->nodes[i] = NULL;
        }
        p->readAheadCount = 0;

        // Exclusively: look again (another request may have brought the block), else a new node.
        NTSTATUS remembered = STATUS_SUCCESS;
        BOOLEAN allocFailed = FALSE;
        CacheLockExclusive(Lu);
        // Nothing inserted since the lookups above (a drop-all only removes): the misses stand.
        BOOLEAN lookAgain = c->inserts != insertsSeen;
        for (ULONG i = 0; i < passBlocks; i++) {
            if (p->state[i] != PASS_FETCH) continue;
            PZV_CACHE_NODE node = lookAgain ? CacheLookup(c, passStart + i) : NULL;
            if (node != NULL) {
                CopySlice(Offset, Length, out, passStart + i, node->data);
                CacheTouch(c, node);
                p->state[i] = PASS_DONE;
            } else if (!allocFailed && (node = CacheAllocNode(c, passStart + i)) != NULL) {
                p->nodes[i] = node;
            } else {
                if (!allocFailed) remembered = STATUS_INSUFFICIENT_RESOURCES;
                allocFailed = TRUE;
                p->state[i] = PASS_NO_NODE;
            }
        }
        // Read-ahead for a sequential stream: the blocks after this pass's start that nobody has.
        ULONG window = (!allocFailed && c->readAheadWindow != 0) ? ReadAheadWindow(c, passStart) : 0;
        ULONGLONG size = LuTargetSize(Lu);
        ULONGLONG diskBlocks = size != 0 ? (size + ZV_CACHE_BLOCK_SIZE - 1) / ZV_CACHE_BLOCK_SIZE : MAXULONGLONG;
        for (ULONG i = 1; i <= window && p->readAheadCount < ZV_CACHE_READ_AHEAD; i++) {
            ULONGLONG block = passStart + i;
            if (block >= diskBlocks) break;
            if (block <= passEnd) continue;   // inside the pass every block has its node or is cached
            if (CacheLookup(c, block) != NULL) continue;
            PZV_CACHE_NODE node = CacheAllocNode(c, block);
            if (node == NULL) break;
            p->readAhead[p->readAheadCount++] = node;
        }
        LONG epoch = InterlockedCompareExchange(&c->insertEpoch, 0, 0);
        insertsSeen = c->inserts;
        CacheUnlock(c);

        FetchPass(Lu, p, passBlocks, &remembered);

        // Exclusively again: insert what came (unless a copy is already there), serve the caller.
        CacheLockExclusive(Lu);
        BOOLEAN insert = InterlockedCompareExchange(&c->insertEpoch, 0, 0) == epoch;
        // Our own inserts below do not count: each node is a block of its own.
        BOOLEAN othersInserted = c->inserts != insertsSeen;
        for (ULONG i = 0; i < passBlocks; i++) {
            if (p->state[i] != PASS_FETCH) continue;
            PZV_CACHE_NODE node = p->nodes[i];
            PZV_CACHE_NODE cached = insert && othersInserted ? CacheLookup(c, node->block) : NULL;
            if (cached != NULL) {
                // Another request brought (or wrote) the block meanwhile: its copy is the newer.
                CopySlice(Offset, Length, out, node->block, cached->data);
                CacheTouch(c, cached);
                CacheFreeNode(c, node);
            } else {
                CopySlice(Offset, Length, out, node->block, node->data);
                if (insert) CacheInsert(c, node);
                else CacheFreeNode(c, node);
            }
            p->nodes[i] = NULL;
            p->state[i] = PASS_DONE;
        }
        for (ULONG j = 0; j < p->readAheadCount; j++) {
            PZV_CACHE_NODE node = p->readAhead[j];
            if (node == NULL) continue;
            if (insert && (!othersInserted || CacheLookup(c, node->block) == NULL)) {
                CacheInsert(c, node);
                CacheStat(c, ZvStatReadAheadInserted);
            } else {
                CacheFreeNode(c, node);
            }
        }
        p->readAheadCount = 0;
        if (c->used > c->capacity) CacheEvict(Lu, c->capacity);
        CacheUnlock(c);

        // Bytes done end at the first block of the pass that could not be served.
        for (ULONG i = 0; i < passBlocks; i++) {
            if (p->state[i] != PASS_NO_NODE) continue;
            ULONGLONG blockStart = (passStart + i) * ZV_CACHE_BLOCK_SIZE;
            done += (ULONG)(blockStart > passOffset ? blockStart - passOffset : 0);
            result = !NT_SUCCESS(remembered) ? remembered : STATUS_UNSUCCESSFUL;
            break;
        }
        if (!NT_SUCCESS(result)) break;
        done += passBytes;
    }

    if (p != NULL) ExFreePoolWithTag(p, ZV_TAG_CACHE_FETCH);
    *BytesDone = done;
    return result;
}
