// VMDK hosted sparse extents (monolithicSparse): a 512-byte little-endian header, a grain
// directory of grain-table sector numbers, grain tables of grain sector numbers. Most writers
// keep a redundant directory with its own grain tables; both copies are kept in step so a
// reader that falls back to the redundant one finds the same disk.
#include "ImageInternal.h"

#define VMDK_FLAG_REDUNDANT   0x00000002u
#define VMDK_FLAG_ZERO_GRAIN  0x00000004u
#define VMDK_FLAG_COMPRESSED  0x00010000u
#define VMDK_FLAG_MARKERS     0x00020000u
#define VMDK_GD_AT_END        0xFFFFFFFFFFFFFFFFull
#define VMDK_GTE_ZEROED       1u

NTSTATUS VmdkOpen(PZV_IMAGE Image) {
    ZV_VMDK_STATE* k = &Image->u.vmdk;
    UCHAR h[512];
    NTSTATUS st = ImgReadExact(Image, 0, 512, h);
    if (!NT_SUCCESS(st)) return st;
    if (RtlCompareMemory(h, "KDMV", 4) != 4 && RtlCompareMemory(h, "COGD", 4) != 4) return STATUS_UNRECOGNIZED_MEDIA;
    k->flags = ImgLe32(h + 8);
    ULONGLONG capacity = ImgLe64(h + 12);
    ULONGLONG grain = ImgLe64(h + 20);
    k->gtEntries = ImgLe32(h + 44);
    k->redundantSector = ImgLe64(h + 48);
    k->directorySector = ImgLe64(h + 56);
    // Compressed (stream-optimised) extents hold deflated grains and a directory at the end.
    if ((k->flags & (VMDK_FLAG_COMPRESSED | VMDK_FLAG_MARKERS)) || k->directorySector == VMDK_GD_AT_END)
        return STATUS_NOT_SUPPORTED;
    if (grain == 0 || grain > 0x20000 || !ImgIsPow2(grain)) return STATUS_FILE_CORRUPT_ERROR;
    if (k->gtEntries == 0 || k->gtEntries > 0x100000) return STATUS_FILE_CORRUPT_ERROR;
    if (capacity == 0 || capacity > (1ull << 40)) return STATUS_FILE_CORRUPT_ERROR;
    k->grainSize = (ULONG)grain;
    Image->virtualSize = capacity * 512;
    ULONGLONG grains = (capacity + grain - 1) / grain;
    ULONGLONG entries = (grains + k->gtEntries - 1) / k->gtEntries;
    if (entries * 4 > ZV_IMAGE_MAX_TABLE_BYTES) return STATUS_FILE_CORRUPT_ERROR;
    k->directoryEntries = (ULONG)entries;
    if (k->directorySector > Image->fileSize / 512) return STATUS_END_OF_FILE;
    PVOID t = NULL;
    st = ImgReadTable(Image, k->directorySector * 512, entries * 4, &t);
    if (!NT_SUCCESS(st)) return st;
    k->directory = (PULONG)t;
    for (ULONG i = 0; i < k->directoryEntries; i++) k->directory[i] = ImgLe32((const UCHAR*)&k->directory[i]);
    if ((k->flags & VMDK_FLAG_REDUNDANT) && k->redundantSector != 0) {
        if (k->redundantSector > Image->fileSize / 512) return STATUS_END_OF_FILE;
        st = ImgReadTable(Image, k->redundantSector * 512, entries * 4, &t);
        if (!NT_SUCCESS(st)) return st;
        k->redundant = (PULONG)t;
        for (ULONG i = 0; i < k->directoryEntries; i++) k->redundant[i] = ImgLe32((const UCHAR*)&k->redundant[i]);
    }
    Image->appendPoint = ImgRoundUp(Image->fileSize, 512);
    return STATUS_SUCCESS;
}

VOID VmdkClose(PZV_IMAGE Image) {
    ZV_VMDK_STATE* k = &Image->u.vmdk;
    ImgCacheClear(k->cache);
    ImgFree(k->directory);
    ImgFree(k->redundant);
    k->directory = NULL;
    k->redundant = NULL;
}

// The grain table of directory entry `index` from the cache; a miss reads it (exclusive lock).
static NTSTATUS LoadTable(PZV_IMAGE img, ULONG index, BOOLEAN canLoad, PULONG* table) {
    ZV_VMDK_STATE* k = &img->u.vmdk;
    ZV_TABLE_SLOT* slot = &k->cache[index & (ZV_IMAGE_CACHE_SLOTS - 1)];
    if (slot->valid && slot->index == index) {
        *table = (PULONG)slot->table;
        return STATUS_SUCCESS;
    }
    if (!canLoad) return ZV_STATUS_NEED_TABLE;
    PVOID t = NULL;
    NTSTATUS st = ImgReadTable(img, (ULONGLONG)k->directory[index] * 512, (ULONGLONG)k->gtEntries * 4, &t);
    if (!NT_SUCCESS(st)) return st;
    PULONG gt = (PULONG)t;
    for (ULONG i = 0; i < k->gtEntries; i++) gt[i] = ImgLe32((const UCHAR*)&gt[i]);
    ImgFree(slot->table);
    slot->table = gt;
    slot->index = index;
    slot->valid = TRUE;
    *table = gt;
    return STATUS_SUCCESS;
}

NTSTATUS VmdkTranslate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad) {
    ZV_VMDK_STATE* k = &Image->u.vmdk;
    ULONGLONG grain = Sector / k->grainSize;
    ULONGLONG index = grain / k->gtEntries;
    if (index >= k->directoryEntries) return STATUS_END_OF_FILE;
    *Allocated = FALSE;
    if (k->directory[index] == 0) return STATUS_SUCCESS;
    PULONG gt = NULL;
    // A grain table that cannot be read is an error, not an empty table: reading it as zeros
    // would hide the disk's data, and a write would then allocate over it.
    NTSTATUS st = LoadTable(Image, (ULONG)index, CanLoad, &gt);
    if (!NT_SUCCESS(st) || st == ZV_STATUS_NEED_TABLE) return st;
    ULONG entry = gt[grain % k->gtEntries];
    if (entry == 0 || (entry == VMDK_GTE_ZEROED && (k->flags & VMDK_FLAG_ZERO_GRAIN))) return STATUS_SUCCESS;
    *Offset = ((ULONGLONG)entry + Sector % k->grainSize) * 512;
    *Allocated = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS WriteLe32(PZV_IMAGE img, ULONGLONG offset, ULONG value) {
    UCHAR b[4];
    ImgPutLe32(b, value);
    return ImgWrite(img, offset, 4, b);
}

static BOOLEAN InsideFile(const ZV_IMAGE* Image, ULONGLONG sector, ULONGLONG bytes) {
    return sector <= Image->fileSize / 512 && bytes <= Image->fileSize - sector * 512;
}

NTSTATUS VmdkAllocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset) {
    ZV_VMDK_STATE* k = &Image->u.vmdk;
    ULONGLONG grain = Sector / k->grainSize;
    ULONG index = (ULONG)(grain / k->gtEntries);
    ULONG entry = (ULONG)(grain % k->gtEntries);
    if (index >= k->directoryEntries) return STATUS_END_OF_FILE;
    ULONGLONG grainBytes = (ULONGLONG)k->grainSize * 512;
    ULONGLONG gtBytes = ImgRoundUp((ULONGLONG)k->gtEntries * 4, 512);
    ULONGLONG start = ImgRoundUp(Image->appendPoint, 512);
    // Grain-table entries 0 and 1 mean "unallocated" and "zeroed": a grain at sector 1 (a file
    // that is nothing but its header) would read back as zeros.
    if (start < 2 * 512) start = 2 * 512;
    ULONGLONG end = start + grainBytes;
    BOOLEAN newTable = k->directory[index] == 0;
    BOOLEAN newRedundant = k->redundant != NULL && k->redundant[index] == 0;
    ULONGLONG gtSector = newTable ? end / 512 : k->directory[index];
    if (newTable) end += gtBytes;
    ULONGLONG rgtSector = k->redundant != NULL ? (newRedundant ? end / 512 : k->redundant[index]) : 0;
    if (newRedundant) end += gtBytes;
    if (end / 512 > 0xFFFFFFFFull) return STATUS_DISK_FULL;   // table entries are 32-bit sectors
    // Every table an entry goes to lies inside the file as it is now: an entry written where a
    // damaged directory points could land anywhere, and one beyond the end would land in the
    // grain allocated here (the guest's data then overwrites it, or it the data).
    ULONGLONG dirBytes = (ULONGLONG)k->directoryEntries * 4;
    if (!InsideFile(Image, k->directorySector, dirBytes) ||
        (k->redundant != NULL && !InsideFile(Image, k->redundantSector, dirBytes)) ||
        (!newTable && !InsideFile(Image, gtSector, gtBytes)) ||
        (k->redundant != NULL && !newRedundant && !InsideFile(Image, rgtSector, gtBytes)))
        return STATUS_FILE_CORRUPT_ERROR;

    // Grain and new tables first, the entries that reach them last: a crash in between leaves
    // unreferenced space, never a reference to garbage.
    NTSTATUS st = ImageZeroFill(&Image->io, start, end - start);
    if (!NT_SUCCESS(st)) return st;
    ImgGrowFile(Image, end);
    ULONG grainSector = (ULONG)(start / 512);
    PULONG gt = NULL;
    if (!newTable) {
        st = LoadTable(Image, index, TRUE, &gt);
        if (!NT_SUCCESS(st)) return st;
    }
    if (k->redundant != NULL) {
        st = WriteLe32(Image, rgtSector * 512 + (ULONGLONG)entry * 4, grainSector);
        if (!NT_SUCCESS(st)) return st;
        if (newRedundant) {
            st = WriteLe32(Image, k->redundantSector * 512 + (ULONGLONG)index * 4, (ULONG)rgtSector);
            if (!NT_SUCCESS(st)) return st;
            k->redundant[index] = (ULONG)rgtSector;
        }
    }
    st = WriteLe32(Image, gtSector * 512 + (ULONGLONG)entry * 4, grainSector);
    if (!NT_SUCCESS(st)) return st;
    if (newTable) {
        st = WriteLe32(Image, k->directorySector * 512 + (ULONGLONG)index * 4, (ULONG)gtSector);
        if (!NT_SUCCESS(st)) return st;
        k->directory[index] = (ULONG)gtSector;
        // The cache may hold nothing for this index yet; it is read from the file next time.
        ZV_TABLE_SLOT* slot = &k->cache[index & (ZV_IMAGE_CACHE_SLOTS - 1)];
        if (slot->valid && slot->index == index) slot->valid = FALSE;
    } else {
        gt[entry] = grainSector;
    }
    Image->appendPoint = end;
    *Offset = start + (Sector % k->grainSize) * 512;
    return STATUS_SUCCESS;
}
