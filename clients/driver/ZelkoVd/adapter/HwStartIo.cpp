// The port's per-request callbacks: HwStorBuildIo resolves the LUN (and answers what needs no
// LUN), HwStorStartIo hands execute-SCSI requests to the command layer. Both run at
// DISPATCH_LEVEL under the port's synchronisation and never block. Every request completed here
// goes through ZvCompleteSrb, so request-complete is always followed by next-request.
#include "ScsiCdb.h"

VOID ZvCompleteSrb(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR SrbStatus, UCHAR ScsiStatus,
                   ULONG Length) {
    Srb->SrbStatus = SrbStatus;
    Srb->ScsiStatus = ScsiStatus;
    Srb->DataTransferLength = Length;
    StorPortNotification(RequestComplete, Adapter, Srb);
    StorPortNotification(NextRequest, Adapter);
}

VOID ZvCompleteCheckCondition(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR SrbStatus,
                              UCHAR SenseKey, UCHAR Asc, UCHAR Ascq) {
    SetSense(Srb, SenseKey, Asc, Ascq);
    ZvCompleteSrb(Adapter, Srb, SrbStatus, SCSISTAT_CHECK_CONDITION, 0);
}

VOID ZvNotifyBusChange(AdapterExt* Adapter) {
    if (Adapter != NULL) StorPortNotification(BusChangeDetected, Adapter, (UCHAR)0);
}

BOOLEAN HwStorBuildIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    InterlockedIncrement(&adapter->diag.buildIoCalls);
    if (Srb->Function != SRB_FUNCTION_EXECUTE_SCSI) return TRUE;

    UCHAR op = Srb->Cdb[0];
    InterlockedIncrement(&adapter->diag.opcodeCounts[op]);
    InterlockedExchange(&adapter->diag.lastOpcode, op);

    if (Srb->Lun >= ZV_MAX_LUNS) {
        ZvCompleteSrb(adapter, Srb, SRB_STATUS_INVALID_LUN, SCSISTAT_GOOD, 0);
        return FALSE;
    }

    LuExt* lu = GetLun(adapter, Srb->PathId, Srb->TargetId, Srb->Lun);
    SrbExt* ext = (SrbExt*)Srb->SrbExtension;
    if (lu != NULL) {
        if (ext != NULL) ext->lun = lu;
        return TRUE;
    }
    if (ext != NULL) ext->lun = NULL;

    switch (op) {
    case SCSIOP_INQUIRY:
        ScsiInquiryNoDevice(adapter, Srb);
        return FALSE;
    case SCSIOP_REPORT_LUNS:
        return TRUE;
    default:
        ZvCompleteSrb(adapter, Srb, SRB_STATUS_INVALID_LUN, SCSISTAT_GOOD, 0);
        return FALSE;
    }
}

static VOID HwStartIoDispatch(AdapterExt* adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* lu);

BOOLEAN HwStorStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    InterlockedIncrement(&adapter->diag.startIoCalls);

    // The LUN that HwStorBuildIo stored may have been removed since; the referenced lookup both
    // re-checks it and keeps the record allocated while this request uses it (a request queued
    // or held takes a reference of its own).
    LuExt* lu = Srb->Lun < ZV_MAX_LUNS ? LunReference(adapter, Srb->Lun) : NULL;
    SrbExt* ext = (SrbExt*)Srb->SrbExtension;
    if (ext != NULL) ext->lun = lu;
    HwStartIoDispatch(adapter, Srb, lu);
    if (lu != NULL) LunDereference(lu);
    return TRUE;
}

static VOID HwStartIoDispatch(AdapterExt* adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* lu) {
    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI: {
        UCHAR op = Srb->Cdb[0];
        if (lu == NULL && op != SCSIOP_INQUIRY && op != SCSIOP_REPORT_LUNS) {
            ZvCompleteSrb(adapter, Srb, SRB_STATUS_UNEXPECTED_BUS_FREE, SCSISTAT_GOOD, 0);
            return;
        }
        if (!ExecuteScsi(adapter, Srb, lu)) {
            // Queued to a worker or held: let the port keep sending commands meanwhile.
            StorPortNotification(NextRequest, adapter);
        }
        return;
    }
    case SRB_FUNCTION_IO_CONTROL:
        ZvCompleteSrb(adapter, Srb, SRB_STATUS_INVALID_REQUEST, SCSISTAT_GOOD, 0);
        return;
    case SRB_FUNCTION_SHUTDOWN:
    case SRB_FUNCTION_FLUSH:
        // Windows sends these before power-off and when it wants the disk's volatile cache on
        // stable storage: a network LUN with its block cache writes back through the worker.
        if (lu != NULL && !lu->fileBacked && lu->writeCacheEnabled) {
            if (QueueIoWorker(adapter, Srb, lu, 0, 0, NULL, FALSE, FALSE, NULL, ZV_BOUNCE_POOL))
                StorPortNotification(NextRequest, adapter);
            return;
        }
        ZvCompleteSrb(adapter, Srb, SRB_STATUS_SUCCESS, SCSISTAT_GOOD, Srb->DataTransferLength);
        return;
    default:
        ZvCompleteSrb(adapter, Srb, SRB_STATUS_SUCCESS, SCSISTAT_GOOD, Srb->DataTransferLength);
        return;
    }
}
