// The driver activated by hand through its control device against the real disk server, the
// way the client program's system upload drives it: configure LUN 0 for super-user mode,
// connect, handshake, write, flush, leave super-user mode with a merge. The disk is checked
// through the SCSI path Windows uses (READ(16)/WRITE(16) through Storport) and through the
// control device's own reads.
#include "ControlTestSupport.h"

#include <fstream>
#include <memory>
#include <sstream>

#include "DiskdProcess.h"

namespace {

const char* const kDiskd = diskdproc::kBuiltDiskd;

const char kIqn[] = "iqn.2024-01.net.zelko:image.7";
const char kToken[] = "upload-token-7";
constexpr size_t kImageSize = 8u << 20;

std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t blocks) {
    std::vector<uint8_t> c(16, 0);
    c[0] = op;
    for (int i = 0; i < 8; i++) c[2 + i] = (uint8_t)(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; i++) c[10 + i] = (uint8_t)(blocks >> (24 - 8 * i));
    return c;
}

class ControlDiskdTest : public ControlTest {
protected:
    void SetUp() override {
        if (kDiskd == nullptr) GTEST_SKIP() << "zelko-diskd is not part of this build";
        image.resize(kImageSize);
        for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)((i * 131) ^ (i >> 11));
        // zelko-diskd on an ephemeral loopback port with one image and one super-user token;
        // a test that stops the host kernel (a verifier stop aborts) must not leave it behind.
        diskdproc::Options o;
            o.iqn = kIqn;
        o.token = kToken;
        o.dieWithParent = true;
        o.dirTemplate = "/tmp/zvctl-diskd-XXXXXX";
        server = std::make_unique<diskdproc::DiskdProcess>(o, image);
        ASSERT_NE(server->port(), 0) << "zelko-diskd did not start";
        ControlTest::SetUp();
    }
    void TearDown() override {
        if (kDiskd == nullptr) return;
        ControlTest::TearDown();  // unloads the driver (closing its sockets) before the server goes
        server.reset();
    }
    // LUN 0 starts from these parameters, as on a PC whose registry names the disk server.
    void Configure() override {
        hk::test::RegSetString(ZV_PARAMETERS_KEY, "ServerIp", "127.0.0.1");
        hk::test::RegSetDword(ZV_PARAMETERS_KEY, "ServerPort", server->port());
        hk::test::RegSetString(ZV_PARAMETERS_KEY, "TargetIqn", kIqn);
        hk::test::RegSetString(ZV_PARAMETERS_KEY, "ClientId", "pc-e2e");
    }

    zc::SetConfigRecord UploadConfig(bool superUser) {
        zc::SetConfigRecord rec{};
        SetField(rec.serverIp, "127.0.0.1");
        rec.serverPort = server->port();
        SetField(rec.targetIqn, kIqn);
        SetField(rec.clientId, "pc-e2e");
        rec.cacheSizeMb = 256;
        rec.superUser = superUser ? 1 : 0;
        if (superUser) SetField(rec.superUserToken, kToken);
        return rec;
    }

    HkScsiResult Read16(uint64_t lba, uint32_t blocks) {
        HkScsiRequest r;
        r.cdb = Cdb16(0x88, lba, blocks);
        r.dataInLength = blocks * 512;
        return HkScsiExecute(r, 20000);
    }
    HkScsiResult Write16(uint64_t lba, const std::vector<uint8_t>& data) {
        HkScsiRequest r;
        r.cdb = Cdb16(0x8A, lba, (uint32_t)(data.size() / 512));
        r.dataOut = data;
        return HkScsiExecute(r, 20000);
    }
    void ExpectDisk(uint64_t offset, const std::vector<uint8_t>& expected) {
        HkScsiResult r = Read16(offset / 512, (uint32_t)(expected.size() / 512));
        ASSERT_TRUE(r.completed);
        ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << "READ(16) at " << offset;
        ASSERT_EQ(r.data.size(), expected.size());
        EXPECT_TRUE(r.data == expected) << "disk content at " << offset;
    }
    std::vector<uint8_t> Image(uint64_t offset, size_t length) {
        return std::vector<uint8_t>(image.begin() + (long)offset, image.begin() + (long)(offset + length));
    }
    HkIoResult WriteDisk(int64_t offset, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> in(sizeof(zc::WriteDiskRecord));
        zc::WriteDiskRecord h{offset, (uint32_t)data.size(), 0};
        std::memcpy(in.data(), &h, sizeof(h));
        in.insert(in.end(), data.begin(), data.end());
        // The upload sends no output buffer and reads the byte count; the host's I/O manager
        // insists on room for the count even where Windows copies nothing back, so the test
        // gives it room.
        return Ioctl(IOCTL_ZELKO_WRITE_DISK, in, (ULONG)data.size());
    }
    std::string FileLog() {
        std::ifstream f(cDrive + "/ZelkoVd.log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    std::vector<uint8_t> image;
    std::unique_ptr<diskdproc::DiskdProcess> server;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(seed + i * 13 + (i >> 9));
    return v;
}

TEST_F(ControlDiskdTest, UploadSequenceActivatesWritesFlushesAndMerges) {
    // Windows reads the boot disk before anyone activated it: the READ is held.
    HkScsiRequest early;
    early.cdb = Cdb16(0x88, 0, 8);
    early.dataInLength = 4096;
    uint64_t earlyTicket = HkScsiSubmit(early);
    HkScsiResult earlyResult;
    EXPECT_FALSE(HkScsiWait(earlyTicket, 100, &earlyResult)) << "held until activation";

    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(UploadConfig(true))).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_CONNECT).status, STATUS_SUCCESS);
    uint64_t scans = HkBusScanCount();
    hk::test::ClearDbgLines();
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_HANDSHAKE).status, STATUS_SUCCESS);
    EXPECT_TRUE(LogHas("ZelkoVd: [HANDSHAKE] 返回 0x00000000, ro=0, su=1\n"));
    EXPECT_NE(FileLog().find("[ManualActivate] 手动激活完成：已唤醒 READ + BusChangeDetected\n"), std::string::npos);
    EXPECT_NE(FileLog().find("[ManualActivate] 预取完成 status=0x"), std::string::npos);

    // The held READ is answered with the image's first blocks, and the port rescans the bus.
    ASSERT_TRUE(HkScsiWait(earlyTicket, 20000, &earlyResult));
    EXPECT_EQ(earlyResult.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(earlyResult.data == Image(0, 4096));
    ASSERT_TRUE(HkWaitForBusScan(scans, 10000));
    std::vector<HkLunView> bus = HkBusView();
    ASSERT_FALSE(bus.empty());
    EXPECT_EQ(bus[0].lun, 0);
    EXPECT_EQ(bus[0].capacity, kImageSize);

    // Reads through the SCSI path match the image file.
    ExpectDisk(0, Image(0, 64 << 10));
    ExpectDisk(3u << 20, Image(3u << 20, 128 << 10));
    ExpectDisk(kImageSize - 4096, Image(kImageSize - 4096, 4096));

    // A super-user session may write through the SCSI path.
    std::vector<uint8_t> scsiData = Pattern(8192, 0x21);
    HkScsiResult w = Write16(2048, scsiData);
    ASSERT_TRUE(w.completed);
    EXPECT_EQ(w.srbStatus, SRB_STATUS_SUCCESS);
    ExpectDisk(2048 * 512, scsiData);

    // The upload's own path: WRITE_DISK of a full 1 MiB piece and a small one, then FLUSH.
    std::vector<uint8_t> piece = Pattern(0x100000, 0x42);
    HkIoResult wd = WriteDisk(4u << 20, piece);
    ASSERT_EQ(wd.status, STATUS_SUCCESS);
    EXPECT_EQ(wd.information, 0x100000u);
    std::vector<uint8_t> small = Pattern(4096, 0x99);
    wd = WriteDisk(12288, small);
    ASSERT_EQ(wd.status, STATUS_SUCCESS);
    EXPECT_EQ(wd.information, 4096u);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_FLUSH).status, STATUS_SUCCESS);
    ExpectDisk(4u << 20, piece);
    ExpectDisk(12288, small);

    // ReadFile/WriteFile on the control device reach the same disk.
    HkIoResult rf = HkReadFile(file, 4u << 20, 65536);
    ASSERT_EQ(rf.status, STATUS_SUCCESS);
    EXPECT_EQ(rf.information, 65536u);
    EXPECT_TRUE(std::vector<uint8_t>(rf.data.begin(), rf.data.begin() + 65536) ==
                std::vector<uint8_t>(piece.begin(), piece.begin() + 65536));
    std::vector<uint8_t> viaFile = Pattern(8192, 0x07);
    HkIoResult wf = HkWriteFile(file, 6u << 20, viaFile);
    ASSERT_EQ(wf.status, STATUS_SUCCESS);
    EXPECT_EQ(wf.information, 8192u);
    ExpectDisk(6u << 20, viaFile);

    // The direct paths and LUN 0's block cache agree: a range the SCSI path read (and cached)
    // above reads back what WRITE_DISK put there, and ReadFile sees a SCSI write that the cache
    // has not written back yet.
    std::vector<uint8_t> over = Pattern(8192, 0x5A);
    ASSERT_EQ(WriteDisk(0, over).status, STATUS_SUCCESS);
    ExpectDisk(0, over);
    std::vector<uint8_t> cachedWrite = Pattern(4096, 0x3C);
    ASSERT_EQ(Write16(5000, cachedWrite).srbStatus, SRB_STATUS_SUCCESS);
    HkIoResult direct = HkReadFile(file, 5000ull * 512, 4096);
    ASSERT_EQ(direct.status, STATUS_SUCCESS);
    EXPECT_TRUE(direct.data == cachedWrite);

    // Status and geometry of the live session.
    HkIoResult st = Ioctl(IOCTL_ZELKO_GET_STATUS, {}, 272);
    ASSERT_EQ(st.status, STATUS_SUCCESS);
    auto status = As<zc::StatusRecord>(st);
    EXPECT_EQ(status.diskSize, kImageSize);
    EXPECT_EQ(status.blockSize, 512u) << "what zelko-diskd announces";
    EXPECT_EQ(status.connected, 1);
    EXPECT_EQ(status.handshakeDone, 1);
    EXPECT_EQ(status.readOnly, 0);
    EXPECT_NE(status.sessionId, 0);
    EXPECT_EQ(status.connects, 1u);
    EXPECT_GT(status.bytesSent, 0x100000u);
    EXPECT_GT(status.bytesReceived, 64u << 10);
    auto disk = As<zc::DiskInfoRecord>(Ioctl(IOCTL_ZELKO_GET_DISK_INFO, {}, 16));
    EXPECT_EQ(disk.diskSize, kImageSize);
    EXPECT_EQ(disk.blockSize, 512u);
    auto ping = As<zc::PingRecord>(Ioctl(IOCTL_ZELKO_PING, {}, 8));
    EXPECT_EQ(ping.succeeded, 1);
    EXPECT_EQ(ping.status, 0);
    EXPECT_EQ(As<zc::StatusRecord>(Ioctl(IOCTL_ZELKO_GET_STATUS, {}, 272)).pongs, 1u);

    // The migration query: 32 key bytes without a terminator in, 48 bytes out.
    HkIoResult mig = Ioctl(IOCTL_ZELKO_MIGRATION_STATUS, std::vector<uint8_t>(32, 'k'), 48);
    ASSERT_EQ(mig.status, STATUS_SUCCESS);
    EXPECT_EQ(mig.information, 48u);
    EXPECT_EQ(As<zc::MigrationStatusReply>(mig).field12, 0u);

    // Leaving super-user mode with a merge makes the writes part of the image.
    zc::ExitSuperUserRequest commit{1};
    HkIoResult ex = Ioctl(IOCTL_ZELKO_EXIT_SUPER_USER, Bytes(commit), 16);
    ASSERT_EQ(ex.status, STATUS_SUCCESS);
    ASSERT_EQ(ex.information, 16u);
    auto merged = As<zc::ExitSuperUserRecord>(ex);
    EXPECT_GT(merged.mergedBlocks, 0u);
    EXPECT_GE(merged.mergedBytes, 0x100000u);
    EXPECT_FALSE(LuSuperUser(Lun0()));

    // A plain session afterwards reads the merged image.
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(UploadConfig(false))).status, STATUS_SUCCESS);
    EXPECT_FALSE(LuConnected(Lun0()));
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_CONNECT).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_HANDSHAKE).status, STATUS_SUCCESS);
    rf = HkReadFile(file, 12288, 4096);
    ASSERT_EQ(rf.status, STATUS_SUCCESS);
    EXPECT_TRUE(rf.data == small);
    ExpectDisk(4u << 20, piece);
    ExpectDisk(2048 * 512, scsiData);
}

TEST_F(ControlDiskdTest, ReadOnlySessionRefusesWritesAndReconnectRebindsTheSession) {
    zc::SetConfigRecord cfg = UploadConfig(false);
    cfg.readOnly = 1;
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_SET_CONFIG, Bytes(cfg)).status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_CONNECT).status, STATUS_SUCCESS);
    // Connecting again drops the old connection first.
    hk::test::ClearDbgLines();
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_CONNECT).status, STATUS_SUCCESS);
    EXPECT_NE(FileLog().find("[用户上传] Connect 前断开旧连接残留\n"), std::string::npos);
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_HANDSHAKE).status, STATUS_SUCCESS);
    ASSERT_TRUE(LuReadOnly(Lun0()));

    HkIoResult wd = WriteDisk(0, Pattern(4096, 1));
    EXPECT_EQ(wd.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(wd.information, 0u);
    HkScsiResult w = Write16(0, Pattern(4096, 1));
    EXPECT_NE(w.srbStatus, SRB_STATUS_SUCCESS);
    ExpectDisk(0, Image(0, 4096));

    // Reconnect keeps the address and port when the record leaves them empty, and only
    // announces the disk again.
    uint64_t busChanges = HkPortStats().busChanges;
    zc::ReconnectRecord rc{};
    SetField(rc.clientId, "pc-e2e-2");
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_RECONNECT, Bytes(rc)).status, STATUS_SUCCESS);
    EXPECT_EQ(HkPortStats().busChanges, busChanges + 1);
    EXPECT_EQ(Narrow(Lun0()->session.clientId, 64), "pc-e2e-2");
    EXPECT_TRUE(LuHandshakeDone(Lun0()));
    ExpectDisk(1u << 20, Image(1u << 20, 8192));
    EXPECT_EQ(As<zc::StatusRecord>(Ioctl(IOCTL_ZELKO_GET_STATUS, {}, 272)).connects, 3u);

    // Disconnect closes the session; the disk stops answering reads from the server.
    ASSERT_EQ(Ioctl(IOCTL_ZELKO_DISCONNECT).status, STATUS_SUCCESS);
    EXPECT_FALSE(LuConnected(Lun0()));
    EXPECT_FALSE(LuHandshakeDone(Lun0()));
    EXPECT_EQ(HkReadFile(file, 0, 512).status, STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
