// Control requests that only report: LUN 0's status and geometry, readiness, and the adapter's
// diagnostic counters. Each answer is built whole in the (zeroed) output, so no byte of the
// input record or of old pool contents goes back to the caller.
#include "ControlInternal.h"

NTSTATUS ControlGetStatus(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    zc::StatusRecord* out = (zc::StatusRecord*)Request->Buffer;
    RtlZeroMemory(out, sizeof(*out));

    ULONGLONG stats[ZV_CACHE_STAT_COUNT];
    RtlZeroMemory(stats, sizeof(stats));
    CacheGetStatistics(lu, stats);
    for (ULONG i = 0; i < zc::kCacheStatSlots; i++) out->cacheStats[i] = stats[i];
    out->pushedDroppedBusy = stats[ZvStatPushDroppedBusy];

    PPROTOCOL_SESSION s = &lu->session;
    out->diskSize = LuTargetSize(lu);
    out->blockSize = s->blockSize;
    out->readOnly = LuReadOnly(lu) ? 1 : 0;
    out->connected = LuConnected(lu) ? 1 : 0;
    out->handshakeDone = LuHandshakeDone(lu) ? 1 : 0;
    out->sessionId = s->sessionId;

    PPROTOCOL_SESSION_STATS st = &s->stats;
    out->connects = (uint64_t)InterlockedCompareExchange64(&st->connects, 0, 0);
    out->reconnects = (uint64_t)InterlockedCompareExchange64(&st->reconnects, 0, 0);
    out->waitTimeouts = (uint64_t)InterlockedCompareExchange64(&st->waitTimeouts, 0, 0);
    out->abandonedPackets = (uint64_t)InterlockedCompareExchange64(&st->abandonedPackets, 0, 0);
    out->bytesSent = (uint64_t)InterlockedCompareExchange64(&st->bytesSent, 0, 0);
    out->bytesReceived = (uint64_t)InterlockedCompareExchange64(&st->bytesReceived, 0, 0);
    // Counted in 32 bits by the packet pool, widened here.
    out->poolHits = (ULONG)InterlockedCompareExchange(&st->poolHits, 0, 0);
    out->poolMisses = (ULONG)InterlockedCompareExchange(&st->poolMisses, 0, 0);
    out->pongs = (uint64_t)InterlockedCompareExchange64(&st->pongs, 0, 0);
    out->pingFailures = (uint64_t)InterlockedCompareExchange64(&st->pingFailures, 0, 0);
    Request->Information = sizeof(*out);
    return STATUS_SUCCESS;
}

NTSTATUS ControlGetDiskInfo(PCONTROL_REQUEST Request) {
    LuExt* lu = Request->Lun0;
    zc::DiskInfoRecord* out = (zc::DiskInfoRecord*)Request->Buffer;
    RtlZeroMemory(out, sizeof(*out));
    out->diskSize = LuTargetSize(lu);
    out->blockSize = lu->session.blockSize;
    out->readOnly = LuReadOnly(lu) ? 1 : 0;
    Request->Information = sizeof(*out);
    return STATUS_SUCCESS;
}

// The table has already refused the request when there is no LUN 0.
NTSTATUS ControlIsReady(PCONTROL_REQUEST Request) {
    return Request->Lun0 != NULL ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

namespace {

ULONG DiagRead(volatile LONG* v) { return (ULONG)InterlockedCompareExchange(v, 0, 0); }
ULONGLONG DiagRead64(volatile LONG64* v) { return (ULONGLONG)InterlockedCompareExchange64(v, 0, 0); }
ULONGLONG DiagPointer(PVOID volatile* v) {
    return (ULONGLONG)(ULONG_PTR)InterlockedCompareExchangePointer(v, NULL, NULL);
}

}  // namespace

NTSTATUS ControlGetDiagnostics(PCONTROL_REQUEST Request) {
    AdapterExt* a = Request->Adapter;
    ZV_ADAPTER_DIAG* d = &a->diag;
    zc::DiagnosticsRecord* out = (zc::DiagnosticsRecord*)Request->Buffer;
    RtlZeroMemory(out, sizeof(*out));

    out->findAdapterCalls = DiagRead(&d->findAdapterCalls);
    out->initializeCalls = DiagRead(&d->initializeCalls);
    out->buildIoCalls = DiagRead(&d->buildIoCalls);
    out->startIoCalls = DiagRead(&d->startIoCalls);
    out->executeScsiCalls = DiagRead(&d->executeScsiCalls);
    out->resetBusCalls = DiagRead(&d->resetBusCalls);
    out->adapterControlCalls = DiagRead(&d->adapterControlCalls);
    out->reads = DiagRead(&d->reads);
    out->writes = DiagRead(&d->writes);
    out->writesRefused = DiagRead(&d->writesRefused);
    out->writeSames = DiagRead(&d->writeSames);
    out->requestsQueued = DiagRead(&d->requestsQueued);
    out->queueFailures = DiagRead(&d->queueFailures);
    out->workerRuns = DiagRead(&d->workerRuns);
    out->workerInvalidLun = DiagRead(&d->workerInvalidLun);
    out->workerRemovedLun = DiagRead(&d->workerRemovedLun);
    out->heldReads = DiagRead(&d->heldReads);
    out->expiredReads = DiagRead(&d->expiredReads);
    out->workItemHits = DiagRead(&a->workItemPool.hits);
    out->workItemMisses = DiagRead(&a->workItemPool.misses);
    out->outstandingWorkers = (int32_t)DiagRead(&a->outstandingWorkers);
    out->lastSrbStatus = DiagRead(&d->lastSrbStatus);
    out->lastReadLba = DiagRead64(&d->lastReadLba);
    out->lastReadBlocks = DiagRead(&d->lastReadBlocks);
    out->lastReadTargetSizeLow = DiagRead(&d->lastReadTargetSizeLow);
    out->lastWriteLba = DiagRead64(&d->lastWriteLba);
    out->lastWriteBlocks = DiagRead(&d->lastWriteBlocks);
    out->lastFileWriteBytes = DiagRead(&d->lastFileWriteBytes);
    out->lastWriteBuffer = DiagPointer(&d->lastWriteBuffer);
    ULONGLONG firstBytes = DiagRead64(&d->lastWriteFirstBytes);
    RtlCopyMemory(out->lastWriteFirstBytes, &firstBytes, sizeof(out->lastWriteFirstBytes));
    out->lastLuExt = DiagPointer((PVOID volatile*)&d->lastLuExt);
    out->lastFileHandle = DiagPointer((PVOID volatile*)&d->lastFileHandle);
    out->lastProcessId = DiagPointer((PVOID volatile*)&d->lastProcessId);
    out->lastMagic = DiagRead(&d->lastMagic);

    KIRQL irql;
    KeAcquireSpinLock(&a->lunTableLock, &irql);
    for (ULONG i = 0; i < ZV_MAX_LUNS; i++)
        if (a->lunTable[i].present) out->presentLuns |= 1u << i;
    KeReleaseSpinLock(&a->lunTableLock, irql);
    out->lunCreationCounter = DiagRead(&a->lunCreationCounter);

    for (ULONG i = 0; i < 256; i++) out->opcodeCounts[i] = d->opcodeCounts[i];
    out->lastOpcode = DiagRead(&d->lastOpcode);
    out->adapterFlags = (a->unloading ? zc::kDiagUnloading : 0) | (a->parametersCopied ? zc::kDiagParametersCopied : 0);
    Request->Information = sizeof(*out);
    return STATUS_SUCCESS;
}
