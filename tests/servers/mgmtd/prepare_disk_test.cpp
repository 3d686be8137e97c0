// Prepare-disk, checked with the tools an administrator would use: sfdisk reads the partition
// table, ntfs-3g's ntfsinfo/ntfsls read the file system.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "harness.h"
#include "zelko_common/prepare_disk.h"

using namespace mgmtd_test;
using zelko::common::PrepareDiskOptions;
using zelko::common::PrepareDiskResult;
using zelko::common::PrepareNtfsDisk;

namespace {

std::string Shell(const std::string& cmd, int* status = nullptr) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// Asserts what Windows' setup and the café's PCs rely on: one active NTFS partition from LBA
// 2048 to the end, and a file system ntfs-3g can read.
void ExpectPreparedDisk(const std::string& image, uint64_t size) {
    int st;
    std::string dump = Shell("sfdisk --dump '" + image + "'", &st);
    ASSERT_EQ(st, 0) << dump;
    EXPECT_NE(dump.find("label: dos"), std::string::npos) << dump;
    uint64_t sectors = size / 512 - 2048;
    std::string line = "start=        2048, size=" + std::string(12 - std::to_string(sectors).size(), ' ') +
                       std::to_string(sectors) + ", type=7, bootable";
    EXPECT_NE(dump.find(line), std::string::npos) << dump;
    // Exactly one partition.
    EXPECT_EQ(dump.find("start=", dump.find("start=") + 1), std::string::npos) << dump;

    std::string part = image + ".part-under-test";
    ASSERT_EQ(Shell("dd if='" + image + "' of='" + part + "' bs=1M skip=1 conv=sparse status=none", &st), "");
    std::string info = Shell("ntfsinfo -m '" + part + "'", &st);
    EXPECT_EQ(st, 0) << info;
    EXPECT_NE(info.find("Volume Name: Zelko"), std::string::npos) << info;
    EXPECT_NE(info.find("Sector Size: 512"), std::string::npos) << info;
    std::string ls = Shell("ntfsls -s '" + part + "'", &st);
    EXPECT_EQ(st, 0) << ls;
    EXPECT_NE(ls.find("$MFT"), std::string::npos) << ls;
    EXPECT_NE(ls.find("$Boot"), std::string::npos) << ls;
    // The boot sector knows where it lives; Windows will not boot a volume without it.
    std::ifstream in(part, std::ios::binary);
    unsigned char boot[512];
    in.read(reinterpret_cast<char*>(boot), sizeof boot);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot + 3), 8), "NTFS    ");
    uint32_t hidden = boot[0x1C] | boot[0x1D] << 8 | boot[0x1E] << 16 | uint32_t(boot[0x1F]) << 24;
    EXPECT_EQ(hidden, 2048u);
    unlink(part.c_str());
}

std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
    return out;
}

class PrepareDisk : public ::testing::Test {
protected:
    void SetUp() override { dir_ = MakeTempDir(); }
    void TearDown() override { RemoveTree(dir_); }
    std::string dir_;
};

TEST_F(PrepareDisk, NewImageGetsActiveNtfsPartitionAndStaysSparse) {
    std::string image = dir_ + "/a.img";
    PrepareDiskOptions opt;
    opt.sizeBytes = 64ull << 20;
    PrepareDiskResult r;
    std::string error;
    ASSERT_TRUE(PrepareNtfsDisk(image, opt, &r, &error)) << error;
    EXPECT_EQ(r.partitionStartLba, 2048u);
    EXPECT_EQ(r.partitionSectors, (64u << 20) / 512 - 2048);
    EXPECT_NE(r.diskSignature, 0u);
    ExpectPreparedDisk(image, 64ull << 20);
    struct stat st {};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 64 << 20);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 16ull << 20);
    EXPECT_EQ(DirEntries(dir_), std::vector<std::string>{"a.img"});  // no temporaries left
}

TEST_F(PrepareDisk, ReplacesOldContentButKeepsItWhenFormattingFails) {
    std::string image = dir_ + "/b.img";
    {
        std::ofstream out(image, std::ios::binary);
        std::string junk(32 << 20, '\xAB');
        out.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    PrepareDiskOptions broken;
    broken.mkntfsPath = "/bin/false";
    std::string error;
    EXPECT_FALSE(PrepareNtfsDisk(image, broken, nullptr, &error));
    EXPECT_NE(error.find("exited with status 1"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(image), std::string(32 << 20, '\xAB'));
    EXPECT_EQ(DirEntries(dir_), std::vector<std::string>{"b.img"});

    ASSERT_TRUE(PrepareNtfsDisk(image, PrepareDiskOptions{}, nullptr, &error)) << error;
    ExpectPreparedDisk(image, 32ull << 20);
    // The space between the MBR and the partition is cleared, not left from the old content.
    std::string head = ReadFile(image).substr(512, (1 << 20) - 512);
    EXPECT_EQ(head, std::string(head.size(), '\0'));
}

TEST_F(PrepareDisk, RefusesSizesItCannotFormat) {
    std::string error;
    PrepareDiskOptions tiny;
    tiny.sizeBytes = 4 << 20;
    EXPECT_FALSE(PrepareNtfsDisk(dir_ + "/c.img", tiny, nullptr, &error));
    EXPECT_NE(error.find("too small"), std::string::npos);
    EXPECT_FALSE(PrepareNtfsDisk(dir_ + "/missing.img", PrepareDiskOptions{}, nullptr, &error));
    PrepareDiskOptions huge;
    huge.sizeBytes = 3ull << 40;  // beyond what an MBR addresses
    EXPECT_FALSE(PrepareNtfsDisk(dir_ + "/d.img", huge, nullptr, &error));
    EXPECT_TRUE(DirEntries(dir_).empty());
}

// Through the management server without a disk server: the same preparation, plus the rules.
TEST(MgmtdPrepareDisk, RefusedWhileSuperUserOrUploadIsOpenThenPrepares) {
    Server server;
    server.Start();
    int st;
    server.Admin("image add --name win10 --size 64M", &st);
    ASSERT_EQ(st, 0);
    server.Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
    server.Admin("image add --name ro --size 16M --read-only", &st);
    std::string token = server.Login("admin", Server::kAdminPassword);
    std::string image = server.dataDir() + "/images/1.img";

    server.Post("/api/disk/clients/1/super", R"({"isSuperClient":true})", token);
    auto busy = server.Post("/api/disk/images/1/prepare-disk", "", token);
    EXPECT_EQ(busy.status, 409);
    EXPECT_EQ(busy.Json()["code"], 15);
    EXPECT_NE(busy.Json()["message"].get<std::string>().find("pc01"), std::string::npos);
    server.Post("/api/disk/clients/1/super", R"({"isSuperClient":false})", token);

    auto up = server.Post("/api/disk/images/upload-session", R"({"imageId":1})", token).Json();
    auto uploading = server.Post("/api/disk/images/1/prepare-disk", "", token);
    EXPECT_EQ(uploading.status, 409);
    EXPECT_EQ(uploading.Json()["code"], 15);
    server.Admin("upload close " + std::to_string(up["sessionId"].get<int>()), &st);
    ASSERT_EQ(st, 0);
    // Nothing was touched by the refusals.
    EXPECT_NE(Shell("sfdisk --dump '" + image + "'").find("does not contain a recognized partition table"), std::string::npos);

    auto ok = server.Post("/api/disk/images/1/prepare-disk", "", token);
    ASSERT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(ok.Json()["code"], 0);
    EXPECT_EQ(ok.Json()["version"], 2);
    ExpectPreparedDisk(image, 64ull << 20);
    EXPECT_EQ(server.Post("/api/disk/images/1/prepare-disk", "", token).Json()["version"], 3);

    EXPECT_EQ(server.Post("/api/disk/images/2/prepare-disk", "", token).status, 409);  // read-only
    EXPECT_EQ(server.Post("/api/disk/images/9/prepare-disk", "", token).status, 404);
    EXPECT_EQ(server.Post("/api/disk/images/x/prepare-disk", "", token).status, 400);
}

}  // namespace
