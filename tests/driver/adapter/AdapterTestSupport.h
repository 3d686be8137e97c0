// Fixture for the adapter tests: the real driver loaded into the host kernel's port driver, SCSI
// requests sent as the disk class driver sends them, and an in-memory backend that tests can put
// behind a LUN to control what the I/O worker meets (slow reads, failing flushes, recorded
// writes). Every test starts from a fresh machine and fails when the unload reports leaks.
#pragma once

#include <gtest/gtest.h>
#include <hk_storport_test.h>
#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapter/AdapterInternal.h"
#include "adapter/LunBackend.h"

namespace adaptertest {

// ---------------------------------------------------------------------------------------------
// CDBs

inline std::vector<uint8_t> Cdb6(uint8_t op, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0, uint8_t b4 = 0) {
    return {op, b1, b2, b3, b4, 0};
}
inline std::vector<uint8_t> Inquiry(uint16_t alloc, bool evpd = false, uint8_t page = 0) {
    return {0x12, (uint8_t)(evpd ? 1 : 0), page, (uint8_t)(alloc >> 8), (uint8_t)alloc, 0};
}
inline std::vector<uint8_t> Rw10(uint8_t op, uint32_t lba, uint16_t blocks, bool fua = false) {
    return {op, (uint8_t)(fua ? 0x08 : 0), (uint8_t)(lba >> 24), (uint8_t)(lba >> 16), (uint8_t)(lba >> 8),
            (uint8_t)lba, 0, (uint8_t)(blocks >> 8), (uint8_t)blocks, 0};
}
inline std::vector<uint8_t> Rw16(uint8_t op, uint64_t lba, uint32_t blocks, uint8_t b1 = 0) {
    std::vector<uint8_t> c(16, 0);
    c[0] = op;
    c[1] = b1;
    for (int i = 0; i < 8; i++) c[2 + i] = (uint8_t)(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; i++) c[10 + i] = (uint8_t)(blocks >> (24 - 8 * i));
    return c;
}
inline std::vector<uint8_t> ReportLuns(uint32_t alloc) {
    std::vector<uint8_t> c(12, 0);
    c[0] = 0xA0;
    c[6] = (uint8_t)(alloc >> 24);
    c[7] = (uint8_t)(alloc >> 16);
    c[8] = (uint8_t)(alloc >> 8);
    c[9] = (uint8_t)alloc;
    return c;
}

inline HkScsiRequest In(std::vector<uint8_t> cdb, uint32_t length, UCHAR lun = 0) {
    HkScsiRequest r;
    r.lun = lun;
    r.cdb = std::move(cdb);
    r.dataInLength = length;
    return r;
}
inline HkScsiRequest Out(std::vector<uint8_t> cdb, std::vector<uint8_t> data, UCHAR lun = 0) {
    HkScsiRequest r;
    r.lun = lun;
    r.cdb = std::move(cdb);
    r.dataOut = std::move(data);
    return r;
}

// Sense key, ASC, ASCQ of a fixed-format sense buffer.
struct Sense {
    int key = -1, asc = -1, ascq = -1;
    bool operator==(const Sense& o) const { return key == o.key && asc == o.asc && ascq == o.ascq; }
};
inline Sense SenseOf(const HkScsiResult& r) {
    if (r.sense.size() < 18 || r.sense[0] != 0x70) return {};
    return {r.sense[2], r.sense[12], r.sense[13]};
}
inline std::ostream& operator<<(std::ostream& os, const Sense& s) {
    return os << "sense " << s.key << "/" << s.asc << "/" << s.ascq;
}

// ---------------------------------------------------------------------------------------------
// The in-memory backend

struct MemDisk {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<uint8_t> data;
    bool gateOpen = true;              // reads wait while closed
    int readsWaiting = 0;
    NTSTATUS flushStatus = STATUS_SUCCESS;
    int flushes = 0;
    std::vector<uint64_t> readOffsets;                          // in the order the worker read
    std::vector<std::pair<uint64_t, uint32_t>> writes;         // offset, length
    int readDelayMs = 0;

    void Reset(size_t bytes) {
        std::lock_guard<std::mutex> g(lock);
        data.assign(bytes, 0);
        gateOpen = true;
        readsWaiting = 0;
        flushStatus = STATUS_SUCCESS;
        flushes = 0;
        readOffsets.clear();
        writes.clear();
        readDelayMs = 0;
    }
    void CloseGate() {
        std::lock_guard<std::mutex> g(lock);
        gateOpen = false;
    }
    void OpenGate() {
        std::lock_guard<std::mutex> g(lock);
        gateOpen = true;
        cv.notify_all();
    }
};

MemDisk& Mem();
extern const LUN_BACKEND g_MemBackend;

// ---------------------------------------------------------------------------------------------
// Fixture

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the driver (DriverEntry and the adapter start).
    void Load();
    HkUnloadReport Unload();
    AdapterExt* Adapter() { return (AdapterExt*)HkStorDeviceExtension(); }
    LuExt* Lun(UCHAR i) { return GetLun(Adapter(), 0, 0, i); }
    // Puts LUN i behind the in-memory backend as an activated disk of `bytes` bytes.
    void UseMemDisk(UCHAR i, size_t bytes, bool activated = true);

    static bool LogHas(const std::string& text);
    static int LogCount(const std::string& text);

    bool loaded_ = false;
    uint64_t mark_ = 0;
};

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace adaptertest
