// VHD (Virtual Hard Disk Image Format): fixed disks (data, then a 512-byte footer) and dynamic
// disks (a footer copy at 0, the dynamic header, the block allocation table, then blocks of a
// sector bitmap followed by the data; the footer again at the very end). Big-endian fields.
#include "ImageInternal.h"

#define VHD_FOOTER_DATA_OFFSET   16
#define VHD_FOOTER_CURRENT_SIZE  48
#define VHD_FOOTER_DISK_TYPE     60
#define VHD_DYN_DATA_OFFSET      8
#define VHD_DYN_TABLE_OFFSET     16
#define VHD_DYN_MAX_ENTRIES      28
#define VHD_DYN_BLOCK_SIZE       32
#define VHD_UNUSED               0xFFFFFFFFu

NTSTATUS VhdOpen(PZV_IMAGE Image) {
    ZV_VHD_STATE* v = &Image->u.vhd;
    if (Image->fileSize < 512) return STATUS_END_OF_FILE;
    NTSTATUS st = ImgReadExact(Image, Image->fileSize - 512, 512, v->footer);
    if (!NT_SUCCESS(st)) return st;
    if (RtlCompareMemory(v->footer, "conectix", 8) != 8) return STATUS_UNRECOGNIZED_MEDIA;
    Image->virtualSize = ImgBe64(v->footer + VHD_FOOTER_CURRENT_SIZE);
    v->diskType = ImgBe32(v->footer + VHD_FOOTER_DISK_TYPE);
    if (v->diskType == 2) {
        // A fixed disk is the data in front of the footer. A footer that claims more would have
        // guest writes overwrite it and then grow the file to whatever size it names; one that
        // claims nothing (size 0) would leave the whole file, footer included, as the disk.
        ULONGLONG data = Image->fileSize - 512;
        if (data == 0) return STATUS_FILE_CORRUPT_ERROR;
        if (Image->virtualSize == 0 || Image->virtualSize > data) Image->virtualSize = data;
        return STATUS_SUCCESS;
    }
    // Differencing disks (4) need their parent; they are not served as containers.
    if (v->diskType != 3) return STATUS_NOT_SUPPORTED;

    UCHAR dyn[512];
    ULONGLONG dynOffset = ImgBe64(v->footer + VHD_FOOTER_DATA_OFFSET);
    if (dynOffset > Image->fileSize) return STATUS_END_OF_FILE;
    st = ImgReadExact(Image, dynOffset, 512, dyn);
    if (!NT_SUCCESS(st)) return st;
    if (RtlCompareMemory(dyn, "cxsparse", 8) != 8) return STATUS_UNRECOGNIZED_MEDIA;
    v->tableOffset = ImgBe64(dyn + VHD_DYN_TABLE_OFFSET);
    if (v->tableOffset == 0) v->tableOffset = ImgBe64(dyn + VHD_DYN_DATA_OFFSET);
    v->tableEntries = ImgBe32(dyn + VHD_DYN_MAX_ENTRIES);
    v->blockSize = ImgBe32(dyn + VHD_DYN_BLOCK_SIZE);
    // Blocks are whole sectors, a power of two (every writer uses 2 MiB or 512 KiB) and small
    // enough to zero-fill at allocation.
    if (v->blockSize < 512 || v->blockSize > 0x10000000u || !ImgIsPow2(v->blockSize))
        return STATUS_FILE_CORRUPT_ERROR;
    v->sectorsPerBlock = v->blockSize / 512;
    v->bitmapSize = (ULONG)ImgRoundUp((v->sectorsPerBlock + 7) / 8, 512);
    PVOID table = NULL;
    st = ImgReadTable(Image, v->tableOffset, (ULONGLONG)v->tableEntries * 4, &table);
    if (!NT_SUCCESS(st)) return st;
    v->table = (PULONG)table;
    for (ULONG i = 0; i < v->tableEntries; i++) v->table[i] = ImgBe32((const UCHAR*)&v->table[i]);
    // New blocks go where the footer stands; the footer moves behind them.
    Image->appendPoint = Image->fileSize - 512;
    return STATUS_SUCCESS;
}

VOID VhdClose(PZV_IMAGE Image) {
    ImgFree(Image->u.vhd.table);
    Image->u.vhd.table = NULL;
}

NTSTATUS VhdTranslate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset, PBOOLEAN Allocated, BOOLEAN CanLoad) {
    UNREFERENCED_PARAMETER(CanLoad);
    ZV_VHD_STATE* v = &Image->u.vhd;
    if (v->diskType == 2) {
        *Offset = Sector * 512;
        *Allocated = TRUE;
        return STATUS_SUCCESS;
    }
    ULONGLONG block = Sector / v->sectorsPerBlock;
    if (block >= v->tableEntries) return STATUS_END_OF_FILE;
    ULONG entry = v->table[block];
    if (entry == 0 || entry == VHD_UNUSED) {
        *Allocated = FALSE;
        return STATUS_SUCCESS;
    }
    *Offset = ((ULONGLONG)entry + Sector % v->sectorsPerBlock) * 512 + v->bitmapSize;
    *Allocated = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS VhdAllocate(PZV_IMAGE Image, ULONGLONG Sector, PULONGLONG Offset) {
    ZV_VHD_STATE* v = &Image->u.vhd;
    ULONGLONG block = Sector / v->sectorsPerBlock;
    if (block >= v->tableEntries) return STATUS_END_OF_FILE;
    ULONGLONG start = ImgRoundUp(Image->appendPoint, 512);
    if (start / 512 >= VHD_UNUSED) return STATUS_DISK_FULL;   // table entries are 32-bit sectors
    ULONGLONG end = start + v->bitmapSize + v->blockSize;

    // The footer first goes to the new end, so that the file ends with a footer at every moment
    // (the old one is overwritten by the block's bitmap only after this).
    NTSTATUS st = ImgWrite(Image, end, 512, v->footer);
    if (!NT_SUCCESS(st)) return st;
    // Every sector of the new block is marked present: it holds zeros until written, and
    // readers that honour the bitmap must see what the guest writes there.
    PUCHAR bitmap = (PUCHAR)ImgAlloc(v->bitmapSize);
    if (bitmap == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlFillMemory(bitmap, v->bitmapSize, 0xFF);
    st = ImgWrite(Image, start, v->bitmapSize, bitmap);
    ImgFree(bitmap);
    if (!NT_SUCCESS(st)) return st;
    st = ImageZeroFill(&Image->io, start + v->bitmapSize, v->blockSize);
    if (!NT_SUCCESS(st)) return st;
    UCHAR be[4];
    ImgPutBe32(be, (ULONG)(start / 512));
    st = ImgWrite(Image, v->tableOffset + block * 4, 4, be);
    if (!NT_SUCCESS(st)) return st;
    v->table[block] = (ULONG)(start / 512);
    Image->appendPoint = end;
    *Offset = start + v->bitmapSize + (Sector % v->sectorsPerBlock) * 512;
    return STATUS_SUCCESS;
}
