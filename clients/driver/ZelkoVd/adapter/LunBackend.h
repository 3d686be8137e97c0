// What the I/O worker calls for a LUN, by kind: the block cache for a LUN on the disk server,
// the image-file layer for a LUN backed by a local file. The worker never asks which kind it
// has; it calls through LuExt::backend (set once by CreateLun).
//
// Every routine runs at PASSIVE_LEVEL on a worker thread and returns an NT status; Read and
// Write report the bytes done. A file backend whose Write cannot translate the offset into the
// image (an unallocated block of a read-only container, say) returns
// ZV_STATUS_TRANSLATION_FAILED; the worker answers ILLEGAL REQUEST / LBA out of range then.
#pragma once

#include "AdapterInternal.h"

#define ZV_STATUS_TRANSLATION_FAILED STATUS_NONEXISTENT_SECTOR

struct LUN_BACKEND {
    NTSTATUS (*Read)(LuExt* Lu, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG BytesDone);
    NTSTATUS (*Write)(LuExt* Lu, ULONGLONG Offset, ULONG Length, const VOID* Data, PULONG BytesDone);
    // Volatile data to stable storage.
    NTSTATUS (*Flush)(LuExt* Lu);
    // LUN removal: releases what the backend opened (the file, the image state). May be NULL.
    VOID (*Close)(LuExt* Lu);
};

// LUNs on the disk server: the block cache (Cache*.cpp).
extern const LUN_BACKEND g_NetworkLunBackend;

// Opens the file of a file-backed LUN from the create record: sets fileHandle/fileObject/
// filePath/image, targetSize (file size or the container's virtual size), blockSize and
// backend. On failure it leaves nothing open. The image-file layer's FileLunOpen by default;
// while it is NULL, creating a file-backed LUN fails with STATUS_NOT_SUPPORTED.
typedef NTSTATUS (*PZV_FILE_LUN_OPEN)(LuExt* Lu, const CreateLunRecord* Record);
extern PZV_FILE_LUN_OPEN g_FileLunOpen;
