// Benchmark of the block cache: the real driver on the host kernel, LUN 0 on zelko-diskd over
// loopback TCP. Prints one line per figure; scripts/bench-driver.sh runs it.
//
//   hits    4 KiB random and 64 KiB sequential reads of a cached range, 1 and 8 threads, beside
//           memcpy of the same bytes on this machine
//   misses  cold sequential scans (1 MiB and 4 KiB reads through the SCSI path), round trips and
//           MB/s, with the cache and with writeCacheEnabled forced off
//   boot    a boot-like read trace (fixed seed) with and without PrefetchBoot and read-ahead
//   writes  a 256 MiB write burst absorbed, then written back
//
// Usage: zelkovd_cache_bench <path to zelko-diskd> [work directory]
#include <hk_storport_test.h>
#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "adapter/CacheInternal.h"
#include "boot_trace.h"
#include "common/DiskdProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kBlock = 4096;
constexpr uint64_t kDisk = 2ull << 30;   // 2 GiB sparse image
const char kIqn[] = "iqn.2024-01.net.zelko:image.9";
const char kToken[] = "bench-token";

double Seconds(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

// zelko-diskd with a 2 GiB sparse image and a super-user token, on an ephemeral loopback port.
std::unique_ptr<diskdproc::DiskdProcess> StartDiskd(const char* exe, const std::string& work) {
    diskdproc::Options o;
    o.exe = exe;
    o.iqn = kIqn;
    o.token = kToken;
    o.dirTemplate = work + "/zvbench.XXXXXX";
    o.readyPolls = 1000;
    return std::make_unique<diskdproc::DiskdProcess>(o, [](const std::string& img) {
        std::ofstream(img).close();
        if (truncate(img.c_str(), (off_t)kDisk) != 0) perror("truncate");
        // A recognisable pattern in the first 64 MiB (the rest reads as zeros).
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<char> chunk(1 << 20);
        for (int m = 0; m < 64; m++) {
            for (size_t i = 0; i < chunk.size(); i++) chunk[i] = (char)((i * 131) ^ m);
            f.write(chunk.data(), (std::streamsize)chunk.size());
        }
    });
}

void SetWide(WCHAR* dst, size_t units, const std::string& s) {
    size_t i = 0;
    for (; i < s.size() && i + 1 < units; i++) dst[i] = (WCHAR)(unsigned char)s[i];
    dst[i] = 0;
}

LuExt* g_lu;

uint64_t RoundTrips() {
    PPROTOCOL_SESSION s = &g_lu->session;
    return (uint64_t)(InterlockedCompareExchange64(&s->dataPath.tcpReads, 0, 0) +
                      InterlockedCompareExchange64(&s->dataPath.udpReads, 0, 0) +
                      InterlockedCompareExchange64(&s->dataPath.tcpWrites, 0, 0) +
                      InterlockedCompareExchange64(&g_lu->cache.stats[ZvStatBatchFetchOk], 0, 0) +
                      InterlockedCompareExchange64(&g_lu->cache.stats[ZvStatBatchFetchFailed], 0, 0) +
                      InterlockedCompareExchange64(&g_lu->cache.stats[ZvStatWriteBackBatches], 0, 0));
}

// A cold cache for the next figure: everything dropped, the stream forgotten.
void Cold() {
    ULONGLONG d, w;
    CacheInvalidateRange(g_lu, 0, 0, &d, &w);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&g_lu->cache.cacheLock, TRUE);
    g_lu->cache.lastPassStart = (ULONGLONG)-1;
    g_lu->cache.sequentialStreak = 0;
    ExReleaseResourceLite(&g_lu->cache.cacheLock);
    KeLeaveCriticalRegion();
}

bool ScsiRead(uint64_t offset, uint32_t length) {
    HkScsiRequest r;
    r.cdb.assign(16, 0);
    r.cdb[0] = 0x88;
    uint64_t lba = offset / 512;
    uint32_t blocks = length / 512;
    for (int i = 0; i < 8; i++) r.cdb[2 + i] = (uint8_t)(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; i++) r.cdb[10 + i] = (uint8_t)(blocks >> (24 - 8 * i));
    r.dataInLength = length;
    return HkScsiExecute(r).srbStatus == SRB_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Hits

double MemcpyRate(uint32_t size, bool random, int threads, const std::vector<uint8_t>& src) {
    std::atomic<uint64_t> bytes{0};
    auto t0 = Clock::now();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([&, t] {
            std::vector<uint8_t> dst(size);
            std::mt19937_64 rng(t);
            uint64_t n = 0, off = 0;
            auto start = Clock::now();
            while (Seconds(start) < 0.5) {
                for (int k = 0; k < 64; k++) {
                    off = random ? (rng() % (src.size() / size)) * size : (off + size) % src.size();
                    memcpy(dst.data(), src.data() + off, size);
                    n += size;
                }
            }
            bytes += n;
        });
    for (auto& t : ts) t.join();
    return bytes / Seconds(t0) / 1e6;
}

double HitRate(uint32_t size, bool random, int threads, uint64_t range) {
    std::atomic<uint64_t> bytes{0};
    std::atomic<int> errors{0};
    auto t0 = Clock::now();
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; t++)
        ts.emplace_back([&, t] {
            std::vector<uint8_t> dst(size);
            std::mt19937_64 rng(t);
            uint64_t n = 0, off = (uint64_t)t * size;
            auto start = Clock::now();
            while (Seconds(start) < 0.5) {
                for (int k = 0; k < 64; k++) {
                    off = random ? (rng() % (range / size)) * size : (off + size) % range;
                    ULONG done = 0;
                    if (CacheRead(g_lu, off, size, dst.data(), &done) != STATUS_SUCCESS) errors++;
                    n += size;
                }
            }
            bytes += n;
        });
    for (auto& t : ts) t.join();
    if (errors) printf("  (%d read errors)\n", errors.load());
    return bytes / Seconds(t0) / 1e6;
}

void BenchHits() {
    const uint64_t range = 64 << 20;
    Cold();
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t off = 0; off < range; off += buf.size()) {
        ULONG done;
        CacheRead(g_lu, off, (ULONG)buf.size(), buf.data(), &done);
    }
    uint64_t trips = RoundTrips();
    std::vector<uint8_t> src(range, 1);
    printf("hits (64 MiB cached range):\n");
    for (int threads : {1, 8}) {
        for (int kind = 0; kind < 2; kind++) {
            uint32_t size = kind == 0 ? 4096 : 65536;
            bool random = kind == 0;
            double mc = MemcpyRate(size, random, threads, src);
            double hit = HitRate(size, random, threads, range);
            printf("  %-22s %d thread(s): %8.0f MB/s   memcpy %8.0f MB/s   ratio %.2f\n",
                   random ? "4 KiB random" : "64 KiB sequential", threads, hit, mc, hit / mc);
        }
    }
    printf("  round trips during the hit runs: %llu\n", (unsigned long long)(RoundTrips() - trips));
}

// ---------------------------------------------------------------------------------------------
// Misses

void Scan(const char* what, uint32_t size, uint64_t total, bool cache) {
    Cold();
    g_lu->writeCacheEnabled = cache ? 1 : 0;
    uint64_t trips = RoundTrips();
    auto t0 = Clock::now();
    int errors = 0;
    for (uint64_t off = 0; off < total; off += size)
        if (!ScsiRead(off, size)) errors++;
    double s = Seconds(t0);
    g_lu->writeCacheEnabled = 1;
    printf("  %-16s cache %-3s: %7llu round trips, %8.1f MB/s%s\n", what, cache ? "on" : "off",
           (unsigned long long)(RoundTrips() - trips), total / s / 1e6, errors ? " (errors)" : "");
}

void BenchMisses() {
    printf("misses (cold sequential scans through the SCSI path):\n");
    Scan("1 MiB reads", 1 << 20, 256ull << 20, true);
    Scan("1 MiB reads", 1 << 20, 256ull << 20, false);
    Scan("4 KiB reads", 4096, 32ull << 20, true);
    Scan("4 KiB reads", 4096, 32ull << 20, false);
}

// ---------------------------------------------------------------------------------------------
// Boot-like trace (tools/zelkovd-host/boot_trace.h), drawn for this 2 GiB disk.

using zvtrace::TraceRead;
std::vector<TraceRead> BootTrace() { return zvtrace::BootTrace(kDisk); }

void Boot(const char* what, bool cache, bool prefetchAndReadAhead) {
    Cold();
    g_lu->writeCacheEnabled = cache ? 1 : 0;
    ULONG window = g_lu->cache.readAheadWindow;
    if (!prefetchAndReadAhead) g_lu->cache.readAheadWindow = 0;
    std::vector<TraceRead> trace = BootTrace();
    uint64_t trips = RoundTrips();
    auto t0 = Clock::now();
    if (prefetchAndReadAhead) {
        InterlockedExchange(&g_lu->cache.prefetchStarted, 0);
        PrefetchBoot(g_lu);
    }
    int errors = 0;
    for (const auto& r : trace)
        if (!ScsiRead(r.offset, r.length)) errors++;
    double s = Seconds(t0);
    g_lu->cache.readAheadWindow = window;
    g_lu->writeCacheEnabled = 1;
    printf("  %-34s %6llu round trips, %7.3f s%s\n", what, (unsigned long long)(RoundTrips() - trips), s,
           errors ? " (errors)" : "");
}

void BenchBoot() {
    printf("boot-like trace (%zu reads, seed 20240501):\n", BootTrace().size());
    Boot("cache off", false, false);
    Boot("cache, no prefetch, no read-ahead", true, false);
    Boot("cache, PrefetchBoot and read-ahead", true, true);
}

// ---------------------------------------------------------------------------------------------
// Write burst

void BenchWrites() {
    Cold();
    const uint64_t total = 256ull << 20;
    std::vector<uint8_t> chunk(1 << 20, 0x5A);
    uint64_t batches = (uint64_t)g_lu->cache.stats[ZvStatWriteBackBatches];
    uint64_t backBytes = (uint64_t)g_lu->cache.stats[ZvStatBytesWrittenBack];
    auto t0 = Clock::now();
    for (uint64_t off = 0; off < total; off += chunk.size()) {
        ULONG done;
        chunk[0] = (uint8_t)(off >> 20);
        if (CacheWrite(g_lu, (512ull << 20) + off, (ULONG)chunk.size(), chunk.data(), &done) != STATUS_SUCCESS) {
            printf("  write failed\n");
            break;
        }
    }
    double absorb = Seconds(t0);
    std::vector<uint8_t> dst(total);
    std::vector<uint8_t> src(1 << 20, 1);
    auto m0 = Clock::now();
    for (uint64_t off = 0; off < total; off += src.size()) memcpy(dst.data() + off, src.data(), src.size());
    double mc = Seconds(m0);
    auto f0 = Clock::now();
    NTSTATUS st = CacheFlush(g_lu);
    double flush = Seconds(f0);
    uint64_t nb = (uint64_t)g_lu->cache.stats[ZvStatWriteBackBatches] - batches;
    uint64_t nbytes = (uint64_t)g_lu->cache.stats[ZvStatBytesWrittenBack] - backBytes;
    printf("writes (256 MiB burst in 1 MiB writes):\n");
    printf("  absorbed at %8.0f MB/s (memcpy of the same bytes %8.0f MB/s, ratio %.2f)\n", total / absorb / 1e6,
           total / mc / 1e6, mc / absorb);
    printf("  written back: %llu MiB in %llu batches (%.2f MiB per batch), %.1f MB/s, flush status 0x%08X\n",
           (unsigned long long)(nbytes >> 20), (unsigned long long)nb, nb ? (double)nbytes / nb / 1048576.0 : 0.0,
           nbytes / (flush > 0 ? flush : 1) / 1e6, (unsigned)st);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <zelko-diskd> [work directory]\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);   // figures appear as they are measured
    hk::test::SetPoolLeakReportAtExit(false);
    std::unique_ptr<diskdproc::DiskdProcess> diskd = StartDiskd(argv[1], argc > 2 ? argv[2] : "/tmp");
    if (diskd->port() == 0) {
        fprintf(stderr, "zelko-diskd did not come up\n");
        return 1;
    }
    if (HkDriverLoad(DriverEntry) != STATUS_SUCCESS || WskClient_Initialize() != STATUS_SUCCESS) return 1;
    g_lu = GetLun((AdapterExt*)HkStorDeviceExtension(), 0, 0, 0);
    PPROTOCOL_SESSION s = &g_lu->session;
    SetWide(s->serverIp, PROTO_SERVER_IP_UNITS, "127.0.0.1");
    s->serverPort = diskd->port();
    SetWide(s->targetIqn, PROTO_IQN_UNITS, kIqn);
    SetWide(s->clientId, PROTO_CLIENT_ID_UNITS, "bench-pc");
    SetWide(s->superUserToken, PROTO_TOKEN_UNITS, kToken);
    WpSetFlag(&s->superUser, TRUE);
    if (WskClient_Connect(s) != STATUS_SUCCESS || ProtocolClient_Handshake(s) != STATUS_SUCCESS) {
        fprintf(stderr, "cannot activate LUN 0\n");
        return 1;
    }
    ZvCancelPendingReadTimer(g_lu);
    WakeupPendingReads(g_lu);
    printf("zelkovd cache benchmark: LUN 0 on zelko-diskd (loopback TCP), cache %llu MiB\n",
           (unsigned long long)(g_lu->cache.capacity >> 20));

    std::string only = argc > 3 ? argv[3] : "";
    if (only.empty() || only == "hits") BenchHits();
    if (only.empty() || only == "misses") BenchMisses();
    if (only.empty() || only == "boot") BenchBoot();
    if (only.empty() || only == "writes") BenchWrites();

    HkUnloadReport r = HkDriverUnload();
    WskClient_Cleanup();
    for (const auto& l : r.leaks) printf("leak: %s\n", l.c_str());
    return 0;
}
