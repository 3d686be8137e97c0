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

// One connection that stays open, as a PC's session does: handshake, then writes and reads.
class PcSession {
public:
    PcSession(int port, const std::string& iqn, const std::string& clientId, const std::string* token) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        std::string payload(12, '\0');
        payload[0] = 1;
        auto put = [&](const std::string& t) {
            payload.push_back(static_cast<char>(t.size() & 0xFF));
            payload.push_back(static_cast<char>(t.size() >> 8));
            payload += t;
        };
        put(iqn);
        put(clientId);
        if (token) put(*token);
        wire::MessageHeader r{};
        if (!Exchange(wire::OpHandshake, token ? wire::FlagSuperUser : 0, 0, payload, &r)) return;
        wire::HandshakeResponse body{};
        if (r.opcode == wire::OpRespOk && r.length == sizeof body && ReadExact(fd_, &body, sizeof body)) {
            flags_ = body.flags;
            version_ = body.ver;
            ok_ = true;
        }
    }
    ~PcSession() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool ok() const { return ok_; }
    uint32_t flags() const { return flags_; }
    uint32_t version() const { return version_; }
    bool Write(uint64_t offset, const std::string& data) {
        wire::MessageHeader r{};
        return Exchange(wire::OpWrite, wire::FlagData, offset, data, &r) && r.opcode == wire::OpRespOk;
    }
    // Plain data (the disk server runs with compression off in these tests).
    std::string Read(uint64_t offset, uint32_t len) {
        wire::MessageHeader r{};
        std::string none;
        wire::MessageHeader h{};
        if (!Exchange(wire::OpRead, 0, offset, none, &r, len) || r.opcode != wire::OpRespOk) return {};
        std::string out(r.length, '\0');
        if (!ReadExact(fd_, out.data(), out.size())) return {};
        (void)h;
        return out;
    }

private:
    bool Exchange(uint8_t op, uint8_t flags, uint64_t offset, const std::string& payload, wire::MessageHeader* r,
                  uint32_t length = 0) {
        wire::MessageHeader h{};
        h.magic = wire::kMagic;
        h.version = wire::kVersion;
        h.opcode = op;
        h.flags = flags;
        h.seq = ++seq_;
        h.offset = offset;
        h.length = op == wire::OpRead ? length
                   : op == wire::OpHandshake ? static_cast<uint32_t>(payload.size() - 12)
                                             : static_cast<uint32_t>(payload.size());
        std::string msg(reinterpret_cast<char*>(&h), sizeof h);
        msg += payload;
        if (send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size())) return false;
        return ReadExact(fd_, r, sizeof *r);
    }
    int fd_ = -1;
    uint32_t seq_ = 1;
    bool ok_ = false;
    uint32_t flags_ = 0, version_ = 0;
};

std::string FileRange(const std::string& path, uint64_t offset, size_t len) {
    std::string out(len, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    ssize_t n = fd >= 0 ? pread(fd, out.data(), len, static_cast<off_t>(offset)) : -1;
    if (fd >= 0) close(fd);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::string Noise(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// Polls `pred` for up to `ms` milliseconds.
template <typename F>
bool WaitFor(F pred, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

class Diskd {
public:
    Diskd(int adminPort, int mgmtPort, std::vector<std::string> extra = {}) {
        dir_ = MakeTempDir();
        std::string ready = dir_ + "/ready";
        std::vector<std::string> args = {ZELKO_DISKD_BIN, "--listen", "127.0.0.1:0", "--udp-listen", "off",
                                         "--admin-listen", "127.0.0.1:" + std::to_string(adminPort), "--data-dir",
                                         dir_ + "/data", "--mgmt-url", "http://127.0.0.1:" + std::to_string(mgmtPort),
                                         "--link-secret", Server::kSecret, "--image-poll", "1", "--ready-file", ready};
        args.insert(args.end(), extra.begin(), extra.end());
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

// The super-user flow of the client program: switch on, the PC restarts and the operator
// installs software (writes go to the PC's layer), switch out, the PC restarts. Nothing sends
// ExitSuperUser, yet the work must end up in the image, and not while the PC still runs on it.
class SuperFlow : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(ZELKO_DISKD_BIN, X_OK) != 0) GTEST_SKIP() << "zelko-diskd not built";
        adminPort_ = FreePort();
        driverPort_ = FreePort();
        std::vector<std::string> args = {"--diskd-admin", "http://127.0.0.1:" + std::to_string(adminPort_),
                                         "--driver-listen", "127.0.0.1:" + std::to_string(driverPort_)};
        for (auto& a : MgmtExtra()) args.push_back(a);
        mgmt_ = std::make_unique<Server>(args);
        mgmt_->Start();
        int st;
        mgmt_->Admin("image add --name win10 --size 16M", &st);
        ASSERT_EQ(st, 0);
        mgmt_->Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
        ASSERT_EQ(st, 0);
        diskd_ = std::make_unique<Diskd>(adminPort_, driverPort_, std::vector<std::string>{"--compression", "off"});
        ASSERT_NE(diskd_->tcpPort(), 0) << diskd_->Log();
        login_ = mgmt_->Login("admin", Server::kAdminPassword);
        image_ = mgmt_->dataDir() + "/images/1.img";
    }
    virtual std::vector<std::string> MgmtExtra() { return {}; }
    // The driver's lookup during boot, from the PC's registered address.
    json Boot() {
        return RawRequest("127.0.0.1", mgmt_->driverPort(), "GET", "/api/disk/clients/by-mac/aabbcc001122").Json();
    }
    void Switch(bool on) {
        auto r = mgmt_->Post("/api/disk/clients/1/super", on ? R"({"isSuperClient":true})" : R"({"isSuperClient":false})",
                             login_);
        ASSERT_EQ(r.Json()["code"], 0) << r.body;
    }
    json DiskdImage() {
        return RawRequest("127.0.0.1", adminPort_, "GET", "/admin/v1/images/" + kIqn1,
                          {{"X-Zelko-Link-Secret", Server::kSecret}})
            .Json();
    }
    // The operator's session in super-user mode, with `data` written at `offset`.
    std::unique_ptr<PcSession> WorkInSuperUserMode(uint64_t offset, const std::string& data) {
        Switch(true);
        std::string token = Boot()["superUserToken"];
        EXPECT_FALSE(token.empty());
        auto su = std::make_unique<PcSession>(diskd_->tcpPort(), kIqn1, "aabbcc001122", &token);
        EXPECT_TRUE(su->ok()) << diskd_->Log();
        EXPECT_NE(su->flags() & wire::kHandshakeSuperUser, 0u);
        EXPECT_TRUE(su->Write(offset, data));
        EXPECT_EQ(su->Read(offset, static_cast<uint32_t>(data.size())), data);
        return su;
    }
    bool BaseHolds(uint64_t offset, const std::string& data) { return FileRange(image_, offset, data.size()) == data; }

    int adminPort_ = 0, driverPort_ = 0;
    std::unique_ptr<Server> mgmt_;
    std::unique_ptr<Diskd> diskd_;
    std::string login_, image_;
};

TEST_F(SuperFlow, LeavingSuperUserModeCommitsTheLayerAtTheNextBoot) {
    const uint64_t off = 5 * 4096 + 512;
    const std::string data = Noise(3 * 4096, 7);
    auto su = WorkInSuperUserMode(off, data);
    uint32_t before = su->version();

    Switch(false);
    // The PC is still running on its layer (it restarts a few seconds later): nothing merged.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(BaseHolds(off, data));
    ASSERT_EQ(DiskdImage()["superLayers"].size(), 1u) << diskd_->Log();

    // A boot signal while the old session is still connected (a PC that was reset leaves its
    // connection behind for a while): the disk server refuses the merge, the PC's normal
    // boot waits ("busy", retried by the driver) and the merge is retried.
    json b = Boot();
    EXPECT_EQ(b["superUserToken"], "");
    ASSERT_TRUE(WaitFor([&] { return diskd_->Log().find("layer merge refused") != std::string::npos; }, 10000))
        << mgmt_->Stderr() << diskd_->Log();
    EXPECT_FALSE(BaseHolds(off, data));
    PcSession waiting(diskd_->tcpPort(), kIqn1, "aabbcc001122", nullptr);
    EXPECT_FALSE(waiting.ok());
    EXPECT_NE(diskd_->Log().find("being merged"), std::string::npos) << diskd_->Log();

    su->Close();
    ASSERT_TRUE(WaitFor([&] { return BaseHolds(off, data); }, 15000)) << mgmt_->Stderr() << diskd_->Log();
    json st;
    ASSERT_TRUE(WaitFor([&] { st = DiskdImage(); return st["superLayers"].empty(); }, 5000)) << st.dump();
    EXPECT_EQ(st["version"], before + 1);

    // The driver's retry of the normal boot: the new version, the new content.
    std::unique_ptr<PcSession> normal;
    ASSERT_TRUE(WaitFor([&] {
        normal = std::make_unique<PcSession>(diskd_->tcpPort(), kIqn1, "aabbcc001122", nullptr);
        return normal->ok();
    }, 10000)) << diskd_->Log();
    EXPECT_EQ(normal->flags() & wire::kHandshakeSuperUser, 0u);
    EXPECT_EQ(normal->version(), before + 1);
    EXPECT_EQ(normal->Read(off, static_cast<uint32_t>(data.size())), data);
    // Prepare-disk is no longer held back by the PC.
    EXPECT_EQ(mgmt_->Post("/api/disk/images/1/prepare-disk", "", login_).status, 200);
}

TEST_F(SuperFlow, PendingMergeSurvivesARestartAndBlocksPrepareDisk) {
    const uint64_t off = 64 * 4096;
    const std::string data = Noise(4096, 9);
    auto su = WorkInSuperUserMode(off, data);
    su->Close();
    Switch(false);
    // Never while it is pending: prepare-disk would wipe what is waiting to be committed.
    auto busy = mgmt_->Post("/api/disk/images/1/prepare-disk", "", login_);
    EXPECT_EQ(busy.status, 409);
    EXPECT_EQ(busy.Json()["code"], 15);

    ASSERT_EQ(mgmt_->Stop(), 0);
    mgmt_->Start();  // same data directory, same ports
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(BaseHolds(off, data));  // still waiting for the PC's boot
    EXPECT_EQ(mgmt_->Post("/api/disk/images/1/prepare-disk", "", login_).status, 409);

    Boot();
    ASSERT_TRUE(WaitFor([&] { return BaseHolds(off, data); }, 15000)) << mgmt_->Stderr() << diskd_->Log();
    EXPECT_EQ(DiskdImage()["version"], 2);
}

TEST_F(SuperFlow, SwitchingBackOnBeforeTheBootKeepsWorkingOnTheSameLayer) {
    const uint64_t off = 9 * 4096;
    const std::string data = Noise(4096, 13);
    auto su = WorkInSuperUserMode(off, data);
    su->Close();
    Switch(false);
    Switch(true);
    std::string token = Boot()["superUserToken"];  // the boot signal: no merge is due any more
    PcSession again(diskd_->tcpPort(), kIqn1, "aabbcc001122", &token);
    ASSERT_TRUE(again.ok()) << diskd_->Log();
    EXPECT_EQ(again.Read(off, 4096), data);
    again.Close();
    EXPECT_EQ(mgmt_->Stderr().find("its super-user layer is merged now"), std::string::npos) << mgmt_->Stderr();
    EXPECT_FALSE(BaseHolds(off, data));
    EXPECT_EQ(DiskdImage()["version"], 1);
}

class SuperFlowQuiet : public SuperFlow {
protected:
    std::vector<std::string> MgmtExtra() override { return {"--super-merge-quiet", "2"}; }
};

TEST_F(SuperFlowQuiet, QuietLayerIsCommittedWithoutABootSignal) {
    // A PC that boots from its stored parameters never asks the management server.
    const uint64_t off = 4096;
    const std::string data = Noise(4096, 11);
    auto su = WorkInSuperUserMode(off, data);
    Switch(false);
    // Connected: however long, never merged.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_FALSE(BaseHolds(off, data));
    su->Close();
    ASSERT_TRUE(WaitFor([&] { return BaseHolds(off, data); }, 15000)) << mgmt_->Stderr() << diskd_->Log();
    EXPECT_NE(mgmt_->Stderr().find("without a boot signal"), std::string::npos);
}

// The console's state through the link: "online" is "holds a session on the disk server now"
// (not a guess from the last handshake), an upload's progress comes in bytes, and an upload
// can be closed from the console.
TEST_F(SuperFlow, ConsoleStateFollowsTheDiskServersSessionsAndUploads) {
    auto state = [&] {
        auto r = mgmt_->Get("/api/console/state", login_);
        EXPECT_EQ(r.status, 200) << r.body;
        return r.Json();
    };
    json c = state()["clients"][0];
    EXPECT_FALSE(c["online"]);
    EXPECT_EQ(c["onlineSource"], "diskd");

    auto pc = std::make_unique<PcSession>(diskd_->tcpPort(), kIqn1, "aabbcc001122", nullptr);
    ASSERT_TRUE(pc->ok()) << diskd_->Log();
    ASSERT_TRUE(pc->Write(0, Noise(8192, 1)));
    json s = state();
    c = s["clients"][0];
    EXPECT_TRUE(c["online"]);
    ASSERT_EQ(c["sessions"].size(), 1u) << c.dump();
    EXPECT_EQ(c["sessions"][0]["mode"], "normal");
    EXPECT_EQ(c["sessions"][0]["bytesWritten"], 8192);
    EXPECT_EQ(c["sessions"][0]["layerBytes"], 8192);
    EXPECT_EQ(c["sessions"][0]["peer"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
    ASSERT_EQ(s["sessions"].size(), 1u);
    EXPECT_EQ(s["sessions"][0]["client"]["name"], "pc01");
    EXPECT_EQ(s["images"][0]["sessions"], 1);
    // The PC is switched off: offline as soon as the disk server has let the session go, not
    // minutes after its last handshake.
    pc.reset();
    EXPECT_TRUE(WaitFor([&] { return state()["clients"][0]["online"] == false; }, 3000))
        << state()["clients"][0].dump();

    // An upload: the bytes written and the position reached, against the image's size.
    auto up = mgmt_->Post("/api/disk/images/upload-session", R"({"imageId":1})", login_).Json();
    std::string upToken = up["uploadToken"];
    int64_t upId = up["sessionId"];
    auto writer = std::make_unique<PcSession>(diskd_->tcpPort(), kIqn1, "aabbcc001122", &upToken);
    ASSERT_TRUE(writer->ok()) << diskd_->Log();
    ASSERT_TRUE(writer->Write(0, Noise(1 << 20, 2)));
    ASSERT_TRUE(writer->Write(8 << 20, Noise(4096, 3)));
    s = state();
    ASSERT_EQ(s["uploads"].size(), 1u);
    json u = s["uploads"][0];
    EXPECT_EQ(u["id"], upId);
    EXPECT_EQ(u["writtenBytes"], (1 << 20) + 4096);
    EXPECT_EQ(u["position"], (8 << 20) + 4096);
    EXPECT_EQ(u["totalBytes"], 16 << 20);
    EXPECT_EQ(u["percent"], 50);
    ASSERT_TRUE(u.contains("connected")) << u.dump();
    EXPECT_EQ(u["connected"]["mode"], "upload");
    EXPECT_FALSE(s["clients"][0]["online"]) << "an upload session is not the PC booting from its image";

    // Closing it from the console: administrators only, with the same checks as every change.
    int st;
    mgmt_->Admin("user add op1 --password-stdin", &st, "operator password\n");
    ASSERT_EQ(st, 0);
    std::string op = mgmt_->Login("op1", "operator password");
    EXPECT_EQ(mgmt_->Post("/api/disk/uploads/" + std::to_string(upId) + "/close", "", op).status, 403);
    EXPECT_EQ(mgmt_->Post("/api/disk/uploads/" + std::to_string(upId) + "/close", "", "").status, 401);
    EXPECT_EQ(state()["uploads"].size(), 1u);
    auto r = mgmt_->Post("/api/disk/uploads/" + std::to_string(upId) + "/close", "", login_);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(state()["uploads"].empty());
    EXPECT_FALSE(writer->Write(4096, Noise(4096, 4))) << "the closed upload's layer is gone";
    EXPECT_TRUE(DiskdImage()["superLayers"].empty());
    EXPECT_EQ(mgmt_->Post("/api/disk/uploads/" + std::to_string(upId) + "/close", "", login_).status, 404);
    EXPECT_EQ(mgmt_->Post("/api/disk/uploads/x/close", "", login_).status, 400);
    writer.reset();

    // Without the disk server the page still gets its state, with the guess marked as one.
    diskd_.reset();
    s = state();
    EXPECT_TRUE(s.contains("diskdError"));
    EXPECT_EQ(s["clients"][0]["onlineSource"], "handshake");
    EXPECT_FALSE(s["sessionsKnown"]);
}

}  // namespace
