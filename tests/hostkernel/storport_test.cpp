// The port driver and the I/O manager against a small fake miniport: start order and IRQLs, the
// bus scan the disk class driver would make, SRBs completed later from work items, the verifier
// stops for misbehaving miniports, and device opens with buffered and direct I/O and SDDL.
#include "fake_miniport.h"

#include <hostkernel_test.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

class Port : public ::testing::Test {
protected:
    void SetUp() override {
        hk::test::ResetMachine();
        fake::Reset();
    }
    void Load() { ASSERT_EQ(HkDriverLoad(fake::DriverEntry, "Fake"), STATUS_SUCCESS); }
    void UnloadClean() {
        HkUnloadReport r = HkDriverUnload();
        std::string all;
        for (auto& l : r.leaks) all += l + "\n";
        EXPECT_TRUE(r.leaks.empty()) << all;
    }
};

HkScsiRequest Cmd(UCHAR lun, std::vector<uint8_t> cdb, uint32_t in = 0) {
    HkScsiRequest r;
    r.lun = lun;
    r.cdb = std::move(cdb);
    r.dataInLength = in;
    return r;
}

TEST_F(Port, StartsAndStopsInStorportOrderAtItsIrqls) {
    Load();
    std::vector<std::string> start = fake::EventNames();
    std::vector<std::string> expected = {"DriverEntry@0", "FindAdapter@0", "QuerySupportedControlTypes@0",
                                         "HwInitialize@2"};
    EXPECT_EQ(start, expected);
    EXPECT_EQ(fake::S().busTypeStatus, (ULONG)STOR_STATUS_SUCCESS);
    EXPECT_EQ(fake::S().lateBusTypeStatus, (ULONG)STOR_STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(HkPortStats().busType, (ULONG)BusTypeVirtual);
    EXPECT_EQ(HkBusScanCount(), 1u);   // the first scan is done when the load returns
    EXPECT_EQ(fake::S().maxStartIo.load(), 1);
    fake::Reset();
    UnloadClean();
    expected = {"StopAdapter@0", "FreeAdapterResources@0"};
    EXPECT_EQ(fake::EventNames(), expected);
}

TEST_F(Port, StopIsOnlySentWhenTheMiniportListedIt) {
    fake::S().reportStop = false;
    Load();
    fake::Reset();
    UnloadClean();
    std::vector<std::string> expected = {"FreeAdapterResources@0"};
    EXPECT_EQ(fake::EventNames(), expected);
}

TEST_F(Port, BusScanAsTheDiskClassDriverMakesIt) {
    Load();
    std::vector<HkLunView> view = HkBusView();
    ASSERT_EQ(view.size(), 2u);
    EXPECT_EQ(view[0].lun, 0);
    EXPECT_EQ(view[0].capacity, 2048u * 512);
    EXPECT_EQ(view[0].blockSize, 512u);
    EXPECT_FALSE(view[0].readCapacity16);
    ASSERT_EQ(view[0].inquiry.size(), 36u);
    EXPECT_EQ(std::string(view[0].inquiry.begin() + 8, view[0].inquiry.begin() + 12), "FAKE");
    ASSERT_EQ(view[0].vpd83.size(), 12u);
    EXPECT_EQ(view[0].vpd83[1], 0x83);
    // LUN 1 answers READ CAPACITY(10) with 0xFFFFFFFF: its size comes from READ CAPACITY(16).
    EXPECT_TRUE(view[1].readCapacity16);
    EXPECT_EQ(view[1].capacity, 0x100000000ull * 4096);
    EXPECT_EQ(view[1].blockSize, 4096u);

    // The scan's commands, in order: REPORT LUNS, then per LUN INQUIRY, VPD 0x83, READ CAPACITY.
    std::vector<uint8_t> ops;
    for (auto& c : fake::S().cdbs) ops.push_back(c[0]);
    std::vector<uint8_t> expected = {0xA0, 0x12, 0x12, 0x25, 0x12, 0x12, 0x25, 0x9E};
    EXPECT_EQ(ops, expected);
    UnloadClean();
}

TEST_F(Port, BusChangeRescansAndReportsTheNewView) {
    Load();
    std::atomic<int> calls{0};
    std::atomic<size_t> lastSize{0};
    HkSetBusScanCallback([&](const std::vector<HkLunView>& v) {
        calls++;
        lastSize = v.size();
    });
    fake::S().lunCount = 3;
    uint64_t before = HkBusScanCount();
    StorPortNotification(BusChangeDetected, HkStorDeviceExtension(), 0);
    ASSERT_TRUE(HkWaitForBusScan(before, 5000));
    EXPECT_EQ(HkBusView().size(), 3u);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(lastSize.load(), 3u);
    EXPECT_EQ(HkPortStats().busChanges, 1u);
    UnloadClean();
}

TEST_F(Port, RequestsCompleteLaterFromWorkItems) {
    Load();
    std::vector<uint64_t> tickets;
    for (uint32_t lba = 0; lba < 8; lba++) tickets.push_back(HkScsiSubmit(Cmd(0, fake::Read10(lba, 2), 1024)));
    for (uint32_t lba = 0; lba < 8; lba++) {
        HkScsiResult r;
        ASSERT_TRUE(HkScsiWait(tickets[lba], 5000, &r));
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(r.transferred, 1024u);
        ASSERT_EQ(r.data.size(), 1024u);
        EXPECT_EQ(r.data[0], (uint8_t)lba);
        EXPECT_EQ(r.data[600], (uint8_t)(lba + 1));
    }
    // A refused command carries its sense data back.
    HkScsiResult bad = HkScsiExecute(Cmd(0, {0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 16));
    EXPECT_EQ(bad.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(bad.scsiStatus, SCSISTAT_CHECK_CONDITION);
    ASSERT_EQ(bad.sense.size(), 18u);
    EXPECT_EQ(bad.sense[2], 0x05);
    EXPECT_EQ(bad.sense[12], 0x20);
    // BuildIo may complete a request itself and keep it from StartIo.
    uint64_t startIo = HkPortStats().startIo;
    EXPECT_EQ(HkScsiExecute(Cmd(16, {0, 0, 0, 0, 0, 0})).srbStatus, SRB_STATUS_INVALID_LUN);
    EXPECT_EQ(HkPortStats().startIo, startIo);
    EXPECT_TRUE(HkBusReset());
    UnloadClean();
}

TEST_F(Port, DataInLandsInTheCallersBufferWhenItGivesOne) {
    Load();
    std::vector<uint8_t> buffer(1024, 0xEE);
    HkScsiRequest rq = Cmd(0, fake::Read10(5, 2), 1024);
    rq.dataInBuffer = buffer.data();
    HkScsiResult r = HkScsiExecute(rq);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.transferred, 1024u);
    EXPECT_TRUE(r.data.empty());   // nothing copied: the caller has the bytes
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[600], 6);
    // Waits for many tickets at once each get their own request back.
    std::vector<std::vector<uint8_t>> buffers(16, std::vector<uint8_t>(1024));
    std::vector<std::thread> waiters;
    std::atomic<int> right{0};
    for (uint32_t i = 0; i < buffers.size(); i++)
        waiters.emplace_back([&, i] {
            HkScsiRequest one = Cmd(0, fake::Read10(i, 2), 1024);
            one.dataInBuffer = buffers[i].data();
            HkScsiResult res = HkScsiExecute(one);
            if (res.srbStatus == SRB_STATUS_SUCCESS && buffers[i][0] == (uint8_t)i && buffers[i][600] == (uint8_t)(i + 1))
                right++;
        });
    for (auto& t : waiters) t.join();
    EXPECT_EQ(right.load(), 16);
    UnloadClean();
}

TEST_F(Port, HeldRequestsCanBeAbandonedOnlyWhenAllowed) {
    fake::S().holdReads = true;
    Load();
    uint64_t t = HkScsiSubmit(Cmd(0, fake::Read10(0, 1), 512));
    HkScsiResult r;
    EXPECT_FALSE(HkScsiWait(t, 50, &r));
    EXPECT_EQ(HkPortStats().outstandingSrbs, 1u);
    HkUnloadReport rep = HkDriverUnload(true);
    ASSERT_FALSE(rep.leaks.empty());
    EXPECT_EQ(rep.leaks[0], "1 SRB(s) outstanding");
}

using PortDeathTest = Port;

TEST_F(PortDeathTest, SrbCompletedTwiceIsFatal) {
    EXPECT_DEATH(
        {
            fake::S().doubleComplete = true;
            Load();
            HkScsiExecute(Cmd(0, fake::Read10(0, 1), 512));
            hk::test::DrainWorkItems();
        },
        "\\*\\*\\* hostkernel: SRB .* completed twice");
}

TEST_F(PortDeathTest, SrbOutstandingAtUnloadIsFatal) {
    EXPECT_DEATH(
        {
            fake::S().holdReads = true;
            Load();
            HkScsiSubmit(Cmd(0, fake::Read10(0, 1), 512));
            HkDriverUnload();
        },
        "1 SRB\\(s\\) still outstanding after HwFreeAdapterResources");
}

TEST_F(PortDeathTest, CompletionAboveDispatchIsFatal) {
    EXPECT_DEATH(
        {
            fake::S().completeAtHighIrql = true;
            Load();
            HkScsiExecute(Cmd(0, fake::Read10(0, 1), 512));
        },
        "StorPortNotification\\(0\\) at IRQL 15");
}

TEST_F(PortDeathTest, WritingAnSrbExtensionAfterCompletionIsCaught) {
    EXPECT_DEATH(
        {
            fake::S().writeAfterComplete = true;
            Load();
            HkScsiExecute(Cmd(0, fake::Read10(0, 1), 512));
            hk::test::DrainWorkItems();
            HkDriverUnload();
        },
        "SrbExtension .* was written after the SRB's completion");
}

// ---------------------------------------------------------------------------------------------
// Device opens

TEST_F(Port, SddlKeepsPlainUsersOut) {
    Load();
    HkFile* f = nullptr;
    EXPECT_EQ(HkOpenDevice("\\\\.\\FakeCtl", HkCaller::User, &f), STATUS_ACCESS_DENIED);
    EXPECT_EQ(f, nullptr);
    for (HkCaller c : {HkCaller::Admin, HkCaller::System}) {
        ASSERT_EQ(HkOpenDevice("\\\\.\\FakeCtl", c, &f), STATUS_SUCCESS);
        EXPECT_EQ(HkCloseFile(f), STATUS_SUCCESS);
    }
    // The same device under its other names; unknown names are not found.
    ASSERT_EQ(HkOpenDevice("\\Device\\FakeCtl", HkCaller::Admin, &f), STATUS_SUCCESS);
    HkCloseFile(f);
    ASSERT_EQ(HkOpenDevice("\\GLOBAL??\\fakectl", HkCaller::Admin, &f), STATUS_SUCCESS);
    HkCloseFile(f);
    EXPECT_EQ(HkOpenDevice("\\\\.\\NoSuch", HkCaller::Admin, &f), STATUS_OBJECT_NAME_NOT_FOUND);
    UnloadClean();
}

TEST_F(Port, BufferedIoctlCopiesInputAndOnlyTheReportedOutput) {
    Load();
    HkFile* f = nullptr;
    ASSERT_EQ(HkOpenDevice("\\\\.\\FakeCtl", HkCaller::Admin, &f), STATUS_SUCCESS);
    // One system buffer for both directions: the driver reverses the input in place.
    HkIoResult r = HkDeviceIoControl(f, fake::kIoctlEcho, {1, 2, 3, 4, 5, 6}, 4);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 4u);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{6, 5, 4, 3}));
    r = HkDeviceIoControl(f, fake::kIoctlEcho, {1, 2}, 16);
    EXPECT_EQ(r.information, 2u);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{2, 1}));
    // An error status returns no output bytes, whatever Information says.
    r = HkDeviceIoControl(f, fake::kIoctlFail, {}, 8);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(r.data.empty());
    // A request the driver pends and completes from a work item is waited for.
    EXPECT_EQ(HkDeviceIoControl(f, fake::kIoctlPending, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(fake::S().ioctlPreviousMode, UserMode);
    EXPECT_EQ(ExGetPreviousMode(), KernelMode);
    HkCloseFile(f);
    UnloadClean();
}

TEST_F(Port, DirectReadsDescribeTheCallersBufferWithAnMdl) {
    Load();
    HkFile* f = nullptr;
    ASSERT_EQ(HkOpenDevice("\\\\.\\FakeCtl", HkCaller::System, &f), STATUS_SUCCESS);
    HkIoResult r = HkReadFile(f, 0x1000, 300);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 300u);
    EXPECT_TRUE(fake::S().lastReadHadMdl);
    EXPECT_EQ(fake::S().lastReadMdlBytes, 300u);
    EXPECT_EQ(fake::S().lastReadOffset, 0x1000);
    ASSERT_EQ(r.data.size(), 300u);
    EXPECT_EQ(r.data[5], (uint8_t)(0x1000 + 5));
    // An empty transfer carries no buffer description.
    r = HkReadFile(f, 0, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(fake::S().lastReadHadMdl);
    EXPECT_EQ(HkWriteFile(f, 512, std::vector<uint8_t>(64, 7)).information, 64u);
    HkCloseFile(f);
    EXPECT_EQ(HkIoOutstandingMdls(), 0);
    UnloadClean();
}

TEST_F(Port, PortEntriesServeTheAdapterDevice) {
    Load();
    HkFile* f = nullptr;
    ASSERT_EQ(HkOpenDevice("\\Device\\RaidPort0", HkCaller::Admin, &f), STATUS_SUCCESS);
    EXPECT_EQ(HkDeviceIoControl(f, fake::kIoctlEcho, {1}, 1).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HkReadFile(f, 0, 512).status, STATUS_INVALID_DEVICE_REQUEST);
    HkCloseFile(f);
    UnloadClean();
}

TEST_F(Port, LeaksAreReportedAtUnload) {
    Load();
    HkFile* f = nullptr;
    ASSERT_EQ(HkOpenDevice("\\\\.\\FakeCtl", HkCaller::Admin, &f), STATUS_SUCCESS);
    PVOID leak = ExAllocatePoolWithTag(NonPagedPoolNx, 40, fake::kTag);
    ASSERT_NE(leak, nullptr);
    HkUnloadReport r = HkDriverUnload();
    std::string all;
    for (auto& l : r.leaks) all += l + "\n";
    EXPECT_NE(all.find("'Fake': 1 block(s), 40 bytes"), std::string::npos) << all;
    EXPECT_NE(all.find("1 file object(s) not closed"), std::string::npos) << all;
    HkCloseFile(f);   // the device outlived its deletion until this close
    ExFreePoolWithTag(leak, fake::kTag);
}

TEST_F(PortDeathTest, DispatchStatusMustMatchTheCompletion) {
    EXPECT_DEATH(
        {
            Load();
            HkFile* f = nullptr;
            HkOpenDevice("\\\\.\\FakeCtl", HkCaller::Admin, &f);
            HkDeviceIoControl(f, fake::kIoctlMismatch, {}, 0);
        },
        "returned 0xC0000001 but completed the IRP with 0x00000000");
    EXPECT_DEATH(
        {
            Load();
            HkFile* f = nullptr;
            HkOpenDevice("\\\\.\\FakeCtl", HkCaller::Admin, &f);
            HkDeviceIoControl(f, fake::kIoctlOverreport, {}, 4);
        },
        "completed with Information 5, more than the 4-byte output buffer");
}

// ---------------------------------------------------------------------------------------------
// Smaller services the driver uses

TEST(HostServices, KernelObjectNamesMapToHostFiles) {
    hk::test::ResetMachine();
    char path[] = "/tmp/hk_object_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "MBR!", 4), 4);
    close(fd);
    hk::test::MapObject("\\??\\PhysicalDrive0", path, true);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\physicaldrive0");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwCreateFile(&h, FILE_READ_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    char buf[8] = {0};
    LARGE_INTEGER off;
    off.QuadPart = 0;
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, 8, &off, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(buf), "MBR!");
    ZwClose(h);
    // Read-only mappings refuse writers; unmapped names are not found.
    EXPECT_EQ(ZwCreateFile(&h, FILE_WRITE_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_MEDIA_WRITE_PROTECTED);
    RtlInitUnicodeString(&name, L"\\??\\PhysicalDrive1");
    EXPECT_NE(ZwCreateFile(&h, FILE_READ_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_SUCCESS);
    unlink(path);
}

TEST(HostServices, SystemRoutinesAndTheSystemRange) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"KeGetPreviousMode");
    auto fn = (KPROCESSOR_MODE(NTAPI*)(VOID))MmGetSystemRoutineAddress(&name);
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), KernelMode);
    RtlInitUnicodeString(&name, L"NoSuchRoutine");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, fake::kTag);
    EXPECT_GE((ULONG_PTR)p, (ULONG_PTR)MM_SYSTEM_RANGE_START);
    EXPECT_LT((ULONG_PTR)0x1234, (ULONG_PTR)MM_SYSTEM_RANGE_START);
    ExFreePoolWithTag(p, fake::kTag);
}

}  // namespace
