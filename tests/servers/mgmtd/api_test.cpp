// The HTTP contract of zelko-mgmtd as the client program, the driver and the disk server see
// it, against the real binary on loopback.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "harness.h"

using namespace mgmtd_test;

namespace {

const std::string kIqn1 = "iqn.2024-01.net.zelko:image.1";
const std::string kIqn2 = "iqn.2024-01.net.zelko:image.2";

class MgmtdApi : public ::testing::Test {
protected:
    void SetUp() override {
        server_.Start();
        token_ = server_.Login("admin", Server::kAdminPassword);
        ASSERT_FALSE(token_.empty());
    }
    json AdminJson(const std::string& args) {
        int status = -1;
        std::string out = server_.Admin(args, &status);
        EXPECT_EQ(status, 0) << args << ": " << ReadFile(server_.dataDir() + "/../admin-stderr");
        return json::parse(out, nullptr, false);
    }
    // Image 1 (64 MiB) and PC 1 "pc01" with MAC AA-BB-CC-00-11-22 at 127.0.0.1, booting image 1.
    void AddImageAndClient() {
        AdminJson("image add --name win10 --size 64M");
        AdminJson("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1");
    }
    json ByMac(const std::string& mac, const std::string& from = "127.0.0.1") {
        return RawRequest(from, server_.driverPort(), "GET", "/api/disk/clients/by-mac/" + mac).Json();
    }
    json Super(int64_t id, bool on) {
        auto r = server_.Post("/api/disk/clients/" + std::to_string(id) + "/super",
                              on ? "{\"isSuperClient\":true}" : "{\"isSuperClient\":false}", token_);
        EXPECT_EQ(r.status, 200);
        return r.Json();
    }
    json Check(const json& body) {
        auto r = server_.Internal("POST", "/internal/v1/sessions/check", body.dump(), Server::kSecret);
        EXPECT_EQ(r.status, 200) << r.body;
        return r.Json();
    }

    Server server_;
    std::string token_;
};

TEST_F(MgmtdApi, LoginSucceedsAndRefusesWithTextsTheClientShows) {
    auto ok = server_.Post("/api/auth/disk/login", R"({"username":"admin","password":"correct horse battery"})").Json();
    EXPECT_EQ(ok["code"], 0);
    EXPECT_GE(ok["accessToken"].get<std::string>().size(), 32u);

    // Refusals are HTTP 200 with a code and message, so the operator sees the text.
    for (const char* body : {R"({"username":"admin","password":"wrong"})", R"({"username":"nobody","password":"x"})"}) {
        auto r = server_.Post("/api/auth/disk/login", body);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Json()["code"], 401);
        EXPECT_EQ(r.Json()["message"], "用户名或密码错误");
        EXPECT_FALSE(r.Json().contains("accessToken"));
    }
    for (const char* body : {"not json", "[1,2]", R"({"username":"admin"})", R"({"username":1,"password":"x"})"}) {
        auto j = server_.Post("/api/auth/disk/login", body).Json();
        EXPECT_EQ(j["code"], 400) << body;
        EXPECT_FALSE(j["message"].get<std::string>().empty());
    }
}

TEST_F(MgmtdApi, BearerTokenIsRequiredExceptForLoginAndByMac) {
    AddImageAndClient();
    for (auto [method, path] : std::vector<std::pair<std::string, std::string>>{
             {"GET", "/api/disk/images?page=1&pageSize=100"},
             {"POST", "/api/disk/clients/1/super"},
             {"POST", "/api/disk/images/1/prepare-disk"},
             {"POST", "/api/disk/images/upload-session"},
             {"GET", "/api/disk/clients"},
             {"GET", "/api/users"}}) {
        for (const std::string& tok : {std::string(), std::string("0123456789abcdef")}) {
            auto r = server_.Send(method, path, method == "POST" ? "{}" : "", tok);
            EXPECT_EQ(r.status, 401) << method << " " << path;
            EXPECT_EQ(r.Json()["code"], 401);
            EXPECT_FALSE(r.Json()["message"].get<std::string>().empty());
        }
    }
    EXPECT_EQ(ByMac("aabbcc001122")["code"], 0);

    // Logging out ends the token.
    auto r = server_.Post("/api/auth/disk/logout", "", token_);
    EXPECT_EQ(r.Json()["code"], 0);
    EXPECT_EQ(server_.Get("/api/disk/images", token_).status, 401);
}

TEST_F(MgmtdApi, LoginFailuresAreRateLimitedPerSourceAndUser) {
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(server_.Post("/api/auth/disk/login", R"({"username":"admin","password":"guess"})").Json()["code"], 401);
    // Locked now: even the right password is refused without being checked.
    auto locked = server_.Post("/api/auth/disk/login", R"({"username":"admin","password":"correct horse battery"})").Json();
    EXPECT_EQ(locked["code"], 429);
    EXPECT_NE(locked["message"].get<std::string>().find("秒后再试"), std::string::npos);
    // The operator at another PC is not locked out by the guesser.
    auto other = RawRequest("127.0.0.2", server_.clientPort(), "POST", "/api/auth/disk/login",
                            {{"Content-Type", "application/json"}},
                            R"({"username":"admin","password":"correct horse battery"})").Json();
    EXPECT_EQ(other["code"], 0);
}

TEST_F(MgmtdApi, ByMacAcceptsBothFormsAndAnswersTheDriversKeysFirst) {
    AddImageAndClient();
    for (const char* mac : {"AA-BB-CC-00-11-22", "aabbcc001122", "aa:bb:cc:00:11:22", "AABBCC001122"}) {
        auto j = ByMac(mac);
        EXPECT_EQ(j["code"], 0) << mac;
        EXPECT_EQ(j["id"], 1);
        EXPECT_EQ(j["isSuperClient"], false);
        EXPECT_EQ(j["imageIqn"], kIqn1);
        EXPECT_EQ(j["imageId"], 1);
        EXPECT_EQ(j["macAddress"], "AA-BB-CC-00-11-22");
        EXPECT_EQ(j["superUserToken"], "");
    }
    auto unknown = ByMac("AA-BB-CC-00-11-23");
    EXPECT_EQ(unknown["code"], 404);
    EXPECT_EQ(unknown["message"], "客户机未在服务端注册");
    for (const char* bad : {"AA-BB-CC-00-11", "zzbbcc001122", "AA-BB:CC-00-11-22", "%00"})
        EXPECT_EQ(ByMac(bad)["code"], 400) << bad;

    // The driver finds each key by its first quoted occurrence: a PC named like one of its keys
    // must not shadow the real member.
    AdminJson("client add --mac 001122334455 --name imageIqn --ip 127.0.0.3 --image 1");
    auto raw = RawRequest("127.0.0.1", server_.driverPort(), "GET", "/api/disk/clients/by-mac/001122334455").body;
    ASSERT_EQ(raw.rfind("{\"code\":0,", 0), 0u) << raw;
    size_t key = raw.find("\"imageIqn\"");
    EXPECT_EQ(raw.substr(key, 13 + kIqn1.size()), "\"imageIqn\":\"" + kIqn1 + "\"");
    EXPECT_LT(raw.size(), 8191u);
}

TEST_F(MgmtdApi, DriverLookupIsTheBootSignalOnlyFromThePcItself) {
    AddImageAndClient();
    // The boot count is the console's to see; the lookup itself does not tell it.
    auto bootId = [&] { return server_.Get("/api/disk/clients/1", token_).Json()["bootId"]; };
    ByMac("AA-BB-CC-00-11-22");  // the client program's form: no boot
    EXPECT_EQ(bootId(), 0);
    EXPECT_FALSE(ByMac("aabbcc001122").contains("bootId"));
    EXPECT_EQ(bootId(), 1);
    ByMac("aabbcc001122");
    EXPECT_EQ(bootId(), 2);
    ByMac("aabbcc001122", "127.0.0.2");  // someone else cannot reboot it
    EXPECT_EQ(bootId(), 2);
    auto check = Check({{"iqn", kIqn1}, {"clientId", "aabbcc001122"}, {"peerIp", "127.0.0.1"}});
    EXPECT_EQ(check["bootId"], 2);
    EXPECT_EQ(check["clientKey"], "client-1");
}

TEST_F(MgmtdApi, ImageListPagesAndSkipsNothing) {
    for (int i = 1; i <= 3; ++i) AdminJson("image add --name img" + std::to_string(i) + " --size 2M");
    auto all = server_.Get("/api/disk/images?page=1&pageSize=100", token_).Json();
    ASSERT_EQ(all["code"], 0);
    ASSERT_EQ(all["items"].size(), 3u);
    EXPECT_EQ(all["items"][0]["id"], 1);
    EXPECT_EQ(all["items"][0]["name"], "img1");
    EXPECT_EQ(all["total"], 3);
    auto p2 = server_.Get("/api/disk/images?page=2&pageSize=2", token_).Json();
    ASSERT_EQ(p2["items"].size(), 1u);
    EXPECT_EQ(p2["items"][0]["name"], "img3");
    EXPECT_TRUE(server_.Get("/api/disk/images?page=3&pageSize=2", token_).Json()["items"].empty());
    for (const char* q : {"page=0", "pageSize=0", "pageSize=1001", "page=x", "page=-1"})
        EXPECT_EQ(server_.Get(std::string("/api/disk/images?") + q, token_).Json()["code"], 400) << q;
}

TEST_F(MgmtdApi, SuperSwitchReleasesTheTokenOnlyToTheRegisteredAddress) {
    AddImageAndClient();
    auto on = Super(1, true);
    EXPECT_EQ(on["code"], 0);
    auto mine = ByMac("aabbcc001122");
    std::string token = mine["superUserToken"];
    EXPECT_EQ(mine["isSuperClient"], true);
    ASSERT_FALSE(token.empty());
    EXPECT_LE(token.size(), 63u);  // the driver keeps at most 63 characters
    for (char c : token) EXPECT_TRUE(c > 0x20 && c < 0x7F);
    // Another machine that knows the MAC learns the mode but not the token.
    auto theirs = ByMac("aabbcc001122", "127.0.0.2");
    EXPECT_EQ(theirs["isSuperClient"], true);
    EXPECT_EQ(theirs["superUserToken"], "");
    EXPECT_EQ(ByMac("AA-BB-CC-00-11-22", "127.0.0.2")["superUserToken"], "");
    // Switching on again keeps the token the driver already holds.
    EXPECT_EQ(Super(1, true)["code"], 0);
    EXPECT_EQ(ByMac("aabbcc001122")["superUserToken"], token);

    EXPECT_EQ(Super(1, false)["code"], 0);
    auto off = ByMac("aabbcc001122");
    EXPECT_EQ(off["isSuperClient"], false);
    EXPECT_EQ(off["superUserToken"], "");
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"peerIp", "127.0.0.1"}, {"token", token}})["allowed"], false);
    // A new switch issues a new token.
    Super(1, true);
    EXPECT_NE(ByMac("aabbcc001122")["superUserToken"], token);
}

TEST_F(MgmtdApi, SuperSwitchRefusals) {
    AddImageAndClient();
    AdminJson("client add --mac 00-00-00-00-00-02 --name noip --image 1");
    AdminJson("client add --mac 00-00-00-00-00-03 --name noimage --ip 127.0.0.3");
    EXPECT_EQ(Super(2, true)["code"], 409);  // no registered address to release the token to
    EXPECT_EQ(Super(3, true)["code"], 409);  // nothing to write to
    EXPECT_EQ(Super(99, true)["code"], 404);
    for (const char* body : {"", "{}", R"({"isSuperClient":1})", R"({"isSuperClient":"true"})", "nope"}) {
        auto j = server_.Post("/api/disk/clients/1/super", body, token_).Json();
        EXPECT_EQ(j["code"], 400) << body;
    }
    EXPECT_EQ(server_.Post("/api/disk/clients/abc/super", R"({"isSuperClient":true})", token_).Json()["code"], 400);
    EXPECT_FALSE(ByMac("aabbcc001122")["isSuperClient"]);
}

TEST_F(MgmtdApi, SessionCheckRulesForTheDiskServer) {
    AddImageAndClient();
    AdminJson("image add --name other --size 2M");
    Super(1, true);
    std::string superToken = ByMac("aabbcc001122")["superUserToken"];
    auto up = server_.Post("/api/disk/images/upload-session", R"({"imageId":1})", token_).Json();
    ASSERT_EQ(up["code"], 0);
    std::string uploadToken = up["uploadToken"];
    EXPECT_LE(uploadToken.size(), 63u);
    EXPECT_EQ(up["data"][0]["uploadToken"], uploadToken);

    // Without the secret nothing is answered.
    for (const std::string& secret : {std::string(), std::string("wrong"), std::string(Server::kSecret) + "x"}) {
        auto r = server_.Internal("POST", "/internal/v1/sessions/check", json{{"iqn", kIqn1}}.dump(), secret);
        EXPECT_EQ(r.status, 401);
        EXPECT_EQ(r.body, R"({"code":401,"message":"link secret mismatch"})");
    }

    auto normal = Check({{"iqn", kIqn1}, {"clientId", "pc-x"}, {"peerIp", "10.1.2.3"}});
    EXPECT_EQ(normal["allowed"], true);
    EXPECT_EQ(normal["superUser"], false);
    EXPECT_EQ(normal["clientKey"], "");
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"token", ""}})["allowed"], true);

    auto sup = Check({{"iqn", kIqn1}, {"clientId", "x"}, {"peerIp", "127.0.0.1"}, {"token", superToken}});
    EXPECT_EQ(sup["allowed"], true);
    EXPECT_EQ(sup["superUser"], true);
    EXPECT_EQ(sup["tokenKind"], "super");
    EXPECT_EQ(sup["clientKey"], "client-1");
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"peerIp", "127.0.0.2"}, {"token", superToken}})["allowed"], false);
    EXPECT_EQ(Check({{"iqn", kIqn2}, {"peerIp", "127.0.0.1"}, {"token", superToken}})["allowed"], false);

    auto upl = Check({{"iqn", kIqn1}, {"peerIp", "10.9.9.9"}, {"token", uploadToken}});
    EXPECT_EQ(upl["allowed"], true);
    EXPECT_EQ(upl["superUser"], true);
    EXPECT_EQ(upl["tokenKind"], "upload");
    EXPECT_EQ(Check({{"iqn", kIqn2}, {"token", uploadToken}})["allowed"], false);
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"token", "deadbeef"}})["allowed"], false);
    EXPECT_EQ(Check({{"iqn", "iqn.2024-01.net.zelko:image.77"}})["allowed"], false);

    // A newer upload session for the image replaces the older one; closing ends it.
    std::string second = server_.Post("/api/disk/images/upload-session", R"({"imageId":1})", token_).Json()["uploadToken"];
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"token", uploadToken}})["allowed"], false);
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"token", second}})["allowed"], true);
    int status;
    server_.Admin("upload close 2", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"token", second}})["allowed"], false);

    // The client key by address, else by the client id as MAC (any form) or name.
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"peerIp", "127.0.0.1"}})["clientKey"], "client-1");
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"clientId", "AA-BB-CC-00-11-22"}})["clientKey"], "client-1");
    EXPECT_EQ(Check({{"iqn", kIqn1}, {"clientId", "pc01"}})["clientKey"], "client-1");
    for (const char* bad : {"{}", R"({"iqn":5})", "[]", R"({"iqn":"x","token":7})"}) {
        auto r = server_.Internal("POST", "/internal/v1/sessions/check", bad, Server::kSecret);
        EXPECT_EQ(r.status, 400) << bad;
    }
    auto images = server_.Internal("GET", "/internal/v1/images", "", Server::kSecret).Json();
    ASSERT_EQ(images["items"].size(), 2u);
    EXPECT_EQ(images["items"][0]["iqn"], kIqn1);
    EXPECT_EQ(images["items"][0]["path"], server_.dataDir() + "/images/1.img");
    EXPECT_EQ(images["items"][0]["sizeBytes"], 64 << 20);
    EXPECT_EQ(images["items"][0]["readOnly"], false);
}

TEST_F(MgmtdApi, UploadSessionRefusalsUseHttpStatus) {
    AddImageAndClient();
    AdminJson("image add --name ro --size 2M --read-only");
    EXPECT_EQ(server_.Post("/api/disk/images/upload-session", R"({"imageId":9})", token_).status, 404);
    EXPECT_EQ(server_.Post("/api/disk/images/upload-session", R"({"imageId":2})", token_).status, 409);
    for (const char* body : {"", "{}", R"({"imageId":"1"})", R"({"imageId":0})", "{"})
        EXPECT_EQ(server_.Post("/api/disk/images/upload-session", body, token_).status, 400) << body;
}

TEST_F(MgmtdApi, RequestLimitsAndUnknownPaths) {
    std::string big(2 << 20, 'x');
    auto r = server_.Post("/api/auth/disk/login", big);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.Json()["code"], 413);
    auto nf = server_.Get("/api/nothing");
    EXPECT_EQ(nf.status, 404);
    EXPECT_EQ(nf.Json()["code"], 404);
}

TEST_F(MgmtdApi, ConsoleEndpointsManageClientsImagesAndUsers) {
    auto im = server_.Post("/api/disk/images", R"({"name":"web","sizeBytes":4194304})", token_).Json();
    ASSERT_EQ(im["code"], 0) << im;
    struct stat st {};
    ASSERT_EQ(stat(im["path"].get<std::string>().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4194304);
    EXPECT_LT(st.st_blocks, 64);  // sparse
    EXPECT_EQ(server_.Post("/api/disk/images", R"({"name":"bad","sizeBytes":1000})", token_).status, 400);
    EXPECT_EQ(server_.Post("/api/disk/images", R"({"name":"web","sizeBytes":4194304})", token_).status, 409);

    auto c = server_.Post("/api/disk/clients", R"({"macAddress":"aa:bb:cc:dd:ee:01","name":"pc9","ipAddress":"192.168.1.9","imageId":1})", token_).Json();
    ASSERT_EQ(c["code"], 0) << c;
    EXPECT_EQ(c["macAddress"], "AA-BB-CC-DD-EE-01");
    EXPECT_EQ(server_.Post("/api/disk/clients", R"({"macAddress":"AABBCCDDEE01","name":"dup"})", token_).status, 409);
    EXPECT_EQ(server_.Post("/api/disk/clients", R"({"macAddress":"AABBCCDDEE02","name":"x","ipAddress":"1.2.3"})", token_).status, 400);
    auto put = server_.Send("PUT", "/api/disk/clients/1", R"({"ipAddress":null,"name":"pc9b"})", token_).Json();
    EXPECT_EQ(put["ipAddress"], nullptr);
    EXPECT_EQ(put["name"], "pc9b");
    EXPECT_EQ(server_.Get("/api/disk/clients", token_).Json()["items"].size(), 1u);
    EXPECT_EQ(server_.Send("DELETE", "/api/disk/clients/1", "", token_).Json()["code"], 0);
    EXPECT_EQ(server_.Get("/api/disk/clients/1", token_).status, 404);

    auto u = server_.Post("/api/users", R"({"username":"op","password":"operator-pass"})", token_).Json();
    ASSERT_EQ(u["code"], 0);
    std::string opToken = server_.Login("op", "operator-pass");
    ASSERT_FALSE(opToken.empty());
    EXPECT_EQ(server_.Get("/api/users", opToken).status, 403);  // operators do not manage users
    EXPECT_EQ(server_.Get("/api/disk/images", opToken).Json()["code"], 0);
    // ... nor point an image at a file of their choice for prepare-disk to overwrite.
    EXPECT_EQ(server_.Post("/api/disk/images", R"({"name":"evil","path":"/etc/passwd"})", opToken).status, 403);
    EXPECT_EQ(server_.Send("PUT", "/api/disk/images/1", R"({"path":"/etc/passwd"})", opToken).status, 403);
    EXPECT_EQ(server_.Post("/api/disk/clients", R"({"macAddress":"AABBCCDDEE03","name":"y"})", opToken).status, 403);
    EXPECT_EQ(server_.Send("DELETE", "/api/users/admin", "", token_).status, 409);  // the last admin stays
}

// ---- the server as a process: first start, secrets, restart --------------------------------

TEST(MgmtdProcess, FirstStartGeneratesAPasswordShownOnce) {
    Server server({}, {{"ZELKO_ADMIN_PASSWORD", ""}});
    server.Start();
    std::string out = server.Stdout();
    const std::string marker = "created administrator \"admin\" with password: ";
    size_t at = out.find(marker);
    ASSERT_NE(at, std::string::npos) << out;
    std::string password = out.substr(at + marker.size());
    password = password.substr(0, password.find('\n'));
    EXPECT_GE(password.size(), 16u);
    std::string token = server.Login("admin", password);
    EXPECT_FALSE(token.empty());
    EXPECT_TRUE(server.Login("admin", "admin").empty());
    EXPECT_EQ(server.Stop(), 0);  // SIGTERM is a clean exit
    // Second start: no new administrator, nothing printed again.
    server.Start();
    EXPECT_EQ(server.Stdout().find(marker, at + 1), std::string::npos);
    EXPECT_FALSE(server.Login("admin", password).empty());
    // Neither the password nor any token reached the log.
    std::string log = server.Stderr();
    EXPECT_EQ(log.find(password), std::string::npos);
    EXPECT_EQ(log.find(token), std::string::npos);
}

TEST(MgmtdProcess, StatePersistsAcrossRestart) {
    Server server;
    server.Start();
    int st;
    server.Admin("image add --name win10 --size 64M", &st);
    ASSERT_EQ(st, 0);
    server.Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
    ASSERT_EQ(st, 0);
    server.Admin("user add op", &st, "");  // generated password
    ASSERT_EQ(st, 0);
    std::string token = server.Login("admin", Server::kAdminPassword);
    server.Post("/api/disk/clients/1/super", R"({"isSuperClient":true})", token);
    auto before = RawRequest("127.0.0.1", server.driverPort(), "GET", "/api/disk/clients/by-mac/aabbcc001122").Json();
    int bootBefore = server.Get("/api/disk/clients/1", token).Json()["bootId"].get<int>();
    ASSERT_FALSE(before["superUserToken"].get<std::string>().empty());
    std::string log = server.Stderr();
    EXPECT_EQ(log.find(before["superUserToken"].get<std::string>()), std::string::npos);

    ASSERT_EQ(server.Stop(), 0);
    server.Start();
    EXPECT_EQ(server.Get("/api/disk/images", token).Json()["code"], 0);  // logins survive too
    auto after = RawRequest("127.0.0.1", server.driverPort(), "GET", "/api/disk/clients/by-mac/aabbcc001122").Json();
    EXPECT_EQ(after["isSuperClient"], true);
    EXPECT_EQ(after["superUserToken"], before["superUserToken"]);
    EXPECT_EQ(server.Get("/api/disk/clients/1", token).Json()["bootId"], bootBefore + 1);
    EXPECT_EQ(after["imageIqn"], kIqn1);
    std::string list = server.Admin("user list", &st);
    EXPECT_NE(list.find("\"username\":\"op\""), std::string::npos);
}

TEST(MgmtdProcess, RefusesADatabaseFromANewerVersion) {
    Server server;
    server.Start();
    ASSERT_EQ(server.Stop(), 0);
    std::string cmd = "sqlite3 '" + server.dataDir() + "/mgmtd.db' 'PRAGMA user_version=99'";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "sqlite3 shell not installed";
    EXPECT_THROW(server.Start(), std::runtime_error);
    EXPECT_NE(server.Stderr().find("newer than this program"), std::string::npos);
}

// A database of the first schema (queued layer actions were all discards) is upgraded in place
// and keeps what it had queued.
TEST(MgmtdProcess, UpgradesAFirstSchemaDatabaseKeepingQueuedDiscards) {
    Server server;
    server.Start();
    ASSERT_EQ(server.Stop(), 0);
    std::string db = server.dataDir() + "/mgmtd.db";
    std::string downgrade = "sqlite3 '" + db + "' \"ALTER TABLE pending_discards DROP COLUMN action; "
                            "ALTER TABLE pending_discards DROP COLUMN client_id; ALTER TABLE pending_discards DROP COLUMN due; "
                            "ALTER TABLE pending_discards DROP COLUMN queued_at; ALTER TABLE pending_discards DROP COLUMN due_at; "
                            "INSERT INTO pending_discards VALUES(3, 'upload-9'); PRAGMA user_version=1;\"";
    if (std::system(downgrade.c_str()) != 0) GTEST_SKIP() << "sqlite3 shell not installed";
    server.Start();
    ASSERT_EQ(server.Stop(), 0);
    FILE* p = popen(("sqlite3 '" + db + "' 'PRAGMA user_version; SELECT image_id, client_key, action, due FROM pending_discards'").c_str(), "r");
    char buf[256];
    std::string out(buf, fread(buf, 1, sizeof buf, p));
    pclose(p);
    EXPECT_EQ(out, "2\n3|upload-9|discard|1\n");
}

}  // namespace

namespace {

TEST(MgmtdProcess, LoginAndUploadTokensExpire) {
    Server server({"--session-ttl", "3", "--upload-ttl", "3"});
    server.Start();
    int st;
    server.Admin("image add --name win10 --size 64M", &st);
    ASSERT_EQ(st, 0);
    auto t0 = std::chrono::steady_clock::now();
    std::string token = server.Login("admin", Server::kAdminPassword);
    auto up = server.Post("/api/disk/images/upload-session", R"({"imageId":1})", token).Json();
    ASSERT_EQ(up["code"], 0);
    std::string check = json{{"iqn", "iqn.2024-01.net.zelko:image.1"}, {"token", up["uploadToken"]}}.dump();
    auto allowed = server.Internal("POST", "/internal/v1/sessions/check", check, Server::kSecret).Json()["allowed"];
    // Lifetimes count in whole seconds; a machine this slow cannot tell "valid" from "expired".
    if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(1800))
        GTEST_SKIP() << "too slow for a 3 s lifetime";
    EXPECT_EQ(allowed, true);
    EXPECT_EQ(server.Get("/api/disk/images", token).status, 200);
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(4600));
    EXPECT_EQ(server.Internal("POST", "/internal/v1/sessions/check", check, Server::kSecret).Json()["allowed"], false);
    EXPECT_EQ(server.Get("/api/disk/images", token).status, 401);
    // An expired upload no longer holds prepare-disk back.
    std::string fresh = server.Login("admin", Server::kAdminPassword);
    EXPECT_EQ(server.Post("/api/disk/images/1/prepare-disk", "", fresh).status, 200);
}

}  // namespace
