// Fast mutexes and executive resources.
#include "hk_internal.h"

#include <set>
#include <vector>

using hk::Current;
using hk::Fatal;

namespace hk {
namespace {

constexpr ULONG kResourceMagic = 0x53455245;   // "ERES"

// An executive resource. The whole state the grant rules need is one word, so that the common
// case (a shared or exclusive acquisition without contention) is one compare-and-swap and never
// meets a lock that other resources use: shared holders in bits 0..31, bit 32 set while someone
// owns it exclusively, and from bit 33 the number of exclusive waiters (which hold off new shared
// owners, as on Windows, so that writers are not starved). Who holds it shared is kept by each
// thread (ThreadState::sharedHeld); who holds it exclusively, here. Waiters sleep on the
// resource's own condition variable, not the dispatcher's, so a release wakes only them.
constexpr uint64_t kSharedMask = 0xFFFFFFFFull;
constexpr uint64_t kExclusive = 1ull << 32;
constexpr uint64_t kExclusiveWaiter = 1ull << 33;

struct ResState {
    std::atomic<uint64_t> word{0};
    std::atomic<ThreadState*> exclusiveOwner{nullptr};
    std::atomic<int> exclusiveCount{0};   // recursion of the exclusive owner
    std::atomic<int> sharedWaiters{0};
    std::atomic<int> sleepers{0};         // threads in the slow path (under m)
    std::mutex m;
    std::condition_variable cv;
};

std::mutex& LiveResourcesLock() {
    static auto* m = new std::mutex;
    return *m;
}

std::set<PERESOURCE>& LiveResources() {   // guarded by LiveResourcesLock
    static auto* s = new std::set<PERESOURCE>;
    return *s;
}

ResState* StateOf(PERESOURCE r, const char* api) {
    if (r->HkMagic != kResourceMagic || !r->HkState)
        Fatal("%s on ERESOURCE %p that is not initialised (or already deleted)", api, (void*)r);
    return (ResState*)r->HkState;
}

void RequireApcsDisabled(const char* api) {
    RequireIrqlAtMost(APC_LEVEL, api);
    if (!KeAreApcsDisabled())
        Fatal("%s called with normal kernel APCs enabled (enter a critical region with KeEnterCriticalRegion first)", api);
}

// The thread's shared count of r (its own table).
int SharedCountOf(ThreadState* t, PERESOURCE r) {
    std::lock_guard<std::mutex> g(t->sharedLock);
    for (auto& e : t->sharedHeld)
        if (e.first == r) return e.second;
    return 0;
}

// Adds n to the thread's shared count of r; returns the count it had.
int AddSharedOf(ThreadState* t, PERESOURCE r, int n) {
    std::lock_guard<std::mutex> g(t->sharedLock);
    for (auto& e : t->sharedHeld)
        if (e.first == r) {
            int had = e.second;
            e.second += n;
            return had;
        }
    t->sharedHeld.push_back({r, n});
    return 0;
}

// Drops one shared count of r: -1 when the thread holds none, else the count left.
int DropSharedOf(ThreadState* t, PERESOURCE r) {
    std::lock_guard<std::mutex> g(t->sharedLock);
    for (size_t i = 0; i < t->sharedHeld.size(); i++)
        if (t->sharedHeld[i].first == r) {
            int left = --t->sharedHeld[i].second;
            if (left == 0) {
                t->sharedHeld[i] = t->sharedHeld.back();
                t->sharedHeld.pop_back();
            }
            return left;
        }
    return -1;
}

// After the word changed towards "free": wakes the sleepers, if any. A sleeper registers under m
// before it looks at the word, so either it sees the change or it is asleep when m is taken here.
void WakeWaiters(ResState* s) {
    if (s->sleepers.load() == 0) return;
    { std::lock_guard<std::mutex> g(s->m); }
    s->cv.notify_all();
}

enum class SharedMode { Normal, StarveExclusive };

BOOLEAN AcquireShared(PERESOURCE r, BOOLEAN wait, SharedMode mode, const char* api) {
    RequireApcsDisabled(api);
    ThreadState* me = &Current();
    ResState* s = StateOf(r, api);
    if (s->exclusiveOwner.load() == me) {
        s->exclusiveCount++;
        me->resourcesHeld++;
        return TRUE;
    }
    if (SharedCountOf(me, r) > 0) {   // recursive: granted even with exclusive waiters
        AddSharedOf(me, r, 1);
        me->resourcesHeld++;
        return TRUE;
    }
    auto grantable = [&](uint64_t w) {
        if (w & kExclusive) return false;
        return mode == SharedMode::StarveExclusive || (w >> 33) == 0;
    };
    uint64_t w = s->word.load();
    bool got = false;
    while (grantable(w))
        if (s->word.compare_exchange_weak(w, w + 1)) {
            got = true;
            break;
        }
    if (!got) {
        if (!wait) return FALSE;
        std::unique_lock<std::mutex> lk(s->m);
        s->sharedWaiters++;
        s->sleepers++;
        for (;;) {
            w = s->word.load();
            if (grantable(w)) {
                if (s->word.compare_exchange_weak(w, w + 1)) break;
                continue;
            }
            s->cv.wait(lk);
        }
        s->sleepers--;
        s->sharedWaiters--;
    }
    AddSharedOf(me, r, 1);
    me->resourcesHeld++;
    return TRUE;
}

BOOLEAN AcquireExclusive(PERESOURCE r, BOOLEAN wait, const char* api) {
    RequireApcsDisabled(api);
    ThreadState* me = &Current();
    ResState* s = StateOf(r, api);
    if (s->exclusiveOwner.load() == me) {
        s->exclusiveCount++;
        me->resourcesHeld++;
        return TRUE;
    }
    if (SharedCountOf(me, r) > 0)
        Fatal("%s of ERESOURCE %p by a thread that holds it shared (deadlock)", api, (void*)r);
    auto isFree = [](uint64_t w) { return (w & (kExclusive | kSharedMask)) == 0; };
    uint64_t w = s->word.load();
    bool got = false;
    while (isFree(w))
        if (s->word.compare_exchange_weak(w, w | kExclusive)) {
            got = true;
            break;
        }
    if (!got) {
        if (!wait) return FALSE;
        std::unique_lock<std::mutex> lk(s->m);
        s->word.fetch_add(kExclusiveWaiter);
        s->sleepers++;
        for (;;) {
            w = s->word.load();
            if (isFree(w)) {
                if (s->word.compare_exchange_weak(w, (w - kExclusiveWaiter) | kExclusive)) break;
                continue;
            }
            s->cv.wait(lk);
        }
        s->sleepers--;
    }
    s->exclusiveOwner.store(me);
    s->exclusiveCount = 1;
    me->resourcesHeld++;
    return TRUE;
}

void Release(PERESOURCE r, ThreadState* owner, const char* api) {
    RequireIrqlAtMost(DISPATCH_LEVEL, api);
    ResState* s = StateOf(r, api);
    if (s->exclusiveOwner.load() == owner) {
        if (--s->exclusiveCount == 0) {
            s->exclusiveOwner.store(nullptr);
            s->word.fetch_sub(kExclusive);
            WakeWaiters(s);
        }
    } else {
        int left = DropSharedOf(owner, r);
        if (left < 0) Fatal("%s of ERESOURCE %p by a thread that does not own it", api, (void*)r);
        if (left == 0 && ((s->word.fetch_sub(1) - 1) & kSharedMask) == 0) WakeWaiters(s);
    }
    if (owner == &Current()) owner->resourcesHeld--;
}

}  // namespace

void CheckNoResourcesIn(const void* start, size_t size, const char* what) {
    std::lock_guard<std::mutex> g(LiveResourcesLock());
    auto& live = LiveResources();
    for (auto it = live.lower_bound((PERESOURCE)start); it != live.end(); ++it) {
        if ((const char*)*it >= (const char*)start + size) break;
        Fatal("%s %p still contains ERESOURCE %p that was not deleted (ExDeleteResourceLite)", what, start, (void*)*it);
    }
}

}  // namespace hk

extern "C" {

// ---------------------------------------------------------------------------------------------
// Fast mutexes

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
}

static void FastMutexLock(PFAST_MUTEX m, const char* api) {
    hk::ThreadState* me = &Current();
    std::unique_lock<std::mutex> lk(hk::DispatcherLock());
    if (m->Count != 0 && m->Count != 1) Fatal("%s on FAST_MUTEX %p that is not initialised", api, (void*)m);
    if (m->Owner == me) Fatal("%s: FAST_MUTEX %p is already owned by this thread (fast mutexes are not recursive)", api, (void*)m);
    if (m->Count == 0) {
        m->Contention++;
        const void* key = m;
        hk::WaitLockedOn(lk, hk::kForever, &key, 1, [&] { return m->Count == 1; });
    }
    m->Count = 0;
    m->Owner = me;
    me->fastMutexesHeld++;
}

static void FastMutexUnlock(PFAST_MUTEX m, const char* api) {
    hk::ThreadState* me = &Current();
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    if (m->Owner != me) Fatal("%s: FAST_MUTEX %p is not owned by this thread", api, (void*)m);
    m->Owner = nullptr;
    m->Count = 1;
    me->fastMutexesHeld--;
    hk::DispatcherWake(m);
}

VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    hk::RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    FastMutexLock(FastMutex, "ExAcquireFastMutex");
    FastMutex->OldIrql = old;
}

VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    hk::RequireIrqlExactly(APC_LEVEL, "ExReleaseFastMutex");
    KIRQL old = (KIRQL)FastMutex->OldIrql;
    FastMutexUnlock(FastMutex, "ExReleaseFastMutex");
    KeLowerIrql(old);
}

BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    hk::RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    hk::ThreadState* me = &Current();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    {
        std::lock_guard<std::mutex> g(hk::DispatcherLock());
        if (FastMutex->Owner == me) Fatal("ExTryToAcquireFastMutex: FAST_MUTEX %p is already owned by this thread", (void*)FastMutex);
        if (FastMutex->Count == 1) {
            FastMutex->Count = 0;
            FastMutex->Owner = me;
            FastMutex->OldIrql = old;
            me->fastMutexesHeld++;
            return TRUE;
        }
    }
    KeLowerIrql(old);
    return FALSE;
}

VOID NTAPI ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    hk::RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutexUnsafe");
    if (!KeAreApcsDisabled()) Fatal("ExAcquireFastMutexUnsafe with normal kernel APCs enabled");
    FastMutexLock(FastMutex, "ExAcquireFastMutexUnsafe");
}

VOID NTAPI ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) { FastMutexUnlock(FastMutex, "ExReleaseFastMutexUnsafe"); }

// ---------------------------------------------------------------------------------------------
// Executive resources

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeResourceLite");
    std::lock_guard<std::mutex> g(hk::LiveResourcesLock());
    if (Resource->HkMagic == hk::kResourceMagic && hk::LiveResources().count(Resource))
        Fatal("ExInitializeResourceLite on ERESOURCE %p that is already initialised", (void*)Resource);
    memset(Resource, 0, sizeof *Resource);
    Resource->HkState = new hk::ResState;
    Resource->HkMagic = hk::kResourceMagic;
    hk::LiveResources().insert(Resource);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource) {
    hk::ResState* s = hk::StateOf(Resource, "ExReinitializeResourceLite");
    if (s->word.load() != 0 || s->sleepers.load() != 0)
        Fatal("ExReinitializeResourceLite of ERESOURCE %p that is acquired or waited for", (void*)Resource);
    s->exclusiveOwner.store(nullptr);
    s->exclusiveCount = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteResourceLite");
    std::lock_guard<std::mutex> g(hk::LiveResourcesLock());
    hk::ResState* s = hk::StateOf(Resource, "ExDeleteResourceLite");
    if (s->word.load() & (hk::kExclusive | hk::kSharedMask))
        Fatal("ExDeleteResourceLite of ERESOURCE %p that is still acquired", (void*)Resource);
    if (s->sleepers.load() != 0) Fatal("ExDeleteResourceLite of ERESOURCE %p that threads wait for", (void*)Resource);
    delete s;
    Resource->HkState = nullptr;
    Resource->HkMagic = 0;
    hk::LiveResources().erase(Resource);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    return hk::AcquireExclusive(Resource, Wait, "ExAcquireResourceExclusiveLite");
}

BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait) {
    return hk::AcquireShared(Resource, Wait, hk::SharedMode::Normal, "ExAcquireResourceSharedLite");
}

BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return hk::AcquireShared(Resource, Wait, hk::SharedMode::StarveExclusive, "ExAcquireSharedStarveExclusive");
}

BOOLEAN NTAPI ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait) {
    return hk::AcquireShared(Resource, Wait, hk::SharedMode::Normal, "ExAcquireSharedWaitForExclusive");
}

VOID NTAPI ExReleaseResourceLite(PERESOURCE Resource) { hk::Release(Resource, &Current(), "ExReleaseResourceLite"); }

VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId) {
    hk::Release(Resource, (hk::ThreadState*)ResourceThreadId, "ExReleaseResourceForThreadLite");
}

ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID) { return (ERESOURCE_THREAD)&Current(); }

VOID NTAPI ExConvertExclusiveToSharedLite(PERESOURCE Resource) {
    hk::ThreadState* me = &Current();
    hk::ResState* s = hk::StateOf(Resource, "ExConvertExclusiveToSharedLite");
    if (s->exclusiveOwner.load() != me) Fatal("ExConvertExclusiveToSharedLite of ERESOURCE %p not owned exclusively", (void*)Resource);
    int n = s->exclusiveCount;
    s->exclusiveCount = 0;
    s->exclusiveOwner.store(nullptr);
    hk::AddSharedOf(me, Resource, n);
    s->word.fetch_add(1 - hk::kExclusive);   // one more shared holder, no exclusive one
    hk::WakeWaiters(s);
}

BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    return hk::StateOf(Resource, "ExIsResourceAcquiredExclusiveLite")->exclusiveOwner.load() == &Current() ? TRUE : FALSE;
}

ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
    hk::ResState* s = hk::StateOf(Resource, "ExIsResourceAcquiredSharedLite");
    if (s->exclusiveOwner.load() == &Current()) return (ULONG)s->exclusiveCount.load();
    return (ULONG)hk::SharedCountOf(&Current(), Resource);
}

ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource) {
    return (ULONG)(hk::StateOf(Resource, "ExGetExclusiveWaiterCount")->word.load() >> 33);
}

ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource) {
    return (ULONG)hk::StateOf(Resource, "ExGetSharedWaiterCount")->sharedWaiters.load();
}

PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceExclusive(PERESOURCE Resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Resource, TRUE);
    return nullptr;
}

PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceShared(PERESOURCE Resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(Resource, TRUE);
    return nullptr;
}

VOID NTAPI ExReleaseResourceAndLeaveCriticalRegion(PERESOURCE Resource) {
    ExReleaseResourceLite(Resource);
    KeLeaveCriticalRegion();
}

}  // extern "C"
