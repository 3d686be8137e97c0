// Storport's default synchronisation as the miniport sees it: HwBuildIo runs on several threads
// at once and beside a running HwStartIo, while HwStartIo runs one at a time per adapter; requests
// complete inline and from work items at the same time. ThreadSanitizer looks at the port here.
#include "fake_miniport.h"

#include <hostkernel_test.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(PortConcurrent, BuildIoRunsInParallelWhileStartIoIsSerialised) {
    hk::test::ResetMachine();
    fake::Reset();
    ASSERT_EQ(HkDriverLoad(fake::DriverEntry, "Fake"), STATUS_SUCCESS);
    fake::S().slowCallbacks = true;
    constexpr int kThreads = 6, kPerThread = 60;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            std::vector<uint64_t> tickets;
            for (int i = 0; i < kPerThread; i++) {
                HkScsiRequest rq;
                rq.lun = (UCHAR)(i % 2);
                if (i % 3 == 0) {
                    rq.cdb = {0, 0, 0, 0, 0, 0};   // TEST UNIT READY: completed inside StartIo
                } else {
                    rq.cdb = fake::Read10((uint32_t)(t * 1000 + i), 1);   // completed by a work item
                    rq.dataInLength = 512;
                }
                tickets.push_back(HkScsiSubmit(rq));
            }
            for (uint64_t tk : tickets) {
                HkScsiResult r;
                if (HkScsiWait(tk, 10000, &r) && r.srbStatus == SRB_STATUS_SUCCESS) good++;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), kThreads * kPerThread);
    EXPECT_EQ(fake::S().maxStartIo.load(), 1);
    EXPECT_GT(fake::S().maxBuildIo.load(), 1);
    EXPECT_GT(fake::S().buildDuringStart.load(), 0);
    HkPortCounters c = HkPortStats();
    EXPECT_EQ(c.outstandingSrbs, 0u);
    EXPECT_GE(c.completions, (uint64_t)kThreads * kPerThread);
    fake::S().slowCallbacks = false;
    HkUnloadReport rep = HkDriverUnload();
    EXPECT_TRUE(rep.leaks.empty());
}

TEST(PortConcurrent, CallbacksRunOnTheCompletingThread) {
    hk::test::ResetMachine();
    fake::Reset();
    ASSERT_EQ(HkDriverLoad(fake::DriverEntry, "Fake"), STATUS_SUCCESS);
    std::mutex m;
    std::condition_variable cv;
    int done = 0;
    for (int i = 0; i < 40; i++) {
        HkScsiRequest rq;
        rq.cdb = fake::Read10((uint32_t)i, 2);
        rq.dataInLength = 1024;
        HkScsiSubmit(rq, [&](uint64_t, const HkScsiResult& r) {
            EXPECT_EQ(r.transferred, 1024u);
            std::lock_guard<std::mutex> g(m);
            done++;
            cv.notify_all();
        });
    }
    std::unique_lock<std::mutex> lk(m);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [&] { return done == 40; }));
    lk.unlock();
    hk::test::DrainWorkItems();
    EXPECT_TRUE(HkDriverUnload().leaks.empty());
}

}  // namespace
