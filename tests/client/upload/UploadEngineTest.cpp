// The upload engine against scripted devices and a scripted management server: the range it
// reads, what it writes, its failure texts, cancel, progress and log throttling.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "../ScriptedPeer.h"
#include "FakeDevices.h"
#include "ZelkoControl.h"
#include "api/Settings.h"
#include "upload/UploadEngine.h"
#include "upload/ZelkoDevice.h"

namespace {

constexpr int64_t MiB = 1 << 20;

std::string Ok(const std::string& body) { return ScriptedPeer::Reply(200, body, "OK"); }

class UploadEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The log goes to the temporary directory: give each test its own.
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    tempDir_ = std::string(base) + "zelko-upload-test-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(counter_++) + "\\";
    CreateDirectoryA(tempDir_.c_str(), nullptr);
    oldTmp_ = Env("TMP");
    SetEnvironmentVariableA("TMP", tempDir_.c_str());
    Settings().sessionToken = "session-1";
    params_.imageId = "7";
    params_.clientId = "operator";
    params_.serverHost = "127.0.0.1";
    params_.apiHost = "127.0.0.1";
  }
  void TearDown() override {
    DeleteFileA((tempDir_ + "zelko_upload.log").c_str());
    RemoveDirectoryA(tempDir_.c_str());
    SetEnvironmentVariableA("TMP", oldTmp_.empty() ? nullptr : oldTmp_.c_str());
  }
  static std::string Env(const char* name) {
    char buf[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA(name, buf, MAX_PATH);
    return n && n < MAX_PATH ? buf : "";
  }

  std::string Run(const std::string& sessionReply = Ok("{\"code\":0,\"uploadToken\":\"up-tok-1\"}")) {
    ScriptedPeer peer(sessionReply);
    params_.apiPort = peer.port();
    progress_.clear();
    std::string r = UploadSystem(params_, [this](const ProgressInfo& p) { progress_.push_back(p); },
                                 cancel_, dev_);
    sessionRequests_ = peer.requests();
    return r;
  }
  std::string Log() {
    std::ifstream f(tempDir_ + "zelko_upload.log", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::vector<std::string> LogLinesWith(const std::string& needle) {
    std::vector<std::string> out;
    std::istringstream in(Log());
    for (std::string line; std::getline(in, line);)
      if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
  }
  bool Wrote(int64_t block) const { return dev_.written.count(block * MiB) != 0; }

  static int counter_;
  std::string tempDir_, oldTmp_;
  UploadParams params_;
  std::atomic<bool> cancel_{false};
  FakeDevices dev_;
  std::vector<ProgressInfo> progress_;
  std::vector<std::string> sessionRequests_;
};
int UploadEngineTest::counter_ = 0;

TEST(UploadRangeTest, SystemPartitionAndWholeDiskArithmetic) {
  UploadRange r = SystemPartitionRange(MiB, 10LL << 30);
  EXPECT_EQ(r.uploadSize, 10241 * MiB);
  EXPECT_EQ(r.totalBlocks, 10241);
  EXPECT_EQ(r.headerEndBlock, 1);
  EXPECT_EQ(SystemPartitionRange(100 * MiB + 512, 10 * MiB).headerEndBlock, 101);
  EXPECT_EQ(SystemPartitionRange(100 * MiB + 512, 10 * MiB).totalBlocks, 111);  // ends 512 bytes into block 110
  UploadRange w = WholeDiskRange(MiB + 1);
  EXPECT_EQ(w.totalBlocks, 2);
  EXPECT_EQ(w.headerEndBlock, 0);
}

TEST(UploadRangeTest, KernelPathsAndIqn) {
  EXPECT_EQ(KernelObjectPath(L"\\\\.\\PhysicalDrive0"), L"\\??\\PhysicalDrive0");
  EXPECT_EQ(KernelObjectPath(L"\\Device\\Harddisk0\\DR0"), L"\\Device\\Harddisk0\\DR0");
  EXPECT_EQ(KernelObjectPath(L"\\\\.\\" + std::wstring(200, L'x')).size(), 127u);
  EXPECT_EQ(ImageIqn("12"), "iqn.2024-01.net.zelko:image.12");
}

// C: at 1 MiB, 10 GiB long: 10241 blocks read, the two header blocks written although zero,
// zero data blocks skipped, a data block written; the records sent to the driver are exact.
TEST_F(UploadEngineTest, SystemPartitionUploadOfATenGigabyteC) {
  dev_.diskSize = 20LL << 30;
  dev_.cStart = MiB;
  dev_.cSize = 10LL << 30;
  dev_.SetBlock(5000, 0xAB);
  dev_.SetBlock(10240, 0x01, 4096);  // the last block: only its first 4 KiB are not zero
  params_.serverHost = std::string(70, 'h');  // cut to 63 characters in the record
  ASSERT_EQ(Run(), "");

  ASSERT_EQ(dev_.reads.size(), 10241u);
  EXPECT_EQ(dev_.reads.back(), (std::pair<uint64_t, uint32_t>(10240 * MiB, (uint32_t)MiB)));
  EXPECT_EQ(dev_.readPath, L"\\??\\PhysicalDrive0");
  EXPECT_EQ(dev_.written.size(), 4u);
  EXPECT_TRUE(Wrote(0) && Wrote(1) && Wrote(5000) && Wrote(10240));
  EXPECT_EQ(dev_.written[5000 * MiB], std::vector<uint8_t>(MiB, 0xAB));

  std::vector<DWORD> head(dev_.codes.begin(), dev_.codes.begin() + 3);
  EXPECT_EQ(head, (std::vector<DWORD>{IOCTL_ZELKO_SET_CONFIG, IOCTL_ZELKO_CONNECT, IOCTL_ZELKO_HANDSHAKE}));
  std::vector<DWORD> tail(dev_.codes.end() - 2, dev_.codes.end());
  EXPECT_EQ(tail, (std::vector<DWORD>{IOCTL_ZELKO_FLUSH, IOCTL_ZELKO_EXIT_SUPER_USER}));
  EXPECT_EQ(std::wstring(dev_.config.serverIp), std::wstring(63, L'h'));
  EXPECT_EQ(dev_.config.serverPort, 9501);
  EXPECT_EQ(std::wstring(dev_.config.targetIqn), L"iqn.2024-01.net.zelko:image.7");
  EXPECT_EQ(std::wstring(dev_.config.clientId), L"operator");
  EXPECT_EQ(std::wstring(dev_.config.superUserToken), L"up-tok-1");
  EXPECT_EQ(dev_.config.cacheSizeMb, 256u);
  EXPECT_EQ(dev_.config.readOnly, 0);
  EXPECT_EQ(dev_.config.superUser, 1);
  EXPECT_EQ(dev_.openHandles, 0);

  ASSERT_EQ(sessionRequests_.size(), 1u);
  EXPECT_NE(sessionRequests_[0].find("POST /api/disk/images/upload-session"), std::string::npos);
  EXPECT_NE(sessionRequests_[0].find("{\"imageId\":7}"), std::string::npos);

  ASSERT_FALSE(progress_.empty());
  const ProgressInfo& fin = progress_.back();
  EXPECT_EQ(fin.percent, 100);
  EXPECT_EQ(fin.doneBlocks, 10241);
  EXPECT_EQ(fin.totalBlocks, 10241);
  EXPECT_EQ(fin.bytesUploaded, 3 * MiB + MiB);
  EXPECT_EQ(fin.bytesSkipped, 10237 * MiB);
  EXPECT_EQ(fin.status, "上传完成！分区表 + C 盘已上传，合并 1024 块 (4 MB)");
  EXPECT_EQ(LogLinesWith("C盘结束块=10241 (offset=10738466816 bytes)").size(), 1u);
  EXPECT_EQ(LogLinesWith("上传参数: totalBlocks=10241, BLOCK_SIZE=1048576, headerEndBlock=1, uploadSize=10738466816").size(), 1u);
  EXPECT_EQ(LogLinesWith("uploadSize / physicalDiskSize = 50.0%").size(), 1u);
  EXPECT_TRUE(LogLinesWith("WARNING").empty());
  EXPECT_EQ(LogLinesWith("========== UploadSystem 完成 ==========").size(), 1u);
  EXPECT_EQ(LogLinesWith("mergedBlocks=1024, mergedBytes=4194304").size(), 1u);
  // Every line is stamped "[YYYY-MM-DD HH:MM:SS] ".
  for (const auto& line : LogLinesWith("UploadSystem")) {
    ASSERT_GE(line.size(), 22u);
    EXPECT_EQ(line[0], '[');
    EXPECT_EQ(line.substr(20, 2), "] ");
  }
}

TEST_F(UploadEngineTest, HeaderBlocksBeforeAnOddlyPlacedCAreAllWritten) {
  dev_.cStart = 100 * MiB + 512;
  dev_.cSize = 4 * MiB;
  dev_.diskSize = 200 * MiB;
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(dev_.reads.size(), 105u);
  for (int64_t b = 0; b <= 101; ++b) EXPECT_TRUE(Wrote(b)) << b;
  EXPECT_EQ(dev_.written.size(), 102u);  // 102..104 are zero and skipped
  EXPECT_EQ(dev_.reads.back().second, 512u);  // C: ends 512 bytes into block 104
}

TEST_F(UploadEngineTest, WholeDiskModeReadsTheLastPartialBlock) {
  params_.systemPartitionOnly = false;
  dev_.diskSize = MiB + 1;
  dev_.SetBlock(1, 0x5A, 1);
  ASSERT_EQ(Run(), "");
  ASSERT_EQ(dev_.reads.size(), 2u);
  EXPECT_EQ(dev_.reads[1], (std::pair<uint64_t, uint32_t>(MiB, 1)));
  ASSERT_TRUE(Wrote(1));
  EXPECT_EQ(dev_.written[MiB], std::vector<uint8_t>(1, 0x5A));
  EXPECT_EQ(progress_.back().status, "上传完成！整盘已上传，合并 256 块 (1 MB)");
  EXPECT_EQ(LogLinesWith("整盘模式: uploadSize=1048577 bytes").size(), 1u);
}

TEST_F(UploadEngineTest, ZeroBlocksAreWrittenWhenSparseUploadIsOff) {
  params_.sparseUpload = false;
  dev_.cSize = 8 * MiB;
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(dev_.written.size(), 9u);
  EXPECT_EQ(progress_.back().bytesSkipped, 0);
  EXPECT_EQ(progress_.back().bytesUploaded, 9 * MiB);
}

TEST_F(UploadEngineTest, UnreadableHeaderEndsTheUpload) {
  dev_.readFailures[MiB] = 1;  // block 1 is still header (C: at 1 MiB)
  EXPECT_EQ(Run(), "读取磁盘头部失败 (offset=0x100000, 错误码=30)。MBR/GPT 分区表必须成功读取。");
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_READ_LOCAL), 2);  // no second try for the header
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_FLUSH), 0);
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_EXIT_SUPER_USER), 0);
}

// A data block that cannot be read must not be left out silently: the image would keep what
// it held there. One more try; a second failure ends the upload without a merge.
TEST_F(UploadEngineTest, UnreadableDataBlockIsReadOnceMoreThenFailsTheUpload) {
  dev_.SetBlock(5, 0x77);
  dev_.readFailures[5 * MiB] = 1;
  ASSERT_EQ(Run(), "");
  EXPECT_TRUE(Wrote(5));
  EXPECT_EQ(dev_.written[5 * MiB], std::vector<uint8_t>(MiB, 0x77));

  dev_ = FakeDevices();
  dev_.readFailures[0x1F00000] = 2;
  EXPECT_EQ(Run(), "读取磁盘数据失败 (offset=0x1F00000, 错误码=30)。");
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_FLUSH), 0);
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_EXIT_SUPER_USER), 0);
}

TEST_F(UploadEngineTest, CancelStopsBeforeTheNextBlockWithoutFlushOrMerge) {
  dev_.cancelAfter = &cancel_;
  dev_.cancelAfterReads = 5;
  EXPECT_EQ(Run(), "上传已取消");
  EXPECT_EQ(dev_.reads.size(), 5u);
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_FLUSH), 0);
  EXPECT_EQ(dev_.Count(IOCTL_ZELKO_EXIT_SUPER_USER), 0);
  EXPECT_EQ(dev_.openHandles, 0);
}

// Progress goes out at every 16th processed block; the log line at every 256th only when the
// block that reached the count was written.
TEST_F(UploadEngineTest, ProgressEverySixteenBlocksLogEveryTwoHundredFiftySixWritten) {
  params_.systemPartitionOnly = false;
  dev_.diskSize = 800 * MiB;
  for (int64_t b = 0; b < 800; ++b)
    if (b < 300 || b >= 600) dev_.SetBlock(b, 1);  // blocks 300..599 are zero: 512 is skipped
  ASSERT_EQ(Run(), "");
  std::vector<int64_t> loop;
  for (const auto& p : progress_)
    if (p.status.rfind("正在上传... ", 0) == 0) loop.push_back(p.doneBlocks);
  ASSERT_EQ(loop.size(), 50u + 1u);  // 16, 32, ..., 800, then the report after the loop
  for (size_t i = 0; i < 50; ++i) EXPECT_EQ(loop[i], 16 * (int64_t)(i + 1));
  EXPECT_EQ(loop[50], 800);

  auto lines = LogLinesWith("进度: block ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("进度: block 256/800, offset=0.25 GB, uploaded=0.25 GB, skipped=0.00 GB"), std::string::npos);
  EXPECT_NE(lines[1].find("进度: block 768/800"), std::string::npos);
  // Phase reports carry no numbers.
  EXPECT_EQ(progress_[0].status, "正在申请上传会话...");
  EXPECT_EQ(progress_[0].totalBlocks, 0);
}

TEST_F(UploadEngineTest, COnAnotherDiskIsRefused) {
  dev_.volumeDiskNumber = 1;
  EXPECT_EQ(Run(), "无法获取 C 盘分区位置 (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 失败，错误码=17)。请以管理员身份运行客户端。");
  EXPECT_TRUE(dev_.reads.empty());
  EXPECT_EQ(LogLinesWith("ERROR: GetCDriveExtent 失败, err=17").size(), 1u);
}

TEST_F(UploadEngineTest, NearlyFullCIsOnlyAWarning) {
  dev_.diskSize = 34 * MiB;
  ASSERT_EQ(Run(), "");
  EXPECT_EQ(LogLinesWith("WARNING: uploadSize 接近物理磁盘大小! C盘可能占满了整个磁盘").size(), 1u);
}

struct StepFailure {
  const char* name;
  void (*arrange)(FakeDevices&, UploadParams&);
  const char* text;
};

class UploadStepFailureTest : public UploadEngineTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(UploadStepFailureTest, EndsWithItsText) {
  GetParam().arrange(dev_, params_);
  EXPECT_EQ(Run(), GetParam().text);
  if (std::string(GetParam().name) != "exit") EXPECT_EQ(dev_.Count(IOCTL_ZELKO_EXIT_SUPER_USER), 0);
  EXPECT_EQ(dev_.openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, UploadStepFailureTest,
    ::testing::Values(
        StepFailure{"open", [](FakeDevices& d, UploadParams&) { d.controlOpenError = ERROR_FILE_NOT_FOUND; },
                    "打开 \\\\.\\ZelkoVd 失败 (错误码=2)。请确认驱动已安装且正在运行。"},
        StepFailure{"config", [](FakeDevices& d, UploadParams&) { d.failCode[IOCTL_ZELKO_SET_CONFIG] = 1117; },
                    "SetConfig 失败 (错误码=1117)"},
        StepFailure{"connect", [](FakeDevices& d, UploadParams&) { d.failCode[IOCTL_ZELKO_CONNECT] = 1231; },
                    "Connect 失败 (错误码=1231)。TCP 预检已通过但驱动 WSK 连接失败，可能是 NETIO/WSK 子系统问题。"
                    "请检查客户端 ZelkoVd 驱动状态 (sc query ZelkoVd)。"},
        StepFailure{"handshake", [](FakeDevices& d, UploadParams&) { d.failCode[IOCTL_ZELKO_HANDSHAKE] = 5; },
                    "Handshake 失败 (错误码=5)。可能是 UploadToken 已过期或 IQN 不匹配。"},
        StepFailure{"extents", [](FakeDevices& d, UploadParams&) { d.volumeFails = true; },
                    "无法获取 C 盘分区位置 (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 失败，错误码=1)。请以管理员身份运行客户端。"},
        StepFailure{"disksize", [](FakeDevices& d, UploadParams& p) { d.diskSize = 0; p.systemPartitionOnly = false; },
                    "无法获取物理磁盘大小: \\\\.\\PhysicalDrive0 (错误码=1)。请以管理员身份运行客户端。"},
        StepFailure{"write", [](FakeDevices& d, UploadParams&) { d.shortWriteAt = 2; },
                    "Write 失败 (offset=0x100000, 错误码=29)"},
        StepFailure{"flush", [](FakeDevices& d, UploadParams&) { d.failCode[IOCTL_ZELKO_FLUSH] = 1167; },
                    "Flush 失败 (错误码=1167)"},
        StepFailure{"exit", [](FakeDevices& d, UploadParams&) { d.failCode[IOCTL_ZELKO_EXIT_SUPER_USER] = 1117; },
                    "ExitSuperUser 失败 (错误码=1117)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UploadEngineTest, UploadSessionFailuresBecomeTheResult) {
  EXPECT_EQ(Run(ScriptedPeer::Reply(500, "x", "Oops")).rfind("申请上传会话失败: ", 0), 0u);
  EXPECT_EQ(Run(Ok("{\"code\":0}")), "解析上传令牌失败，响应: {\"code\":0}");
  EXPECT_EQ(dev_.opensOfControl, 0);
}

}  // namespace
