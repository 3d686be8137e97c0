// Fixture for the block-cache tests: the driver loaded into the host kernel, LUN 0 activated
// against a scriptable disk server on loopback that can refuse batches or writes on demand and
// counts what reached it. Every test fails on pool leaks after the unload.
#pragma once

#include <gtest/gtest.h>
#include <hk_storport_test.h>
#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <atomic>
#include <functional>
#include <memory>

#include "adapter/CacheInternal.h"
#include "protocol/PeerServer.h"

namespace cachetest {

namespace wire = zelko::wire;
constexpr uint32_t kBlock = 4096;

// The disk server: a well-behaved in-memory disk with switches for the faults the cache must
// survive. Counters are per opcode.
struct FaultyDisk {
    peer::Disk disk;
    std::atomic<bool> refuseWrites{false};       // Write and BatchWrite answered with a server error
    std::atomic<int> failEveryNthBatch{0};        // BatchRead number n, 2n, ... answered with an error
    std::atomic<bool> dropNextRequest{false};     // close the connection instead of answering once
    // BatchRead answers that lie while staying well framed: 1 = end marker after half of the
    // segments, 2 = the first segment 512 bytes short and the second 512 bytes long (same total).
    std::atomic<int> lyingBatches{0};
    std::atomic<int> reads{0}, batchReads{0}, writes{0}, batchWrites{0}, handshakes{0};
    std::unique_ptr<peer::Server> server;

    explicit FaultyDisk(size_t bytes) {
        disk.data.resize(bytes);
        for (size_t i = 0; i < bytes; i++) disk.data[i] = (uint8_t)(i * 7 + (i >> 12));
        disk.blockSize = 512;
        server.reset(new peer::Server([this](peer::Conn& c, const peer::Request& r) { Answer(c, r); }));
    }
    ~FaultyDisk() { server->Stop(); }

    void Answer(peer::Conn& c, const peer::Request& r) {
        const auto& h = r.header;
        if (dropNextRequest.exchange(false) && h.opcode != wire::OpHandshake) {
            c.Close();
            return;
        }
        switch (h.opcode) {
            case wire::OpHandshake: handshakes++; break;
            case wire::OpRead: reads++; break;
            case wire::OpBatchRead: {
                int n = ++batchReads;
                if (int lie = lyingBatches.load()) {
                    AnswerLyingBatch(c, r, lie);
                    return;
                }
                int every = failEveryNthBatch.load();
                if (every != 0 && n % every == 0) {
                    c.SendHeader(wire::OpRespError, 0, h.seq, 0, wire::ErrInvalidParameter);
                    return;
                }
                break;
            }
            case wire::OpWrite:
            case wire::OpBatchWrite:
                (h.opcode == wire::OpWrite ? writes : batchWrites)++;
                if (refuseWrites) {
                    c.SendHeader(wire::OpRespError, 0, h.seq, 0, wire::ErrInvalidParameter);
                    return;
                }
                break;
            default: break;
        }
        disk.Answer(c, r);
    }

    void AnswerLyingBatch(peer::Conn& c, const peer::Request& r, int lie) {
        size_t count = r.payload.size() / sizeof(wire::BatchSegment);
        std::vector<wire::BatchSegment> segs(count);
        std::memcpy(segs.data(), r.payload.data(), count * sizeof(wire::BatchSegment));
        if (lie == 2 && count >= 2 && segs[0].length > 512) {
            segs[0].length -= 512;
            segs[1].offset -= 512;
            segs[1].length += 512;
        }
        size_t send = lie == 1 ? (count + 1) / 2 : count;
        for (size_t i = 0; i < send; i++) {
            c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, segs[i].offset, segs[i].length);
            c.Send(Bytes(segs[i].offset, segs[i].length));
        }
        c.SendHeader(wire::OpRespOk, 0, r.header.seq, wire::kBatchEndMarker, 0);
    }

    std::vector<uint8_t> Bytes(uint64_t offset, size_t n) {
        std::lock_guard<std::mutex> g(disk.lock);
        return std::vector<uint8_t>(disk.data.begin() + (long)offset, disk.data.begin() + (long)(offset + n));
    }
    void SetVersion(uint32_t v) {
        std::lock_guard<std::mutex> g(disk.lock);
        disk.version = v;
    }
    void SetReadOnly(bool ro) {
        std::lock_guard<std::mutex> g(disk.lock);
        disk.hsFlags = ro ? 1 : 0;
    }
    int RoundTrips() { return reads + batchReads + writes + batchWrites; }
};

inline void SetWideText(WCHAR* dst, size_t units, const std::string& ascii) {
    size_t i = 0;
    for (; i < ascii.size() && i + 1 < units; i++) dst[i] = (WCHAR)(unsigned char)ascii[i];
    dst[i] = 0;
}

class CacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        hk::test::ResetMachine();
        HkWskTestReset();
        mark_ = hk::test::PoolMark();
        hk::test::ClearDbgLines();
        ASSERT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (loaded_) UnloadChecked();
        WskClient_Cleanup();
        server_.reset();
        EXPECT_EQ(hk::test::PoolLeaksSince(mark_), "");
        HkWskTestReset();
    }

    // Loads the driver and activates LUN 0 against a disk of `bytes` bytes.
    void Start(size_t bytes = 16 << 20) {
        server_.reset(new FaultyDisk(bytes));
        ASSERT_EQ(HkDriverLoad(DriverEntry), STATUS_SUCCESS);
        loaded_ = true;
        lu_ = GetLun((AdapterExt*)HkStorDeviceExtension(), 0, 0, 0);
        ASSERT_NE(lu_, nullptr);
        SetWideText(lu_->session.serverIp, PROTO_SERVER_IP_UNITS, "127.0.0.1");
        lu_->session.serverPort = server_->server->port();
        SetWideText(lu_->session.targetIqn, PROTO_IQN_UNITS, "iqn.2024-01.net.zelko:image.3");
        SetWideText(lu_->session.clientId, PROTO_CLIENT_ID_UNITS, "pc-03");
        ASSERT_EQ(WskClient_Connect(&lu_->session), STATUS_SUCCESS);
        ASSERT_EQ(ProtocolClient_Handshake(&lu_->session), STATUS_SUCCESS);
        (VOID)ZvCancelPendingReadTimer(lu_);
        WakeupPendingReads(lu_);
    }

    void UnloadChecked() {
        loaded_ = false;
        HkUnloadReport r = HkDriverUnload();
        for (const auto& l : r.leaks) ADD_FAILURE() << "unload: " << l;
    }

    // The capacity is set below the 256 MB a LUN may be given, so eviction is reachable with a
    // few megabytes of data.
    void SetCapacityBlocks(uint64_t blocks) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&lu_->cache.cacheLock, TRUE);
        lu_->cache.capacity = blocks * kBlock;
        ExReleaseResourceLite(&lu_->cache.cacheLock);
        KeLeaveCriticalRegion();
    }

    uint64_t Stat(ULONG slot) { return (uint64_t)InterlockedCompareExchange64(&lu_->cache.stats[slot], 0, 0); }
    uint64_t DirtyBytes() { return (uint64_t)InterlockedCompareExchange64(&lu_->cache.dirtyBytes, 0, 0); }

    std::vector<uint8_t> Read(uint64_t offset, uint32_t n, NTSTATUS expect = STATUS_SUCCESS) {
        std::vector<uint8_t> b(n);
        ULONG done = 0;
        EXPECT_EQ(CacheRead(lu_, offset, n, b.data(), &done), expect) << "read at " << offset;
        if (expect == STATUS_SUCCESS) EXPECT_EQ(done, n);
        return b;
    }
    void Write(uint64_t offset, const std::vector<uint8_t>& data, NTSTATUS expect = STATUS_SUCCESS) {
        ULONG done = 0;
        EXPECT_EQ(CacheWrite(lu_, offset, (ULONG)data.size(), data.data(), &done), expect);
    }

    static int LogCount(const std::string& text) {
        int n = 0;
        for (const auto& l : hk::test::DbgLines())
            if (l.text.find(text) != std::string::npos) n++;
        return n;
    }

    std::unique_ptr<FaultyDisk> server_;
    LuExt* lu_ = nullptr;
    bool loaded_ = false;
    uint64_t mark_ = 0;
};

inline std::vector<uint8_t> Filled(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 13);
    return v;
}

}  // namespace cachetest
