// READs that arrive before the network boot disk is activated. Windows starts reading the boot
// disk long before the network is up; instead of failing those reads (which the class driver
// would retry a few times and then give up on, leaving an unbootable PC) the adapter holds them
// in the LUN's pendingReads list until activation, and fails them BUSY when activation is given
// up or after 20 seconds, so the class driver retries them later.
//
// pendingReads is guarded by pendingLock; every walk releases the lock around each completion
// or queueing call. Each held READ owns a LUN reference, dropped when it leaves the list.
#include "ScsiCdb.h"

static VOID CompleteNotReadyBusy(AdapterExt* adapter, PSCSI_REQUEST_BLOCK srb) {
    SetSense(srb, ZV_SENSE_NOT_READY, ZV_ASC_LUN_NOT_READY, 0x01);
    ZvCompleteSrb(adapter, srb, SRB_STATUS_BUSY, SCSISTAT_BUSY, 0);
}

static ULONGLONG TickNow(VOID) {
    LARGE_INTEGER t;
    KeQueryTickCount(&t);
    return (ULONGLONG)t.QuadPart;
}

BOOLEAN HoldPendingRead(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset, ULONG Length) {
    SrbExt* ext = (SrbExt*)Srb->SrbExtension;
    ext->srb = Srb;
    ext->lun = Lu;
    ext->adapter = Adapter;
    ext->workItem = NULL;
    ext->device = NULL;
    ext->poolEntry = NULL;
    ext->cdbLength = Srb->CdbLength;
    ext->offset = Offset;
    ext->length = Length;
    ext->data = Srb->DataBuffer;
    ext->isWrite = 0;
    ext->forceUnitAccess = 0;
    ext->bounceAllocation = NULL;
    ext->bounceKind = ZV_BOUNCE_POOL;
    ext->writeSameTotal = 0;
    ext->enqueueTick = TickNow();

    KIRQL irql;
    KeAcquireSpinLock(&Lu->pendingLock, &irql);
    if (LuRemoving(Lu)) {
        // DeleteLun has begun failing the list: this one would never be released.
        KeReleaseSpinLock(&Lu->pendingLock, irql);
        CompleteNotReadyBusy(Adapter, Srb);
        return TRUE;
    }
    if (KeReadStateEvent(&Lu->activatedEvent) && LuHandshakeDone(Lu)) {
        // The wake-up ran between the caller's activation check and here: nothing would
        // release this READ any more, so it goes to a worker now.
        KeReleaseSpinLock(&Lu->pendingLock, irql);
        return !QueueIoWorker(Adapter, Srb, Lu, Offset, Length, Srb->DataBuffer, FALSE, FALSE, NULL, ZV_BOUNCE_POOL);
    }
    if (!InterlockedCompareExchange(&Lu->pendingTimerArmed, 0, 0)) {
        // Activation cancels the expiry timer; a READ held after that (the session dropped
        // later) would never expire. Busy now lets the class driver retry it instead.
        KeReleaseSpinLock(&Lu->pendingLock, irql);
        CompleteNotReadyBusy(Adapter, Srb);
        return TRUE;
    }
    LunAddReference(Lu);
    InsertTailList(&Lu->pendingReads, &ext->pendingLink);
    InterlockedIncrement(&Adapter->diag.heldReads);
    KeReleaseSpinLock(&Lu->pendingLock, irql);
    return FALSE;
}

// Takes the oldest held READ off the list, or NULL.
static SrbExt* PopOldest(LuExt* lu) {
    KIRQL irql;
    SrbExt* ext = NULL;
    KeAcquireSpinLock(&lu->pendingLock, &irql);
    if (!IsListEmpty(&lu->pendingReads))
        ext = CONTAINING_RECORD(RemoveHeadList(&lu->pendingReads), SrbExt, pendingLink);
    KeReleaseSpinLock(&lu->pendingLock, irql);
    return ext;
}

VOID WakeupPendingReads(LuExt* Lu) {
    if (Lu == NULL || !Lu->holdReads) return;
    // Signalled under the lock so that HoldPendingRead sees either the event or the walk.
    KIRQL irql;
    KeAcquireSpinLock(&Lu->pendingLock, &irql);
    KeSetEvent(&Lu->activatedEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&Lu->pendingLock, irql);

    for (SrbExt* ext; (ext = PopOldest(Lu)) != NULL;) {
        (VOID)QueueIoWorker(ext->adapter, ext->srb, Lu, ext->offset, ext->length, ext->data, FALSE, FALSE, NULL,
                            ZV_BOUNCE_POOL);
        LunDereference(Lu);
    }
    ZvLogInfo("WakeupPendingReads: 已唤醒所有挂起的 READ SRB\n");
}

VOID FailPendingReads(LuExt* Lu) {
    if (Lu == NULL || !Lu->holdReads) return;
    for (SrbExt* ext; (ext = PopOldest(Lu)) != NULL;) {
        CompleteNotReadyBusy(ext->adapter, ext->srb);
        LunDereference(Lu);
    }
}

VOID NTAPI PendingReadTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    LuExt* lu = (LuExt*)DeferredContext;
    if (!lu->holdReads || LuHandshakeDone(lu)) return;

    ULONGLONG now = TickNow();
    ULONGLONG increment = KeQueryTimeIncrement();
    LIST_ENTRY expired;
    InitializeListHead(&expired);
    KIRQL irql;
    KeAcquireSpinLock(&lu->pendingLock, &irql);
    for (PLIST_ENTRY e = lu->pendingReads.Flink; e != &lu->pendingReads;) {
        PLIST_ENTRY next = e->Flink;
        SrbExt* ext = CONTAINING_RECORD(e, SrbExt, pendingLink);
        if ((now - ext->enqueueTick) * increment >= (ULONGLONG)ZV_PENDING_READ_MAX_AGE_100NS) {
            RemoveEntryList(e);
            InsertTailList(&expired, e);
        }
        e = next;
    }
    KeReleaseSpinLock(&lu->pendingLock, irql);

    while (!IsListEmpty(&expired)) {
        SrbExt* ext = CONTAINING_RECORD(RemoveHeadList(&expired), SrbExt, pendingLink);
        InterlockedIncrement(&ext->adapter->diag.expiredReads);
        CompleteNotReadyBusy(ext->adapter, ext->srb);
        LunDereference(lu);
    }
}

BOOLEAN ZvCancelPendingReadTimer(LuExt* Lu) {
    if (Lu == NULL || InterlockedExchange(&Lu->pendingTimerArmed, 0) == 0) return FALSE;
    KeCancelTimer(&Lu->pendingTimer);
    return TRUE;
}
