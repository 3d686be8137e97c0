// Fast mutexes and executive resources.
#include "hk_internal.h"

#include <set>
#include <vector>

using hk::Current;
using hk::Fatal;

namespace hk {
namespace {

constexpr ULONG kResourceMagic = 0x53455245;   // "ERES"

struct ResState {
    ThreadState* exclusiveOwner = nullptr;
    int exclusiveCount = 0;
    std::vector<std::pair<ThreadState*, int>> shared;
    int exclusiveWaiters = 0;
    int sharedWaiters = 0;

    int SharedCount(ThreadState* t) const {
        for (auto& s : shared)
            if (s.first == t) return s.second;
        return 0;
    }
    void AddShared(ThreadState* t) {
        for (auto& s : shared)
            if (s.first == t) {
                s.second++;
                return;
            }
        shared.push_back({t, 1});
    }
    bool DropShared(ThreadState* t) {
        for (size_t i = 0; i < shared.size(); i++)
            if (shared[i].first == t) {
                if (--shared[i].second == 0) shared.erase(shared.begin() + (long)i);
                return true;
            }
        return false;
    }
};

std::set<PERESOURCE>& LiveResources() {   // guarded by the dispatcher lock
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

enum class SharedMode { Normal, StarveExclusive };

BOOLEAN AcquireShared(PERESOURCE r, BOOLEAN wait, SharedMode mode, const char* api) {
    RequireApcsDisabled(api);
    ThreadState* me = &Current();
    std::unique_lock<std::mutex> lk(DispatcherLock());
    ResState* s = StateOf(r, api);
    if (s->exclusiveOwner == me) {
        s->exclusiveCount++;
        me->resourcesHeld++;
        return TRUE;
    }
    if (s->SharedCount(me) > 0) {
        s->AddShared(me);
        me->resourcesHeld++;
        return TRUE;
    }
    auto grantable = [&] {
        if (s->exclusiveOwner) return false;
        return mode == SharedMode::StarveExclusive || s->exclusiveWaiters == 0;
    };
    if (!grantable()) {
        if (!wait) return FALSE;
        s->sharedWaiters++;
        const void* key = r;
        WaitLockedOn(lk, kForever, &key, 1, grantable);
        s->sharedWaiters--;
    }
    s->AddShared(me);
    me->resourcesHeld++;
    return TRUE;
}

void Release(PERESOURCE r, ThreadState* owner, const char* api) {
    RequireIrqlAtMost(DISPATCH_LEVEL, api);
    std::lock_guard<std::mutex> g(DispatcherLock());
    ResState* s = StateOf(r, api);
    if (s->exclusiveOwner == owner) {
        if (--s->exclusiveCount == 0) s->exclusiveOwner = nullptr;
    } else if (!s->DropShared(owner)) {
        Fatal("%s of ERESOURCE %p by a thread that does not own it", api, (void*)r);
    }
    if (owner == &Current()) owner->resourcesHeld--;
    DispatcherWake(r);
}

}  // namespace

void CheckNoResourcesIn(const void* start, size_t size, const char* what) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    // The set is ordered by address: the first resource at or after the start decides.
    auto it = LiveResources().lower_bound((PERESOURCE)start);
    if (it != LiveResources().end() && (const char*)*it < (const char*)start + size)
        Fatal("%s %p still contains ERESOURCE %p that was not deleted (ExDeleteResourceLite)", what, start, (void*)*it);
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
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    if (Resource->HkMagic == hk::kResourceMagic && hk::LiveResources().count(Resource))
        Fatal("ExInitializeResourceLite on ERESOURCE %p that is already initialised", (void*)Resource);
    memset(Resource, 0, sizeof *Resource);
    Resource->HkState = new hk::ResState;
    Resource->HkMagic = hk::kResourceMagic;
    hk::LiveResources().insert(Resource);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::ResState* s = hk::StateOf(Resource, "ExReinitializeResourceLite");
    *s = hk::ResState();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteResourceLite");
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::ResState* s = hk::StateOf(Resource, "ExDeleteResourceLite");
    if (s->exclusiveOwner || !s->shared.empty())
        Fatal("ExDeleteResourceLite of ERESOURCE %p that is still acquired", (void*)Resource);
    delete s;
    Resource->HkState = nullptr;
    Resource->HkMagic = 0;
    hk::LiveResources().erase(Resource);
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait) {
    hk::RequireApcsDisabled("ExAcquireResourceExclusiveLite");
    hk::ThreadState* me = &Current();
    std::unique_lock<std::mutex> lk(hk::DispatcherLock());
    hk::ResState* s = hk::StateOf(Resource, "ExAcquireResourceExclusiveLite");
    if (s->exclusiveOwner == me) {
        s->exclusiveCount++;
        me->resourcesHeld++;
        return TRUE;
    }
    if (s->SharedCount(me) > 0)
        Fatal("ExAcquireResourceExclusiveLite of ERESOURCE %p by a thread that holds it shared (deadlock)", (void*)Resource);
    auto free = [&] { return s->exclusiveOwner == nullptr && s->shared.empty(); };
    if (!free()) {
        if (!Wait) return FALSE;
        s->exclusiveWaiters++;
        const void* key = Resource;
        hk::WaitLockedOn(lk, hk::kForever, &key, 1, free);
        s->exclusiveWaiters--;
    }
    s->exclusiveOwner = me;
    s->exclusiveCount = 1;
    me->resourcesHeld++;
    return TRUE;
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
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::ResState* s = hk::StateOf(Resource, "ExConvertExclusiveToSharedLite");
    if (s->exclusiveOwner != me) Fatal("ExConvertExclusiveToSharedLite of ERESOURCE %p not owned exclusively", (void*)Resource);
    int n = s->exclusiveCount;
    s->exclusiveOwner = nullptr;
    s->exclusiveCount = 0;
    for (int i = 0; i < n; i++) s->AddShared(me);
    hk::DispatcherWake(Resource);
}

BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return hk::StateOf(Resource, "ExIsResourceAcquiredExclusiveLite")->exclusiveOwner == &Current() ? TRUE : FALSE;
}

ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    hk::ResState* s = hk::StateOf(Resource, "ExIsResourceAcquiredSharedLite");
    if (s->exclusiveOwner == &Current()) return (ULONG)s->exclusiveCount;
    return (ULONG)s->SharedCount(&Current());
}

ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return (ULONG)hk::StateOf(Resource, "ExGetExclusiveWaiterCount")->exclusiveWaiters;
}

ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource) {
    std::lock_guard<std::mutex> g(hk::DispatcherLock());
    return (ULONG)hk::StateOf(Resource, "ExGetSharedWaiterCount")->sharedWaiters;
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
