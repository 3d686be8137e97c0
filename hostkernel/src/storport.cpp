// The port driver for virtual miniports, and the driver loader around it.
//
// It plays the parts of Storport, the PnP manager and the disk class driver towards one miniport:
// registration, adapter start and stop in Storport's order and at its IRQLs, SRBs through
// HwBuildIo (no lock, concurrent) and HwStartIo (under the per-adapter StartIo lock), completion
// by notification from any thread at or below DISPATCH_LEVEL, and bus scans after bus-change
// notifications. Completed SRBs are poisoned and kept in a quarantine for a while, so that a
// second completion or a write after completion is caught instead of corrupting a later request.
#include "hk_internal.h"
#include "hostkernel_test.h"
#include "hk_storport_test.h"

#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>

using hk::Fatal;

static_assert(sizeof(SCSI_REQUEST_BLOCK) == 0x58, "SCSI_REQUEST_BLOCK is 0x58 bytes on x64");
static_assert(offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 0x18, "SRB.DataBuffer");
static_assert(offsetof(SCSI_REQUEST_BLOCK, Cdb) == 0x48, "SRB.Cdb");
static_assert(sizeof(VIRTUAL_HW_INITIALIZATION_DATA) == 0xB0, "VIRTUAL_HW_INITIALIZATION_DATA is 0xB0 bytes");
static_assert(offsetof(VIRTUAL_HW_INITIALIZATION_DATA, HwAdapterControl) == 0x78, "HwAdapterControl");
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 0xE0, "PORT_CONFIGURATION_INFORMATION is 0xE0 bytes");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, SynchronizationModel) == 0x94, "SynchronizationModel");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, VirtualDevice) == 0xC4, "VirtualDevice");
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, FeatureSupport) == 0xDC, "FeatureSupport");

namespace hk {
namespace {

constexpr ULONG kSrbTag = 0x62725348;      // 'HSrb'
constexpr ULONG kPortTag = 0x74725048;     // 'HPrt': device extension, LU extensions, buffers
constexpr UCHAR kPoison = 0xDB;
constexpr size_t kQuarantine = 256;

struct Request {
    uint64_t ticket = 0;
    PSCSI_REQUEST_BLOCK srb = nullptr;
    PVOID extension = nullptr;
    ULONG extensionSize = 0;
    PVOID data = nullptr;
    ULONG dataLength = 0;
    bool dataIn = false;
    bool callerData = false;            // data is the submitter's buffer, not the port's
    std::condition_variable doneCv;     // HkScsiWait of this ticket
    PVOID sense = nullptr;
    UCHAR senseLength = 0;
    UCHAR opcode = 0;
    UCHAR lun = 0;
    HkScsiCallback callback;
    bool done = false;
    HkScsiResult result;
    // A waited request is freed by whichever of its completion and its wait lets go last: the
    // completion wakes the waiter after dropping the port lock (a waiter woken while the lock
    // is still held would only block on it again, two more thread switches per request).
    std::atomic<int> refs{1};
};

struct Retired {
    PSCSI_REQUEST_BLOCK srb;
    PVOID extension;
    ULONG extensionSize;
    uint64_t ticket;
};

struct Port {
    std::mutex lock;
    std::condition_variable cv;

    // Driver
    PDRIVER_OBJECT driver = nullptr;
    UNICODE_STRING registryPath = {};
    std::u16string registryPathText;
    uint64_t poolMark = 0;

    // Registration and adapter
    bool registered = false;
    VIRTUAL_HW_INITIALIZATION_DATA init = {};
    PVOID hwContext = nullptr;
    bool started = false;
    std::atomic<bool> inFindAdapter{false};
    PVOID ext = nullptr;
    PDEVICE_OBJECT portDevice = nullptr;
    PORT_CONFIGURATION_INFORMATION config = {};
    bool stopSupported = false;
    ULONG busType = 0;
    KSPIN_LOCK startIoLock = 0;
    std::map<UCHAR, PVOID> luExtensions;

    // Requests
    uint64_t nextTicket = 1;
    std::unordered_map<PSCSI_REQUEST_BLOCK, Request*> outstanding;
    std::unordered_map<uint64_t, Request*> finished;    // waitable tickets that completed
    std::unordered_map<uint64_t, Request*> waiting;     // waitable tickets still outstanding
    std::deque<Retired> quarantine;

    // Counters
    std::atomic<uint64_t> busChanges{0}, completions{0}, nextRequests{0}, buildIo{0}, startIo{0};

    // Bus scans
    std::thread scanner;
    bool scanRequested = false;
    bool scanStop = false;
    bool scanning = false;
    uint64_t scans = 0;
    std::vector<HkLunView> view;
    std::function<void(const std::vector<HkLunView>&)> scanCallback;
};

Port& P() {
    static auto* p = new Port;
    return *p;
}

// The offset of the first byte of b[0..n) that is not the poison, or n. Compares a block at a
// time against poisoned memory: it runs once per completed request.
size_t FirstUnpoisoned(const UCHAR* b, size_t n) {
    static const std::vector<UCHAR> poison(4096, kPoison);
    for (size_t at = 0; at < n; at += poison.size()) {
        size_t len = n - at < poison.size() ? n - at : poison.size();
        if (memcmp(b + at, poison.data(), len) == 0) continue;
        for (size_t i = at;; i++)
            if (b[i] != kPoison) return i;
    }
    return n;
}

void CheckPoison(const Retired& r) {
    size_t i = FirstUnpoisoned((const UCHAR*)r.srb, sizeof(SCSI_REQUEST_BLOCK));
    if (i != sizeof(SCSI_REQUEST_BLOCK))
        Fatal("SRB %p (request %llu) was written after its completion (byte 0x%zx)", (void*)r.srb,
              (unsigned long long)r.ticket, i);
    if (!r.extension) return;
    i = FirstUnpoisoned((const UCHAR*)r.extension, r.extensionSize);
    if (i != r.extensionSize)
        Fatal("SrbExtension %p of SRB %p (request %llu) was written after the SRB's completion (byte 0x%zx)",
              r.extension, (void*)r.srb, (unsigned long long)r.ticket, i);
}

void FreeRetired(const Retired& r) {
    CheckPoison(r);
    ExFreePoolWithTag(r.srb, kSrbTag);
    if (r.extension) ExFreePoolWithTag(r.extension, kSrbTag);
}

void FlushQuarantine() {
    std::deque<Retired> q;
    {
        std::lock_guard<std::mutex> g(P().lock);
        q.swap(P().quarantine);
    }
    for (auto& r : q) FreeRetired(r);
}

void Complete(PSCSI_REQUEST_BLOCK srb) {
    Port& p = P();
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        Fatal("StorPortNotification(RequestComplete) for SRB %p at IRQL %u (at most DISPATCH_LEVEL)", (void*)srb, irql);
    Request* rq = nullptr;
    std::unique_lock<std::mutex> lk(p.lock);
    auto it = p.outstanding.find(srb);
    if (it == p.outstanding.end()) {
        for (auto& r : p.quarantine)
            if (r.srb == srb)
                Fatal("SRB %p (request %llu) completed twice", (void*)srb, (unsigned long long)r.ticket);
        Fatal("StorPortNotification(RequestComplete) for %p, which is not an outstanding SRB of this adapter",
              (void*)srb);
    }
    rq = it->second;
    if (srb->SrbStatus == SRB_STATUS_PENDING)
        Fatal("SRB %p (request %llu) completed with SRB_STATUS_PENDING", (void*)srb, (unsigned long long)rq->ticket);
    if (srb->DataTransferLength > rq->dataLength)
        Fatal("SRB %p (request %llu) completed with DataTransferLength %u, more than its %u-byte buffer", (void*)srb,
              (unsigned long long)rq->ticket, srb->DataTransferLength, rq->dataLength);
    p.outstanding.erase(it);
    lk.unlock();

    HkScsiResult& res = rq->result;
    res.completed = true;
    res.srbStatus = srb->SrbStatus;
    res.scsiStatus = srb->ScsiStatus;
    res.transferred = srb->DataTransferLength;
    if (rq->dataIn && rq->data && !rq->callerData)
        res.data.assign((UCHAR*)rq->data, (UCHAR*)rq->data + res.transferred);
    if (rq->sense) {
        UCHAR n = srb->SenseInfoBufferLength < rq->senseLength ? srb->SenseInfoBufferLength : rq->senseLength;
        res.sense.assign((UCHAR*)rq->sense, (UCHAR*)rq->sense + n);
    }
    if (rq->data && !rq->callerData) ExFreePoolWithTag(rq->data, kPortTag);
    if (rq->sense) ExFreePoolWithTag(rq->sense, kPortTag);
    memset(srb, kPoison, sizeof(*srb));
    if (rq->extension) memset(rq->extension, kPoison, rq->extensionSize);
    p.completions++;

    Retired old = {};
    bool evict = false;
    HkScsiCallback cb;
    lk.lock();
    p.quarantine.push_back(Retired{srb, rq->extension, rq->extensionSize, rq->ticket});
    if (p.quarantine.size() > kQuarantine) {
        old = p.quarantine.front();
        p.quarantine.pop_front();
        evict = true;
    }
    if (rq->callback) {
        cb = std::move(rq->callback);
    } else {
        p.waiting.erase(rq->ticket);
        p.finished[rq->ticket] = rq;
        rq->done = true;
    }
    lk.unlock();
    if (!cb) {
        // Only the thread waiting for this ticket: with many requests in flight a broadcast
        // would wake every waiter (and the scanner) for each completion.
        rq->doneCv.notify_all();
        if (rq->refs.fetch_sub(1) == 1) delete rq;
    }
    if (evict) FreeRetired(old);
    if (cb) {
        cb(rq->ticket, rq->result);
        delete rq;
    }
}

// ---------------------------------------------------------------------------------------------
// Bus scans

std::vector<uint8_t> Cdb(std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); }

bool Ok(const HkScsiResult& r) { return r.completed && SRB_STATUS(r.srbStatus) == SRB_STATUS_SUCCESS; }

HkScsiResult ScanCommand(UCHAR lun, std::vector<uint8_t> cdb, uint32_t in) {
    HkScsiRequest rq;
    rq.lun = lun;
    rq.cdb = std::move(cdb);
    rq.dataInLength = in;
    HkScsiResult r = HkScsiExecute(rq, 30000);
    if (!r.completed) Fatal("bus scan: CDB 0x%02X to LUN %u not completed within 30 s", rq.cdb[0], lun);
    return r;
}

bool ProbeLun(UCHAR lun, HkLunView* v) {
    HkScsiResult inq = ScanCommand(lun, Cdb({0x12, 0, 0, 0, 36, 0}), 36);
    if (!Ok(inq) || inq.data.empty()) return false;
    if ((inq.data[0] >> 5) != 0 || (inq.data[0] & 0x1F) == 0x1F) return false;
    v->lun = lun;
    v->inquiry = inq.data;
    HkScsiResult vpd = ScanCommand(lun, Cdb({0x12, 1, 0x83, 0, 255, 0}), 255);
    if (Ok(vpd)) v->vpd83 = vpd.data;
    HkScsiResult cap = ScanCommand(lun, Cdb({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8);
    if (Ok(cap) && cap.data.size() >= 8) {
        const uint8_t* d = cap.data.data();
        uint32_t last = (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
        uint32_t block = (uint32_t)d[4] << 24 | (uint32_t)d[5] << 16 | (uint32_t)d[6] << 8 | d[7];
        if (last == 0xFFFFFFFFu) {
            HkScsiResult c16 = ScanCommand(lun, Cdb({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}), 32);
            if (Ok(c16) && c16.data.size() >= 12) {
                const uint8_t* e = c16.data.data();
                uint64_t l = 0;
                for (int i = 0; i < 8; i++) l = l << 8 | e[i];
                block = (uint32_t)e[8] << 24 | (uint32_t)e[9] << 16 | (uint32_t)e[10] << 8 | e[11];
                v->capacity = (l + 1) * block;
                v->blockSize = block;
                v->readCapacity16 = true;
            }
        } else {
            v->capacity = ((uint64_t)last + 1) * block;
            v->blockSize = block;
        }
    }
    return true;
}

std::vector<HkLunView> Scan() {
    std::vector<UCHAR> luns;
    HkScsiResult rl = ScanCommand(0, Cdb({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 8 + 16 * 8, 0, 0}), 8 + 16 * 8);
    if (Ok(rl) && rl.data.size() >= 8) {
        const uint8_t* d = rl.data.data();
        uint32_t listLen = (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
        size_t n = listLen / 8;
        for (size_t i = 0; i < n && 8 + i * 8 + 8 <= rl.data.size(); i++) {
            const uint8_t* e = d + 8 + i * 8;
            // Peripheral device addressing: LUN in the second byte of the first level.
            UCHAR lun = (UCHAR)(((e[0] & 0x3F) << 8 | e[1]) & 0xFF);
            luns.push_back(lun);
        }
    } else {
        UCHAR max = P().config.MaximumNumberOfLogicalUnits ? P().config.MaximumNumberOfLogicalUnits : 8;
        for (UCHAR l = 0; l < max; l++) luns.push_back(l);
    }
    std::vector<HkLunView> view;
    for (UCHAR l : luns) {
        HkLunView v;
        if (ProbeLun(l, &v)) view.push_back(v);
    }
    // Storport keeps a logical-unit extension for every LUN it found.
    Port& p = P();
    if (p.config.SpecificLuExtensionSize) {
        for (auto& v : view) {
            std::lock_guard<std::mutex> g(p.lock);
            if (!p.luExtensions.count(v.lun))
                p.luExtensions[v.lun] =
                    ExAllocatePoolZero(NonPagedPoolNx, p.config.SpecificLuExtensionSize, kPortTag);
        }
    }
    return view;
}

void ScannerMain() {
    Port& p = P();
    std::unique_lock<std::mutex> lk(p.lock);
    for (;;) {
        p.cv.wait(lk, [&] { return p.scanRequested || p.scanStop; });
        if (p.scanStop) return;
        p.scanRequested = false;
        p.scanning = true;
        lk.unlock();
        std::vector<HkLunView> view = Scan();
        std::function<void(const std::vector<HkLunView>&)> cb;
        lk.lock();
        p.view = view;
        cb = p.scanCallback;
        lk.unlock();
        // The callback has run by the time a waiter learns that the scan is done.
        if (cb) cb(view);
        lk.lock();
        p.scans++;
        p.scanning = false;
        p.cv.notify_all();
    }
}

NTSTATUS PortDispatch(PDEVICE_OBJECT dev, PIRP irp) {
    Port& p = P();
    if (dev != p.portDevice)
        Fatal("the port driver's dispatch routine got a request for device %p, which is not the adapter's device "
              "(a miniport that shares its driver object must route requests for its own devices itself)",
              (void*)dev);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS st = (sp->MajorFunction == IRP_MJ_CREATE || sp->MajorFunction == IRP_MJ_CLOSE ||
                   sp->MajorFunction == IRP_MJ_CLEANUP)
                      ? STATUS_SUCCESS
                      : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

void CallAtDispatch(const std::function<void()>& f) {
    IrqlScope d(DISPATCH_LEVEL);
    f();
}

}  // namespace
}  // namespace hk

// ---------------------------------------------------------------------------------------------
// Port routines

extern "C" {

ULONG NTAPI StorPortInitialize(PVOID Argument1, PVOID Argument2, struct _HW_INITIALIZATION_DATA* HwInitializationData,
                               PVOID HwContext) {
    hk::RequireIrqlExactly(PASSIVE_LEVEL, "StorPortInitialize");
    hk::Port& p = hk::P();
    if (!Argument1 || !Argument2 || !HwInitializationData) return (ULONG)STATUS_INVALID_PARAMETER;
    if ((PDRIVER_OBJECT)Argument1 != p.driver)
        Fatal("StorPortInitialize: Argument1 %p is not the driver object DriverEntry received", Argument1);
    auto* init = (PVIRTUAL_HW_INITIALIZATION_DATA)HwInitializationData;
    if (init->HwInitializationDataSize != sizeof(VIRTUAL_HW_INITIALIZATION_DATA))
        return (ULONG)STATUS_REVISION_MISMATCH;   // only virtual miniports are offered
    if (!init->HwInitialize || !init->HwStartIo || !init->HwFindAdapter || !init->HwResetBus ||
        !init->HwFreeAdapterResources)
        return (ULONG)STATUS_INVALID_PARAMETER;
    if (init->SrbExtensionSize > 0x10000 || init->DeviceExtensionSize > 0x1000000) return (ULONG)STATUS_INVALID_PARAMETER;
    if (p.started) Fatal("StorPortInitialize called again after the adapter started");
    p.init = *init;
    p.hwContext = HwContext;
    p.registered = true;
    PDRIVER_OBJECT drv = p.driver;
    drv->MajorFunction[IRP_MJ_CREATE] = hk::PortDispatch;
    drv->MajorFunction[IRP_MJ_CLOSE] = hk::PortDispatch;
    drv->MajorFunction[IRP_MJ_DEVICE_CONTROL] = hk::PortDispatch;
    drv->MajorFunction[IRP_MJ_SCSI] = hk::PortDispatch;
    drv->MajorFunction[IRP_MJ_PNP] = hk::PortDispatch;
    drv->MajorFunction[IRP_MJ_POWER] = hk::PortDispatch;
    drv->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = hk::PortDispatch;
    return (ULONG)STATUS_SUCCESS;
}

VOID __cdecl StorPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
    hk::Port& p = hk::P();
    if (HwDeviceExtension == nullptr || HwDeviceExtension != p.ext)
        Fatal("StorPortNotification(%d) with device extension %p, which is not the adapter's (%p)",
              (int)NotificationType, HwDeviceExtension, p.ext);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Fatal("StorPortNotification(%d) at IRQL %u", (int)NotificationType, KeGetCurrentIrql());
    va_list ap;
    va_start(ap, HwDeviceExtension);
    switch (NotificationType) {
    case RequestComplete: {
        auto srb = va_arg(ap, PSCSI_REQUEST_BLOCK);
        va_end(ap);
        hk::Complete(srb);
        return;
    }
    case NextRequest:
    case NextLuRequest:
        p.nextRequests++;
        break;
    case BusChangeDetected: {
        p.busChanges++;
        std::lock_guard<std::mutex> g(p.lock);
        p.scanRequested = true;
        p.cv.notify_all();
        break;
    }
    case ResetDetected:
        break;
    default:
        Fatal("StorPortNotification type %d is not offered by the host kernel's port driver", (int)NotificationType);
    }
    va_end(ap);
}

ULONG __cdecl StorPortExtendedFunction(STORPORT_FUNCTION_CODE FunctionCode, PVOID HwDeviceExtension, ...) {
    hk::Port& p = hk::P();
    if (HwDeviceExtension == nullptr || HwDeviceExtension != p.ext) return STOR_STATUS_INVALID_PARAMETER;
    if (FunctionCode != ExtFunctionSetAdapterBusType) return STOR_STATUS_NOT_IMPLEMENTED;
    va_list ap;
    va_start(ap, HwDeviceExtension);
    ULONG busType = va_arg(ap, ULONG);
    va_end(ap);
    if (!p.inFindAdapter) return STOR_STATUS_INVALID_DEVICE_STATE;   // only inside HwFindAdapter
    if (busType >= BusTypeMax) return STOR_STATUS_INVALID_PARAMETER;
    p.busType = busType;
    return STOR_STATUS_SUCCESS;
}

ULONG NTAPI StorPortGetSystemAddress(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb, PVOID* SystemAddress) {
    if (!Srb || !SystemAddress) return STOR_STATUS_INVALID_PARAMETER;
    if (!Srb->DataBuffer) return STOR_STATUS_UNSUCCESSFUL;
    *SystemAddress = Srb->DataBuffer;
    return STOR_STATUS_SUCCESS;
}

PVOID NTAPI StorPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun) {
    hk::Port& p = hk::P();
    if (PathId != 0 || TargetId != 0) return nullptr;
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.luExtensions.find(Lun);
    return it == p.luExtensions.end() ? nullptr : it->second;
}

VOID NTAPI StorPortMoveMemory(PVOID WriteBuffer, PVOID ReadBuffer, ULONG Length) {
    memmove(WriteBuffer, ReadBuffer, Length);
}

VOID __cdecl StorPortDebugPrint(ULONG DebugPrintLevel, PCCHAR DebugMessage, ...) {
    va_list ap;
    va_start(ap, DebugMessage);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DebugPrintLevel, DebugMessage, ap);
    va_end(ap);
}

VOID NTAPI StorPortStallExecution(ULONG Delay) { KeStallExecutionProcessor(Delay); }

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// Test hooks

PDRIVER_OBJECT HkDriverObject() { return hk::P().driver; }
PVOID HkStorDeviceExtension() { return hk::P().ext; }

NTSTATUS HkDriverLoad(PDRIVER_INITIALIZE entry, const char* serviceName) {
    hk::Port& p = hk::P();
    if (p.driver) Fatal("HkDriverLoad: a driver is already loaded");
    p.poolMark = hk::test::PoolMark();
    auto* drv = (PDRIVER_OBJECT)calloc(1, sizeof(DRIVER_OBJECT));
    auto* dx = (PDRIVER_EXTENSION)calloc(1, sizeof(DRIVER_EXTENSION));
    drv->Type = IO_TYPE_DRIVER;
    drv->Size = (CSHORT)sizeof(DRIVER_OBJECT);
    drv->DriverExtension = dx;
    dx->DriverObject = drv;
    drv->DriverInit = entry;
    for (auto& f : drv->MajorFunction) f = hk::InvalidDeviceRequestRoutine();
    p.driver = drv;
    p.registryPathText = hk::ToU16((std::string("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") +
                                    serviceName).c_str());
    p.registryPath.Buffer = (PWCH)p.registryPathText.data();
    p.registryPath.Length = (USHORT)(p.registryPathText.size() * sizeof(WCHAR));
    p.registryPath.MaximumLength = p.registryPath.Length;
    NTSTATUS st;
    {
        hk::IrqlScope passive(PASSIVE_LEVEL);
        st = entry(drv, &p.registryPath);
    }
    if (!NT_SUCCESS(st)) {
        // The driver is not loaded: its object goes, whatever it left behind stays reported.
        p.driver = nullptr;
        p.registered = false;
        free(dx);
        free(drv);
        return st;
    }
    if (!p.registered) return st;
    return HkStorStartAdapter();
}

NTSTATUS HkStorStartAdapter() {
    hk::Port& p = hk::P();
    if (!p.registered) Fatal("HkStorStartAdapter: no miniport registered with StorPortInitialize");
    if (p.started) Fatal("HkStorStartAdapter: the adapter is already started");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\RaidPort0");
    NTSTATUS st = IoCreateDevice(p.driver, 0, &name, FILE_DEVICE_CONTROLLER, 0, FALSE, &p.portDevice);
    if (!NT_SUCCESS(st)) return st;
    p.portDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    p.ext = ExAllocatePoolZero(NonPagedPoolNx, p.init.DeviceExtensionSize ? p.init.DeviceExtensionSize : 1,
                               hk::kPortTag);
    KeInitializeSpinLock(&p.startIoLock);
    PORT_CONFIGURATION_INFORMATION& c = p.config;
    memset(&c, 0, sizeof c);
    c.Length = sizeof c;
    c.AdapterInterfaceType = p.init.AdapterInterfaceType;
    c.MaximumTransferLength = 0x20000;
    c.NumberOfPhysicalBreaks = 0x11;
    c.NumberOfBuses = 1;
    c.MapBuffers = p.init.MapBuffers;
    c.NeedPhysicalAddresses = p.init.NeedPhysicalAddresses;
    c.TaggedQueuing = p.init.TaggedQueuing;
    c.AutoRequestSense = p.init.AutoRequestSense;
    c.MultipleRequestPerLu = p.init.MultipleRequestPerLu;
    c.ReceiveEvent = p.init.ReceiveEvent;
    c.MaximumNumberOfTargets = 1;
    c.MaximumNumberOfLogicalUnits = 8;
    c.DeviceExtensionSize = p.init.DeviceExtensionSize;
    c.SpecificLuExtensionSize = p.init.SpecificLuExtensionSize;
    c.SrbExtensionSize = p.init.SrbExtensionSize;
    c.SynchronizationModel = StorSynchronizeHalfDuplex;

    BOOLEAN again = FALSE;
    p.inFindAdapter = true;
    ULONG found = p.init.HwFindAdapter(p.ext, p.hwContext, nullptr, p.portDevice, nullptr, &c, &again);
    p.inFindAdapter = false;
    hk::RequireIrqlExactly(PASSIVE_LEVEL, "HwFindAdapter (on return)");
    if (found != SP_RETURN_FOUND) {
        ExFreePoolWithTag(p.ext, hk::kPortTag);
        p.ext = nullptr;
        IoDeleteDevice(p.portDevice);
        p.portDevice = nullptr;
        return found == SP_RETURN_NOT_FOUND ? STATUS_NO_SUCH_DEVICE : STATUS_ADAPTER_HARDWARE_ERROR;
    }
    if (c.SrbExtensionSize > 0x10000) Fatal("HwFindAdapter set SrbExtensionSize %u", c.SrbExtensionSize);
    p.started = true;

    if (p.init.HwAdapterControl) {
        size_t size = sizeof(SCSI_SUPPORTED_CONTROL_TYPE_LIST) + ScsiAdapterControlMax;
        auto* list = (PSCSI_SUPPORTED_CONTROL_TYPE_LIST)ExAllocatePoolZero(NonPagedPoolNx, size, hk::kPortTag);
        list->MaxControlType = ScsiAdapterControlMax;
        SCSI_ADAPTER_CONTROL_STATUS s = p.init.HwAdapterControl(p.ext, ScsiQuerySupportedControlTypes, list);
        hk::RequireIrqlExactly(PASSIVE_LEVEL, "HwAdapterControl (on return)");
        p.stopSupported = s == ScsiAdapterControlSuccess && list->SupportedTypeList[ScsiStopAdapter];
        ExFreePoolWithTag(list, hk::kPortTag);
    }

    BOOLEAN ok = FALSE;
    hk::CallAtDispatch([&] { ok = p.init.HwInitialize(p.ext); });
    if (!ok) {
        // Storport fails the start; the miniport still gets its resources freed.
        p.init.HwFreeAdapterResources(p.ext);
        p.started = false;
        ExFreePoolWithTag(p.ext, hk::kPortTag);
        p.ext = nullptr;
        IoDeleteDevice(p.portDevice);
        p.portDevice = nullptr;
        return STATUS_ADAPTER_HARDWARE_ERROR;
    }

    // The first scan runs before the start is reported, as the disk appears during boot.
    {
        std::lock_guard<std::mutex> g(p.lock);
        p.scanStop = false;
        p.scanRequested = true;
    }
    uint64_t before = HkBusScanCount();
    p.scanner = std::thread(hk::ScannerMain);
    HkWaitForBusScan(before, 60000);
    return STATUS_SUCCESS;
}

HkUnloadReport HkDriverUnload(bool allowOutstandingSrbs) {
    hk::Port& p = hk::P();
    HkUnloadReport report;
    if (!p.driver) Fatal("HkDriverUnload: no driver loaded");
    hk::RequireIrqlExactly(PASSIVE_LEVEL, "HkDriverUnload");
    if (p.scanner.joinable()) {
        {
            std::lock_guard<std::mutex> g(p.lock);
            p.scanStop = true;
            p.cv.notify_all();
        }
        p.scanner.join();
    }
    if (p.started) {
        if (p.stopSupported && p.init.HwAdapterControl) {
            p.init.HwAdapterControl(p.ext, ScsiStopAdapter, nullptr);
            hk::RequireIrqlExactly(PASSIVE_LEVEL, "HwAdapterControl(ScsiStopAdapter) (on return)");
        }
        p.init.HwFreeAdapterResources(p.ext);
        hk::RequireIrqlExactly(PASSIVE_LEVEL, "HwFreeAdapterResources (on return)");
        size_t left;
        {
            std::lock_guard<std::mutex> g(p.lock);
            left = p.outstanding.size();
            if (left && !allowOutstandingSrbs) {
                hk::Request* first = p.outstanding.begin()->second;
                Fatal("%zu SRB(s) still outstanding after HwFreeAdapterResources (e.g. request %llu: CDB 0x%02X to "
                      "LUN %u)",
                      left, (unsigned long long)first->ticket, first->opcode, first->lun);
            }
        }
        if (left) report.leaks.push_back(std::to_string(left) + " SRB(s) outstanding");
        p.started = false;
    }
    hk::test::DrainWorkItems();
    if (p.driver->DriverUnload) {
        p.driver->DriverUnload(p.driver);
        hk::RequireIrqlExactly(PASSIVE_LEVEL, "DriverUnload (on return)");
    }
    hk::test::DrainWorkItems();
    hk::FlushQuarantine();
    {
        std::lock_guard<std::mutex> g(p.lock);
        for (auto& l : p.luExtensions) ExFreePoolWithTag(l.second, hk::kPortTag);
        p.luExtensions.clear();
        for (auto& f : p.finished) delete f.second;
        p.finished.clear();
        p.view.clear();
        p.scanCallback = nullptr;
    }
    if (p.portDevice) IoDeleteDevice(p.portDevice);
    p.portDevice = nullptr;
    if (p.ext) ExFreePoolWithTag(p.ext, hk::kPortTag);
    p.ext = nullptr;

    std::string pool = hk::test::PoolLeaksSince(p.poolMark);
    size_t s = 0;
    while (s < pool.size()) {
        size_t e = pool.find('\n', s);
        if (e == std::string::npos) e = pool.size();
        if (e > s) report.leaks.push_back(pool.substr(s, e - s));
        s = e + 1;
    }
    LONG irps = HkIoOutstandingIrps();
    if (irps) report.leaks.push_back(std::to_string(irps) + " IRP(s) outstanding");
    for (PDEVICE_OBJECT d = p.driver->DeviceObject; d; d = d->NextDevice)
        report.leaks.push_back("device " + hk::ToUtf8((const char16_t*)d->HkName, hk::Wcslen((const char16_t*)d->HkName)) +
                               " not deleted");
    for (auto& l : hk::IoLinkNames()) report.leaks.push_back("symbolic link " + l + " not deleted");
    long files = hk::IoOpenFileCount();
    if (files) report.leaks.push_back(std::to_string(files) + " file object(s) not closed");
    // Requests the caller chose to abandon go with the adapter.
    {
        std::lock_guard<std::mutex> g(p.lock);
        for (auto& o : p.outstanding) {
            hk::Request* rq = o.second;
            ExFreePoolWithTag(rq->srb, hk::kSrbTag);
            if (rq->extension) ExFreePoolWithTag(rq->extension, hk::kSrbTag);
            if (rq->data && !rq->callerData) ExFreePoolWithTag(rq->data, hk::kPortTag);
            if (rq->sense) ExFreePoolWithTag(rq->sense, hk::kPortTag);
            delete rq;
        }
        p.outstanding.clear();
        p.waiting.clear();
    }
    free(p.driver->DriverExtension);
    free(p.driver);
    p.driver = nullptr;
    p.registered = false;
    p.stopSupported = false;
    p.busType = 0;
    p.busChanges = 0;
    p.completions = 0;
    p.nextRequests = 0;
    p.buildIo = 0;
    p.startIo = 0;
    p.scans = 0;
    return report;
}

uint64_t HkScsiSubmit(const HkScsiRequest& request, HkScsiCallback onComplete) {
    hk::Port& p = hk::P();
    if (!p.started) Fatal("HkScsiSubmit: the adapter is not started");
    if (request.cdb.empty() || request.cdb.size() > 16) Fatal("HkScsiSubmit: CDB of %zu bytes", request.cdb.size());
    if (request.dataInLength && !request.dataOut.empty()) Fatal("HkScsiSubmit: data in and data out at once");
    if (request.dataInBuffer && !request.dataInLength) Fatal("HkScsiSubmit: dataInBuffer without dataInLength");
    auto* rq = new hk::Request;
    rq->callback = std::move(onComplete);
    rq->opcode = request.cdb[0];
    rq->lun = request.lun;
    auto* srb = (PSCSI_REQUEST_BLOCK)ExAllocatePoolZero(NonPagedPoolNx, sizeof(SCSI_REQUEST_BLOCK), hk::kSrbTag);
    rq->srb = srb;
    rq->extensionSize = p.config.SrbExtensionSize;
    if (rq->extensionSize) rq->extension = ExAllocatePoolZero(NonPagedPoolNx, rq->extensionSize, hk::kSrbTag);
    rq->dataIn = request.dataInLength != 0;
    rq->dataLength = rq->dataIn ? request.dataInLength : (ULONG)request.dataOut.size();
    if (request.dataInBuffer) {
        rq->data = request.dataInBuffer;
        rq->callerData = true;
    } else if (rq->dataLength) {
        rq->data = ExAllocatePoolWithTag(NonPagedPoolNx, rq->dataLength, hk::kPortTag);
        if (rq->dataIn) memset(rq->data, 0, rq->dataLength);
        else memcpy(rq->data, request.dataOut.data(), rq->dataLength);
    }
    rq->senseLength = request.senseLength;
    if (rq->senseLength) rq->sense = ExAllocatePoolZero(NonPagedPoolNx, rq->senseLength, hk::kPortTag);
    srb->Length = sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = request.function;
    srb->SrbStatus = SRB_STATUS_PENDING;
    srb->PathId = request.path;
    srb->TargetId = request.target;
    srb->Lun = request.lun;
    srb->QueueAction = SRB_SIMPLE_TAG_REQUEST;
    srb->CdbLength = (UCHAR)request.cdb.size();
    srb->SenseInfoBufferLength = rq->senseLength;
    srb->SrbFlags = SRB_FLAGS_QUEUE_ACTION_ENABLE | SRB_FLAGS_ADAPTER_CACHE_ENABLE |
                    (rq->dataLength ? (rq->dataIn ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT) : SRB_FLAGS_NO_DATA_TRANSFER);
    srb->DataTransferLength = rq->dataLength;
    srb->TimeOutValue = request.timeOutValue;
    srb->DataBuffer = rq->data;
    srb->SenseInfoBuffer = rq->sense;
    srb->OriginalRequest = rq;
    srb->SrbExtension = rq->extension;
    memcpy(srb->Cdb, request.cdb.data(), request.cdb.size());
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> g(p.lock);
        ticket = p.nextTicket++;
        rq->ticket = ticket;
        srb->QueueTag = (UCHAR)ticket;
        p.outstanding[srb] = rq;
        if (!rq->callback) {
            p.waiting[ticket] = rq;
            rq->refs = 2;   // the completion's and the wait's
        }
    }
    // Nothing of the request is touched after the calls below: it may be completed (and poisoned)
    // by then, on this thread or another.
    hk::CallAtDispatch([&] {
        p.buildIo++;
        BOOLEAN go = p.init.HwBuildIo ? p.init.HwBuildIo(p.ext, srb) : TRUE;
        if (!go) return;   // the miniport completed it
        KeAcquireSpinLockAtDpcLevel(&p.startIoLock);
        p.startIo++;
        p.init.HwStartIo(p.ext, srb);
        KeReleaseSpinLockFromDpcLevel(&p.startIoLock);
    });
    return ticket;
}

bool HkScsiWait(uint64_t ticket, int timeoutMs, HkScsiResult* result) {
    hk::Port& p = hk::P();
    std::unique_lock<std::mutex> lk(p.lock);
    auto f = p.finished.find(ticket);
    hk::Request* rq;
    if (f != p.finished.end()) {
        rq = f->second;
    } else {
        auto w = p.waiting.find(ticket);
        if (w == p.waiting.end()) Fatal("HkScsiWait: unknown ticket %llu", (unsigned long long)ticket);
        rq = w->second;
        // Completion moves the request from waiting to finished and wakes its doneCv; the request
        // stays allocated until a wait consumes it.
        if (!rq->doneCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return rq->done; })) return false;
    }
    p.finished.erase(ticket);
    if (result) *result = std::move(rq->result);
    lk.unlock();
    if (rq->refs.fetch_sub(1) == 1) delete rq;
    return true;
}

HkScsiResult HkScsiExecute(const HkScsiRequest& request, int timeoutMs) {
    uint64_t t = HkScsiSubmit(request);
    HkScsiResult r;
    if (!HkScsiWait(t, timeoutMs, &r)) r.completed = false;
    return r;
}

std::vector<HkLunView> HkBusView() {
    std::lock_guard<std::mutex> g(hk::P().lock);
    return hk::P().view;
}

uint64_t HkBusScanCount() {
    std::lock_guard<std::mutex> g(hk::P().lock);
    return hk::P().scans;
}

bool HkWaitForBusScan(uint64_t count, int timeoutMs) {
    hk::Port& p = hk::P();
    std::unique_lock<std::mutex> lk(p.lock);
    return p.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return p.scans > count; });
}

void HkSetBusScanCallback(std::function<void(const std::vector<HkLunView>&)> callback) {
    std::lock_guard<std::mutex> g(hk::P().lock);
    hk::P().scanCallback = std::move(callback);
}

void HkRequestBusScan() {
    hk::Port& p = hk::P();
    std::lock_guard<std::mutex> g(p.lock);
    p.scanRequested = true;
    p.cv.notify_all();
}

BOOLEAN HkBusReset() {
    hk::Port& p = hk::P();
    if (!p.started) Fatal("HkBusReset: the adapter is not started");
    BOOLEAN r = FALSE;
    hk::CallAtDispatch([&] {
        KeAcquireSpinLockAtDpcLevel(&p.startIoLock);
        r = p.init.HwResetBus(p.ext, 0);
        KeReleaseSpinLockFromDpcLevel(&p.startIoLock);
    });
    return r;
}

HkPortCounters HkPortStats() {
    hk::Port& p = hk::P();
    HkPortCounters c;
    c.busChanges = p.busChanges;
    c.completions = p.completions;
    c.nextRequests = p.nextRequests;
    c.buildIo = p.buildIo;
    c.startIo = p.startIo;
    std::lock_guard<std::mutex> g(p.lock);
    c.scans = p.scans;
    c.outstandingSrbs = p.outstanding.size();
    c.busType = p.busType;
    return c;
}
