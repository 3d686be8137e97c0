// The file-backed LUN: opening the image file at LUN creation, the worker's file path (requests
// split at block boundaries, translated, allocated on first write), and the sector-aligned file
// I/O an unbuffered handle requires.
#include "../LunBackend.h"
#include "FileLun.h"

// Declared by ntifs.h, which does not go together with the storport headers; the same
// declaration the WDK gives.
extern "C" NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

// ---------------------------------------------------------------------------------------------
// File I/O

// An unbuffered handle moves whole sectors from sector-aligned buffers. Requests that already
// are aligned go straight through; anything else (table entries, headers) goes through an
// aligned copy, read-modify-write for writes. Unaligned writes come only from the image layer
// under its exclusive lock, so no two of them race for one sector.
static NTSTATUS ZwTransfer(HANDLE h, BOOLEAN write, ULONGLONG off, ULONG len, PVOID buf, PULONG done) {
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)off;
    NTSTATUS st = write ? ZwWriteFile(h, NULL, NULL, NULL, &iosb, buf, len, &at, NULL)
                        : ZwReadFile(h, NULL, NULL, NULL, &iosb, buf, len, &at, NULL);
    *done = NT_SUCCESS(st) ? (ULONG)iosb.Information : 0;
    return st;
}

static NTSTATUS FileTransfer(HANDLE h, BOOLEAN write, ULONGLONG off, ULONG len, PVOID buf, PULONG done) {
    *done = 0;
    if (h == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    if (len == 0) return STATUS_SUCCESS;
    if ((off % 512) == 0 && (len % 512) == 0 && ((ULONG_PTR)buf & 511) == 0)
        return ZwTransfer(h, write, off, len, buf, done);
    ULONGLONG start = off & ~511ull;
    ULONGLONG span = ((off + len + 511) & ~511ull) - start;
    if (span > 0x10000000ull) return STATUS_INVALID_PARAMETER;
    PVOID raw = ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)span + 512, ZV_TAG_IMAGE);
    if (raw == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PUCHAR aligned = (PUCHAR)(((ULONG_PTR)raw + 511) & ~(ULONG_PTR)511);
    RtlZeroMemory(aligned, (SIZE_T)span);
    ULONG got = 0;
    NTSTATUS st = ZwTransfer(h, FALSE, start, (ULONG)span, aligned, &got);
    if (st == STATUS_END_OF_FILE) {
        st = STATUS_SUCCESS;
        got = 0;
    }
    if (NT_SUCCESS(st)) {
        ULONG head = (ULONG)(off - start);
        if (!write) {
            ULONG have = got > head ? got - head : 0;
            ULONG n = have < len ? have : len;
            RtlCopyMemory(buf, aligned + head, n);
            *done = n;
            if (n == 0) st = STATUS_END_OF_FILE;
        } else {
            RtlCopyMemory(aligned + head, buf, len);
            ULONG put = 0;
            st = ZwTransfer(h, TRUE, start, (ULONG)span, aligned, &put);
            if (NT_SUCCESS(st)) *done = put >= head + len ? len : (put > head ? put - head : 0);
        }
    }
    ExFreePoolWithTag(raw, ZV_TAG_IMAGE);
    return st;
}

static NTSTATUS IoRead(PVOID Context, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG Done) {
    return FileTransfer(((LuExt*)Context)->fileHandle, FALSE, Offset, Length, Buffer, Done);
}

static NTSTATUS IoWrite(PVOID Context, ULONGLONG Offset, ULONG Length, const VOID* Buffer, PULONG Done) {
    return FileTransfer(((LuExt*)Context)->fileHandle, TRUE, Offset, Length, (PVOID)Buffer, Done);
}

static VOID LogFileFail(LuExt* lu, NTSTATUS st, ULONGLONG off, ULONG len, BOOLEAN write) {
    ZvLogBare("ZelkoVd IoWorker: FileRead/Write FAIL status=0x%08X offset=%lld len=%lu write=%d fileHandle=%p\n",
              (ULONG)st, (LONGLONG)off, (ULONG)len, (int)write, lu->fileHandle);
}

// File read at a file offset into Buffer: through a 512-byte-aligned pool copy of length + 512.
// Bytes past the end of the file are not there to read: *Done tells how many were.
static NTSTATUS FileRead(LuExt* lu, ULONGLONG off, ULONG len, PVOID buffer, PULONG done) {
    *done = 0;
    if (lu->fileHandle == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    PVOID raw = ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)len + 512, ZV_TAG_IMAGE);
    if (raw == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID aligned = (PVOID)(((ULONG_PTR)raw + 511) & ~(ULONG_PTR)511);
    NTSTATUS st = FileTransfer(lu->fileHandle, FALSE, off, len, aligned, done);
    if (NT_SUCCESS(st)) RtlCopyMemory(buffer, aligned, *done);
    ExFreePoolWithTag(raw, ZV_TAG_IMAGE);
    return st;
}

static NTSTATUS FileWrite(LuExt* lu, ULONGLONG off, ULONG len, const VOID* data, PULONG done) {
    *done = 0;
    if (LuWriteProtected(lu)) return STATUS_MEDIA_WRITE_PROTECTED;
    if (lu->fileHandle == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    PVOID raw = ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)len + 512, ZV_TAG_IMAGE);
    if (raw == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID aligned = (PVOID)(((ULONG_PTR)raw + 511) & ~(ULONG_PTR)511);
    RtlCopyMemory(aligned, data, len);
    NTSTATUS st = FileTransfer(lu->fileHandle, TRUE, off, len, aligned, done);
    ExFreePoolWithTag(raw, ZV_TAG_IMAGE);
    if (NT_SUCCESS(st) && *done != len) st = STATUS_DISK_FULL;
    return st;
}

// ---------------------------------------------------------------------------------------------
// The worker's file path

static BOOLEAN ServedFlat(LuExt* lu) {
    PZV_IMAGE img = lu->image;
    return !lu->imageFormatInUse || img == NULL || img->format == ZV_IMAGE_RAW || img->format == ZV_IMAGE_RAW_ALT ||
           img->format == ZV_IMAGE_DETECT || ImageIsFlat(img);
}

// The request against the disk's capacity: a container's payload may lie anywhere in the file,
// so the capacity bounds the request before translation and only the file's end after it.
static NTSTATUS ClipToCapacity(LuExt* lu, ULONGLONG off, PULONG len) {
    ULONGLONG cap = LuTargetSize(lu);
    if (off >= cap) return STATUS_END_OF_FILE;
    if (*len > cap - off) *len = (ULONG)(cap - off);
    return STATUS_SUCCESS;
}

// The bytes of [off, off + len) that lie in one block (grain, cluster).
static ULONG PieceLength(PZV_IMAGE img, ULONGLONG off, ULONG len) {
    ULONGLONG block = (ULONGLONG)ImageBlockSectors(img) * 512;
    ULONGLONG room = block - off % block;
    return room < len ? (ULONG)room : len;
}

static NTSTATUS FileLunRead(LuExt* lu, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG BytesDone) {
    *BytesDone = 0;
    NTSTATUS st = ClipToCapacity(lu, Offset, &Length);
    if (!NT_SUCCESS(st)) return st;
    if (ServedFlat(lu)) {
        st = FileRead(lu, Offset, Length, Buffer, BytesDone);
        if (!NT_SUCCESS(st)) LogFileFail(lu, st, (LONGLONG)Offset, Length, FALSE);
        return st;
    }
    PZV_IMAGE img = lu->image;
    for (ULONG done = 0; done < Length;) {
        ULONGLONG off = Offset + done;
        ULONG piece = PieceLength(img, off, Length - done);
        PUCHAR dst = (PUCHAR)Buffer + done;
        ULONGLONG fileOffset = 0;
        BOOLEAN allocated = FALSE;
        st = TranslateLba(img, off / 512, piece / 512, &fileOffset, &allocated);
        if (!NT_SUCCESS(st)) {
            ZvLogError("TranslateLba 失败 0x%08X lba=%llu sectors=%u\n", (ULONG)st, off / 512, piece / 512);
            return st;
        }
        if (!allocated) {
            RtlZeroMemory(dst, piece);
        } else {
            ULONG got = 0;
            st = FileRead(lu, fileOffset, piece, dst, &got);
            if (st == STATUS_END_OF_FILE) st = STATUS_SUCCESS;
            if (!NT_SUCCESS(st)) {
                LogFileFail(lu, st, fileOffset, piece, FALSE);
                return st;
            }
            // A block the table places (partly) past the end of the file holds zeros there.
            if (got < piece) RtlZeroMemory(dst + got, piece - got);
        }
        done += piece;
    }
    *BytesDone = Length;
    return STATUS_SUCCESS;
}

static NTSTATUS FileLunWrite(LuExt* lu, ULONGLONG Offset, ULONG Length, const VOID* Data, PULONG BytesDone) {
    *BytesDone = 0;
    if (LuWriteProtected(lu)) return STATUS_MEDIA_WRITE_PROTECTED;
    if (lu->fileHandle == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS st;
    if (ServedFlat(lu)) {
        ULONG done = 0;
        st = FileWrite(lu, Offset, Length, Data, &done);
        if (!NT_SUCCESS(st)) {
            LogFileFail(lu, st, Offset, Length, TRUE);
            return st;
        }
        InterlockedExchange(&lu->adapter->diag.lastFileWriteBytes, (LONG)done);
        ULONGLONG end = Offset + done;
        ULONGLONG cap = LuTargetSize(lu);
        // A raw file grows under writes past its end; the capacity follows.
        while (end > cap) {
            ULONGLONG seen = (ULONGLONG)InterlockedCompareExchange64((volatile LONG64*)&lu->session.targetSize,
                                                                     (LONG64)end, (LONG64)cap);
            if (seen == cap) break;
            cap = seen;
        }
        *BytesDone = done;
        return STATUS_SUCCESS;
    }
    st = ClipToCapacity(lu, Offset, &Length);
    if (!NT_SUCCESS(st)) return ZV_STATUS_TRANSLATION_FAILED;
    PZV_IMAGE img = lu->image;
    st = ImageBeginWrite(img);
    if (!NT_SUCCESS(st)) {
        ZvLogError("AllocateBlock 失败 0x%08X lba=%llu\n", (ULONG)st, Offset / 512);
        return st;
    }
    for (ULONG done = 0; done < Length;) {
        ULONGLONG off = Offset + done;
        ULONG piece = PieceLength(img, off, Length - done);
        const UCHAR* src = (const UCHAR*)Data + done;
        ULONGLONG fileOffset = 0;
        BOOLEAN allocated = FALSE;
        st = TranslateLba(img, off / 512, piece / 512, &fileOffset, &allocated);
        if (!NT_SUCCESS(st)) {
            ZvLogError("TranslateLba 失败 0x%08X lba=%llu sectors=%u\n", (ULONG)st, off / 512, piece / 512);
            return ZV_STATUS_TRANSLATION_FAILED;
        }
        if (!allocated) {
            st = AllocateBlock(img, off / 512, piece / 512, &fileOffset);
            if (!NT_SUCCESS(st)) {
                ZvLogError("AllocateBlock 失败 0x%08X lba=%llu\n", (ULONG)st, off / 512);
                return st == ZV_STATUS_TRANSLATION_FAILED ? STATUS_UNSUCCESSFUL : st;
            }
        } else {
            st = ImageCheckWrite(img, off / 512, fileOffset);
            if (!NT_SUCCESS(st)) {
                ZvLogError("TranslateLba 失败 0x%08X lba=%llu sectors=%u\n", (ULONG)st, off / 512, piece / 512);
                return st;
            }
        }
        ULONG put = 0;
        st = FileWrite(lu, fileOffset, piece, src, &put);
        if (!NT_SUCCESS(st)) {
            LogFileFail(lu, st, fileOffset, piece, TRUE);
            return st == ZV_STATUS_TRANSLATION_FAILED ? STATUS_UNSUCCESSFUL : st;
        }
        done += piece;
    }
    InterlockedExchange(&lu->adapter->diag.lastFileWriteBytes, (LONG)Length);
    *BytesDone = Length;
    return STATUS_SUCCESS;
}

static NTSTATUS FileLunFlush(LuExt* lu) {
    if (lu->fileHandle == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    IO_STATUS_BLOCK iosb;
    return ZwFlushBuffersFile(lu->fileHandle, &iosb);
}

static VOID FileLunClose(LuExt* lu) {
    if (lu->image != NULL) {
        ImageClose(lu->image);
        ExFreePoolWithTag(lu->image, ZV_TAG_IMAGE);
        lu->image = NULL;
    }
    lu->imageFormatInUse = 0;
    if (lu->fileHandle != NULL) {
        ZwClose(lu->fileHandle);
        lu->fileHandle = NULL;
    }
    if (lu->fileObject != NULL) {
        ObDereferenceObject(lu->fileObject);
        lu->fileObject = NULL;
    }
}

const LUN_BACKEND g_FileLunBackend = {FileLunRead, FileLunWrite, FileLunFlush, FileLunClose};

// ---------------------------------------------------------------------------------------------
// Opening

static const CHAR* FormatName(ULONG format) {
    switch (format) {
    case ZV_IMAGE_VHD: return "VHD";
    case ZV_IMAGE_VHDX: return "VHDX";
    case ZV_IMAGE_VMDK: return "VMDK";
    case ZV_IMAGE_QCOW2: return "QCOW2";
    default: return "RAW";
    }
}

NTSTATUS FileLunOpen(LuExt* Lu, const CreateLunRecord* Record) {
    PAGED_CODE();
    ULONG chars = 0;
    while (chars < zelko::control::kImagePathChars && Record->imagePath[chars] != 0) chars++;
    if (chars == 0) return STATUS_OBJECT_NAME_INVALID;
    PWCHAR path = (PWCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, (chars + 1) * sizeof(WCHAR), ZV_TAG_LUEXT);
    if (path == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < chars; i++) path[i] = (WCHAR)Record->imagePath[i];
    path[chars] = 0;
    Lu->filePath.Buffer = path;
    Lu->filePath.Length = (USHORT)(chars * sizeof(WCHAR));
    Lu->filePath.MaximumLength = (USHORT)((chars + 1) * sizeof(WCHAR));

    BOOLEAN readOnly = Record->readOnly != 0;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &Lu->filePath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK iosb;
    HANDLE h = NULL;
    NTSTATUS st = ZwCreateFile(&h, readOnly ? (GENERIC_READ | SYNCHRONIZE) : (GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE),
                               &oa, &iosb, NULL, FILE_ATTRIBUTE_NORMAL, readOnly ? FILE_SHARE_READ : 0, FILE_OPEN,
                               FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING | FILE_NON_DIRECTORY_FILE,
                               NULL, 0);
    if (!NT_SUCCESS(st)) {
        ZvLogError("CreateLun: 打开镜像文件失败 0x%08X %wZ\n", (ULONG)st, &Lu->filePath);
        goto freePath;
    }
    {
        PVOID object = NULL;
        st = ObReferenceObjectByHandle(h, 0, *IoFileObjectType, KernelMode, &object, NULL);
        if (!NT_SUCCESS(st)) {
            ZwClose(h);
            goto freePath;
        }
        FILE_STANDARD_INFORMATION info;
        st = ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation);
        if (!NT_SUCCESS(st)) {
            ObDereferenceObject(object);
            ZwClose(h);
            goto freePath;
        }
        PZV_IMAGE img = (PZV_IMAGE)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ZV_IMAGE), ZV_TAG_IMAGE);
        if (img == NULL) {
            ObDereferenceObject(object);
            ZwClose(h);
            st = STATUS_INSUFFICIENT_RESOURCES;
            goto freePath;
        }
        Lu->fileHandle = h;
        Lu->fileObject = (PFILE_OBJECT)object;
        ULONGLONG fileSize = (ULONGLONG)info.EndOfFile.QuadPart;
        Lu->session.targetSize = fileSize;

        ZV_IMAGE_IO io = {Lu, IoRead, IoWrite};
        st = ImageOpen(img, &io, h, fileSize, Record->imageFormat);
        if (NT_SUCCESS(st)) {
            Lu->imageFormatInUse = 1;
            // A container is announced at its virtual size: a sparse file is smaller than the
            // disk it holds and would otherwise grow under the guest's feet.
            if (img->format != ZV_IMAGE_RAW && img->format != ZV_IMAGE_RAW_ALT && img->virtualSize > 0)
                Lu->session.targetSize = img->virtualSize;
            if (img->writeRefused) {
                WpSetFlag(&Lu->session.readOnly, TRUE);
                ZvLogWarning("CreateLun: %s 镜像只读打开（日志未清空、快照或待修复的引用计数）\n", FormatName(img->format));
            }
        } else {
            ZvLogWarning("CreateLun: 镜像格式打开失败 0x%08X，按原始文件提供\n", (ULONG)st);
            NTSTATUS raw = ImageOpen(img, &io, h, fileSize, ZV_IMAGE_RAW);
            if (!NT_SUCCESS(raw)) {
                ExFreePoolWithTag(img, ZV_TAG_IMAGE);
                img = NULL;
            }
            Lu->imageFormatInUse = 0;
        }
        Lu->image = img;
        Lu->session.blockSize = Record->sectorSize != 0 ? Record->sectorSize : ZV_SECTOR_SIZE;
        Lu->backend = &g_FileLunBackend;
        ZvLogInfo("CreateLun: 文件 LUN %u 格式=%s 容量=%llu 文件大小=%llu\n", (ULONG)Lu->lunIndex,
                  img != NULL && Lu->imageFormatInUse ? FormatName(img->format) : "RAW", Lu->session.targetSize,
                  fileSize);
        return STATUS_SUCCESS;
    }

freePath:
    ExFreePoolWithTag(path, ZV_TAG_LUEXT);
    Lu->filePath.Buffer = NULL;
    Lu->filePath.Length = 0;
    Lu->filePath.MaximumLength = 0;
    return st;
}
