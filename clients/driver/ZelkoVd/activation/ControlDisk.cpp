// Control requests that move data: write LUN 0's remote disk (WRITE_DISK and WriteFile),
// read it (ReadFile), read a local device or file through the kernel (READ_LOCAL), and flush or
// purge LUN 0's block cache.
//
// The system upload is the main user: it reads the PC's physical disk with READ_LOCAL and writes
// every block to the server image with WRITE_DISK, 1 MiB at most per request.
#include "ControlInternal.h"

NTSTATUS ControlFlush(PCONTROL_REQUEST Request) {
    return CacheFlush(Request->Lun0);
}

NTSTATUS ControlCachePurge(PCONTROL_REQUEST Request) {
    zc::CachePurgeRecord rec;
    RtlCopyMemory(&rec, Request->Buffer, sizeof(rec));
    ULONGLONG dropped = 0, writtenBack = 0;
    (VOID)CacheInvalidateRange(Request->Lun0, rec.offset, rec.length, &dropped, &writtenBack);
    // The counts are an extra for callers that ask for them; the purge succeeds either way.
    if (Request->OutputLength >= sizeof(zc::CachePurgeResult)) {
        zc::CachePurgeResult* out = (zc::CachePurgeResult*)Request->Buffer;
        out->droppedBlocks = dropped;
        out->writtenBackBlocks = writtenBack;
        Request->Information = sizeof(*out);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ControlReadLocal(PCONTROL_REQUEST Request) {
    zc::ReadLocalRecord rec;
    RtlCopyMemory(&rec, Request->Buffer, sizeof(rec));

    // The answer is the 8-byte header and `length` data bytes in the same system buffer: an
    // output shorter than that would be written past its end, so it is refused before anything
    // is opened.
    if (rec.length > zc::kMaxTransfer) return STATUS_INVALID_PARAMETER;
    // The file system reads a negative offset as "at the current position" (-2) or "at the end"
    // (-1): an offset past 2^63 would read somewhere other than asked.
    if ((LONGLONG)rec.offset < 0) return STATUS_INVALID_PARAMETER;
    if ((ULONGLONG)Request->OutputLength < zc::ReadLocalOutputSize(rec.length)) return STATUS_BUFFER_TOO_SMALL;

    // The path need not be terminated in the user's record; end it within its field.
    WCHAR path[zc::kObjectPathChars];
    ControlCopyText(path, rec.objectPath, zc::kObjectPathChars);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK iosb;
    HANDLE file = NULL;
    NTSTATUS status = ZwCreateFile(&file, FILE_READ_DATA | SYNCHRONIZE, &oa, &iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, NULL,
                                   0);
    if (!NT_SUCCESS(status)) return status;

    UCHAR* data = (UCHAR*)Request->Buffer + sizeof(zc::ReadLocalReply);
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)rec.offset;
    ULONG bytesRead = 0;
    if (rec.length != 0) {
        status = ZwReadFile(file, NULL, NULL, NULL, &iosb, data, rec.length, &offset, NULL);
        if (NT_SUCCESS(status) && iosb.Information <= rec.length) bytesRead = (ULONG)iosb.Information;
    }
    ZwClose(file);

    // Whatever the read did not fill still holds the input record or stale pool contents; the
    // caller gets all of it back, so clear it.
    RtlZeroMemory(data + bytesRead, rec.length - bytesRead);
    zc::ReadLocalReply* reply = (zc::ReadLocalReply*)Request->Buffer;
    reply->bytesRead = bytesRead;
    reply->zero = 0;
    Request->Information = zc::ReadLocalOutputSize(rec.length);
    return STATUS_SUCCESS;
}

// WRITE_DISK and ReadFile/WriteFile talk to the server directly, beside LUN 0's block cache:
// blocks written there but not yet written back go out first (or a direct read would miss them,
// and a later write-back would undo a direct write), and cached copies of the range are dropped
// (before a direct write, and again after it for anything a SCSI READ fetched meanwhile), so the
// disk never serves the old bytes afterwards.
static VOID ControlKeepCacheCoherent(LuExt* Lu, ULONGLONG Offset, ULONG Length) {
    ULONGLONG dropped = 0, writtenBack = 0;
    (VOID)CacheInvalidateRange(Lu, Offset, Length, &dropped, &writtenBack);
}

NTSTATUS ZelkoHandleIoctlWriteDisk(PCONTROL_REQUEST Request) {
    if (Request->InputLength < sizeof(zc::WriteDiskRecord) || Request->Buffer == NULL) {
        ZvLogPlain("[WRITE_DISK] 输入缓冲区过小: inLen=%u, need=%u\n", Request->InputLength,
                   (ULONG)sizeof(zc::WriteDiskRecord));
        return STATUS_BUFFER_TOO_SMALL;
    }
    zc::WriteDiskRecord rec;
    RtlCopyMemory(&rec, Request->Buffer, sizeof(rec));
    if (rec.length == 0 || rec.length > zc::kMaxTransfer) {
        ZvLogPlain("[WRITE_DISK] 长度无效: length=%u, max=%u\n", rec.length, zc::kMaxTransfer);
        return STATUS_INVALID_PARAMETER;
    }
    // The session takes the offset as unsigned: a negative one would become a write near the
    // end of a 16 EiB disk, which the server may well map somewhere real.
    if (rec.offset < 0) {
        ZvLogPlain("[WRITE_DISK] 偏移无效: offset=%lld\n", (LONGLONG)rec.offset);
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->InputLength < zc::WriteDiskInputSize(rec.length)) {
        ZvLogPlain("[WRITE_DISK] 缓冲区不完整: inLen=%u, need=%u\n", Request->InputLength,
                   zc::WriteDiskInputSize(rec.length));
        return STATUS_BUFFER_TOO_SMALL;
    }
    // The bytes written go back as the request's byte count. Without an output buffer nothing is
    // copied back (the upload sends none); with one, the copy-back of that many bytes would run
    // past a buffer shorter than the data.
    if (Request->OutputLength != 0 && Request->OutputLength < rec.length) {
        ZvLogPlain("[WRITE_DISK] 输出缓冲区过小: outLen=%u, need=%u\n", Request->OutputLength, rec.length);
        return STATUS_BUFFER_TOO_SMALL;
    }
    PVOID copy = ExAllocatePoolWithTag(NonPagedPoolNx, rec.length, ZV_TAG_WRITE_DISK);
    if (copy == NULL) {
        ZvLogPlain("[WRITE_DISK] 内核缓冲分配失败: length=%u\n", rec.length);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, (const UCHAR*)Request->Buffer + sizeof(zc::WriteDiskRecord), rec.length);

    ZvLogPlain("[WRITE_DISK] 调用 ProtocolClient_Write: offset=%lld, length=%u\n", (LONGLONG)rec.offset, rec.length);
    ULONGLONG written = 0;
    ControlKeepCacheCoherent(Request->Lun0, (ULONGLONG)rec.offset, rec.length);
    NTSTATUS status = ProtocolClient_Write(&Request->Lun0->session, (ULONGLONG)rec.offset, rec.length, copy, &written);
    ControlKeepCacheCoherent(Request->Lun0, (ULONGLONG)rec.offset, rec.length);
    ExFreePoolWithTag(copy, ZV_TAG_WRITE_DISK);
    ZvLogPlain("[WRITE_DISK] ProtocolClient_Write 返回 0x%08X, bytesWritten=%llu\n", (ULONG)status, written);
    // The count is the server's; it cannot honestly exceed what was sent.
    if (NT_SUCCESS(status)) Request->Information = (ULONG_PTR)(written < rec.length ? written : rec.length);
    return status;
}

NTSTATUS ControlWriteDisk(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    ZvLogPlain("[WRITE_DISK] lun0Ext=%p, connected=%d, handshakeDone=%d, readOnly=%d, superUser=%d\n", (PVOID)lu,
               (int)LuConnected(lu), (int)LuHandshakeDone(lu), (int)LuReadOnly(lu), (int)LuSuperUser(lu));
    NTSTATUS status = ZelkoHandleIoctlWriteDisk(Request);
    ZvLogPlain("[WRITE_DISK] ZelkoHandleIoctlWriteDisk 返回 0x%08X\n", (ULONG)status);
    return status;
}

// ---------------------------------------------------------------------------------------------
// ReadFile / WriteFile on "\\.\ZelkoVd": the control device uses direct I/O, so the caller's
// buffer arrives as an MDL.

namespace {

NTSTATUS ControlTransfer(PIRP Irp, BOOLEAN isWrite) {
    PAGED_CODE();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = isWrite ? sp->Parameters.Write.Length : sp->Parameters.Read.Length;
    LONGLONG offset = isWrite ? sp->Parameters.Write.ByteOffset.QuadPart : sp->Parameters.Read.ByteOffset.QuadPart;
    if (length == 0) return ControlComplete(Irp, STATUS_SUCCESS, 0);
    if (Irp->MdlAddress == NULL) return ControlComplete(Irp, STATUS_INVALID_PARAMETER, 0);
    PVOID buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress,
                                                 (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute));
    if (buffer == NULL) return ControlComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    LuExt* lu = ControlReferenceLun0(ControlStartedAdapter());
    if (lu == NULL) return ControlComplete(Irp, STATUS_DEVICE_NOT_READY, 0);
    // As for WRITE_DISK: the session's offsets are unsigned.
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONGLONG done = 0;
    if (offset >= 0) {
        ControlKeepCacheCoherent(lu, (ULONGLONG)offset, length);
        status = isWrite ? ProtocolClient_Write(&lu->session, (ULONGLONG)offset, length, buffer, &done)
                         : ProtocolClient_Read(&lu->session, (ULONGLONG)offset, length, buffer, &done);
        if (isWrite) ControlKeepCacheCoherent(lu, (ULONGLONG)offset, length);
    }
    LunDereference(lu);
    return ControlComplete(Irp, status, (ULONG_PTR)(done < length ? done : length));
}

}  // namespace

NTSTATUS ZelkoControlRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!ControlIsControlDevice(DeviceObject))
        return ZvCallPortDispatch(IRP_MJ_READ, DeviceObject, Irp);
    return ControlTransfer(Irp, FALSE);
}

NTSTATUS ZelkoControlWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!ControlIsControlDevice(DeviceObject))
        return ZvCallPortDispatch(IRP_MJ_WRITE, DeviceObject, Irp);
    return ControlTransfer(Irp, TRUE);
}
