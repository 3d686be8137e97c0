// Executive services: pool allocation with tags, fast mutexes, executive resources, look-aside
// lists and work items.
//
// Pool: every block carries its tag, size and pool type; freeing a block twice, freeing with
// the wrong tag, freeing something that never came from the pool, writing past the end of a
// block (checked on free) or freeing a block that still contains a queued timer, a queued DPC
// or an undeleted ERESOURCE is fatal. Outstanding blocks are reported per tag (see
// hostkernel_test.h).
#pragma once

#include "hk_ke.h"

HK_BEGIN_DECLS

// ---------------------------------------------------------------------------------------------
// Pool

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START          0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA               0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED           0x0000000000000002ULL
#define POOL_FLAG_SESSION                 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED           0x0000000000000008ULL
#define POOL_FLAG_RESERVED1               0x0000000000000010ULL
#define POOL_FLAG_RAISE_ON_FAILURE        0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED               0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE       0x0000000000000080ULL
#define POOL_FLAG_PAGED                   0x0000000000000100ULL

PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);
#define ExFreePool2(P, Tag, Reserved, Count) ExFreePoolWithTag((P), (Tag))

// ---------------------------------------------------------------------------------------------
// Fast mutexes: acquire raises to APC_LEVEL; recursion and release by a non-owner are fatal.

typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID NTAPI ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
VOID NTAPI ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);
#define KeInitializeGuardedMutex ExInitializeFastMutex
#define KeAcquireGuardedMutex ExAcquireFastMutex
#define KeReleaseGuardedMutex ExReleaseFastMutex

// ---------------------------------------------------------------------------------------------
// Executive resources. Callers must have normal kernel APCs disabled (KeEnterCriticalRegion or
// APC_LEVEL); acquiring without is fatal, as under Driver Verifier.

typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

typedef struct _ERESOURCE {
    LIST_ENTRY SystemResourcesList;
    PVOID HkState;           // host: internal owner table
    SHORT ActiveCount;
    USHORT Flag;
    ULONG HkMagic;
    PVOID Reserved[9];
} ERESOURCE, *PERESOURCE;

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource);
NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource);
NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource);
BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);
BOOLEAN NTAPI ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait);
VOID NTAPI ExReleaseResourceLite(PERESOURCE Resource);
VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId);
VOID NTAPI ExConvertExclusiveToSharedLite(PERESOURCE Resource);
BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource);
ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource);
ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID);
#define ExReleaseResource(R) ExReleaseResourceLite(R)
#define ExIsResourceAcquiredLite ExIsResourceAcquiredSharedLite
PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceExclusive(PERESOURCE Resource);
PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceShared(PERESOURCE Resource);
VOID NTAPI ExReleaseResourceAndLeaveCriticalRegion(PERESOURCE Resource);

// ---------------------------------------------------------------------------------------------
// Look-aside lists. The host kernel hands every allocation straight to the pool (the list
// keeps no cache), so use after free and double free through a look-aside list are caught by
// the pool checks; the allocate and free callbacks are honoured.

typedef PVOID (NTAPI *PALLOCATE_FUNCTION)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
typedef VOID (NTAPI *PFREE_FUNCTION)(PVOID Buffer);
struct _LOOKASIDE_LIST_EX;
typedef PVOID (NTAPI *PALLOCATE_FUNCTION_EX)(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                             struct _LOOKASIDE_LIST_EX* Lookaside);
typedef VOID (NTAPI *PFREE_FUNCTION_EX)(PVOID Buffer, struct _LOOKASIDE_LIST_EX* Lookaside);

typedef struct _GENERAL_LOOKASIDE {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PVOID Allocate;   // PALLOCATE_FUNCTION or PALLOCATE_FUNCTION_EX
    PVOID Free;       // PFREE_FUNCTION or PFREE_FUNCTION_EX
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG HkMagic;
    ULONG HkIsEx;
    volatile LONG HkOutstanding;
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct DECLSPEC_ALIGN(16) _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST, PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

typedef struct DECLSPEC_ALIGN(16) _LOOKASIDE_LIST_EX {
    GENERAL_LOOKASIDE L;
} LOOKASIDE_LIST_EX, *PLOOKASIDE_LIST_EX;

#define EX_LOOKASIDE_LIST_EX_FLAGS_RAISE_ON_FAIL 0x00000001UL
#define EX_LOOKASIDE_LIST_EX_FLAGS_FAIL_NO_RAISE 0x00000002UL
#define POOL_NX_ALLOCATION 512

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                           USHORT Depth);
VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                          PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                          USHORT Depth);
VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
PVOID NTAPI ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);
VOID NTAPI ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry);
NTSTATUS NTAPI ExInitializeLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PALLOCATE_FUNCTION_EX Allocate,
                                           PFREE_FUNCTION_EX Free, POOL_TYPE PoolType, ULONG Flags,
                                           SIZE_T Size, ULONG Tag, USHORT Depth);
VOID NTAPI ExDeleteLookasideListEx(PLOOKASIDE_LIST_EX Lookaside);
PVOID NTAPI ExAllocateFromLookasideListEx(PLOOKASIDE_LIST_EX Lookaside);
VOID NTAPI ExFreeToLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PVOID Entry);
VOID NTAPI ExFlushLookasideListEx(PLOOKASIDE_LIST_EX Lookaside);

// ---------------------------------------------------------------------------------------------
// Work items, run by the host kernel's system worker threads at PASSIVE_LEVEL. Queuing an item
// that is still queued, or freeing one that is queued or running, is fatal.

typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    NormalWorkQueue,
    BackgroundWorkQueue,
    RealTimeWorkQueue,
    SuperCriticalWorkQueue,
    MaximumWorkQueue,
    CustomPriorityWorkQueue = 32
} WORK_QUEUE_TYPE;

typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;
typedef VOID (NTAPI IO_WORKITEM_ROUTINE)(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef VOID (NTAPI IO_WORKITEM_ROUTINE_EX)(PVOID IoObject, PVOID Context, PIO_WORKITEM IoWorkItem);
typedef IO_WORKITEM_ROUTINE_EX* PIO_WORKITEM_ROUTINE_EX;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context);
VOID NTAPI IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine,
                             WORK_QUEUE_TYPE QueueType, PVOID Context);
ULONG NTAPI IoSizeofWorkItem(VOID);
VOID NTAPI IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem);
VOID NTAPI IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem);

typedef VOID (NTAPI WORKER_THREAD_ROUTINE)(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;
typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    volatile PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
#define ExInitializeWorkItem(Item, Routine, Context) \
    do {                                             \
        (Item)->WorkerRoutine = (Routine);           \
        (Item)->Parameter = (Context);               \
        (Item)->List.Flink = NULL;                   \
    } while (0)
VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

HK_END_DECLS
