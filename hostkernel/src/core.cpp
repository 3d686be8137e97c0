// Fatal errors, per-thread IRQL, spin locks and critical regions.
#include "hk_internal.h"

#include <sched.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>

namespace hk {

void Fatal(const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fprintf(stderr, "*** hostkernel: %s\n", text);
    fflush(stderr);
    abort();
}

namespace {
// Released by the thread_local destructor when the host thread ends; the thread object (if
// any) stays alive while references remain.
struct ThreadStateHolder {
    ThreadState state;
    ~ThreadStateHolder();
};
thread_local ThreadStateHolder t_state;
}  // namespace

void ReleaseThreadObject(ThreadState& st);  // thread.cpp

ThreadStateHolder::~ThreadStateHolder() { ReleaseThreadObject(state); }

ThreadState& Current() { return t_state.state; }

void RequireIrqlAtMost(KIRQL max, const char* api) {
    KIRQL irql = Current().irql;
    if (irql > max) Fatal("IRQL_NOT_LESS_OR_EQUAL: %s called at IRQL %u (allowed up to %u)", api, irql, max);
}

void RequireIrqlExactly(KIRQL want, const char* api) {
    KIRQL irql = Current().irql;
    if (irql != want) Fatal("IRQL mismatch: %s called at IRQL %u (must be %u)", api, irql, want);
}

IrqlScope::IrqlScope(KIRQL irql) : old_(Current().irql), irql_(irql) { Current().irql = irql; }

IrqlScope::~IrqlScope() {
    ThreadState& st = Current();
    if (st.irql != irql_) Fatal("IRQL not restored: scope at IRQL %u ended at IRQL %u", irql_, st.irql);
    st.irql = old_;
}

}  // namespace hk

using hk::Current;
using hk::Fatal;

extern "C" {

VOID NTAPI HkAssertFailed(PCSTR Expression, PCSTR File, ULONG Line) {
    Fatal("assertion failed: %s (%s:%u)", Expression, File, Line);
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    Fatal("KeBugCheckEx(0x%08X, 0x%lx, 0x%lx, 0x%lx, 0x%lx)", BugCheckCode, (unsigned long)P1,
          (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) { Fatal("KeBugCheck(0x%08X)", BugCheckCode); }

VOID NTAPI DbgBreakPoint(VOID) { Fatal("DbgBreakPoint reached"); }

VOID NTAPI HkListCorrupted(PLIST_ENTRY Entry) {
    Fatal("LIST_ENTRY corruption at %p (Flink->Blink or Blink->Flink does not point back)", (void*)Entry);
}

// ---------------------------------------------------------------------------------------------
// IRQL

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Current().irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    hk::ThreadState& st = Current();
    if (NewIrql < st.irql) Fatal("IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql to %u from %u", NewIrql, st.irql);
    *OldIrql = st.irql;
    st.irql = NewIrql;
}

KIRQL NTAPI HkKfRaiseIrql(KIRQL NewIrql) {
    KIRQL old;
    KeRaiseIrql(NewIrql, &old);
    return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    hk::ThreadState& st = Current();
    if (NewIrql > st.irql) Fatal("IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to %u from %u", NewIrql, st.irql);
    if (st.dpcThread && NewIrql < DISPATCH_LEVEL)
        Fatal("KeLowerIrql to %u inside a DPC routine (DPCs run at DISPATCH_LEVEL)", NewIrql);
    st.irql = NewIrql;
}

VOID NTAPI HkPagedCodeCheck(PCSTR Function) {
    if (Current().irql > APC_LEVEL) Fatal("PAGED_CODE: %s runs at IRQL %u (pageable code needs APC_LEVEL or below)", Function, Current().irql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return HkKfRaiseIrql(DISPATCH_LEVEL); }

// ---------------------------------------------------------------------------------------------
// Spin locks. The lock word holds the owner's ThreadState address while acquired.

static void SpinAcquire(PKSPIN_LOCK lock, const char* api) {
    hk::ThreadState& st = Current();
    ULONG_PTR me = (ULONG_PTR)&st;
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me)
        Fatal("SPIN_LOCK_ALREADY_OWNED: %s of spin lock %p already held by this thread (deadlock)", api, (void*)lock);
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (++spins < 64) {
            __builtin_ia32_pause();
        } else {
            sched_yield();
        }
    }
    st.spinLocksHeld++;
}

static void SpinRelease(PKSPIN_LOCK lock, const char* api) {
    hk::ThreadState& st = Current();
    ULONG_PTR me = (ULONG_PTR)&st;
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner == 0)
        Fatal("SPIN_LOCK_NOT_OWNED: %s of spin lock %p that is not held (released twice?)", api, (void*)lock);
    if (owner != me)
        Fatal("SPIN_LOCK_NOT_OWNED: %s of spin lock %p held by another thread", api, (void*)lock);
    st.spinLocksHeld--;
    __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE); }

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = HkKfRaiseIrql(DISPATCH_LEVEL);
    SpinAcquire(SpinLock, "KeAcquireSpinLock");
    *OldIrql = old;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeAcquireSpinLock(SpinLock, &old);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    // The lock state is checked first: a double release is the more useful diagnosis.
    SpinRelease(SpinLock, "KeReleaseSpinLock");
    hk::RequireIrqlExactly(DISPATCH_LEVEL, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Current().irql < DISPATCH_LEVEL)
        Fatal("KeAcquireSpinLockAtDpcLevel called at IRQL %u (must be DISPATCH_LEVEL)", Current().irql);
    SpinAcquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Current().irql < DISPATCH_LEVEL)
        Fatal("KeReleaseSpinLockFromDpcLevel called at IRQL %u (must be DISPATCH_LEVEL)", Current().irql);
    SpinRelease(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

BOOLEAN NTAPI KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (Current().irql < DISPATCH_LEVEL)
        Fatal("KeTryToAcquireSpinLockAtDpcLevel called at IRQL %u", Current().irql);
    hk::ThreadState& st = Current();
    ULONG_PTR expected = 0;
    if (!__atomic_compare_exchange_n(SpinLock, &expected, (ULONG_PTR)&st, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return FALSE;
    st.spinLocksHeld++;
    return TRUE;
}

BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0 ? TRUE : FALSE;
}

VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    KeAcquireSpinLock(SpinLock, &LockHandle->OldIrql);
}

VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

VOID NTAPI KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->OldIrql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

VOID NTAPI KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PLIST_ENTRY e = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return e;
}

PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                                    PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old;
    KeAcquireSpinLock(Lock, &old);
    PSINGLE_LIST_ENTRY e = PopEntryList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return e;
}

// ---------------------------------------------------------------------------------------------
// Critical and guarded regions

VOID NTAPI KeEnterCriticalRegion(VOID) {
    hk::RequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    Current().criticalRegions++;
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    hk::RequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    if (Current().criticalRegions == 0) Fatal("KeLeaveCriticalRegion without KeEnterCriticalRegion");
    Current().criticalRegions--;
}

VOID NTAPI KeEnterGuardedRegion(VOID) {
    hk::RequireIrqlAtMost(APC_LEVEL, "KeEnterGuardedRegion");
    Current().guardedRegions++;
}

VOID NTAPI KeLeaveGuardedRegion(VOID) {
    if (Current().guardedRegions == 0) Fatal("KeLeaveGuardedRegion without KeEnterGuardedRegion");
    Current().guardedRegions--;
}

BOOLEAN NTAPI KeAreApcsDisabled(VOID) {
    hk::ThreadState& st = Current();
    return (st.criticalRegions > 0 || st.guardedRegions > 0 || st.irql >= APC_LEVEL) ? TRUE : FALSE;
}

PVOID NTAPI HkSecureZeroMemory(PVOID Destination, SIZE_T Length) {
    volatile char* p = (volatile char*)Destination;
    while (Length--) *p++ = 0;
    return Destination;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) i++;
    return i;
}

ULONG NTAPI KeGetCurrentProcessorNumber(VOID) {
    int cpu = sched_getcpu();
    return cpu < 0 ? 0 : (ULONG)cpu;
}

ULONG NTAPI KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) n = 1;
    if (n > 64) n = 64;
    if (ActiveProcessors) *ActiveProcessors = (n == 64) ? ~(KAFFINITY)0 : (((KAFFINITY)1 << n) - 1);
    return (ULONG)n;
}

}  // extern "C"
