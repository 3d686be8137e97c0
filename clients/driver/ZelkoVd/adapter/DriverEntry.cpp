// Driver entry: parameters, the control device, the registration with Storport as a virtual
// miniport, and the dispatch wrappers that let the control device share the driver object
// with the port driver.
#include "ScsiCdb.h"

AdapterExt* volatile g_AdapterExt = NULL;
PVOID volatile g_KeGetPreviousMode = NULL;

static const UCHAR kWrappedMajors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ, IRP_MJ_WRITE};

static PDRIVER_DISPATCH WrapperFor(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE: return ZelkoDispatchCreate;
    case IRP_MJ_CLOSE: return ZelkoDispatchClose;
    case IRP_MJ_READ: return ZelkoDispatchRead;
    case IRP_MJ_WRITE: return ZelkoDispatchWrite;
    default: return ZelkoDispatchDeviceControl;
    }
}

static VOID RegistrationData(VIRTUAL_HW_INITIALIZATION_DATA* d) {
    RtlZeroMemory(d, sizeof *d);
    d->HwInitializationDataSize = sizeof *d;
    d->AdapterInterfaceType = Internal;
    d->HwInitialize = HwStorInitialize;
    d->HwStartIo = HwStorStartIo;
    d->HwFindAdapter = VirtualHwFindAdapter;
    d->HwResetBus = HwResetBus;
    d->HwAdapterControl = HwStorAdapterControl;
    d->HwBuildIo = HwStorBuildIo;
    d->HwFreeAdapterResources = HwFreeAdapterResources;
    d->DeviceExtensionSize = sizeof(AdapterExt);
    d->SpecificLuExtensionSize = sizeof(LuExt);
    d->SrbExtensionSize = sizeof(SrbExt);
    d->MapBuffers = STOR_MAP_ALL_BUFFERS_INCLUDING_READ_WRITE;
    d->NeedPhysicalAddresses = FALSE;
    d->TaggedQueuing = TRUE;
    d->AutoRequestSense = TRUE;
    d->MultipleRequestPerLu = TRUE;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    ZvLogPlain("DriverEntry START (StorPort v3.0)\n");
    FileLogWrite(ZV_FILE_LOG_START_MARKER);
    ZvResetLoadState();

    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, L"KeGetPreviousMode");
    InterlockedExchangePointer(&g_KeGetPreviousMode, MmGetSystemRoutineAddress(&routine));
    ZvLogPlain("KeGetPreviousMode @ 0x%p\n", g_KeGetPreviousMode);

    InitializeDriverParameters();
    (VOID)ReadRegistryParameters(RegistryPath);
    (VOID)ReadBootInfo();
    FileLogWrite("[DriverEntry] BootInfoValid=%d ServerIp=%ws\n", (int)g_Parameters.BootInfoValid,
                 g_Parameters.ServerIp);

    ZvLogPlain("calling ZelkoCreateControlDevice\n");
    NTSTATUS status = ZelkoCreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        ZvLogPlain("ZelkoCreateControlDevice FAILED 0x%08X\n", (ULONG)status);
        return status;
    }

    status = WskUdp_Initialize();
    if (!NT_SUCCESS(status))
        ZvLogPlain("WskUdp_Initialize 失败 0x%08X（UDP 通道禁用，回退 TCP）\n", (ULONG)status);
    else
        ZvLogPlain("WskUdp_Initialize 成功\n");

    ZvLogPlain("calling StorPortInitialize\n");
    VIRTUAL_HW_INITIALIZATION_DATA init;
    RegistrationData(&init);
    ULONG result = StorPortInitialize(DriverObject, RegistryPath, (PHW_INITIALIZATION_DATA)&init, NULL);
    ZvLogPlain("StorPortInitialize returned 0x%X\n", result);
    if (result != 0) {
        // The driver does not load: nothing it registered may stay behind.
        WskUdp_Cleanup();
        ZelkoDeleteControlDevice();
        return (NTSTATUS)result;
    }

    for (UCHAR major : kWrappedMajors) {
        InterlockedExchangePointer((PVOID volatile*)&g_PortDispatch[major], (PVOID)DriverObject->MajorFunction[major]);
        DriverObject->MajorFunction[major] = WrapperFor(major);
    }
    ZvLogPlain("已安装包装分发函数（控制设备 IOCTL 路由就绪）\n");
    ZvLogPlain("DriverEntry SUCCESS (StorPort v3.0)\n");
    return STATUS_SUCCESS;
}
