// The driver log: prefixes, levels and component of the debug forms; the file log's limits.
#include "ActivationTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>
#include <thread>

namespace {

using Log = DriverMachine;

TEST_F(Log, FixedLevelPrintsEverythingButDebugWithTheirPrefixesAndFilterLevels) {
    ZvLogError("ProtocolClient_Read: 失败 0x%08X\n", (ULONG)STATUS_IO_TIMEOUT);
    ZvLogWarning("WpTryRecover: 重连 %d\n", 1);
    ZvLogInfo("Cache: hit=%llu\n", (ULONGLONG)7);
    ZvLogDebug("never printed at level 2\n");
    ZvLogPlain("[IOCTL] code=0x%X\n", 0x222004u);
    auto lines = hk::test::DbgLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "[ZelkoVd][ERR] ProtocolClient_Read: 失败 0xC00000B5\n");
    EXPECT_EQ(lines[0].level, 0u);
    EXPECT_EQ(lines[1].text, "[ZelkoVd][WARN] WpTryRecover: 重连 1\n");
    EXPECT_EQ(lines[1].level, 1u);
    EXPECT_EQ(lines[2].text, "[ZelkoVd][INFO] Cache: hit=7\n");
    EXPECT_EQ(lines[2].level, 3u);
    EXPECT_EQ(lines[3].text, "ZelkoVd: [IOCTL] code=0x222004\n");
    EXPECT_EQ(lines[3].level, 0u);
    for (auto& l : lines) EXPECT_EQ(l.component, 77u);
}

TEST_F(Log, LevelGatesEachLevelledForm) {
    InterlockedExchange(&LogLevel, 3);
    ZvLogDebug("x=%d\n", 1);
    InterlockedExchange(&LogLevel, 0);
    ZvLogError("e\n");
    ZvLogWarning("w\n");
    ZvLogInfo("i\n");
    ZvLogPlain("p\n");
    InterlockedExchange(&LogLevel, -1);
    ZvLogError("e2\n");
    ZvLogPlain("p2\n");
    EXPECT_EQ(DriverLines(), (std::vector<std::string>{"[ZelkoVd][DBG] x=1\n", "[ZelkoVd][ERR] e\n", "ZelkoVd: p\n",
                                                       "ZelkoVd: p2\n"}));
    EXPECT_EQ(hk::test::DbgLines()[0].level, 3u);
}

TEST_F(Log, FileLogWrites511CharactersWholeAnd512NotAtAll) {
    std::string body510(510, 'a');
    EXPECT_EQ(FileLogWrite("%s\n", body510.c_str()), STATUS_SUCCESS);   // 511 characters
    std::string body511(511, 'b');
    EXPECT_FALSE(NT_SUCCESS(FileLogWrite("%s\n", body511.c_str())));   // 512 characters
    EXPECT_FALSE(NT_SUCCESS(FileLogWrite("%s%s\n", body511.c_str(), body511.c_str())));
    EXPECT_EQ(FileLog(), body510 + "\n");
}

TEST_F(Log, FileLogAddsNothingAndFormatsTheKernelSpecifiers) {
    WCHAR ip[] = L"10.0.0.5";
    FileLogWrite("[WskConnect] WskConnect -> %ws:%u\n", ip, 9501u);
    FileLogWrite("[Thread] 第 %d 次尝试, status=0x%08X\n", 3, (ULONG)STATUS_CONNECTION_REFUSED);
    FileLogWrite("[API]");
    EXPECT_EQ(FileLog(), "[WskConnect] WskConnect -> 10.0.0.5:9501\n[Thread] 第 3 次尝试, status=0xC0000236\n[API]");
}

TEST_F(Log, TwoBootsLeaveTwoStartMarkersInTheSameFile) {
    FileLogWrite(ZV_FILE_LOG_START_MARKER);
    FileLogWrite("[DriverEntry] BootInfoValid=%d ServerIp=%ws\n", 0, L"");
    // The next boot opens the same file again; nothing truncates it.
    FileLogWrite(ZV_FILE_LOG_START_MARKER);
    FileLogWrite("[DriverEntry] BootInfoValid=%d ServerIp=%ws\n", 1, L"192.168.1.2");
    EXPECT_EQ(FileLog(),
              "========== ZelkoVd DriverEntry START ==========\n"
              "[DriverEntry] BootInfoValid=0 ServerIp=\n"
              "========== ZelkoVd DriverEntry START ==========\n"
              "[DriverEntry] BootInfoValid=1 ServerIp=192.168.1.2\n");
}

TEST_F(Log, UnwritableOrMissingCDriveFailsSilently) {
    hk::test::MapDrive('C', cDrive, /*readOnly=*/true);
    EXPECT_EQ(FileLogWrite("[Thread] early\n"), STATUS_MEDIA_WRITE_PROTECTED);
    hk::test::UnmapDrive('C');
    EXPECT_FALSE(NT_SUCCESS(FileLogWrite("[Thread] earlier\n")));
    chmod(cDrive.c_str(), 0555);   // a volume that refuses new files (unless we may override that)
    hk::test::MapDrive('C', cDrive);
    bool refused = access(cDrive.c_str(), W_OK) != 0;
    NTSTATUS denied = FileLogWrite("[Thread] denied\n");
    if (refused) EXPECT_EQ(denied, STATUS_ACCESS_DENIED);
    chmod(cDrive.c_str(), 0755);
    EXPECT_EQ(FileLogWrite("[Thread] later\n"), STATUS_SUCCESS);
    EXPECT_EQ(FileLog(), refused ? "[Thread] later\n" : "[Thread] denied\n[Thread] later\n");
    EXPECT_TRUE(DriverLines().empty());   // the file log never reports on the debug channel
}

TEST_F(Log, ConcurrentWritersInterleaveOnlyWholeLines) {
    constexpr int kThreads = 4, kLines = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; i++) FileLogWrite("[UDP重试] writer=%d line=%03d %s\n", t, i, "0123456789abcdef");
        });
    for (auto& w : writers) w.join();
    std::istringstream in(FileLog());
    std::string line;
    int count = 0;
    std::vector<int> next(kThreads, 0);
    while (std::getline(in, line)) {
        int t = -1, i = -1;
        char tail[32] = {};
        ASSERT_EQ(sscanf(line.c_str(), "[UDP重试] writer=%d line=%d %31s", &t, &i, tail), 3) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "lines of one writer stay in order";
        EXPECT_STREQ(tail, "0123456789abcdef");
        count++;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// No fixture: the child process dies before it could clean up a mapped drive.
TEST(LogDeathTest, FileLogAbovePassiveIsFatal) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            FileLogWrite("[Thread] x\n");
        },
        "ZwCreateFile called at IRQL 2");
}

}  // namespace
