// The LUN table: creation and removal of LUNs, lookups, the serial number.
//
// The table is read and written under the adapter's LUN-table spin lock. Lookups for the SCSI
// path take a reference under that lock (LunReference), so a LUN that DeleteLun has taken out
// of its slot stays allocated until the last request that was using it lets go.
#include "LunBackend.h"
#include "image/FileLun.h"

PZV_FILE_LUN_OPEN g_FileLunOpen = FileLunOpen;

static VOID ZvCopyWide(PWCHAR Dst, ULONG DstChars, PCWSTR Src, ULONG SrcChars) {
    ULONG n = 0;
    while (n + 1 < DstChars && n < SrcChars && Src[n] != 0) {
        Dst[n] = Src[n];
        n++;
    }
    Dst[n] = 0;
}

// The record's text when not empty, else the driver parameter when not empty, else the default.
static VOID ZvPickWide(PWCHAR Dst, ULONG DstChars, PCWSTR FromRecord, ULONG RecordChars, PCWSTR FromParameters,
                       ULONG ParameterChars, PCWSTR Default) {
    if (FromRecord != NULL && FromRecord[0] != 0)
        ZvCopyWide(Dst, DstChars, FromRecord, RecordChars);
    else if (FromParameters[0] != 0)
        ZvCopyWide(Dst, DstChars, FromParameters, ParameterChars);
    else
        ZvCopyWide(Dst, DstChars, Default, 0xFFFF);
}

static VOID LunCacheClear(PPROTOCOL_SESSION Session, PVOID Context) {
    UNREFERENCED_PARAMETER(Session);
    CacheDropAll((LuExt*)Context);
}

VOID LunSerial(const LuExt* Lu, CHAR Serial[8]) {
    static const CHAR hex[] = "0123456789ABCDEF";
    ULONG id = Lu->lunId & 0xFFFFFF;
    Serial[0] = 'Z';
    Serial[1] = 'V';
    for (int i = 0; i < 6; i++) Serial[2 + i] = hex[(id >> (4 * (5 - i))) & 0xF];
}

// Everything CreateLun set up, in reverse; the record is no longer reachable from the table.
static VOID LunDestroy(LuExt* lu, BOOLEAN sessionReady) {
    InterlockedExchange(&lu->pendingTimerArmed, 0);
    KeCancelTimer(&lu->pendingTimer);
    KeFlushQueuedDpcs();
    CacheTeardown(lu);   // first: its write-back still needs the session
    if (lu->fileBacked) {
        if (lu->backend != NULL && lu->backend->Close != NULL) lu->backend->Close(lu);
    } else if (sessionReady) {
        ProtocolSession_Teardown(&lu->session);
    }
    if (lu->filePath.Buffer != NULL) ExFreePoolWithTag(lu->filePath.Buffer, ZV_TAG_LUEXT);
    lu->magic = 0;
    ExFreePoolWithTag(lu, ZV_TAG_LUEXT);
}

NTSTATUS CreateLun(AdapterExt* Adapter, ULONG LunIndex, const CreateLunRecord* Record, LuExt** Out) {
    if (Adapter == NULL || Out == NULL || LunIndex >= ZV_MAX_LUNS) return STATUS_INVALID_PARAMETER;
    *Out = NULL;

    KIRQL irql;
    KeAcquireSpinLock(&Adapter->lunTableLock, &irql);
    BOOLEAN present = Adapter->lunTable[LunIndex].present != 0;
    KeReleaseSpinLock(&Adapter->lunTableLock, irql);
    if (present) return (NTSTATUS)0xFF;

    LuExt* lu = (LuExt*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LuExt), ZV_TAG_LUEXT);
    if (lu == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(lu, sizeof(LuExt));
    lu->adapter = Adapter;
    lu->lunIndex = (UCHAR)LunIndex;
    lu->magic = ZV_LUEXT_MAGIC;
    lu->lunId = (ULONG)InterlockedIncrement(&Adapter->lunCreationCounter);

    BOOLEAN fileBacked = Record != NULL && Record->imagePath[0] != 0;
    lu->preferredTransport = Record != NULL ? Record->preferredTransport : zelko::control::kTransportPreferTcp;

    // Locks, events, lists and timers of every group.
    KeInitializeEvent(&lu->activatedEvent, NotificationEvent, FALSE);
    InitializeListHead(&lu->pendingReads);
    KeInitializeSpinLock(&lu->pendingLock);
    KeInitializeTimerEx(&lu->pendingTimer, NotificationTimer);
    KeInitializeDpc(&lu->pendingDpc, PendingReadTimeout, lu);
    NTSTATUS status = STATUS_SUCCESS;
    if (!fileBacked) status = ProtocolSession_Init(&lu->session, lu->preferredTransport);
    if (!NT_SUCCESS(status)) {
        lu->magic = 0;
        ExFreePoolWithTag(lu, ZV_TAG_LUEXT);
        return status;
    }
    lu->holdReads = 1;
    lu->writeCacheEnabled = 1;
    // Only a network LUN has a block cache: an image-file LUN reads its file directly, and its
    // cache would be an idle flusher thread and an unused staging buffer.
    if (!fileBacked) status = CacheInit(lu, Record != NULL ? Record->cacheSizeMb : ZV_CACHE_DEFAULT_MB);
    if (!NT_SUCCESS(status)) {
        LunDestroy(lu, !fileBacked);
        return status;
    }
    lu->session.cacheClearRoutine = LunCacheClear;
    lu->session.cacheClearContext = lu;

    // Connection parameters: the record's, else the driver's, else the defaults.
    PPROTOCOL_SESSION s = &lu->session;
    ZvPickWide(s->serverIp, PROTO_SERVER_IP_UNITS, Record ? Record->serverIp : NULL, zelko::control::kAddressChars,
               g_Parameters.ServerIp, ZV_ADDRESS_CHARS, ZV_DEFAULT_SERVER_IP);
    s->serverPort = (Record != NULL && Record->serverPort != 0) ? Record->serverPort : g_Parameters.ServerPort;
    ZvPickWide(s->targetIqn, PROTO_IQN_UNITS, Record ? Record->targetIqn : NULL, zelko::control::kIqnChars,
               g_Parameters.TargetIqn, ZV_IQN_CHARS, ZV_DEFAULT_TARGET_IQN);
    ZvPickWide(s->clientId, PROTO_CLIENT_ID_UNITS, Record ? Record->clientId : NULL, zelko::control::kAddressChars,
               g_Parameters.ClientId, ZV_CLIENT_ID_CHARS, ZV_DEFAULT_CLIENT_ID);

    s->targetSize = 0;
    s->blockSize = (Record != NULL && Record->sectorSize != 0) ? Record->sectorSize : ZV_SECTOR_SIZE;
    WpSetFlag(&s->handshakeDone, FALSE);
    WpSetFlag(&s->connected, FALSE);
    if (Record != NULL) WpSetFlag(&s->readOnly, Record->readOnly != 0);

    if (!fileBacked) {
        lu->backend = &g_NetworkLunBackend;
        if (Record != NULL && Record->diskSize != 0) s->targetSize = Record->diskSize;
    } else {
        lu->fileBacked = 1;
        status = g_FileLunOpen != NULL ? g_FileLunOpen(lu, Record) : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(status)) {
            lu->fileBacked = 0;   // the image layer left nothing open
            LunDestroy(lu, FALSE);
            return status;
        }
        WpSetFlag(&s->handshakeDone, TRUE);
        WpSetFlag(&s->connected, FALSE);
    }

    // Held READs expire after 20 s: the timer looks every 5 s, first 5 s from now.
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)ZV_PENDING_TIMER_PERIOD_MS * 10000;
    InterlockedExchange(&lu->pendingTimerArmed, 1);
    KeSetTimerEx(&lu->pendingTimer, due, ZV_PENDING_TIMER_PERIOD_MS, &lu->pendingDpc);

    // Two creators may race for one slot: the first to publish wins, the other backs out.
    KeAcquireSpinLock(&Adapter->lunTableLock, &irql);
    LunSlot* slot = &Adapter->lunTable[LunIndex];
    if (slot->present) {
        KeReleaseSpinLock(&Adapter->lunTableLock, irql);
        LunDestroy(lu, !fileBacked);
        return (NTSTATUS)0xFF;
    }
    slot->present = 1;
    slot->present2 = 1;
    slot->luExt = lu;
    slot->lunId = lu->lunId;
    KeReleaseSpinLock(&Adapter->lunTableLock, irql);

    *Out = lu;
    return STATUS_SUCCESS;
}

NTSTATUS DeleteLun(AdapterExt* Adapter, ULONG LunIndex) {
    if (Adapter == NULL || LunIndex >= ZV_MAX_LUNS) return STATUS_INVALID_PARAMETER;

    KIRQL irql;
    KeAcquireSpinLock(&Adapter->lunTableLock, &irql);
    LunSlot* slot = &Adapter->lunTable[LunIndex];
    LuExt* lu = slot->present ? slot->luExt : NULL;
    slot->present = 0;
    slot->present2 = 0;
    slot->luExt = NULL;
    slot->lunId = 0;
    KeReleaseSpinLock(&Adapter->lunTableLock, irql);
    if (lu == NULL) return STATUS_NOT_FOUND;

    // From here every lookup and every worker turns the record away.
    WpSetFlag(&lu->session.removing, TRUE);
    InterlockedExchange((volatile LONG*)&lu->magic, 0);

    InterlockedExchange(&lu->pendingTimerArmed, 0);
    KeCancelTimer(&lu->pendingTimer);
    KeFlushQueuedDpcs();

    // Held READs keep references; fail them, then wait for requests still running in workers
    // (their server exchanges are bounded by the protocol's deadlines, and the removing flag
    // stops any reconnect). A READ that StartIo was holding while the slot was emptied lands on
    // the list after the first pass, so the list is failed again on every poll.
    FailPendingReads(lu);
    while (InterlockedCompareExchange(&lu->ioRefs, 0, 0) != 0) {
        LARGE_INTEGER t;
        t.QuadPart = -10000;   // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        FailPendingReads(lu);
    }

    // No request uses the record any more: release the server path, close the socket and stop
    // the UDP retry timer.
    // The cache goes first: its last write-back still needs the session.
    CacheTeardown(lu);
    if (!lu->fileBacked) ProtocolSession_Teardown(&lu->session);
    WpSetFlag(&lu->session.handshakeDone, FALSE);
    if (lu->fileBacked && lu->backend != NULL && lu->backend->Close != NULL) lu->backend->Close(lu);
    if (lu->filePath.Buffer != NULL) ExFreePoolWithTag(lu->filePath.Buffer, ZV_TAG_LUEXT);
    ExFreePoolWithTag(lu, ZV_TAG_LUEXT);
    return STATUS_SUCCESS;
}

LuExt* GetLun(AdapterExt* Adapter, UCHAR PathId, UCHAR TargetId, UCHAR Lun) {
    UNREFERENCED_PARAMETER(PathId);
    UNREFERENCED_PARAMETER(TargetId);
    if (Adapter == NULL || Lun >= ZV_MAX_LUNS) return NULL;
    LunSlot* slot = &Adapter->lunTable[Lun];
    if (!*(volatile UCHAR*)&slot->present) return NULL;
    LuExt* lu = *(LuExt* volatile*)&slot->luExt;
    return LuExtIsLive(lu) ? lu : NULL;
}

LuExt* LunReference(AdapterExt* Adapter, UCHAR Lun) {
    if (Adapter == NULL || Lun >= ZV_MAX_LUNS) return NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Adapter->lunTableLock, &irql);
    LunSlot* slot = &Adapter->lunTable[Lun];
    LuExt* lu = slot->present ? slot->luExt : NULL;
    if (lu != NULL && LuExtIsLive(lu))
        InterlockedIncrement(&lu->ioRefs);
    else
        lu = NULL;
    KeReleaseSpinLock(&Adapter->lunTableLock, irql);
    return lu;
}
