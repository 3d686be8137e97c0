// Image files behind a LUN: recognising the container (raw, VHD, VHDX, VMDK sparse, QCOW2),
// translating disk sectors to file offsets, and allocating blocks on first write.
//
// The readers never touch a file themselves: every byte goes through the ZV_IMAGE_IO callbacks,
// so the same code runs on a kernel file handle (FileLun.cpp) and on a byte image in a test.
// Offsets and lengths handed to the callbacks are arbitrary; the file side takes care of the
// sector alignment an unbuffered handle needs.
//
// Locking: TranslateLba takes the image lock shared, AllocateBlock and every table-cache change
// exclusively (ERESOURCE, PASSIVE_LEVEL). File I/O on translated offsets is not serialised.
#pragma once

#include "../../platform.h"

#define ZV_TAG_IMAGE 0x6D49765Au   // "ZvIm" image record, tables and table caches

// Format codes of the create-LUN record.
#define ZV_IMAGE_RAW     0
#define ZV_IMAGE_VHD     1
#define ZV_IMAGE_VMDK    2
#define ZV_IMAGE_VHDX    3
#define ZV_IMAGE_RAW_ALT 4
#define ZV_IMAGE_QCOW2   5
#define ZV_IMAGE_DETECT  99

#define ZV_IMAGE_CACHE_SLOTS 8

typedef struct _ZV_IMAGE_IO {
    PVOID context;
    // Reads up to Length bytes at Offset; *Done < Length only at the end of the file.
    NTSTATUS (*Read)(PVOID Context, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG Done);
    // Writes Length bytes at Offset (extending the file when needed).
    NTSTATUS (*Write)(PVOID Context, ULONGLONG Offset, ULONG Length, const VOID* Buffer, PULONG Done);
} ZV_IMAGE_IO;

// One slot of a table cache (VMDK grain tables, QCOW2 L2 tables): the table of directory / L1
// index `index` lives in slot index AND 7.
typedef struct _ZV_TABLE_SLOT {
    BOOLEAN valid;
    ULONG index;
    PVOID table;   // host order
} ZV_TABLE_SLOT;

typedef struct _ZV_VHD_STATE {
    ULONG diskType;                  // 2 fixed, 3 dynamic
    ULONG sectorsPerBlock;
    ULONG blockSize;
    ULONG tableEntries;
    PULONG table;                    // host order: sector of the block's bitmap, or 0xFFFFFFFF
    ULONGLONG tableOffset;
    ULONG bitmapSize;                // bytes, a multiple of 512
    UCHAR footer[512];               // rewritten at the new end of the file after every append
} ZV_VHD_STATE;

typedef struct _ZV_VHDX_STATE {
    ULONG blockSize;
    ULONG tableEntries;              // payload blocks
    PULONGLONG table;                // payload file offsets; all-ones = not present
    // Space a block in the zero state keeps in the file (qemu's fixed VHDX), used when the block
    // is first written instead of growing the file; 0 = none.
    PULONGLONG reserved;
    ULONGLONG tableOffset;           // BAT region
    ULONGLONG tableLength;
    ULONGLONG metadataOffset;        // metadata region
    ULONGLONG metadataLength;
    ULONG chunkRatio;                // payload entries between two sector-bitmap entries
    ULONG currentHeader;             // 0: the header at 64 KiB, 1: at 128 KiB
    UCHAR header[4096];              // the current header as read (checksum included)
} ZV_VHDX_STATE;

typedef struct _ZV_VMDK_STATE {
    ULONG flags;
    ULONG grainSize;                 // sectors
    ULONG gtEntries;                 // entries per grain table
    PULONG directory;                // sector of each grain table, 0 = none
    ULONGLONG directorySector;
    ULONG directoryEntries;
    PULONG redundant;                // the redundant directory, or NULL
    ULONGLONG redundantSector;
    ZV_TABLE_SLOT cache[ZV_IMAGE_CACHE_SLOTS];
} ZV_VMDK_STATE;

typedef struct _ZV_QCOW2_STATE {
    ULONG version;
    ULONG clusterBits;
    ULONG clusterSize;
    ULONG l2Entries;
    PULONGLONG l1;                   // host order
    ULONGLONG l1Offset;
    ULONG l1Size;
    ZV_TABLE_SLOT cache[ZV_IMAGE_CACHE_SLOTS];
    // Reference counts, kept for every cluster this driver allocates.
    ULONG refcountOrder;             // refcount width = 1 << order bits
    ULONG refblockEntries;           // refcounts per refcount block
    PULONGLONG refTable;             // host order, refTableEntries entries
    ULONG refTableEntries;
    ULONGLONG refTableOffset;
    ULONG refTableClusters;
    PUCHAR refBlock;                 // one refcount block as on disk (big-endian entries)
    ULONGLONG refBlockIndex;         // which one; ~0 = none cached
    ULONGLONG nextCluster;           // allocation cursor (cluster index)
    ULONG probesLeft;                // refcounts one allocation may still look at for free space
    ULONGLONG autoclearFeatures;
} ZV_QCOW2_STATE;

typedef struct _ZV_IMAGE {
    ULONG format;
    HANDLE file;
    ZV_IMAGE_IO io;
    ULONGLONG appendPoint;           // where the next allocated block goes; only grows
    ULONGLONG fileSize;
    ULONGLONG virtualSize;
    ULONG sectorSize;
    ERESOURCE lock;
    BOOLEAN lockReady;
    // Readable but not writable through this driver (VHDX with a log to replay, QCOW2 with
    // snapshots or refcounts still to repair): writes fail with STATUS_MEDIA_WRITE_PROTECTED.
    BOOLEAN writeRefused;
    volatile LONG writeBegun;        // the first-modification bookkeeping is done
    ULONG guidSeed;                  // mixed into generated identifiers
    union {
        ZV_VHD_STATE vhd;
        ZV_VHDX_STATE vhdx;
        ZV_VMDK_STATE vmdk;
        ZV_QCOW2_STATE qcow2;
    } u;
} ZV_IMAGE, *PZV_IMAGE;

// Opens the container in `Image` (zeroed here): format hint 0/4 raw, 1/2/3/5 that format, 99
// detect; anything else raw. Fails with the format's status (the caller then serves the file
// raw); on failure nothing stays allocated.
NTSTATUS ImageOpen(PZV_IMAGE Image, const ZV_IMAGE_IO* Io, HANDLE File, ULONGLONG FileSize, ULONG FormatHint);
VOID ImageClose(PZV_IMAGE Image);

// Raw files and fixed VHDs: a disk offset is a file offset.
BOOLEAN ImageIsFlat(const ZV_IMAGE* Image);
// Sectors per block (grain, cluster) of a sparse container; requests are split at these.
ULONG ImageBlockSectors(const ZV_IMAGE* Image);

NTSTATUS TranslateLba(PZV_IMAGE Image, ULONGLONG Sector, ULONG SectorCount, PULONGLONG FileOffset,
                      PBOOLEAN Allocated);
// Gives the block that holds Sector its space; *FileOffset is Sector's own offset in the file
// (as TranslateLba would now give it), not the block's start.
NTSTATUS AllocateBlock(PZV_IMAGE Image, ULONGLONG Sector, ULONG SectorCount, PULONGLONG FileOffset);
// Whether a guest write may go to FileOffset, which TranslateLba gave for Sector as allocated:
// not when the tables place the block at or past the end of the file (STATUS_FILE_CORRUPT_ERROR).
// Every block this driver or any sane writer allocates has its start inside the file; writing
// where a damaged or hostile table points would grow the file to a size the file chose.
NTSTATUS ImageCheckWrite(PZV_IMAGE Image, ULONGLONG Sector, ULONGLONG FileOffset);
// Before the first write reaches the container: the identifiers and flags other readers use to
// notice a modified file. Refuses when the image is open for reading only.
NTSTATUS ImageBeginWrite(PZV_IMAGE Image);

// Writes Length zero bytes at Offset in 64 KiB pieces; Length 0 is STATUS_INVALID_PARAMETER.
NTSTATUS ImageZeroFill(const ZV_IMAGE_IO* Io, ULONGLONG Offset, ULONGLONG Length);

// CRC-32C (Castagnoli), as VHDX checksums its headers and region tables.
ULONG ImageCrc32c(const VOID* Data, ULONG Length);
