// Timers and DPCs: periods, cancellation, flushing, and the long timers under a faster clock.
#include <ntddk.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Ticks {
    std::atomic<int> count{0};
    std::atomic<int> gate{1};          // 0 = the DPC spins until the test opens the gate
    std::atomic<int> running{0};
    ULONGLONG at[64] = {};
    KIRQL irql = PASSIVE_LEVEL;
};

VOID NTAPI TickDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
    auto* t = (Ticks*)ctx;
    t->running = 1;
    while (t->gate.load() == 0) std::this_thread::yield();   // a busy DPC; DPCs never wait
    int n = t->count.load();
    if (n < 64) t->at[n] = KeQueryInterruptTime();
    t->irql = KeGetCurrentIrql();
    t->count = n + 1;
    t->running = 0;
}

void Sleep(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

TEST(Timers, PeriodicTimerHonoursItsPeriodUntilCancelled) {
    KTIMER timer;
    KDPC dpc;
    Ticks t;
    KeInitializeTimerEx(&timer, NotificationTimer);
    KeInitializeDpc(&dpc, TickDpc, &t);
    LARGE_INTEGER due;
    due.QuadPart = -20 * 10000;
    ULONGLONG set = KeQueryInterruptTime();
    EXPECT_FALSE(KeSetTimerEx(&timer, due, 30, &dpc));
    for (int waited = 0; t.count.load() < 6 && waited < 2000; waited += 5) Sleep(5);
    EXPECT_TRUE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
    ASSERT_GE(t.count.load(), 6) << "a periodic timer must keep firing";
    int after = t.count.load();
    EXPECT_EQ(t.irql, DISPATCH_LEVEL);
    // The nth expiry is due 20 ms + n periods after setting: a DPC may run late, never early.
    for (int i = 0; i < 6; i++) EXPECT_GE(t.at[i] - set, (20u + 30u * i) * 10000) << "fire " << i;
    EXPECT_TRUE(KeReadStateTimer(&timer));
    Sleep(100);
    EXPECT_EQ(t.count.load(), after);   // nothing after the cancel
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(Timers, CancelDoesNotWaitForARunningDpcButFlushDoes) {
    KTIMER timer;
    KDPC dpc;
    Ticks t;
    t.gate = 0;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, TickDpc, &t);
    LARGE_INTEGER due;
    due.QuadPart = -1 * 10000;
    KeSetTimer(&timer, due, &dpc);
    while (t.running.load() == 0) std::this_thread::yield();
    EXPECT_FALSE(KeCancelTimer(&timer));   // already expired; returns at once although the DPC runs
    EXPECT_EQ(t.count.load(), 0);
    std::thread opener([&] {
        Sleep(50);
        t.gate = 1;
    });
    KeFlushQueuedDpcs();   // returns only after the running DPC is done
    EXPECT_EQ(t.count.load(), 1);
    opener.join();
}

TEST(Timers, TimerIsAWaitableObjectAndLongTimersRunOnAFastClock) {
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    hk::test::SetClockRate(1000.0);
    LARGE_INTEGER due;
    due.QuadPart = -30LL * 10000000;   // 30 s
    ULONGLONG start = KeQueryInterruptTime();
    auto real = std::chrono::steady_clock::now();
    KeSetTimer(&timer, due, nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - start, 30ull * 10000000);
    EXPECT_LT(std::chrono::steady_clock::now() - real, std::chrono::seconds(10));
    EXPECT_FALSE(KeReadStateTimer(&timer));   // a synchronization timer is reset by the wait
    hk::test::SetClockRate(1.0);

    // Advancing the clock fires a 60 s timer at once.
    Ticks t;
    KDPC dpc;
    KeInitializeDpc(&dpc, TickDpc, &t);
    due.QuadPart = -60LL * 10000000;
    KeSetTimer(&timer, due, &dpc);
    hk::test::AdvanceClock(61LL * 10000000);
    while (t.count.load() == 0) Sleep(1);
    KeFlushQueuedDpcs();
    EXPECT_EQ(t.count.load(), 1);
}

TEST(Dpcs, InsertTwiceQueuesOnceAndRemoveCancels) {
    KDPC dpc;
    Ticks t;
    KeInitializeDpc(&dpc, TickDpc, &t);
    KDPC blocker;
    Ticks b;
    b.gate = 0;
    KeInitializeDpc(&blocker, TickDpc, &b);
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    while (b.running.load() == 0) std::this_thread::yield();
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));   // already queued
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    b.gate = 1;
    KeFlushQueuedDpcs();
    EXPECT_EQ(t.count.load(), 1);
    EXPECT_EQ(b.count.load(), 1);
}

VOID NTAPI LeakSpinLockDpc(PKDPC, PVOID ctx, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel((PKSPIN_LOCK)ctx); }

TEST(DpcsDeathTest, DpcReturningWithASpinLockHeldIsFatal) {
    EXPECT_DEATH(
        {
            static KSPIN_LOCK lock;
            static KDPC dpc;
            KeInitializeSpinLock(&lock);
            KeInitializeDpc(&dpc, LeakSpinLockDpc, &lock);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            KeFlushQueuedDpcs();
        },
        "returned holding 1 spin lock");
}

}  // namespace
