// The boot-like read trace that the benchmarks replay: the driver's cache benchmark
// (tests/driver/cache/CacheBench.cpp), `zelkovd-host machine`'s "replay" request and the fio
// iolog of `zelkovd-host trace` (scripts/bench-system.sh's boot storm). One generator, so that
// every figure is about the same reads.
//
// Seed 20240501. Shape: MBR (512 B at 0), the NTFS boot sector (8 KiB at the partition start,
// LBA 2048), the $MFT (four runs of 64 KiB reads, 256 KiB each, near the start of the volume and
// at 1/3 of it), then 4000 small reads of 4..64 KiB (multiples of 4 KiB) clustered around 48 hot
// spots spread over the disk, where 40 % of reads continue the previous one sequentially (short
// runs) and the rest jump within the spot (+-2 MiB) or to another spot. 4018 reads in all.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace zvtrace {

struct TraceRead {
    uint64_t offset;
    uint32_t length;
};

constexpr uint64_t kBootTraceDisk = 2ull << 30;   // the disk the trace was drawn for

// `disk` must be at least 1 GiB (the second $MFT run lies at 701 MiB).
inline std::vector<TraceRead> BootTrace(uint64_t disk = kBootTraceDisk) {
    constexpr uint32_t kBlock = 4096;
    std::mt19937_64 rng(20240501);
    std::vector<TraceRead> t;
    const uint64_t part = 2048 * 512;
    t.push_back({0, 512});
    t.push_back({part, 8192});
    for (uint64_t base : {part + (4ull << 20), part + (700ull << 20)})
        for (int run = 0; run < 2; run++)
            for (int k = 0; k < 4; k++) t.push_back({base + run * (1ull << 20) + k * 65536ull, 65536});
    std::vector<uint64_t> spots;
    for (int i = 0; i < 48; i++) spots.push_back(part + (rng() % ((disk - part - (8 << 20)) >> 12)) * kBlock);
    uint64_t next = spots[0];
    for (int i = 0; i < 4000; i++) {
        uint32_t len = kBlock * (1 + (uint32_t)(rng() % 16));
        uint64_t off;
        if (rng() % 100 < 40) {
            off = next;
        } else if (rng() % 100 < 70) {
            uint64_t spot = spots[rng() % spots.size()];
            off = spot + (rng() % 1024) * kBlock;
        } else {
            off = spots[rng() % spots.size()];
        }
        if (off + len > disk) off = disk - len;
        t.push_back({off, len});
        next = off + len;
    }
    return t;
}

}  // namespace zvtrace
