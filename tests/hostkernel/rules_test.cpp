// The Driver Verifier-style rules: each one must stop the program with a message that says
// what went wrong.
#include <ntddk.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>

namespace {

void RaiseToDispatch() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

TEST(Irql, RaiseLowerAndSpinLocksTrackTheLevel) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));

    KLOCK_QUEUE_HANDLE h;
    KeAcquireInStackQueuedSpinLock(&lock, &h);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));   // already held
    KeReleaseInStackQueuedSpinLock(&h);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(IrqlDeathTest, WaitingAtDispatchIsFatal) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, TRUE);
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    EXPECT_DEATH(
        {
            RaiseToDispatch();
            KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &t);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject called at IRQL 2");
    EXPECT_DEATH(
        {
            RaiseToDispatch();
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        },
        "KeDelayExecutionThread called at IRQL 2");
}

TEST(IrqlDeathTest, ZeroTimeoutPollIsAllowedAtDispatch) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(old);
}

void PageableRoutine() { PAGED_CODE(); }

TEST(IrqlDeathTest, PageableCodeAboveApcLevelIsFatal) {
    PageableRoutine();
    EXPECT_DEATH(
        {
            RaiseToDispatch();
            PageableRoutine();
        },
        "PAGED_CODE: PageableRoutine runs at IRQL 2");
}

TEST(IrqlDeathTest, LoweringAboveOrRaisingBelowIsFatal) {
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "KeLowerIrql to 2 from 0");
    EXPECT_DEATH(
        {
            RaiseToDispatch();
            KIRQL o;
            KeRaiseIrql(APC_LEVEL, &o);
        },
        "IRQL_NOT_GREATER_OR_EQUAL");
}

TEST(IrqlDeathTest, RegistryAndFilesAbovePassiveAreFatal) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SYSTEM");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h;
    EXPECT_DEATH(
        {
            KIRQL o;
            KeRaiseIrql(APC_LEVEL, &o);
            ZwOpenKey(&h, KEY_READ, &oa);
        },
        "ZwOpenKey called at IRQL 1");
    IO_STATUS_BLOCK iosb;
    EXPECT_DEATH(
        {
            RaiseToDispatch();
            ZwCreateFile(&h, FILE_APPEND_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        },
        "ZwCreateFile called at IRQL 2");
}

TEST(SpinLockDeathTest, ReleasedTwiceOrAcquiredRecursivelyIsFatal) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
            KeReleaseSpinLock(&lock, old);
        },
        "SPIN_LOCK_NOT_OWNED: KeReleaseSpinLock of spin lock .* that is not held \\(released twice\\?\\)");
    EXPECT_DEATH(
        {
            KIRQL old;
            KIRQL old2;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLock(&lock, &old2);
        },
        "SPIN_LOCK_ALREADY_OWNED");
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock), "must be DISPATCH_LEVEL");
}

TEST(ResourceDeathTest, AcquiringWithApcsEnabledIsFatal) {
    static ERESOURCE r;
    ExInitializeResourceLite(&r);
    EXPECT_DEATH(ExAcquireResourceExclusiveLite(&r, TRUE), "normal kernel APCs enabled");
    EXPECT_DEATH(ExAcquireResourceSharedLite(&r, TRUE), "KeEnterCriticalRegion");
    EXPECT_DEATH(
        {
            KeEnterCriticalRegion();
            ExAcquireResourceSharedLite(&r, TRUE);
            ExAcquireResourceExclusiveLite(&r, TRUE);
        },
        "holds it shared \\(deadlock\\)");
    EXPECT_DEATH(
        {
            KeEnterCriticalRegion();
            ExReleaseResourceLite(&r);
        },
        "does not own it");
    ExDeleteResourceLite(&r);
}

TEST(FastMutexDeathTest, RecursionAndForeignReleaseAreFatal) {
    static FAST_MUTEX m;
    ExInitializeFastMutex(&m);
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&m);
            ExAcquireFastMutex(&m);
        },
        "not recursive");
    EXPECT_DEATH(
        {
            KIRQL o;
            KeRaiseIrql(APC_LEVEL, &o);
            ExReleaseFastMutex(&m);
        },
        "not owned by this thread");
    ExAcquireFastMutex(&m);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&m);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(ObjectDeathTest, HandlesAndDispatcherObjectsAreChecked) {
    EXPECT_DEATH(ZwClose((HANDLE)(uintptr_t)0xFFFFFFFF80001234ull), "ZwClose.*not open \\(closed twice\\?\\)");
    EXPECT_DEATH(
        {
            KSEMAPHORE s;
            KeInitializeSemaphore(&s, 1, 1);
            KeReleaseSemaphore(&s, 0, 1, FALSE);
        },
        "SEMAPHORE_LIMIT_EXCEEDED");
    EXPECT_DEATH(
        {
            KEVENT ev;
            memset(&ev, 0x5A, sizeof ev);
            KeSetEvent(&ev, 0, FALSE);
        },
        "never initialised");
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "outside a system thread");
}

TEST(ListDeathTest, CorruptedLinksAreFatal) {
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    a.Flink = &head;   // b is no longer reachable forwards
    EXPECT_DEATH(RemoveEntryList(&b), "LIST_ENTRY corruption");
}

TEST(PhysMem, MapsTheEmulatedLowMemory) {
    hk::test::PhysClear();
    const UCHAR block[4] = {'K', 'B', 'R', 'T'};
    hk::test::PhysWrite(0x80000, block, sizeof block);
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = 0x80000;
    auto* p = (PUCHAR)MmMapIoSpace(pa, 64, MmNonCached);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(memcmp(p, block, 4), 0);
    EXPECT_EQ(hk::test::OutstandingIoSpaceMappings(), 1);
    MmUnmapIoSpace(p, 64);
    EXPECT_EQ(hk::test::OutstandingIoSpaceMappings(), 0);
    pa.QuadPart = 0x100000 - 8;
    EXPECT_EQ(MmMapIoSpace(pa, 64, MmNonCached), nullptr);   // beyond the emulated memory
    hk::test::SetMapIoSpaceFails(true);
    pa.QuadPart = 0x80000;
    EXPECT_EQ(MmMapIoSpace(pa, 64, MmNonCached), nullptr);
    hk::test::SetMapIoSpaceFails(false);
}

TEST(PhysMemDeathTest, UnmapWithTheWrongSizeIsFatal) {
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = 0x80000;
    EXPECT_DEATH(
        {
            PVOID p = MmMapIoSpace(pa, 64, MmNonCached);
            MmUnmapIoSpace(p, 32);
        },
        "no mapping with that address and size");
}

}  // namespace
