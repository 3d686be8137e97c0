// Test hooks of the host kernel: what tests (and the host runner) use to set up the machine the
// driver runs on and to look at what it did. Driver code never includes this header.
//
//   Debug output   DbgLines(), ClearDbgLines(), SetDbgEcho()
//   Pool           PoolMark(), PoolLeaksSince(), PoolOutstanding(), ReportPoolLeaks(),
//                  FailPoolAllocation()
//   Clock          SetClockRate() (run virtual time faster), AdvanceClock()
//   Registry       RegSetValue()/RegSetDword()/RegSetString(), RegDeleteKey(), RegClear(),
//                  RegLoadFile()/RegLoadText(), RegGetValue()
//   Files          MapDrive() (\??\C:\ -> host directory), UnmapDrive(), MapObject()
//   Physical mem   PhysWrite(), PhysRead(), PhysClear(), SetMapIoSpaceFails()
//   Work items     DrainWorkItems()
//   Objects        LiveObjects(), OpenHandles(), OutstandingIoSpaceMappings()
//
// Internal hooks for the other host-kernel parts (I/O manager, sockets) are in
// hostkernel/src/hk_internal.h: hk::IrqlScope to run completion routines at DISPATCH_LEVEL
// from a reactor thread, hk::Fatal, the dispatcher lock and hk::WaitLocked, objects and handles.
#pragma once

#include <ntddk.h>

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace hk {
namespace test {

// ---------------------------------------------------------------------------------------------
// Debug output: every DbgPrint/DbgPrintEx call, formatted and cut to the 511 characters one
// debug print carries.
struct DbgLine {
    ULONG component;
    ULONG level;
    std::string text;   // bytes as printed (UTF-8 for the driver's texts)
};
std::vector<DbgLine> DbgLines();
void ClearDbgLines();
// Echo each line to stderr as it is printed (also switched on by HK_DBGPRINT=1).
void SetDbgEcho(bool on);
// By default a %ws/%wZ/%S/%Z conversion in a debug print above PASSIVE_LEVEL is fatal, as the
// WDK documents; this relaxes it for code that is known to pass only resident strings.
void SetStrictDbgPrintUnicode(bool on);

// ---------------------------------------------------------------------------------------------
// Pool. A mark is an allocation serial number; "since" reports blocks allocated after the mark
// that are still outstanding, per tag ("pool tag 'Zvdk': 2 block(s), 96 bytes outstanding"),
// empty when there are none. tag 0 = every tag.
uint64_t PoolMark();
std::string PoolLeaksSince(uint64_t mark, ULONG tag = 0);
size_t PoolOutstanding(ULONG tag = 0);
// Prints every outstanding block per tag (what the host does when the driver is torn down and
// at process exit) and returns the number of outstanding blocks.
size_t ReportPoolLeaks(FILE* out);
void SetPoolLeakReportAtExit(bool on);
// The nth following allocation (of `tag`, or of any tag when 0) fails with NULL. 0 disarms.
void FailPoolAllocation(uint64_t nth, ULONG tag = 0);

// ---------------------------------------------------------------------------------------------
// Clock. Virtual time drives every wait, timer, tick count and performance counter. A rate of
// 10 runs a 30 s timer in 3 s of real time; AdvanceClock jumps forward at once.
void SetClockRate(double rate);
double ClockRate();
void AdvanceClock(int64_t hundredNs);

// ---------------------------------------------------------------------------------------------
// Registry. Paths are full kernel paths ("\Registry\Machine\SYSTEM\..."); keys are created as
// needed. Strings are UTF-8 here and stored as UTF-16 with terminator (REG_SZ data includes it).
void RegSetValue(const std::string& keyPath, const std::string& name, ULONG type, const void* data, size_t size);
void RegSetDword(const std::string& keyPath, const std::string& name, uint32_t value);
void RegSetString(const std::string& keyPath, const std::string& name, const std::string& utf8, ULONG type = REG_SZ);
bool RegGetValue(const std::string& keyPath, const std::string& name, ULONG* type, std::vector<uint8_t>* data);
void RegDeleteKey(const std::string& keyPath);   // with its subkeys
void RegClear();
// Loads a .reg-style text: "[\Registry\Machine\...]" sections and lines
//   "Name"="text"   "Name"=dword:0000000a   "Name"=hex:01,02   "Name"=hex(7):...   @="default"
// Returns false (with a message in *error) on a syntax error.
bool RegLoadText(const std::string& text, std::string* error);
bool RegLoadFile(const std::string& path, std::string* error);

// ---------------------------------------------------------------------------------------------
// Files. Maps drive letter `drive` to a host directory; \??\C:\ZelkoVd.log is then
// <dir>/ZelkoVd.log. A read-only mapping refuses every open for writing with
// STATUS_MEDIA_WRITE_PROTECTED. Unmapped drives fail with STATUS_OBJECT_PATH_NOT_FOUND.
void MapDrive(char drive, const std::string& hostDir, bool readOnly = false);
void UnmapDrive(char drive);
// Maps a kernel object name such as "\??\PhysicalDrive0" (also given as "\DosDevices\..." or
// "\GLOBAL??\...", matched case-insensitively) to a host file, for ZwCreateFile/ZwOpenFile.
// Only opens of existing objects succeed through such a mapping (no create, no directory).
void MapObject(const std::string& ntName, const std::string& hostPath, bool readOnly = false);
void UnmapObjects();
long OpenFiles();

// ---------------------------------------------------------------------------------------------
// Emulated physical memory (the low 1 MiB).
constexpr uint64_t kPhysMemSize = 0x100000;
void PhysWrite(uint64_t address, const void* data, size_t size);
void PhysRead(uint64_t address, void* data, size_t size);
void PhysClear();
void SetMapIoSpaceFails(bool fail);
long OutstandingIoSpaceMappings();

// ---------------------------------------------------------------------------------------------
// Work items and objects
void DrainWorkItems();         // waits until no work item is queued or running
long LiveObjects();            // threads, keys, files, ... still referenced
long OpenHandles();

// Resets registry, drive mappings, physical memory, debug lines and clock rate (1.0) for the
// next test. Pool state is kept: use PoolMark()/PoolLeaksSince() around a test.
void ResetMachine();

}  // namespace test
}  // namespace hk
