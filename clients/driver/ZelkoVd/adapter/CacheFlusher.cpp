// The per-LUN flusher thread: writes back dirty blocks every 5 seconds, or at once when a writer
// crossed the dirty threshold or eviction met written blocks, and carries out a drop-all that the
// handshake requested. It releases the cache lock between batches so reads and writes keep going
// while a large backlog drains.
#include "CacheInternal.h"

static KSTART_ROUTINE CacheFlusherMain;

static VOID NTAPI CacheFlusherMain(PVOID Context) {
    LuExt* lu = (LuExt*)Context;
    PZV_CACHE c = &lu->cache;
    LARGE_INTEGER period;
    period.QuadPart = -(LONGLONG)ZV_CACHE_FLUSH_PERIOD_MS * 10000;
    while (!LuRemoving(lu) && !InterlockedCompareExchange(&c->flusherStop, 0, 0)) {
        (VOID)KeWaitForSingleObject(&c->flushEvent, Executive, KernelMode, FALSE, &period);
        if (LuRemoving(lu) || InterlockedCompareExchange(&c->flusherStop, 0, 0)) break;
        if (CacheDropPending(c)) {
            CacheLockExclusive(lu);   // carries the drop out
            CacheUnlock(c);
        }
        while (InterlockedCompareExchange64(&c->dirtyBytes, 0, 0) != 0 &&
               !InterlockedCompareExchange(&c->flusherStop, 0, 0)) {
            ULONGLONG written = 0;
            CacheLockExclusive(lu);
            NTSTATUS st = CacheWriteBack(lu, 0, MAXULONGLONG, 1, &written);
            CacheUnlock(c);
            // A failure waits for the next round: the server may be back by then.
            if (!NT_SUCCESS(st) || written == 0) break;
        }
    }
    InterlockedExchange(&c->flusherRunning, 0);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CacheStartFlusher(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    InterlockedExchange(&c->flusherStop, 0);
    InterlockedExchange(&c->flusherRunning, 1);
    HANDLE handle = NULL;
    NTSTATUS st = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, CacheFlusherMain, Lu);
    if (!NT_SUCCESS(st)) {
        InterlockedExchange(&c->flusherRunning, 0);
        return st;
    }
    PVOID thread = NULL;
    st = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, NULL);
    ZwClose(handle);
    if (!NT_SUCCESS(st)) {
        // Without the object there is nothing to wait for at teardown: stop the thread now.
        InterlockedExchange(&c->flusherStop, 1);
        KeSetEvent(&c->flushEvent, IO_NO_INCREMENT, FALSE);
        while (InterlockedCompareExchange(&c->flusherRunning, 0, 0) != 0) {
            LARGE_INTEGER t;
            t.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        }
        return st;
    }
    c->flusherThread = thread;
    return STATUS_SUCCESS;
}

VOID CacheStopFlusher(LuExt* Lu) {
    PZV_CACHE c = &Lu->cache;
    InterlockedExchange(&c->flusherStop, 1);
    KeSetEvent(&c->flushEvent, IO_NO_INCREMENT, FALSE);
    if (c->flusherThread != NULL) {
        (VOID)KeWaitForSingleObject(c->flusherThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(c->flusherThread);
        c->flusherThread = NULL;
    }
}
