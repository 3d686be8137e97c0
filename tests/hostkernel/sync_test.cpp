// Waits, system threads, locks and work items across threads.
#include <ntddk.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

struct Waiter {
    PKEVENT event;
    std::atomic<int>* woken;
};

VOID NTAPI WaitOnEvent(PVOID ctx) {
    auto* w = (Waiter*)ctx;
    KeWaitForSingleObject(w->event, Executive, KernelMode, FALSE, nullptr);
    w->woken->fetch_add(1);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

HANDLE StartThread(PKSTART_ROUTINE routine, PVOID ctx) {
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &oa, nullptr, nullptr, routine, ctx), STATUS_SUCCESS);
    return h;
}

void JoinThread(HANDLE h) {
    PVOID obj;
    ASSERT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &obj, nullptr), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(KeWaitForSingleObject(obj, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(obj);
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSignal) {
    KEVENT ev;
    KeInitializeEvent(&ev, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    Waiter w{&ev, &woken};
    HANDLE a = StartThread(WaitOnEvent, &w), b = StartThread(WaitOnEvent, &w);
    KeSetEvent(&ev, 0, FALSE);
    for (int i = 0; i < 500 && woken.load() == 0; i++) {
        LARGE_INTEGER step = Relative(10);
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
    LARGE_INTEGER settle = Relative(100);   // time for a wrong second wake-up to show
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&ev), 0);   // consumed by the waiter
    KeSetEvent(&ev, 0, FALSE);
    JoinThread(a);
    JoinThread(b);
    EXPECT_EQ(woken.load(), 2);
}

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    Waiter w{&ev, &woken};
    HANDLE t[3];
    for (auto& h : t) h = StartThread(WaitOnEvent, &w);
    KeSetEvent(&ev, 0, FALSE);
    for (auto& h : t) JoinThread(h);
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
}

TEST(Waits, TimeoutsRelativeAbsoluteAndMultipleObjects) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER rel = Relative(50);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &rel), STATUS_TIMEOUT);
    EXPECT_GE(KeQueryInterruptTime() - before, 50u * 10000);
    LARGE_INTEGER abs;
    KeQuerySystemTime(&abs);
    abs.QuadPart += 30 * 10000;
    before = KeQueryInterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);
    EXPECT_GE(KeQueryInterruptTime() - before, 29u * 10000);

    KSEMAPHORE sem;
    KeInitializeSemaphore(&sem, 0, 2);
    PVOID objs[2] = {&ev, &sem};
    KeReleaseSemaphore(&sem, 0, 2, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr), STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateSemaphore(&sem), 1);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &rel, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateSemaphore(&sem), 1);   // a failed wait-all takes nothing
    KeSetEvent(&ev, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &rel, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&sem), 0);
}

TEST(Waits, FasterClockShortensLongDelays) {
    hk::test::SetClockRate(200.0);
    auto start = std::chrono::steady_clock::now();
    ULONGLONG v0 = KeQueryInterruptTime();
    LARGE_INTEGER twenty = Relative(20000);
    KeDelayExecutionThread(KernelMode, FALSE, &twenty);
    auto real = std::chrono::steady_clock::now() - start;
    hk::test::SetClockRate(1.0);
    EXPECT_GE(KeQueryInterruptTime() - v0, 20000u * 10000);
    EXPECT_LT(real, std::chrono::seconds(5));
}

VOID NTAPI ExitWithStatus(PVOID ctx) { PsTerminateSystemThread((NTSTATUS)(uintptr_t)ctx); }
VOID NTAPI JustReturn(PVOID ctx) { ((std::atomic<int>*)ctx)->store(1); }

TEST(Threads, ThreadObjectWaitedOnAfterItTerminatedIsSignalled) {
    (void)KeGetCurrentThread();   // this thread's own object exists before the count is taken
    long objects = hk::test::LiveObjects();
    std::atomic<int> ran{0};
    HANDLE h = StartThread(JustReturn, &ran);
    PVOID obj;
    ASSERT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &obj, nullptr), STATUS_SUCCESS);
    for (int i = 0; i < 500 && !PsIsThreadTerminating((PETHREAD)obj); i++) {
        LARGE_INTEGER step = Relative(10);
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
    ASSERT_TRUE(PsIsThreadTerminating((PETHREAD)obj));   // gone before anyone waits on it
    EXPECT_EQ(ran.load(), 1);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(obj, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(obj, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ZwClose(h);
    ObDereferenceObject(obj);
    EXPECT_EQ(hk::test::LiveObjects(), objects);

    h = StartThread(ExitWithStatus, (PVOID)(uintptr_t)STATUS_CANCELLED);
    EXPECT_EQ(ZwWaitForSingleObject(h, FALSE, nullptr), STATUS_SUCCESS);
    ZwClose(h);
    PVOID bogus;
    EXPECT_EQ(ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &bogus, nullptr), STATUS_INVALID_HANDLE);
}

VOID NTAPI ExitAtDispatch(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST(ThreadsDeathTest, ThreadEndingAbovePassiveIsFatal) {
    EXPECT_DEATH(
        {
            HANDLE h = StartThread(ExitAtDispatch, nullptr);
            ZwWaitForSingleObject(h, FALSE, nullptr);
        },
        "system thread returned at IRQL 2");
}

struct ResourceProbe {
    PERESOURCE resource;
    std::atomic<int> phase{0};
    BOOLEAN got = FALSE;
    bool shared = true;
};

VOID NTAPI AcquireAndHold(PVOID ctx) {
    auto* p = (ResourceProbe*)ctx;
    KeEnterCriticalRegion();
    p->got = p->shared ? ExAcquireResourceSharedLite(p->resource, TRUE) : ExAcquireResourceExclusiveLite(p->resource, TRUE);
    p->phase = 1;
    while (p->phase.load() != 2) std::this_thread::yield();
    ExReleaseResourceLite(p->resource);
    KeLeaveCriticalRegion();
}

TEST(Resources, SharedOwnersCoexistAndExclusiveWaitsForThemAll) {
    ERESOURCE r;
    ExInitializeResourceLite(&r);
    ResourceProbe other;
    other.resource = &r;
    HANDLE h = StartThread(AcquireAndHold, &other);
    while (other.phase.load() != 1) std::this_thread::yield();
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, FALSE));   // shared with the other thread
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 1u);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r));
    ExReleaseResourceLite(&r);
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&r, FALSE));   // the other thread still holds it
    other.phase = 2;
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&r));
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, FALSE));   // recursive
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, FALSE));      // exclusive owner may take it shared
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    KeLeaveCriticalRegion();
    JoinThread(h);
    ExDeleteResourceLite(&r);
}

TEST(Resources, WaitingExclusiveBlocksNewSharedUnlessStarving) {
    ERESOURCE r;
    ExInitializeResourceLite(&r);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));
    ResourceProbe writer;
    writer.resource = &r;
    writer.shared = false;
    HANDLE h = StartThread(AcquireAndHold, &writer);
    while (ExGetExclusiveWaiterCount(&r) == 0) std::this_thread::yield();
    // Another thread asking for shared access now must queue behind the writer...
    std::atomic<int> sharedResult{-1};
    std::thread t([&] {
        KeEnterCriticalRegion();
        sharedResult = ExAcquireResourceSharedLite(&r, FALSE);
        if (sharedResult) ExReleaseResourceLite(&r);
        BOOLEAN starve = ExAcquireSharedStarveExclusive(&r, FALSE);   // ...unless it starves writers
        if (starve) ExReleaseResourceLite(&r);
        sharedResult = sharedResult * 10 + starve;
        KeLeaveCriticalRegion();
    });
    t.join();
    EXPECT_EQ(sharedResult.load(), 1);   // shared refused (0), starve-exclusive granted (1)
    ExReleaseResourceLite(&r);
    while (writer.phase.load() != 1) std::this_thread::yield();
    EXPECT_TRUE(writer.got);
    writer.phase = 2;
    JoinThread(h);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&r);
}

TEST(Resources, SharedOwnerReacquiresPastAWaitingWriterAndAnotherThreadMayRelease) {
    ERESOURCE r;
    ExInitializeResourceLite(&r);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));
    ResourceProbe writer;
    writer.resource = &r;
    writer.shared = false;
    HANDLE h = StartThread(AcquireAndHold, &writer);
    while (ExGetExclusiveWaiterCount(&r) == 0) std::this_thread::yield();
    // A shared owner asking again is granted at once: queuing it behind the writer would deadlock.
    EXPECT_TRUE(ExAcquireResourceSharedLite(&r, FALSE));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 2u);
    ExReleaseResourceLite(&r);
    // Released on this thread's behalf by another one: the writer gets it.
    ERESOURCE_THREAD me = ExGetCurrentResourceThread();
    std::thread([&] { ExReleaseResourceForThreadLite(&r, me); }).join();
    while (writer.phase.load() != 1) std::this_thread::yield();
    EXPECT_TRUE(writer.got);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 0u);
    writer.phase = 2;
    JoinThread(h);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&r);
}

struct ResourceMix {
    ERESOURCE r;
    std::atomic<int> readers{0};
    std::atomic<int> writers{0};
    std::atomic<int> violations{0};
    long long value = 0;   // written only by exclusive owners
};

VOID NTAPI MixReadersAndWriters(PVOID ctx) {
    auto* m = (ResourceMix*)ctx;
    for (int i = 0; i < 2000; i++) {
        KeEnterCriticalRegion();
        if (i % 5 == 0) {
            ExAcquireResourceExclusiveLite(&m->r, TRUE);
            if (m->writers.fetch_add(1) != 0 || m->readers.load() != 0) m->violations++;
            m->value++;
            m->writers.fetch_sub(1);
        } else {
            ExAcquireResourceSharedLite(&m->r, TRUE);
            m->readers.fetch_add(1);
            if (m->writers.load() != 0) m->violations++;
            volatile long long seen = m->value;
            (void)seen;
            m->readers.fetch_sub(1);
        }
        ExReleaseResourceLite(&m->r);
        KeLeaveCriticalRegion();
    }
}

TEST(Resources, ReadersAndWritersOfManyThreadsNeverOverlap) {
    ResourceMix m;
    ExInitializeResourceLite(&m.r);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 6; i++) threads.push_back(StartThread(MixReadersAndWriters, &m));
    for (HANDLE h : threads) JoinThread(h);
    EXPECT_EQ(m.violations.load(), 0);
    EXPECT_EQ(m.value, 6 * 400);
    ExDeleteResourceLite(&m.r);
}

struct Counter {
    KSPIN_LOCK spin;
    FAST_MUTEX mutex;
    long value = 0;
    bool useMutex = false;
};

VOID NTAPI Bump(PVOID ctx) {
    auto* c = (Counter*)ctx;
    for (int i = 0; i < 2000; i++) {
        if (c->useMutex) {
            ExAcquireFastMutex(&c->mutex);
            c->value++;
            ExReleaseFastMutex(&c->mutex);
        } else {
            KIRQL old;
            KeAcquireSpinLock(&c->spin, &old);
            c->value++;
            KeReleaseSpinLock(&c->spin, old);
        }
    }
}

TEST(Locks, SpinLocksAndFastMutexesExcludeEachOther) {
    for (bool mutex : {false, true}) {
        Counter c;
        KeInitializeSpinLock(&c.spin);
        ExInitializeFastMutex(&c.mutex);
        c.useMutex = mutex;
        std::vector<HANDLE> threads;
        for (int i = 0; i < 4; i++) threads.push_back(StartThread(Bump, &c));
        for (HANDLE h : threads) JoinThread(h);
        EXPECT_EQ(c.value, 8000) << (mutex ? "fast mutex" : "spin lock");
    }
}

struct WorkProbe {
    PIO_WORKITEM item;
    std::atomic<int> runs{0};
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    bool freeInRoutine = false;
};

VOID NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID ctx) {
    auto* p = (WorkProbe*)ctx;
    p->irql = KeGetCurrentIrql();
    p->device = device;
    if (p->freeInRoutine) IoFreeWorkItem(p->item);
    p->runs++;
}

alignas(16) char g_fakeDevice[512];   // the work-item code only passes the pointer through

TEST(WorkItems, RunAtPassiveOnAWorkerAndMayFreeThemselves) {
    uint64_t mark = hk::test::PoolMark();
    auto* dev = (PDEVICE_OBJECT)g_fakeDevice;
    WorkProbe p;
    p.item = IoAllocateWorkItem(dev);
    ASSERT_NE(p.item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);   // queued from DISPATCH_LEVEL, as from a DPC
    IoQueueWorkItem(p.item, WorkRoutine, DelayedWorkQueue, &p);
    KeLowerIrql(old);
    hk::test::DrainWorkItems();
    EXPECT_EQ(p.runs.load(), 1);
    EXPECT_EQ(p.irql, PASSIVE_LEVEL);
    EXPECT_EQ(p.device, dev);
    p.freeInRoutine = true;
    IoQueueWorkItem(p.item, WorkRoutine, DelayedWorkQueue, &p);
    hk::test::DrainWorkItems();
    EXPECT_EQ(p.runs.load(), 2);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "");
}

struct Rendezvous {
    static constexpr int kItems = 12;   // more than the four workers the queue starts with
    KEVENT allStarted;
    std::atomic<int> started{0};
    std::atomic<int> sawAll{0};
};

VOID NTAPI RendezvousRoutine(PDEVICE_OBJECT, PVOID ctx) {
    auto* r = (Rendezvous*)ctx;
    if (r->started.fetch_add(1) + 1 == Rendezvous::kItems) KeSetEvent(&r->allStarted, 0, FALSE);
    LARGE_INTEGER bound = Relative(30000);
    if (KeWaitForSingleObject(&r->allStarted, Executive, KernelMode, FALSE, &bound) == STATUS_SUCCESS) r->sawAll++;
}

// Windows runs critical work items on many worker threads: items that block (as a driver's
// network reads do) do not hold back the ones queued after them.
TEST(WorkItems, BlockedItemsDoNotHoldBackLaterOnes) {
    auto* dev = (PDEVICE_OBJECT)g_fakeDevice;
    Rendezvous r;
    KeInitializeEvent(&r.allStarted, NotificationEvent, FALSE);
    std::vector<PIO_WORKITEM> items;
    for (int i = 0; i < Rendezvous::kItems; i++) {
        items.push_back(IoAllocateWorkItem(dev));
        IoQueueWorkItem(items.back(), RendezvousRoutine, CriticalWorkQueue, &r);
    }
    hk::test::DrainWorkItems();
    EXPECT_EQ(r.sawAll.load(), Rendezvous::kItems);
    for (PIO_WORKITEM item : items) IoFreeWorkItem(item);
}

struct TwoEvents {
    KEVENT a, b;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};

VOID NTAPI WaitAnyOfTwo(PVOID ctx) {
    auto* t = (TwoEvents*)ctx;
    PVOID objs[2] = {&t->a, &t->b};
    LARGE_INTEGER bound = Relative(30000);
    t->status = KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, &bound, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A waiter sleeps until one of the objects it waits for changes: the second of two wakes it.
TEST(Waits, BlockedWaitAnyWakesOnTheSecondObject) {
    TwoEvents t;
    KeInitializeEvent(&t.a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&t.b, SynchronizationEvent, FALSE);
    HANDLE h = StartThread(WaitAnyOfTwo, &t);
    LARGE_INTEGER pause = Relative(20);
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    KeSetEvent(&t.b, 0, FALSE);
    JoinThread(h);
    EXPECT_EQ(t.status, STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&t.b), 0);   // consumed by the waiter
}

VOID NTAPI SlowRoutine(PDEVICE_OBJECT, PVOID ctx) {
    auto* gate = (std::atomic<int>*)ctx;
    while (gate->load() == 0) std::this_thread::yield();
}

TEST(WorkItemsDeathTest, QueuingTwiceOrFreeingWhileQueuedIsFatal) {
    EXPECT_DEATH(
        {
            static std::atomic<int> gate{0};
            auto* dev = (PDEVICE_OBJECT)g_fakeDevice;
            PIO_WORKITEM blocker[8];
            for (auto& b : blocker) {   // occupy every worker so the next item stays queued
                b = IoAllocateWorkItem(dev);
                IoQueueWorkItem(b, SlowRoutine, DelayedWorkQueue, &gate);
            }
            PIO_WORKITEM item = IoAllocateWorkItem(dev);
            IoQueueWorkItem(item, SlowRoutine, DelayedWorkQueue, &gate);
            IoQueueWorkItem(item, SlowRoutine, DelayedWorkQueue, &gate);
        },
        "already queued");
}

}  // namespace

namespace {

struct PoolChurn {
    NPAGED_LOOKASIDE_LIST list;
    std::atomic<int> failures{0};
};

VOID NTAPI Churn(PVOID ctx) {
    auto* c = (PoolChurn*)ctx;
    for (int i = 0; i < 500; i++) {
        auto* a = (UCHAR*)ExAllocateFromNPagedLookasideList(&c->list);
        auto* b = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 16 + (i % 64), 'nrhC');
        if (!a || !b) {
            c->failures++;
            continue;
        }
        memset(a, i, 64);
        memset(b, i, 16);
        ExFreePoolWithTag(b, 'nrhC');
        ExFreeToNPagedLookasideList(&c->list, a);
    }
}

TEST(Pool, ConcurrentAllocationsFromThreadsAndALookasideList) {
    uint64_t mark = hk::test::PoolMark();
    PoolChurn c;
    ExInitializeNPagedLookasideList(&c.list, nullptr, nullptr, POOL_NX_ALLOCATION, 64, 'kooL', 0);
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; i++) threads.push_back(StartThread(Churn, &c));
    for (HANDLE h : threads) JoinThread(h);
    ExDeleteNPagedLookasideList(&c.list);
    EXPECT_EQ(c.failures.load(), 0);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "");
}

}  // namespace
