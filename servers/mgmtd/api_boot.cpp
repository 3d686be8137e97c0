// The calls of the driver (during boot) and of the client program on the PC. Their replies are
// read by programs that are already out in the cafés: members, their order before the driver's
// keys and the "refusal in the body" convention stay as they are.
#include "api.h"
#include "api_support.h"
#include "util.h"
#include "zelko_common/link.h"
#include "zelko_common/random.h"

namespace zelko::mgmtd {

using namespace api;

void Api::Login(const Request& req, Response& res) {
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", true);
    Fields f{*body, {}};
    auto user = f.Str("username", 64), password = f.Str("password", 1024);
    if (!f.error.empty() || !user || !password || user->empty())
        return Refuse(res, 400, "需要字符串字段 username 和 password", true);
    int64_t now = NowSeconds();
    std::string addr = Remote(req);
    std::string userKey = addr + "\n" + *user;
    int64_t wait = std::max(perUserAddress_.LockedFor(userKey, now), perAddress_.LockedFor(addr, now));
    if (wait > 0) {
        LogWarn("login of \"" + *user + "\" from " + addr + " refused: too many failures");
        return Refuse(res, 429, "登录失败次数过多，请 " + std::to_string(wait) + " 秒后再试", true);
    }
    try {
        Store& store = service_.store();
        std::optional<User> u = store.FindUser(*user);
        bool ok = u ? VerifyPassword(u->passwordHash, *password) : (BurnPasswordCheck(*password), false);
        if (!ok) {
            perUserAddress_.Failure(userKey, now);
            perAddress_.Failure(addr, now);
            LogWarn("login of \"" + *user + "\" from " + addr + " failed");
            return Refuse(res, 401, "用户名或密码错误", true);
        }
        perUserAddress_.Success(userKey);
        perAddress_.Success(addr);
        std::string token = common::RandomHexToken(32);
        int64_t ttl = service_.config().sessionTtl;
        store.PruneSessions(now);
        store.AddSession(Sha256Hex(token), u->id, now + ttl);
        LogInfo("login of \"" + u->username + "\" from " + addr);
        SendOk(res, ojson{{"accessToken", token},
                          {"tokenType", "Bearer"},
                          {"expiresIn", ttl},
                          {"username", u->username},
                          {"isAdmin", u->isAdmin}});
    } catch (const std::exception& e) {
        LogError(std::string("login failed: ") + e.what());
        Refuse(res, 500, "服务器内部错误", true);
    }
}

void Api::Logout(const Request& req, Response& res) {
    if (!Authed(req, res)) return;
    // Authed took the bearer token or, from the console, the cookie.
    std::string h = req.Header("Authorization");
    std::string token = h.size() > 7 ? h.substr(7) : CookieToken(req);
    service_.store().DeleteSession(Sha256Hex(token));
    SendOk(res);
}

// No login: the driver asks during boot, the client program before its operator has logged in.
// So the reply carries only what those two read — the PC's id and super-user state, its image
// and, for the PC itself, its super-user token — and nothing else about the PC (its name,
// address or boot count are for the console). The driver reads it with a flat text search for
// the first occurrence of each quoted key, so its members come first and only values we
// generate ourselves stand before them.
void Api::ClientByMac(const Request& req, Response& res) {
    const std::string& text = req.matches[1];
    auto mac = NormalizeMac(text);
    if (!mac) return Refuse(res, 400, "MAC 地址格式无效", true);
    Guarded(res, true, [&] {
        Store& store = service_.store();
        auto c = store.FindClientByMac(*mac);
        if (!c) return Refuse(res, 404, "客户机未在服务端注册", true);
        std::string from = Remote(req);
        bool fromRegistered = c->ip && *c->ip == from;
        // The driver's form is the boot signal; only the PC itself (or anyone, for a PC
        // without a registered address) may give it.
        if (IsDriverMacForm(text) && (fromRegistered || !c->ip)) {
            int64_t bootId = store.RaiseBootId(c->id);
            LogInfo("boot of client " + std::to_string(c->id) + " from " + from + ", bootId " + std::to_string(bootId));
            service_.OnBoot(c->id);
        }
        std::string token;
        if (c->isSuper && !c->superToken.empty()) {
            if (fromRegistered)
                token = c->superToken;
            else
                LogWarn("super-user token of client " + std::to_string(c->id) + " withheld from " + from +
                        " (registered " + (c->ip ? *c->ip : std::string("none")) + ")");
        }
        Send(res, 200,
             ojson{{"code", 0},
                   {"id", c->id},
                   {"imageIqn", c->imageId ? common::ImageIqn(*c->imageId) : std::string()},
                   {"imageId", c->imageId ? *c->imageId : 0},
                   {"macAddress", DisplayMac(c->mac)},
                   {"superUserToken", token},
                   {"isSuperClient", c->isSuper}});
    });
}

// The client program's image list reads id and name; administrators also see where each image
// lives, which tells everybody else nothing they need.
void Api::ListImagesForClient(const Request& req, Response& res) {
    auto user = Authed(req, res);
    if (!user) return;
    int64_t page, pageSize;
    if (!Paging(req, res, &page, &pageSize, true)) return;
    Guarded(res, true, [&] {
        Store& store = service_.store();
        ojson items = ojson::array();
        for (auto& im : store.ListImages((page - 1) * pageSize, pageSize))
            items.push_back(ImageJson(im, user->isAdmin));
        SendOk(res, ojson{{"items", items}, {"total", store.CountImages()}, {"page", page}, {"pageSize", pageSize}});
    });
}

void Api::SetSuper(const Request& req, Response& res) {
    if (!Authed(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "客户机 id 无效", true);
    auto body = BodyObject(req, false);
    if (!body || !(*body)["isSuperClient"].is_boolean())
        return Refuse(res, 400, "请求体需要布尔字段 isSuperClient", true);
    bool on = (*body)["isSuperClient"].get<bool>();
    Guarded(res, true, [&] {
        Client c = service_.SetSuper(*id, on);
        SendOk(res, ojson{{"id", c.id}, {"isSuperClient", c.isSuper}});
    });
}

void Api::PrepareDisk(const Request& req, Response& res) {
    if (!Authed(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "镜像 id 无效", false);
    Guarded(res, false, [&] {
        int64_t version = service_.PrepareDisk(*id);
        SendOk(res, ojson{{"imageId", *id}, {"version", version}});
    });
}

void Api::OpenUpload(const Request& req, Response& res) {
    auto user = Authed(req, res);
    if (!user) return;
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    Fields f{*body, {}};
    auto imageId = f.Int("imageId");
    if (!imageId || *imageId < 1) return Refuse(res, 400, "需要正整数字段 imageId", false);
    Guarded(res, false, [&] {
        auto up = service_.OpenUpload(*imageId, user->id);
        SendOk(res, ojson{{"uploadToken", up.token},
                          {"sessionId", up.session.id},
                          {"imageId", up.image.id},
                          {"iqn", common::ImageIqn(up.image.id)},
                          {"expiresAt", up.session.expiresAt},
                          {"data", ojson::array({ojson{{"uploadToken", up.token}}})}});
    });
}

void Api::Health(const Request&, Response& res) { SendOk(res); }

}  // namespace zelko::mgmtd
