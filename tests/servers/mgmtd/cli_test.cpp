// zelko-mgmtd's command line: help and version, a data directory that must exist unless asked
// for, and paths that do not depend on where the command was run.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "harness.h"

using namespace mgmtd_test;

namespace {

// Runs a shell command line; returns stdout and sets *status to the exit code.
std::string Shell(const std::string& cmd, int* status, bool withStderr = true) {
    std::string out;
    FILE* p = popen((cmd + (withStderr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

const std::string kBin = ZELKO_MGMTD_BIN;

TEST(MgmtdCli, HelpAndVersionAnswerForEveryCommand) {
    int st;
    for (const char* args : {"--help", "serve --help", "admin --help", "admin image list --help"}) {
        std::string out = Shell(kBin + " " + args, &st);
        EXPECT_EQ(st, 0) << args << ": " << out;
        EXPECT_NE(out.find("usage:"), std::string::npos) << args;
        EXPECT_EQ(out.find("unknown"), std::string::npos) << args;
    }
    EXPECT_NE(Shell(kBin + " serve --help", &st).find("--max-connections-per-address"), std::string::npos);
    EXPECT_NE(Shell(kBin + " admin --help", &st).find("client super ID on|off"), std::string::npos);
    for (const char* args : {"--version", "serve --version", "admin --version"}) {
        std::string out = Shell(kBin + " " + args, &st);
        EXPECT_EQ(st, 0) << args;
        EXPECT_EQ(out.rfind("zelko-mgmtd ", 0), 0u) << out;
    }
    EXPECT_EQ((Shell(kBin + " admin image frobnicate", &st), st), 2);
    EXPECT_EQ((Shell(kBin + " serve --no-such-flag", &st), st), 2);
}

TEST(MgmtdCli, AMistypedDataDirectoryIsRefusedNotCreated) {
    std::string dir = MakeTempDir();
    int st;
    std::string out = Shell(kBin + " admin --data-dir " + dir + "/typo image list", &st);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("no database"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir + "/typo"));
    // An existing directory without a database is no better.
    Shell(kBin + " admin --data-dir " + dir + " image list", &st);
    EXPECT_EQ(st, 1);
    EXPECT_FALSE(std::filesystem::exists(dir + "/mgmtd.db"));

    Shell(kBin + " admin --data-dir " + dir + "/new --create image list", &st);
    EXPECT_EQ(st, 0);
    EXPECT_TRUE(std::filesystem::exists(dir + "/new/mgmtd.db"));
    struct stat sb{};
    ASSERT_EQ(stat((dir + "/new").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0700u);  // it will hold the super-user tokens
    RemoveTree(dir);
}

TEST(MgmtdCli, RelativeDirectoriesStoreAbsoluteImagePaths) {
    std::string dir = MakeTempDir();
    int st;
    std::string out = Shell("cd " + dir + " && " + kBin + " admin --data-dir ./rel --create image add --name a --size 1M",
                          &st, false);
    ASSERT_EQ(st, 0) << out;
    auto j = json::parse(out, nullptr, false);
    EXPECT_EQ(j["path"], dir + "/rel/images/1.img");
    out = Shell("cd " + dir + " && " + kBin + " admin --data-dir rel image add --name b --size 1M --path imgs/../b.img",
              &st, false);
    ASSERT_EQ(st, 0) << out;
    EXPECT_EQ(json::parse(out, nullptr, false)["path"], dir + "/b.img");
    RemoveTree(dir);
}

}  // namespace
