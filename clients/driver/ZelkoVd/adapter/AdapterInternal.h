// The virtual disk adapter's records and the routines its files share with each other and with
// the control device and the activation thread: the adapter extension with its LUN table and
// work-item pool, the per-LUN record, the per-request extension, and the driver-wide globals.
//
// Every field group names what guards it. "interlocked" means every access goes through an
// Interlocked* call; "creation" means the field is written once before the record is published
// (slot marked present) and only read afterwards.
#pragma once

#include "../platform.h"
#include <storport.h>

#include "../protocol/ZelkoProtocol.h"
#include "../activation/ZvLog.h"
#include "../activation/ZvParameters.h"
#include "../activation/Activation.h"

// Windows 8 and later: lookaside entries from no-execute pool. Older header sets lack the name.
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

struct LuExt;
struct AdapterExt;
struct LUN_BACKEND;
struct _ZV_IMAGE;

#include "ZelkoControl.h"

using zelko::control::CreateLunRecord;

// A debug line without the "ZelkoVd: " prefix (a few diagnostics of the I/O path carry their
// own), at the plain form's filter level.
#define ZvLogBare(...) DbgPrintEx(ZV_LOG_COMPONENT, DPFLTR_ERROR_LEVEL, __VA_ARGS__)

// ---------------------------------------------------------------------------------------------
// Pool tags (written as numbers, shown as the four letters in pool dumps)

#define ZV_TAG_LUEXT          0x754C765Au  // "ZvLu" per-LUN record
#define ZV_TAG_WORKITEM_ENTRY 0x6957765Au  // "ZvWi" work-item pool entries
#define ZV_TAG_BOUNCE_16K     0x3142765Au  // "ZvB1" WRITE bounce buffers, 16 KiB + 512
#define ZV_TAG_BOUNCE_64K     0x3242765Au  // "ZvB2" WRITE bounce buffers, 64 KiB + 512
#define ZV_TAG_BOUNCE_256K    0x3342765Au  // "ZvB3" WRITE bounce buffers, 256 KiB + 512
#define ZV_TAG_BOUNCE_POOL    0x5042765Au  // "ZvBP" larger WRITE copies straight from pool
#define ZV_TAG_WRITE_SAME     0x5357765Au  // "ZvWS" WRITE SAME pattern buffers
#define ZV_TAG_CACHE          0x6143765Au  // "ZvCa" block cache bookkeeping
#define ZV_TAG_PREFETCH       0x6650765Au  // "ZvPf" boot prefetch buffer

// ---------------------------------------------------------------------------------------------
// Sizes and limits

#define ZV_MAX_LUNS            16
#define ZV_LUEXT_MAGIC         0x5A454C4Bu   // 'ZELK' while the record is live
#define ZV_SECTOR_SIZE         512u          // every SCSI computation uses 512-byte blocks
#define ZV_MAX_TRANSFER        0x100000u     // 1 MiB per request (port configuration)
#define ZV_MAX_IOS             256
#define ZV_WORKITEM_POOL_SIZE  128
#define ZV_WRITE_SAME_PIECE    0x1000000u    // WRITE SAME is written in pieces of at most 16 MiB

// Bounce-buffer kinds of SrbExt::bounceKind.
#define ZV_BOUNCE_POOL  0
#define ZV_BOUNCE_16K   1
#define ZV_BOUNCE_64K   2
#define ZV_BOUNCE_256K  3
#define ZV_BOUNCE_WRITE_SAME 4   // the WRITE SAME pattern buffer (pool, ZV_TAG_WRITE_SAME)

#define ZV_BOUNCE_16K_SIZE   (0x4000u + 512u)
#define ZV_BOUNCE_64K_SIZE   (0x10000u + 512u)
#define ZV_BOUNCE_256K_SIZE  (0x40000u + 512u)

// Pending-read expiry: the timer runs every 5 s; a held READ older than 20 s is failed BUSY.
#define ZV_PENDING_TIMER_PERIOD_MS 5000
#define ZV_PENDING_READ_MAX_AGE_100NS 200000000LL

// ---------------------------------------------------------------------------------------------
// Block cache state, one per network LUN (Cache*.cpp). The lock order is cacheLock before
// lruLock or a bucket lock; the session's ioLock is never held while the cache is cleared.

enum ZV_CACHE_STAT {
    ZvStatReadHits = 0,
    ZvStatReadMisses = 1,
    ZvStatWriteHits = 2,
    ZvStatWriteMisses = 3,
    ZvStatMissedBytes = 4,
    ZvStatBytesWrittenIntoCache = 5,
    ZvStatBytesWrittenBack = 6,
    ZvStatEvictions = 7,
    ZvStatReadAheadInserted = 8,
    // Slots 9 and 10 count what the write-back could not save: written blocks kept in the cache
    // by a purge because their write-back failed, and written blocks lost at LUN removal or on a
    // new image version after their write-back failed.
    ZvStatDirtyKept = 9,
    ZvStatDirtyLost = 10,
    ZvStatReserved11 = 11,
    ZvStatNonSequentialPasses = 12,
    ZvStatFlushWakeupsQueued = 13,
    ZvStatBatchFetchOk = 14,
    ZvStatBatchFetchFailed = 15,
    ZvStatWriteBackBatches = 16,
    ZvStatWriteBackFallbacks = 17,
    ZvStatReadAheadRaises = 18,
    ZvStatPushInserted = 19,
    ZvStatPushDroppedBusy = 20,
    ZV_CACHE_STAT_COUNT = 21
};

#define ZV_CACHE_BLOCK_SIZE      4096u
#define ZV_CACHE_DEFAULT_MB      1024u
#define ZV_CACHE_MIN_MB          256u
#define ZV_CACHE_MAX_MB          4096u
#define ZV_CACHE_READ_AHEAD      255u
#define ZV_CACHE_DIRTY_PERCENT   80u

#define ZV_TAG_CACHE_NODE     0x6E43765Au  // "ZvCn" cache nodes (node look-aside list)
#define ZV_TAG_CACHE_DATA     0x6443765Au  // "ZvCd" cached 4 KiB blocks (data look-aside list)
#define ZV_TAG_CACHE_STAGING  0x7343765Au  // "ZvCs" the 1 MiB write-back staging buffer
#define ZV_TAG_CACHE_FETCH    0x6643765Au  // "ZvCf" batched fetch buffers and per-pass bookkeeping

#define ZV_CACHE_BATCH_BLOCKS    256u          // blocks per batched fetch and per write-back batch
#define ZV_CACHE_STAGING_SIZE    0x100000u     // write-back staging buffer, 256 blocks
// 64 Ki buckets (block number AND 0xFFFF): a full default cache (1 GiB, 256 Ki blocks) puts four
// nodes in a bucket, the largest (4 GiB) sixteen. A table of 1024 would hold 256 nodes a bucket at
// the default size: every lookup would walk scattered nodes for microseconds, and a 1 MiB read
// served from the cache (256 lookups) would cost milliseconds, slower than fetching it from the
// server. The table is 1.5 MiB of non-paged memory beside a cache of 256 MiB to 4 GiB.
#define ZV_CACHE_INDEX_BUCKETS   65536u
#define ZV_CACHE_FLUSH_PERIOD_MS 5000u

typedef struct _ZV_CACHE {
    // Creation (CacheInit), then read-only until CacheTeardown.
    BOOLEAN initialized;
    ULONGLONG blockSize;             // 4096
    ULONG dirtyThreshold;            // percent

    ERESOURCE cacheLock;             // shared for lookups, exclusive for every change

    // cacheLock (exclusive to write; lookups read them under the shared lock).
    ULONGLONG capacity;              // bytes
    ULONGLONG used;                  // bytes held
    volatile LONG64 dirtyBytes;      // changed under the exclusive lock, interlocked so the flusher
                                     // may look at it without the lock
    ULONG readAheadWindow;
    ULONGLONG lastPassStart;         // block number, (ULONGLONG)-1 initially
    ULONG sequentialStreak;
    PVOID stagingBuffer;             // 1 MiB for batched write-back, or NULL
    // Write-back scratch, used only under the exclusive lock.
    struct _ZV_CACHE_NODE* writeBackNodes[ZV_CACHE_BATCH_BLOCKS];
    zelko::wire::BatchSegment writeBackSegments[ZV_CACHE_BATCH_BLOCKS];
    LONG dropsHandled;               // drop requests already carried out (see dropRequests)

    // Every cached block of this LUN, most recently used first. lruLock (taken inside the cache
    // lock, never together with a bucket lock). Readers holding the cache lock shared move
    // nodes to the head under it; everything else changes it with the cache lock exclusive.
    LIST_ENTRY lruList;
    KSPIN_LOCK lruLock;
    volatile LONG64 useSequence;     // interlocked; source of the per-node use stamps

    // Node and data pools: 64-byte-class nodes and 4 KiB blocks, each with its own tag.
    NPAGED_LOOKASIDE_LIST nodePool;
    NPAGED_LOOKASIDE_LIST dataPool;

    // Flush wake-up: the deferred routine clears flushRequested and sets flushEvent.
    volatile LONG flushRequested;    // interlocked
    KDPC flushDpc;
    KEVENT flushEvent;               // synchronisation event the flusher waits on
    PVOID flusherThread;             // referenced thread object, creation/teardown
    volatile LONG flusherRunning;    // interlocked
    volatile LONG flusherStop;       // interlocked; set by CacheTeardown

    // Drop-all on a new image version. The protocol calls the clear routine from inside its
    // handshake, where the cache lock must not be waited for; it only counts the request here,
    // and the next holder of the exclusive lock (or the flusher, which it wakes) carries it out.
    volatile LONG dropRequests;      // interlocked
    // Bumped whenever a block the server may no longer agree with leaves the cache (a written
    // block evicted or dropped, a drop-all requested): a fetch that was in flight across such a
    // change serves its reader but is not inserted, since its data may predate the change.
    volatile LONG insertEpoch;       // interlocked
    // Blocks inserted into the index so far (changed with the cache lock held exclusively, read
    // under it): while it stands still, a block found absent is still absent, and the read path
    // need not walk its bucket again.
    ULONGLONG inserts;

    // PushBlock calls using this cache right now (CacheTeardown waits for 0).
    volatile LONG pushRefs;          // interlocked

    volatile LONG64 stats[ZV_CACHE_STAT_COUNT];   // interlocked
    volatile LONG prefetchStarted;   // interlocked
    volatile LONG prefetchDone;      // interlocked
} ZV_CACHE, *PZV_CACHE;

// ---------------------------------------------------------------------------------------------
// LuExt: one per LUN, allocated zero-filled from non-paged pool.
//
// The connection parameters and the flags that the protocol session changes at every handshake
// and reconnect (connected, handshakeDone, readOnly, superUser, removing, targetSize, blockSize)
// live once, in `session`; read them through the accessors below so the SCSI path, the worker
// and the session never disagree.

struct LuExt {
    // Identity: creation, then read-only until DeleteLun clears magic under no lock (every reader
    // re-checks it with LuExtIsLive).
    AdapterExt* adapter;
    UCHAR lunIndex;
    ULONG lunId;
    volatile ULONG magic;

    // References that keep the record allocated while a request (in StartIo, held, or in a
    // worker) uses it. Taken only under lunTableLock while the slot still holds the record, so
    // once DeleteLun has emptied the slot the count can only fall; DeleteLun waits for 0.
    volatile LONG ioRefs;

    // The protocol session (its own locks; flags through WpFlag/WpSetFlag).
    PROTOCOL_SESSION session;
    ULONG preferredTransport;       // creation: 1 UDP, 2 RDMA, other TCP

    // Set at creation and never cleared.
    UCHAR writeCacheEnabled;
    UCHAR holdReads;
    UCHAR fileBacked;

    // Per-kind I/O: the block cache for a network LUN, the image-file layer for a file LUN.
    const LUN_BACKEND* backend;     // creation

    // Image-file state (adapter/image/): written by CreateLun before the record is published and
    // by the backend's Close at removal; the image record guards its tables with its own lock.
    HANDLE fileHandle;              // kernel handle, synchronous and unbuffered
    PFILE_OBJECT fileObject;        // referenced for the life of the LUN
    UNICODE_STRING filePath;        // buffer from pool, tag ZV_TAG_LUEXT
    struct _ZV_IMAGE* image;        // the open container (format 0 when the file is served raw)
    UCHAR imageFormatInUse;         // the container opened; clear: the file is the disk

    // Held READs (PendingReads.cpp): pendingReads under pendingLock (DISPATCH_LEVEL).
    KEVENT activatedEvent;          // notification, signalled once by WakeupPendingReads
    LIST_ENTRY pendingReads;        // SrbExt::pendingLink, oldest first
    KSPIN_LOCK pendingLock;
    KTIMER pendingTimer;            // PendingReadTimeout every 5 s
    KDPC pendingDpc;
    volatile LONG pendingTimerArmed;   // interlocked; the activation paths cancel the timer once

    // Block cache (Cache*.cpp).
    ZV_CACHE cache;
};

FORCEINLINE BOOLEAN LuHandshakeDone(LuExt* lu) { return WpFlag(&lu->session.handshakeDone); }
FORCEINLINE BOOLEAN LuConnected(LuExt* lu) { return WpFlag(&lu->session.connected); }
FORCEINLINE BOOLEAN LuReadOnly(LuExt* lu) { return WpFlag(&lu->session.readOnly); }
FORCEINLINE BOOLEAN LuSuperUser(LuExt* lu) { return WpFlag(&lu->session.superUser); }
FORCEINLINE BOOLEAN LuRemoving(LuExt* lu) { return WpFlag(&lu->session.removing); }
// targetSize is written by the handshake on another thread; a 64-bit aligned read is atomic on
// x64 and the interlocked read keeps the host's race checker informed.
FORCEINLINE ULONGLONG LuTargetSize(LuExt* lu) {
    return (ULONGLONG)InterlockedCompareExchange64((volatile LONG64*)&lu->session.targetSize, 0, 0);
}
// A write is refused on a read-only image unless the session is in super-user mode.
FORCEINLINE BOOLEAN LuWriteProtected(LuExt* lu) { return LuReadOnly(lu) && !LuSuperUser(lu); }

// The magic check every path applies to a LuExt pointer it got from elsewhere (SRB extension,
// LUN table): non-null, in the kernel half of the address space, and still 'ZELK'.
FORCEINLINE BOOLEAN LuExtIsLive(const LuExt* lu) {
    return lu != NULL && (ULONG_PTR)lu >= (ULONG_PTR)MM_SYSTEM_RANGE_START &&
           *(volatile const ULONG*)&lu->magic == ZV_LUEXT_MAGIC;
}

// ---------------------------------------------------------------------------------------------
// SrbExt: per request, supplied by the port driver, valid until the request is completed.

struct WORKITEM_POOL_ENTRY;

struct SrbExt {
    PSCSI_REQUEST_BLOCK srb;
    LuExt* lun;
    AdapterExt* adapter;
    PIO_WORKITEM workItem;
    PDEVICE_OBJECT device;
    WORKITEM_POOL_ENTRY* poolEntry;   // NULL when the work item was allocated for this request
    ULONGLONG offset;                  // bytes on the LUN
    ULONG length;                      // bytes; 0 = flush
    PVOID data;
    PVOID bounceAllocation;            // freed by the worker by bounceKind, or NULL
    UCHAR isWrite;
    UCHAR forceUnitAccess;
    LIST_ENTRY pendingLink;            // LuExt::pendingReads, under pendingLock
    UCHAR cdbLength;
    UCHAR bounceKind;
    ULONGLONG enqueueTick;
    // WRITE SAME: data holds min(total, 16 MiB) bytes of the repeated pattern and the worker
    // writes `writeSameTotal` bytes from offset in pieces of at most that size (0 otherwise).
    ULONGLONG writeSameTotal;
};

// ---------------------------------------------------------------------------------------------
// The work-item pool: a lock-free stack of pre-allocated work items owned by the control device.

struct DECLSPEC_ALIGN(16) WORKITEM_POOL_ENTRY {
    SLIST_ENTRY link;
    PIO_WORKITEM workItem;
    ULONG index;
};

typedef struct _WORKITEM_POOL {
    SLIST_HEADER freeList;                                  // interlocked
    WORKITEM_POOL_ENTRY* entries[ZV_WORKITEM_POOL_SIZE];    // HwStorInitialize / teardown only
    volatile LONG hits;                                     // interlocked
    volatile LONG misses;                                   // interlocked
} WORKITEM_POOL;

// ---------------------------------------------------------------------------------------------
// The LUN table

struct LunSlot {
    UCHAR present;
    UCHAR present2;      // set and cleared together with present
    LuExt* luExt;
    ULONG lunId;
};

// Diagnostic counters; interlocked, read only by the diagnostics control request.
typedef struct _ZV_ADAPTER_DIAG {
    volatile LONG findAdapterCalls;
    volatile LONG initializeCalls;
    volatile LONG buildIoCalls;
    volatile LONG startIoCalls;
    volatile LONG executeScsiCalls;
    volatile LONG resetBusCalls;
    volatile LONG adapterControlCalls;
    volatile LONG reads;
    volatile LONG writes;
    volatile LONG writesRefused;
    volatile LONG writeSames;
    volatile LONG requestsQueued;
    volatile LONG queueFailures;
    volatile LONG workerRuns;
    volatile LONG workerInvalidLun;
    volatile LONG workerRemovedLun;
    volatile LONG heldReads;
    volatile LONG expiredReads;
    volatile LONG64 lastReadLba;
    volatile LONG lastReadBlocks;
    volatile LONG lastReadTargetSizeLow;
    volatile LONG64 lastWriteLba;
    volatile LONG lastWriteBlocks;
    PVOID volatile lastWriteBuffer;
    volatile LONG64 lastWriteFirstBytes;
    volatile LONG lastSrbStatus;
    LuExt* volatile lastLuExt;
    HANDLE volatile lastFileHandle;
    volatile LONG lastMagic;
    HANDLE volatile lastProcessId;
    volatile LONG lastFileWriteBytes;
    volatile LONG lastOpcode;
    // Per CDB operation code; reported as a wrapping 8-bit counter (the low byte). Counted in
    // 32 bits because HwStorBuildIo runs on several processors at once and there is no
    // interlocked 8-bit increment in every header set.
    volatile LONG opcodeCounts[256];
} ZV_ADAPTER_DIAG;

// ---------------------------------------------------------------------------------------------
// AdapterExt: the port driver's device extension, zero-filled by VirtualHwFindAdapter.

struct AdapterExt {
    PVOID reserved;
    PDEVICE_OBJECT controlDevice;          // creation (FindAdapter)

    // LUN table: lunTable and lunCreationCounter under lunTableLock. Lookups read a slot without
    // the lock and rely on the magic check.
    LunSlot lunTable[ZV_MAX_LUNS];
    KSPIN_LOCK lunTableLock;
    volatile LONG lunCreationCounter;      // interlocked

    volatile UCHAR unloading;              // set by HwFreeAdapterResources
    UCHAR parametersCopied;

    // Copies of the driver parameters at adapter start.
    WCHAR serverIp[ZV_ADDRESS_CHARS];
    USHORT serverPort;
    WCHAR targetIqn[ZV_IQN_CHARS];
    WCHAR clientId[ZV_CLIENT_ID_CHARS];

    volatile LONG outstandingWorkers;      // interlocked; +1 before queueing, -1 last in the worker

    // Lookaside lists (HwStorInitialize, HwFreeAdapterResources).
    BOOLEAN listsInitialized;
    NPAGED_LOOKASIDE_LIST bounce16k;
    NPAGED_LOOKASIDE_LIST bounce64k;
    NPAGED_LOOKASIDE_LIST bounce256k;

    WORKITEM_POOL workItemPool;

    ZV_ADAPTER_DIAG diag;
};

// The control device's extension (zeroed at creation).
typedef struct _ZV_CONTROL_EXTENSION {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    AdapterExt* volatile adapter;          // set by VirtualHwFindAdapter
} ZV_CONTROL_EXTENSION, *PZV_CONTROL_EXTENSION;

// ---------------------------------------------------------------------------------------------
// Driver-wide state. Pointers are read and written with interlocked (compare-)exchange.

extern AdapterExt* volatile g_AdapterExt;
extern PDEVICE_OBJECT volatile ControlDevice;
// The port driver's dispatch routines saved by DriverEntry, indexed by major function (create,
// close, read, write and device control are saved; the others stay NULL).
extern PDRIVER_DISPATCH volatile g_PortDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

// The auto-activation thread. ActivationThreadRunning is also the stop request: clearing it asks
// the thread to end. Both flags are read and written with interlocked operations.
extern PVOID volatile ActivationThreadObject;     // referenced PKTHREAD, or NULL
extern volatile LONG ActivationThreadRunning;
extern volatile LONG ActivationSucceeded;
// The routine the adapter start runs as the auto-activation thread (context: the AdapterExt):
// ZvActivationThread, which tests may replace; while it is NULL no thread can be started.
extern PKSTART_ROUTINE volatile g_ActivationThreadRoutine;
// KeGetPreviousMode as resolved by name at driver entry (a diagnostic for the file routines).
extern PVOID volatile g_KeGetPreviousMode;

// ---------------------------------------------------------------------------------------------
// Driver entry and dispatch (DriverEntry.cpp, DispatchWrappers.cpp)

extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS ZelkoCreateControlDevice(PDRIVER_OBJECT DriverObject);
// Resets the state that belongs to one load of the driver (DriverEntry).
VOID ZvResetLoadState(VOID);
VOID ScsiResetLoadCounters(VOID);
VOID ZelkoDeleteControlDevice(VOID);
// Passes a request that is not for the control device to the routine the port driver installed;
// without one it is completed with STATUS_NOT_SUPPORTED.
NTSTATUS ZvCallPortDispatch(UCHAR MajorFunction, PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZelkoDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZelkoDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZelkoDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZelkoDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ZelkoDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---------------------------------------------------------------------------------------------
// Port callbacks (HwAdapter.cpp, HwStartIo.cpp)

ULONG VirtualHwFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                           PVOID LowerDevice, PCHAR ArgumentString,
                           PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again);
BOOLEAN HwStorInitialize(PVOID DeviceExtension);
BOOLEAN HwResetBus(PVOID DeviceExtension, ULONG PathId);
SCSI_ADAPTER_CONTROL_STATUS HwStorAdapterControl(PVOID DeviceExtension, SCSI_ADAPTER_CONTROL_TYPE ControlType,
                                                 PVOID Parameters);
VOID HwFreeAdapterResources(PVOID DeviceExtension);
BOOLEAN HwStorBuildIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN HwStorStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);

// Stops the auto-activation thread: clears ActivationThreadRunning and waits at most TimeoutMs
// (0 = until it ends) for the thread object, then drops the reference. Returns FALSE when the
// thread did not end in time; the reference is then kept, so a later call can wait again (the
// caller logs its own line). PASSIVE_LEVEL.
BOOLEAN ZvStopActivationThread(ULONG TimeoutMs = 2000);
// Tells the port driver to rescan the bus (REPORT LUNS, INQUIRY, READ CAPACITY).
VOID ZvNotifyBusChange(AdapterExt* Adapter);
// Sets the statuses and the transferred length, then request-complete and next-request.
VOID ZvCompleteSrb(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR SrbStatus, UCHAR ScsiStatus,
                   ULONG Length);
// Check condition: fixed-format sense (when the request carries room for it), SCSI status 0x02,
// length 0, completed.
VOID ZvCompleteCheckCondition(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR SrbStatus,
                              UCHAR SenseKey, UCHAR Asc, UCHAR Ascq);

// ---------------------------------------------------------------------------------------------
// LUNs (Lun.cpp)

// Record NULL: the boot LUN from the driver parameters. Returns 0xFF (a non-negative value) with
// *Out NULL when the slot is already present. PASSIVE_LEVEL (file-backed LUNs open files).
NTSTATUS CreateLun(AdapterExt* Adapter, ULONG LunIndex, const CreateLunRecord* Record, LuExt** Out);
NTSTATUS DeleteLun(AdapterExt* Adapter, ULONG LunIndex);
LuExt* GetLun(AdapterExt* Adapter, UCHAR PathId, UCHAR TargetId, UCHAR Lun);
// GetLun plus a reference (see LuExt::ioRefs); every reference is dropped with LunDereference.
// Any IRQL up to DISPATCH_LEVEL.
LuExt* LunReference(AdapterExt* Adapter, UCHAR Lun);
// A further reference for a holder that already has one (queueing to a worker, holding a READ).
FORCEINLINE VOID LunAddReference(LuExt* Lu) { InterlockedIncrement(&Lu->ioRefs); }
FORCEINLINE VOID LunDereference(LuExt* Lu) { InterlockedDecrement(&Lu->ioRefs); }
// The serial number "ZV%06X" of the low 24 bits of lunId (8 characters, no terminator).
VOID LunSerial(const LuExt* Lu, CHAR Serial[8]);

// ---------------------------------------------------------------------------------------------
// SCSI (ScsiCommands.cpp, ScsiReadWrite.cpp)

// Returns TRUE when the request was completed, FALSE when it is pending (queued or held).
BOOLEAN ExecuteScsi(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu);
// INQUIRY for a LUN that does not exist (also used by HwStorBuildIo): 3F 00 00 00 00.
VOID ScsiInquiryNoDevice(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN ScsiReportLuns(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb);
BOOLEAN ScsiRead(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu);
BOOLEAN ScsiWrite(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu);
BOOLEAN ScsiWriteSame(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu);
BOOLEAN ScsiSynchronizeCache(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu);

// ---------------------------------------------------------------------------------------------
// I/O dispatch (IoWorker.cpp, PendingReads.cpp)

// TRUE: the request belongs to a worker now. FALSE: it was completed with HARDWARE ERROR and the
// caller still owns its bounce allocation.
BOOLEAN QueueIoWorker(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset,
                      ULONG Length, PVOID Data, BOOLEAN IsWrite, BOOLEAN ForceUnitAccess,
                      PVOID BounceAllocation, UCHAR BounceKind);
// WRITE SAME: Pattern holds PatternLength bytes (a multiple of 512, at most 16 MiB) of the
// repeated block, from pool; Total bytes are written from Offset in pieces of PatternLength.
BOOLEAN QueueWriteSameWorker(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset,
                             ULONGLONG Total, PVOID Pattern, ULONG PatternLength, BOOLEAN ForceUnitAccess,
                             PVOID Allocation);
// Frees a WRITE bounce allocation to the list it came from.
VOID ZvFreeBounce(AdapterExt* Adapter, PVOID Allocation, UCHAR Kind);
// Waits (1 ms polls, at most 2000) until no worker is outstanding. PASSIVE_LEVEL.
VOID ZvDrainWorkers(AdapterExt* Adapter);
VOID WorkItemPoolFill(AdapterExt* Adapter);
VOID WorkItemPoolFree(AdapterExt* Adapter);

// Holds a READ that arrived before activation (DISPATCH_LEVEL, from HwStorStartIo). Returns
// TRUE when the request was completed instead (LUN being removed, or no expiry timer running).
BOOLEAN HoldPendingRead(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu, ULONGLONG Offset,
                     ULONG Length);
VOID WakeupPendingReads(LuExt* Lu);
VOID FailPendingReads(LuExt* Lu);
KDEFERRED_ROUTINE PendingReadTimeout;
// Cancels the pending-read timer once (activation paths); returns TRUE if it was armed.
BOOLEAN ZvCancelPendingReadTimer(LuExt* Lu);

// ---------------------------------------------------------------------------------------------
// Block cache (Cache*.cpp). Every routine runs at PASSIVE_LEVEL.

// cacheSizeMb outside 256..4096 gives the default 1024 MB. Starts the LUN's flusher thread.
NTSTATUS CacheInit(LuExt* Lu, ULONG CacheSizeMb);
// Stops the flusher, writes back what is dirty (a second attempt for what fails; what still
// fails is reported as lost) and frees every block. Call it while the session can still reach
// the server: before ProtocolSession_Teardown.
VOID CacheTeardown(LuExt* Lu);
// Adapter stop, before the sockets close: stops the flusher and writes back what is dirty (with
// one more attempt for what fails). CacheTeardown reports what is still dirty afterwards.
VOID CacheShutdown(LuExt* Lu);
NTSTATUS CacheRead(LuExt* Lu, ULONGLONG Offset, ULONG Length, PVOID Buffer, PULONG BytesDone);
NTSTATUS CacheWrite(LuExt* Lu, ULONGLONG Offset, ULONG Length, const VOID* Data, PULONG BytesDone);
// Writes back every dirty block under the exclusive cache lock; fails when any could not be
// written.
NTSTATUS CacheFlush(LuExt* Lu);
// New image version (the session's clear routine, called inside the handshake): never waits for
// the cache lock. Every block is dropped by the next holder of the exclusive lock or by the
// flusher, which it wakes; written blocks are first written back when the session is writable.
VOID CacheDropAll(LuExt* Lu);
// Length 0: the whole cache. Dirty blocks in the range are written back first; one whose
// write-back fails stays cached and dirty and is not counted as dropped. Returns 0.
NTSTATUS CacheInvalidateRange(LuExt* Lu, ULONGLONG Offset, ULONGLONG Length, PULONGLONG Dropped,
                              PULONGLONG WrittenBack);
VOID CacheGetStatistics(LuExt* Lu, ULONGLONG Stats[ZV_CACHE_STAT_COUNT]);
// Reads the boot area (MBR, NTFS boot sector, start of the $MFT) through the cache once.
NTSTATUS PrefetchBoot(LuExt* Lu);
// The UDP channel's PushBlock handler (block offset, size, data): 1 when the block was taken.
ULONG PushBlock(ULONGLONG Offset, ULONG Size, const VOID* Data);
// Makes Lu the PushBlock target and registers PushBlock with the UDP channel.
VOID CacheRegisterPushBlock(LuExt* Lu);
