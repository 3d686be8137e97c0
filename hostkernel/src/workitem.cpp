// System worker threads: I/O work items, executive work items and internal PASSIVE_LEVEL jobs.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <deque>
#include <thread>

using hk::Fatal;

struct _IO_WORKITEM {
    ULONG Magic;
    BOOLEAN Queued;
    BOOLEAN FromPool;
    PVOID IoObject;                    // device object (or driver object for the Ex form)
    PIO_WORKITEM_ROUTINE Routine;
    PIO_WORKITEM_ROUTINE_EX RoutineEx;
    PVOID Context;
};

namespace hk {
namespace {

constexpr ULONG kWorkItemMagic = 0x6B576F49;   // "IoWk"
constexpr ULONG kWorkItemTag = 0x6B576F49;     // pool tag 'IoWk'
// Windows keeps a pool of critical worker threads and adds more while items wait behind busy
// ones; the host does the same between these bounds, so a driver that queues one work item per
// request gets as many of them running at once as it has requests (up to the maximum).
constexpr int kMinWorkers = 4;
constexpr int kMaxWorkers = 32;

enum class JobKind { IoItem, ExItem, Internal };
struct Job {
    JobKind kind;
    void* item;          // PIO_WORKITEM or PWORK_QUEUE_ITEM (for range checks)
    PVOID device;
    void (*internal)(void*);
    void* context;
};

struct WorkQueue {
    std::mutex lock;
    std::condition_variable cv;        // workers: a job was queued (one worker per job is woken)
    std::condition_variable idleCv;    // DrainWorkItems: the queue ran empty
    std::deque<Job> jobs;
    std::vector<PVOID> runningDevices;
    int running = 0;
    int workers = 0;
    int idle = 0;                      // workers not running a job (waiting, or not yet started)
    int drainWaiters = 0;
};

WorkQueue& W() {
    static auto* w = new WorkQueue;
    return *w;
}

void CheckPassiveAfter(const char* what, void* routine) {
    ThreadState& st = Current();
    if (st.irql != PASSIVE_LEVEL) Fatal("%s %p returned at IRQL %u", what, routine, st.irql);
    if (st.spinLocksHeld || st.fastMutexesHeld || st.resourcesHeld || st.criticalRegions || st.guardedRegions)
        Fatal("%s %p returned holding a lock or inside a critical region", what, routine);
}

void WorkerMain() {
    WorkQueue& w = W();
    std::unique_lock<std::mutex> lk(w.lock);
    for (;;) {
        w.cv.wait(lk, [&] { return !w.jobs.empty(); });
        w.idle--;
        Job job = w.jobs.front();
        w.jobs.pop_front();
        w.running++;
        w.runningDevices.push_back(job.device);
        void* routine = nullptr;
        PIO_WORKITEM ioItem = nullptr;
        PIO_WORKITEM_ROUTINE r = nullptr;
        PIO_WORKITEM_ROUTINE_EX rx = nullptr;
        PVOID ctx = nullptr;
        PWORKER_THREAD_ROUTINE exRoutine = nullptr;
        if (job.kind == JobKind::IoItem) {
            ioItem = (PIO_WORKITEM)job.item;
            ioItem->Queued = FALSE;   // from here the routine may requeue or free it
            r = ioItem->Routine;
            rx = ioItem->RoutineEx;
            ctx = ioItem->Context;
            routine = r ? (void*)r : (void*)rx;
        } else if (job.kind == JobKind::ExItem) {
            auto* item = (PWORK_QUEUE_ITEM)job.item;
            item->List.Flink = nullptr;
            exRoutine = item->WorkerRoutine;
            ctx = item->Parameter;
            routine = (void*)exRoutine;
        }
        lk.unlock();
        switch (job.kind) {
        case JobKind::IoItem:
            if (r) r((PDEVICE_OBJECT)job.device, ctx);
            else rx(job.device, ctx, ioItem);
            CheckPassiveAfter("work item routine", routine);
            break;
        case JobKind::ExItem:
            exRoutine(ctx);
            CheckPassiveAfter("executive work item routine", routine);
            break;
        case JobKind::Internal:
            job.internal(job.context);
            break;
        }
        lk.lock();
        w.running--;
        w.idle++;
        for (size_t i = 0; i < w.runningDevices.size(); i++)
            if (w.runningDevices[i] == job.device) {
                w.runningDevices.erase(w.runningDevices.begin() + (long)i);
                break;
            }
        if (w.drainWaiters && w.running == 0 && w.jobs.empty()) w.idleCv.notify_all();
    }
}

void Enqueue(const Job& job) {
    WorkQueue& w = W();
    {
        std::lock_guard<std::mutex> g(w.lock);
        auto spawn = [&] {
            w.workers++;
            w.idle++;
            std::thread(WorkerMain).detach();
        };
        while (w.workers < kMinWorkers) spawn();
        // Every worker busy or spoken for: the job would wait behind them, so one more thread.
        if (w.idle <= (int)w.jobs.size() && w.workers < kMaxWorkers) spawn();
        w.jobs.push_back(job);
    }
    // Woken after the lock is dropped: a worker woken while it is held would run only to block
    // on it again (the queuing thread is often preempted by the wake-up itself), two more
    // thread switches for every work item.
    w.cv.notify_one();
}

PIO_WORKITEM CheckItem(PIO_WORKITEM item, const char* api) {
    if (!item || item->Magic != kWorkItemMagic) Fatal("%s on %p, which is not an initialised work item", api, (void*)item);
    return item;
}

}  // namespace

void QueueWork(void (*routine)(void*), void* context) { Enqueue(Job{JobKind::Internal, nullptr, nullptr, routine, context}); }

long WorkItemsPendingFor(PDEVICE_OBJECT device) {
    WorkQueue& w = W();
    std::lock_guard<std::mutex> g(w.lock);
    long n = 0;
    for (auto& j : w.jobs)
        if (j.device == device) n++;
    for (PVOID d : w.runningDevices)
        if (d == device) n++;
    return n;
}

void CheckNoWorkItemsIn(const void* start, size_t size, const char* what) {
    WorkQueue& w = W();
    std::lock_guard<std::mutex> g(w.lock);
    for (auto& j : w.jobs)
        if (j.item && (const char*)j.item >= (const char*)start && (const char*)j.item < (const char*)start + size)
            Fatal("%s %p still contains queued work item %p", what, start, j.item);
}

namespace test {
void DrainWorkItems() {
    WorkQueue& w = W();
    std::unique_lock<std::mutex> lk(w.lock);
    w.drainWaiters++;
    w.idleCv.wait(lk, [&] { return w.jobs.empty() && w.running == 0; });
    w.drainWaiters--;
}
}  // namespace test

}  // namespace hk

extern "C" {

ULONG NTAPI IoSizeofWorkItem(VOID) { return sizeof(IO_WORKITEM); }

VOID NTAPI IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem) {
    if (!IoObject) Fatal("IoInitializeWorkItem without a device or driver object");
    memset(IoWorkItem, 0, sizeof *IoWorkItem);
    IoWorkItem->Magic = hk::kWorkItemMagic;
    IoWorkItem->IoObject = IoObject;
}

VOID NTAPI IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem) {
    hk::CheckItem(IoWorkItem, "IoUninitializeWorkItem");
    if (IoWorkItem->Queued) Fatal("IoUninitializeWorkItem of work item %p that is still queued", (void*)IoWorkItem);
    IoWorkItem->Magic = 0;
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!DeviceObject) Fatal("IoAllocateWorkItem(NULL): a work item needs a device object");
    auto* item = (PIO_WORKITEM)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), hk::kWorkItemTag);
    if (!item) return nullptr;
    IoInitializeWorkItem(DeviceObject, item);
    item->FromPool = TRUE;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    hk::CheckItem(IoWorkItem, "IoFreeWorkItem");
    bool queued;
    {
        std::lock_guard<std::mutex> g(hk::W().lock);
        queued = IoWorkItem->Queued;
    }
    if (queued) Fatal("IoFreeWorkItem of work item %p that is still queued", (void*)IoWorkItem);
    if (!IoWorkItem->FromPool) Fatal("IoFreeWorkItem of work item %p that was not allocated by IoAllocateWorkItem", (void*)IoWorkItem);
    IoWorkItem->Magic = 0;
    ExFreePoolWithTag(IoWorkItem, hk::kWorkItemTag);
}

static void QueueItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE r, PIO_WORKITEM_ROUTINE_EX rx, PVOID ctx, const char* api) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, api);
    hk::CheckItem(item, api);
    {
        std::lock_guard<std::mutex> g(hk::W().lock);
        if (item->Queued) Fatal("%s of work item %p that is already queued", api, (void*)item);
        item->Queued = TRUE;
        item->Routine = r;
        item->RoutineEx = rx;
        item->Context = ctx;
    }
    hk::Enqueue(hk::Job{hk::JobKind::IoItem, item, item->IoObject, nullptr, nullptr});
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    if (!WorkerRoutine) Fatal("IoQueueWorkItem without a routine");
    QueueItem(IoWorkItem, WorkerRoutine, nullptr, Context, "IoQueueWorkItem");
}

VOID NTAPI IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                             PVOID Context) {
    if (!WorkerRoutine) Fatal("IoQueueWorkItemEx without a routine");
    QueueItem(IoWorkItem, nullptr, WorkerRoutine, Context, "IoQueueWorkItemEx");
}

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExQueueWorkItem");
    {
        std::lock_guard<std::mutex> g(hk::W().lock);
        if (WorkItem->List.Flink != nullptr) Fatal("ExQueueWorkItem of item %p that is already queued", (void*)WorkItem);
        WorkItem->List.Flink = &WorkItem->List;
    }
    hk::Enqueue(hk::Job{hk::JobKind::ExItem, WorkItem, nullptr, nullptr, nullptr});
}

}  // extern "C"
