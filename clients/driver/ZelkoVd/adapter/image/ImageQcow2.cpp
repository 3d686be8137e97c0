// QCOW2 (versions 2 and 3): a big-endian header, an L1 table of L2-table offsets, L2 tables of
// cluster offsets, and reference counts for every cluster of the file (a refcount table of
// refcount-block offsets). Other programs allocate by those counts, so every cluster this driver
// takes is counted before anything refers to it: data first, then its refcount, then the L2 and
// L1 entries. A crash between two of those writes leaves at worst a leaked cluster, never a
// cluster in use that another writer may take again.
#include "ImageInternal.h"

#define QCOW_OFFSET_MASK   0x00FFFFFFFFFFFE00ull   // bits 9..55
#define QCOW_COPIED        (1ull << 63)            // refcount exactly 1: may be written in place
#define QCOW_COMPRESSED    (1ull << 62)
#define QCOW_ZERO          1ull                    // version 3: the cluster reads as zeros

#define QCOW_INCOMPAT_DIRTY       1ull
#define QCOW_INCOMPAT_CORRUPT     2ull
#define QCOW_INCOMPAT_COMPRESSION 8ull             // only matters for compressed clusters
#define QCOW_MAX_L1_BYTES         (32u * 1024u * 1024u)
#define QCOW_MAX_NEW_REFBLOCKS    64u
// Refcounts one allocation may look at in its search for free clusters. The search starts at the
// end of the file, where a sound image counts nothing, so it normally looks at a cluster or two
// (a refcount table that grows: its own clusters). Refcount blocks full of counts for clusters
// past the end of the file would otherwise keep it going for hours with the image lock held.
#define QCOW_MAX_PROBES           (1u << 20)
// How far past the end of the file a new cluster may lie: further than a grown refcount table
// (at most ZV_IMAGE_MAX_TABLE_BYTES) takes, only counts for clusters the file does not have put
// it there, and writing it would grow the file to a size the file chose.
#define QCOW_MAX_GAP              (256ull * 1024 * 1024)

// ---------------------------------------------------------------------------------------------
// Open and close

NTSTATUS Qcow2Open(PZV_IMAGE Image) {
    ZV_QCOW2_STATE* q = &Image->u.qcow2;
    UCHAR h[112];
    RtlZeroMemory(h, sizeof h);
    if (Image->fileSize < 72) return STATUS_END_OF_FILE;
    ULONG headerBytes = Image->fileSize < sizeof h ? (ULONG)Image->fileSize : (ULONG)sizeof h;
    NTSTATUS st = ImgReadExact(Image, 0, headerBytes, h);
    if (!NT_SUCCESS(st)) return st;
    if (ImgBe32(h) != 0x514649FBu) return STATUS_UNRECOGNIZED_MEDIA;
    q->version = ImgBe32(h + 4);
    if (q->version != 2 && q->version != 3) return STATUS_NOT_SUPPORTED;
    // A backing file holds the clusters this file lacks, and encrypted clusters need a key:
    // neither can be served from this file alone.
    if (ImgBe64(h + 8) != 0 || ImgBe32(h + 32) != 0) return STATUS_NOT_SUPPORTED;
    q->clusterBits = ImgBe32(h + 20) & 31;
    if (q->clusterBits < 9 || q->clusterBits > 21) return STATUS_FILE_CORRUPT_ERROR;
    q->clusterSize = 1u << q->clusterBits;
    q->l2Entries = q->clusterSize / 8;
    Image->virtualSize = ImgBe64(h + 24);
    if (Image->virtualSize > (1ull << 50)) return STATUS_FILE_CORRUPT_ERROR;
    q->l1Size = ImgBe32(h + 36);
    q->l1Offset = ImgBe64(h + 40);
    q->refTableOffset = ImgBe64(h + 48);
    q->refTableClusters = ImgBe32(h + 56);
    ULONG snapshots = ImgBe32(h + 60);
    q->refcountOrder = 4;
    if (q->version == 3) {
        if (headerBytes < 104 || ImgBe32(h + 100) < 104) return STATUS_FILE_CORRUPT_ERROR;
        ULONGLONG incompatible = ImgBe64(h + 72);
        q->autoclearFeatures = ImgBe64(h + 88);
        q->refcountOrder = ImgBe32(h + 96);
        // External data files and extended L2 entries change what an L2 entry means.
        if (incompatible & ~(QCOW_INCOMPAT_DIRTY | QCOW_INCOMPAT_CORRUPT | QCOW_INCOMPAT_COMPRESSION))
            return STATUS_NOT_SUPPORTED;
        // Counts left for a repair, or an image marked corrupt: read it, leave the writing to
        // the tool that repairs it.
        if (incompatible & (QCOW_INCOMPAT_DIRTY | QCOW_INCOMPAT_CORRUPT)) Image->writeRefused = TRUE;
        if (q->refcountOrder > 6) return STATUS_FILE_CORRUPT_ERROR;
    }
    // Clusters shared with a snapshot may not be written in place.
    if (snapshots != 0) Image->writeRefused = TRUE;
    if ((q->l1Offset & (q->clusterSize - 1)) || (q->refTableOffset & (q->clusterSize - 1)))
        return STATUS_FILE_CORRUPT_ERROR;
    if ((ULONGLONG)q->l1Size * 8 > QCOW_MAX_L1_BYTES) return STATUS_FILE_CORRUPT_ERROR;
    if ((ULONGLONG)q->refTableClusters * q->clusterSize > ZV_IMAGE_MAX_TABLE_BYTES) return STATUS_FILE_CORRUPT_ERROR;
    q->refblockEntries = (ULONG)(((ULONGLONG)q->clusterSize * 8) >> q->refcountOrder);

    PVOID t = NULL;
    st = ImgReadTable(Image, q->l1Offset, (ULONGLONG)q->l1Size * 8, &t);
    if (!NT_SUCCESS(st)) return st;
    q->l1 = (PULONGLONG)t;
    for (ULONG i = 0; i < q->l1Size; i++) q->l1[i] = ImgBe64((const UCHAR*)&q->l1[i]);
    st = ImgReadTable(Image, q->refTableOffset, (ULONGLONG)q->refTableClusters * q->clusterSize, &t);
    if (!NT_SUCCESS(st)) return st;
    q->refTable = (PULONGLONG)t;
    q->refTableEntries = q->refTableClusters * (q->clusterSize / 8);
    for (ULONG i = 0; i < q->refTableEntries; i++) q->refTable[i] = ImgBe64((const UCHAR*)&q->refTable[i]);
    q->refBlock = (PUCHAR)ImgAlloc(q->clusterSize);
    if (q->refBlock == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    q->refBlockIndex = ~0ull;
    q->nextCluster = (Image->fileSize + q->clusterSize - 1) >> q->clusterBits;
    return STATUS_SUCCESS;
}

VOID Qcow2Close(PZV_IMAGE Image) {
    ZV_QCOW2_STATE* q = &Image->u.qcow2;
    ImgCacheClear(q->cache);
    ImgFree(q->l1);
    ImgFree(q->refTable);
    ImgFree(q->refBlock);
    q->l1 = NULL;
    q->refTable = NULL;
    q->refBlock = NULL;
}

// Before the first change: autoclear features (persistent bitmaps, say) describe the data as it
// was; a writer that does not keep them must clear them, so readers drop what is now stale.
NTSTATUS Qcow2BeginWrite(PZV_IMAGE Image) {
    ZV_QCOW2_STATE* q = &Image->u.qcow2;
    if (q->version < 3 || q->autoclearFeatures == 0) return STATUS_SUCCESS;
    UCHAR zero[8] = {0};
    NTSTATUS st = ImgWrite(Image, 88, 8, zero);
    if (NT_SUCCESS(st)) q->autoclearFeatures = 0;
    return st;
}

// ---------------------------------------------------------------------------------------------
// Translation

static NTSTATUS LoadL2(PZV_IMAGE img, ULONG l1Index, ULONGLONG l2Offset, BOOLEAN canLoad, PULONGLONG* table) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    ZV_TABLE_SLOT* slot = &q->cache[l1Index & (ZV_IMAGE_CACHE_SLOTS - 1)];
    if (slot->valid && slot->index == l1Index) {
        *table = (PULONGLONG)slot->table;
        return STATUS_SUCCESS;
    }
    if (!canLoad) return ZV_STATUS_NEED_TABLE;
    PVOID t = NULL;
    NTSTATUS st = ImgReadTable(img, l2Offset, q->clusterSize, &t);
    if (!NT_SUCCESS(st)) return st;
    PULONGLONG l2 = (PULONGLONG)t;
    for (ULONG i = 0; i < q->l2Entries; i++) l2[i] = ImgBe64((const UCHAR*)&l2[i]);
    ImgFree(slot->table);
    slot->table = l2;
    slot->index = l1Index;
    slot->valid = TRUE;
    *table = l2;
    return STATUS_SUCCESS;
}

// The L2 entry of `Sector`, or 0 when its L2 table is missing.
static NTSTATUS LookUp(PZV_IMAGE img, ULONGLONG sector, BOOLEAN canLoad, PULONG l1Index, PULONG l2Index,
                       PULONGLONG l2Entry) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    ULONGLONG cluster = sector >> (q->clusterBits - 9);
    ULONGLONG i1 = cluster / q->l2Entries;
    if (i1 >= q->l1Size) return STATUS_END_OF_FILE;
    *l1Index = (ULONG)i1;
    *l2Index = (ULONG)(cluster % q->l2Entries);
    *l2Entry = 0;
    ULONGLONG l2Offset = q->l1[i1] & QCOW_OFFSET_MASK;
    if (l2Offset == 0) return STATUS_SUCCESS;
    if (l2Offset & (q->clusterSize - 1)) return STATUS_FILE_CORRUPT_ERROR;
    PULONGLONG l2 = NULL;
    NTSTATUS st = LoadL2(img, (ULONG)i1, l2Offset, canLoad, &l2);
    if (!NT_SUCCESS(st)) return st;
    *l2Entry = l2[*l2Index];
    return STATUS_SUCCESS;
}

NTSTATUS Qcow2Translate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad) {
    ZV_QCOW2_STATE* q = &Image->u.qcow2;
    ULONG i1 = 0, i2 = 0;
    ULONGLONG e = 0;
    *Allocated = FALSE;
    NTSTATUS st = LookUp(Image, Sector, CanLoad, &i1, &i2, &e);
    if (!NT_SUCCESS(st)) return st;
    if (e & QCOW_COMPRESSED) return STATUS_NOT_SUPPORTED;
    ULONGLONG off = e & QCOW_OFFSET_MASK;
    if (off == 0 || (q->version >= 3 && (e & QCOW_ZERO))) return STATUS_SUCCESS;
    if (off & (q->clusterSize - 1)) return STATUS_FILE_CORRUPT_ERROR;
    *Offset = off + (Sector & ((q->clusterSize >> 9) - 1)) * 512;
    *Allocated = TRUE;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Reference counts

static ULONGLONG RcGet(const ZV_QCOW2_STATE* q, const UCHAR* block, ULONGLONG index) {
    ULONG bits = 1u << q->refcountOrder;
    if (bits >= 8) {
        ULONG bytes = bits / 8;
        ULONGLONG v = 0;
        for (ULONG i = 0; i < bytes; i++) v = (v << 8) | block[index * bytes + i];
        return v;
    }
    ULONGLONG bit = index * bits;
    return (block[bit / 8] >> (bit % 8)) & ((1u << bits) - 1);
}

// Sets the entry; returns the byte range that changed.
static VOID RcSet(const ZV_QCOW2_STATE* q, UCHAR* block, ULONGLONG index, ULONGLONG value, PULONG first,
                  PULONG count) {
    ULONG bits = 1u << q->refcountOrder;
    if (bits >= 8) {
        ULONG bytes = bits / 8;
        for (ULONG i = 0; i < bytes; i++) block[index * bytes + i] = (UCHAR)(value >> (8 * (bytes - 1 - i)));
        *first = (ULONG)(index * bytes);
        *count = bytes;
        return;
    }
    ULONGLONG bit = index * bits;
    UCHAR mask = (UCHAR)(((1u << bits) - 1) << (bit % 8));
    block[bit / 8] = (UCHAR)((block[bit / 8] & ~mask) | (((ULONG)value << (bit % 8)) & mask));
    *first = (ULONG)(bit / 8);
    *count = 1;
}

// The refcount block of range r into the one-block cache.
static NTSTATUS LoadRefBlock(PZV_IMAGE img, ULONGLONG r) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    if (q->refBlockIndex == r) return STATUS_SUCCESS;
    ULONGLONG off = q->refTable[r] & QCOW_OFFSET_MASK;
    if (off & (q->clusterSize - 1)) return STATUS_FILE_CORRUPT_ERROR;
    q->refBlockIndex = ~0ull;
    NTSTATUS st = ImgReadExact(img, off, q->clusterSize, q->refBlock);
    if (st == STATUS_END_OF_FILE) st = STATUS_FILE_CORRUPT_ERROR;
    if (NT_SUCCESS(st)) q->refBlockIndex = r;
    return st;
}

static NTSTATUS GetRefcount(PZV_IMAGE img, ULONGLONG cluster, PULONGLONG value) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    ULONGLONG r = cluster / q->refblockEntries;
    *value = 0;
    if (r >= q->refTableEntries || (q->refTable[r] & QCOW_OFFSET_MASK) == 0) return STATUS_SUCCESS;
    NTSTATUS st = LoadRefBlock(img, r);
    if (!NT_SUCCESS(st)) return st;
    *value = RcGet(q, q->refBlock, cluster % q->refblockEntries);
    return STATUS_SUCCESS;
}

// The refcount of a cluster the allocator considers taking, within the allocation's budget.
static NTSTATUS ProbeRefcount(PZV_IMAGE img, ULONGLONG cluster, PULONGLONG value) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    if (q->probesLeft == 0) return STATUS_FILE_CORRUPT_ERROR;
    q->probesLeft--;
    return GetRefcount(img, cluster, value);
}

// The next cluster at or after the cursor that nothing counts.
static NTSTATUS TakeCluster(PZV_IMAGE img, PULONGLONG cluster) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    for (;;) {
        ULONGLONG c = q->nextCluster;
        if (((c + 1) << q->clusterBits) > QCOW_OFFSET_MASK) return STATUS_DISK_FULL;
        if ((c << q->clusterBits) > img->fileSize + QCOW_MAX_GAP) return STATUS_FILE_CORRUPT_ERROR;
        q->nextCluster = c + 1;
        ULONGLONG rc = 0;
        NTSTATUS st = ProbeRefcount(img, c, &rc);
        if (!NT_SUCCESS(st)) return st;
        if (rc == 0) {
            *cluster = c;
            return STATUS_SUCCESS;
        }
    }
}

static NTSTATUS SetRefcount(PZV_IMAGE img, ULONGLONG cluster, ULONGLONG value);

// A larger refcount table at the end of the file. The new table and every new refcount block it
// needs (for its own clusters and theirs) are written and counted first, then the header is
// switched to the new table in one write, then the old table's clusters are released.
static NTSTATUS GrowRefTable(PZV_IMAGE img, ULONGLONG needed) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    ULONG perCluster = q->clusterSize / 8;
    ULONGLONG entries = needed + 1;
    if (entries < (ULONGLONG)q->refTableEntries * 2) entries = (ULONGLONG)q->refTableEntries * 2;
    entries = ImgRoundUp(entries + QCOW_MAX_NEW_REFBLOCKS, perCluster);
    ULONGLONG tableClusters = entries / perCluster;
    if (tableClusters * q->clusterSize > ZV_IMAGE_MAX_TABLE_BYTES) return STATUS_DISK_FULL;

    // Room for the table: tableClusters consecutive uncounted clusters.
    ULONGLONG start = 0;
    for (;;) {
        NTSTATUS st = TakeCluster(img, &start);
        if (!NT_SUCCESS(st)) return st;
        ULONGLONG i = 1;
        for (; i < tableClusters; i++) {
            ULONGLONG rc = 0;
            st = ProbeRefcount(img, start + i, &rc);
            if (!NT_SUCCESS(st)) return st;
            if (rc != 0) break;
        }
        if (i == tableClusters) break;
        q->nextCluster = start + i + 1;
    }
    q->nextCluster = start + tableClusters;

    PULONGLONG table = (PULONGLONG)ImgAlloc((SIZE_T)entries * 8);
    if (table == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(table, q->refTable, (SIZE_T)q->refTableEntries * 8);
    // New refcount blocks for ranges that hold the new clusters and have no block yet.
    ULONGLONG blockRange[QCOW_MAX_NEW_REFBLOCKS], blockCluster[QCOW_MAX_NEW_REFBLOCKS];
    ULONG newBlocks = 0;
    NTSTATUS st = STATUS_SUCCESS;
    for (ULONGLONG c = start; c < q->nextCluster && NT_SUCCESS(st); c++) {
        ULONGLONG r = c / q->refblockEntries;
        if (r >= entries) {
            st = STATUS_DISK_FULL;
            break;
        }
        if ((table[r] & QCOW_OFFSET_MASK) != 0) continue;
        if (newBlocks == QCOW_MAX_NEW_REFBLOCKS) {
            st = STATUS_DISK_FULL;
            break;
        }
        ULONGLONG b = 0;
        st = TakeCluster(img, &b);   // extends the scanned range by one cluster
        if (!NT_SUCCESS(st)) break;
        blockRange[newBlocks] = r;
        blockCluster[newBlocks] = b;
        newBlocks++;
        table[r] = b << q->clusterBits;
    }
    PUCHAR buf = NT_SUCCESS(st) ? (PUCHAR)ImgAlloc(q->clusterSize) : NULL;
    if (NT_SUCCESS(st) && buf == NULL) st = STATUS_INSUFFICIENT_RESOURCES;
    // The new blocks, each counting the new clusters of its range.
    for (ULONG n = 0; n < newBlocks && NT_SUCCESS(st); n++) {
        RtlZeroMemory(buf, q->clusterSize);
        for (ULONGLONG c = start; c < q->nextCluster; c++) {
            if (c / q->refblockEntries != blockRange[n]) continue;
            ULONG first, count;
            RcSet(q, buf, c % q->refblockEntries, 1, &first, &count);
        }
        st = ImgWrite(img, blockCluster[n] << q->clusterBits, q->clusterSize, buf);
    }
    // New clusters in ranges the old table already has blocks for are counted there.
    for (ULONGLONG c = start; c < q->nextCluster && NT_SUCCESS(st); c++) {
        ULONGLONG r = c / q->refblockEntries;
        if (r < q->refTableEntries && (q->refTable[r] & QCOW_OFFSET_MASK) != 0) st = SetRefcount(img, c, 1);
    }
    // The table itself, big-endian.
    if (NT_SUCCESS(st)) {
        PUCHAR out = (PUCHAR)ImgAlloc((SIZE_T)tableClusters * q->clusterSize);
        if (out == NULL) {
            st = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            for (ULONGLONG i = 0; i < entries; i++) ImgPutBe64(out + i * 8, table[i]);
            st = ImgWrite(img, start << q->clusterBits, (ULONG)(tableClusters * q->clusterSize), out);
            ImgFree(out);
        }
    }
    // Switch: offset and cluster count in one write.
    if (NT_SUCCESS(st)) {
        UCHAR h[12];
        ImgPutBe64(h, start << q->clusterBits);
        ImgPutBe32(h + 8, (ULONG)tableClusters);
        st = ImgWrite(img, 48, sizeof h, h);
    }
    ImgFree(buf);
    if (!NT_SUCCESS(st)) {
        ImgFree(table);
        return st;
    }
    ULONGLONG oldOffset = q->refTableOffset;
    ULONG oldClusters = q->refTableClusters;
    ImgFree(q->refTable);
    q->refTable = table;
    q->refTableEntries = (ULONG)entries;
    q->refTableOffset = start << q->clusterBits;
    q->refTableClusters = (ULONG)tableClusters;
    q->refBlockIndex = ~0ull;
    for (ULONG i = 0; i < oldClusters && NT_SUCCESS(st); i++)
        st = SetRefcount(img, (oldOffset >> q->clusterBits) + i, 0);
    return st;
}

// A new, zeroed refcount block for range r: written, counted, then entered in the table.
static NTSTATUS NewRefBlock(PZV_IMAGE img, ULONGLONG r) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    ULONGLONG b = 0;
    NTSTATUS st = TakeCluster(img, &b);
    if (!NT_SUCCESS(st)) return st;
    PUCHAR buf = (PUCHAR)ImgAlloc(q->clusterSize);
    if (buf == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    BOOLEAN self = b / q->refblockEntries == r;
    if (self) {
        ULONG first, count;
        RcSet(q, buf, b % q->refblockEntries, 1, &first, &count);
    }
    st = ImgWrite(img, b << q->clusterBits, q->clusterSize, buf);
    ImgFree(buf);
    // A block in another range is counted there (which may need a block of its own).
    if (NT_SUCCESS(st) && !self) st = SetRefcount(img, b, 1);
    if (!NT_SUCCESS(st)) return st;
    if (r >= q->refTableEntries) return STATUS_FILE_CORRUPT_ERROR;   // the counting grew nothing here
    UCHAR be[8];
    ImgPutBe64(be, b << q->clusterBits);
    st = ImgWrite(img, q->refTableOffset + r * 8, 8, be);
    if (!NT_SUCCESS(st)) return st;
    q->refTable[r] = b << q->clusterBits;
    if (q->refBlockIndex == r) q->refBlockIndex = ~0ull;
    return STATUS_SUCCESS;
}

static NTSTATUS SetRefcount(PZV_IMAGE img, ULONGLONG cluster, ULONGLONG value) {
    ZV_QCOW2_STATE* q = &img->u.qcow2;
    ULONGLONG r = cluster / q->refblockEntries;
    NTSTATUS st = STATUS_SUCCESS;
    if (r >= q->refTableEntries) {
        st = GrowRefTable(img, r);
        if (!NT_SUCCESS(st)) return st;
    }
    if ((q->refTable[r] & QCOW_OFFSET_MASK) == 0) {
        st = NewRefBlock(img, r);
        if (!NT_SUCCESS(st)) return st;
    }
    st = LoadRefBlock(img, r);
    if (!NT_SUCCESS(st)) return st;
    ULONG first = 0, count = 0;
    ULONGLONG old = RcGet(q, q->refBlock, cluster % q->refblockEntries);
    RcSet(q, q->refBlock, cluster % q->refblockEntries, value, &first, &count);
    st = ImgWrite(img, (q->refTable[r] & QCOW_OFFSET_MASK) + first, count, q->refBlock + first);
    if (!NT_SUCCESS(st)) {
        ULONG f2, c2;
        RcSet(q, q->refBlock, cluster % q->refblockEntries, old, &f2, &c2);
    }
    return st;
}

// ---------------------------------------------------------------------------------------------
// Allocation

static NTSTATUS WriteBe64(PZV_IMAGE img, ULONGLONG offset, ULONGLONG value) {
    UCHAR b[8];
    ImgPutBe64(b, value);
    return ImgWrite(img, offset, 8, b);
}

NTSTATUS Qcow2Allocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset) {
    ZV_QCOW2_STATE* q = &Image->u.qcow2;
    ULONG i1 = 0, i2 = 0;
    ULONGLONG e = 0;
    NTSTATUS st = LookUp(Image, Sector, TRUE, &i1, &i2, &e);
    if (!NT_SUCCESS(st)) return st;
    ULONGLONG l2Offset = q->l1[i1] & QCOW_OFFSET_MASK;
    // An L2 table shared with something else may not change in place.
    if (l2Offset != 0 && !(q->l1[i1] & QCOW_COPIED)) return STATUS_MEDIA_WRITE_PROTECTED;
    ULONGLONG within = (Sector & ((q->clusterSize >> 9) - 1)) * 512;
    q->probesLeft = QCOW_MAX_PROBES;

    ULONGLONG old = e & QCOW_OFFSET_MASK;
    if (old != 0) {
        // A zero cluster that keeps its space: zeroed there and then marked as data.
        if (!(e & QCOW_COPIED)) return STATUS_MEDIA_WRITE_PROTECTED;
        // Space kept past the end of the file is a damaged entry: zeroing it would grow the file
        // to wherever the entry points.
        if (old >= Image->fileSize) return STATUS_FILE_CORRUPT_ERROR;
        st = ImageZeroFill(&Image->io, old, q->clusterSize);
        if (NT_SUCCESS(st)) st = WriteBe64(Image, l2Offset + (ULONGLONG)i2 * 8, old | QCOW_COPIED);
        if (!NT_SUCCESS(st)) return st;
        ((PULONGLONG)q->cache[i1 & (ZV_IMAGE_CACHE_SLOTS - 1)].table)[i2] = old | QCOW_COPIED;
        *Offset = old + within;
        return STATUS_SUCCESS;
    }

    ULONGLONG data = 0, l2 = 0;
    st = TakeCluster(Image, &data);
    if (NT_SUCCESS(st) && l2Offset == 0) st = TakeCluster(Image, &l2);
    if (!NT_SUCCESS(st)) return st;
    ULONGLONG dataOffset = data << q->clusterBits;
    st = ImageZeroFill(&Image->io, dataOffset, q->clusterSize);
    if (NT_SUCCESS(st)) ImgGrowFile(Image, dataOffset + q->clusterSize);
    if (NT_SUCCESS(st) && l2Offset == 0) {
        st = ImageZeroFill(&Image->io, l2 << q->clusterBits, q->clusterSize);
        if (NT_SUCCESS(st)) ImgGrowFile(Image, (l2 + 1) << q->clusterBits);
    }
    if (NT_SUCCESS(st)) st = SetRefcount(Image, data, 1);
    if (NT_SUCCESS(st) && l2Offset == 0) st = SetRefcount(Image, l2, 1);
    if (!NT_SUCCESS(st)) return st;

    if (l2Offset == 0) {
        ULONGLONG newL2 = l2 << q->clusterBits;
        st = WriteBe64(Image, newL2 + (ULONGLONG)i2 * 8, dataOffset | QCOW_COPIED);
        if (NT_SUCCESS(st)) st = WriteBe64(Image, q->l1Offset + (ULONGLONG)i1 * 8, newL2 | QCOW_COPIED);
        if (!NT_SUCCESS(st)) return st;
        q->l1[i1] = newL2 | QCOW_COPIED;
        ZV_TABLE_SLOT* slot = &q->cache[i1 & (ZV_IMAGE_CACHE_SLOTS - 1)];
        if (slot->valid && slot->index == i1) slot->valid = FALSE;
    } else {
        st = WriteBe64(Image, l2Offset + (ULONGLONG)i2 * 8, dataOffset | QCOW_COPIED);
        if (!NT_SUCCESS(st)) return st;
        ((PULONGLONG)q->cache[i1 & (ZV_IMAGE_CACHE_SLOTS - 1)].table)[i2] = dataOffset | QCOW_COPIED;
    }
    Image->appendPoint = q->nextCluster << q->clusterBits;
    *Offset = dataOffset + within;
    return STATUS_SUCCESS;
}
