// Recognising an image file and dispatching to its format: the probe order, the image lock, the
// helpers every reader shares.
#include "ImageInternal.h"

// ---------------------------------------------------------------------------------------------
// Helpers

NTSTATUS ImgReadExact(PZV_IMAGE Image, ULONGLONG Offset, ULONG Length, PVOID Buffer) {
    ULONG done = 0;
    NTSTATUS st = Image->io.Read(Image->io.context, Offset, Length, Buffer, &done);
    if (!NT_SUCCESS(st) && st != STATUS_END_OF_FILE) return st;
    return done == Length ? STATUS_SUCCESS : STATUS_END_OF_FILE;
}

NTSTATUS ImgWrite(PZV_IMAGE Image, ULONGLONG Offset, ULONG Length, const VOID* Buffer) {
    ULONG done = 0;
    NTSTATUS st = Image->io.Write(Image->io.context, Offset, Length, Buffer, &done);
    if (!NT_SUCCESS(st)) return st;
    if (done != Length) return STATUS_DISK_FULL;
    ImgGrowFile(Image, Offset + Length);
    return STATUS_SUCCESS;
}

PVOID ImgAlloc(SIZE_T Bytes) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, Bytes != 0 ? Bytes : 1, ZV_TAG_IMAGE);
    if (p != NULL) RtlZeroMemory(p, Bytes != 0 ? Bytes : 1);
    return p;
}

VOID ImgFree(PVOID P) {
    if (P != NULL) ExFreePoolWithTag(P, ZV_TAG_IMAGE);
}

NTSTATUS ImgReadTable(PZV_IMAGE Image, ULONGLONG Offset, ULONGLONG Bytes, PVOID* Table) {
    *Table = NULL;
    if (Bytes > ZV_IMAGE_MAX_TABLE_BYTES) return STATUS_FILE_CORRUPT_ERROR;
    if (Offset > Image->fileSize || Bytes > Image->fileSize - Offset) return STATUS_END_OF_FILE;
    PVOID t = ImgAlloc((SIZE_T)Bytes);
    if (t == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS st = Bytes != 0 ? ImgReadExact(Image, Offset, (ULONG)Bytes, t) : STATUS_SUCCESS;
    if (!NT_SUCCESS(st)) {
        ImgFree(t);
        return st;
    }
    *Table = t;
    return STATUS_SUCCESS;
}

VOID ImgCacheClear(ZV_TABLE_SLOT* Cache) {
    for (ULONG i = 0; i < ZV_IMAGE_CACHE_SLOTS; i++) {
        ImgFree(Cache[i].table);
        Cache[i].table = NULL;
        Cache[i].valid = FALSE;
    }
}

// splitmix64: spreads the few changing inputs (time, counter, record address) over 128 bits.
static ULONGLONG ImgMix(ULONGLONG x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

VOID ImgNewGuid(PZV_IMAGE Image, UCHAR Guid[16]) {
    static volatile LONG counter;
    LARGE_INTEGER pc = KeQueryPerformanceCounter(NULL);
    ULONGLONG a = ImgMix((ULONGLONG)pc.QuadPart ^ ((ULONGLONG)(ULONG_PTR)Image << 7) ^ Image->guidSeed);
    ULONGLONG b = ImgMix(a ^ (ULONGLONG)InterlockedIncrement(&counter));
    ImgPutLe64(Guid, a);
    ImgPutLe64(Guid + 8, b);
    Guid[7] = (UCHAR)((Guid[7] & 0x0F) | 0x40);   // version 4 (random)
    Guid[8] = (UCHAR)((Guid[8] & 0x3F) | 0x80);   // RFC 4122 variant
}

// A byte at a time from a table the compiler builds: opening a VHDX checksums two 64 KiB region
// tables and two headers, eight times slower bit by bit.
struct Crc32cTable {
    ULONG entry[256];
    constexpr Crc32cTable() : entry() {
        for (ULONG b = 0; b < 256; b++) {
            ULONG crc = b;
            for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
            entry[b] = crc;
        }
    }
};
static constexpr Crc32cTable kCrc32c;

ULONG ImageCrc32c(const VOID* Data, ULONG Length) {
    const UCHAR* p = (const UCHAR*)Data;
    ULONG crc = 0xFFFFFFFFu;
    for (ULONG i = 0; i < Length; i++) crc = (crc >> 8) ^ kCrc32c.entry[(crc ^ p[i]) & 0xFF];
    return crc ^ 0xFFFFFFFFu;
}

NTSTATUS ImageZeroFill(const ZV_IMAGE_IO* Io, ULONGLONG Offset, ULONGLONG Length) {
    if (Length == 0) return STATUS_INVALID_PARAMETER;
    const ULONG piece = 0x10000;
    PVOID zeros = ImgAlloc(piece);
    if (zeros == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS st = STATUS_SUCCESS;
    for (ULONGLONG done = 0; done < Length && NT_SUCCESS(st);) {
        ULONG n = Length - done < piece ? (ULONG)(Length - done) : piece;
        ULONG written = 0;
        st = Io->Write(Io->context, Offset + done, n, zeros, &written);
        if (NT_SUCCESS(st) && written != n) st = STATUS_DISK_FULL;
        done += n;
    }
    ImgFree(zeros);
    return st;
}

// ---------------------------------------------------------------------------------------------
// Open and close

static BOOLEAN Matches(const UCHAR* p, const char* magic, ULONG n) {
    for (ULONG i = 0; i < n; i++)
        if (p[i] != (UCHAR)magic[i]) return FALSE;
    return TRUE;
}

static ULONG Detect(PZV_IMAGE img) {
    UCHAR b[8];
    if (img->fileSize >= 512 && NT_SUCCESS(ImgReadExact(img, img->fileSize - 512, 8, b)) && Matches(b, "conectix", 8))
        return ZV_IMAGE_VHD;
    if (img->fileSize < 8 || !NT_SUCCESS(ImgReadExact(img, 0, 8, b))) return ZV_IMAGE_RAW;
    if (Matches(b, "vhdxfile", 8)) return ZV_IMAGE_VHDX;
    if (Matches(b, "KDMV", 4)) return ZV_IMAGE_VMDK;
    if (b[0] == 'Q' && b[1] == 'F' && b[2] == 'I' && b[3] == 0xFB) return ZV_IMAGE_QCOW2;
    return ZV_IMAGE_RAW;
}

static VOID CloseTables(PZV_IMAGE img) {
    switch (img->format) {
    case ZV_IMAGE_VHD: VhdClose(img); break;
    case ZV_IMAGE_VHDX: VhdxClose(img); break;
    case ZV_IMAGE_VMDK: VmdkClose(img); break;
    case ZV_IMAGE_QCOW2: Qcow2Close(img); break;
    default: break;
    }
}

NTSTATUS ImageOpen(PZV_IMAGE Image, const ZV_IMAGE_IO* Io, HANDLE File, ULONGLONG FileSize, ULONG FormatHint) {
    PAGED_CODE();
    if (Image == NULL || Io == NULL || Io->Read == NULL || Io->Write == NULL) return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(Image, sizeof *Image);
    Image->file = File;
    Image->io = *Io;
    Image->sectorSize = 512;
    Image->format = FormatHint;
    Image->fileSize = FileSize;
    Image->appendPoint = FileSize;
    NTSTATUS st = ExInitializeResourceLite(&Image->lock);
    if (!NT_SUCCESS(st)) return STATUS_INSUFFICIENT_RESOURCES;
    Image->lockReady = TRUE;

    if (FormatHint == ZV_IMAGE_DETECT) Image->format = Detect(Image);
    switch (Image->format) {
    case ZV_IMAGE_VHD: st = VhdOpen(Image); break;
    case ZV_IMAGE_VHDX: st = VhdxOpen(Image); break;
    case ZV_IMAGE_VMDK: st = VmdkOpen(Image); break;
    case ZV_IMAGE_QCOW2: st = Qcow2Open(Image); break;
    default:
        // 0, 4 and any code this driver does not know: the file is the disk.
        if (Image->format != ZV_IMAGE_RAW_ALT) Image->format = ZV_IMAGE_RAW;
        Image->virtualSize = FileSize;
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(st)) {
        CloseTables(Image);
        ExDeleteResourceLite(&Image->lock);
        Image->lockReady = FALSE;
    }
    return st;
}

VOID ImageClose(PZV_IMAGE Image) {
    if (Image == NULL) return;
    CloseTables(Image);
    if (Image->lockReady) ExDeleteResourceLite(&Image->lock);
    Image->lockReady = FALSE;
}

BOOLEAN ImageIsFlat(const ZV_IMAGE* Image) {
    switch (Image->format) {
    case ZV_IMAGE_VHD: return Image->u.vhd.diskType == 2;
    case ZV_IMAGE_VHDX:
    case ZV_IMAGE_VMDK:
    case ZV_IMAGE_QCOW2: return FALSE;
    default: return TRUE;
    }
}

ULONG ImageBlockSectors(const ZV_IMAGE* Image) {
    switch (Image->format) {
    case ZV_IMAGE_VHD: return Image->u.vhd.diskType == 3 ? Image->u.vhd.sectorsPerBlock : 0;
    case ZV_IMAGE_VHDX: return Image->u.vhdx.blockSize / 512;
    case ZV_IMAGE_VMDK: return Image->u.vmdk.grainSize;
    case ZV_IMAGE_QCOW2: return Image->u.qcow2.clusterSize / 512;
    default: return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Translation and allocation

static NTSTATUS TranslateLocked(PZV_IMAGE img, ULONGLONG sector, PULONGLONG offset, PBOOLEAN allocated,
                                BOOLEAN canLoad) {
    switch (img->format) {
    case ZV_IMAGE_VHD: return VhdTranslate(img, sector, offset, allocated, canLoad);
    case ZV_IMAGE_VHDX: return VhdxTranslate(img, sector, offset, allocated, canLoad);
    case ZV_IMAGE_VMDK: return VmdkTranslate(img, sector, offset, allocated, canLoad);
    case ZV_IMAGE_QCOW2: return Qcow2Translate(img, sector, offset, allocated, canLoad);
    default:
        *offset = sector * 512;
        *allocated = TRUE;
        return STATUS_SUCCESS;
    }
}

NTSTATUS TranslateLba(PZV_IMAGE Image, ULONGLONG Sector, ULONG SectorCount, PULONGLONG FileOffset,
                      PBOOLEAN Allocated) {
    UNREFERENCED_PARAMETER(SectorCount);
    if (Image == NULL || FileOffset == NULL || Allocated == NULL) return STATUS_INVALID_PARAMETER;
    *Allocated = FALSE;
    *FileOffset = 0;
    if (ImageIsFlat(Image)) return TranslateLocked(Image, Sector, FileOffset, Allocated, FALSE);
    // The tables change under the exclusive lock only; a reader holds it shared. A table the
    // cache lacks is loaded after trading the shared hold for an exclusive one.
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&Image->lock, TRUE);
    NTSTATUS st = TranslateLocked(Image, Sector, FileOffset, Allocated, FALSE);
    ExReleaseResourceLite(&Image->lock);
    if (st == ZV_STATUS_NEED_TABLE) {
        ExAcquireResourceExclusiveLite(&Image->lock, TRUE);
        st = TranslateLocked(Image, Sector, FileOffset, Allocated, TRUE);
        ExReleaseResourceLite(&Image->lock);
    }
    KeLeaveCriticalRegion();
    return st;
}

NTSTATUS AllocateBlock(PZV_IMAGE Image, ULONGLONG Sector, ULONG SectorCount, PULONGLONG FileOffset) {
    UNREFERENCED_PARAMETER(SectorCount);
    if (Image == NULL || FileOffset == NULL) return STATUS_INVALID_PARAMETER;
    if (ImageIsFlat(Image)) {
        *FileOffset = Sector * 512;
        return STATUS_SUCCESS;
    }
    if (Image->writeRefused) return STATUS_MEDIA_WRITE_PROTECTED;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Image->lock, TRUE);
    // Another writer may have allocated the block while this one waited for the lock.
    BOOLEAN allocated = FALSE;
    NTSTATUS st = TranslateLocked(Image, Sector, FileOffset, &allocated, TRUE);
    if (NT_SUCCESS(st) && !allocated) {
        switch (Image->format) {
        case ZV_IMAGE_VHD: st = VhdAllocate(Image, Sector, FileOffset); break;
        case ZV_IMAGE_VHDX: st = VhdxAllocate(Image, Sector, FileOffset); break;
        case ZV_IMAGE_VMDK: st = VmdkAllocate(Image, Sector, FileOffset); break;
        case ZV_IMAGE_QCOW2: st = Qcow2Allocate(Image, Sector, FileOffset); break;
        default: st = STATUS_INVALID_DEVICE_REQUEST; break;
        }
    }
    ExReleaseResourceLite(&Image->lock);
    KeLeaveCriticalRegion();
    return st;
}

NTSTATUS ImageCheckWrite(PZV_IMAGE Image, ULONGLONG Sector, ULONGLONG FileOffset) {
    if (Image == NULL) return STATUS_INVALID_PARAMETER;
    if (ImageIsFlat(Image)) return STATUS_SUCCESS;
    ULONG blockSectors = ImageBlockSectors(Image);
    ULONGLONG within = blockSectors != 0 ? (Sector % blockSectors) * 512 : 0;
    if (FileOffset < within) return STATUS_FILE_CORRUPT_ERROR;
    // The file size grows under the exclusive lock (allocations); shared is enough to read it.
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&Image->lock, TRUE);
    NTSTATUS st = FileOffset - within < Image->fileSize ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
    ExReleaseResourceLite(&Image->lock);
    KeLeaveCriticalRegion();
    return st;
}

NTSTATUS ImageBeginWrite(PZV_IMAGE Image) {
    if (Image == NULL) return STATUS_INVALID_PARAMETER;
    if (Image->writeRefused) return STATUS_MEDIA_WRITE_PROTECTED;
    if (InterlockedCompareExchange(&Image->writeBegun, 0, 0) != 0) return STATUS_SUCCESS;
    if (Image->format != ZV_IMAGE_VHDX && Image->format != ZV_IMAGE_QCOW2) {
        InterlockedExchange(&Image->writeBegun, 1);
        return STATUS_SUCCESS;
    }
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Image->lock, TRUE);
    NTSTATUS st = STATUS_SUCCESS;
    if (InterlockedCompareExchange(&Image->writeBegun, 0, 0) == 0) {
        st = Image->format == ZV_IMAGE_VHDX ? VhdxBeginWrite(Image) : Qcow2BeginWrite(Image);
        if (NT_SUCCESS(st)) InterlockedExchange(&Image->writeBegun, 1);
    }
    ExReleaseResourceLite(&Image->lock);
    KeLeaveCriticalRegion();
    return st;
}
