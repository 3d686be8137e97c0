// Pool tracking: leaks per tag, and the frees Driver Verifier refuses.
#include <ntddk.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr ULONG kTag = 'tseT';   // shows as "Test"
constexpr ULONG kOther = 'rhtO';

TEST(Pool, OutstandingBlocksAreReportedPerTag) {
    uint64_t mark = hk::test::PoolMark();
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    void* b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 24, kTag);
    void* c = ExAllocatePool2(POOL_FLAG_PAGED, 8, kOther);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(((UCHAR*)b)[0], 0);   // ExAllocatePool2 zeroes
    EXPECT_EQ(hk::test::PoolLeaksSince(mark),
              "pool tag 'Othr': 1 block(s), 8 bytes outstanding\n"
              "pool tag 'Test': 2 block(s), 64 bytes outstanding\n");
    EXPECT_EQ(hk::test::PoolLeaksSince(mark, kOther), "pool tag 'Othr': 1 block(s), 8 bytes outstanding\n");
    ExFreePoolWithTag(a, kTag);
    ExFreePoolWithTag(b, kTag);
    ExFreePool(c);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "");
}

TEST(Pool, InjectedFailureHitsTheNthAllocationOfATag) {
    hk::test::FailPoolAllocation(2, kTag);
    void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kOther);   // other tags do not count
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    EXPECT_NE(other, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(other, kOther);
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(third, kTag);
}

TEST(Pool, LookasideEntriesAreTrackedUnderTheListTag) {
    uint64_t mark = hk::test::PoolMark();
    NPAGED_LOOKASIDE_LIST la;
    ExInitializeNPagedLookasideList(&la, nullptr, nullptr, POOL_NX_ALLOCATION, 100, kTag, 0);
    void* e1 = ExAllocateFromNPagedLookasideList(&la);
    void* e2 = ExAllocateFromNPagedLookasideList(&la);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "pool tag 'Test': 2 block(s), 200 bytes outstanding\n");
    ExFreeToNPagedLookasideList(&la, e1);
    ExFreeToNPagedLookasideList(&la, e2);
    ExDeleteNPagedLookasideList(&la);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "");
}

TEST(Pool, LookasideHandsFreedEntriesOutAgainAndGivesThemBackWhenDeleted) {
    uint64_t mark = hk::test::PoolMark();
    NPAGED_LOOKASIDE_LIST la;
    ExInitializeNPagedLookasideList(&la, nullptr, nullptr, POOL_NX_ALLOCATION, 4096, kTag, 0);
    void* e1 = ExAllocateFromNPagedLookasideList(&la);
    ASSERT_NE(e1, nullptr);
    ExFreeToNPagedLookasideList(&la, e1);
    // Kept by the list: still a block of its tag, and the next allocation is that block.
    EXPECT_EQ(hk::test::PoolOutstanding(kTag), 1u);
    // A reused entry counts as allocated after a later mark.
    uint64_t later = hk::test::PoolMark();
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&la), e1);
    EXPECT_EQ(la.L.TotalAllocates, 2u);
    EXPECT_EQ(la.L.AllocateMisses, 1u);
    EXPECT_EQ(hk::test::PoolLeaksSince(later), "pool tag 'Test': 1 block(s), 4096 bytes outstanding\n");
    // Injected failures reach allocations the list could have served from its cache.
    ExFreeToNPagedLookasideList(&la, e1);
    hk::test::FailPoolAllocation(1, kTag);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&la), nullptr);
    // The cache is bounded by the list's depth; what does not fit goes back to the pool.
    std::vector<void*> many;
    for (int i = 0; i < 300; i++) many.push_back(ExAllocateFromNPagedLookasideList(&la));
    for (void* e : many) ExFreeToNPagedLookasideList(&la, e);
    EXPECT_EQ(hk::test::PoolOutstanding(kTag), (size_t)la.L.MaximumDepth);
    ExDeleteNPagedLookasideList(&la);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "");
}

TEST(PoolDeathTest, LookasideEntryFreedTwiceOverrunOrFreedToThePoolIsFatal) {
    EXPECT_DEATH(
        {
            NPAGED_LOOKASIDE_LIST la;
            ExInitializeNPagedLookasideList(&la, nullptr, nullptr, POOL_NX_ALLOCATION, 64, kTag, 0);
            void* e = ExAllocateFromNPagedLookasideList(&la);
            ExFreeToNPagedLookasideList(&la, e);
            ExFreeToNPagedLookasideList(&la, e);
        },
        "entry freed to its look-aside list twice");
    EXPECT_DEATH(
        {
            NPAGED_LOOKASIDE_LIST la;
            ExInitializeNPagedLookasideList(&la, nullptr, nullptr, POOL_NX_ALLOCATION, 64, kTag, 0);
            auto* e = (UCHAR*)ExAllocateFromNPagedLookasideList(&la);
            e[64] = 0;
            ExFreeToNPagedLookasideList(&la, e);
        },
        "look-aside entry .* was written past its end");
    EXPECT_DEATH(
        {
            NPAGED_LOOKASIDE_LIST la;
            ExInitializeNPagedLookasideList(&la, nullptr, nullptr, POOL_NX_ALLOCATION, 64, kTag, 0);
            void* e = ExAllocateFromNPagedLookasideList(&la);
            ExFreeToNPagedLookasideList(&la, e);
            ExFreePoolWithTag(e, kTag);   // the list owns it now
        },
        "not an allocated pool block");
    EXPECT_DEATH(
        {
            NPAGED_LOOKASIDE_LIST la;
            ExInitializeNPagedLookasideList(&la, nullptr, nullptr, POOL_NX_ALLOCATION, 64, kTag, 0);
            void* e = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kOther);
            ExFreeToNPagedLookasideList(&la, e);
        },
        "not a pool block of the list's tag 'Test'");
}

TEST(PoolDeathTest, DoubleFreeWrongTagOverrunAndUntaggedAreFatal) {
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
            ExFreePoolWithTag(p, kTag);
            ExFreePoolWithTag(p, kTag);
        },
        "BAD_POOL_CALLER: ExFreePoolWithTag\\(.*\\): not an allocated pool block \\(freed twice");
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
            ExFreePoolWithTag(p, kOther);
        },
        "with tag 'Othr' but the block was allocated with tag 'Test'");
    EXPECT_DEATH(
        {
            auto* p = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
            p[16] = 1;
            ExFreePoolWithTag(p, kTag);
        },
        "written past its end");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0), "pool tag 0");
    EXPECT_DEATH(
        {
            KIRQL o;
            KeRaiseIrql(DISPATCH_LEVEL, &o);
            ExAllocatePoolWithTag(PagedPool, 16, kTag);
        },
        "ExAllocatePoolWithTag called at IRQL 2 \\(allowed up to 1\\)");
}

TEST(PoolDeathTest, FreeingABlockWithLiveKernelObjectsIsFatal) {
    struct Holder {
        KTIMER timer;
        KDPC dpc;
        ERESOURCE resource;
    };
    EXPECT_DEATH(
        {
            auto* h = (Holder*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Holder), kTag);
            KeInitializeTimer(&h->timer);
            LARGE_INTEGER due;
            due.QuadPart = -10LL * 10000000;
            KeSetTimer(&h->timer, due, nullptr);
            ExFreePoolWithTag(h, kTag);
        },
        "still contains an active timer");
    EXPECT_DEATH(
        {
            auto* h = (Holder*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Holder), kTag);
            ExInitializeResourceLite(&h->resource);
            ExFreePoolWithTag(h, kTag);
        },
        "freeing pool block \\(tag 'Test'\\) .* still contains ERESOURCE .* that was not deleted");
}

TEST(PoolDeathTest, LeakReportAtTeardownNamesTheTag) {
    EXPECT_DEATH(
        {
            (void)ExAllocatePoolWithTag(NonPagedPoolNx, 48, 'kaeL');
            hk::test::ReportPoolLeaks(stderr);
            abort();
        },
        "outstanding pool allocations:\npool tag 'Leak': 1 block\\(s\\), 48 bytes outstanding");
}

}  // namespace

namespace {

struct alignas(16) Node {
    SLIST_ENTRY link;
    int value;
};

TEST(SList, LifoOrderDepthAndFlush) {
    alignas(16) SLIST_HEADER head;
    InitializeSListHead(&head);
    Node n[3];
    for (int i = 0; i < 3; i++) {
        n[i].value = i;
        InterlockedPushEntrySList(&head, &n[i].link);
    }
    EXPECT_EQ(QueryDepthSList(&head), 3);
    auto* top = CONTAINING_RECORD(InterlockedPopEntrySList(&head), Node, link);
    EXPECT_EQ(top->value, 2);
    PSLIST_ENTRY rest = InterlockedFlushSList(&head);
    EXPECT_EQ(CONTAINING_RECORD(rest, Node, link)->value, 1);
    EXPECT_EQ(CONTAINING_RECORD(rest->Next, Node, link)->value, 0);
    EXPECT_EQ(rest->Next->Next, nullptr);
    EXPECT_EQ(QueryDepthSList(&head), 0);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
}

}  // namespace
