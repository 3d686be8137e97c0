#include "api.h"

#include <strings.h>

#include "api_support.h"
#include "util.h"

namespace zelko::mgmtd {

using namespace api;

void Api::Register(http::Server& server) {
    using Method = void (Api::*)(const Request&, Response&);
    // Slow: hashes a password, formats an image or calls the disk server (see http::Lane).
    constexpr http::Lane Q = http::Lane::Quick, S = http::Lane::Slow;
    struct Route {
        const char* method;
        const char* pattern;
        Method handler;
        http::Lane lane;
    };
    static const Route kRoutes[] = {
        // boot: the driver and the client program
        {"POST", "/api/auth/disk/login", &Api::Login, S},
        {"POST", "/api/auth/disk/logout", &Api::Logout, Q},
        {"GET", R"(/api/disk/clients/by-mac/([^/]*))", &Api::ClientByMac, Q},
        {"GET", "/api/disk/images", &Api::ListImagesForClient, Q},
        {"POST", R"(/api/disk/clients/([^/]+)/super)", &Api::SetSuper, S},
        {"POST", R"(/api/disk/images/([^/]+)/prepare-disk)", &Api::PrepareDisk, S},
        {"POST", "/api/disk/images/upload-session", &Api::OpenUpload, S},
        {"GET", "/api/health", &Api::Health, Q},
        // console
        {"GET", "/api/disk/clients", &Api::ListClients, Q},
        {"POST", "/api/disk/clients", &Api::AddClient, Q},
        {"GET", R"(/api/disk/clients/([^/]+))", &Api::GetClient, Q},
        {"PUT", R"(/api/disk/clients/([^/]+))", &Api::UpdateClient, S},
        {"DELETE", R"(/api/disk/clients/([^/]+))", &Api::RemoveClient, S},
        {"POST", "/api/disk/images", &Api::AddImage, S},
        {"GET", R"(/api/disk/images/([^/]+))", &Api::GetImage, Q},
        {"PUT", R"(/api/disk/images/([^/]+))", &Api::UpdateImage, S},
        {"DELETE", R"(/api/disk/images/([^/]+))", &Api::RemoveImage, S},
        {"GET", "/api/users", &Api::ListUsers, Q},
        {"POST", "/api/users", &Api::AddUser, S},
        {"DELETE", R"(/api/users/([^/]+))", &Api::RemoveUser, Q},
        {"POST", "/api/account/password", &Api::ChangeOwnPassword, S},
        {"POST", R"(/api/disk/clients/([^/]+)/layer/commit)", &Api::CommitLayer, S},
        {"POST", R"(/api/disk/clients/([^/]+)/layer/discard)", &Api::DiscardLayer, S},
        {"POST", R"(/api/disk/uploads/([^/]+)/close)", &Api::CloseUpload, S},
        // Slow: asks the disk server about every image.
        {"GET", "/api/console/state", &Api::ConsoleState, S},
        // the web console
        {"GET", "/console", &Api::ConsolePage, Q},
        {"GET", R"(/console/([A-Za-z0-9_.-]*))", &Api::ConsolePage, Q},
        {"POST", "/console/api/login", &Api::ConsoleLogin, S},
        {"GET", "/console/api/session", &Api::ConsoleSession, Q},
        {"POST", "/console/api/logout", &Api::ConsoleLogout, Q},
        // link
        {"GET", "/internal/v1/images", &Api::LinkImages, Q},
        {"POST", "/internal/v1/sessions/check", &Api::LinkSessionCheck, Q},
    };
    for (const Route& r : kRoutes) {
        Method m = r.handler;
        server.Route(
            r.method, r.pattern, [this, m](const Request& req, Response& res) { (this->*m)(req, res); }, r.lane);
    }
}

std::optional<User> Api::Authed(const Request& req, Response& res) {
    std::string h = req.Header("Authorization");
    std::string token;
    bool viaCookie = false;
    if (h.size() > 7 && strncasecmp(h.c_str(), "Bearer ", 7) == 0) {
        token = h.substr(7);
    } else if (h.empty()) {
        token = CookieToken(req);
        viaCookie = !token.empty();
    }
    if (token.empty() || token.size() > 256) {
        Send(res, 401, ojson{{"code", 401}, {"message", "未登录或缺少访问令牌"}});
        return std::nullopt;
    }
    auto user = service_.store().FindSession(Sha256Hex(token), NowSeconds());
    if (!user) {
        Send(res, 401, ojson{{"code", 401}, {"message", "访问令牌无效或已过期，请重新登录"}});
        return std::nullopt;
    }
    if (viaCookie && req.method != "GET" && req.method != "HEAD" &&
        !ConstantTimeEquals(req.Header("X-CSRF-Token"), CsrfToken(token))) {
        LogWarn("console request " + req.method + " " + req.path + " from " + Remote(req) +
                " refused: missing or wrong anti-CSRF token");
        Send(res, 403, ojson{{"code", 403}, {"message", "缺少或无效的防跨站请求令牌，请刷新页面"}});
        return std::nullopt;
    }
    return user;
}

std::optional<User> Api::AdminOnly(const Request& req, Response& res) {
    auto u = Authed(req, res);
    if (u && !u->isAdmin) {
        Refuse(res, 403, "需要管理员权限", false);
        return std::nullopt;
    }
    return u;
}

}  // namespace zelko::mgmtd
