// The commands the adapter answers at once, byte for byte, as Windows' disk class driver sees them.
#include "AdapterTestSupport.h"

using namespace adaptertest;

namespace {

using Bytes = std::vector<uint8_t>;

class ScsiCommandTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        Load();
    }
};

TEST_F(ScsiCommandTest, InquiryOfAnAbsentLunAnswersNoDeviceInFiveBytes) {
    HkScsiResult r = HkScsiExecute(In(Inquiry(96), 96, 5));
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.data, (Bytes{0x3F, 0, 0, 0, 0}));
    // Cut at a smaller allocation; every other command to the absent LUN is an invalid LUN.
    r = HkScsiExecute(In(Inquiry(3), 96, 5));
    EXPECT_EQ(r.data, (Bytes{0x3F, 0, 0}));
    r = HkScsiExecute(In(Cdb6(0x00), 0, 5));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_INVALID_LUN);
}

TEST_F(ScsiCommandTest, LunSixteenIsRefusedInBuildIo) {
    HkPortCounters before = HkPortStats();
    HkScsiResult r = HkScsiExecute(In(Inquiry(36), 36, 16));
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_INVALID_LUN);
    EXPECT_EQ(HkPortStats().startIo, before.startIo);
}

TEST_F(ScsiCommandTest, StandardInquiryIdentifiesTheDisk) {
    // Allocation length 0 is taken as 255; the answer stops at its 59 bytes.
    HkScsiResult r = HkScsiExecute(In(Inquiry(0), 255));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(r.data.size(), 59u);
    EXPECT_EQ(r.data[0], 0x00);
    EXPECT_EQ(r.data[2], 0x05);
    EXPECT_EQ(r.data[3], 0x02);
    EXPECT_EQ(r.data[4], 0x1F);
    EXPECT_EQ(r.data[7], 0x02);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 36), "ZelkoVd Virtual Disk    3.0 ");
    EXPECT_TRUE(std::all_of(r.data.begin() + 36, r.data.end(), [](uint8_t b) { return b == 0; }));

    r = HkScsiExecute(In(Inquiry(12), 255));
    EXPECT_EQ(r.transferred, 12u);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.end()), "Zelk");

    HkScsiRequest cmddt = In(Inquiry(36), 36);
    cmddt.cdb[1] = 0x02;
    r = HkScsiExecute(cmddt);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x24, 0}));
}

TEST_F(ScsiCommandTest, VpdPages) {
    HkScsiResult r = HkScsiExecute(In(Inquiry(255, true, 0x00), 255));
    EXPECT_EQ(r.data, (Bytes{0x00, 0x00, 0x00, 0x05, 0x00, 0x80, 0x83, 0xB0, 0xB1}));

    // The boot LUN is the first LUN created: serial ZV000001.
    r = HkScsiExecute(In(Inquiry(255, true, 0x80), 255));
    EXPECT_EQ(r.data, (Bytes{0x00, 0x80, 0x00, 0x08, 'Z', 'V', '0', '0', '0', '0', '0', '1'}));
    r = HkScsiExecute(In(Inquiry(6, true, 0x80), 255));
    EXPECT_EQ(r.data, (Bytes{0x00, 0x80, 0x00, 0x08, 'Z', 'V'}));

    r = HkScsiExecute(In(Inquiry(255, true, 0x83), 255));
    ASSERT_EQ(r.data.size(), 48u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 8), (Bytes{0x00, 0x83, 0x00, 0x2C, 0x02, 0x03, 0x00, 0x28}));
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 40), "ZelkoVd Virtual Disk    ZV000001");
    // A text goes in only when its whole field fits: with 20 bytes the vendor is there, the
    // product is not even in part.
    r = HkScsiExecute(In(Inquiry(20, true, 0x83), 255));
    ASSERT_EQ(r.data.size(), 20u);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 16), "ZelkoVd ");
    EXPECT_EQ(Bytes(r.data.begin() + 16, r.data.end()), Bytes(4, 0));

    r = HkScsiExecute(In(Inquiry(255, true, 0xB0), 255));
    ASSERT_EQ(r.data.size(), 64u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 12),
              (Bytes{0x00, 0xB0, 0x00, 0x3C, 0, 0, 0x01, 0x00, 0x00, 0x00, 0x80, 0x00}));
    r = HkScsiExecute(In(Inquiry(10, true, 0xB0), 255));
    EXPECT_EQ(r.data, (Bytes{0x00, 0xB0, 0x00, 0x3C, 0, 0, 0, 0, 0, 0}));

    r = HkScsiExecute(In(Inquiry(255, true, 0xB1), 255));
    EXPECT_EQ(r.data, (Bytes{0x00, 0xB1, 0x00, 0x04, 0, 0, 0, 0}));

    r = HkScsiExecute(In(Inquiry(255, true, 0x89), 255));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x24, 0x01}));
}

TEST_F(ScsiCommandTest, ModeSenseSixAllPagesAndItsTruncation) {
    UseMemDisk(0, 64 << 20);
    HkScsiResult r = HkScsiExecute(In(Cdb6(0x1A, 0, 0x3F, 0, 255), 255));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(r.data.size(), 44u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 12),
              (Bytes{43, 0, 0, 8, 0, 0x02, 0x00, 0x00, 0, 0x00, 0x02, 0x00}));   // 131072 blocks of 512
    EXPECT_EQ(Bytes(r.data.begin() + 12, r.data.begin() + 15), (Bytes{0x08, 0x12, 0x04}));
    EXPECT_EQ(Bytes(r.data.begin() + 32, r.data.begin() + 35), (Bytes{0x1C, 0x0A, 0x08}));

    r = HkScsiExecute(In(Cdb6(0x1A, 0, 0x3F, 0, 10), 255));
    EXPECT_EQ(r.data, (Bytes{9, 0, 0, 8, 0, 0, 0, 0, 0, 0}));

    // DBD and the caching page only; a read-only image without super-user reports WP.
    WpSetFlag(&Lun(0)->session.readOnly, TRUE);
    r = HkScsiExecute(In(Cdb6(0x1A, 0x08, 0x08, 0, 255), 255));
    ASSERT_EQ(r.data.size(), 24u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 7), (Bytes{23, 0, 0x80, 0, 0x08, 0x12, 0x04}));

    // MODE SENSE(10): an unknown page gives header and descriptor only.
    r = HkScsiExecute(In({0x5A, 0, 0x21, 0, 0, 0, 0, 0, 255, 0}, 255));
    ASSERT_EQ(r.data.size(), 16u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 8), (Bytes{0, 14, 0, 0x80, 0, 0, 0, 8}));
}

TEST_F(ScsiCommandTest, ReportLuns) {
    HkScsiResult r = HkScsiExecute(In(ReportLuns(4), 64));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(r.transferred, 0u);

    CreateLunRecord rec = {};
    LuExt* lu = nullptr;
    ASSERT_EQ(CreateLun(Adapter(), 3, &rec, &lu), STATUS_SUCCESS);
    r = HkScsiExecute(In(ReportLuns(256), 256));
    EXPECT_EQ(r.data, (Bytes{0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}));
    // An entry that does not fit whole is left out; the list length still counts it.
    r = HkScsiExecute(In(ReportLuns(20), 256));
    EXPECT_EQ(r.data, (Bytes{0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // A slot already present is not created again.
    LuExt* again = nullptr;
    EXPECT_EQ(CreateLun(Adapter(), 3, &rec, &again), (NTSTATUS)0xFF);
    EXPECT_EQ(again, nullptr);
}

TEST_F(ScsiCommandTest, NotReadyUntilActivated) {
    HkScsiResult r = HkScsiExecute(In(Cdb6(0x00), 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(SenseOf(r), (Sense{2, 4, 1}));
    r = HkScsiExecute(In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8));
    EXPECT_EQ(SenseOf(r), (Sense{2, 4, 1}));
    r = HkScsiExecute(In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_DATA_OVERRUN);

    UseMemDisk(0, (size_t)8 << 20);
    EXPECT_EQ(HkScsiExecute(In(Cdb6(0x00), 0)).srbStatus, SRB_STATUS_SUCCESS);
    r = HkScsiExecute(In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8));
    EXPECT_EQ(r.data, (Bytes{0, 0, 0x3F, 0xFF, 0, 0, 2, 0}));
    r = HkScsiExecute(In({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32));
    ASSERT_EQ(r.data.size(), 32u);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 12), (Bytes{0, 0, 0, 0, 0, 0, 0x3F, 0xFF, 0, 0, 2, 0}));
}

TEST_F(ScsiCommandTest, RefusedAndIgnoredCommands) {
    UseMemDisk(0, 1 << 20);
    HkScsiResult r = HkScsiExecute(In({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_INVALID_REQUEST);
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x20, 0}));
    EXPECT_TRUE(LogHas("ZelkoVd: [SCSI] 未处理 opcode=0x35 CdbLen=10\n"));

    r = HkScsiExecute(In({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12));
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x20, 0}));
    EXPECT_FALSE(LogHas("opcode=0x43"));

    r = HkScsiExecute(In({0x9F, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    r = HkScsiExecute(In({0x9E, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32));
    EXPECT_EQ(SenseOf(r), (Sense{5, 0x20, 0}));

    r = HkScsiExecute(In(Cdb6(0x03), 18));
    EXPECT_EQ(r.data, (Bytes{0x70, 0, 0, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    r = HkScsiExecute(In(Cdb6(0x04), 0));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("ZelkoVd: [SCSI] FORMAT_UNIT (0x04) no-op SUCCESS\n"));
}

TEST_F(ScsiCommandTest, BusScanSeesTheBootDisk) {
    UseMemDisk(0, (size_t)16 << 20);
    uint64_t scans = HkBusScanCount();
    ZvNotifyBusChange(Adapter());
    ASSERT_TRUE(HkWaitForBusScan(scans, 5000));
    std::vector<HkLunView> view = HkBusView();
    ASSERT_EQ(view.size(), 1u);
    EXPECT_EQ(view[0].lun, 0);
    EXPECT_EQ(view[0].capacity, (uint64_t)16 << 20);
    EXPECT_EQ(view[0].blockSize, 512u);
    EXPECT_EQ(HkPortStats().busType, (ULONG)BusTypeVirtual);
}

}  // namespace
