// The control device shares the driver object with the port driver: Storport owns the
// create/close/read/write/device-control entries, so DriverEntry puts these wrappers in their
// place. Requests for the control device are answered here (create and close) or by the control
// device's handlers; everything else goes on to the routine Storport had installed.
#include "AdapterInternal.h"
#include "../activation/ControlDevice.h"

#include <wdmsec.h>

PDEVICE_OBJECT volatile ControlDevice = NULL;
PDRIVER_DISPATCH volatile g_PortDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

// SYSTEM and administrators only: the control device reads any kernel object path with kernel
// rights and writes the boot disk, which no ordinary user may do.
#define ZV_CONTROL_DEVICE_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"
#define ZV_CONTROL_DEVICE_NAME L"\\Device\\ZelkoVd"
#define ZV_CONTROL_DEVICE_LINK L"\\DosDevices\\ZelkoVd"

// Resets what belongs to one load of the driver (a driver image is fresh at every load).
VOID ZvResetLoadState(VOID) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) InterlockedExchangePointer((PVOID volatile*)&g_PortDispatch[i], NULL);
    InterlockedExchange(&ActivationSucceeded, 0);
    ScsiResetLoadCounters();
}

static BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT cd = (PDEVICE_OBJECT)InterlockedCompareExchangePointer((PVOID volatile*)&ControlDevice, NULL, NULL);
    return cd != NULL && DeviceObject == cd;
}

static NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS ZvCallPortDispatch(UCHAR MajorFunction, PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDRIVER_DISPATCH routine =
        (PDRIVER_DISPATCH)InterlockedCompareExchangePointer((PVOID volatile*)&g_PortDispatch[MajorFunction], NULL, NULL);
    if (routine == NULL) return CompleteIrp(Irp, STATUS_NOT_SUPPORTED, 0);
    return routine(DeviceObject, Irp);
}

NTSTATUS ZelkoDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControlDevice(DeviceObject)) return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    return ZvCallPortDispatch(IRP_MJ_CREATE, DeviceObject, Irp);
}

NTSTATUS ZelkoDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControlDevice(DeviceObject)) return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    return ZvCallPortDispatch(IRP_MJ_CLOSE, DeviceObject, Irp);
}

NTSTATUS ZelkoDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControlDevice(DeviceObject)) return ZelkoControlRead(DeviceObject, Irp);
    return ZvCallPortDispatch(IRP_MJ_READ, DeviceObject, Irp);
}

NTSTATUS ZelkoDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControlDevice(DeviceObject)) return ZelkoControlWrite(DeviceObject, Irp);
    return ZvCallPortDispatch(IRP_MJ_WRITE, DeviceObject, Irp);
}

NTSTATUS ZelkoDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IsControlDevice(DeviceObject)) return ZelkoDeviceControl(DeviceObject, Irp);
    return ZvCallPortDispatch(IRP_MJ_DEVICE_CONTROL, DeviceObject, Irp);
}

NTSTATUS ZelkoCreateControlDevice(PDRIVER_OBJECT DriverObject) {
    ZvLogPlain("CreateControlDevice ENTER\n");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ZV_CONTROL_DEVICE_NAME);
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, ZV_CONTROL_DEVICE_SDDL);
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDeviceSecure(DriverObject, sizeof(ZV_CONTROL_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                           FILE_DEVICE_SECURE_OPEN, FALSE, &sddl, NULL, &device);
    if (!NT_SUCCESS(status)) {
        ZvLogPlain("IoCreateDevice FAILED 0x%08X\n", (ULONG)status);
        return status;
    }
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ZV_CONTROL_DEVICE_LINK);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        ZvLogPlain("IoCreateSymbolicLink FAILED 0x%08X\n", (ULONG)status);
        IoDeleteDevice(device);
        return status;
    }

    PZV_CONTROL_EXTENSION ext = (PZV_CONTROL_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(ext, sizeof *ext);
    ext->device = device;
    ext->driver = DriverObject;
    InterlockedExchangePointer((PVOID volatile*)&ControlDevice, device);
    ZvLogPlain("CreateControlDevice SUCCESS (ext size=%zu)\n", sizeof(ZV_CONTROL_EXTENSION));
    return STATUS_SUCCESS;
}

VOID ZelkoDeleteControlDevice(VOID) {
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)InterlockedExchangePointer((PVOID volatile*)&ControlDevice, NULL);
    if (device == NULL) return;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ZV_CONTROL_DEVICE_LINK);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
    ZvLogPlain("ControlDevice deleted\n");
}
