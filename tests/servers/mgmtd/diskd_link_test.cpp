// zelko-mgmtd together with the real zelko-diskd: the disk server learns images and tokens over
// the link, and prepare-disk runs on the disk server. Skipped when zelko-diskd is not built.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "ZelkoWire.h"
#include "harness.h"

using namespace mgmtd_test;
namespace wire = zelko::wire;

namespace {

const std::string kIqn1 = "iqn.2024-01.net.zelko:image.1";
const std::string kIqn2 = "iqn.2024-01.net.zelko:image.2";

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

struct HandshakeResult {
    int opcode = 0;  // 0x40 accepted, 0x41 refused, 0 no answer
    uint32_t flags = 0;
    uint32_t version = 0;
};

bool ReadExact(int fd, void* buf, size_t n) {
    auto* p = static_cast<char*>(buf);
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A Handshake laid out as the driver sends it.
HandshakeResult Handshake(int port, const std::string& iqn, const std::string& clientId, const std::string* token) {
    HandshakeResult out;
    std::string payload(12, '\0');
    payload[0] = 1;
    auto put16 = [&](size_t v) {
        payload.push_back(static_cast<char>(v & 0xFF));
        payload.push_back(static_cast<char>(v >> 8));
    };
    put16(iqn.size());
    payload += iqn;
    put16(clientId.size());
    payload += clientId;
    if (token) {
        put16(token->size());
        payload += *token;
    }
    wire::MessageHeader h{};
    h.magic = wire::kMagic;
    h.version = wire::kVersion;
    h.opcode = wire::OpHandshake;
    h.flags = token ? wire::FlagSuperUser : 0;
    h.seq = 2;
    h.length = static_cast<uint32_t>(payload.size() - 12);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string msg(reinterpret_cast<char*>(&h), sizeof h);
        msg += payload;
        send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
        wire::MessageHeader r{};
        if (ReadExact(fd, &r, sizeof r)) {
            out.opcode = r.opcode;
            wire::HandshakeResponse body{};
            if (r.opcode == wire::OpRespOk && r.length == sizeof body && ReadExact(fd, &body, sizeof body)) {
                out.flags = body.flags;
                out.version = body.ver;
            }
        }
    }
    close(fd);
    return out;
}

class Diskd {
public:
    Diskd(int adminPort, int mgmtPort) {
        dir_ = MakeTempDir();
        std::string ready = dir_ + "/ready";
        std::vector<std::string> args = {ZELKO_DISKD_BIN, "--listen", "127.0.0.1:0", "--udp-listen", "off",
                                         "--admin-listen", "127.0.0.1:" + std::to_string(adminPort), "--data-dir",
                                         dir_ + "/data", "--mgmt-url", "http://127.0.0.1:" + std::to_string(mgmtPort),
                                         "--link-secret", Server::kSecret, "--image-poll", "1", "--ready-file", ready};
        std::vector<char*> argv;
        for (auto& s : args) argv.push_back(s.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, (dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 1500 && tcpPort_ == 0; ++i) {
            auto j = json::parse(ReadFile(ready), nullptr, false);
            if (j.is_object()) tcpPort_ = j["tcpPort"];
            else std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Diskd() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st;
            waitpid(pid_, &st, 0);
        }
        RemoveTree(dir_);
    }
    int tcpPort() const { return tcpPort_; }
    std::string Log() const { return ReadFile(dir_ + "/stderr"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int tcpPort_ = 0;
};

TEST(MgmtdWithDiskd, TokensAndPrepareDiskOverTheLink) {
    if (access(ZELKO_DISKD_BIN, X_OK) != 0) GTEST_SKIP() << "zelko-diskd not built";
    int adminPort = FreePort();
    Server mgmt({"--diskd-admin", "http://127.0.0.1:" + std::to_string(adminPort)});
    mgmt.Start();
    int st;
    mgmt.Admin("image add --name win10 --size 64M", &st);
    ASSERT_EQ(st, 0);
    mgmt.Admin("image add --name other --size 16M", &st);
    mgmt.Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
    Diskd diskd(adminPort, mgmt.driverPort());
    ASSERT_NE(diskd.tcpPort(), 0) << diskd.Log();
    std::string token = mgmt.Login("admin", Server::kAdminPassword);

    // A normal session for a known image; an unknown image is refused.
    auto normal = Handshake(diskd.tcpPort(), kIqn1, "aabbcc001122", nullptr);
    ASSERT_EQ(normal.opcode, wire::OpRespOk) << diskd.Log();
    EXPECT_EQ(normal.flags & wire::kHandshakeSuperUser, 0u);
    EXPECT_EQ(Handshake(diskd.tcpPort(), "iqn.2024-01.net.zelko:image.9", "x", nullptr).opcode, wire::OpRespError);

    // The upload token opens a super-user session on its own image only.
    auto up = mgmt.Post("/api/disk/images/upload-session", R"({"imageId":1})", token).Json();
    std::string upload = up["uploadToken"];
    auto granted = Handshake(diskd.tcpPort(), kIqn1, "aabbcc001122", &upload);
    EXPECT_EQ(granted.opcode, wire::OpRespOk);
    EXPECT_NE(granted.flags & wire::kHandshakeSuperUser, 0u);
    EXPECT_EQ(Handshake(diskd.tcpPort(), kIqn2, "aabbcc001122", &upload).opcode, wire::OpRespError);
    std::string forged = upload.substr(0, upload.size() - 1) + (upload.back() == '0' ? "1" : "0");
    EXPECT_EQ(Handshake(diskd.tcpPort(), kIqn1, "aabbcc001122", &forged).opcode, wire::OpRespError);

    // Prepare-disk waits for the upload to end, then runs on the disk server.
    EXPECT_EQ(mgmt.Post("/api/disk/images/1/prepare-disk", "", token).status, 409);
    mgmt.Admin("upload close " + std::to_string(up["sessionId"].get<int>()), &st);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // past the disk server's positive cache
    EXPECT_EQ(Handshake(diskd.tcpPort(), kIqn1, "aabbcc001122", &upload).opcode, wire::OpRespError);
    auto prepared = mgmt.Post("/api/disk/images/1/prepare-disk", "", token);
    ASSERT_EQ(prepared.status, 200) << prepared.body << diskd.Log();
    EXPECT_GT(prepared.Json()["version"].get<uint32_t>(), normal.version);
    auto after = Handshake(diskd.tcpPort(), kIqn1, "aabbcc001122", nullptr);
    EXPECT_EQ(after.version, prepared.Json()["version"].get<uint32_t>());
    FILE* p = popen(("sfdisk --dump '" + mgmt.dataDir() + "/images/1.img' 2>&1").c_str(), "r");
    char buf[4096];
    std::string dump(buf, fread(buf, 1, sizeof buf, p));
    pclose(p);
    EXPECT_NE(dump.find("start=        2048, size=      129024, type=7, bootable"), std::string::npos) << dump;

    // The PC's own super-user token, presented from its registered address.
    mgmt.Post("/api/disk/clients/1/super", R"({"isSuperClient":true})", token);
    std::string superToken = RawRequest("127.0.0.1", mgmt.driverPort(), "GET", "/api/disk/clients/by-mac/aabbcc001122")
                                 .Json()["superUserToken"];
    auto su = Handshake(diskd.tcpPort(), kIqn1, "aabbcc001122", &superToken);
    EXPECT_EQ(su.opcode, wire::OpRespOk);
    EXPECT_NE(su.flags & wire::kHandshakeSuperUser, 0u);
    EXPECT_EQ(Handshake(diskd.tcpPort(), kIqn2, "aabbcc001122", &superToken).opcode, wire::OpRespError);
}

}  // namespace
