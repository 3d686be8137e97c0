// Request packets, stack locations, completion and cancellation; device objects; MDLs.
//
// The rules checked here are the ones whose violation corrupts memory on Windows (and is caught
// there by Driver Verifier at best): completing a packet twice, freeing one that was not made
// by IoAllocateIrp, reusing one that still has a cancel routine, freeing an MDL whose pages are
// locked, mapping an MDL that was never locked.
#include <hk_io.h>

#include "hk_internal.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

constexpr ULONG kIrpTag = 0x70724948;  // 'prIH': "HIrp" in a pool dump
constexpr ULONG kMdlTag = 0x6C644D48;  // 'ldMH': "HMdl"

[[noreturn]] void IoFatal(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("hostkernel: FATAL (I/O): ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::fflush(stderr);
    std::abort();
}

struct Tracking {
    std::mutex lock;
    std::unordered_set<const void*> irps;  // packets from IoAllocateIrp
    std::unordered_set<const void*> mdls;  // MDLs from IoAllocateMdl
    std::unordered_set<PDEVICE_OBJECT> devices;
};

Tracking& Track() {
    static Tracking t;
    return t;
}

KSPIN_LOCK g_cancelLock;

void CheckIrql(KIRQL max, const char* what) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > max) IoFatal("%s called at IRQL %u (maximum %u)", what, irql, max);
}

void CheckIrp(PIRP Irp, const char* what) {
    if (Irp == nullptr) IoFatal("%s: NULL IRP", what);
    if (Irp->Type != IO_TYPE_IRP) IoFatal("%s: %p is not an IRP (freed or never initialised)", what, Irp);
}

PIO_STACK_LOCATION StackBase(PIRP Irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<PUCHAR>(Irp) + sizeof(IRP));
}

}  // namespace

static_assert(sizeof(IO_STACK_LOCATION) == 0x48, "IO_STACK_LOCATION is 0x48 bytes on x64");
static_assert(sizeof(IRP) == 0xD0, "IRP is 0xD0 bytes on x64");
static_assert(IoSizeOfIrp(1) == 280, "a one-location packet is 280 bytes");
static_assert(sizeof(MDL) == 0x30, "MDL header is 0x30 bytes on x64");
static_assert(offsetof(IRP, IoStatus) == 0x30, "IRP.IoStatus");
static_assert(offsetof(IRP, CancelRoutine) == 0x68, "IRP.CancelRoutine");
static_assert(offsetof(IRP, Tail) == 0x78, "IRP.Tail");

extern "C" {

// ---------------------------------------------------------------------------------------------
// IRPs

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (StackSize < 1) IoFatal("IoInitializeIrp: stack size %d", (int)StackSize);
    if (PacketSize < IoSizeOfIrp(StackSize))
        IoFatal("IoInitializeIrp: packet of %u bytes is too small for %d stack locations",
                PacketSize, (int)StackSize);
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = StackBase(Irp) + StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    PIRP irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kIrpTag));
    if (irp == nullptr) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    std::lock_guard<std::mutex> g(Track().lock);
    Track().irps.insert(irp);
    return irp;
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    CheckIrp(Irp, "IoReuseIrp");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        IoFatal("IoReuseIrp: IRP %p still has a cancel routine (still owned by a driver?)", Irp);
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeIrp");
    CheckIrp(Irp, "IoFreeIrp");
    {
        std::lock_guard<std::mutex> g(Track().lock);
        if (Track().irps.erase(Irp) == 0)
            IoFatal("IoFreeIrp: IRP %p was not allocated by IoAllocateIrp (or freed twice)", Irp);
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        IoFatal("IoFreeIrp: IRP %p still has a cancel routine (a lower driver still owns it)", Irp);
    Irp->Type = 0;
    ExFreePoolWithTag(Irp, kIrpTag);
}

VOID NTAPI HkIoStackUnderflow(PIRP Irp) {
    IoFatal("IRP %p: no stack location left below the current one (StackCount %d)", Irp,
            (int)Irp->StackCount);
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoCallDriver");
    CheckIrp(Irp, "IoCallDriver");
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    PDRIVER_OBJECT drv = DeviceObject ? DeviceObject->DriverObject : nullptr;
    if (drv == nullptr || sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION ||
        drv->MajorFunction[sp->MajorFunction] == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return drv->MajorFunction[sp->MajorFunction](DeviceObject, Irp);
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    CheckIrql(DISPATCH_LEVEL, "IoCompleteRequest");
    CheckIrp(Irp, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount)
        IoFatal("IoCompleteRequest: IRP %p completed twice (no stack location is current)", Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        IoFatal("IoCompleteRequest: IRP %p completed with STATUS_PENDING", Irp);
    // IoCancelIrp may exchange the (already cleared) routine at this moment from another
    // thread, so the verifier's look at it must be atomic as well.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        IoFatal("IoCompleteRequest: IRP %p completed with its cancel routine still set", Irp);

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS st = Irp->IoStatus.Status;
        BOOLEAN invoke = sp->CompletionRoutine != nullptr &&
                         ((NT_SUCCESS(st) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                          (!NT_SUCCESS(st) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                          (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (sp->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID ctx = sp->Context;
        // Step up: the routine of this location belongs to the driver above, and it sees the
        // device object of its own level (none for a packet the driver allocated itself).
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                                 ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                 : nullptr;
        std::memset(sp, 0, sizeof(*sp));
        if (invoke) {
            NTSTATUS r = routine(dev, Irp, ctx);
            if (r == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    // Past the top: this is the I/O manager's part. Only packets that carry a user status block
    // or event were built for a requester who waits for them; a packet that a driver allocated
    // must be reclaimed by its completion routine.
    if (Irp->UserIosb == nullptr && Irp->UserEvent == nullptr)
        IoFatal("IoCompleteRequest: IRP %p reached the top of its stack; a driver-allocated IRP "
                "needs a completion routine that returns STATUS_MORE_PROCESSING_REQUIRED", Irp);
    if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
    PKEVENT ev = Irp->UserEvent;
    bool ours;
    {
        std::lock_guard<std::mutex> g(Track().lock);
        ours = Track().irps.count(Irp) != 0;
    }
    if (ours) IoFreeIrp(Irp);
    if (ev) KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelLock, Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoCancelIrp");
    CheckIrp(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read by the driver that owns the packet without the cancel lock (after it set its cancel
    // routine): a plain store on Windows, an atomic one here so that ThreadSanitizer agrees.
    __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                             ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                             : nullptr;
    // The cancel routine releases the cancel spin lock, as on Windows.
    routine(dev, Irp);
    return TRUE;
}

}  // extern "C"

namespace hk {

PDEVICE_OBJECT IoFindDevice(const std::u16string& name) {
    std::lock_guard<std::mutex> g(Track().lock);
    for (PDEVICE_OBJECT d : Track().devices) {
        std::u16string n((const char16_t*)d->HkName);
        if (n.size() > 0 && EqualNoCase(n, name)) return d;
    }
    return nullptr;
}

bool IoDeviceLive(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(Track().lock);
    return Track().devices.count(device) != 0;
}

void IoFreeDeletedDevice(PDEVICE_OBJECT device) {
    device->Type = 0;
    std::free(device);
}

}  // namespace hk

extern "C" {

LONG NTAPI HkIoOutstandingIrps(VOID) {
    std::lock_guard<std::mutex> g(Track().lock);
    return (LONG)Track().irps.size();
}

// ---------------------------------------------------------------------------------------------
// Device objects

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    CheckIrql(PASSIVE_LEVEL, "IoCreateDevice");
    if (DriverObject == nullptr || DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
    *DeviceObject = nullptr;
    WCHAR name[128] = {0};
    if (DeviceName && DeviceName->Buffer && DeviceName->Length) {
        USHORT n = DeviceName->Length / sizeof(WCHAR);
        if (n >= 128) return STATUS_OBJECT_NAME_INVALID;
        std::memcpy(name, DeviceName->Buffer, n * sizeof(WCHAR));
    }
    std::lock_guard<std::mutex> g(Track().lock);
    if (name[0]) {
        for (PDEVICE_OBJECT d : Track().devices)
            if (std::memcmp(d->HkName, name, sizeof(name)) == 0) return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t total = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    auto* dev = static_cast<PDEVICE_OBJECT>(std::calloc(1, total));
    if (dev == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = (USHORT)sizeof(DEVICE_OBJECT);
    dev->DriverObject = DriverObject;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->StackSize = 1;
    dev->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PUCHAR>(dev) + sizeof(DEVICE_OBJECT) : nullptr;
    std::memcpy(dev->HkName, name, sizeof(name));
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    Track().devices.insert(dev);
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    CheckIrql(PASSIVE_LEVEL, "IoDeleteDevice");
    std::unique_lock<std::mutex> g(Track().lock);
    if (Track().devices.erase(DeviceObject) == 0)
        IoFatal("IoDeleteDevice: %p is not a device object (deleted twice?)", DeviceObject);
    PDRIVER_OBJECT drv = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* p = &drv->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    g.unlock();
    // Open file objects keep the device alive until their last close, as on Windows.
    if (hk::IoDeviceDeleted(DeviceObject)) return;
    // So do work items: Windows holds a reference on the device for each queued item, so a
    // worker that is just returning may still be handed it. Such a device object is left
    // allocated rather than freed under the worker's feet.
    if (hk::WorkItemsPendingFor(DeviceObject) != 0) return;
    DeviceObject->Type = 0;
    std::free(DeviceObject);
}

// ---------------------------------------------------------------------------------------------
// MDLs

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    CheckIrql(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length == 0 || Length > 0xFFFFFFFFu - 2 * PAGE_SIZE) return nullptr;
    ULONG_PTR va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    ULONG offset = (ULONG)(va & (PAGE_SIZE - 1));
    ULONG pages = (ULONG)((offset + (ULONGLONG)Length + PAGE_SIZE - 1) / PAGE_SIZE);
    // The page-frame array does not exist in the host kernel; Size still reports what Windows
    // would have allocated so that code printing it sees familiar numbers.
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kMdlTag));
    if (mdl == nullptr) return nullptr;
    std::memset(mdl, 0, sizeof(MDL));
    mdl->Size = (CSHORT)(sizeof(MDL) + pages * sizeof(ULONG_PTR));
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl->ByteOffset = offset;
    mdl->ByteCount = Length;
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* p = &Irp->MdlAddress;
            while (*p) p = &(*p)->Next;
            *p = mdl;
        }
    }
    std::lock_guard<std::mutex> g(Track().lock);
    Track().mdls.insert(mdl);
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    CheckIrql(DISPATCH_LEVEL, "IoFreeMdl");
    {
        std::lock_guard<std::mutex> g(Track().lock);
        if (Track().mdls.erase(Mdl) == 0)
            IoFatal("IoFreeMdl: %p was not allocated by IoAllocateMdl (or freed twice)", Mdl);
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        IoFatal("IoFreeMdl: MDL %p freed while its pages are locked (MmUnlockPages missing)", Mdl);
    ExFreePoolWithTag(Mdl, kMdlTag);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl) {
    CheckIrql(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        IoFatal("MmBuildMdlForNonPagedPool: MDL %p is already locked or built", Mdl);
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    CheckIrql(DISPATCH_LEVEL, "MmProbeAndLockPages");
    if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))
        IoFatal("MmProbeAndLockPages: MDL %p is already locked or built for non-paged pool", Mdl);
    Mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) Mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID NTAPI MmUnlockPages(PMDL Mdl) {
    CheckIrql(DISPATCH_LEVEL, "MmUnlockPages");
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        IoFatal("MmUnlockPages: MDL %p is not locked", Mdl);
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
    Mdl->MappedSystemVa = nullptr;
}

PVOID NTAPI HkMdlSystemAddress(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
        IoFatal("MmGetSystemAddressForMdlSafe: MDL %p is neither locked nor built for non-paged pool", Mdl);
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
}

LONG NTAPI HkIoOutstandingMdls(VOID) {
    std::lock_guard<std::mutex> g(Track().lock);
    return (LONG)Track().mdls.size();
}

}  // extern "C"
