// Emulated low physical memory and MmMapIoSpace. Mappings are tracked so that an unmap with
// the wrong address or size, and mappings never unmapped, show up.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <map>

using hk::Fatal;

namespace hk {
namespace {

struct PhysMem {
    std::mutex lock;
    UCHAR* bytes = (UCHAR*)calloc(1, test::kPhysMemSize);
    std::multimap<uintptr_t, size_t> mappings;
    bool failMaps = false;
};

PhysMem& M() {
    static auto* m = new PhysMem;
    return *m;
}

}  // namespace

namespace test {

void PhysWrite(uint64_t address, const void* data, size_t size) {
    if (address > kPhysMemSize || size > kPhysMemSize - address) Fatal("PhysWrite outside the emulated physical memory");
    std::lock_guard<std::mutex> g(M().lock);
    memcpy(M().bytes + address, data, size);
}

void PhysRead(uint64_t address, void* data, size_t size) {
    if (address > kPhysMemSize || size > kPhysMemSize - address) Fatal("PhysRead outside the emulated physical memory");
    std::lock_guard<std::mutex> g(M().lock);
    memcpy(data, M().bytes + address, size);
}

void PhysClear() {
    std::lock_guard<std::mutex> g(M().lock);
    memset(M().bytes, 0, kPhysMemSize);
}

void SetMapIoSpaceFails(bool fail) {
    std::lock_guard<std::mutex> g(M().lock);
    M().failMaps = fail;
}

long OutstandingIoSpaceMappings() {
    std::lock_guard<std::mutex> g(M().lock);
    return (long)M().mappings.size();
}

}  // namespace test
}  // namespace hk

extern "C" {

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapIoSpace");
    if (NumberOfBytes == 0) Fatal("MmMapIoSpace of 0 bytes");
    uint64_t pa = (uint64_t)PhysicalAddress.QuadPart;
    hk::PhysMem& m = hk::M();
    std::lock_guard<std::mutex> g(m.lock);
    if (m.failMaps) return nullptr;
    if (pa >= hk::test::kPhysMemSize || NumberOfBytes > hk::test::kPhysMemSize - pa) return nullptr;
    PVOID va = m.bytes + pa;
    m.mappings.insert({(uintptr_t)va, NumberOfBytes});
    return va;
}

PVOID NTAPI MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect) {
    return MmMapIoSpace(PhysicalAddress, NumberOfBytes, (Protect & PAGE_NOCACHE) ? MmNonCached : MmCached);
}

VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapIoSpace");
    hk::PhysMem& m = hk::M();
    std::lock_guard<std::mutex> g(m.lock);
    auto range = m.mappings.equal_range((uintptr_t)BaseAddress);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == NumberOfBytes) {
            m.mappings.erase(it);
            return;
        }
    Fatal("MmUnmapIoSpace(%p, %zu): no mapping with that address and size", BaseAddress, (size_t)NumberOfBytes);
}

BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress) { return VirtualAddress ? TRUE : FALSE; }

}  // extern "C"

namespace hk {
namespace test {

long LiveObjects() { return LiveObjectCount(); }
long OpenHandles() { return OpenHandleCount(); }

void ResetMachine() {
    RegClear();
    {
        for (char c = 'A'; c <= 'Z'; c++) UnmapDrive(c);
        UnmapObjects();
    }
    PhysClear();
    SetMapIoSpaceFails(false);
    ClearDbgLines();
    SetClockRate(1.0);
}

}  // namespace test
}  // namespace hk
