// The I/O workers: every READ, WRITE, WRITE SAME and flush leaves the port's DISPATCH_LEVEL path
// here and runs on a system work item at PASSIVE_LEVEL, where the cache and the protocol may
// block. Work items come from a pre-allocated lock-free pool (the hot path does not allocate);
// when it is empty one is allocated for the request.
#include "ScsiCdb.h"
#include "LunBackend.h"

// ---------------------------------------------------------------------------------------------
// The work-item pool

VOID WorkItemPoolFill(AdapterExt* Adapter) {
    WORKITEM_POOL* pool = &Adapter->workItemPool;
    ULONG pushed = 0;
    for (ULONG i = 0; i < ZV_WORKITEM_POOL_SIZE; i++) {
        WORKITEM_POOL_ENTRY* entry = (WORKITEM_POOL_ENTRY*)ExAllocatePoolWithTag(
            NonPagedPoolNx, sizeof(WORKITEM_POOL_ENTRY), ZV_TAG_WORKITEM_ENTRY);
        if (entry == NULL) {
            ZvLogPlain("WORKITEM 池条目 %u 分配失败\n", i);
            break;
        }
        RtlZeroMemory(entry, sizeof *entry);
        entry->index = i;
        entry->workItem = IoAllocateWorkItem(Adapter->controlDevice);
        if (entry->workItem == NULL) {
            ExFreePoolWithTag(entry, ZV_TAG_WORKITEM_ENTRY);
            ZvLogPlain("IoAllocateWorkItem 池条目 %u 失败\n", i);
            continue;
        }
        pool->entries[i] = entry;
        InterlockedPushEntrySList(&pool->freeList, &entry->link);
        pushed++;
    }
    ZvLogPlain("IO_WORKITEM 池初始化完成（%u 条目）\n", pushed);
}

VOID WorkItemPoolFree(AdapterExt* Adapter) {
    WORKITEM_POOL* pool = &Adapter->workItemPool;
    (VOID)InterlockedFlushSList(&pool->freeList);
    for (ULONG i = 0; i < ZV_WORKITEM_POOL_SIZE; i++) {
        WORKITEM_POOL_ENTRY* entry = pool->entries[i];
        if (entry == NULL) continue;
        pool->entries[i] = NULL;
        IoFreeWorkItem(entry->workItem);
        ExFreePoolWithTag(entry, ZV_TAG_WORKITEM_ENTRY);
    }
}

VOID ZvFreeBounce(AdapterExt* Adapter, PVOID Allocation, UCHAR Kind) {
    if (Allocation == NULL) return;
    switch (Kind) {
    case ZV_BOUNCE_16K: ExFreeToNPagedLookasideList(&Adapter->bounce16k, Allocation); break;
    case ZV_BOUNCE_64K: ExFreeToNPagedLookasideList(&Adapter->bounce64k, Allocation); break;
    case ZV_BOUNCE_256K: ExFreeToNPagedLookasideList(&Adapter->bounce256k, Allocation); break;
    case ZV_BOUNCE_WRITE_SAME: ExFreePoolWithTag(Allocation, ZV_TAG_WRITE_SAME); break;
    default: ExFreePoolWithTag(Allocation, ZV_TAG_BOUNCE_POOL); break;
    }
}

VOID ZvDrainWorkers(AdapterExt* Adapter) {
    for (ULONG i = 0; i < 2000 && InterlockedCompareExchange(&Adapter->outstandingWorkers, 0, 0) != 0; i++) {
        LARGE_INTEGER t;
        t.QuadPart = -10000;   // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }
}

// ---------------------------------------------------------------------------------------------
// Queueing

static IO_WORKITEM_ROUTINE IoWorker;

static BOOLEAN QueueFailed(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb) {
    InterlockedIncrement(&Adapter->diag.queueFailures);
    ZvCompleteCheckCondition(Adapter, Srb, SRB_STATUS_ERROR, ZV_SENSE_HARDWARE_ERROR, ZV_ASC_INTERNAL_FAILURE, 0x00);
    return FALSE;
}

static BOOLEAN QueueCommon(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset, ULONG Length,
                           PVOID Data, BOOLEAN IsWrite, BOOLEAN ForceUnitAccess, PVOID BounceAllocation,
                           UCHAR BounceKind, ULONGLONG WriteSameTotal) {
    SrbExt* ext = (SrbExt*)Srb->SrbExtension;
    if (ext == NULL) {
        ZvLogBare("ZelkoVd QueueIoWorker: srbExt=NULL! SRB=%p\n", Srb);
        return QueueFailed(Adapter, Srb);
    }
    if (Adapter->controlDevice == NULL) {
        ZvLogBare("ZelkoVd QueueIoWorker: ControlDevice=NULL! adapterExt=%p\n", Adapter);
        return QueueFailed(Adapter, Srb);
    }

    WORKITEM_POOL_ENTRY* entry = (WORKITEM_POOL_ENTRY*)InterlockedPopEntrySList(&Adapter->workItemPool.freeList);
    PIO_WORKITEM item;
    if (entry != NULL) {
        InterlockedIncrement(&Adapter->workItemPool.hits);
        item = entry->workItem;
    } else {
        item = IoAllocateWorkItem(Adapter->controlDevice);
        InterlockedIncrement(&Adapter->workItemPool.misses);
        if (item == NULL) return QueueFailed(Adapter, Srb);
    }

    ext->srb = Srb;
    ext->lun = Lu;
    ext->adapter = Adapter;
    ext->workItem = item;
    ext->device = Adapter->controlDevice;
    ext->poolEntry = entry;
    ext->offset = Offset;
    ext->length = Length;
    ext->data = Data;
    ext->isWrite = IsWrite ? 1 : 0;
    ext->forceUnitAccess = ForceUnitAccess ? 1 : 0;
    ext->bounceAllocation = BounceAllocation;
    ext->bounceKind = BounceKind;
    ext->writeSameTotal = WriteSameTotal;

    InterlockedIncrement(&Adapter->outstandingWorkers);
    LunAddReference(Lu);
    IoQueueWorkItem(item, IoWorker, CriticalWorkQueue, ext);
    InterlockedIncrement(&Adapter->diag.requestsQueued);
    return TRUE;
}

BOOLEAN QueueIoWorker(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset, ULONG Length,
                      PVOID Data, BOOLEAN IsWrite, BOOLEAN ForceUnitAccess, PVOID BounceAllocation,
                      UCHAR BounceKind) {
    return QueueCommon(Adapter, Srb, Lu, Offset, Length, Data, IsWrite, ForceUnitAccess, BounceAllocation,
                       BounceKind, 0);
}

BOOLEAN QueueWriteSameWorker(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset,
                             ULONGLONG Total, PVOID Pattern, ULONG PatternLength, BOOLEAN ForceUnitAccess,
                             PVOID Allocation) {
    return QueueCommon(Adapter, Srb, Lu, Offset, PatternLength, Pattern, TRUE, ForceUnitAccess, Allocation,
                       ZV_BOUNCE_WRITE_SAME, Total);
}

// ---------------------------------------------------------------------------------------------
// The worker

struct WORK_RESULT {
    NTSTATUS status;
    ULONG bytes;
    UCHAR senseKey;
    UCHAR asc;
};

static VOID Fail(WORK_RESULT* r, NTSTATUS status, UCHAR key, UCHAR asc) {
    r->status = status;
    r->bytes = 0;
    r->senseKey = key;
    r->asc = asc;
}

// A flush that fails means data Windows believes stable may be lost: report it, so the file
// system above sees the error instead of a success.
static VOID FlushInto(LuExt* lu, WORK_RESULT* r) {
    NTSTATUS st = lu->backend->Flush(lu);
    if (!NT_SUCCESS(st)) Fail(r, st, ZV_SENSE_MEDIUM_ERROR, ZV_ASC_WRITE_ERROR_FLUSH);
}

static VOID WriteFailed(WORK_RESULT* r, NTSTATUS st) {
    if (st == ZV_STATUS_TRANSLATION_FAILED)
        Fail(r, st, ZV_SENSE_ILLEGAL_REQUEST, ZV_ASC_LBA_OUT_OF_RANGE);
    else
        Fail(r, st, ZV_SENSE_MEDIUM_ERROR, ZV_ASC_WRITE_ERROR);
}

static VOID Perform(LuExt* lu, SrbExt* ext, WORK_RESULT* r) {
    r->status = STATUS_SUCCESS;
    r->bytes = 0;
    BOOLEAN cacheFlushes = !lu->fileBacked && lu->writeCacheEnabled;

    if (ext->writeSameTotal != 0) {
        // WRITE SAME: the pattern buffer written piece after piece over the whole range.
        for (ULONGLONG done = 0; done < ext->writeSameTotal;) {
            ULONGLONG rest = ext->writeSameTotal - done;
            ULONG piece = rest < ext->length ? (ULONG)rest : ext->length;
            ULONG bytes = 0;
            NTSTATUS st = lu->backend->Write(lu, ext->offset + done, piece, ext->data, &bytes);
            if (!NT_SUCCESS(st)) return WriteFailed(r, st);
            done += piece;
        }
        if (ext->forceUnitAccess && cacheFlushes) FlushInto(lu, r);
        // The request carried one 512-byte block: that is what it transferred.
        if (NT_SUCCESS(r->status)) r->bytes = ext->srb->DataTransferLength;
        return;
    }
    if (ext->length == 0) {
        if (cacheFlushes) FlushInto(lu, r);
        return;
    }
    if (!ext->isWrite) {
        NTSTATUS st = lu->backend->Read(lu, ext->offset, ext->length, ext->data, &r->bytes);
        if (!NT_SUCCESS(st)) Fail(r, st, ZV_SENSE_MEDIUM_ERROR, ZV_ASC_UNRECOVERED_READ);
        return;
    }
    ULONG bytes = 0;
    NTSTATUS st = lu->backend->Write(lu, ext->offset, ext->length, ext->data, &bytes);
    if (!NT_SUCCESS(st)) return WriteFailed(r, st);
    r->bytes = bytes;
    if (ext->forceUnitAccess && cacheFlushes) FlushInto(lu, r);
}

static VOID NTAPI IoWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    SrbExt* ext = (SrbExt*)Context;
    PSCSI_REQUEST_BLOCK srb = ext->srb;
    LuExt* lu = ext->lun;
    AdapterExt* adapter = ext->adapter;
    PVOID bounce = ext->bounceAllocation;
    UCHAR bounceKind = ext->bounceKind;
    WORKITEM_POOL_ENTRY* entry = ext->poolEntry;
    PIO_WORKITEM item = ext->workItem;
    InterlockedIncrement(&adapter->diag.workerRuns);

    if (!LuExtIsLive(lu)) {
        ZvLogBare("ZelkoVd IoWorker: invalid luExt=%p\n", lu);
        InterlockedIncrement(&adapter->diag.workerInvalidLun);
        ZvCompleteCheckCondition(adapter, srb, SRB_STATUS_ERROR, ZV_SENSE_HARDWARE_ERROR, ZV_ASC_INTERNAL_FAILURE,
                                 0x00);
    } else if (LuRemoving(lu)) {
        InterlockedIncrement(&adapter->diag.workerRemovedLun);
        SetSense(srb, ZV_SENSE_NOT_READY, ZV_ASC_LUN_NOT_READY, 0x01);
        ZvCompleteSrb(adapter, srb, SRB_STATUS_BUSY, SCSISTAT_BUSY, 0);
    } else {
        InterlockedExchangePointer((PVOID volatile*)&adapter->diag.lastLuExt, lu);
        InterlockedExchangePointer((PVOID volatile*)&adapter->diag.lastFileHandle, lu->fileHandle);
        InterlockedExchange(&adapter->diag.lastMagic, (LONG)lu->magic);
        InterlockedExchangePointer((PVOID volatile*)&adapter->diag.lastProcessId, PsGetCurrentProcessId());

        WORK_RESULT r;
        Perform(lu, ext, &r);
        ZvFreeBounce(adapter, bounce, bounceKind);
        bounce = NULL;
        if (NT_SUCCESS(r.status)) {
            InterlockedExchange(&adapter->diag.lastSrbStatus, SRB_STATUS_SUCCESS);
            ZvCompleteSrb(adapter, srb, SRB_STATUS_SUCCESS, SCSISTAT_GOOD, r.bytes);
        } else {
            InterlockedExchange(&adapter->diag.lastSrbStatus, SRB_STATUS_ERROR);
            ZvCompleteCheckCondition(adapter, srb, SRB_STATUS_ERROR, r.senseKey, r.asc, 0x00);
        }
    }
    // The request is completed: its SrbExt belongs to the port again and is not touched.

    if (entry != NULL)
        InterlockedPushEntrySList(&adapter->workItemPool.freeList, &entry->link);
    else
        IoFreeWorkItem(item);
    ZvFreeBounce(adapter, bounce, bounceKind);
    LunDereference(lu);
    InterlockedDecrement(&adapter->outstandingWorkers);
}
