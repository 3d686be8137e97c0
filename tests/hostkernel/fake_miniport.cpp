// The fake virtual miniport of the port-driver tests (see fake_miniport.h).
#include "fake_miniport.h"

#include <cstring>

namespace fake {
namespace {

struct Ext {
    PDEVICE_OBJECT control;
};

struct SrbExt {
    PIO_WORKITEM item;
    PSCSI_REQUEST_BLOCK srb;
    PVOID ext;
};

PDRIVER_DISPATCH g_portCreate, g_portClose, g_portIoctl, g_portRead, g_portWrite;

void Spin(int micros) {
    LARGE_INTEGER f, a, b;
    a = KeQueryPerformanceCounter(&f);
    do {
        b = KeQueryPerformanceCounter(nullptr);
    } while ((b.QuadPart - a.QuadPart) * 1000000 / f.QuadPart < micros);
}

void Finish(PVOID ext, PSCSI_REQUEST_BLOCK srb, UCHAR status, ULONG length) {
    srb->SrbStatus = status;
    srb->ScsiStatus = status == SRB_STATUS_SUCCESS ? SCSISTAT_GOOD : SCSISTAT_CHECK_CONDITION;
    srb->DataTransferLength = length;
    StorPortNotification(RequestComplete, ext, srb);
    StorPortNotification(NextRequest, ext);
}

void CheckCondition(PVOID ext, PSCSI_REQUEST_BLOCK srb, UCHAR key, UCHAR asc) {
    if (srb->SenseInfoBuffer && srb->SenseInfoBufferLength >= 18) {
        auto* s = (UCHAR*)srb->SenseInfoBuffer;
        memset(s, 0, 18);
        s[0] = 0x70;
        s[2] = key;
        s[7] = 0x0A;
        s[12] = asc;
    }
    Finish(ext, srb, SRB_STATUS_ERROR, 0);
}

ULONG Put(PSCSI_REQUEST_BLOCK srb, const UCHAR* data, ULONG n) {
    if (n > srb->DataTransferLength) n = srb->DataTransferLength;
    memcpy(srb->DataBuffer, data, n);
    return n;
}

VOID NTAPI ReadWorker(PDEVICE_OBJECT, PVOID context) {
    auto* se = (SrbExt*)context;
    PSCSI_REQUEST_BLOCK srb = se->srb;
    PVOID ext = se->ext;
    PIO_WORKITEM item = se->item;
    ULONG lba = (ULONG)srb->Cdb[2] << 24 | (ULONG)srb->Cdb[3] << 16 | (ULONG)srb->Cdb[4] << 8 | srb->Cdb[5];
    auto* d = (UCHAR*)srb->DataBuffer;
    for (ULONG i = 0; i < srb->DataTransferLength; i++) d[i] = (UCHAR)(lba + i / 512);
    if (S().completeAtHighIrql) {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        Finish(ext, srb, SRB_STATUS_SUCCESS, srb->DataTransferLength);
        KeLowerIrql(old);
    } else {
        Finish(ext, srb, SRB_STATUS_SUCCESS, srb->DataTransferLength);
    }
    if (S().doubleComplete) StorPortNotification(RequestComplete, ext, srb);
    if (S().writeAfterComplete) se->srb = nullptr;   // the extension belongs to the port by now
    IoFreeWorkItem(item);
}

BOOLEAN BuildIo(PVOID ext, PSCSI_REQUEST_BLOCK srb) {
    State& s = S();
    int n = ++s.inBuildIo;
    int m = s.maxBuildIo;
    while (n > m && !s.maxBuildIo.compare_exchange_weak(m, n)) {}
    if (s.inStartIo > 0) s.buildDuringStart++;
    if (s.slowCallbacks) Spin(100);
    if (s.inStartIo > 0) s.buildDuringStart++;
    BOOLEAN go = TRUE;
    if (srb->Lun >= 16) {
        Finish(ext, srb, SRB_STATUS_INVALID_LUN, 0);
        go = FALSE;
    }
    s.inBuildIo--;
    return go;
}

BOOLEAN StartIo(PVOID ext, PSCSI_REQUEST_BLOCK srb) {
    State& s = S();
    int n = ++s.inStartIo;
    int m = s.maxStartIo;
    while (n > m && !s.maxStartIo.compare_exchange_weak(m, n)) {}
    if (s.slowCallbacks) Spin(200);
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.cdbs.emplace_back(srb->Cdb, srb->Cdb + srb->CdbLength);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) s.events.push_back({"StartIo at wrong IRQL", KeGetCurrentIrql()});
    }
    UCHAR op = srb->Cdb[0];
    bool present = srb->Lun < s.lunCount;
    UCHAR buf[64] = {0};
    if (op == 0xA0) {   // REPORT LUNS
        ULONG len = 8 * s.lunCount;
        UCHAR out[8 + 8 * 16] = {0};
        out[3] = (UCHAR)len;
        for (UCHAR l = 0; l < s.lunCount; l++) out[8 + 8 * l + 1] = l;
        Finish(ext, srb, SRB_STATUS_SUCCESS, Put(srb, out, 8 + len));
    } else if (op == 0x12 && !(srb->Cdb[1] & 1)) {   // INQUIRY
        if (!present) {
            buf[0] = 0x3F;
            Finish(ext, srb, SRB_STATUS_SUCCESS, Put(srb, buf, 5));
        } else {
            buf[0] = 0x00;
            buf[4] = 31;
            memcpy(buf + 8, "FAKE    VDISK           0001", 28);
            Finish(ext, srb, SRB_STATUS_SUCCESS, Put(srb, buf, 36));
        }
    } else if (op == 0x12) {   // INQUIRY VPD
        if (srb->Cdb[2] != 0x83) {
            CheckCondition(ext, srb, 0x05, 0x24);
        } else {
            UCHAR v[12] = {0, 0x83, 0, 8, 0x02, 0x01, 0, 4, 'L', 'U', 'N', (UCHAR)('0' + srb->Lun)};
            Finish(ext, srb, SRB_STATUS_SUCCESS, Put(srb, v, sizeof v));
        }
    } else if (op == 0x25 && present) {   // READ CAPACITY(10)
        UCHAR c[8] = {0, 0, 0x07, 0xFF, 0, 0, 0x02, 0x00};   // 2048 blocks of 512
        if (srb->Lun == 1) c[0] = c[1] = c[2] = c[3] = 0xFF;
        Finish(ext, srb, SRB_STATUS_SUCCESS, Put(srb, c, 8));
    } else if (op == 0x9E && present) {   // READ CAPACITY(16): 2^32 blocks of 4096
        UCHAR c[32] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x10, 0x00};
        Finish(ext, srb, SRB_STATUS_SUCCESS, Put(srb, c, 32));
    } else if (op == 0x28 && present) {   // READ(10): from a work item
        if (s.holdReads) {
            StorPortNotification(NextRequest, ext);
        } else {
            auto* se = (SrbExt*)srb->SrbExtension;
            se->srb = srb;
            se->ext = ext;
            se->item = IoAllocateWorkItem(((Ext*)ext)->control);
            IoQueueWorkItem(se->item, ReadWorker, CriticalWorkQueue, se);
            StorPortNotification(NextRequest, ext);
        }
    } else if (op == 0x00 && present) {
        Finish(ext, srb, SRB_STATUS_SUCCESS, 0);
    } else {
        CheckCondition(ext, srb, 0x05, 0x20);
    }
    s.inStartIo--;
    return TRUE;
}

ULONG FindAdapter(PVOID ext, PVOID, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again) {
    Log("FindAdapter");
    *again = FALSE;
    ((Ext*)ext)->control = S().control;
    config->VirtualDevice = TRUE;
    config->MaximumNumberOfLogicalUnits = 16;
    S().busTypeStatus = StorPortSetAdapterBusType(ext, BusTypeVirtual);
    return SP_RETURN_FOUND;
}

SCSI_ADAPTER_CONTROL_STATUS AdapterControl(PVOID, SCSI_ADAPTER_CONTROL_TYPE type, PVOID params) {
    Log(type == ScsiQuerySupportedControlTypes ? "QuerySupportedControlTypes"
                                               : type == ScsiStopAdapter ? "StopAdapter" : "AdapterControl");
    if (type == ScsiQuerySupportedControlTypes && S().reportStop) {
        auto* list = (PSCSI_SUPPORTED_CONTROL_TYPE_LIST)params;
        list->SupportedTypeList[ScsiQuerySupportedControlTypes] = TRUE;
        if (list->MaxControlType > ScsiStopAdapter) list->SupportedTypeList[ScsiStopAdapter] = TRUE;
    }
    return ScsiAdapterControlSuccess;
}

BOOLEAN Initialize(PVOID ext) {
    Log("HwInitialize");
    S().lateBusTypeStatus = StorPortSetAdapterBusType(ext, BusTypeVirtual);
    return TRUE;
}

BOOLEAN ResetBus(PVOID, ULONG) {
    Log("ResetBus");
    return TRUE;
}

VOID FreeResources(PVOID) {
    Log("FreeAdapterResources");
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\FakeCtl");
    IoDeleteSymbolicLink(&link);
    if (S().control) IoDeleteDevice(S().control);
    S().control = nullptr;
}

NTSTATUS Done(PIRP irp, NTSTATUS st, ULONG_PTR info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

VOID NTAPI PendingWorker(PDEVICE_OBJECT, PVOID context) {
    auto* irp = (PIRP)context;
    auto* item = (PIO_WORKITEM)irp->Tail.Overlay.DriverContext[0];
    Done(irp, STATUS_SUCCESS, 0);
    IoFreeWorkItem(item);
}

NTSTATUS Control(PDEVICE_OBJECT dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return Done(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
        S().ioctlPreviousMode = ExGetPreviousMode();
        ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
        auto* b = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
        switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case kIoctlEcho: {
            // Reverse the input in place; report as many bytes as fit the output.
            for (ULONG i = 0; i < in / 2; i++) {
                UCHAR t = b[i];
                b[i] = b[in - 1 - i];
                b[in - 1 - i] = t;
            }
            return Done(irp, STATUS_SUCCESS, in < out ? in : out);
        }
        case kIoctlFail:
            if (b && out) memset(b, 0xEE, out);
            return Done(irp, STATUS_INVALID_PARAMETER, out);
        case kIoctlOverreport:
            return Done(irp, STATUS_SUCCESS, out + 1);
        case kIoctlMismatch:
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        case kIoctlPending: {
            PIO_WORKITEM item = IoAllocateWorkItem(dev);
            irp->Tail.Overlay.DriverContext[0] = item;
            IoMarkIrpPending(irp);
            IoQueueWorkItem(item, PendingWorker, DelayedWorkQueue, irp);
            return STATUS_PENDING;
        }
        }
        return Done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    case IRP_MJ_READ: {
        S().lastReadHadMdl = irp->MdlAddress != nullptr;
        S().lastReadOffset = sp->Parameters.Read.ByteOffset.QuadPart;
        ULONG len = sp->Parameters.Read.Length;
        if (len == 0) return Done(irp, STATUS_SUCCESS, 0);
        if (!irp->MdlAddress) return Done(irp, STATUS_INVALID_PARAMETER, 0);
        S().lastReadMdlBytes = MmGetMdlByteCount(irp->MdlAddress);
        auto* p = (UCHAR*)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        for (ULONG i = 0; i < len; i++) p[i] = (UCHAR)(sp->Parameters.Read.ByteOffset.QuadPart + i);
        return Done(irp, STATUS_SUCCESS, len);
    }
    case IRP_MJ_WRITE:
        return Done(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
    }
    return Done(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI Wrapper(PDEVICE_OBJECT dev, PIRP irp) {
    if (dev == S().control) return Control(dev, irp);
    PDRIVER_DISPATCH saved = nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: saved = g_portCreate; break;
    case IRP_MJ_CLOSE: saved = g_portClose; break;
    case IRP_MJ_DEVICE_CONTROL: saved = g_portIoctl; break;
    case IRP_MJ_READ: saved = g_portRead; break;
    case IRP_MJ_WRITE: saved = g_portWrite; break;
    }
    return saved(dev, irp);
}

}  // namespace

State& S() {
    static State s;
    return s;
}

void Reset() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.events.clear();
    s.cdbs.clear();
    s.reportStop = true;
    s.lunCount = 2;
    s.doubleComplete = s.holdReads = s.writeAfterComplete = s.completeAtHighIrql = s.slowCallbacks = false;
    s.busTypeStatus = s.lateBusTypeStatus = 0xFFFFFFFF;
    s.inBuildIo = s.inStartIo = s.maxStartIo = s.maxBuildIo = s.buildDuringStart = 0;
    s.ioctlPreviousMode = KernelMode;
    s.lastReadMdlBytes = 0;
    s.lastReadHadMdl = false;
    s.lastReadOffset = -1;
}

void Log(const std::string& what) {
    std::lock_guard<std::mutex> g(S().lock);
    S().events.push_back({what, KeGetCurrentIrql()});
}

std::vector<std::string> EventNames() {
    std::lock_guard<std::mutex> g(S().lock);
    std::vector<std::string> r;
    for (auto& e : S().events) r.push_back(e.what + "@" + std::to_string(e.irql));
    return r;
}

std::vector<uint8_t> Read10(uint32_t lba, uint16_t blocks) {
    return {0x28, 0, (uint8_t)(lba >> 24), (uint8_t)(lba >> 16), (uint8_t)(lba >> 8), (uint8_t)lba, 0,
            (uint8_t)(blocks >> 8), (uint8_t)blocks, 0};
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    Log("DriverEntry");
    UNICODE_STRING name, link, sddl;
    RtlInitUnicodeString(&name, L"\\Device\\FakeCtl");
    RtlInitUnicodeString(&link, L"\\DosDevices\\FakeCtl");
    RtlInitUnicodeString(&sddl, SDDL_DEVOBJ_SYS_ALL_ADM_ALL);
    PDEVICE_OBJECT dev;
    NTSTATUS st = IoCreateDeviceSecure(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &sddl,
                                       nullptr, &dev);
    if (!NT_SUCCESS(st)) return st;
    dev->Flags |= DO_DIRECT_IO;
    dev->Flags &= ~DO_DEVICE_INITIALIZING;
    st = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(st)) {
        IoDeleteDevice(dev);
        return st;
    }
    S().control = dev;

    VIRTUAL_HW_INITIALIZATION_DATA init;
    memset(&init, 0, sizeof init);
    init.HwInitializationDataSize = sizeof init;
    init.AdapterInterfaceType = Internal;
    init.HwInitialize = Initialize;
    init.HwStartIo = StartIo;
    init.HwFindAdapter = FindAdapter;
    init.HwResetBus = ResetBus;
    init.HwAdapterControl = AdapterControl;
    init.HwBuildIo = BuildIo;
    init.HwFreeAdapterResources = FreeResources;
    init.DeviceExtensionSize = sizeof(Ext);
    init.SrbExtensionSize = sizeof(SrbExt);
    init.MapBuffers = STOR_MAP_ALL_BUFFERS_INCLUDING_READ_WRITE;
    init.TaggedQueuing = init.AutoRequestSense = init.MultipleRequestPerLu = TRUE;
    ULONG r = StorPortInitialize(driver, registryPath, (PHW_INITIALIZATION_DATA)&init, nullptr);
    if (r != 0) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(dev);
        S().control = nullptr;
        return (NTSTATUS)r;
    }
    g_portCreate = driver->MajorFunction[IRP_MJ_CREATE];
    g_portClose = driver->MajorFunction[IRP_MJ_CLOSE];
    g_portIoctl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    g_portRead = driver->MajorFunction[IRP_MJ_READ];
    g_portWrite = driver->MajorFunction[IRP_MJ_WRITE];
    driver->MajorFunction[IRP_MJ_CREATE] = Wrapper;
    driver->MajorFunction[IRP_MJ_CLOSE] = Wrapper;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Wrapper;
    driver->MajorFunction[IRP_MJ_READ] = Wrapper;
    driver->MajorFunction[IRP_MJ_WRITE] = Wrapper;
    return STATUS_SUCCESS;
}

}  // namespace fake
