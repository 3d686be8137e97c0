// LUN 0 against the real disk server: SCSI READs and WRITEs through the workers and the protocol,
// READs held before activation and served after it, and the boot prefetch.
#include "AdapterTestSupport.h"

#include "DiskdProcess.h"

using namespace adaptertest;

namespace {

const char* const kDiskd = diskdproc::kBuiltDiskd;

const char kIqn[] = "iqn.2024-01.net.zelko:image.7";
const char kToken[] = "adapter-super-token";

void SetWide(WCHAR* dst, size_t units, const std::string& ascii) {
    size_t i = 0;
    for (; i < ascii.size() && i + 1 < units; i++) dst[i] = (WCHAR)(unsigned char)ascii[i];
    dst[i] = 0;
}

class DiskdAdapterTest : public AdapterTest {
protected:
    void SetUp() override {
        if (kDiskd == nullptr) GTEST_SKIP() << "zelko-diskd is not part of this build";
        AdapterTest::SetUp();
        ASSERT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (kDiskd == nullptr) return;
        if (loaded_) {
            HkUnloadReport r = Unload();
            for (const auto& l : r.leaks) ADD_FAILURE() << "unload: " << l;
        }
        WskClient_Cleanup();
        server_.reset();
        AdapterTest::TearDown();
    }

    void Serve(const std::vector<uint8_t>& image) {
        // zelko-diskd on an ephemeral loopback port with one image; stopped by the destructor.
        diskdproc::Options o;
            o.iqn = kIqn;
        o.token = kToken;
        o.dirTemplate = "/tmp/zvadapterXXXXXX";
        server_.reset(new diskdproc::DiskdProcess(o, image));
        ASSERT_NE(server_->port(), 0) << "zelko-diskd did not come up";
    }

    // What the activation thread does for LUN 0: parameters, connect, handshake, wake-up.
    void Activate(bool superUser) {
        LuExt* lu = Lun(0);
        ASSERT_NE(lu, nullptr);
        SetWide(lu->session.serverIp, PROTO_SERVER_IP_UNITS, "127.0.0.1");
        lu->session.serverPort = server_->port();
        SetWide(lu->session.targetIqn, PROTO_IQN_UNITS, kIqn);
        SetWide(lu->session.clientId, PROTO_CLIENT_ID_UNITS, "pc-07");
        if (superUser) {
            SetWide(lu->session.superUserToken, PROTO_TOKEN_UNITS, kToken);
            WpSetFlag(&lu->session.superUser, TRUE);
        }
        ASSERT_EQ(WskClient_Connect(&lu->session), STATUS_SUCCESS);
        ASSERT_EQ(ProtocolClient_Handshake(&lu->session), STATUS_SUCCESS);
        (VOID)ZvCancelPendingReadTimer(lu);
        WakeupPendingReads(lu);
    }

    std::unique_ptr<diskdproc::DiskdProcess> server_;
};

std::vector<uint8_t> PatternImage(size_t bytes) {
    std::vector<uint8_t> image(bytes);
    for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)((i * 131) ^ (i >> 11));
    return image;
}

TEST_F(DiskdAdapterTest, HeldReadIsServedAfterActivationThenReadsAndWritesReachTheServer) {
    std::vector<uint8_t> image = PatternImage(4 << 20);
    Serve(image);
    Load();
    uint64_t held = HkScsiSubmit(In(Rw10(0x28, 7, 4), 4 * 512));
    Activate(true);
    HkScsiResult r;
    ASSERT_TRUE(HkScsiWait(held, 10000, &r));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), image.begin() + 7 * 512));

    r = HkScsiExecute(In(Rw16(0x88, 1000, 256), 256 * 512));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(r.transferred, 256u * 512);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), image.begin() + 1000 * 512));

    std::vector<uint8_t> data(24 * 512);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(0xC3 ^ i);
    r = HkScsiExecute(Out(Rw10(0x2A, 300, 24, true), data));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    r = HkScsiExecute(In(Rw10(0x28, 296, 32), 32 * 512));
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.begin() + 4 * 512, image.begin() + 296 * 512));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r.data.begin() + 4 * 512));

    // READ CAPACITY now reports the image.
    r = HkScsiExecute(In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8));
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0, 0, 0x1F, 0xFF, 0, 0, 2, 0}));
}

TEST_F(DiskdAdapterTest, ReadFailureAfterTheServerWentAwayIsAMediumError) {
    Serve(PatternImage(1 << 20));
    Load();
    Activate(false);
    EXPECT_EQ(HkScsiExecute(In(Rw10(0x28, 0, 1), 512)).srbStatus, SRB_STATUS_SUCCESS);
    server_.reset();
    // A block the cache does not hold (LBA 1 shares LBA 0's cached 4 KiB block).
    HkScsiResult r = HkScsiExecute(In(Rw10(0x28, 1000, 1), 512), 60000);
    ASSERT_TRUE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{3, 0x11, 0}));
}

// An MBR whose first entry is an extended partition and whose second is NTFS at LBA 2048, with an
// NTFS boot sector there (8 sectors per cluster, $MFT at cluster 4, $MFTMirr at cluster 16).
std::vector<uint8_t> NtfsImage() {
    std::vector<uint8_t> image(8 << 20, 0);
    uint8_t* e0 = &image[446];
    e0[4] = 0x05;
    e0[8] = 63;
    uint8_t* e1 = &image[446 + 16];
    e1[4] = 0x07;
    e1[9] = 0x08;   // 2048
    image[510] = 0x55;
    image[511] = 0xAA;
    uint8_t* boot = &image[2048 * 512];
    memcpy(boot + 3, "NTFS    ", 8);
    boot[13] = 8;
    boot[0x30] = 4;
    boot[0x38] = 16;
    return image;
}

TEST_F(DiskdAdapterTest, PrefetchBootFollowsTheNtfsPartition) {
    Serve(NtfsImage());
    Load();
    Activate(false);
    EXPECT_EQ(PrefetchBoot(Lun(0)), STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] PrefetchBoot: 分区 1 type=0x07 起始LBA=2048\n"));
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] PrefetchBoot: 预读 $MFT offset=1064960 status=0x00000000\n"));
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] PrefetchBoot: 完成 status=0x00000000 (MBR+$Boot+$MFT 已在缓存)\n"));
    EXPECT_EQ(PrefetchBoot(Lun(0)), (NTSTATUS)0xFF);
    EXPECT_EQ(LogCount("PrefetchBoot: 完成"), 1);
}

TEST_F(DiskdAdapterTest, PrefetchBootWithoutAUsablePartitionReadsTheStart) {
    std::vector<uint8_t> image = NtfsImage();
    image[446 + 4] = 0x83;
    image[446 + 16 + 4] = 0x83;
    Serve(image);
    Load();
    EXPECT_EQ(PrefetchBoot(Lun(0)), STATUS_DEVICE_NOT_READY);
    Activate(false);
    EXPECT_EQ(PrefetchBoot(Lun(0)), STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] PrefetchBoot: 无 MBR 分区表，预读 LBA 0-15\n"));
}

}  // namespace
