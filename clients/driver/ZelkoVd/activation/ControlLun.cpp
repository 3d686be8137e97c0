// Control requests that add and remove extra LUNs (slots 1 to 15): further disks on the disk
// server, or local image files. LUN 0, the boot disk, is the adapter's own and is never created
// here.
#include "ControlInternal.h"

namespace {

// The first free slot from 1 to 15, or ZV_MAX_LUNS when all are taken.
ULONG ControlFindFreeSlot(AdapterExt* adapter) {
    KIRQL irql;
    ULONG slot = ZV_MAX_LUNS;
    KeAcquireSpinLock(&adapter->lunTableLock, &irql);
    for (ULONG i = 1; i < ZV_MAX_LUNS; i++) {
        if (!adapter->lunTable[i].present) {
            slot = i;
            break;
        }
    }
    KeReleaseSpinLock(&adapter->lunTableLock, irql);
    return slot;
}

}  // namespace

NTSTATUS ControlCreateLun(PCONTROL_REQUEST Request) {
    AdapterExt* adapter = Request->Adapter;
    // CreateLun may open an image file: it cannot run under the table's spin lock, so the slot
    // is looked up first and CreateLun claims it under the lock. It reports a slot that another
    // request took in between as "already present" (a success code with no LUN); look again
    // then, so that two simultaneous requests both get a LUN of their own.
    // The system buffer is the kernel's own copy of the record, so it is terminated in place:
    // the caller need not have ended its paths and names. The answer overwrites it afterwards.
    CreateLunRecord* rec = (CreateLunRecord*)Request->Buffer;
    rec->serverIp[zc::kAddressChars - 1] = 0;
    rec->targetIqn[zc::kIqnChars - 1] = 0;
    rec->clientId[zc::kAddressChars - 1] = 0;
    rec->imagePath[zc::kImagePathChars - 1] = 0;

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    LuExt* lu = NULL;
    ULONG slot = ZV_MAX_LUNS;
    for (ULONG attempt = 0; attempt < ZV_MAX_LUNS && lu == NULL; attempt++) {
        slot = ControlFindFreeSlot(adapter);
        if (slot >= ZV_MAX_LUNS) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        status = CreateLun(adapter, slot, rec, &lu);
        if (!NT_SUCCESS(status)) break;
        if (lu == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status) || lu == NULL) return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;

    ZvNotifyBusChange(adapter);
    zc::CreateLunResult* out = (zc::CreateLunResult*)Request->Buffer;
    RtlZeroMemory(out, sizeof(*out));
    (VOID)RtlStringCbPrintfW(out->devicePath, sizeof(out->devicePath), ZELKO_LUN_DEVICE_PATH_FORMAT_W, slot);
    out->lunId = lu->lunId;
    out->diskSize = LuTargetSize(lu);
    out->sectorSize = lu->session.blockSize;
    Request->Information = sizeof(*out);
    return STATUS_SUCCESS;
}

NTSTATUS ControlRemoveLun(PCONTROL_REQUEST Request) {
    AdapterExt* adapter = Request->Adapter;
    ULONG lunId = ((const zc::RemoveLunRecord*)Request->Buffer)->lunId;
    ULONG slot = ZV_MAX_LUNS;
    KIRQL irql;
    KeAcquireSpinLock(&adapter->lunTableLock, &irql);
    for (ULONG i = 0; i < ZV_MAX_LUNS; i++) {
        if (adapter->lunTable[i].present && adapter->lunTable[i].lunId == lunId) {
            slot = i;
            break;
        }
    }
    KeReleaseSpinLock(&adapter->lunTableLock, irql);
    if (slot >= ZV_MAX_LUNS) return STATUS_NOT_FOUND;

    NTSTATUS status = DeleteLun(adapter, slot);
    if (NT_SUCCESS(status)) ZvNotifyBusChange(adapter);
    return status;
}
