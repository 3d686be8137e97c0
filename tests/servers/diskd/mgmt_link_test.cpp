// zelko-diskd in management mode against a stand-in management server of the test's own:
// images and session checks come over the link, boot ids drive restore on reboot, and the
// admin listener does what servers/LINK.md promises.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "diskd_harness.h"

using namespace diskd_test;
using nlohmann::json;

namespace {

const std::string kSecret = "link-secret-123";
const std::string kIqn1 = "iqn.2024-01.net.zelko:image.1";
const std::string kIqn2 = "iqn.2024-01.net.zelko:image.2";
constexpr uint64_t kSize = 16u << 20;

// The management side: what it lists and how it answers session checks is set by the test.
class FakeMgmt {
public:
    FakeMgmt() {
        srv_.Get("/internal/v1/images", [this](const httplib::Request& req, httplib::Response& res) {
            if (!Authorized(req, res)) return;
            std::lock_guard<std::mutex> lk(mu_);
            imageRequests++;
            res.set_content(json{{"code", 0}, {"items", images}}.dump(), "application/json");
        });
        srv_.Post("/internal/v1/sessions/check", [this](const httplib::Request& req, httplib::Response& res) {
            if (!Authorized(req, res)) return;
            std::unique_lock<std::mutex> lk(mu_);
            json in = json::parse(req.body);
            checks.push_back(in);
            heldChecks++;
            holdCv.wait(lk, [this] { return !hold; });
            heldChecks--;
            if (failChecks) {
                res.status = 500;
                return;
            }
            json out = {{"code", 0}, {"allowed", true}, {"superUser", false}, {"tokenKind", ""},
                        {"clientKey", "client-" + in.value("clientId", std::string())},
                        {"bootId", bootIds[in.value("clientId", std::string())]}, {"readOnly", false}};
            if (in.contains("token")) {
                auto it = tokens.find(in["token"].get<std::string>());
                if (it == tokens.end() || it->second != in["iqn"]) out["allowed"] = false;
                else {
                    // Tokens named "up-..." stand for upload sessions.
                    bool upload = in["token"].get<std::string>().rfind("up-", 0) == 0;
                    out["superUser"] = true;
                    out["tokenKind"] = upload ? "upload" : "super";
                }
            }
            res.set_content(out.dump(), "application/json");
        });
        port = srv_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { srv_.listen_after_bind(); });
    }
    ~FakeMgmt() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            hold = false;
        }
        holdCv.notify_all();
        srv_.stop();
        thread_.join();
    }
    bool Authorized(const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("X-Zelko-Link-Secret") == kSecret) return true;
        res.status = 401;
        res.set_content(R"({"code":401,"message":"link secret mismatch"})", "application/json");
        badSecret++;
        return false;
    }
    std::mutex mu_;
    json images = json::array();
    std::map<std::string, std::string> tokens;  // token -> iqn
    std::map<std::string, uint64_t> bootIds;    // client id -> boot id
    std::vector<json> checks;
    bool failChecks = false;
    bool hold = false;  // session checks wait while set
    std::condition_variable holdCv;
    std::atomic<int> heldChecks{0};
    std::atomic<int> imageRequests{0};
    std::atomic<int> badSecret{0};
    int port = 0;

private:
    httplib::Server srv_;
    std::thread thread_;
};

class MgmtLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeImage(dir_ / "1.img", kSize);
        MakeImage(dir_ / "2.img", kSize);
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.images = json::array({{{"id", 1}, {"iqn", kIqn1}, {"path", dir_ / "1.img"}, {"sizeBytes", kSize}}});
        mgmt_.tokens["su-token"] = kIqn1;
    }
    void Start(const std::string& secret = kSecret, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--mgmt-url", "http://127.0.0.1:" + std::to_string(mgmt_.port),
                                         "--link-secret", secret, "--image-poll", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = std::make_unique<Server>(dir_.path(), args);
        ASSERT_TRUE(server_->running()) << server_->Log();
    }
    void TearDown() override {
        if (server_ && server_->running()) {
            EXPECT_EQ(server_->Stop(), 0) << server_->Log();
        }
    }
    httplib::Result Admin(const std::string& method, const std::string& path, bool withSecret = true) {
        httplib::Client c("127.0.0.1", server_->adminPort());
        c.set_read_timeout(60, 0);
        httplib::Headers h;
        if (withSecret) h.emplace("X-Zelko-Link-Secret", kSecret);
        return method == "GET" ? c.Get(path.c_str(), h) : c.Post(path.c_str(), h, "{}", "application/json");
    }
    TempDir dir_;
    FakeMgmt mgmt_;
    std::unique_ptr<Server> server_;
};

TEST_F(MgmtLinkTest, ImagesAndSessionChecksComeFromTheManagementServer) {
    Start();
    Client a(server_->tcpPort());
    auto ha = a.Handshake(kIqn1, "aabbccddeeff");
    ASSERT_TRUE(ha);
    EXPECT_EQ(ha->header.opcode, wire::OpRespOk) << server_->Log();
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        ASSERT_FALSE(mgmt_.checks.empty());
        EXPECT_EQ(mgmt_.checks.back()["iqn"], kIqn1);
        EXPECT_EQ(mgmt_.checks.back()["clientId"], "aabbccddeeff");
        EXPECT_EQ(mgmt_.checks.back()["peerIp"], "127.0.0.1");
        EXPECT_FALSE(mgmt_.checks.back().contains("token"));
    }
    // Unknown image: refused. Added on the management side: served at once, no poll needed.
    Client b(server_->tcpPort());
    auto hb = b.Handshake(kIqn2, "x");
    ASSERT_TRUE(hb);
    EXPECT_EQ(hb->header.opcode, wire::OpRespError);
    EXPECT_EQ(hb->header.length, wire::ErrAccessDenied);
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.images.push_back({{"id", 2}, {"iqn", kIqn2}, {"path", dir_ / "2.img"}, {"readOnly", true}});
    }
    hb = b.Handshake(kIqn2, "x");
    ASSERT_TRUE(hb);
    EXPECT_EQ(hb->header.opcode, wire::OpRespOk);
    EXPECT_EQ(V(hb->body.flags), wire::kHandshakeReadOnly);

    // Tokens: valid for its image only; the management server's client key names the layer.
    std::string tok = "su-token", bad = "nope";
    Client s(server_->tcpPort());
    auto hs = s.Handshake(kIqn1, "pc", &tok);
    ASSERT_TRUE(hs);
    EXPECT_EQ(V(hs->body.flags), wire::kHandshakeSuperUser);
    EXPECT_EQ(s.Handshake(kIqn2, "pc", &tok)->header.length, wire::ErrAccessDenied);
    EXPECT_EQ(s.Handshake(kIqn1, "pc", &bad)->header.length, wire::ErrAccessDenied);
    ASSERT_EQ(s.Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
    ASSERT_EQ(s.Write(0, std::vector<uint8_t>(4096, 0x42))->opcode, wire::OpRespOk);
    auto st = Admin("GET", "/admin/v1/images/" + kIqn1);
    ASSERT_TRUE(st);
    ASSERT_EQ(st->status, 200);
    json j = json::parse(st->body);
    EXPECT_EQ(j["code"], 0);
    EXPECT_EQ(j["version"], 1);
    ASSERT_EQ(j["superLayers"].size(), 1u);
    EXPECT_EQ(j["superLayers"][0]["clientKey"], "client-pc");
    EXPECT_EQ(j["superLayers"][0]["blocks"], 1);

    // The management server failing is not a rejection: "busy", so the driver keeps trying.
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.failChecks = true;
    }
    Client f(server_->tcpPort());
    EXPECT_EQ(f.Handshake(kIqn1, "pc2")->header.length, wire::ErrBusy);
}

// The management server says which tokens are upload tokens: their layers start from zero and
// cover the whole image, a super-user token's layer does not.
TEST_F(MgmtLinkTest, UploadTokenKindStartsTheLayerFromZero) {
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.tokens["up-9"] = kIqn1;
    }
    Start();
    std::string up = "up-9", su = "su-token";
    Client u(server_->tcpPort());
    ASSERT_EQ(u.Handshake(kIqn1, "uploader", &up)->header.opcode, wire::OpRespOk);
    EXPECT_EQ(*u.Read(4096, 4096), std::vector<uint8_t>(4096, 0));
    Client s(server_->tcpPort());
    ASSERT_EQ(s.Handshake(kIqn1, "pc", &su)->header.opcode, wire::OpRespOk);
    EXPECT_EQ(*s.Read(4096, 4096), ReadFileRange(dir_ / "1.img", 4096, 4096));
    auto st = Admin("GET", "/admin/v1/images/" + kIqn1);
    ASSERT_TRUE(st);
    json j = json::parse(st->body);
    ASSERT_EQ(j["superLayers"].size(), 2u);
    for (auto& l : j["superLayers"])
        EXPECT_EQ(l["blocks"], l["clientKey"] == "client-uploader" ? kSize / 4096 : 0) << l.dump();
}

TEST_F(MgmtLinkTest, BootIdDecidesRestoreOnReboot) {
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.bootIds["pc"] = 41;
    }
    Start();
    auto data = Pattern(4096, 3);
    {
        Client c(server_->tcpPort());
        ASSERT_EQ(c.Handshake(kIqn1, "pc")->header.opcode, wire::OpRespOk);
        ASSERT_EQ(c.Write(8192, data)->opcode, wire::OpRespOk);
    }
    {
        // Same boot: a reconnect keeps the overlay.
        Client c(server_->tcpPort());
        ASSERT_EQ(c.Handshake(kIqn1, "pc")->header.opcode, wire::OpRespOk);
        EXPECT_EQ(*c.Read(8192, 4096), data);
    }
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.bootIds["pc"] = 42;
    }
    Client c(server_->tcpPort());
    ASSERT_EQ(c.Handshake(kIqn1, "pc")->header.opcode, wire::OpRespOk);
    auto d = *c.Read(8192, 4096);
    for (size_t i = 0; i < d.size(); ++i) ASSERT_EQ(d[i], PatternByte(8192 + i));
}

TEST_F(MgmtLinkTest, AdminListenerNeedsTheSecretAndDiscardsLayers) {
    Start();
    auto r = Admin("GET", "/admin/v1/images/" + kIqn1, false);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    EXPECT_EQ(json::parse(r->body)["code"], 401);
    r = Admin("GET", "/admin/v1/images/iqn.none");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(json::parse(r->body)["code"], 4);

    std::string tok = "su-token";
    Client s(server_->tcpPort());
    ASSERT_EQ(s.Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
    ASSERT_EQ(s.Write(0, std::vector<uint8_t>(4096, 0x42))->opcode, wire::OpRespOk);
    // prepare-disk is refused while a super-user layer exists.
    r = Admin("POST", "/admin/v1/images/" + kIqn1 + "/prepare-disk");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 409);
    EXPECT_EQ(json::parse(r->body)["code"], 15);
    r = Admin("POST", "/admin/v1/images/" + kIqn1 + "/layers/client-pc/discard");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    // The session's layer is gone: its writes are refused now, and a new session starts clean.
    EXPECT_NE(s.Write(0, std::vector<uint8_t>(512, 1))->opcode, wire::OpRespOk);
    Client s2(server_->tcpPort());
    ASSERT_EQ(s2.Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
    EXPECT_EQ((*s2.Read(0, 1))[0], PatternByte(0));
    s2.Exit(false);
    r = Admin("POST", "/admin/v1/reload");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

// The management server commits the layer of a PC that left super-user mode: never while the
// PC is still connected on it, then exactly like ExitSuperUser with commit.
TEST_F(MgmtLinkTest, AdminMergeCommitsADetachedLayerOnly) {
    Start();
    auto merge = [&](const std::string& key) {
        return Admin("POST", "/admin/v1/images/" + kIqn1 + "/layers/" + key + "/merge");
    };
    auto r = merge("client-pc");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(json::parse(r->body)["code"], 4);
    EXPECT_EQ(Admin("POST", "/admin/v1/images/iqn.none/layers/client-pc/merge")->status, 404);

    std::string tok = "su-token";
    auto data = Pattern(8192 + 512, 21);
    auto s = std::make_unique<Client>(server_->tcpPort());
    ASSERT_EQ(s->Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
    ASSERT_EQ(s->Write(4096 * 7, data)->opcode, wire::OpRespOk);
    // A reader of the old version is running, so the merge keeps a snapshot for it.
    Client reader(server_->tcpPort());
    ASSERT_EQ(reader.Handshake(kIqn1, "reader")->header.opcode, wire::OpRespOk);

    // Connected: refused as busy, the layer untouched and still writable.
    r = merge("client-pc");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 409);
    EXPECT_EQ(json::parse(r->body)["code"], 15);
    json st = json::parse(Admin("GET", "/admin/v1/images/" + kIqn1)->body);
    ASSERT_EQ(st["superLayers"].size(), 1u);
    EXPECT_EQ(st["superLayers"][0]["sessions"], 1);
    EXPECT_EQ(st["superLayers"][0]["idleSeconds"], 0);
    EXPECT_EQ(s->Write(0, std::vector<uint8_t>(512, 0x5A))->opcode, wire::OpRespOk);
    EXPECT_EQ(ReadFileRange(dir_ / "1.img", 4096 * 7, 1)[0], PatternByte(4096 * 7));

    s.reset();  // the PC restarts
    json layer;
    for (int i = 0; i < 200; ++i) {
        st = json::parse(Admin("GET", "/admin/v1/images/" + kIqn1)->body);
        layer = st["superLayers"][0];
        if (layer["sessions"] == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(layer["sessions"], 0);
    EXPECT_GE(layer["idleSeconds"].get<int>(), 0);
    r = merge("client-pc");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body << server_->Log();
    json j = json::parse(r->body);
    EXPECT_EQ(j["code"], 0);
    EXPECT_EQ(j["blocks"], 4);  // block 0 and blocks 7, 8, 9
    EXPECT_EQ(j["bytes"], 4 * 4096);
    EXPECT_EQ(j["version"], 2);
    EXPECT_EQ(ReadFileRange(dir_ / "1.img", 4096 * 7, data.size()), data);
    EXPECT_EQ(ReadFileRange(dir_ / "1.img", 0, 1)[0], 0x5A);
    st = json::parse(Admin("GET", "/admin/v1/images/" + kIqn1)->body);
    EXPECT_EQ(st["version"], 2);
    EXPECT_TRUE(st["superLayers"].empty());
    // The running reader keeps its version; the PC's next boot reads the new base.
    EXPECT_EQ((*reader.Read(4096 * 7, 1))[0], PatternByte(4096 * 7));
    Client next(server_->tcpPort());
    auto h = next.Handshake(kIqn1, "pc");
    ASSERT_TRUE(h);
    EXPECT_EQ(V(h->body.ver), 2u);
    EXPECT_EQ(*next.Read(4096 * 7, static_cast<uint32_t>(data.size())), data);
    // Done once: nothing is left to merge.
    EXPECT_EQ(merge("client-pc")->status, 404);
}

TEST_F(MgmtLinkTest, PrepareDiskWritesMbrAndNtfsAndRaisesTheVersion) {
    Start();
    Client n(server_->tcpPort());
    ASSERT_EQ(n.Handshake(kIqn1, "pc")->header.opcode, wire::OpRespOk);
    ASSERT_EQ(n.Write(0, std::vector<uint8_t>(4096, 0x42))->opcode, wire::OpRespOk);
    auto r = Admin("POST", "/admin/v1/images/" + kIqn1 + "/prepare-disk");
    ASSERT_TRUE(r);
    if (r->status == 500 && r->body.find("not available in this build") != std::string::npos)
        GTEST_SKIP() << "built without the common prepare-disk routine";
    ASSERT_EQ(r->status, 200) << r->body << server_->Log();
    json j = json::parse(r->body);
    EXPECT_EQ(j["code"], 0);
    EXPECT_EQ(j["version"], 2);
    auto mbr = ReadFileRange(dir_ / "1.img", 0, 512);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    EXPECT_EQ(mbr[446], 0x80);  // active
    EXPECT_EQ(mbr[446 + 4], 0x07);  // NTFS
    auto boot = ReadFileRange(dir_ / "1.img", 1u << 20, 512);
    EXPECT_EQ(std::string(boot.begin() + 3, boot.begin() + 11), "NTFS    ");
    // A new session sees the prepared disk (its old overlay was dropped) with the new version.
    Client c(server_->tcpPort());
    auto h = c.Handshake(kIqn1, "pc");
    ASSERT_TRUE(h);
    EXPECT_EQ(V(h->body.ver), 2u);
    EXPECT_EQ((*c.Read(510, 2))[0], 0x55);
}

TEST_F(MgmtLinkTest, ImageMarkedReadOnlyRefusesEveryWriteAndKeepsTheLayer) {
    Start();
    std::string tok = "su-token";
    Client s(server_->tcpPort());
    ASSERT_EQ(s.Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
    ASSERT_EQ(s.Write(0, std::vector<uint8_t>(4096, 0x42))->opcode, wire::OpRespOk);
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.images[0]["readOnly"] = true;
    }
    ASSERT_EQ(Admin("POST", "/admin/v1/reload")->status, 200);
    EXPECT_EQ(V(s.Write(0, std::vector<uint8_t>(512, 1))->length), wire::ErrWriteProtected);
    auto e = s.Exit(true);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->opcode, wire::OpRespError);
    EXPECT_EQ(V(e->length), wire::ErrWriteProtected);
    EXPECT_EQ(ReadFileRange(dir_ / "1.img", 0, 1)[0], PatternByte(0));
    json j = json::parse(Admin("GET", "/admin/v1/images/" + kIqn1)->body);
    EXPECT_EQ(j["readOnly"], true);
    EXPECT_EQ(j["superLayers"].size(), 1u);
}

TEST_F(MgmtLinkTest, WaitingSessionChecksDoNotStallRunningClients) {
    Start(kSecret, {"--workers", "2", "--admission-threads", "4"});
    Client running(server_->tcpPort());
    ASSERT_EQ(running.Handshake(kIqn1, "running-pc")->header.opcode, wire::OpRespOk);
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.hold = true;
    }
    // More handshakes waiting for the management server than there are workers.
    std::vector<std::unique_ptr<Client>> booting;
    for (int i = 0; i < 6; ++i) {
        booting.push_back(std::make_unique<Client>(server_->tcpPort()));
        booting.back()->Send(booting.back()->HandshakeRequest(kIqn1, "booting-" + std::to_string(i)));
    }
    for (int i = 0; i < 200 && mgmt_.heldChecks.load() < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(mgmt_.heldChecks.load(), 4);  // one per admission thread, the rest queued
    // The running PC is served meanwhile, over and over.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(running.Read(i * 4096, 4096)) << i;
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.hold = false;
    }
    mgmt_.holdCv.notify_all();
    for (auto& b : booting) {
        auto h = b->RecvHeader(10000);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->opcode, wire::OpRespOk);
        ASSERT_TRUE(b->Recv(32));
        ASSERT_TRUE(b->Read(0, 512));  // and the connection goes on normally
    }
}

TEST_F(MgmtLinkTest, WrongLinkSecretServesNothing) {
    Start("wrong-secret");
    Client c(server_->tcpPort());
    auto h = c.Handshake(kIqn1, "pc");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->header.opcode, wire::OpRespError);
    EXPECT_GT(mgmt_.badSecret.load(), 0);
    EXPECT_TRUE(server_->WaitLog("HTTP 401"));
}

}  // namespace

// ---- who is connected now, what an upload has written, how far a merge has come ----

namespace {
json AdminJson(const httplib::Result& r) {
    if (!r || r->status != 200) return json();
    return json::parse(r->body, nullptr, false);
}
}  // namespace

TEST_F(MgmtLinkTest, SessionListShowsExactlyTheSessionsHeldNow) {
    Start();
    auto unauth = Admin("GET", "/admin/v1/sessions", false);
    ASSERT_TRUE(unauth);
    EXPECT_EQ(unauth->status, 401) << "the session list is link-only";
    EXPECT_TRUE(AdminJson(Admin("GET", "/admin/v1/sessions"))["items"].empty());

    auto normal = std::make_unique<Client>(server_->tcpPort());
    int64_t before = time(nullptr);
    ASSERT_EQ(normal->Handshake(kIqn1, "aabbccddeeff")->header.opcode, wire::OpRespOk);
    ASSERT_EQ(normal->Write(4096, Pattern(8192, 3))->opcode, wire::OpRespOk);
    ASSERT_TRUE(normal->Read(0, 4096));
    ASSERT_TRUE(normal->Read(65536, 512));
    std::string tok = "su-token";
    Client su(server_->tcpPort());
    ASSERT_EQ(su.Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
    ASSERT_EQ(su.Write(0, Pattern(4096 * 3, 4))->opcode, wire::OpRespOk);
    Client ro(server_->tcpPort());
    ASSERT_EQ(ro.Handshake(kIqn1, "reader", nullptr, wire::FlagReadOnly)->header.opcode, wire::OpRespOk);

    json items = AdminJson(Admin("GET", "/admin/v1/sessions"))["items"];
    ASSERT_EQ(items.size(), 3u) << items.dump();
    std::map<std::string, json> byId;
    for (auto& i : items) byId[i["clientId"]] = i;
    json n = byId["aabbccddeeff"];
    EXPECT_EQ(n["mode"], "normal");
    EXPECT_EQ(n["iqn"], kIqn1);
    EXPECT_EQ(n["clientKey"], "client-aabbccddeeff") << "the management server's name of the PC";
    EXPECT_EQ(n["peer"].get<std::string>().rfind("127.0.0.1:", 0), 0u);
    EXPECT_GE(n["since"].get<int64_t>(), before);
    EXPECT_LE(n["since"].get<int64_t>(), static_cast<int64_t>(time(nullptr)));
    EXPECT_EQ(n["bytesRead"], 4096 + 512);
    EXPECT_EQ(n["bytesWritten"], 8192);
    EXPECT_EQ(n["layerBlocks"], 2);
    EXPECT_EQ(byId["pc"]["mode"], "super");
    EXPECT_EQ(byId["pc"]["layerBlocks"], 3);
    EXPECT_EQ(byId["reader"]["mode"], "readonly");
    EXPECT_FALSE(byId["reader"].contains("layerBlocks"));
    EXPECT_NE(n["sid"], byId["pc"]["sid"]);
    EXPECT_EQ(AdminJson(Admin("GET", "/admin/v1/sessions?iqn=" + kIqn2))["items"].size(), 0u);
    EXPECT_EQ(AdminJson(Admin("GET", "/admin/v1/sessions?iqn=" + kIqn1))["items"].size(), 3u);
    EXPECT_EQ(AdminJson(Admin("GET", "/admin/v1/stats"))["sessions"], 3);

    // A second Handshake on one connection is one session, not two; leaving super-user mode
    // shows at once.
    ASSERT_EQ(ro.Handshake(kIqn1, "reader", nullptr, wire::FlagReadOnly)->header.opcode, wire::OpRespOk);
    ASSERT_EQ(su.Exit(true)->opcode, wire::OpRespOk);
    items = AdminJson(Admin("GET", "/admin/v1/sessions"))["items"];
    EXPECT_EQ(items.size(), 3u);
    for (auto& i : items) {
        if (i["clientId"] == "pc") {
            EXPECT_EQ(i["mode"], "readonly");
        }
    }

    // A refused Handshake adds nothing; a connection that ends leaves the list.
    Client bad(server_->tcpPort());
    ASSERT_EQ(bad.Handshake(kIqn2, "ghost")->header.opcode, wire::OpRespError);
    normal.reset();
    for (int i = 0; i < 300; ++i) {
        items = AdminJson(Admin("GET", "/admin/v1/sessions"))["items"];
        if (items.size() == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(items.size(), 2u) << items.dump();
    for (auto& i : items) EXPECT_NE(i["clientId"], "aabbccddeeff");
}

TEST_F(MgmtLinkTest, UploadLayerCountsWhatTheUploadWroteOnce) {
    {
        std::lock_guard<std::mutex> lk(mgmt_.mu_);
        mgmt_.tokens["up-7"] = kIqn1;
    }
    Start();
    std::string tok = "up-7";
    Client up(server_->tcpPort());
    ASSERT_EQ(up.Handshake(kIqn1, "uploader", &tok)->header.opcode, wire::OpRespOk);
    auto layerOf = [&] {
        json st = AdminJson(Admin("GET", "/admin/v1/images/" + kIqn1));
        return st["superLayers"].size() == 1 ? st["superLayers"][0] : json();
    };
    json l = layerOf();
    EXPECT_EQ(l["upload"], true);
    EXPECT_EQ(l["blocks"], kSize / 4096) << "an upload's layer covers the whole disk from the start";
    EXPECT_EQ(l["writtenBlocks"], 0);

    ASSERT_EQ(up.Write(0, Pattern(65536, 1))->opcode, wire::OpRespOk);
    ASSERT_EQ(up.Write(4096, Pattern(4096, 2))->opcode, wire::OpRespOk);        // rewritten: counted once
    ASSERT_EQ(up.Write(1048576 + 100, Pattern(5000, 3))->opcode, wire::OpRespOk);  // touches 2 blocks
    l = layerOf();
    EXPECT_EQ(l["writtenBlocks"], 16 + 2);
    EXPECT_EQ(l["writtenBytes"], (16 + 2) * 4096);
    EXPECT_EQ(l["writtenEnd"], 1048576 + 100 + 5000);
    EXPECT_EQ(l["bytes"], kSize);
    json items = AdminJson(Admin("GET", "/admin/v1/sessions"))["items"];
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]["mode"], "upload");
    EXPECT_EQ(items[0]["bytesWritten"], 65536 + 4096 + 5000);
    EXPECT_FALSE(items[0].contains("layerBlocks")) << "the whole-disk block count would read as progress";
}

TEST_F(MgmtLinkTest, ImageStatusShowsHowFarARunningMergeHasCome) {
    Start(kSecret, {"--test-merge-pause", "apply:3"});
    std::string tok = "su-token";
    {
        Client su(server_->tcpPort());
        ASSERT_EQ(su.Handshake(kIqn1, "pc", &tok)->header.opcode, wire::OpRespOk);
        ASSERT_EQ(su.Write(0, Pattern(4096 * 5, 9))->opcode, wire::OpRespOk);
    }
    json st;
    for (int i = 0; i < 300; ++i) {
        st = AdminJson(Admin("GET", "/admin/v1/images/" + kIqn1));
        if (st["superLayers"].size() == 1 && st["superLayers"][0]["sessions"] == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(st["merge"].is_null()) << "no merge yet";
    EXPECT_EQ(st["superLayers"][0]["bytes"], 5 * 4096);
    // The merge stops (test hook) after 3 of its 5 blocks; its request does not come back.
    std::thread merger([port = server_->adminPort()] {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(2, 0);
        c.Post(("/admin/v1/images/" + kIqn1 + "/layers/client-pc/merge").c_str(),
               httplib::Headers{{"X-Zelko-Link-Secret", kSecret}}, "{}", "application/json");
    });
    ASSERT_TRUE(server_->WaitLog("test hook: merge paused")) << server_->Log();
    st = AdminJson(Admin("GET", "/admin/v1/images/" + kIqn1));
    merger.join();
    EXPECT_TRUE(st["mergePending"]);
    ASSERT_TRUE(st["merge"].is_object()) << st.dump();
    EXPECT_EQ(st["merge"]["clientKey"], "client-pc");
    EXPECT_EQ(st["merge"]["phase"], "apply");
    EXPECT_EQ(st["merge"]["blocksDone"], 3);
    EXPECT_EQ(st["merge"]["blocksTotal"], 5);
    server_->Kill9();
}
