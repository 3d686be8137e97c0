// The host kernel's request packets and MDLs, which the socket layer stands on: completion runs
// up the stack and stops at STATUS_MORE_PROCESSING_REQUIRED, IoCancelIrp calls the cancel
// routine, and the mistakes that corrupt memory on Windows stop the host at once.
#include <gtest/gtest.h>
#include <hostkernel_test.h>
#include <ntddk.h>

#include <vector>

namespace {

struct Trace {
    std::vector<int> order;
    PDEVICE_OBJECT seenDevice = reinterpret_cast<PDEVICE_OBJECT>(1);
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI Upper(PDEVICE_OBJECT dev, PIRP irp, PVOID ctx) {
    auto* t = static_cast<Trace*>(ctx);
    t->order.push_back(2);
    t->seenDevice = dev;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI Middle(PDEVICE_OBJECT dev, PIRP irp, PVOID ctx) {
    static_cast<Trace*>(ctx)->order.push_back(1);
    return STATUS_SUCCESS;
}

Trace* g_lowerTrace;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT dev, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, dev);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    irp->IoStatus.Status = g_lowerTrace->answer;
    irp->IoStatus.Information = 42;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_lowerTrace->answer;
}

TEST(HostIo, CompletionRunsUpTheStackAndStopsAtMoreProcessingRequired) {
    DRIVER_OBJECT drv{};
    drv.MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDispatch;
    PDEVICE_OBJECT dev = nullptr;
    ASSERT_EQ(IoCreateDevice(&drv, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev), STATUS_SUCCESS);
    Trace t;
    g_lowerTrace = &t;

    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(2));
    IoSetCompletionRoutine(irp, Upper, &t, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);  // our own level
    IoSetCompletionRoutine(irp, Middle, &t, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
    EXPECT_EQ(t.order, (std::vector<int>{1, 2}));
    EXPECT_EQ(t.seenDevice, nullptr) << "the top routine of a driver-allocated packet sees no device";
    EXPECT_EQ(irp->IoStatus.Information, 42u);

    // Routines registered for success only are skipped on failure.
    IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
    t.order.clear();
    t.answer = STATUS_IO_DEVICE_ERROR;
    IoSetCompletionRoutine(irp, Upper, &t, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, Middle, &t, TRUE, FALSE, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(IoCallDriver(dev, irp), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(t.order, (std::vector<int>{2}));
    IoFreeIrp(irp);
    IoDeleteDevice(dev);
    EXPECT_EQ(drv.DeviceObject, nullptr);
}

struct CancelProbe {
    bool called = false;
    KIRQL irqlInRoutine = 0;
};
CancelProbe g_cancel;

VOID NTAPI CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    g_cancel.called = true;
    g_cancel.irqlInRoutine = KeGetCurrentIrql();
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

TEST(HostIo, CancelCallsTheCancelRoutineOnce) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine: nothing to call";
    EXPECT_TRUE(irp->Cancel);
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoSetCancelRoutine(irp, CancelRoutine);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_TRUE(g_cancel.called);
    EXPECT_EQ(g_cancel.irqlInRoutine, DISPATCH_LEVEL) << "called with the cancel spin lock held";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    g_cancel.called = false;
    EXPECT_FALSE(IoCancelIrp(irp)) << "the routine was taken by the first cancel";
    EXPECT_FALSE(g_cancel.called);
    IoFreeIrp(irp);
}

TEST(HostIo, MdlLockMapAndChains) {
    std::vector<uint8_t> buf(10000);
    PMDL a = IoAllocateMdl(buf.data() + 100, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(a), 5000u);
    EXPECT_EQ(MmGetMdlVirtualAddress(a), buf.data() + 100);
    MmProbeAndLockPages(a, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(a, NormalPagePriority), buf.data() + 100);
    MmUnlockPages(a);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL b = IoAllocateMdl(buf.data(), 10, FALSE, FALSE, irp);
    PMDL c = IoAllocateMdl(buf.data() + 10, 10, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, b);
    EXPECT_EQ(b->Next, c) << "a secondary buffer is chained behind the first";
    MmBuildMdlForNonPagedPool(c);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(c, NormalPagePriority), buf.data() + 10);
    EXPECT_EQ(HkIoOutstandingMdls(), 3);
    IoFreeMdl(a);
    IoFreeMdl(b);
    IoFreeMdl(c);
    IoFreeIrp(irp);
    EXPECT_EQ(HkIoOutstandingMdls(), 0);
}

TEST(HostIoDeathTest, MistakesStopTheHost) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "reached the top of its stack");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetCompletionRoutine(irp, Upper, new Trace, TRUE, TRUE, TRUE);
            IoSetNextIrpStackLocation(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "completed twice");
    EXPECT_DEATH(
        {
            uint8_t b[16];
            PMDL m = IoAllocateMdl(b, 16, FALSE, FALSE, nullptr);
            MmProbeAndLockPages(m, KernelMode, IoReadAccess);
            IoFreeMdl(m);
        },
        "pages are locked");
    EXPECT_DEATH(
        {
            uint8_t b[16];
            PMDL m = IoAllocateMdl(b, 16, FALSE, FALSE, nullptr);
            (void)MmGetSystemAddressForMdlSafe(m, NormalPagePriority);
        },
        "neither locked nor built");
    EXPECT_DEATH(
        {
            uint8_t mem[IoSizeOfIrp(1)];
            IoInitializeIrp(reinterpret_cast<PIRP>(mem), sizeof(mem), 1);
            IoFreeIrp(reinterpret_cast<PIRP>(mem));
        },
        "not allocated by IoAllocateIrp");
}

}  // namespace
