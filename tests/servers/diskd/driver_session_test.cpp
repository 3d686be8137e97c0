// zelko-diskd against the driver's own protocol code (zelkovd-host session runs the driver's
// session, maintenance and transport routines on the host kernel).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "diskd_harness.h"

using namespace diskd_test;
using nlohmann::json;

namespace {

const std::string kIqn = "iqn.2024-01.test:image.1";
constexpr uint64_t kSize = 8u << 20;

std::vector<json> RunSession(const std::string& args, int* rc, std::string* raw) {
    std::string cmd = std::string(ZELKO_ZELKOVD_HOST) + " session " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    raw->clear();
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) raw->append(buf, n);
    int st = pclose(p);
    *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::vector<json> lines;
    std::stringstream ss(*raw);
    std::string line;
    while (std::getline(ss, line))
        if (!line.empty() && line[0] == '{') lines.push_back(json::parse(line));
    return lines;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& d) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(d.data()), d.size());
}

TEST(DriverSessionTest, DriverProtocolCodeAgainstTheServer) {
    TempDir dir;
    MakeImage(dir / "a.img", kSize);
    // A compressible but not trivial stretch, so that the driver decodes real matches.
    std::string text;
    while (text.size() < (1u << 20)) text += "boot sector " + std::to_string(text.size() % 251) + "; ";
    {
        std::fstream f(dir / "a.img", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4u << 20);
        f.write(text.data(), 1u << 20);
    }
    Server s(dir.path(), {"--image", kIqn + "=" + dir / "a.img", "--token", "tk=" + kIqn});
    ASSERT_TRUE(s.running()) << s.Log();
    auto original = ReadFileRange(dir / "a.img", 0, 1u << 20);
    auto data = Pattern(65536 + 512, 3);
    WriteFile(dir / "w.bin", data);
    std::string server = "--server 127.0.0.1:" + std::to_string(s.tcpPort()) + " --iqn " + kIqn;
    int rc = 0;
    std::string raw;
    auto lines = RunSession(server + " --client-id pc1 --super-user tk connect handshake negotiate 3 read 0 1048576 " +
                                dir / "r0.bin" + " read 4194304 1048576 " + dir / "r1.bin" + " write 12345 " +
                                dir / "w.bin" + " read 12345 66048 " + dir / "back.bin" +
                                " batch-read 0:4096,8192:512 " + dir / "b.bin" + " ping exit-super 1",
                            &rc, &raw);
    ASSERT_EQ(rc, 0) << raw << s.Log();
    ASSERT_EQ(lines.size(), 10u) << raw;
    EXPECT_EQ(lines[1]["superUser"], true);
    EXPECT_EQ(lines[1]["size"], kSize);
    EXPECT_EQ(lines[2]["udpPort"], s.udpPort());
    EXPECT_EQ(ReadFileRange(dir / "r0.bin", 0, 1u << 20), original);
    EXPECT_EQ(ReadFileRange(dir / "r1.bin", 0, 1u << 20), std::vector<uint8_t>(text.begin(), text.begin() + (1u << 20)));
    EXPECT_EQ(ReadFileRange(dir / "back.bin", 0, data.size()), data);
    auto b = ReadFileRange(dir / "b.bin", 0, 4608);
    std::vector<uint8_t> want(original.begin(), original.begin() + 4096);
    want.insert(want.end(), original.begin() + 8192, original.begin() + 8192 + 512);
    EXPECT_EQ(b, want);
    EXPECT_EQ(lines[9]["blocks"], 17);  // 66048 bytes at 12345 touch 4 KiB blocks 3..19
    EXPECT_EQ(ReadFileRange(dir / "a.img", 12345, data.size()), data);

    // A normal session sees the merged version; an unknown image is a rejection.
    lines = RunSession(server + " --client-id pc2 connect handshake", &rc, &raw);
    ASSERT_EQ(rc, 0) << raw;
    EXPECT_EQ(lines[1]["imageVersion"], 2);
    EXPECT_EQ(lines[1]["superUser"], false);
    lines = RunSession("--server 127.0.0.1:" + std::to_string(s.tcpPort()) + " --iqn iqn.none --client-id x connect handshake",
                       &rc, &raw);
    EXPECT_NE(rc, 0);
    ASSERT_EQ(lines.size(), 2u) << raw;
    EXPECT_EQ(lines[1]["status"], "0xC0000022");  // STATUS_ACCESS_DENIED from server error 3
    EXPECT_EQ(s.Stop(), 0);
}

}  // namespace
