// VHDX (MS-VHDX): the file type identifier at 0, two headers at 64 and 128 KiB, two region
// tables at 192 and 256 KiB naming the block allocation table (BAT) and the metadata region.
// Little-endian fields, CRC-32C checksums.
//
// This driver writes without a log. MS-VHDX then asks for two things, which keep other readers
// right about the file: the log must be empty (a file whose log still holds entries is only
// read here, never replayed or written), and before the first change the headers get new file
// and data write identifiers with a higher sequence number.
#include "ImageInternal.h"

#define VHDX_HEADER_SIZE        4096u
#define VHDX_HEADER1_OFFSET     0x10000u
#define VHDX_HEADER2_OFFSET     0x20000u
#define VHDX_REGION1_OFFSET     0x30000u
#define VHDX_REGION2_OFFSET     0x40000u
#define VHDX_REGION_SIZE        0x10000u
#define VHDX_MB                 0x100000ull
#define VHDX_MAX_REGIONS        16u
#define VHDX_MAX_METADATA       64u

#define VHDX_STATE_MASK         7u
#define VHDX_ZERO               2u
#define VHDX_FULLY_PRESENT      6u
#define VHDX_NOT_PRESENT        (~0ull)

// GUIDs as stored (first three fields little-endian).
static const UCHAR kBatGuid[16] = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                                   0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
static const UCHAR kMetadataGuid[16] = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                        0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
static const UCHAR kFileParametersGuid[16] = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                              0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
static const UCHAR kVirtualDiskSizeGuid[16] = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                               0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
static const UCHAR kLogicalSectorGuid[16] = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,
                                             0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};

static BOOLEAN SameGuid(const UCHAR* a, const UCHAR* b) { return RtlCompareMemory(a, b, 16) == 16; }

static BOOLEAN ChecksumOk(PUCHAR block, ULONG size) {
    ULONG stored = ImgLe32(block + 4);
    ImgPutLe32(block + 4, 0);
    ULONG crc = ImageCrc32c(block, size);
    ImgPutLe32(block + 4, stored);
    return crc == stored;
}

// The current header: the valid one with the higher sequence number.
static NTSTATUS ReadHeaders(PZV_IMAGE img) {
    ZV_VHDX_STATE* x = &img->u.vhdx;
    PUCHAR h = (PUCHAR)ImgAlloc(VHDX_HEADER_SIZE);
    if (h == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    BOOLEAN found = FALSE;
    ULONGLONG bestSeq = 0;
    for (ULONG i = 0; i < 2; i++) {
        ULONGLONG off = i == 0 ? VHDX_HEADER1_OFFSET : VHDX_HEADER2_OFFSET;
        if (!NT_SUCCESS(ImgReadExact(img, off, VHDX_HEADER_SIZE, h))) continue;
        if (RtlCompareMemory(h, "head", 4) != 4 || !ChecksumOk(h, VHDX_HEADER_SIZE)) continue;
        ULONGLONG seq = ImgLe64(h + 8);
        if (!found || seq > bestSeq) {
            found = TRUE;
            bestSeq = seq;
            x->currentHeader = i;
            RtlCopyMemory(x->header, h, VHDX_HEADER_SIZE);
        }
    }
    ImgFree(h);
    return found ? STATUS_SUCCESS : STATUS_UNRECOGNIZED_MEDIA;
}

static NTSTATUS ReadRegions(PZV_IMAGE img, PULONGLONG batOffset, PULONG batLength, PULONGLONG metaOffset,
                            PULONG metaLength) {
    PUCHAR t = (PUCHAR)ImgAlloc(VHDX_REGION_SIZE);
    if (t == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS st = STATUS_UNRECOGNIZED_MEDIA;
    for (ULONG copy = 0; copy < 2 && st == STATUS_UNRECOGNIZED_MEDIA; copy++) {
        if (!NT_SUCCESS(ImgReadExact(img, copy == 0 ? VHDX_REGION1_OFFSET : VHDX_REGION2_OFFSET, VHDX_REGION_SIZE, t)))
            continue;
        if (RtlCompareMemory(t, "regi", 4) != 4 || !ChecksumOk(t, VHDX_REGION_SIZE)) continue;
        ULONG count = ImgLe32(t + 8);
        if (count > VHDX_MAX_REGIONS) count = VHDX_MAX_REGIONS;
        BOOLEAN bat = FALSE, meta = FALSE, unknownRequired = FALSE;
        for (ULONG i = 0; i < count; i++) {
            const UCHAR* e = t + 16 + i * 32;
            ULONGLONG off = ImgLe64(e + 16);
            ULONG len = ImgLe32(e + 24);
            if (SameGuid(e, kBatGuid)) {
                *batOffset = off;
                *batLength = len;
                bat = TRUE;
            } else if (SameGuid(e, kMetadataGuid)) {
                *metaOffset = off;
                *metaLength = len;
                meta = TRUE;
            } else if (ImgLe32(e + 28) & 1) {
                unknownRequired = TRUE;
            }
        }
        if (unknownRequired) st = STATUS_NOT_SUPPORTED;
        else if (bat && meta) st = STATUS_SUCCESS;
    }
    ImgFree(t);
    return st;
}

// The Virtual Disk Size, the File Parameters' block size and the logical sector size, each when
// present; a differencing disk (File Parameters' HasParent) is refused.
static NTSTATUS ReadMetadata(PZV_IMAGE img, ULONGLONG metaOffset, ULONG metaLength, PULONGLONG virtualSize,
                             PULONG blockSize, PULONG logicalSector) {
    ULONG tableLen = metaLength < VHDX_REGION_SIZE ? metaLength : VHDX_REGION_SIZE;
    if (tableLen < 32) return STATUS_UNRECOGNIZED_MEDIA;
    PUCHAR t = (PUCHAR)ImgAlloc(tableLen);
    if (t == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS st = ImgReadExact(img, metaOffset, tableLen, t);
    if (NT_SUCCESS(st) && RtlCompareMemory(t, "metadata", 8) != 8) st = STATUS_UNRECOGNIZED_MEDIA;
    if (NT_SUCCESS(st)) {
        ULONG count = ImgLe16(t + 10);
        if (count > VHDX_MAX_METADATA) count = VHDX_MAX_METADATA;
        for (ULONG i = 0; i < count && NT_SUCCESS(st); i++) {
            if (32 + (i + 1) * 32 > tableLen) break;
            const UCHAR* e = t + 32 + i * 32;
            ULONG off = ImgLe32(e + 16);
            ULONG len = ImgLe32(e + 20);
            // Items lie inside the region; anything else is ignored, not followed.
            if ((ULONGLONG)off + len > metaLength) continue;
            UCHAR item[8] = {0};
            if (SameGuid(e, kVirtualDiskSizeGuid) && len >= 8) {
                if (NT_SUCCESS(ImgReadExact(img, metaOffset + off, 8, item))) *virtualSize = ImgLe64(item);
            } else if (SameGuid(e, kFileParametersGuid) && len >= 8) {
                if (NT_SUCCESS(ImgReadExact(img, metaOffset + off, 8, item))) {
                    *blockSize = ImgLe32(item);
                    if (ImgLe32(item + 4) & 2) st = STATUS_NOT_SUPPORTED;   // has a parent
                }
            } else if (SameGuid(e, kLogicalSectorGuid) && len >= 4) {
                if (NT_SUCCESS(ImgReadExact(img, metaOffset + off, 4, item))) *logicalSector = ImgLe32(item);
            }
        }
    }
    ImgFree(t);
    return st;
}

// Payload block i sits at BAT index i + i / chunkRatio (a sector-bitmap entry closes each chunk).
static ULONGLONG BatIndex(const ZV_VHDX_STATE* x, ULONGLONG block) { return block + block / x->chunkRatio; }

NTSTATUS VhdxOpen(PZV_IMAGE Image) {
    ZV_VHDX_STATE* x = &Image->u.vhdx;
    UCHAR sig[8];
    NTSTATUS st = ImgReadExact(Image, 0, 8, sig);
    if (!NT_SUCCESS(st)) return st;
    if (RtlCompareMemory(sig, "vhdxfile", 8) != 8) return STATUS_UNRECOGNIZED_MEDIA;
    st = ReadHeaders(Image);
    if (!NT_SUCCESS(st)) return st;
    // A log GUID names log entries that may still have to be replayed: the file is only read.
    static const UCHAR zero[16] = {0};
    if (!SameGuid(x->header + 48, zero)) Image->writeRefused = TRUE;

    ULONGLONG batOffset = 0, metaOffset = 0;
    ULONG batLength = 0, metaLength = 0;
    st = ReadRegions(Image, &batOffset, &batLength, &metaOffset, &metaLength);
    if (!NT_SUCCESS(st)) return st;
    ULONGLONG virtualSize = Image->fileSize > VHDX_MB ? Image->fileSize - VHDX_MB : 0;
    ULONG blockSize = 0x2000000, logicalSector = 512;
    st = ReadMetadata(Image, metaOffset, metaLength, &virtualSize, &blockSize, &logicalSector);
    if (!NT_SUCCESS(st)) return st;
    if (blockSize < VHDX_MB || blockSize > 256 * VHDX_MB || !ImgIsPow2(blockSize)) return STATUS_FILE_CORRUPT_ERROR;
    if (logicalSector != 512 && logicalSector != 4096) return STATUS_FILE_CORRUPT_ERROR;
    if (virtualSize == 0 || virtualSize > (64ull << 40)) return STATUS_FILE_CORRUPT_ERROR;
    x->blockSize = blockSize;
    x->chunkRatio = (ULONG)(((1ull << 23) * logicalSector) / blockSize);
    ULONGLONG blocks = (virtualSize + blockSize - 1) / blockSize;
    ULONGLONG batEntries = BatIndex(x, blocks - 1) + 1;
    if (batEntries * 8 > batLength) return STATUS_FILE_CORRUPT_ERROR;
    if (batEntries * 8 > ZV_IMAGE_MAX_TABLE_BYTES) return STATUS_FILE_CORRUPT_ERROR;
    PVOID raw = NULL;
    st = ImgReadTable(Image, batOffset, batEntries * 8, &raw);
    if (!NT_SUCCESS(st)) return st;
    x->table = (PULONGLONG)ImgAlloc((SIZE_T)blocks * 8);
    x->reserved = (PULONGLONG)ImgAlloc((SIZE_T)blocks * 8);
    if (x->table == NULL || x->reserved == NULL) {
        ImgFree(raw);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONGLONG b = 0; b < blocks; b++) {
        ULONGLONG e = ImgLe64((const UCHAR*)raw + BatIndex(x, b) * 8);
        ULONGLONG off = (e >> 20) * VHDX_MB;
        if ((e & VHDX_STATE_MASK) != VHDX_FULLY_PRESENT) {
            x->table[b] = VHDX_NOT_PRESENT;
            if ((e & VHDX_STATE_MASK) == VHDX_ZERO && off >= VHDX_MB) x->reserved[b] = off;
        } else if (off < VHDX_MB || off > ~0ull - blockSize) {
            // A payload block over the headers: writing it would destroy them. One that ends past
            // 2^64 wraps around to them.
            st = STATUS_FILE_CORRUPT_ERROR;
            break;
        } else {
            x->table[b] = off;
        }
    }
    ImgFree(raw);
    if (!NT_SUCCESS(st)) return st;
    x->tableEntries = (ULONG)blocks;
    x->tableOffset = batOffset;
    x->tableLength = batLength;
    x->metadataOffset = metaOffset;
    x->metadataLength = metaLength;
    Image->virtualSize = virtualSize;
    return STATUS_SUCCESS;
}

VOID VhdxClose(PZV_IMAGE Image) {
    ImgFree(Image->u.vhdx.table);
    ImgFree(Image->u.vhdx.reserved);
    Image->u.vhdx.table = NULL;
    Image->u.vhdx.reserved = NULL;
}

// Offsets come from the file: a range may run up to 2^64, where a + aLen would wrap.
static BOOLEAN Overlaps(ULONGLONG a, ULONGLONG aLen, ULONGLONG b, ULONGLONG bLen) { return a <= b ? b - a < aLen : a - b < bLen; }

// The space a zero-state block kept, when it is really its own: inside the file, clear of the
// headers and regions, and named by no other block.
static BOOLEAN ReservedUsable(PZV_IMAGE img, ULONGLONG block) {
    ZV_VHDX_STATE* x = &img->u.vhdx;
    ULONGLONG off = x->reserved[block];
    if (off < VHDX_MB || off > img->fileSize || x->blockSize > img->fileSize - off) return FALSE;
    if (Overlaps(off, x->blockSize, x->tableOffset, x->tableLength) ||
        Overlaps(off, x->blockSize, x->metadataOffset, x->metadataLength) ||
        Overlaps(off, x->blockSize, ImgLe64(x->header + 72), ImgLe32(x->header + 68)))
        return FALSE;
    for (ULONG b = 0; b < x->tableEntries; b++) {
        if (b == block) continue;
        if ((x->table[b] != VHDX_NOT_PRESENT && Overlaps(off, x->blockSize, x->table[b], x->blockSize)) ||
            (x->reserved[b] != 0 && Overlaps(off, x->blockSize, x->reserved[b], x->blockSize)))
            return FALSE;
    }
    return TRUE;
}

NTSTATUS VhdxTranslate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad) {
    UNREFERENCED_PARAMETER(CanLoad);
    ZV_VHDX_STATE* x = &Image->u.vhdx;
    ULONG spb = x->blockSize / 512;
    ULONGLONG block = Sector / spb;
    if (block >= x->tableEntries) return STATUS_END_OF_FILE;
    if (x->table[block] == VHDX_NOT_PRESENT) {
        *Allocated = FALSE;
        return STATUS_SUCCESS;
    }
    *Offset = x->table[block] + (Sector % spb) * 512;
    *Allocated = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS VhdxAllocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset) {
    ZV_VHDX_STATE* x = &Image->u.vhdx;
    ULONGLONG block = Sector / (x->blockSize / 512);
    if (block >= x->tableEntries) return STATUS_END_OF_FILE;
    BOOLEAN reuse = ReservedUsable(Image, block);
    ULONGLONG start = reuse ? x->reserved[block] : ImgRoundUp(Image->appendPoint, VHDX_MB);
    if (start < VHDX_MB) start = VHDX_MB;
    NTSTATUS st = ImageZeroFill(&Image->io, start, x->blockSize);
    if (!NT_SUCCESS(st)) return st;
    ImgGrowFile(Image, start + x->blockSize);
    UCHAR e[8];
    ImgPutLe64(e, ((start / VHDX_MB) << 20) | VHDX_FULLY_PRESENT);
    st = ImgWrite(Image, x->tableOffset + BatIndex(x, block) * 8, 8, e);
    if (!NT_SUCCESS(st)) return st;
    x->table[block] = start;
    x->reserved[block] = 0;
    if (!reuse) Image->appendPoint = start + x->blockSize;
    *Offset = start + (Sector % (x->blockSize / 512)) * 512;
    return STATUS_SUCCESS;
}

// Before the first change: both headers get fresh file and data write identifiers, an empty log
// GUID and the next sequence numbers; the one that is not current is written first, so a valid
// header survives a crash between the two writes.
NTSTATUS VhdxBeginWrite(PZV_IMAGE Image) {
    ZV_VHDX_STATE* x = &Image->u.vhdx;
    PUCHAR h = (PUCHAR)ImgAlloc(VHDX_HEADER_SIZE);
    if (h == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(h, x->header, VHDX_HEADER_SIZE);
    ImgNewGuid(Image, h + 16);
    ImgNewGuid(Image, h + 32);
    RtlZeroMemory(h + 48, 16);
    ULONGLONG seq = ImgLe64(h + 8);
    NTSTATUS st = STATUS_SUCCESS;
    ULONG target = x->currentHeader ^ 1;
    for (ULONG n = 0; n < 2 && NT_SUCCESS(st); n++) {
        ImgPutLe64(h + 8, ++seq);
        ImgPutLe32(h + 4, 0);
        ImgPutLe32(h + 4, ImageCrc32c(h, VHDX_HEADER_SIZE));
        st = ImgWrite(Image, target == 0 ? VHDX_HEADER1_OFFSET : VHDX_HEADER2_OFFSET, VHDX_HEADER_SIZE, h);
        if (NT_SUCCESS(st)) {
            RtlCopyMemory(x->header, h, VHDX_HEADER_SIZE);
            x->currentHeader = target;
            target ^= 1;
        }
    }
    ImgFree(h);
    return st;
}
