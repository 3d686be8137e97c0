// Bounded kernel-socket calls: the request-packet pool, the bounded wait, and the ownership rules
// that keep an abandoned packet away from its caller's memory (see WskCall.h).
#include "WskCall.h"

enum {
    CALL_PENDING = 0,
    CALL_COMPLETED = 1,
    CALL_ABANDONED = 2,
};

enum {
    CALL_FROM_POOL = 0,
    CALL_DIRECT = 1,
};

typedef struct DECLSPEC_ALIGN(16) _WSK_CALL {
    SLIST_ENTRY entry;
    KEVENT event;
    volatile LONG state;
    UCHAR origin;
    BOOLEAN createsSocket;  // a late success must close the socket it created
    BOOLEAN mdlLocked;      // the MDLs lock caller pages (unlock before freeing)
    PWSK_CALL_POOL pool;
    PMDL mdl;               // the MDL chain the call uses
    PUCHAR bounce;          // receive memory owned by the packet
    PVOID destination;      // where a completed receive is copied
    ULONG bounceLength;
    WSK_BUF buf;
    SOCKADDR_IN addr;
    PIRP irp;
} WSK_CALL;

#define WSK_CALL_HEADER ((ULONG)ALIGN_UP_BY(sizeof(WSK_CALL), 16))
#define WSK_CALL_SIZE (WSK_CALL_HEADER + IoSizeOfIrp(1))

static LARGE_INTEGER WskCallRelativeMs(ULONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -(LONGLONG)ms * 10000;
    return t;
}

static VOID WskCallFreeMdls(PMDL mdl, BOOLEAN locked) {
    while (mdl) {
        PMDL next = mdl->Next;
        if (locked) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
}

// Releases what the call carried (not the packet itself).
static VOID WskCallReleaseBuffers(PWSK_CALL c) {
    WskCallFreeMdls(c->mdl, c->mdlLocked);
    c->mdl = NULL;
    c->mdlLocked = FALSE;
    if (c->bounce) ExFreePoolWithTag(c->bounce, ZV_TAG_WSK_BOUNCE);
    c->bounce = NULL;
    c->bounceLength = 0;
    c->destination = NULL;
}

static VOID WskCallFreeMemory(PWSK_CALL c) {
    if (c->origin == CALL_DIRECT) {
        IoFreeIrp(c->irp);
        ExFreePoolWithTag(c, ZV_TAG_WSK_DIRECT);
    } else {
        // Pool packets come from ExAllocatePoolWithTag through the lookaside's allocate routine.
        ExFreePoolWithTag(c, ZV_TAG_WSK_PACKET);
    }
}

static IO_COMPLETION_ROUTINE WskCallLateCloseComplete;

static NTSTATUS NTAPI WskCallLateCloseComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    WskCallFreeMemory((PWSK_CALL)Context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static IO_COMPLETION_ROUTINE WskCallComplete;

static NTSTATUS NTAPI WskCallComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PWSK_CALL c = (PWSK_CALL)Context;
    if (InterlockedCompareExchange(&c->state, CALL_COMPLETED, CALL_PENDING) == CALL_ABANDONED) {
        // Nobody waits any more: this completion owns the packet and everything it carried.
        WskCallReleaseBuffers(c);
        PWSK_SOCKET late = c->createsSocket && NT_SUCCESS(Irp->IoStatus.Status)
                               ? (PWSK_SOCKET)Irp->IoStatus.Information
                               : NULL;
        if (late != NULL) {
            IoReuseIrp(Irp, STATUS_UNSUCCESSFUL);
            IoSetCompletionRoutine(Irp, WskCallLateCloseComplete, c, TRUE, TRUE, TRUE);
            ((const WSK_PROVIDER_BASIC_DISPATCH*)late->Dispatch)->WskCloseSocket(late, Irp);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        WskCallFreeMemory(c);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KeSetEvent(&c->event, IO_NO_INCREMENT, FALSE);
    // The packet stays ours: it goes back to the pool.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---------------------------------------------------------------------------------------------
// Pool

static PVOID NTAPI WskCallAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    UNREFERENCED_PARAMETER(PoolType);
    return ExAllocatePoolWithTag(NonPagedPoolNx, NumberOfBytes, Tag);
}

static VOID NTAPI WskCallFree(PVOID Buffer) { ExFreePoolWithTag(Buffer, ZV_TAG_WSK_PACKET); }

VOID WskCallPoolInit(PWSK_CALL_POOL Pool, const WSK_CALL_COUNTERS* Counters) {
    InitializeSListHead(&Pool->freeList);
    ExInitializeNPagedLookasideList(&Pool->allocator, WskCallAllocate, WskCallFree, 0, WSK_CALL_SIZE,
                                    ZV_TAG_WSK_PACKET, 0);
    if (Counters) Pool->counters = *Counters;
    else RtlZeroMemory(&Pool->counters, sizeof(Pool->counters));
    Pool->initialized = TRUE;
}

VOID WskCallPoolDestroy(PWSK_CALL_POOL Pool) {
    if (!Pool->initialized) return;
    PSLIST_ENTRY e;
    while ((e = InterlockedPopEntrySList(&Pool->freeList)) != NULL)
        ExFreeToNPagedLookasideList(&Pool->allocator, CONTAINING_RECORD(e, WSK_CALL, entry));
    ExDeleteNPagedLookasideList(&Pool->allocator);
    Pool->initialized = FALSE;
}

PWSK_CALL WskCallGet(PWSK_CALL_POOL Pool) {
    PWSK_CALL c = NULL;
    PSLIST_ENTRY e = InterlockedPopEntrySList(&Pool->freeList);
    if (e != NULL) {
        c = CONTAINING_RECORD(e, WSK_CALL, entry);
    } else {
        c = (PWSK_CALL)ExAllocateFromNPagedLookasideList(&Pool->allocator);
    }
    if (c != NULL) {
        RtlZeroMemory(c, WSK_CALL_HEADER);
        c->origin = CALL_FROM_POOL;
        c->irp = (PIRP)((PUCHAR)c + WSK_CALL_HEADER);
        IoInitializeIrp(c->irp, IoSizeOfIrp(1), 1);
        if (Pool->counters.poolHits) InterlockedIncrement(Pool->counters.poolHits);
    } else {
        c = (PWSK_CALL)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WSK_CALL), ZV_TAG_WSK_DIRECT);
        if (c == NULL) return NULL;
        RtlZeroMemory(c, sizeof(WSK_CALL));
        c->irp = IoAllocateIrp(1, FALSE);
        if (c->irp == NULL) {
            ExFreePoolWithTag(c, ZV_TAG_WSK_DIRECT);
            return NULL;
        }
        c->origin = CALL_DIRECT;
        if (Pool->counters.poolMisses) InterlockedIncrement(Pool->counters.poolMisses);
    }
    c->pool = Pool;
    KeInitializeEvent(&c->event, NotificationEvent, FALSE);
    c->state = CALL_PENDING;
    IoSetCompletionRoutine(c->irp, WskCallComplete, c, TRUE, TRUE, TRUE);
    return c;
}

VOID WskCallPut(PWSK_CALL Call) {
    WskCallReleaseBuffers(Call);
    if (Call->origin == CALL_DIRECT) {
        WskCallFreeMemory(Call);
        return;
    }
    PWSK_CALL_POOL pool = Call->pool;
    if (QueryDepthSList(&pool->freeList) < WSK_CALL_POOL_DEPTH) {
        InterlockedPushEntrySList(&pool->freeList, &Call->entry);
    } else {
        ExFreeToNPagedLookasideList(&pool->allocator, Call);
    }
}

PIRP WskCallIrp(PWSK_CALL Call) { return Call->irp; }

PSOCKADDR WskCallAddress(PWSK_CALL Call) { return (PSOCKADDR)&Call->addr; }

VOID WskCallCreatesSocket(PWSK_CALL Call) { Call->createsSocket = TRUE; }

// ---------------------------------------------------------------------------------------------
// Buffers

NTSTATUS WskCallSendBuffers(PWSK_CALL Call, PVOID Buffers[], const ULONG Lengths[], ULONG Count,
                            BOOLEAN Resident, PWSK_BUF* Buf) {
    PMDL first = NULL, last = NULL;
    ULONG total = 0;
    for (ULONG i = 0; i < Count && i < 3; i++) {
        if (Buffers[i] == NULL || Lengths[i] == 0) continue;
        PMDL m = IoAllocateMdl(Buffers[i], Lengths[i], FALSE, FALSE, NULL);
        if (m == NULL) {
            WskCallFreeMdls(first, !Resident);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // GCC has no structured exception handling; the buffers handed to this layer are always
        // system-space memory that is resident, so the probe cannot fault.
        if (Resident) MmBuildMdlForNonPagedPool(m);
        else MmProbeAndLockPages(m, KernelMode, IoReadAccess);
        if (last) last->Next = m;
        else first = m;
        last = m;
        total += Lengths[i];
    }
    Call->mdl = first;
    Call->mdlLocked = !Resident;
    Call->buf.Mdl = first;
    Call->buf.Offset = 0;
    Call->buf.Length = total;
    *Buf = &Call->buf;
    return STATUS_SUCCESS;
}

NTSTATUS WskCallReceiveBuffer(PWSK_CALL Call, PVOID Destination, ULONG Length, PWSK_BUF* Buf) {
    if (Length > WSK_CALL_RECEIVE_CHUNK) Length = WSK_CALL_RECEIVE_CHUNK;
    if (Length == 0) return STATUS_INVALID_PARAMETER;
    PUCHAR mem = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, Length, ZV_TAG_WSK_BOUNCE);
    if (mem == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PMDL m = IoAllocateMdl(mem, Length, FALSE, FALSE, NULL);
    if (m == NULL) {
        ExFreePoolWithTag(mem, ZV_TAG_WSK_BOUNCE);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(m);
    Call->bounce = mem;
    Call->bounceLength = Length;
    Call->destination = Destination;
    Call->mdl = m;
    Call->mdlLocked = FALSE;
    Call->buf.Mdl = m;
    Call->buf.Offset = 0;
    Call->buf.Length = Length;
    *Buf = &Call->buf;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The bounded wait

NTSTATUS WskCallWait(PWSK_CALL Call, NTSTATUS Issued, ULONG LimitMs, PWSK_CALL_RESULT Result) {
    PWSK_CALL c = Call;
    PWSK_CALL_COUNTERS counters = &c->pool->counters;
    RtlZeroMemory(Result, sizeof(*Result));
    if (Issued == STATUS_PENDING) {
        LARGE_INTEGER t = WskCallRelativeMs(LimitMs);
        NTSTATUS w = KeWaitForSingleObject(&c->event, Executive, KernelMode, FALSE, &t);
        if (w == STATUS_TIMEOUT) {
            Result->timedOut = TRUE;
            if (counters->waitTimeouts) InterlockedIncrement64(counters->waitTimeouts);
            IoCancelIrp(c->irp);
            t = WskCallRelativeMs(WSK_CALL_AFTER_CANCEL_MS);
            w = KeWaitForSingleObject(&c->event, Executive, KernelMode, FALSE, &t);
            if (w == STATUS_TIMEOUT &&
                InterlockedCompareExchange(&c->state, CALL_ABANDONED, CALL_PENDING) == CALL_PENDING) {
                // From here on the completion routine owns the packet, its MDLs and its receive
                // memory; the caller's memory is no longer referenced by anything it carries
                // except send buffers, which are only read.
                if (counters->abandonedPackets) InterlockedIncrement64(counters->abandonedPackets);
                Result->abandoned = TRUE;
                Result->status = STATUS_TIMEOUT;
                return STATUS_TIMEOUT;
            }
            // It came back (perhaps just now, racing the abandonment): the event is set or about
            // to be.
            KeWaitForSingleObject(&c->event, Executive, KernelMode, FALSE, NULL);
        }
    }
    // Came back, in time or while being cancelled: its own result counts. What a receive moved
    // is in the packet's memory and is handed over; dropping it would put a stream out of step.
    NTSTATUS st = c->irp->IoStatus.Status;
    ULONG_PTR info = c->irp->IoStatus.Information;
    if (c->bounce != NULL) {
        if (info > c->bounceLength) info = c->bounceLength;
        if (!NT_SUCCESS(st) && st != STATUS_CANCELLED) info = 0;
        if (info > 0 && c->destination != NULL) RtlCopyMemory(c->destination, c->bounce, info);
    }
    if (st == STATUS_CANCELLED && Result->timedOut) {
        // Cancelled because its wait ran out: a time-out, unless bytes moved before the cancel
        // took hold; those are reported as what they are.
        st = info > 0 ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    Result->status = st;
    Result->information = info;
    RtlCopyMemory(&Result->address, &c->addr, sizeof(c->addr));
    WskCallPut(c);
    return st;
}
