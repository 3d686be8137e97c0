// The control device's device-control dispatch: one table row per request code, validated in
// one place, then one handler per code.
//
// Every request is completed synchronously on the caller's thread at PASSIVE_LEVEL; the caller
// owns its buffers and the I/O manager copies the system buffer back after completion.
#include "ControlInternal.h"

namespace {

// What a request does with LUN 0. A request that uses it holds a reference on the record for
// its whole run, so that a REMOVE_LUN of LUN 0 or the adapter's teardown in another thread waits
// for it instead of freeing the record under it.
enum CONTROL_LUN0 : UCHAR {
    Lun0Unused,     // works on the adapter or on other LUNs (and may remove LUN 0 itself)
    Lun0Optional,   // uses LUN 0 when there is one
    Lun0Required,   // STATUS_DEVICE_NOT_READY without LUN 0
};

struct CONTROL_ENTRY {
    ULONG code;
    CONTROL_LUN0 lun0;
    ULONG minInput;
    ULONG minOutput;
    PCONTROL_HANDLER handler;
};

// Mirrors the request table that the client program is written against (ZelkoControl.h).
// Minimums that depend on the record's contents (WRITE_DISK's data, READ_LOCAL's output) are
// checked by the handler, which knows the length.
const CONTROL_ENTRY g_ControlTable[] = {
    {IOCTL_ZELKO_CONNECT, Lun0Required, 0, 0, ControlConnect},
    {IOCTL_ZELKO_DISCONNECT, Lun0Optional, 0, 0, ControlDisconnect},
    {IOCTL_ZELKO_HANDSHAKE, Lun0Required, 0, 0, ControlHandshake},
    {IOCTL_ZELKO_SET_CONFIG, Lun0Required, sizeof(zc::SetConfigRecord), 0, ControlSetConfig},
    {IOCTL_ZELKO_GET_STATUS, Lun0Required, 0, sizeof(zc::StatusRecord), ControlGetStatus},
    {IOCTL_ZELKO_FLUSH, Lun0Required, 0, 0, ControlFlush},
    {IOCTL_ZELKO_GET_DISK_INFO, Lun0Required, 0, sizeof(zc::DiskInfoRecord), ControlGetDiskInfo},
    {IOCTL_ZELKO_EXIT_SUPER_USER, Lun0Required, sizeof(zc::ExitSuperUserRequest), sizeof(zc::ExitSuperUserRecord),
     ControlExitSuperUser},
    {IOCTL_ZELKO_IS_READY, Lun0Required, 0, 0, ControlIsReady},
    {IOCTL_ZELKO_RECONNECT, Lun0Required, sizeof(zc::ReconnectRecord), 0, ControlReconnect},
    {IOCTL_ZELKO_MIGRATION_STATUS, Lun0Required, sizeof(zc::MigrationStatusRequest), sizeof(zc::MigrationStatusReply),
     ControlMigrationStatus},
    {IOCTL_ZELKO_CACHE_PURGE, Lun0Required, sizeof(zc::CachePurgeRecord), 0, ControlCachePurge},
    {IOCTL_ZELKO_PING, Lun0Required, 0, sizeof(zc::PingRecord), ControlPing},
    {IOCTL_ZELKO_READ_LOCAL, Lun0Unused, sizeof(zc::ReadLocalRecord), sizeof(zc::ReadLocalReply), ControlReadLocal},
    {IOCTL_ZELKO_WRITE_DISK, Lun0Required, 0, 0, ControlWriteDisk},
    {IOCTL_ZELKO_CREATE_LUN, Lun0Unused, sizeof(zc::CreateLunRecord), sizeof(zc::CreateLunResult), ControlCreateLun},
    {IOCTL_ZELKO_REMOVE_LUN, Lun0Unused, sizeof(zc::RemoveLunRecord), 0, ControlRemoveLun},
    {IOCTL_ZELKO_GET_DIAGNOSTICS, Lun0Unused, 0, sizeof(zc::DiagnosticsRecord), ControlGetDiagnostics},
};

const CONTROL_ENTRY* ControlFind(ULONG code) {
    for (ULONG i = 0; i < ARRAYSIZE(g_ControlTable); i++)
        if (g_ControlTable[i].code == code) return &g_ControlTable[i];
    return NULL;
}

// A LUN-table slot that claims a LUN but holds no record can only come from a creation that
// was torn down halfway; give the slot a real boot LUN again rather than leaving LUN 0 dead.
VOID ControlRepairLun0Slot(AdapterExt* adapter) {
    KIRQL irql;
    BOOLEAN orphan = FALSE;
    KeAcquireSpinLock(&adapter->lunTableLock, &irql);
    if (adapter->lunTable[0].present && adapter->lunTable[0].luExt == NULL) {
        adapter->lunTable[0].present = 0;
        adapter->lunTable[0].present2 = 0;
        adapter->lunTable[0].lunId = 0;
        orphan = TRUE;
    }
    KeReleaseSpinLock(&adapter->lunTableLock, irql);
    if (!orphan) return;
    LuExt* lu = NULL;
    (VOID)CreateLun(adapter, 0, NULL, &lu);
}

}  // namespace

NTSTATUS ControlComplete(PIRP Irp, NTSTATUS status, ULONG_PTR information) {
    Irp->IoStatus.Status = status;
    // A failed request returns nothing: the system buffer may hold half an answer.
    Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

AdapterExt* ControlStartedAdapter(VOID) {
    AdapterExt* adapter = (AdapterExt*)InterlockedCompareExchangePointer((PVOID volatile*)&g_AdapterExt, NULL, NULL);
    // Once the adapter is being torn down its LUNs are going away under us.
    if (adapter == NULL || adapter->unloading) return NULL;
    return adapter;
}

LuExt* ControlReferenceLun0(AdapterExt* Adapter) {
    if (Adapter == NULL) return NULL;
    return LunReference(Adapter, 0);
}

NTSTATUS ZelkoDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!ControlIsControlDevice(DeviceObject))
        return ZvCallPortDispatch(IRP_MJ_DEVICE_CONTROL, DeviceObject, Irp);
    PAGED_CODE();

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    CONTROL_REQUEST req;
    RtlZeroMemory(&req, sizeof(req));
    req.Irp = Irp;
    req.Code = sp->Parameters.DeviceIoControl.IoControlCode;
    req.Buffer = Irp->AssociatedIrp.SystemBuffer;
    req.InputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
    req.OutputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;

    req.Adapter = ControlStartedAdapter();
    if (req.Adapter == NULL) {
        ZvLogPlain("[IOCTL] adapterExt=NULL, 返回 NOT_READY, code=0x%08X\n", req.Code);
        return ControlComplete(Irp, STATUS_DEVICE_NOT_READY, 0);
    }
    PZV_CONTROL_EXTENSION ext = (PZV_CONTROL_EXTENSION)DeviceObject->DeviceExtension;
    if (ext != NULL) InterlockedExchangePointer((PVOID volatile*)&ext->adapter, req.Adapter);
    ControlRepairLun0Slot(req.Adapter);

    const CONTROL_ENTRY* entry = ControlFind(req.Code);
    if (entry == NULL) {
        ZvLogPlain("[IOCTL] 未识别的 IOCTL code=0x%08X (deviceType=0x%X, function=0x%X, method=%d)\n", req.Code,
                   zc::ControlDeviceType(req.Code), zc::ControlFunction(req.Code), (int)zc::ControlMethod(req.Code));
        return ControlComplete(Irp, STATUS_NOT_IMPLEMENTED, 0);
    }
    if (entry->lun0 != Lun0Unused) req.Lun0 = ControlReferenceLun0(req.Adapter);
    if (entry->lun0 == Lun0Required && req.Lun0 == NULL) return ControlComplete(Irp, STATUS_DEVICE_NOT_READY, 0);
    NTSTATUS status;
    if (req.InputLength < entry->minInput || req.OutputLength < entry->minOutput ||
        (req.Buffer == NULL && (entry->minInput != 0 || entry->minOutput != 0)))
        status = STATUS_BUFFER_TOO_SMALL;
    else
        status = entry->handler(&req);
    if (req.Lun0 != NULL) LunDereference(req.Lun0);
    if (status == STATUS_PENDING) return status;
    return ControlComplete(Irp, status, req.Information);
}
