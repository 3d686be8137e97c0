// What the control device's files share: the decoded request every handler gets, the handlers
// themselves (one per request code, grouped by concern in ControlSession/ControlDisk/ControlLun/
// ControlStatus.cpp) and the small text helpers they need.
//
// ControlDevice.cpp validates a request once against its table row (adapter started, LUN 0
// present when the row needs it, buffer minimums) before a handler runs, so a handler can rely
// on: Adapter non-NULL, Lun0 live and referenced when the row needs LUN 0, and the system buffer
// at least as long as the row's minimums. Anything beyond the minimums (data lengths inside the record) is
// the handler's to check.
#pragma once

#include "../platform.h"

#include "../adapter/AdapterInternal.h"
#include "ControlDevice.h"
#include "ZvLog.h"
#include "ZelkoControl.h"

namespace zc = zelko::control;

// mingw-w64's DDK headers predate the no-execute mapping flag.
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// "ZvWd": the kernel copy of the data of one IOCTL_ZELKO_WRITE_DISK.
#define ZV_TAG_WRITE_DISK 0x6457765Au

typedef struct _CONTROL_REQUEST {
    PIRP Irp;
    ULONG Code;
    PVOID Buffer;           // the shared system buffer (input, then output); NULL when both are 0
    ULONG InputLength;
    ULONG OutputLength;
    AdapterExt* Adapter;
    LuExt* Lun0;            // referenced for the request's run; NULL when the row does not use LUN 0
                            // or there is no live LUN 0
    ULONG_PTR Information;  // bytes returned; reported only when the status is a success
} CONTROL_REQUEST, *PCONTROL_REQUEST;

typedef NTSTATUS (*PCONTROL_HANDLER)(PCONTROL_REQUEST Request);

// ControlSession.cpp: connection, handshake and server-side session requests.
NTSTATUS ControlConnect(PCONTROL_REQUEST Request);
NTSTATUS ControlDisconnect(PCONTROL_REQUEST Request);
NTSTATUS ControlHandshake(PCONTROL_REQUEST Request);
NTSTATUS ControlSetConfig(PCONTROL_REQUEST Request);
NTSTATUS ControlExitSuperUser(PCONTROL_REQUEST Request);
NTSTATUS ControlReconnect(PCONTROL_REQUEST Request);
NTSTATUS ControlMigrationStatus(PCONTROL_REQUEST Request);
NTSTATUS ControlPing(PCONTROL_REQUEST Request);

// ControlDisk.cpp: data movement.
NTSTATUS ControlFlush(PCONTROL_REQUEST Request);
NTSTATUS ControlCachePurge(PCONTROL_REQUEST Request);
NTSTATUS ControlReadLocal(PCONTROL_REQUEST Request);
NTSTATUS ControlWriteDisk(PCONTROL_REQUEST Request);
NTSTATUS ZelkoHandleIoctlWriteDisk(PCONTROL_REQUEST Request);

// ControlLun.cpp: extra LUNs.
NTSTATUS ControlCreateLun(PCONTROL_REQUEST Request);
NTSTATUS ControlRemoveLun(PCONTROL_REQUEST Request);

// ControlStatus.cpp: read-only reports.
NTSTATUS ControlGetStatus(PCONTROL_REQUEST Request);
NTSTATUS ControlGetDiskInfo(PCONTROL_REQUEST Request);
NTSTATUS ControlIsReady(PCONTROL_REQUEST Request);
NTSTATUS ControlGetDiagnostics(PCONTROL_REQUEST Request);

// The started adapter (not yet being torn down), or NULL; and LUN 0 of it with a reference that
// the caller drops with LunDereference, or NULL (ControlDevice.cpp). Also used by the control
// device's read and write handlers, which do not go through the request table.
AdapterExt* ControlStartedAdapter(VOID);
// Completes a control-device request; a failure returns no bytes.
NTSTATUS ControlComplete(PIRP Irp, NTSTATUS status, ULONG_PTR information);
LuExt* ControlReferenceLun0(AdapterExt* Adapter);

// The wrappers route only the control device's requests here; a request for any other device
// goes back to the port driver's own routine.
FORCEINLINE BOOLEAN ControlIsControlDevice(PDEVICE_OBJECT DeviceObject) {
    return DeviceObject != NULL &&
           DeviceObject == (PDEVICE_OBJECT)InterlockedCompareExchangePointer((PVOID volatile*)&ControlDevice, NULL, NULL);
}

// Copies a UTF-16 field of `units` units from a request record into a driver buffer of
// `units` units: up to the first NUL, at most units - 1 characters, always terminated. The
// record comes from user mode and need not be terminated.
FORCEINLINE VOID ControlCopyText(WCHAR* Destination, const WCHAR* Source, ULONG Units) {
    ULONG i = 0;
    for (; i + 1 < Units && Source[i] != 0; i++) Destination[i] = Source[i];
    Destination[i] = 0;
}
