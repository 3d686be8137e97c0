#include "api.h"

#include <nlohmann/json.hpp>

#include "util.h"
#include "zelko_common/link.h"
#include "zelko_common/random.h"

namespace zelko::mgmtd {
namespace {

using ojson = nlohmann::ordered_json;
using httplib::Request;
using httplib::Response;

constexpr const char* kJsonType = "application/json; charset=utf-8";

void Send(Response& res, int status, const ojson& body) {
    res.status = status;
    // "replace": a stored name can never make the reply throw.
    res.set_content(body.dump(-1, ' ', false, ojson::error_handler_t::replace), kJsonType);
}

void SendOk(Response& res, ojson body = ojson::object()) {
    ojson out = {{"code", 0}};
    for (auto& [k, v] : body.items()) out[k] = v;
    Send(res, 200, out);
}

int HttpStatusFor(int code) {
    if (code == 15) return 409;
    if (code == 5) return 500;
    if (code >= 400 && code <= 599) return code;
    return 500;
}

// The client program reads `code` from these replies and shows `message`, but turns any status
// outside 200-299 into a bare "HTTP 状态码" text; so calls it reads that way answer refusals
// with 200 (`inBody`), the others with the matching status.
void Refuse(Response& res, int code, const std::string& message, bool inBody) {
    Send(res, inBody ? 200 : HttpStatusFor(code), ojson{{"code", code}, {"message", message}});
}

std::string Remote(const Request& req) {
    auto ip = NormalizeIpv4(req.remote_addr);
    return ip ? *ip : req.remote_addr;
}

// Parses a JSON object body; an empty body counts as {} when `emptyOk`.
std::optional<nlohmann::json> BodyObject(const Request& req, bool emptyOk) {
    if (req.body.empty() && emptyOk) return nlohmann::json::object();
    auto j = nlohmann::json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

ojson ImageJson(const Image& im) {
    return ojson{{"id", im.id},
                 {"name", im.name},
                 {"iqn", common::ImageIqn(im.id)},
                 {"sizeBytes", im.sizeBytes},
                 {"readOnly", im.readOnly},
                 {"path", im.path}};
}

ojson ClientJson(const Client& c) {
    return ojson{{"id", c.id},
                 {"name", c.name},
                 {"macAddress", DisplayMac(c.mac)},
                 {"ipAddress", c.ip ? ojson(*c.ip) : ojson(nullptr)},
                 {"imageId", c.imageId ? ojson(*c.imageId) : ojson(nullptr)},
                 {"imageIqn", c.imageId ? ojson(common::ImageIqn(*c.imageId)) : ojson("")},
                 {"isSuperClient", c.isSuper},
                 {"bootId", c.bootId}};
}

// Optional typed members of a request body; a member of the wrong type is an error.
struct Fields {
    const nlohmann::json& j;
    std::string error;
    std::optional<std::string> Str(const char* k, size_t maxLen = 1024) {
        if (!j.contains(k) || j[k].is_null()) return std::nullopt;
        if (!j[k].is_string() || j[k].get_ref<const std::string&>().size() > maxLen) {
            error = std::string("字段 ") + k + " 必须是字符串";
            return std::nullopt;
        }
        return j[k].get<std::string>();
    }
    std::optional<int64_t> Int(const char* k) {
        if (!j.contains(k) || j[k].is_null()) return std::nullopt;
        if (!j[k].is_number_integer()) {
            error = std::string("字段 ") + k + " 必须是整数";
            return std::nullopt;
        }
        return j[k].get<int64_t>();
    }
    std::optional<bool> Bool(const char* k) {
        if (!j.contains(k) || j[k].is_null()) return std::nullopt;
        if (!j[k].is_boolean()) {
            error = std::string("字段 ") + k + " 必须是布尔值";
            return std::nullopt;
        }
        return j[k].get<bool>();
    }
    bool Null(const char* k) { return j.contains(k) && j[k].is_null(); }
};

bool Paging(const Request& req, Response& res, int64_t* page, int64_t* pageSize, bool inBody) {
    *page = 1;
    *pageSize = 100;
    if (req.has_param("page")) {
        auto v = ParseId(req.get_param_value("page"));
        if (!v || *v > 1000000) return Refuse(res, 400, "page 必须是正整数", inBody), false;
        *page = *v;
    }
    if (req.has_param("pageSize")) {
        auto v = ParseId(req.get_param_value("pageSize"));
        if (!v || *v > 1000) return Refuse(res, 400, "pageSize 必须在 1 到 1000 之间", inBody), false;
        *pageSize = *v;
    }
    return true;
}

}  // namespace

void Api::Register(httplib::Server& server) {
    Store& store = service_.store();
    const Config& config = service_.config();

    // Bearer token of the request, or a 401 reply.
    auto authed = [&store](const Request& req, Response& res) -> std::optional<User> {
        std::string h = req.get_header_value("Authorization");
        std::string token;
        if (h.size() > 7 && strncasecmp(h.c_str(), "Bearer ", 7) == 0) token = h.substr(7);
        if (token.empty() || token.size() > 256) {
            Send(res, 401, ojson{{"code", 401}, {"message", "未登录或缺少访问令牌"}});
            return std::nullopt;
        }
        auto user = store.FindSession(Sha256Hex(token), NowSeconds());
        if (!user) {
            Send(res, 401, ojson{{"code", 401}, {"message", "访问令牌无效或已过期，请重新登录"}});
            return std::nullopt;
        }
        return user;
    };

    // Runs an operation; a ServiceError becomes a refusal, anything else a 500 without details
    // (they go to the log instead).
    auto guarded = [](Response& res, bool inBody, const std::function<void()>& fn) {
        try {
            fn();
        } catch (const ServiceError& e) {
            Refuse(res, e.code, e.what(), inBody);
        } catch (const std::exception& e) {
            LogError(std::string("request failed: ") + e.what());
            Refuse(res, 500, "服务器内部错误", inBody);
        }
    };

    // ---- the client program's and the driver's calls ----

    server.Post("/api/auth/disk/login", [this, &store, &config](const Request& req, Response& res) {
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
        std::optional<User> u;
        try {
            u = store.FindUser(*user);
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
            store.PruneSessions(now);
            store.AddSession(Sha256Hex(token), u->id, now + config.sessionTtl);
            LogInfo("login of \"" + u->username + "\" from " + addr);
            SendOk(res, ojson{{"accessToken", token},
                              {"tokenType", "Bearer"},
                              {"expiresIn", config.sessionTtl},
                              {"username", u->username},
                              {"isAdmin", u->isAdmin}});
        } catch (const std::exception& e) {
            LogError(std::string("login failed: ") + e.what());
            Refuse(res, 500, "服务器内部错误", true);
        }
    });

    server.Post("/api/auth/disk/logout", [authed, &store](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        store.DeleteSession(Sha256Hex(req.get_header_value("Authorization").substr(7)));
        SendOk(res);
    });

    // No login: the driver asks during boot. The driver reads this reply with a flat text
    // search for the first occurrence of each quoted key, so its members come first and only
    // values we generate ourselves stand before them.
    server.Get(R"(/api/disk/clients/by-mac/([^/]*))", [this, guarded, &store](const Request& req, Response& res) {
        std::string text = req.matches[1];
        auto mac = NormalizeMac(text);
        if (!mac) return Refuse(res, 400, "MAC 地址格式无效", true);
        guarded(res, true, [&] {
            auto c = store.FindClientByMac(*mac);
            if (!c) return Refuse(res, 404, "客户机未在服务端注册", true);
            std::string from = Remote(req);
            bool fromRegistered = c->ip && *c->ip == from;
            int64_t bootId = c->bootId;
            // The driver's form is the boot signal; only the PC itself (or anyone, for a PC
            // without a registered address) may give it.
            if (IsDriverMacForm(text) && (fromRegistered || !c->ip)) {
                bootId = store.RaiseBootId(c->id);
                LogInfo("boot of client " + std::to_string(c->id) + " from " + from + ", bootId " + std::to_string(bootId));
                service_.OnBoot(c->id);
            }
            std::string token;
            if (c->isSuper && !c->superToken.empty()) {
                if (fromRegistered) token = c->superToken;
                else LogWarn("super-user token of client " + std::to_string(c->id) + " withheld from " + from +
                             " (registered " + (c->ip ? *c->ip : std::string("none")) + ")");
            }
            Send(res, 200,
                 ojson{{"code", 0},
                       {"id", c->id},
                       {"imageIqn", c->imageId ? common::ImageIqn(*c->imageId) : std::string()},
                       {"imageId", c->imageId ? *c->imageId : 0},
                       {"macAddress", DisplayMac(c->mac)},
                       {"superUserToken", token},
                       {"isSuperClient", c->isSuper},
                       {"bootId", bootId},
                       {"name", c->name},
                       {"ipAddress", c->ip ? ojson(*c->ip) : ojson(nullptr)}});
        });
    });

    server.Get("/api/disk/images", [authed, guarded, &store](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        int64_t page, pageSize;
        if (!Paging(req, res, &page, &pageSize, true)) return;
        guarded(res, true, [&] {
            ojson items = ojson::array();
            for (auto& im : store.ListImages((page - 1) * pageSize, pageSize)) items.push_back(ImageJson(im));
            SendOk(res, ojson{{"items", items}, {"total", store.CountImages()}, {"page", page}, {"pageSize", pageSize}});
        });
    });

    server.Post(R"(/api/disk/clients/([^/]+)/super)", [this, authed, guarded](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "客户机 id 无效", true);
        auto body = BodyObject(req, false);
        if (!body || !(*body)["isSuperClient"].is_boolean())
            return Refuse(res, 400, "请求体需要布尔字段 isSuperClient", true);
        bool on = (*body)["isSuperClient"].get<bool>();
        guarded(res, true, [&] {
            Client c = service_.SetSuper(*id, on);
            SendOk(res, ojson{{"id", c.id}, {"isSuperClient", c.isSuper}});
        });
    });

    server.Post(R"(/api/disk/images/([^/]+)/prepare-disk)", [this, authed, guarded](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "镜像 id 无效", false);
        guarded(res, false, [&] {
            int64_t version = service_.PrepareDisk(*id);
            SendOk(res, ojson{{"imageId", *id}, {"version", version}});
        });
    });

    server.Post("/api/disk/images/upload-session", [this, authed, guarded](const Request& req, Response& res) {
        auto user = authed(req, res);
        if (!user) return;
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
        Fields f{*body, {}};
        auto imageId = f.Int("imageId");
        if (!imageId || *imageId < 1) return Refuse(res, 400, "需要正整数字段 imageId", false);
        guarded(res, false, [&] {
            auto up = service_.OpenUpload(*imageId, user->id);
            SendOk(res, ojson{{"uploadToken", up.token},
                              {"sessionId", up.session.id},
                              {"imageId", up.image.id},
                              {"iqn", common::ImageIqn(up.image.id)},
                              {"expiresAt", up.session.expiresAt},
                              {"data", ojson::array({ojson{{"uploadToken", up.token}}})}});
        });
    });

    // ---- console endpoints: reading is for every operator, changes are for administrators
    // (an image's path decides which file prepare-disk overwrites) ----

    auto admin = [authed](const Request& req, Response& res) -> std::optional<User> {
        auto u = authed(req, res);
        if (u && !u->isAdmin) {
            Refuse(res, 403, "需要管理员权限", false);
            return std::nullopt;
        }
        return u;
    };


    auto clientPatch = [](const nlohmann::json& j, ClientPatch* p) -> std::string {
        Fields f{j, {}};
        p->mac = f.Str("macAddress", 64);
        p->name = f.Str("name", 256);
        if (f.Null("ipAddress")) p->ip = std::optional<std::string>();
        else if (auto ip = f.Str("ipAddress", 64)) p->ip = ip;
        if (f.Null("imageId")) p->imageId = std::optional<int64_t>();
        else if (auto im = f.Int("imageId")) p->imageId = im;
        return f.error;
    };

    server.Get("/api/disk/clients", [authed, guarded, &store](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        int64_t page, pageSize;
        if (!Paging(req, res, &page, &pageSize, false)) return;
        guarded(res, false, [&] {
            ojson items = ojson::array();
            for (auto& c : store.ListClients((page - 1) * pageSize, pageSize)) items.push_back(ClientJson(c));
            SendOk(res, ojson{{"items", items}, {"total", store.CountClients()}, {"page", page}, {"pageSize", pageSize}});
        });
    });

    server.Post("/api/disk/clients", [this, admin, guarded, clientPatch](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
        ClientPatch p;
        std::string err = clientPatch(*body, &p);
        if (!err.empty()) return Refuse(res, 400, err, false);
        if (!p.mac || !p.name) return Refuse(res, 400, "需要字段 macAddress 和 name", false);
        guarded(res, false, [&] {
            Client c = service_.AddClient(*p.mac, *p.name, p.ip ? *p.ip : std::nullopt, p.imageId ? *p.imageId : std::nullopt);
            SendOk(res, ClientJson(c));
        });
    });

    server.Get(R"(/api/disk/clients/([^/]+))", [this, authed, guarded](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "客户机 id 无效", false);
        guarded(res, false, [&] { SendOk(res, ClientJson(service_.GetClient(*id))); });
    });

    server.Put(R"(/api/disk/clients/([^/]+))", [this, admin, guarded, clientPatch](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "客户机 id 无效", false);
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
        ClientPatch p;
        std::string err = clientPatch(*body, &p);
        if (!err.empty()) return Refuse(res, 400, err, false);
        guarded(res, false, [&] { SendOk(res, ClientJson(service_.UpdateClient(*id, p))); });
    });

    server.Delete(R"(/api/disk/clients/([^/]+))", [this, admin, guarded](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "客户机 id 无效", false);
        guarded(res, false, [&] {
            service_.RemoveClient(*id);
            SendOk(res);
        });
    });

    // ---- console endpoints: images ----

    server.Post("/api/disk/images", [this, admin, guarded](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
        Fields f{*body, {}};
        auto name = f.Str("name", 256);
        auto size = f.Int("sizeBytes");
        auto path = f.Str("path", 2048);
        auto ro = f.Bool("readOnly");
        auto create = f.Bool("createFile");
        if (!f.error.empty()) return Refuse(res, 400, f.error, false);
        if (!name) return Refuse(res, 400, "需要字段 name", false);
        if (size && *size < 0) return Refuse(res, 400, "sizeBytes 不能为负", false);
        guarded(res, false, [&] {
            Image im = service_.AddImage(*name, size ? static_cast<uint64_t>(*size) : 0, path.value_or(""),
                                         ro.value_or(false), create.value_or(true));
            SendOk(res, ImageJson(im));
        });
    });

    server.Get(R"(/api/disk/images/([^/]+))", [this, authed, guarded](const Request& req, Response& res) {
        if (!authed(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "镜像 id 无效", false);
        guarded(res, false, [&] { SendOk(res, ImageJson(service_.GetImage(*id))); });
    });

    server.Put(R"(/api/disk/images/([^/]+))", [this, admin, guarded](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "镜像 id 无效", false);
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
        Fields f{*body, {}};
        ImagePatch p;
        p.name = f.Str("name", 256);
        p.path = f.Str("path", 2048);
        if (auto s = f.Int("sizeBytes")) {
            if (*s < 0) return Refuse(res, 400, "sizeBytes 不能为负", false);
            p.sizeBytes = static_cast<uint64_t>(*s);
        }
        p.readOnly = f.Bool("readOnly");
        if (!f.error.empty()) return Refuse(res, 400, f.error, false);
        guarded(res, false, [&] { SendOk(res, ImageJson(service_.UpdateImage(*id, p))); });
    });

    server.Delete(R"(/api/disk/images/([^/]+))", [this, admin, guarded](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto id = ParseId(req.matches[1].str());
        if (!id) return Refuse(res, 400, "镜像 id 无效", false);
        guarded(res, false, [&] {
            service_.RemoveImage(*id);
            SendOk(res);
        });
    });

    // ---- console endpoints: operators ----


    server.Get("/api/users", [admin, guarded, &store](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        guarded(res, false, [&] {
            ojson items = ojson::array();
            for (auto& u : store.ListUsers())
                items.push_back(ojson{{"id", u.id}, {"username", u.username}, {"isAdmin", u.isAdmin}});
            SendOk(res, ojson{{"items", items}});
        });
    });

    server.Post("/api/users", [this, admin, guarded](const Request& req, Response& res) {
        if (!admin(req, res)) return;
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
        Fields f{*body, {}};
        auto name = f.Str("username", 256), password = f.Str("password", 2048);
        auto isAdmin = f.Bool("isAdmin");
        if (!f.error.empty() || !name || !password) return Refuse(res, 400, "需要字符串字段 username 和 password", false);
        guarded(res, false, [&] {
            User u = service_.AddUser(*name, *password, isAdmin.value_or(false));
            LogInfo("user \"" + u.username + "\" added");
            SendOk(res, ojson{{"id", u.id}, {"username", u.username}, {"isAdmin", u.isAdmin}});
        });
    });

    server.Delete(R"(/api/users/([^/]+))", [this, admin, guarded](const Request& req, Response& res) {
        auto me = admin(req, res);
        if (!me) return;
        std::string name = req.matches[1];
        guarded(res, false, [&] {
            service_.RemoveUser(name);
            LogInfo("user \"" + name + "\" removed by \"" + me->username + "\"");
            SendOk(res);
        });
    });

    server.Get("/api/health", [](const Request&, Response& res) { SendOk(res); });

    // ---- the link with zelko-diskd ----

    server.Get("/internal/v1/images", [guarded, &store](const Request& req, Response& res) {
        guarded(res, false, [&] {
            ojson items = ojson::array();
            for (auto& im : store.ListImages(0, INT64_MAX))
                items.push_back(ojson{{"id", im.id},
                                      {"iqn", common::ImageIqn(im.id)},
                                      {"name", im.name},
                                      {"path", im.path},
                                      {"sizeBytes", im.sizeBytes},
                                      {"readOnly", im.readOnly}});
            SendOk(res, ojson{{"items", items}});
        });
    });

    server.Post("/internal/v1/sessions/check", [this, guarded, &store](const Request& req, Response& res) {
        auto body = BodyObject(req, false);
        if (!body) return Refuse(res, 400, "body must be a JSON object", false);
        Fields f{*body, {}};
        auto iqn = f.Str("iqn", 255), clientId = f.Str("clientId", 255), peerIp = f.Str("peerIp", 64),
             token = f.Str("token", 255);
        if (!f.error.empty() || !iqn) return Refuse(res, 400, "iqn (string) required; clientId, peerIp, token must be strings", false);
        guarded(res, false, [&] {
            ojson out{{"code", 0}, {"allowed", false}, {"superUser", false}, {"tokenKind", ""},
                      {"clientKey", ""}, {"bootId", 0}, {"readOnly", false}};
            auto imageId = common::ImageIdFromIqn(*iqn);
            auto image = imageId ? store.GetImage(*imageId) : std::nullopt;
            if (!image) {
                out["reason"] = "unknown image";
                return Send(res, 200, out);
            }
            out["readOnly"] = image->readOnly;
            std::optional<std::string> peer = peerIp ? NormalizeIpv4(*peerIp) : std::nullopt;
            // Which PC is this: by its registered address, else by the client id the driver
            // sends (its MAC, or a name).
            std::optional<Client> client;
            if (peer) client = store.FindClientByIp(*peer);
            if (!client && clientId && !clientId->empty()) {
                std::string digits;
                for (char ch : *clientId)
                    if (ch != '-' && ch != ':') digits.push_back(ch);
                if (auto mac = NormalizeMac(digits)) client = store.FindClientByMac(*mac);
                if (!client) client = store.FindClientByName(*clientId);
            }
            if (client) {
                out["clientKey"] = Service::ClientKey(client->id);
                out["bootId"] = client->bootId;
            }
            if (!token || token->empty()) {
                // The first boot after leaving super-user mode waits ("busy", which the driver
                // retries) while its layer is merged, so it comes up on the new base.
                if (client && service_.MergeHoldsBoot(client->id))
                    return Send(res, 200, ojson{{"code", 15}, {"message", "the PC's super-user layer is being merged"}});
                out["allowed"] = true;
                return Send(res, 200, out);
            }
            // A super-user token counts only for its own PC's image, from its own address.
            if (auto owner = store.FindClientBySuperToken(*token)) {
                bool sameImage = owner->imageId && *owner->imageId == image->id;
                bool sameAddress = owner->ip && peer && *owner->ip == *peer;
                if (sameImage && sameAddress && !image->readOnly) {
                    out["allowed"] = true;
                    out["superUser"] = true;
                    out["tokenKind"] = "super";
                    out["clientKey"] = Service::ClientKey(owner->id);
                    out["bootId"] = owner->bootId;
                    return Send(res, 200, out);
                }
                out["reason"] = sameImage ? "super-user token presented from another address" : "token is for another image";
                LogWarn("super-user token of client " + std::to_string(owner->id) + " refused for " + *iqn +
                        (peer ? " from " + *peer : std::string()));
                return Send(res, 200, out);
            }
            if (auto up = store.FindUpload(Sha256Hex(*token), NowSeconds())) {
                if (up->imageId == image->id && !image->readOnly) {
                    out["allowed"] = true;
                    out["superUser"] = true;
                    out["tokenKind"] = "upload";
                    out["clientKey"] = Service::UploadKey(up->id);
                    return Send(res, 200, out);
                }
                out["reason"] = "token is for another image";
                return Send(res, 200, out);
            }
            out["reason"] = "unknown, revoked or expired token";
            Send(res, 200, out);
        });
    });
}

}  // namespace zelko::mgmtd
