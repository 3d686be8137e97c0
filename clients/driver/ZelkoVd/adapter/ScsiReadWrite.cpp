// READ, WRITE, WRITE SAME and SYNCHRONIZE CACHE(16): range checks, write protection, holding
// READs that arrive before the disk is activated, and the hand-off to the I/O worker. Runs at
// DISPATCH_LEVEL from HwStorStartIo; never blocks. Every computation uses 512-byte blocks.
#include "ScsiCdb.h"

// Driver-wide: the first five WRITEs and WRITE SAMEs since load are logged, and the first
// refused WRITE.
static volatile LONG g_WriteLogCount;
static volatile LONG g_WriteSameLogCount;
static volatile LONG g_WriteRefusalLogged;

VOID ScsiResetLoadCounters(VOID) {
    InterlockedExchange(&g_WriteLogCount, 0);
    InterlockedExchange(&g_WriteSameLogCount, 0);
    InterlockedExchange(&g_WriteRefusalLogged, 0);
}

static BOOLEAN Check(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, UCHAR srbStatus, UCHAR key, UCHAR asc, UCHAR ascq) {
    ZvCompleteCheckCondition(a, srb, srbStatus, key, asc, ascq);
    return TRUE;
}

static BOOLEAN LbaOutOfRange(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    return Check(a, srb, SRB_STATUS_ERROR, ZV_SENSE_ILLEGAL_REQUEST, ZV_ASC_LBA_OUT_OF_RANGE, 0x00);
}

static BOOLEAN NoBuffer(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    return Check(a, srb, SRB_STATUS_INVALID_REQUEST, ZV_SENSE_ILLEGAL_REQUEST, ZV_ASC_INVALID_FIELD_IN_CDB, 0x00);
}

static BOOLEAN WriteProtected(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    return Check(a, srb, SRB_STATUS_ERROR, ZV_SENSE_DATA_PROTECT, ZV_ASC_WRITE_PROTECTED, 0x00);
}

static BOOLEAN Success(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    ZvCompleteSrb(a, srb, SRB_STATUS_SUCCESS, SCSISTAT_GOOD, 0);
    return TRUE;
}

// blocks × 512 cut at the transfer length. The product is taken in 64 bits: a 16-byte CDB may
// name more blocks than 32 bits of bytes hold, and a wrapped product would shorten the transfer.
static ULONG TransferLength(ULONG blocks, ULONG dataTransferLength) {
    ULONGLONG bytes = (ULONGLONG)blocks * ZV_SECTOR_SIZE;
    return bytes < dataTransferLength ? (ULONG)bytes : dataTransferLength;
}

// Clamps blocks to what lies between lba and the end; lba < capacity is already checked.
static ULONG ClampBlocks(ULONGLONG lba, ULONG blocks, ULONGLONG capacity) {
    ULONGLONG room = capacity - lba;
    return (ULONGLONG)blocks > room ? (ULONG)room : blocks;
}

BOOLEAN ScsiRead(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu) {
    ULONGLONG lba = CdbGetLba(Srb->Cdb, Srb->CdbLength);
    ULONG blocks = CdbGetBlockCount(Srb->Cdb, Srb->CdbLength);
    InterlockedIncrement(&Adapter->diag.reads);
    InterlockedExchange64(&Adapter->diag.lastReadLba, (LONG64)lba);
    InterlockedExchange(&Adapter->diag.lastReadBlocks, (LONG)blocks);
    InterlockedExchange(&Adapter->diag.lastReadTargetSizeLow, (LONG)(ULONG)LuTargetSize(Lu));

    if (!Lu->fileBacked && !LuHandshakeDone(Lu)) {
        // Not activated yet: Windows reads the boot disk long before the network is up, so the
        // READ waits for activation (at most 20 s) instead of failing. Not checked against the
        // capacity, which is not known yet.
        ULONG len = TransferLength(blocks, Srb->DataTransferLength);
        if (Lu->holdReads && Srb->DataBuffer != NULL && len != 0 && Srb->SrbExtension != NULL) {
            return HoldPendingRead(Adapter, Srb, Lu, lba * ZV_SECTOR_SIZE, len);
        }
        SetSense(Srb, ZV_SENSE_NOT_READY, ZV_ASC_LUN_NOT_READY, 0x01);
        ZvCompleteSrb(Adapter, Srb, SRB_STATUS_BUSY, SCSISTAT_BUSY, 0);
        return TRUE;
    }

    ULONGLONG capacity = LuTargetSize(Lu) / ZV_SECTOR_SIZE;
    if (lba >= capacity) return LbaOutOfRange(Adapter, Srb);
    blocks = ClampBlocks(lba, blocks, capacity);
    ULONG len = TransferLength(blocks, Srb->DataTransferLength);
    if (len == 0) return Success(Adapter, Srb);
    if (Srb->DataBuffer == NULL) return NoBuffer(Adapter, Srb);
    // QueueIoWorker completes the request itself when it cannot queue it.
    return !QueueIoWorker(Adapter, Srb, Lu, lba * ZV_SECTOR_SIZE, len, Srb->DataBuffer, FALSE, FALSE, NULL,
                          ZV_BOUNCE_POOL);
}

// A copy of the WRITE data that the worker owns, so that the request's buffer is not needed
// after the hand-off; small copies come from the three lookaside lists.
static PVOID AllocateBounce(AdapterExt* a, ULONG len, UCHAR* kind) {
    PVOID p = NULL;
    if (a->listsInitialized) {
        if (len <= 0x4000) {
            p = ExAllocateFromNPagedLookasideList(&a->bounce16k);
            *kind = ZV_BOUNCE_16K;
        } else if (len <= 0x10000) {
            p = ExAllocateFromNPagedLookasideList(&a->bounce64k);
            *kind = ZV_BOUNCE_64K;
        } else if (len <= 0x40000) {
            p = ExAllocateFromNPagedLookasideList(&a->bounce256k);
            *kind = ZV_BOUNCE_256K;
        }
    }
    if (p == NULL) {
        p = ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)len + ZV_SECTOR_SIZE, ZV_TAG_BOUNCE_POOL);
        *kind = ZV_BOUNCE_POOL;
    }
    return p;
}

// The copy starts at the first 512-byte boundary inside the allocation.
static PUCHAR AlignSector(PVOID p) { return (PUCHAR)(((ULONG_PTR)p + 511) & ~(ULONG_PTR)511); }

BOOLEAN ScsiWrite(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu) {
    ULONGLONG lba = CdbGetLba(Srb->Cdb, Srb->CdbLength);
    ULONG blocks = CdbGetBlockCount(Srb->Cdb, Srb->CdbLength);
    InterlockedIncrement(&Adapter->diag.writes);
    LONG seq = InterlockedIncrement(&g_WriteLogCount);
    if (seq <= 5)
        ZvLogPlain("[WRITE] 入口 #%d lba=%lld blocks=%u ro=%d su=%d\n", (int)seq, (LONGLONG)lba, blocks,
                   (int)LuReadOnly(Lu), (int)LuSuperUser(Lu));

    ULONGLONG capacity = LuTargetSize(Lu) / ZV_SECTOR_SIZE;
    if (lba >= capacity) {
        InterlockedIncrement(&Adapter->diag.writesRefused);
        return LbaOutOfRange(Adapter, Srb);
    }
    blocks = ClampBlocks(lba, blocks, capacity);
    ULONG len = TransferLength(blocks, Srb->DataTransferLength);
    if (len == 0) {
        InterlockedIncrement(&Adapter->diag.writesRefused);
        return Success(Adapter, Srb);
    }
    if (LuWriteProtected(Lu)) {
        InterlockedIncrement(&Adapter->diag.writesRefused);
        if (InterlockedExchange(&g_WriteRefusalLogged, 1) == 0)
            ZvLogPlain("[WRITE] 拒绝写入：readOnly=1 superUser=0\n");
        return WriteProtected(Adapter, Srb);
    }
    if (Srb->DataBuffer == NULL) return NoBuffer(Adapter, Srb);

    InterlockedExchange64(&Adapter->diag.lastWriteLba, (LONG64)lba);
    InterlockedExchange(&Adapter->diag.lastWriteBlocks, (LONG)blocks);
    InterlockedExchangePointer((PVOID volatile*)&Adapter->diag.lastWriteBuffer, Srb->DataBuffer);
    if (len >= 8) {
        LONG64 first;
        RtlCopyMemory(&first, Srb->DataBuffer, 8);
        InterlockedExchange64(&Adapter->diag.lastWriteFirstBytes, first);
    }

    UCHAR kind = ZV_BOUNCE_POOL;
    PVOID allocation = AllocateBounce(Adapter, len, &kind);
    PVOID data = Srb->DataBuffer;   // without a copy the worker writes from the request's buffer
    if (allocation != NULL) {
        data = AlignSector(allocation);
        RtlCopyMemory(data, Srb->DataBuffer, len);
    }
    BOOLEAN fua = CdbGetForceUnitAccess(Srb->Cdb, Srb->CdbLength);
    if (!QueueIoWorker(Adapter, Srb, Lu, lba * ZV_SECTOR_SIZE, len, data, TRUE, fua, allocation, kind)) {
        if (allocation != NULL) ZvFreeBounce(Adapter, allocation, kind);
        return TRUE;
    }
    return FALSE;
}

BOOLEAN ScsiWriteSame(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu) {
    BOOLEAN sixteen = Srb->Cdb[0] == SCSIOP_WRITE_SAME16;
    ULONGLONG lba = CdbGetLba(Srb->Cdb, sixteen ? 16 : 10);
    ULONG blocks = CdbGetBlockCount(Srb->Cdb, sixteen ? 16 : 10);
    InterlockedIncrement(&Adapter->diag.writeSames);
    LONG seq = InterlockedIncrement(&g_WriteSameLogCount);
    if (seq <= 5)
        ZvLogPlain("[WRITE_SAME] 入口 #%d lba=%lld blocks=%u ro=%d su=%d\n", (int)seq, (LONGLONG)lba, blocks,
                   (int)LuReadOnly(Lu), (int)LuSuperUser(Lu));

    ULONGLONG capacity = LuTargetSize(Lu) / ZV_SECTOR_SIZE;
    if (lba >= capacity) return LbaOutOfRange(Adapter, Srb);
    blocks = ClampBlocks(lba, blocks, capacity);
    if (blocks == 0) return Success(Adapter, Srb);   // the whole-medium form is not supported
    if (LuWriteProtected(Lu)) return WriteProtected(Adapter, Srb);
    if (Srb->DataBuffer == NULL || Srb->DataTransferLength < ZV_SECTOR_SIZE) return NoBuffer(Adapter, Srb);

    // Large ranges are written in pieces of at most 16 MiB from one pattern buffer: the pattern
    // repeats every 512 bytes, so every piece has the same content.
    ULONGLONG total = (ULONGLONG)blocks * ZV_SECTOR_SIZE;
    ULONG piece = total > ZV_WRITE_SAME_PIECE ? ZV_WRITE_SAME_PIECE : (ULONG)total;
    PVOID allocation = ExAllocatePoolWithTag(NonPagedPoolNx, (SIZE_T)piece + ZV_SECTOR_SIZE, ZV_TAG_WRITE_SAME);
    if (allocation == NULL)
        return Check(Adapter, Srb, SRB_STATUS_ERROR, ZV_SENSE_HARDWARE_ERROR, ZV_ASC_INTERNAL_TARGET_FAIL, 0x00);
    PUCHAR data = AlignSector(allocation);

    const UCHAR* pattern = (const UCHAR*)Srb->DataBuffer;
    BOOLEAN allOnes = TRUE;
    for (ULONG i = 0; i < ZV_SECTOR_SIZE && allOnes; i++) allOnes = pattern[i] == 0xFF;
    if (allOnes) {
        // Some tools "trim" with an all-ones pattern; an image full of 0xFF sectors helps no one.
        ZvLogPlain("[WRITE_SAME] 0xFF -> 0x00 (TRIM sanitize): lba=%lld blocks=%u\n", (LONGLONG)lba, blocks);
        RtlZeroMemory(data, piece);
    } else {
        for (ULONG off = 0; off < piece; off += ZV_SECTOR_SIZE) RtlCopyMemory(data + off, pattern, ZV_SECTOR_SIZE);
    }

    BOOLEAN fua = (Srb->Cdb[1] & 0x08) != 0;
    if (!QueueWriteSameWorker(Adapter, Srb, Lu, lba * ZV_SECTOR_SIZE, total, data, piece, fua, allocation)) {
        ExFreePoolWithTag(allocation, ZV_TAG_WRITE_SAME);
        return TRUE;
    }
    return FALSE;
}

BOOLEAN ScsiSynchronizeCache(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu) {
    if (!Lu->fileBacked && Lu->writeCacheEnabled)
        return !QueueIoWorker(Adapter, Srb, Lu, 0, 0, NULL, FALSE, FALSE, NULL, ZV_BOUNCE_POOL);
    return Success(Adapter, Srb);
}
