// READ/WRITE/WRITE SAME/flush through the I/O workers, the work-item pool, and the READs held
// before activation, against the in-memory backend.
#include "AdapterTestSupport.h"

using namespace adaptertest;

namespace {

using Bytes = std::vector<uint8_t>;

class IoDispatchTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        Load();
    }
};

TEST_F(IoDispatchTest, ReadAtAndAcrossTheEnd) {
    UseMemDisk(0, 1 << 20);   // 2048 blocks
    for (size_t i = 0; i < Mem().data.size(); i++) Mem().data[i] = (uint8_t)(i / 512);

    HkScsiResult r = HkScsiExecute(In(Rw10(0x28, 2048, 1), 512));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x21, 0}));

    r = HkScsiExecute(In(Rw10(0x28, 2046, 8), 8 * 512));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(r.transferred, 1024u);
    EXPECT_EQ(r.data[0], (uint8_t)2046);
    EXPECT_EQ(r.data[1023], (uint8_t)2047);

    // READ(6): LBA from all of byte 1..3, a count of 0 means 256 blocks.
    r = HkScsiExecute(In(Cdb6(0x08, 0, 0, 16, 0), 256 * 512));
    ASSERT_EQ(r.transferred, 256u * 512);
    EXPECT_EQ(r.data[0], 16);
}

TEST_F(IoDispatchTest, WriteProtectionAndSuperUser) {
    UseMemDisk(0, 1 << 20);
    LuExt* lu = Lun(0);
    WpSetFlag(&lu->session.readOnly, TRUE);
    HkScsiResult r = HkScsiExecute(Out(Rw10(0x2A, 8, 1), Bytes(512, 0xAB)));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{7, 0x27, 0}));
    EXPECT_EQ(LogCount("ZelkoVd: [WRITE] 拒绝写入：readOnly=1 superUser=0\n"), 1);
    HkScsiExecute(Out(Rw10(0x2A, 8, 1), Bytes(512, 0xAB)));
    EXPECT_EQ(LogCount("拒绝写入"), 1);
    EXPECT_EQ(Mem().data[8 * 512], 0);

    WpSetFlag(&lu->session.superUser, TRUE);
    r = HkScsiExecute(Out(Rw10(0x2A, 8, 1), Bytes(512, 0xAB)));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 512u);
    EXPECT_EQ(Mem().data[8 * 512], 0xAB);
    EXPECT_EQ(LogCount("ZelkoVd: [WRITE] 入口 #"), 3);
}

TEST_F(IoDispatchTest, WritesOfEverySizeClassArriveWhole) {
    UseMemDisk(0, 4 << 20);
    for (uint32_t blocks : {1u, 32u, 33u, 128u, 129u, 512u, 513u, 2048u}) {
        Bytes data(blocks * 512);
        for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7 + blocks);
        HkScsiResult r = HkScsiExecute(Out(Rw16(0x8A, 100, blocks), data));
        ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << blocks;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), Mem().data.begin() + 100 * 512)) << blocks;
    }
}

TEST_F(IoDispatchTest, WriteSameBeyondSixteenMiBIsWrittenInPieces) {
    const size_t disk = (size_t)40 << 20;
    UseMemDisk(0, disk);
    Bytes pattern(512);
    for (size_t i = 0; i < 512; i++) pattern[i] = (uint8_t)(i ^ 0x5A);
    // 70000 blocks (about 34 MiB) from LBA 10: three pieces.
    HkScsiResult r = HkScsiExecute(Out(Rw16(0x93, 10, 70000), pattern));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    uint64_t covered = 10 * 512;
    for (const auto& w : Mem().writes) {
        EXPECT_EQ(w.first, covered);
        EXPECT_LE(w.second, 16u << 20);
        covered += w.second;
    }
    EXPECT_EQ(covered, (10 + 70000ull) * 512);
    EXPECT_GE(Mem().writes.size(), 3u);
    for (uint64_t b = 10; b < 70010; b += 997)
        ASSERT_TRUE(std::equal(pattern.begin(), pattern.end(), Mem().data.begin() + b * 512)) << b;
    EXPECT_FALSE(LogHas("no-op"));

    // An all-ones pattern writes zeros; a range past the end is clamped.
    Mem().writes.clear();
    r = HkScsiExecute(Out({0x41, 0, 0, 0, 0x4E, 0x20, 0, 0x00, 0x10, 0}, Bytes(512, 0xFF)));   // LBA 20000, 16
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("[WRITE_SAME] 0xFF -> 0x00 (TRIM sanitize): lba=20000 blocks=16"));
    EXPECT_TRUE(std::all_of(Mem().data.begin() + 20000 * 512, Mem().data.begin() + 20016 * 512,
                            [](uint8_t b) { return b == 0; }));
    r = HkScsiExecute(Out(Rw16(0x93, disk / 512 - 2, 100), pattern));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(Mem().writes.size(), 2u);
    EXPECT_EQ(Mem().writes[1].second, 1024u);

    r = HkScsiExecute(Out(Rw16(0x93, 0, 8), Bytes(256, 1)));
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x24, 0}));
}

TEST_F(IoDispatchTest, FailedFlushIsReportedAsMediumError) {
    UseMemDisk(0, 1 << 20);
    std::vector<uint8_t> sync16 = {0x91, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    HkScsiResult r = HkScsiExecute(In(sync16, 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Mem().flushes, 1);

    Mem().flushStatus = STATUS_IO_TIMEOUT;
    r = HkScsiExecute(In(sync16, 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{3, 0x0C, 0}));

    // A forced-unit-access write is on the medium only when the flush after it worked.
    r = HkScsiExecute(Out(Rw10(0x2A, 1, 1, true), Bytes(512, 7)));
    EXPECT_EQ(SenseOf(r), (Sense{3, 0x0C, 0}));
    EXPECT_EQ(Mem().flushes, 3);
    r = HkScsiExecute(Out(Rw10(0x2A, 1, 1, false), Bytes(512, 7)));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Mem().flushes, 3);

    // The port's own flush function goes the same way.
    HkScsiRequest flush;
    flush.function = SRB_FUNCTION_FLUSH;
    flush.cdb = {0, 0, 0, 0, 0, 0};
    r = HkScsiExecute(flush);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
}

TEST_F(IoDispatchTest, HeldReadsAreReleasedInArrivalOrder) {
    UseMemDisk(0, 1 << 20, /*activated=*/false);
    std::vector<uint64_t> tickets;
    for (uint32_t lba : {40u, 10u, 30u}) tickets.push_back(HkScsiSubmit(In(Rw10(0x28, lba, 1), 512)));
    HkScsiResult r;
    EXPECT_FALSE(HkScsiWait(tickets[0], 100, &r));
    EXPECT_EQ(SenseOf(HkScsiExecute(In(Cdb6(0x00), 0))), (Sense{2, 4, 1}));
    // Without a buffer a READ cannot be held: busy at once.
    r = HkScsiExecute(In(Rw10(0x28, 0, 0), 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_BUSY);

    // Held in arrival order: the wake-up walks the list from its head.
    LuExt* lu = Lun(0);
    std::vector<uint64_t> order;
    for (PLIST_ENTRY e = lu->pendingReads.Flink; e != &lu->pendingReads; e = e->Flink)
        order.push_back(CONTAINING_RECORD(e, SrbExt, pendingLink)->offset / 512);
    EXPECT_EQ(order, (std::vector<uint64_t>{40, 10, 30}));

    WpSetFlag(&lu->session.handshakeDone, TRUE);
    WakeupPendingReads(lu);
    for (uint64_t t : tickets) {
        ASSERT_TRUE(HkScsiWait(t, 5000, &r));
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    }
    EXPECT_EQ(LogCount("[ZelkoVd][INFO] WakeupPendingReads: 已唤醒所有挂起的 READ SRB\n"), 1);
    EXPECT_TRUE(IsListEmpty(&lu->pendingReads));
    // Once activated, READs go straight to the workers.
    EXPECT_EQ(HkScsiExecute(In(Rw10(0x28, 5, 1), 512)).srbStatus, SRB_STATUS_SUCCESS);
}

TEST_F(IoDispatchTest, HeldReadExpiresBetweenTwentyAndTwentyFiveSeconds) {
    UseMemDisk(0, 1 << 20, /*activated=*/false);
    uint64_t t = HkScsiSubmit(In(Rw10(0x28, 0, 1), 512));
    HkScsiResult r;
    hk::test::AdvanceClock(195000000);   // 19.5 s
    EXPECT_FALSE(HkScsiWait(t, 300, &r));
    hk::test::AdvanceClock(56000000);    // 25.1 s
    ASSERT_TRUE(HkScsiWait(t, 5000, &r));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_BUSY);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_BUSY);
    EXPECT_EQ(SenseOf(r), (Sense{2, 4, 1}));
}

TEST_F(IoDispatchTest, FailedActivationAndLunRemovalCompleteHeldReadsBusy) {
    UseMemDisk(0, 1 << 20, /*activated=*/false);
    uint64_t a = HkScsiSubmit(In(Rw10(0x28, 0, 1), 512));
    FailPendingReads(Lun(0));
    HkScsiResult r;
    ASSERT_TRUE(HkScsiWait(a, 5000, &r));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_BUSY);

    CreateLunRecord rec = {};
    rec.diskSize = 1 << 20;
    LuExt* lu = nullptr;
    ASSERT_EQ(CreateLun(Adapter(), 2, &rec, &lu), STATUS_SUCCESS);
    std::vector<uint64_t> held;
    for (int i = 0; i < 3; i++) held.push_back(HkScsiSubmit(In(Rw10(0x28, i, 1), 512, 2)));
    ASSERT_EQ(DeleteLun(Adapter(), 2), STATUS_SUCCESS);
    for (uint64_t t : held) {
        ASSERT_TRUE(HkScsiWait(t, 5000, &r));
        EXPECT_EQ(r.srbStatus, SRB_STATUS_BUSY);
        EXPECT_EQ(SenseOf(r), (Sense{2, 4, 1}));
    }
    EXPECT_EQ(DeleteLun(Adapter(), 2), STATUS_NOT_FOUND);
    EXPECT_EQ(GetLun(Adapter(), 0, 0, 2), nullptr);
}

TEST_F(IoDispatchTest, ConcurrentRequestsBeyondThePoolUseAllocatedWorkItems) {
    UseMemDisk(0, 1 << 20);
    AdapterExt* adapter = Adapter();
    ASSERT_EQ(QueryDepthSList(&adapter->workItemPool.freeList), 128);
    LONG hits0 = adapter->workItemPool.hits, misses0 = adapter->workItemPool.misses;
    Mem().CloseGate();
    std::vector<uint64_t> tickets;
    std::vector<std::thread> submitters;
    std::mutex tl;
    for (int t = 0; t < 4; t++)
        submitters.emplace_back([&, t] {
            for (int i = 0; i < 50; i++) {
                uint64_t k = HkScsiSubmit(In(Rw10(0x28, (uint32_t)(t * 50 + i), 1), 512));
                std::lock_guard<std::mutex> g(tl);
                tickets.push_back(k);
            }
        });
    for (auto& s : submitters) s.join();
    EXPECT_EQ(adapter->workItemPool.hits - hits0, 128);
    EXPECT_EQ(adapter->workItemPool.misses - misses0, 72);
    Mem().OpenGate();
    for (uint64_t k : tickets) {
        HkScsiResult r;
        ASSERT_TRUE(HkScsiWait(k, 10000, &r));
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    }
    for (int i = 0; i < 200 && InterlockedCompareExchange(&adapter->outstandingWorkers, 0, 0) != 0; i++) SleepMs(5);
    EXPECT_EQ(QueryDepthSList(&adapter->workItemPool.freeList), 128);
}

TEST_F(IoDispatchTest, ConcurrentStopWaitsForWorkersInFlight) {
    UseMemDisk(0, 1 << 20);
    Mem().readDelayMs = 200;
    std::atomic<int> done{0}, ok{0};
    for (int i = 0; i < 5; i++)
        HkScsiSubmit(In(Rw10(0x28, i, 1), 512), [&](uint64_t, const HkScsiResult& r) {
            if (r.srbStatus == SRB_STATUS_SUCCESS) ok++;
            done++;
        });
    SleepMs(50);
    HkUnloadReport report = Unload();
    for (const auto& l : report.leaks) ADD_FAILURE() << l;
    EXPECT_EQ(done.load(), 5);
    EXPECT_EQ(ok.load(), 5);
}

}  // namespace
