// The block cache's rules as a reader, a writer and the server see them: read-ahead only for a
// stream of consecutive passes, a partial write fetching its block, the dirty threshold waking
// the flusher, pushed blocks, the boot prefetch, and the control requests that reach the cache.
#include "CacheTestSupport.h"

#include "ZelkoControl.h"

using namespace cachetest;

namespace {

TEST_F(CacheTest, ThirdOfThreeSingleBlockReadsIsServedByTheReadAheadOfTheSecond) {
    Start();
    std::vector<uint8_t> b10 = Read(10 * kBlock, kBlock);
    EXPECT_EQ(b10, server_->Bytes(10 * kBlock, kBlock));
    EXPECT_EQ(Stat(ZvStatReadAheadInserted), 0u);
    EXPECT_EQ(Stat(ZvStatNonSequentialPasses), 1u);

    Read(11 * kBlock, kBlock);
    // One batch: block 11 and the 255 blocks after it.
    auto reqs = server_->server->Requests();
    ASSERT_EQ(reqs.back().header.opcode, wire::OpBatchRead);
    EXPECT_EQ(reqs.back().header.offset, 256u);
    EXPECT_EQ(Stat(ZvStatReadAheadInserted), 255u);
    EXPECT_EQ(server_->batchReads.load(), 2);

    std::vector<uint8_t> b12 = Read(12 * kBlock, kBlock);
    EXPECT_EQ(b12, server_->Bytes(12 * kBlock, kBlock));
    EXPECT_EQ(Read(266 * kBlock, kBlock), server_->Bytes(266 * kBlock, kBlock));
    EXPECT_EQ(server_->batchReads.load(), 2) << "blocks 12..266 came with the read-ahead";
    EXPECT_EQ(Stat(ZvStatReadHits), 2u);
    EXPECT_EQ(Stat(ZvStatReadMisses), 2u);
}

TEST_F(CacheTest, StreamOf64KiBReadsNeverCountsAsSequential) {
    Start();
    for (int i = 0; i < 6; i++) Read((uint64_t)i * 0x10000, 0x10000);
    EXPECT_EQ(Stat(ZvStatReadAheadInserted), 0u);
    EXPECT_EQ(Stat(ZvStatNonSequentialPasses), 6u);
    EXPECT_EQ(server_->batchReads.load(), 6);
    EXPECT_EQ(Stat(ZvStatBatchFetchOk), 6u);
    // An unaligned read across cached and uncached blocks: one batch for the missing ones only.
    std::vector<uint8_t> r = Read(6 * 0x10000 - 100, 9000);
    EXPECT_EQ(r, server_->Bytes(6 * 0x10000 - 100, 9000));
    EXPECT_EQ(server_->server->Requests().back().header.offset, 3u);   // blocks 96..98
}

TEST_F(CacheTest, PartialWriteFetchesItsBlockFirstAndIsWrittenBackByAFlush) {
    Start();
    std::vector<uint8_t> before = server_->Bytes(0, kBlock);
    std::vector<uint8_t> data = Filled(512, 0x40);
    Write(100, data);
    EXPECT_EQ(server_->reads.load(), 1);
    EXPECT_EQ(server_->RoundTrips(), 1) << "the write stays in the cache";
    EXPECT_EQ(DirtyBytes(), kBlock);
    EXPECT_EQ(Stat(ZvStatWriteMisses), 1u);

    std::vector<uint8_t> expect = before;
    std::copy(data.begin(), data.end(), expect.begin() + 100);
    EXPECT_EQ(Read(0, kBlock), expect);
    EXPECT_EQ(CacheFlush(lu_), STATUS_SUCCESS);
    EXPECT_EQ(server_->Bytes(0, kBlock), expect);
    EXPECT_EQ(DirtyBytes(), 0u);
    EXPECT_EQ(Stat(ZvStatBytesWrittenBack), kBlock);

    // A whole-block write needs no fetch; many of them go back in 1 MiB batches.
    int readsBefore = server_->reads + server_->batchReads;
    std::vector<uint8_t> big = Filled(600 * kBlock, 9);
    Write(64 * kBlock, big);
    EXPECT_EQ(server_->reads + server_->batchReads, readsBefore);
    EXPECT_EQ(CacheFlush(lu_), STATUS_SUCCESS);
    EXPECT_EQ(server_->Bytes(64 * kBlock, big.size()), big);
    EXPECT_EQ(Stat(ZvStatWriteBackBatches), 3u);   // 256 + 256 + 88
    for (const auto& r : server_->server->Requests())
        if (r.header.opcode == wire::OpBatchWrite) EXPECT_LE(r.header.length, 0x100000u);
}

TEST_F(CacheTest, DirtyThresholdWakesTheFlusherAtOnceOtherwiseItRunsEveryFiveSeconds) {
    Start();
    SetCapacityBlocks(100);   // threshold: 80 blocks
    Write(0, Filled(79 * kBlock, 1));
    peer::SleepMs(300);
    EXPECT_EQ(Stat(ZvStatFlushWakeupsQueued), 0u);
    EXPECT_EQ(server_->batchWrites.load(), 0);
    Write(79 * kBlock, Filled(kBlock, 2));
    EXPECT_EQ(Stat(ZvStatFlushWakeupsQueued), 1u);
    for (int i = 0; i < 200 && DirtyBytes() != 0; i++) peer::SleepMs(5);
    EXPECT_EQ(DirtyBytes(), 0u) << "the wake-up did not wait for the 5-second round";
    EXPECT_EQ(server_->Bytes(0, 79 * kBlock), Filled(79 * kBlock, 1));

    // Below the threshold: the periodic round (virtual time runs 20 times faster here).
    Write(200 * kBlock, Filled(kBlock, 3));
    hk::test::SetClockRate(20);
    for (int i = 0; i < 400 && DirtyBytes() != 0; i++) peer::SleepMs(5);
    EXPECT_EQ(DirtyBytes(), 0u);
    EXPECT_EQ(server_->Bytes(200 * kBlock, kBlock), Filled(kBlock, 3));
}

TEST_F(CacheTest, PushedBlocksAreTakenOnlyWhole4KiBAlignedAndWhenTheCacheIsFree) {
    Start();
    std::vector<uint8_t> block = Filled(kBlock, 0x77);
    EXPECT_EQ(PushBlock(8 * kBlock, kBlock, block.data()), 0u) << "no target registered yet";
    CacheRegisterPushBlock(lu_);
    EXPECT_EQ(LogCount("[ZelkoVd][INFO] PushBlock: 回调已注册 ext="), 1);
    EXPECT_EQ(PushBlock(8 * kBlock, 2048, block.data()), 0u);
    EXPECT_EQ(PushBlock(8 * kBlock + 512, kBlock, block.data()), 0u);
    EXPECT_EQ(PushBlock(8 * kBlock, kBlock, nullptr), 0u);
    // Past the end of the 16 MiB disk: nothing a reader could ask for, so it must not take room.
    EXPECT_EQ(PushBlock(16ull << 20, kBlock, block.data()), 0u);
    EXPECT_EQ(PushBlock(1ull << 40, kBlock, block.data()), 0u);
    EXPECT_EQ(PushBlock(8 * kBlock, kBlock, block.data()), 1u);
    EXPECT_EQ(Stat(ZvStatPushInserted), 1u);
    int before = server_->RoundTrips();
    EXPECT_EQ(Read(8 * kBlock, kBlock), block);
    EXPECT_EQ(server_->RoundTrips(), before);

    // A written block is newer than what the server pushes.
    Write(9 * kBlock, Filled(kBlock, 1));
    EXPECT_EQ(PushBlock(9 * kBlock, kBlock, block.data()), 1u);
    EXPECT_EQ(Read(9 * kBlock, kBlock), Filled(kBlock, 1));

    // The receive thread never waits: a held cache lock costs the block.
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(&lu_->cache.cacheLock, TRUE);
        held = true;
        while (!release) peer::SleepMs(1);
        ExReleaseResourceLite(&lu_->cache.cacheLock);
        KeLeaveCriticalRegion();
    });
    while (!held) peer::SleepMs(1);
    EXPECT_EQ(PushBlock(20 * kBlock, kBlock, block.data()), 0u);
    release = true;
    holder.join();
    EXPECT_EQ(Stat(ZvStatPushDroppedBusy), 1u);
}

// An MBR whose first entry is extended and whose second is NTFS at LBA 2048 (8 sectors per
// cluster, $MFT at cluster 4, $MFTMirr at cluster 16); `type1` replaces the NTFS type.
void WriteBootArea(FaultyDisk& d, uint8_t type0, uint8_t type1) {
    std::lock_guard<std::mutex> g(d.disk.lock);
    uint8_t* img = d.disk.data.data();
    memset(img, 0, 4 << 20);
    img[446 + 4] = type0;
    img[446 + 8] = 63;
    img[446 + 16 + 4] = type1;
    img[446 + 16 + 9] = 0x08;
    img[510] = 0x55;
    img[511] = 0xAA;
    uint8_t* boot = img + 2048 * 512;
    memcpy(boot + 3, "NTFS    ", 8);
    boot[13] = 8;
    boot[0x30] = 4;
    boot[0x38] = 16;
}

TEST_F(CacheTest, PrefetchBootReadsMbrBootSectorMftAndMirrorOnce) {
    Start();
    WriteBootArea(*server_, 0x05, 0x07);
    EXPECT_EQ(PrefetchBoot(lu_), STATUS_SUCCESS);
    EXPECT_EQ(LogCount("[ZelkoVd][INFO] PrefetchBoot: 分区 1 type=0x07 起始LBA=2048\n"), 1);
    EXPECT_EQ(LogCount("[ZelkoVd][INFO] PrefetchBoot: 预读 $MFT offset=1064960 status=0x00000000\n"), 1);
    // MBR block, boot sector (2 blocks at 1 MiB), $MFT (2 blocks), $MFTMirr (1 block at 1 MiB + 64 KiB).
    int before = server_->RoundTrips();
    for (uint64_t off : {0ull, 1048576ull, 1052672ull, 1064960ull, 1069056ull, 1114112ull}) Read(off, kBlock);
    EXPECT_EQ(server_->RoundTrips(), before) << "every prefetched block is cached";
    EXPECT_EQ(PrefetchBoot(lu_), (NTSTATUS)0xFF);
    EXPECT_EQ(server_->RoundTrips(), before);
    EXPECT_EQ(LogCount("PrefetchBoot: 完成"), 1);
}

TEST_F(CacheTest, PrefetchBootOfALinuxDiskReadsTheFirstEightKiB) {
    Start();
    WriteBootArea(*server_, 0x83, 0x00);
    EXPECT_EQ(PrefetchBoot(lu_), STATUS_SUCCESS);
    EXPECT_EQ(LogCount("[ZelkoVd][INFO] PrefetchBoot: 无 MBR 分区表，预读 LBA 0-15\n"), 1);
    int before = server_->RoundTrips();
    Read(0, 8192);
    EXPECT_EQ(server_->RoundTrips(), before);
}

// ---------------------------------------------------------------------------------------------
// Through the worker and the control device

std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t blocks, uint8_t b1 = 0) {
    std::vector<uint8_t> c(16, 0);
    c[0] = op;
    c[1] = b1;
    for (int i = 0; i < 8; i++) c[2 + i] = (uint8_t)(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; i++) c[10 + i] = (uint8_t)(blocks >> (24 - 8 * i));
    return c;
}

TEST_F(CacheTest, FlushRequestsReportAFailedWriteBack) {
    Start();
    HkScsiRequest w;
    w.cdb = Cdb16(0x8A, 16, 8);
    w.dataOut = Filled(8 * 512, 5);
    ASSERT_EQ(HkScsiExecute(w).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(DirtyBytes(), kBlock);

    server_->refuseWrites = true;
    HkScsiRequest sync;
    sync.cdb = Cdb16(0x91, 0, 0);
    HkScsiResult r = HkScsiExecute(sync);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[2] & 0x0F, 0x03) << "MEDIUM ERROR";
    // FUA: the write itself is taken, the forced write-back fails.
    w.cdb = Cdb16(0x8A, 64, 8, 0x08);
    EXPECT_EQ(HkScsiExecute(w).srbStatus, SRB_STATUS_ERROR);

    HkFile* f = nullptr;
    ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &f), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(HkDeviceIoControl(f, IOCTL_ZELKO_FLUSH, {}, 0).status));
    // The purge keeps the blocks the server refused, and says so by not counting them dropped.
    Read(40 * kBlock, kBlock);
    std::vector<uint8_t> purge(16, 0);
    HkIoResult p = HkDeviceIoControl(f, IOCTL_ZELKO_CACHE_PURGE, purge, 16);
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    ASSERT_EQ(p.data.size(), 16u);
    uint64_t dropped, writtenBack;
    memcpy(&dropped, p.data.data(), 8);
    memcpy(&writtenBack, p.data.data() + 8, 8);
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(writtenBack, 0u);
    EXPECT_EQ(Stat(ZvStatDirtyKept), 2u);
    EXPECT_EQ(DirtyBytes(), 2u * kBlock);

    server_->refuseWrites = false;
    EXPECT_EQ(HkDeviceIoControl(f, IOCTL_ZELKO_FLUSH, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(server_->Bytes(16 * 512, 8 * 512), Filled(8 * 512, 5));
    p = HkDeviceIoControl(f, IOCTL_ZELKO_GET_STATUS, {}, sizeof(zelko::control::StatusRecord));
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    uint64_t written;
    memcpy(&written, p.data.data() + 8 * ZvStatBytesWrittenBack, 8);
    EXPECT_EQ(written, 2u * kBlock);
    HkCloseFile(f);
}

}  // namespace
