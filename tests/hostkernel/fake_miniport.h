// A small virtual miniport for the port-driver tests: it registers as a Storport virtual
// miniport, creates a control device that only SYSTEM and administrators may open, wraps the
// port's dispatch routines as a real miniport does, answers the commands of a bus scan
// (REPORT LUNS, INQUIRY, VPD 0x83, READ CAPACITY 10/16) inside HwStartIo and READ(10) from a
// work item at PASSIVE_LEVEL, and can be told to misbehave in the ways the port must catch.
#pragma once

#include <ntddk.h>
#include <storport.h>
#include <wdmsec.h>
#include <hk_storport_test.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

constexpr ULONG kTag = 0x656B6146;                         // 'Fake'
constexpr ULONG kIoctlEcho = CTL_CODE(0x8100, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlFail = CTL_CODE(0x8100, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlOverreport = CTL_CODE(0x8100, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlMismatch = CTL_CODE(0x8100, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPending = CTL_CODE(0x8100, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Event {
    std::string what;
    KIRQL irql;
};

struct State {
    std::mutex lock;
    std::vector<Event> events;
    std::vector<std::vector<uint8_t>> cdbs;    // every CDB that reached HwStartIo, in order
    // behaviour switches
    bool reportStop = true;        // list ScsiStopAdapter as supported
    UCHAR lunCount = 2;            // LUN 1 reports 0xFFFFFFFF in READ CAPACITY(10)
    bool doubleComplete = false;   // READ completes twice
    bool holdReads = false;        // READs are never completed
    bool writeAfterComplete = false;
    bool completeAtHighIrql = false;
    bool slowCallbacks = false;    // busy-wait in BuildIo/StartIo (concurrency test)
    // results
    ULONG busTypeStatus = 0xFFFFFFFF;      // StorPortSetAdapterBusType inside FindAdapter
    ULONG lateBusTypeStatus = 0xFFFFFFFF;  // ... inside HwInitialize
    std::atomic<int> inBuildIo{0}, inStartIo{0};
    std::atomic<int> maxStartIo{0}, maxBuildIo{0};
    std::atomic<int> buildDuringStart{0};
    KPROCESSOR_MODE ioctlPreviousMode = KernelMode;
    ULONG lastReadMdlBytes = 0;
    bool lastReadHadMdl = false;
    LONGLONG lastReadOffset = -1;
    PDEVICE_OBJECT control = nullptr;
};

State& S();
void Reset();
void Log(const std::string& what);
std::vector<std::string> EventNames();
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// CDB helpers
std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks);

}  // namespace fake
