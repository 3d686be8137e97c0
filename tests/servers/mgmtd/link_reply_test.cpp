// What the management server does with the disk server's replies when they are not what the
// link defines: wrong-typed or missing fields are a failed reply (retried, never half-read),
// and one bad reply never stops the other queued layer actions. A scripted admin listener on
// loopback plays the disk server, in process, against the real Service and store.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "config.h"
#include "diskd_link.h"
#include "harness.h"
#include "service.h"
#include "store.h"
#include "zelko_common/link.h"
#include "zelko_common/log.h"

namespace m = zelko::mgmtd;
using mgmtd_test::json;

namespace {

// Answers each path with the reply set for it (default: 404) and records every call.
class ScriptedDiskd {
public:
    ScriptedDiskd() {
        auto handler = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lk(mu_);
            calls_.push_back(req.method + " " + req.path);
            auto it = replies_.find(req.method + " " + req.path);
            if (it == replies_.end()) {
                res.status = 404;
                res.set_content(R"({"code":4,"message":"unknown image"})", "application/json");
                return;
            }
            res.status = it->second.first;
            res.set_content(it->second.second, "application/json");
        };
        http_.Get(".*", handler);
        http_.Post(".*", handler);
        port_ = http_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { http_.listen_after_bind(); });
    }
    ~ScriptedDiskd() {
        http_.stop();
        thread_.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void Set(const std::string& call, int status, const std::string& body) {
        std::lock_guard<std::mutex> lk(mu_);
        replies_[call] = {status, body};
    }
    std::vector<std::string> TakeCalls() {
        std::lock_guard<std::mutex> lk(mu_);
        return std::exchange(calls_, {});
    }

private:
    httplib::Server http_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mu_;
    std::map<std::string, std::pair<int, std::string>> replies_;
    std::vector<std::string> calls_;
};

int Count(const std::vector<std::string>& calls, const std::string& call) {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

class LinkReplyTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelko::common::SetLogLevel(zelko::common::LogLevel::Error);
        dir_ = mgmtd_test::MakeTempDir();
        config_.dataDir = dir_;
        std::filesystem::create_directories(config_.ImageDir());
        store_ = std::make_unique<m::Store>(config_.DbPath());
        link_ = std::make_unique<m::DiskdLink>(diskd_.Url(), "secret");
        diskd_.Set("POST /admin/v1/reload", 200, R"({"code":0})");
        service_ = std::make_unique<m::Service>(config_, *store_, *link_);
    }
    void TearDown() override {
        service_.reset();
        store_.reset();
        mgmtd_test::RemoveTree(dir_);
    }
    // A PC that used super-user mode on a new image and left it: a merge of its layer is
    // queued, due at once (its boot signal came).
    std::pair<int64_t, std::string> PcWithQueuedMerge(const std::string& name, const std::string& mac,
                                                      const std::string& ip) {
        auto im = service_->AddImage(name, 1 << 20, "", false, true);
        auto c = service_->AddClient(mac, name, ip, im.id);
        service_->SetSuper(c.id, true);
        service_->SetSuper(c.id, false);
        service_->OnBoot(c.id);
        return {im.id, m::Service::ClientKey(c.id)};
    }

    std::string dir_;
    ScriptedDiskd diskd_;
    m::Config config_;
    std::unique_ptr<m::Store> store_;
    std::unique_ptr<m::DiskdLink> link_;
    std::unique_ptr<m::Service> service_;
};

// The status of an image holding one layer whose entry is `layer`.
std::string StatusWith(const std::string& layer) {
    return R"({"code":0,"iqn":"x","version":3,"sizeBytes":1048576,"readOnly":false,"superLayers":[)" + layer +
           R"(],"normalOverlays":0,"snapshots":0,"mergePending":false})";
}

TEST_F(LinkReplyTest, WrongTypedLayerStatusIsRetriedAndDoesNotStopOtherActions) {
    auto [image1, key1] = PcWithQueuedMerge("img-a", "00:11:22:33:44:01", "10.0.0.1");
    auto [image2, key2] = PcWithQueuedMerge("img-b", "00:11:22:33:44:02", "10.0.0.2");
    std::string iqn1 = zelko::common::ImageIqn(image1), iqn2 = zelko::common::ImageIqn(image2);
    std::string merge1 = "POST /admin/v1/images/" + iqn1 + "/layers/" + key1 + "/merge";
    std::string merge2 = "POST /admin/v1/images/" + iqn2 + "/layers/" + key2 + "/merge";
    const std::string merged = R"({"code":0,"blocks":12,"bytes":49152,"version":4})";
    diskd_.Set(merge1, 200, merged);
    diskd_.Set(merge2, 200, merged);
    diskd_.Set("GET /admin/v1/images/" + iqn2, 200,
               StatusWith(R"({"clientKey":")" + key2 + R"(","blocks":12,"sessions":0,"idleSeconds":0})"));

    // Each of these once threw out of the flush (nlohmann's type_error), leaving every action
    // queued after it unsent for as long as the disk server kept answering so.
    const std::string bad[] = {
        R"({"clientKey":")" + key1 + R"(","blocks":1,"sessions":"0","idleSeconds":0,"merging":false})",
        R"({"clientKey":")" + key1 + R"(","blocks":1,"sessions":0,"idleSeconds":null,"merging":false})",
        R"({"clientKey":")" + key1 + R"(","blocks":1,"sessions":0,"idleSeconds":0,"merging":1})",
        R"({"clientKey":")" + key1 + R"(","blocks":1,"sessions":-1,"idleSeconds":0})",
        R"({"clientKey":17,"blocks":1,"sessions":0,"idleSeconds":0})",
        R"({"clientKey":")" + key1 + R"(","blocks":1,"idleSeconds":0})",  // sessions missing
        R"("client-1")",
    };
    bool first = true;
    for (const std::string& layer : bad) {
        SCOPED_TRACE(layer);
        diskd_.Set("GET /admin/v1/images/" + iqn1, 200, StatusWith(layer));
        ASSERT_NO_THROW(service_->FlushLayerActions());
        auto calls = diskd_.TakeCalls();
        EXPECT_EQ(Count(calls, merge1), 0) << "a layer the disk server did not describe properly was merged";
        // The other image's merge went out all the same (once: it is done after that).
        EXPECT_EQ(Count(calls, merge2), first ? 1 : 0);
        first = false;
        auto queued = store_->QueuedMerges(image1);
        ASSERT_EQ(queued.size(), 1u) << "the merge must stay queued until the disk server confirms it";
    }
    EXPECT_TRUE(store_->QueuedMerges(image2).empty());

    // A well-formed status again: the merge is sent and the queue empties.
    diskd_.Set("GET /admin/v1/images/" + iqn1, 200,
               StatusWith(R"({"clientKey":")" + key1 + R"(","blocks":1,"sessions":0,"idleSeconds":9})"));
    service_->FlushLayerActions();
    EXPECT_EQ(Count(diskd_.TakeCalls(), merge1), 1);
    EXPECT_TRUE(store_->QueuedMerges(image1).empty());
}

TEST_F(LinkReplyTest, MergeAnswerWithoutItsFiguresIsNotTakenAsDone) {
    auto [image, key] = PcWithQueuedMerge("img-c", "00:11:22:33:44:03", "10.0.0.3");
    std::string iqn = zelko::common::ImageIqn(image);
    std::string merge = "POST /admin/v1/images/" + iqn + "/layers/" + key + "/merge";
    diskd_.Set("GET /admin/v1/images/" + iqn, 200,
               StatusWith(R"({"clientKey":")" + key + R"(","blocks":5,"sessions":0,"idleSeconds":1})"));
    for (const char* body : {R"({"code":0,"blocks":"12","version":4})", R"({"code":0,"blocks":12,"version":-4})",
                             R"({"code":0,"version":4})", R"({"code":"0","blocks":1,"version":4})", R"([0])"}) {
        SCOPED_TRACE(body);
        diskd_.Set(merge, 200, body);
        ASSERT_NO_THROW(service_->FlushLayerActions());
        EXPECT_EQ(Count(diskd_.TakeCalls(), merge), 1);
        EXPECT_EQ(store_->QueuedMerges(image).size(), 1u);
    }
    diskd_.Set(merge, 200, R"({"code":0,"blocks":5,"bytes":20480,"version":4})");
    service_->FlushLayerActions();
    EXPECT_TRUE(store_->QueuedMerges(image).empty());
}

TEST_F(LinkReplyTest, PrepareDiskRefusesAMalformedSuccess) {
    auto im = service_->AddImage("img-d", 1 << 20, "", false, true);
    std::string call = "POST /admin/v1/images/" + zelko::common::ImageIqn(im.id) + "/prepare-disk";
    diskd_.Set(call, 200, R"({"code":0,"version":"8"})");
    try {
        service_->PrepareDisk(im.id);
        FAIL() << "a reply without a usable version was taken as success";
    } catch (const m::ServiceError& e) {
        EXPECT_EQ(e.code, 5);
        EXPECT_NE(std::string(e.what()).find("version is not a non-negative integer"), std::string::npos) << e.what();
    }
    diskd_.Set(call, 200, R"({"code":0,"version":8})");
    EXPECT_EQ(service_->PrepareDisk(im.id), 8);
}

// The decoder itself, over the replies of each call: what passes, and what is named when not.
TEST(LinkReplyDecode, TypesOfEveryFieldTheCallersRead) {
    using X = m::DiskdLink::Exchanged;
    auto decode = [](const std::string& method, const std::string& path, int status, const std::string& body) {
        return m::DiskdLink::Decode(method, path, X{true, status, body, ""});
    };
    const std::string image = "/admin/v1/images/iqn.2024-01.net.zelko:image.1";
    auto ok = decode("GET", image, 200,
                     StatusWith(R"({"clientKey":"client-1","blocks":0,"sessions":2,"idleSeconds":0,"merging":true})"));
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.Code(), 0);
    EXPECT_EQ(ok.body["superLayers"][0]["sessions"], 2);
    // The disk server's image status as it is sent when no merge runs (merge: null) and while
    // one runs.
    for (const char* merge : {R"(null)", R"({"clientKey":"c","phase":"copy","blocksDone":1,"blocksTotal":2})"}) {
        auto status = decode("GET", image, 200,
                             std::string(R"({"code":0,"iqn":"x","merge":)") + merge +
                                 R"(,"version":1,"sizeBytes":512,"readOnly":false,"superLayers":[],)"
                                 R"("normalOverlays":0,"snapshots":0,"mergePending":false})");
        EXPECT_EQ(status.status, 200) << merge << ": " << status.Message();
    }

    struct Case {
        const char* body;
        const char* named;
    } cases[] = {
        {R"({"code":0,"version":1.5,"superLayers":[]})", "version is not"},
        {R"({"code":0,"version":1,"superLayers":{}})", "superLayers is not an array"},
        {R"({"code":0,"version":1,"superLayers":[],"mergePending":"no"})", "mergePending is not a boolean"},
        {R"({"code":0,"version":1,"superLayers":[],"merge":[]})", "merge is not an object or null"},
        {R"({"code":0,"version":1,"superLayers":[],"normalOverlays":-2})", "normalOverlays is not"},
        {R"({"code":0,"superLayers":[]})", "version is missing"},
        {R"({"code":0,"version":1})", "superLayers is missing"},
        {R"({"code":0,"version":1,"superLayers":[null]})", "superLayers[0] is not an object"},
        {R"({"code":0,"version":1,"superLayers":[{"clientKey":"a","sessions":0,"idleSeconds":0,"upload":0}]})",
         "superLayers[0].upload is not a boolean"},
        {R"({"code":true})", "code is not an integer"},
        {R"("ok")", "not a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        auto r = decode("GET", image, 200, c.body);
        EXPECT_EQ(r.status, m::DiskdLink::kMalformed);
        EXPECT_TRUE(r.body.is_null());
        EXPECT_EQ(r.Code(), -1);
        EXPECT_NE(r.Message().find(c.named), std::string::npos) << r.Message();
    }

    // Refusals keep their status and message; only a wrong-typed field spoils them.
    auto busy = decode("POST", image + "/layers/client-1/merge", 409, R"({"code":15,"message":"busy"})");
    EXPECT_EQ(busy.status, 409);
    EXPECT_EQ(busy.Message(), "busy");
    EXPECT_EQ(decode("POST", image + "/layers/client-1/merge", 409, R"({"code":15,"message":7})").status,
              m::DiskdLink::kMalformed);
    // A proxy's HTML error page is no JSON at all: still that status, with no body.
    auto html = decode("POST", "/admin/v1/reload", 503, "<html>busy</html>");
    EXPECT_EQ(html.status, 503);
    EXPECT_TRUE(html.body.is_null());
    EXPECT_EQ(html.Message(), "HTTP 503");
    // Not reached at all.
    auto down = m::DiskdLink::Decode("GET", image, X{false, 0, "", "connection refused"});
    EXPECT_EQ(down.status, 0);
    EXPECT_EQ(down.Message(), "connection refused");
}

}  // namespace
