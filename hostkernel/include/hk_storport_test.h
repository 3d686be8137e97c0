// Test hooks for the port driver and the I/O manager of the host kernel: load a miniport driver,
// start its adapter, send it SRBs as the disk class driver would, watch bus scans, open its
// devices as a user-mode caller, and unload it with a leak report. Tests and tools/zelkovd-host
// use this header; driver code never includes it.
//
//   Load/unload     HkDriverLoad(), HkStorStartAdapter(), HkDriverUnload(), HkDriverObject()
//   SCSI            HkScsiSubmit(), HkScsiWait(), HkScsiExecute()
//   Bus             HkBusView(), HkBusScanCount(), HkWaitForBusScan(), HkSetBusScanCallback(),
//                   HkRequestBusScan(), HkBusReset()
//   Counters        HkPortStats()
//   Devices         HkOpenDevice(), HkDeviceIoControl(), HkReadFile(), HkWriteFile(), HkCloseFile()
//
// One adapter per loaded driver; one driver loaded at a time. Every call here is made from a
// host thread at PASSIVE_LEVEL (a test's or the runner's), never from a driver callback, except
// that scan and completion callbacks run on the thread that triggered them (see below).
#pragma once

#include <storport.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Load and unload

// Creates the driver object (named \Driver\<service>), calls entry(driverObject, registryPath)
// at PASSIVE_LEVEL with registryPath "\Registry\Machine\SYSTEM\CurrentControlSet\Services\<service>";
// when DriverEntry succeeded and registered with StorPortInitialize, starts the adapter
// (HkStorStartAdapter). Returns DriverEntry's status, or the start's failure status
// (STATUS_NO_SUCH_DEVICE when HwFindAdapter did not find it, STATUS_ADAPTER_HARDWARE_ERROR when
// HwInitialize returned FALSE). A failed DriverEntry leaves nothing loaded, as on Windows.
NTSTATUS HkDriverLoad(PDRIVER_INITIALIZE entry, const char* serviceName = "ZelkoVd");
// Starts the adapter of the registered virtual miniport (FindAdapter, supported-types query,
// HwInitialize, first bus scan). HkDriverLoad calls it; exposed for tests that want to act
// between DriverEntry and the adapter start.
NTSTATUS HkStorStartAdapter();
PDRIVER_OBJECT HkDriverObject();
// The adapter's device extension (the miniport's), or NULL before the adapter started.
PVOID HkStorDeviceExtension();

struct HkUnloadReport {
    // One line per finding, e.g. "pool tag 'Zvdk': 2 block(s), 96 bytes outstanding",
    // "2 SRB(s) outstanding", "1 IRP(s) outstanding", "device \Device\ZelkoVd not deleted",
    // "symbolic link \??\ZelkoVd not deleted", "1 file object(s) not closed". Empty: clean.
    std::vector<std::string> leaks;
};
// Stops the adapter as Storport does (HwAdapterControl(ScsiStopAdapter) at PASSIVE_LEVEL when the
// miniport reported it supported, then HwFreeAdapterResources at PASSIVE_LEVEL; an SRB still
// outstanding then is a verifier stop unless allowOutstandingSrbs), deletes the port's device,
// waits for work items, calls DriverUnload when set, and reports what the driver left behind
// (pool blocks allocated since HkDriverLoad, IRPs, SRBs, devices, links, open files).
HkUnloadReport HkDriverUnload(bool allowOutstandingSrbs = false);

// ---------------------------------------------------------------------------------------------
// SCSI requests, built as the disk class driver builds them: SRB_FUNCTION_EXECUTE_SCSI, a
// SrbExtension of the registered size, the data buffer mapped (DataBuffer is a system address,
// as with MapBuffers = STOR_MAP_ALL_BUFFERS_INCLUDING_READ_WRITE), a sense buffer of senseLength
// bytes, SRB_FLAGS_DATA_IN/OUT by direction, tagged queueing.

struct HkScsiRequest {
    UCHAR path = 0, target = 0, lun = 0;
    std::vector<uint8_t> cdb;            // 6..16 bytes
    uint32_t dataInLength = 0;           // bytes the device may return (data in)
    // Optional: the caller's buffer of dataInLength bytes for the data in. The SRB's DataBuffer
    // then points into it, as the class driver hands the miniport the caller's mapped pages, and
    // the result's `data` stays empty. It must stay valid until the request completed. Without
    // it the port allocates the buffer and copies the data into the result.
    void* dataInBuffer = nullptr;
    std::vector<uint8_t> dataOut;        // bytes sent to the device (data out)
    uint8_t senseLength = 18;            // 0 = no sense buffer
    ULONG timeOutValue = 10;             // seconds, as the class driver sets it
    UCHAR function = SRB_FUNCTION_EXECUTE_SCSI;
};

struct HkScsiResult {
    bool completed = false;              // false: still outstanding when the wait ended
    UCHAR srbStatus = 0;
    UCHAR scsiStatus = 0;
    uint32_t transferred = 0;            // DataTransferLength after completion
    std::vector<uint8_t> data;           // data in: the first `transferred` bytes
    std::vector<uint8_t> sense;          // SenseInfoBufferLength bytes after completion
};

// Runs on the thread that completed the request (possibly at DISPATCH_LEVEL, inside the
// miniport's StartIo or a DPC): it must not block or call back into the driver.
using HkScsiCallback = std::function<void(uint64_t ticket, const HkScsiResult&)>;

// Sends the request (HwBuildIo, then HwStartIo, on the calling thread) and returns a ticket at
// once; the request may complete before this returns, or much later from a work item. With a
// callback, the result goes to it and the ticket cannot be waited on.
uint64_t HkScsiSubmit(const HkScsiRequest& request, HkScsiCallback onComplete = nullptr);
// Waits (real time) for a ticket; true and *result when it completed. A completed ticket is
// consumed by the wait that returns it.
bool HkScsiWait(uint64_t ticket, int timeoutMs, HkScsiResult* result);
// Submit and wait; result.completed is false on timeout (the request stays outstanding).
HkScsiResult HkScsiExecute(const HkScsiRequest& request, int timeoutMs = 10000);

// ---------------------------------------------------------------------------------------------
// The bus as the disk class driver sees it after a scan: REPORT LUNS (allocation 8 + 16 * 8),
// then per LUN reported INQUIRY (36 bytes), INQUIRY VPD 0x83 (255), READ CAPACITY(10) and, when
// its last LBA is 0xFFFFFFFF, READ CAPACITY(16) (32). A LUN counts when its INQUIRY succeeds with
// peripheral qualifier 0. When REPORT LUNS fails, LUNs 0..MaximumNumberOfLogicalUnits-1 are
// probed with INQUIRY, as Storport does for devices without REPORT LUNS.

struct HkLunView {
    UCHAR lun = 0;
    std::vector<uint8_t> inquiry;        // bytes returned by INQUIRY
    std::vector<uint8_t> vpd83;          // bytes returned by INQUIRY VPD 0x83 (empty on failure)
    uint64_t capacity = 0;               // bytes (0 when READ CAPACITY failed)
    uint32_t blockSize = 0;
    bool readCapacity16 = false;         // the size came from READ CAPACITY(16)
};

std::vector<HkLunView> HkBusView();
uint64_t HkBusScanCount();                         // completed scans since load
// Waits until more than `count` scans have completed; false on timeout.
bool HkWaitForBusScan(uint64_t count, int timeoutMs);
// Called on the scan thread (PASSIVE_LEVEL) after every scan with the new view.
void HkSetBusScanCallback(std::function<void(const std::vector<HkLunView>&)> callback);
// Schedules a scan as if the PnP manager asked for the bus relations again.
void HkRequestBusScan();
// Calls HwResetBus(ext, 0) at DISPATCH_LEVEL under the StartIo lock; returns its answer.
BOOLEAN HkBusReset();

struct HkPortCounters {
    uint64_t busChanges = 0;             // BusChangeDetected notifications
    uint64_t completions = 0;            // RequestComplete notifications
    uint64_t nextRequests = 0;           // NextRequest and NextLuRequest notifications
    uint64_t buildIo = 0, startIo = 0;   // callback calls
    uint64_t scans = 0;                  // completed bus scans
    uint64_t outstandingSrbs = 0;        // sent and not yet completed
    ULONG busType = 0;                   // STORAGE_BUS_TYPE set by the miniport (0 = none)
};
HkPortCounters HkPortStats();

// ---------------------------------------------------------------------------------------------
// Opening devices as a user-mode caller. Names: "\\.\X" (Win32), "\??\X", "\DosDevices\X",
// "\GLOBAL??\X" (symbolic links) or "\Device\X". The open checks the device's SDDL (wdmsec.h)
// against the caller, then sends IRP_MJ_CREATE; close sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
// Requests are built as the Windows I/O manager builds them and dispatched at PASSIVE_LEVEL on the
// calling thread with RequestorMode UserMode; a request the driver leaves pending is waited for.

enum class HkCaller { System, Admin, User };
// Parses "system", "admin" or "user".
bool HkParseCaller(const std::string& text, HkCaller* caller);

struct HkFile;   // an open file object

struct HkIoResult {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<uint8_t> data;           // output bytes returned to the caller
};

// desiredAccess as CreateFile passes it (GENERIC_READ | GENERIC_WRITE by default).
NTSTATUS HkOpenDevice(const std::string& name, HkCaller caller, HkFile** file,
                      ACCESS_MASK desiredAccess = GENERIC_READ | GENERIC_WRITE);
// METHOD_BUFFERED: one system buffer of max(in, out) bytes, the input copied in, Information bytes
// copied out unless the status is an error. METHOD_IN/OUT_DIRECT: input buffered, output
// described by an MDL. METHOD_NEITHER: the caller's pointers.
HkIoResult HkDeviceIoControl(HkFile* file, ULONG code, const std::vector<uint8_t>& input, ULONG outputLength);
// ReadFile/WriteFile at a byte offset: DO_DIRECT_IO devices get an MDL of the caller's buffer,
// DO_BUFFERED_IO devices a system buffer, others the user buffer.
HkIoResult HkReadFile(HkFile* file, int64_t offset, ULONG length);
HkIoResult HkWriteFile(HkFile* file, int64_t offset, const std::vector<uint8_t>& data);
NTSTATUS HkCloseFile(HkFile* file);
