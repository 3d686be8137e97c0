// The block cache when things go wrong or happen at once: batches refused by the server, write-
// backs that fail at a flush, a purge and the LUN's removal, a new image version in the middle of
// reads and writes, many readers and writers evicting each other's blocks, and the flusher racing
// the teardown. Written data must never be lost silently nor served stale.
#include "CacheTestSupport.h"

#include <random>

using namespace cachetest;

namespace {

TEST_F(CacheTest, EveryTenthBatchRefusedStillYieldsTheRightDataBlockByBlock) {
    Start(8 << 20);
    server_->failEveryNthBatch = 10;
    std::mt19937 rng(7);
    for (int i = 0; i < 60; i++) {
        uint64_t off = (rng() % ((8 << 20) - 70000)) & ~511ull;
        uint32_t len = 512 * (1 + rng() % 128);
        std::vector<uint8_t> r = Read(off, len);
        ASSERT_EQ(r, server_->Bytes(off, len)) << "read " << i << " at " << off;
    }
    EXPECT_GE(Stat(ZvStatBatchFetchFailed), 1u);
    EXPECT_GE(server_->reads.load(), 1) << "the refused batches were fetched block by block";
}

// A batch may succeed with less than was asked: only the segments that arrived whole, each with
// its asked length, are blocks; everything else is fetched on its own, never taken from whatever
// the fetch buffer held.
TEST_F(CacheTest, BatchesCutShortOrReshapedByTheServerStillYieldTheRightData) {
    Start(8 << 20);
    for (int lie : {1, 2}) {
        server_->lyingBatches = lie;
        uint64_t off = (uint64_t)lie << 20;
        int singles = server_->reads.load();
        std::vector<uint8_t> r = Read(off, 64 * kBlock);
        ASSERT_EQ(r, server_->Bytes(off, 64 * kBlock)) << "lie " << lie;
        EXPECT_GT(server_->reads.load(), singles) << "lie " << lie << ": the rest came block by block";
    }
    EXPECT_EQ(Stat(ZvStatBatchFetchFailed), 2u);
}

TEST_F(CacheTest, FailedWriteBackKeepsEveryWrittenBlockUntilTheServerTakesIt) {
    Start();
    std::vector<uint8_t> data = Filled(300 * kBlock, 0x21);
    Write(1000 * kBlock, data);
    server_->refuseWrites = true;
    EXPECT_FALSE(NT_SUCCESS(CacheFlush(lu_)));
    EXPECT_EQ(DirtyBytes(), 300u * kBlock);
    ULONGLONG dropped = 99, written = 99;
    EXPECT_EQ(CacheInvalidateRange(lu_, 1000 * kBlock, 10 * kBlock, &dropped, &written), STATUS_SUCCESS);
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(written, 0u);
    // Eviction passes written blocks over, however small the cache.
    SetCapacityBlocks(16);
    Read(0, 64 * kBlock);
    EXPECT_EQ(Read(1000 * kBlock, 300 * kBlock), data);

    server_->refuseWrites = false;
    EXPECT_EQ(CacheInvalidateRange(lu_, 1000 * kBlock, 10 * kBlock, &dropped, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 10u);
    EXPECT_EQ(dropped, 10u);
    EXPECT_EQ(CacheFlush(lu_), STATUS_SUCCESS);
    EXPECT_EQ(server_->Bytes(1000 * kBlock, data.size()), data);
}

TEST_F(CacheTest, RemovalWritesBackAndReportsWhatTheServerRefusedTwice) {
    Start();
    Write(5 * kBlock, Filled(kBlock, 1));
    Write(50 * kBlock, Filled(2 * kBlock, 2));
    server_->refuseWrites = true;
    UnloadChecked();
    EXPECT_EQ(LogCount("[ZelkoVd][ERR] CacheTeardown: 3 个脏块回写失败，数据丢失 (12288 字节)\n"), 1);
    EXPECT_EQ(server_->batchWrites.load(), 2) << "one write-back and one retry";
}

TEST_F(CacheTest, RemovalWritesBackWhatIsDirty) {
    Start();
    Write(5 * kBlock, Filled(3 * kBlock, 4));
    UnloadChecked();
    EXPECT_EQ(server_->Bytes(5 * kBlock, 3 * kBlock), Filled(3 * kBlock, 4));
    EXPECT_EQ(LogCount("CacheTeardown"), 0);
}

TEST_F(CacheTest, NewImageVersionWritesBackThenDropsEverything) {
    Start();
    Read(0, 64 * kBlock);
    Write(100 * kBlock, Filled(kBlock, 8));
    // The server changes the image and the connection breaks: the next exchange reconnects.
    {
        std::lock_guard<std::mutex> g(server_->disk.lock);
        server_->disk.data[0] ^= 0xFF;
    }
    server_->SetVersion(2);
    server_->dropNextRequest = true;
    std::vector<uint8_t> r = Read(400 * kBlock, kBlock);
    EXPECT_EQ(r, server_->Bytes(400 * kBlock, kBlock));
    EXPECT_EQ(server_->handshakes.load(), 2);
    EXPECT_EQ(LogCount("镜像版本变化: 1 -> 2"), 1);
    // The written block reached the server before the drop; nothing of the old image is served.
    EXPECT_EQ(server_->Bytes(100 * kBlock, kBlock), Filled(kBlock, 8));
    EXPECT_EQ(DirtyBytes(), 0u);
    EXPECT_EQ(Read(0, kBlock), server_->Bytes(0, kBlock));
    EXPECT_EQ(LogCount("CacheDropAll"), 0);
}

TEST_F(CacheTest, NewReadOnlyImageVersionReportsTheWrittenBlocksItDiscards) {
    Start();
    Write(100 * kBlock, Filled(2 * kBlock, 8));
    server_->SetVersion(5);
    server_->SetReadOnly(true);
    server_->dropNextRequest = true;
    Read(400 * kBlock, kBlock);
    EXPECT_EQ(LogCount("[ZelkoVd][ERR] CacheDropAll: 2 个脏块未能回写，随镜像版本变化丢弃 (8192 字节)\n"), 1);
    EXPECT_EQ(Stat(ZvStatDirtyLost), 2u);
    EXPECT_EQ(DirtyBytes(), 0u);
    EXPECT_EQ(Read(100 * kBlock, kBlock), server_->Bytes(100 * kBlock, kBlock));
}

// ---------------------------------------------------------------------------------------------
// Concurrency

// Each block carries its version in every 8 bytes: a torn or stale block shows.
std::vector<uint8_t> Versioned(uint64_t block, uint32_t version) {
    std::vector<uint8_t> v(kBlock);
    for (uint32_t i = 0; i < kBlock; i += 8) {
        uint32_t w[2] = {version, (uint32_t)block ^ 0xA5A50000u};
        memcpy(&v[i], w, 8);
    }
    return v;
}

TEST_F(CacheTest, ConcurrentReadersAndWritersUnderEvictionSeeWhatWasLastWritten) {
    constexpr uint64_t kBlocks = 1024;
    Start(kBlocks * kBlock);
    {
        std::lock_guard<std::mutex> g(server_->disk.lock);
        for (uint64_t b = 0; b < kBlocks; b++) {
            auto v = Versioned(b, 0);
            memcpy(&server_->disk.data[b * kBlock], v.data(), kBlock);
        }
    }
    SetCapacityBlocks(96);
    server_->failEveryNthBatch = 9;

    // The model: per block the version last completed and the highest version begun.
    std::vector<std::mutex> blockLocks(kBlocks);
    std::vector<std::atomic<uint32_t>> committed(kBlocks), begun(kBlocks);
    std::atomic<int> failures{0};
    auto writer = [&](int seed) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 150; i++) {
            uint64_t first = rng() % (kBlocks - 4);
            uint32_t n = 1 + rng() % 4;
            std::vector<uint8_t> data;
            std::vector<uint32_t> versions;
            for (uint32_t k = 0; k < n; k++) blockLocks[first + k].lock();
            for (uint32_t k = 0; k < n; k++) {
                uint32_t v = ++begun[first + k];
                versions.push_back(v);
                auto b = Versioned(first + k, v);
                data.insert(data.end(), b.begin(), b.end());
            }
            ULONG done = 0;
            if (CacheWrite(lu_, first * kBlock, n * kBlock, data.data(), &done) != STATUS_SUCCESS) failures++;
            for (uint32_t k = 0; k < n; k++) committed[first + k] = versions[k];
            for (uint32_t k = n; k-- > 0;) blockLocks[first + k].unlock();
        }
    };
    auto reader = [&](int seed) {
        std::mt19937 rng(seed);
        for (int i = 0; i < 150; i++) {
            uint64_t first = rng() % (kBlocks - 64);
            uint32_t n = (i % 3 == 0) ? 64 : 1 + rng() % 8;
            std::vector<uint32_t> low(n);
            for (uint32_t k = 0; k < n; k++) low[k] = committed[first + k];
            std::vector<uint8_t> b(n * kBlock);
            ULONG done = 0;
            if (CacheRead(lu_, first * kBlock, n * kBlock, b.data(), &done) != STATUS_SUCCESS) {
                failures++;
                continue;
            }
            for (uint32_t k = 0; k < n; k++) {
                uint32_t v;
                memcpy(&v, &b[k * kBlock], 4);
                if (v < low[k] || v > begun[first + k] || Versioned(first + k, v) != std::vector<uint8_t>(
                        b.begin() + k * kBlock, b.begin() + (k + 1) * kBlock)) {
                    ADD_FAILURE() << "block " << first + k << " read version " << v << ", committed " << low[k];
                    failures++;
                    return;
                }
            }
        }
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; t++) ts.emplace_back(writer, 100 + t);
    for (int t = 0; t < 3; t++) ts.emplace_back(reader, 200 + t);
    for (auto& t : ts) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(Stat(ZvStatEvictions), 0u);

    server_->failEveryNthBatch = 0;
    ASSERT_EQ(CacheFlush(lu_), STATUS_SUCCESS);
    for (uint64_t b = 0; b < kBlocks; b++)
        ASSERT_EQ(server_->Bytes(b * kBlock, kBlock), Versioned(b, committed[b])) << "block " << b;
}

TEST_F(CacheTest, RacingFlusherAndTeardownLoseNothing) {
    Start(32 << 20);
    SetCapacityBlocks(512);   // the threshold is crossed at once: the flusher is busy throughout
    std::vector<uint8_t> data = Filled(2048 * kBlock, 0x3C);
    for (int i = 0; i < 8; i++) {
        std::vector<uint8_t> part(data.begin() + (long)i * 256 * kBlock, data.begin() + (long)(i + 1) * 256 * kBlock);
        Write((uint64_t)i * 256 * kBlock, part);
    }
    EXPECT_GE(Stat(ZvStatFlushWakeupsQueued), 1u);
    UnloadChecked();
    EXPECT_EQ(server_->Bytes(0, data.size()), data);
    EXPECT_EQ(LogCount("CacheTeardown"), 0);
}

}  // namespace
