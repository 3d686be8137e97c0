// The control device "\\.\ZelkoVd": the requests user mode sends to the driver.
//
// The dispatch wrappers of the adapter hand every device-control, read and write request that
// is addressed to the control device to these routines; requests for Storport's own devices
// never reach them. Each routine completes the request (unless a handler returned
// STATUS_PENDING, which none does today) and returns the status it completed it with.
// All three run at PASSIVE_LEVEL on the caller's thread.
#pragma once

#include "../platform.h"

#include "ZelkoControl.h"

// IRP_MJ_DEVICE_CONTROL: the request codes and records of ZelkoControl.h.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZelkoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_READ / IRP_MJ_WRITE: direct I/O to and from LUN 0's remote disk at the request's byte
// offset.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZelkoControlRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZelkoControlWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
