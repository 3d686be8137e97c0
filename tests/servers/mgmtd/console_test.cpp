// The web console's server side against the real binary: the embedded files and their
// security headers, the cookie login and its anti-CSRF token, password change, the layer
// actions and the café state the page polls.
#include <gtest/gtest.h>
#include <httplib.h>

#include "harness.h"

using namespace mgmtd_test;

namespace {

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        server_.Start();
        token_ = server_.Login("admin", Server::kAdminPassword);
        ASSERT_FALSE(token_.empty());
    }
    httplib::Client Http() {
        httplib::Client c("127.0.0.1", server_.clientPort());
        c.set_read_timeout(30, 0);
        return c;
    }
    // Logs in through the console; returns the cookie header value and the anti-CSRF token.
    std::pair<std::string, std::string> CookieLogin(const std::string& user, const std::string& password) {
        auto r = Http().Post("/console/api/login", json{{"username", user}, {"password", password}}.dump(),
                             "application/json");
        if (!r || r->status != 200) return {};
        auto j = json::parse(r->body, nullptr, false);
        if (j.value("code", -1) != 0) return {};
        std::string set = r->get_header_value("Set-Cookie");
        return {set.substr(0, set.find(';')), j.value("csrfToken", "")};
    }
    int CookieSend(const std::string& method, const std::string& path, const std::string& cookie,
                   const std::string& csrf, const std::string& body = "{}") {
        httplib::Headers h{{"Cookie", cookie}};
        if (!csrf.empty()) h.emplace("X-CSRF-Token", csrf);
        auto c = Http();
        httplib::Result r = method == "GET"    ? c.Get(path, h)
                            : method == "PUT"  ? c.Put(path, h, body, "application/json")
                            : method == "DELETE" ? c.Delete(path, h)
                                                 : c.Post(path, h, body, "application/json");
        return r ? r->status : 0;
    }
    json State(const std::string& token) {
        auto r = server_.Get("/api/console/state", token);
        EXPECT_EQ(r.status, 200) << r.body;
        return r.Json();
    }
    void AddImageAndClient() {
        int st = -1;
        server_.Admin("image add --name win10 --size 64M", &st);
        ASSERT_EQ(st, 0);
        server_.Admin("client add --mac AA-BB-CC-00-11-22 --name pc01 --ip 127.0.0.1 --image 1", &st);
        ASSERT_EQ(st, 0);
    }

    Server server_;
    std::string token_;
};

TEST_F(Console, ServesItsEmbeddedFilesUnderARestrictivePolicy) {
    auto c = Http();
    for (const char* path : {"/console", "/console/", "/console/index.html"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 200) << path;
        EXPECT_NE(r->body.find("<!DOCTYPE html>"), std::string::npos) << path;
        std::string csp = r->get_header_value("Content-Security-Policy");
        EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
        EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);
        EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos);
        EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos);
        EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    }
    auto js = c.Get("/console/console.js");
    ASSERT_TRUE(js);
    EXPECT_EQ(js->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_GT(js->body.size(), 1000u);
    auto missing = c.Get("/console/secret.db");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
    auto climb = c.Get("/console/../store.cpp");
    ASSERT_TRUE(climb);
    EXPECT_EQ(climb->status, 404);
}

TEST_F(Console, CookieLoginKeepsTheTokenFromScriptsAndChangesNeedTheCsrfToken) {
    auto r = Http().Post("/console/api/login",
                         json{{"username", "admin"}, {"password", Server::kAdminPassword}}.dump(), "application/json");
    ASSERT_TRUE(r);
    std::string set = r->get_header_value("Set-Cookie");
    EXPECT_NE(set.find("HttpOnly"), std::string::npos);
    EXPECT_NE(set.find("SameSite=Strict"), std::string::npos);
    auto body = json::parse(r->body);
    EXPECT_FALSE(body.contains("accessToken")) << "the page must not see the session token";
    std::string cookie = set.substr(0, set.find(';'));
    std::string csrf = body["csrfToken"];
    ASSERT_EQ(csrf.size(), 64u);

    EXPECT_EQ(CookieSend("GET", "/api/console/state", cookie, ""), 200);
    std::string pc = json{{"macAddress", "AA-BB-CC-00-11-99"}, {"name", "pcx"}}.dump();
    EXPECT_EQ(CookieSend("POST", "/api/disk/clients", cookie, "", pc), 403);
    EXPECT_EQ(CookieSend("POST", "/api/disk/clients", cookie, std::string(64, '0'), pc), 403);
    // Another login's token does not fit this cookie.
    auto other = CookieLogin("admin", Server::kAdminPassword);
    ASSERT_FALSE(other.second.empty());
    EXPECT_NE(other.second, csrf);
    EXPECT_EQ(CookieSend("POST", "/api/disk/clients", cookie, other.second, pc), 403);
    EXPECT_EQ(CookieSend("DELETE", "/api/users/nobody", cookie, ""), 403);
    EXPECT_EQ(State(token_)["clients"].size(), 0u) << "a refused change changed something";
    EXPECT_EQ(CookieSend("POST", "/api/disk/clients", cookie, csrf, pc), 200);
    EXPECT_EQ(State(token_)["clients"].size(), 1u);
    // The bearer token (the client program) is not sent by browsers on their own: no CSRF token.
    EXPECT_EQ(server_.Post("/api/disk/clients", json{{"macAddress", "AA-BB-CC-00-11-98"}, {"name", "pcy"}}.dump(),
                           token_)
                  .status,
              200);
    // The session survives a reload; logout ends it and clears the cookie.
    EXPECT_EQ(CookieSend("GET", "/console/api/session", cookie, ""), 200);
    EXPECT_EQ(CookieSend("POST", "/console/api/logout", cookie, ""), 403);
    EXPECT_EQ(CookieSend("POST", "/console/api/logout", cookie, csrf), 200);
    EXPECT_EQ(CookieSend("GET", "/api/console/state", cookie, ""), 401);
    // The client program's logout route ends a cookie session too (no bearer header to cut).
    auto again = CookieLogin("admin", Server::kAdminPassword);
    EXPECT_EQ(CookieSend("POST", "/api/auth/disk/logout", again.first, again.second), 200);
    EXPECT_EQ(CookieSend("GET", "/api/console/state", again.first, ""), 401);
}

TEST_F(Console, ConsoleLoginIsRateLimitedLikeTheClientProgram) {
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(CookieLogin("admin", "wrong password!").first.empty());
    auto r = Http().Post("/console/api/login",
                         json{{"username", "admin"}, {"password", Server::kAdminPassword}}.dump(), "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["code"], 429);
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty());
}

TEST_F(Console, ConsoleLoginTakesOnlyJsonSoNoOtherSiteCanPostIt) {
    // What a cross-site HTML form could send without a preflight.
    auto r = Http().Post("/console/api/login",
                         json{{"username", "admin"}, {"password", Server::kAdminPassword}}.dump(), "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 415);
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty());
}

TEST_F(Console, PasswordChangeNeedsTheOldPasswordAndEndsEveryLogin) {
    auto wrong = server_.Post("/api/account/password",
                              json{{"oldPassword", "not it at all"}, {"newPassword", "a new password"}}.dump(), token_);
    EXPECT_EQ(wrong.status, 403);
    auto weak = server_.Post("/api/account/password",
                             json{{"oldPassword", Server::kAdminPassword}, {"newPassword", "short"}}.dump(), token_);
    EXPECT_EQ(weak.status, 400) << weak.body;
    auto ok = server_.Post("/api/account/password",
                           json{{"oldPassword", Server::kAdminPassword}, {"newPassword", "a new password"}}.dump(), token_);
    EXPECT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(server_.Get("/api/console/state", token_).status, 401);
    EXPECT_TRUE(server_.Login("admin", Server::kAdminPassword).empty());
    EXPECT_FALSE(server_.Login("admin", "a new password").empty());
}

TEST_F(Console, LayerCommitAndDiscardFollowSuperUserRules) {
    AddImageAndClient();
    int st = -1;
    server_.Admin("user add op1 --password-stdin", &st, "operator password\n");
    ASSERT_EQ(st, 0);
    std::string op = server_.Login("op1", "operator password");
    ASSERT_FALSE(op.empty());
    EXPECT_EQ(server_.Post("/api/disk/clients/1/layer/commit", "", op).status, 403) << "operators only read";
    EXPECT_EQ(server_.Post("/api/disk/clients/1/layer/commit", "", token_).status, 404) << "nothing to commit";
    EXPECT_EQ(server_.Post("/api/disk/clients/1/layer/discard", "", token_).status, 404);
    EXPECT_EQ(server_.Post("/api/disk/clients/7/layer/commit", "", token_).status, 404);

    ASSERT_EQ(server_.Post("/api/disk/clients/1/super", "{\"isSuperClient\":true}", token_).status, 200);
    auto c = State(token_)["clients"][0];
    EXPECT_TRUE(c["isSuperClient"]);
    EXPECT_EQ(server_.Post("/api/disk/clients/1/layer/discard", "", token_).status, 200);
    c = State(token_)["clients"][0];
    EXPECT_FALSE(c["isSuperClient"]);
    auto byMac = server_.Get("/api/disk/clients/by-mac/AA-BB-CC-00-11-22").Json();
    EXPECT_EQ(byMac["superUserToken"], "") << "the discarded layer's token must be revoked";
    ASSERT_TRUE(c.contains("pendingLayer"));
    EXPECT_EQ(c["pendingLayer"]["action"], "discard");

    ASSERT_EQ(server_.Post("/api/disk/clients/1/super", "{\"isSuperClient\":true}", token_).status, 200);
    EXPECT_EQ(server_.Post("/api/disk/clients/1/layer/commit", "", token_).status, 200);
    c = State(token_)["clients"][0];
    EXPECT_FALSE(c["isSuperClient"]);
    ASSERT_TRUE(c.contains("pendingLayer"));
    EXPECT_EQ(c["pendingLayer"]["action"], "merge");
    EXPECT_TRUE(c["pendingLayer"]["due"]) << "a commit from the console does not wait for a boot";
}

TEST_F(Console, StateShowsAPcOnlineOnceTheDiskServerChecksItsHandshake) {
    AddImageAndClient();
    auto c = State(token_)["clients"][0];
    EXPECT_FALSE(c["online"]);
    auto r = server_.Internal("POST", "/internal/v1/sessions/check",
                              json{{"iqn", "iqn.2024-01.net.zelko:image.1"}, {"clientId", "aabbcc001122"},
                                   {"peerIp", "127.0.0.1"}}
                                  .dump(),
                              Server::kSecret);
    ASSERT_EQ(r.status, 200);
    auto s = State(token_);
    c = s["clients"][0];
    EXPECT_TRUE(c["online"]);
    EXPECT_EQ(c["lastPeer"], "127.0.0.1");
    EXPECT_EQ(s["images"][0]["name"], "win10");
    EXPECT_TRUE(s["images"][0].contains("path")) << "administrators see the path";
    EXPECT_EQ(s["uploads"].size(), 0u);
}

TEST_F(Console, AnUploadIsClosedFromTheConsoleWithTheCsrfTokenOnly) {
    AddImageAndClient();
    auto up = server_.Post("/api/disk/images/upload-session", R"({"imageId":1})", token_).Json();
    ASSERT_EQ(up.value("code", -1), 0) << up.dump();
    std::string path = "/api/disk/uploads/" + std::to_string(up["sessionId"].get<int64_t>()) + "/close";
    auto [cookie, csrf] = CookieLogin("admin", Server::kAdminPassword);
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(CookieSend("POST", path, cookie, ""), 403);
    EXPECT_EQ(CookieSend("POST", path, cookie, std::string(64, '0')), 403);
    EXPECT_EQ(State(token_)["uploads"].size(), 1u) << "a refused request closes nothing";
    EXPECT_EQ(CookieSend("POST", path, cookie, csrf), 200);
    EXPECT_TRUE(State(token_)["uploads"].empty());
    EXPECT_EQ(CookieSend("POST", path, cookie, csrf), 404);
}

}  // namespace
