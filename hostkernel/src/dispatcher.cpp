// Clock, dispatcher objects, waits, timers and DPCs.
//
// One dispatcher lock guards every wait. A waiting thread names the objects it waits for (its
// wait keys) and sleeps on a condition variable of its own; a state change wakes the threads
// that wait for that object, and each re-checks its own condition. Waking every waiter on every
// change (one shared condition variable) was simpler, but with a few threads blocked in socket
// calls each event set woke all of them and the DPC thread: a context switch storm per request.
// A clock change still wakes everybody, which keeps the virtual clock easy. Timers and DPCs are
// run by one DPC thread at DISPATCH_LEVEL.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <chrono>
#include <thread>
#include <time.h>

namespace hk {
namespace {

constexpr UCHAR kInitMarker = 0xA5;
constexpr UCHAR kDpcType = 19;  // DpcObject

// A thread inside WaitStep: woken by a change of any of its keys, by a broadcast, and (when
// `any`) by every change.
struct Waiter {
    std::condition_variable cv;
    const void* const* keys = nullptr;
    ULONG count = 0;
    bool any = false;
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
};

struct Dispatcher {
    std::mutex lock;
    Waiter waiters;              // sentinel of the list of waiting threads
    LIST_ENTRY timers;           // inserted KTIMERs (TimerListEntry)
    LIST_ENTRY dpcs;             // queued KDPCs (DpcListEntry), FIFO
    uint64_t nextDpcSeq = 1;
    uint64_t runningDpcSeq = 0;
    bool dpcThreadStarted = false;
    Dispatcher() {
        InitializeListHead(&timers);
        InitializeListHead(&dpcs);
        waiters.prev = waiters.next = &waiters;
    }
};

Dispatcher& D() {
    static Dispatcher* d = new Dispatcher;  // never destroyed: threads may still wait at exit
    return *d;
}

struct Clock {
    std::mutex lock;
    double rate = 1.0;
    int64_t virtBase = 0;  // interrupt time at realBase
    std::chrono::steady_clock::time_point realBase = std::chrono::steady_clock::now();
    int64_t bootSystemTime = 0;
    Clock() {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        // 100 ns intervals between 1601-01-01 and 1970-01-01.
        bootSystemTime = 116444736000000000LL + (int64_t)ts.tv_sec * 10000000LL + ts.tv_nsec / 100;
    }
};

Clock& C() {
    static Clock* c = new Clock;
    return *c;
}

int64_t InterruptTimeLocked(Clock& c) {
    auto real = std::chrono::steady_clock::now() - c.realBase;
    int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(real).count();
    return c.virtBase + (int64_t)((double)ns * c.rate / 100.0);
}

void StartDpcThreadLocked();

}  // namespace

int64_t InterruptTime() {
    Clock& c = C();
    std::lock_guard<std::mutex> g(c.lock);
    return InterruptTimeLocked(c);
}

int64_t SystemTimeAt(int64_t interruptTime) { return C().bootSystemTime + interruptTime; }
int64_t InterruptTimeOfSystemTime(int64_t systemTime) { return systemTime - C().bootSystemTime; }

int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout) {
    if (!timeout) return kForever;
    int64_t t = timeout->QuadPart;
    if (t < 0) {
        int64_t now = InterruptTime();
        if (t == INT64_MIN || now > INT64_MAX + t) return kForever;
        return now - t;
    }
    return InterruptTimeOfSystemTime(t);
}

// Wait keys of the DPC thread (the DPC queue and the timer list changed) and of
// KeFlushQueuedDpcs (a DPC finished or was removed).
const void* DpcQueueKey() { return &D().dpcs; }
const void* DpcDoneKey() { return &D().runningDpcSeq; }

std::mutex& DispatcherLock() { return D().lock; }

void DispatcherBroadcast() {
    Waiter& head = D().waiters;
    for (Waiter* w = head.next; w != &head; w = w->next) w->cv.notify_one();
}

void DispatcherWake(const void* key) {
    Waiter& head = D().waiters;
    for (Waiter* w = head.next; w != &head; w = w->next) {
        bool match = w->any;
        for (ULONG i = 0; i < w->count && !match; i++) match = w->keys[i] == key;
        if (match) w->cv.notify_one();
    }
}

namespace {

// Links the calling thread's waiter in for one wait step (the dispatcher lock is held).
struct WaiterScope {
    Waiter w;
    WaiterScope(const void* const* keys, ULONG count, bool any) {
        w.keys = keys;
        w.count = count;
        w.any = any;
        Waiter& head = D().waiters;
        w.prev = head.prev;
        w.next = &head;
        head.prev->next = &w;
        head.prev = &w;
    }
    ~WaiterScope() {
        w.prev->next = w.next;
        w.next->prev = w.prev;
    }
};

}  // namespace

bool WaitStep(std::unique_lock<std::mutex>& lk, int64_t deadline) { return WaitStepOn(lk, deadline, nullptr, 0, true); }

bool WaitStepOn(std::unique_lock<std::mutex>& lk, int64_t deadline, const void* const* keys, ULONG count, bool any) {
    WaiterScope scope(keys, count, any);
    if (deadline == kForever) {
        scope.w.cv.wait(lk);
        return true;
    }
    double rate;
    int64_t now;
    {
        Clock& c = C();
        std::lock_guard<std::mutex> g(c.lock);
        now = InterruptTimeLocked(c);
        rate = c.rate;
    }
    if (now >= deadline) return false;
    double realNs = (double)(deadline - now) * 100.0 / rate;
    if (realNs > 3.6e12) realNs = 3.6e12;
    scope.w.cv.wait_for(lk, std::chrono::nanoseconds((int64_t)realNs + 1));
    return true;
}

void SignalObjectLocked(DISPATCHER_HEADER* header, LONG state) {
    header->SignalState = state;
    DispatcherWake(header);
}

// ---------------------------------------------------------------------------------------------
// Wait helpers (dispatcher lock held)

namespace {

void CheckInitialized(DISPATCHER_HEADER* h, const char* api) {
    if (h->Reserved1 != kInitMarker || h->Type > TimerSynchronizationObject)
        Fatal("%s on object %p that was never initialised (type %u)", api, (void*)h, h->Type);
}

bool IsSignaledLocked(DISPATCHER_HEADER* h, PKTHREAD me) {
    if (h->Type == MutantObject) {
        PKMUTEX m = (PKMUTEX)h;
        return h->SignalState > 0 || m->OwnerThread == me;
    }
    return h->SignalState > 0;
}

void ConsumeLocked(DISPATCHER_HEADER* h, PKTHREAD me) {
    switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        h->SignalState--;
        break;
    case MutantObject: {
        PKMUTEX m = (PKMUTEX)h;
        h->SignalState--;
        m->OwnerThread = me;
        Current().criticalRegions++;   // owning a mutex disables normal kernel APCs
        break;
    }
    default:
        break;   // notification objects and threads stay signalled
    }
}

NTSTATUS WaitObjects(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout, const char* api) {
    bool zero = timeout && timeout->QuadPart == 0;
    RequireIrqlAtMost(zero ? DISPATCH_LEVEL : APC_LEVEL, api);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) Fatal("%s with %u objects", api, count);
    PKTHREAD me = KeGetCurrentThread();
    int64_t deadline = DeadlineFromTimeout(timeout);
    std::unique_lock<std::mutex> lk(DispatcherLock());
    for (ULONG i = 0; i < count; i++) CheckInitialized((DISPATCHER_HEADER*)objects[i], api);
    NTSTATUS result = STATUS_TIMEOUT;
    auto ready = [&]() -> bool {
        if (type == WaitAny) {
            for (ULONG i = 0; i < count; i++) {
                auto* h = (DISPATCHER_HEADER*)objects[i];
                if (IsSignaledLocked(h, me)) {
                    ConsumeLocked(h, me);
                    result = STATUS_WAIT_0 + (NTSTATUS)i;
                    return true;
                }
            }
            return false;
        }
        for (ULONG i = 0; i < count; i++)
            if (!IsSignaledLocked((DISPATCHER_HEADER*)objects[i], me)) return false;
        for (ULONG i = 0; i < count; i++) ConsumeLocked((DISPATCHER_HEADER*)objects[i], me);
        result = STATUS_SUCCESS;
        return true;
    };
    // The keys are the objects' headers, which is where every signal names them.
    if (!WaitLockedOn(lk, deadline, (const void* const*)objects, count, ready)) return STATUS_TIMEOUT;
    return result;
}

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state) {
    h->Type = type;
    h->Signalling = 0;
    h->Size = 0;
    h->Reserved1 = kInitMarker;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}

}  // namespace

void InitThreadHeader(DISPATCHER_HEADER* h) { InitHeader(h, ThreadObject, 0); }

// ---------------------------------------------------------------------------------------------
// Timers and DPCs (dispatcher lock held)

namespace {

bool TimerInsertedLocked(PKTIMER t) { return t->TimerListEntry.Flink != nullptr; }

void TimerRemoveLocked(PKTIMER t) {
    RemoveEntryList(&t->TimerListEntry);
    t->TimerListEntry.Flink = t->TimerListEntry.Blink = nullptr;
}

bool DpcQueuedLocked(PKDPC dpc) { return dpc->DpcData != nullptr; }

bool QueueDpcLocked(PKDPC dpc, PVOID a1, PVOID a2) {
    if (dpc->Type != kDpcType) Fatal("KeInsertQueueDpc of DPC %p that was never initialised", (void*)dpc);
    if (DpcQueuedLocked(dpc)) return false;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcData = (PVOID)(uintptr_t)D().nextDpcSeq++;
    InsertTailList(&D().dpcs, &dpc->DpcListEntry);
    StartDpcThreadLocked();
    DispatcherWake(DpcQueueKey());
    return true;
}

void ExpireTimersLocked(int64_t now) {
    Dispatcher& d = D();
    PLIST_ENTRY e = d.timers.Flink;
    while (e != &d.timers) {
        PKTIMER t = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        e = e->Flink;
        if ((int64_t)t->DueTime.QuadPart > now) continue;
        int64_t due = (int64_t)t->DueTime.QuadPart;
        TimerRemoveLocked(t);
        t->Header.SignalState = 1;
        DispatcherWake(&t->Header);   // threads waiting on the timer itself
        if (t->Period > 0) {
            int64_t period = (int64_t)t->Period * 10000;
            int64_t next = due + period;
            if (next <= now) next = now + period;   // missed expiries are not replayed
            t->DueTime.QuadPart = (ULONGLONG)next;
            InsertTailList(&d.timers, &t->TimerListEntry);
        }
        if (t->Dpc) {
            LARGE_INTEGER st;
            st.QuadPart = SystemTimeAt(now);
            QueueDpcLocked(t->Dpc, (PVOID)(uintptr_t)st.LowPart, (PVOID)(uintptr_t)(ULONG)st.HighPart);
        }
    }
}

int64_t EarliestDueLocked() {
    Dispatcher& d = D();
    int64_t best = kForever;
    for (PLIST_ENTRY e = d.timers.Flink; e != &d.timers; e = e->Flink) {
        PKTIMER t = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if ((int64_t)t->DueTime.QuadPart < best) best = (int64_t)t->DueTime.QuadPart;
    }
    return best;
}

void DpcThreadMain() {
    ThreadState& st = Current();
    st.dpcThread = true;
    Dispatcher& d = D();
    std::unique_lock<std::mutex> lk(d.lock);
    for (;;) {
        ExpireTimersLocked(InterruptTime());
        if (!IsListEmpty(&d.dpcs)) {
            PLIST_ENTRY e = RemoveHeadList(&d.dpcs);
            PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            d.runningDpcSeq = (uint64_t)(uintptr_t)dpc->DpcData;
            dpc->DpcData = nullptr;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID ctx = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
            lk.unlock();
            st.irql = DISPATCH_LEVEL;
            routine(dpc, ctx, a1, a2);
            if (st.irql != DISPATCH_LEVEL)
                Fatal("DPC routine %p returned at IRQL %u (must stay at DISPATCH_LEVEL)", (void*)routine, st.irql);
            if (st.spinLocksHeld != 0)
                Fatal("DPC routine %p returned holding %d spin lock(s)", (void*)routine, st.spinLocksHeld);
            lk.lock();
            d.runningDpcSeq = 0;
            DispatcherWake(DpcDoneKey());
            continue;
        }
        const void* key = DpcQueueKey();
        WaitStepOn(lk, EarliestDueLocked(), &key, 1, false);
    }
}

void StartDpcThreadLocked() {
    Dispatcher& d = D();
    if (d.dpcThreadStarted) return;
    d.dpcThreadStarted = true;
    std::thread(DpcThreadMain).detach();
}

}  // namespace

void CheckNoActiveTimersIn(const void* start, size_t size, const char* what) {
    auto inside = [&](const void* p) {
        return (const char*)p >= (const char*)start && (const char*)p < (const char*)start + size;
    };
    std::lock_guard<std::mutex> g(DispatcherLock());
    Dispatcher& d = D();
    for (PLIST_ENTRY e = d.timers.Flink; e != &d.timers; e = e->Flink) {
        PKTIMER t = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        if (inside(t)) Fatal("%s %p still contains an active timer %p (cancel it first)", what, start, (void*)t);
    }
    for (PLIST_ENTRY e = d.dpcs.Flink; e != &d.dpcs; e = e->Flink) {
        PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
        if (inside(dpc)) Fatal("%s %p still contains a queued DPC %p", what, start, (void*)dpc);
    }
}

}  // namespace hk

using hk::Fatal;
using hk::RequireIrqlAtMost;

extern "C" {

// ---------------------------------------------------------------------------------------------
// Events

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    hk::InitHeader(&Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                   State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::CheckInitialized(&Event->Header, "KeSetEvent");
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    hk::DispatcherWake(&Event->Header);
    return old;
}

LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    // Without per-waiter queues a pulse cannot be delivered reliably; it sets and clears.
    RequireIrqlAtMost(DISPATCH_LEVEL, "KePulseEvent");
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::CheckInitialized(&Event->Header, "KeResetEvent");
    LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return old;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { (void)KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Semaphores and mutexes

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    if (Count < 0 || Limit <= 0 || Count > Limit)
        Fatal("KeInitializeSemaphore(count %d, limit %d): invalid", Count, Limit);
    hk::InitHeader(&Semaphore->Header, SemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::CheckInitialized(&Semaphore->Header, "KeReleaseSemaphore");
    LONG old = Semaphore->Header.SignalState;
    if (Adjustment <= 0 || (int64_t)old + Adjustment > Semaphore->Limit)
        Fatal("STATUS_SEMAPHORE_LIMIT_EXCEEDED: KeReleaseSemaphore(%p) by %d with count %d, limit %d",
              (void*)Semaphore, Adjustment, old, Semaphore->Limit);
    Semaphore->Header.SignalState = old + Adjustment;
    hk::DispatcherWake(&Semaphore->Header);
    return old;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return Semaphore->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    hk::InitHeader(&Mutex->Header, MutantObject, 1);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    InitializeListHead(&Mutex->MutantListEntry);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
    PKTHREAD me = KeGetCurrentThread();
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::CheckInitialized(&Mutex->Header, "KeReleaseMutex");
    if (Mutex->OwnerThread != me) Fatal("STATUS_MUTANT_NOT_OWNED: KeReleaseMutex(%p) by a thread that does not own it", (void*)Mutex);
    LONG old = Mutex->Header.SignalState;
    Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) Mutex->OwnerThread = nullptr;
    hk::Current().criticalRegions--;
    hk::DispatcherWake(&Mutex->Header);
    return old;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waits

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    return hk::WaitObjects(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray) {
    if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
        Fatal("KeWaitForMultipleObjects with %u objects needs a wait block array", Count);
    return hk::WaitObjects(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    if (!Interval) Fatal("KeDelayExecutionThread without an interval");
    int64_t deadline = hk::DeadlineFromTimeout(Interval);
    std::unique_lock<std::mutex> lk(hk::DispatcherLock());
    // Woken by nothing but the deadline (and clock changes, which wake every waiter).
    hk::WaitLockedOn(lk, deadline, nullptr, 0, [] { return false; });
    return STATUS_SUCCESS;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < end) __builtin_ia32_pause();
}

// ---------------------------------------------------------------------------------------------
// DPCs

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    memset(Dpc, 0, sizeof *Dpc);
    Dpc->Type = hk::kDpcType;
    Dpc->Importance = MediumImportance;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

VOID NTAPI KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    KeInitializeDpc(Dpc, DeferredRoutine, DeferredContext);
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return hk::QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    if (!hk::DpcQueuedLocked(Dpc)) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    hk::DispatcherWake(hk::DpcDoneKey());
    return TRUE;
}

VOID NTAPI KeFlushQueuedDpcs(VOID) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    std::unique_lock<std::mutex> lk(hk::DispatcherLock());
    hk::Dispatcher& d = hk::D();
    uint64_t target = d.nextDpcSeq - 1;
    const void* key = hk::DpcDoneKey();
    hk::WaitLockedOn(lk, hk::kForever, &key, 1, [&] {
        if (d.runningDpcSeq != 0 && d.runningDpcSeq <= target) return false;
        for (PLIST_ENTRY e = d.dpcs.Flink; e != &d.dpcs; e = e->Flink) {
            PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            if ((uint64_t)(uintptr_t)dpc->DpcData <= target) return false;
        }
        return true;
    });
}

VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = (UCHAR)Importance; }
VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) { Dpc->Number = (USHORT)Number; }

// ---------------------------------------------------------------------------------------------
// Timers

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    hk::InitHeader(&Timer->Header, Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject, 0);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    if (Period < 0) Fatal("KeSetTimerEx with negative period %d", Period);
    int64_t due;
    if (DueTime.QuadPart < 0) {
        due = hk::InterruptTime() - DueTime.QuadPart;
    } else {
        due = hk::InterruptTimeOfSystemTime(DueTime.QuadPart);
    }
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::CheckInitialized(&Timer->Header, "KeSetTimerEx");
    if (Dpc && Dpc->Type != hk::kDpcType) Fatal("KeSetTimerEx with DPC %p that was never initialised", (void*)Dpc);
    BOOLEAN wasInserted = hk::TimerInsertedLocked(Timer) ? TRUE : FALSE;
    if (wasInserted) hk::TimerRemoveLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->DueTime.QuadPart = (ULONGLONG)due;
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    InsertTailList(&hk::D().timers, &Timer->TimerListEntry);
    hk::StartDpcThreadLocked();
    hk::DispatcherWake(hk::DpcQueueKey());   // the earliest due time may have moved
    return wasInserted;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::CheckInitialized(&Timer->Header, "KeCancelTimer");
    if (!hk::TimerInsertedLocked(Timer)) return FALSE;
    hk::TimerRemoveLocked(Timer);
    return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return Timer->Header.SignalState ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Time

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = hk::SystemTimeAt(hk::InterruptTime()); }
VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) { KeQuerySystemTime(CurrentTime); }

static const ULONG kTimeIncrement = 156250;   // 15.625 ms, the usual clock tick

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = hk::InterruptTime() / kTimeIncrement; }
ULONG NTAPI KeQueryTimeIncrement(VOID) { return kTimeIncrement; }
ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return (ULONGLONG)hk::InterruptTime(); }
ULONGLONG NTAPI KeQueryInterruptTimePrecise(PULONGLONG QpcTimeStamp) {
    ULONGLONG t = (ULONGLONG)hk::InterruptTime();
    if (QpcTimeStamp) *QpcTimeStamp = t;
    return t;
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    // 10 MHz, the frequency current Windows reports: one count per 100 ns of interrupt time.
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER r;
    r.QuadPart = hk::InterruptTime();
    return r;
}

VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
    // The host kernel's time zone is UTC.
    *LocalTime = *SystemTime;
}
VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) { *SystemTime = *LocalTime; }

VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
    int64_t t = Time->QuadPart;
    int64_t ms = (t / 10000) % 1000;
    int64_t secs = t / 10000000 - 11644473600LL;   // seconds since 1970
    time_t tt = (time_t)secs;
    struct tm tm;
    gmtime_r(&tt, &tm);
    TimeFields->Year = (SHORT)(tm.tm_year + 1900);
    TimeFields->Month = (SHORT)(tm.tm_mon + 1);
    TimeFields->Day = (SHORT)tm.tm_mday;
    TimeFields->Hour = (SHORT)tm.tm_hour;
    TimeFields->Minute = (SHORT)tm.tm_min;
    TimeFields->Second = (SHORT)tm.tm_sec;
    TimeFields->Milliseconds = (SHORT)ms;
    TimeFields->Weekday = (SHORT)tm.tm_wday;
}

BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time) {
    struct tm tm = {};
    tm.tm_year = TimeFields->Year - 1900;
    tm.tm_mon = TimeFields->Month - 1;
    tm.tm_mday = TimeFields->Day;
    tm.tm_hour = TimeFields->Hour;
    tm.tm_min = TimeFields->Minute;
    tm.tm_sec = TimeFields->Second;
    if (TimeFields->Month < 1 || TimeFields->Month > 12 || TimeFields->Day < 1 || TimeFields->Day > 31) return FALSE;
    time_t secs = timegm(&tm);
    Time->QuadPart = ((int64_t)secs + 11644473600LL) * 10000000LL + (int64_t)TimeFields->Milliseconds * 10000;
    return TRUE;
}

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// Test hooks for the clock

namespace hk {
namespace test {

void SetClockRate(double rate) {
    if (!(rate > 0)) Fatal("SetClockRate(%f): rate must be positive", rate);
    std::lock_guard<std::mutex> g(DispatcherLock());
    Clock& c = C();
    std::lock_guard<std::mutex> g2(c.lock);
    c.virtBase = InterruptTimeLocked(c);
    c.realBase = std::chrono::steady_clock::now();
    c.rate = rate;
    DispatcherBroadcast();
}

double ClockRate() {
    std::lock_guard<std::mutex> g(C().lock);
    return C().rate;
}

void AdvanceClock(int64_t hundredNs) {
    if (hundredNs < 0) Fatal("AdvanceClock(%lld): the clock never goes back", (long long)hundredNs);
    std::lock_guard<std::mutex> g(DispatcherLock());
    Clock& c = C();
    std::lock_guard<std::mutex> g2(c.lock);
    c.virtBase += hundredNs;
    DispatcherBroadcast();
}

}  // namespace test
}  // namespace hk
