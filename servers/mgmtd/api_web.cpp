// The operator's web console: its static files (compiled in, see console/embed.cmake), a login
// that keeps the session token in an HttpOnly cookie, the whole café's state in one call, and
// the console actions the client program does not have (own password, commit or discard a
// PC's layer). Everything else the page does goes through the console routes of
// api_console.cpp and api_boot.cpp, authenticated by the cookie plus the anti-CSRF token.
#include <algorithm>
#include <map>

#include "api.h"
#include "api_support.h"
#include "auth.h"
#include "console_assets.h"
#include "util.h"
#include "zelko_common/link.h"

namespace zelko::mgmtd {

using namespace api;

namespace {

constexpr const char* kCookie = "zelko_console";
// Without the disk server's session list (no disk server configured, or one that cannot
// answer it), a PC counts as online when the disk server checked one of its handshakes this
// recently: a guess, shown as such.
constexpr int64_t kOnlineWindowSeconds = 120;
constexpr uint64_t kLayerBlockBytes = 4096;  // the disk server's layer block

// The page runs only its own files: no inline script or style, no other origin, no framing.
void SecurityHeaders(Response& res) {
    res.headers.emplace_back("Content-Security-Policy",
                             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                             "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    res.headers.emplace_back("X-Frame-Options", "DENY");
    res.headers.emplace_back("Referrer-Policy", "no-referrer");
    res.headers.emplace_back("Cache-Control", "no-store");
}

std::string SessionCookie(const std::string& value, int64_t maxAge) {
    return std::string(kCookie) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
           std::to_string(maxAge);
}

}  // namespace

std::string Api::CookieToken(const Request& req) {
    std::string h = req.Header("Cookie");
    std::string want = std::string(kCookie) + "=";
    size_t pos = 0;
    while (pos < h.size()) {
        while (pos < h.size() && (h[pos] == ' ' || h[pos] == ';')) ++pos;
        size_t end = h.find(';', pos);
        if (end == std::string::npos) end = h.size();
        if (h.compare(pos, want.size(), want) == 0) {
            std::string v = h.substr(pos + want.size(), end - pos - want.size());
            return v.size() <= 256 ? v : std::string();
        }
        pos = end;
    }
    return {};
}

void Api::ConsolePage(const Request& req, Response& res) {
    std::string name = req.matches.size() > 1 ? req.matches[1] : std::string();
    if (name.empty()) name = "index.html";
    for (const ConsoleAsset& a : ConsoleAssets()) {
        if (a.name != name) continue;
        res.status = 200;
        res.Set(std::string(a.data), std::string(a.contentType));
        SecurityHeaders(res);
        return;
    }
    Refuse(res, 404, "没有这个页面", false);
}

// The client program's login (same checks, same rate limit), with the token handed to the
// browser as a cookie scripts cannot read; the page gets only the anti-CSRF token.
void Api::ConsoleLogin(const Request& req, Response& res) {
    // A JSON content type cannot be sent cross-site without a preflight (which this server never
    // grants), so another site cannot log a browser into an account of its choosing.
    std::string type = req.Header("Content-Type");
    if (type.compare(0, 16, "application/json") != 0)
        return Refuse(res, 415, "请求体必须是 application/json", false);
    Login(req, res);
    auto reply = nlohmann::json::parse(res.body, nullptr, false);
    if (!reply.is_object() || reply.value("code", -1) != 0 || !reply.contains("accessToken")) return;
    std::string token = reply["accessToken"];
    int64_t ttl = reply.value("expiresIn", int64_t{0});
    Send(res, 200,
         ojson{{"code", 0},
               {"username", reply["username"]},
               {"isAdmin", reply["isAdmin"]},
               {"csrfToken", CsrfToken(token)}});
    res.headers.emplace_back("Set-Cookie", SessionCookie(token, ttl));
    res.headers.emplace_back("Cache-Control", "no-store");
}

void Api::ConsoleSession(const Request& req, Response& res) {
    auto user = Authed(req, res);
    if (!user) return;
    std::string token = CookieToken(req);
    ojson out{{"code", 0}, {"username", user->username}, {"isAdmin", user->isAdmin}};
    if (!token.empty()) out["csrfToken"] = CsrfToken(token);
    Send(res, 200, out);
    res.headers.emplace_back("Cache-Control", "no-store");
}

void Api::ConsoleLogout(const Request& req, Response& res) {
    if (!Authed(req, res)) return;
    std::string token = CookieToken(req);
    if (!token.empty()) service_.store().DeleteSession(Sha256Hex(token));
    SendOk(res);
    res.headers.emplace_back("Set-Cookie", SessionCookie("", 0));
}

void Api::ChangeOwnPassword(const Request& req, Response& res) {
    auto user = Authed(req, res);
    if (!user) return;
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    Fields f{*body, {}};
    auto oldPw = f.Str("oldPassword", 1024), newPw = f.Str("newPassword", 1024);
    if (!f.error.empty() || !oldPw || !newPw) return Refuse(res, 400, "需要字符串字段 oldPassword 和 newPassword", false);
    Guarded(res, false, [&] {
        auto u = service_.store().FindUser(user->username);
        // The old password again: a session left open on a shared screen is not enough.
        if (!u || !VerifyPassword(u->passwordHash, *oldPw)) return Refuse(res, 403, "原密码错误", false);
        service_.SetPassword(user->username, *newPw);  // also ends every login of the user
        LogInfo("user \"" + user->username + "\" changed the password from " + Remote(req));
        SendOk(res);
    });
}

void Api::CommitLayer(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "客户机 id 无效", false);
    Guarded(res, false, [&] {
        service_.CommitLayer(*id);
        SendOk(res);
    });
}

void Api::DiscardLayer(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "客户机 id 无效", false);
    Guarded(res, false, [&] {
        service_.DiscardClientLayer(*id);
        SendOk(res);
    });
}

void Api::CloseUpload(const Request& req, Response& res) {
    auto me = AdminOnly(req, res);
    if (!me) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "上传会话 id 无效", false);
    Guarded(res, false, [&] {
        // Revokes the upload token and throws its layer away at the disk server: a driver
        // still writing gets its writes refused and cannot reconnect.
        service_.CloseUpload(*id);
        LogInfo("upload session " + std::to_string(*id) + " closed from the console by \"" + me->username + "\"");
        SendOk(res);
    });
}

namespace {

uint64_t U64(const nlohmann::json& j, const char* k) {
    return j.is_object() && j.contains(k) && j[k].is_number_unsigned() ? j[k].get<uint64_t>()
           : j.is_object() && j.contains(k) && j[k].is_number_integer() && j[k].get<int64_t>() > 0
               ? static_cast<uint64_t>(j[k].get<int64_t>())
               : 0;
}

std::string Str(const nlohmann::json& j, const char* k) {
    return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
}

// One of the disk server's sessions as the console shows it.
ojson SessionJson(const nlohmann::json& s) {
    ojson o{{"mode", Str(s, "mode")},
            {"since", static_cast<int64_t>(U64(s, "since"))},
            {"peer", Str(s, "peer")},
            {"bytesRead", U64(s, "bytesRead")},
            {"bytesWritten", U64(s, "bytesWritten")}};
    if (s.contains("layerBlocks")) o["layerBytes"] = U64(s, "layerBlocks") * kLayerBlockBytes;
    return o;
}

}  // namespace

// Everything the console shows, in one reply: PCs with their live state, images with what the
// disk server holds of them (layers, merges, version), open uploads with their progress, and
// the queued layer actions. The disk server's part is fetched here through the link: the
// sessions it holds now (one call), then each image's layers; when it cannot be reached the
// rest is still answered, with `diskdError`.
void Api::ConsoleState(const Request& req, Response& res) {
    auto user = Authed(req, res);
    if (!user) return;
    Guarded(res, false, [&] {
        Store& store = service_.store();
        int64_t now = NowSeconds();
        auto images = store.ListImages(0, 1000000);
        auto clients = store.ListClients(0, 1000000);
        auto uploads = store.OpenUploads(now, std::nullopt);
        auto actions = store.QueuedActions();
        auto seen = service_.LastHandshakes();
        DiskdLink& diskd = service_.diskd();
        std::string diskdError;

        // Who holds a session on the disk server now: the console's "online".
        nlohmann::json sessions = nlohmann::json::array();
        bool sessionsKnown = false;
        std::string sessionsError;
        if (diskd.Configured()) {
            auto r = diskd.Sessions();
            if (r.status == 200 && r.Code() == 0 && r.body.contains("items") && r.body["items"].is_array()) {
                sessions = r.body["items"];
                sessionsKnown = true;
            } else if (r.status == 0) {
                diskdError = r.Message();
            } else {
                sessionsError = r.Message();  // e.g. a disk server without the session list
            }
        }

        // clientKey -> layer status, per image; iqn -> the image's running merge
        std::map<std::pair<int64_t, std::string>, ojson> layers;
        std::map<int64_t, nlohmann::json> merges;
        std::map<int64_t, uint64_t> diskSizes;
        ojson imageItems = ojson::array();
        for (const Image& im : images) {
            ojson j = ImageJson(im, user->isAdmin);
            j["version"] = im.version;
            std::string iqn = common::ImageIqn(im.id);
            if (diskd.Configured() && diskdError.empty()) {
                auto r = diskd.ImageInfo(iqn);
                if (r.status == 200 && r.Code() == 0) {
                    const auto& b = r.body;
                    j["version"] = b.value("version", im.version);
                    j["normalOverlays"] = b.value("normalOverlays", 0);
                    j["mergePending"] = b.value("mergePending", false);
                    if (uint64_t size = U64(b, "sizeBytes")) diskSizes[im.id] = size;
                    if (b.contains("merge") && b["merge"].is_object()) {
                        merges[im.id] = b["merge"];
                        j["merge"] = ojson{{"clientKey", Str(b["merge"], "clientKey")},
                                           {"phase", Str(b["merge"], "phase")},
                                           {"blocksDone", U64(b["merge"], "blocksDone")},
                                           {"blocksTotal", U64(b["merge"], "blocksTotal")}};
                    }
                    ojson ls = ojson::array();
                    if (b.contains("superLayers") && b["superLayers"].is_array()) {
                        for (const auto& l : b["superLayers"]) {
                            if (!l.is_object()) continue;
                            uint64_t blocks = U64(l, "blocks");
                            ojson o{{"clientKey", Str(l, "clientKey")},
                                    {"blocks", blocks},
                                    {"bytes", l.contains("bytes") ? U64(l, "bytes") : blocks * kLayerBlockBytes},
                                    {"sessions", l.value("sessions", 0)},
                                    {"idleSeconds", l.value("idleSeconds", int64_t{0})},
                                    {"merging", l.value("merging", false)}};
                            if (l.value("upload", false)) {
                                o["upload"] = true;
                                o["writtenBytes"] = U64(l, "writtenBytes");
                                o["writtenEnd"] = U64(l, "writtenEnd");
                            }
                            layers[{im.id, Str(l, "clientKey")}] = o;
                            ls.push_back(o);
                        }
                    }
                    j["layers"] = ls;
                } else if (r.status == 0) {
                    diskdError = r.Message();  // down: no point asking for every other image
                } else {
                    j["diskdError"] = r.Message();
                }
            }
            int online = 0;
            for (const auto& sj : sessions)
                if (Str(sj, "iqn") == iqn) ++online;
            if (sessionsKnown) j["sessions"] = online;
            ojson pending = ojson::array();
            for (const auto& a : actions)
                if (a.imageId == im.id)
                    pending.push_back(ojson{{"clientKey", a.clientKey}, {"action", a.action}, {"due", a.due}});
            j["pendingLayers"] = pending;
            imageItems.push_back(j);
        }

        // The disk server names a PC by the key the session check gave it; a PC it could not
        // name (not registered by address, MAC or name at the time) by the client id the
        // driver sent, which is the PC's MAC.
        auto owner = [&](const nlohmann::json& sj) -> const Client* {
            std::string key = Str(sj, "clientKey");
            for (const Client& c : clients) {
                if (!key.empty() && key == Service::ClientKey(c.id)) return &c;
                if (key.empty()) {
                    auto mac = NormalizeMac(Str(sj, "clientId"));
                    if (mac && *mac == c.mac) return &c;
                }
            }
            return nullptr;
        };
        std::map<int64_t, ojson> clientSessions;
        ojson sessionItems = ojson::array();
        for (const auto& sj : sessions) {
            if (!sj.is_object()) continue;
            ojson o = SessionJson(sj);
            o["iqn"] = Str(sj, "iqn");
            o["clientId"] = Str(sj, "clientId");
            o["clientKey"] = Str(sj, "clientKey");
            if (const Client* c = owner(sj)) {
                o["client"] = ojson{{"id", c->id}, {"name", c->name}};
                clientSessions[c->id].push_back(SessionJson(sj));
            }
            sessionItems.push_back(o);
        }

        ojson clientItems = ojson::array();
        for (const Client& c : clients) {
            ojson j = ClientJson(c);
            std::string key = Service::ClientKey(c.id);
            bool live = false;
            if (c.imageId) {
                auto it = layers.find({*c.imageId, key});
                if (it != layers.end()) {
                    j["layer"] = it->second;
                    live = it->second.value("sessions", 0) > 0;
                    auto m = merges.find(*c.imageId);
                    if (m != merges.end() && Str(m->second, "clientKey") == key)
                        j["layer"]["merge"] = ojson{{"phase", Str(m->second, "phase")},
                                                    {"blocksDone", U64(m->second, "blocksDone")},
                                                    {"blocksTotal", U64(m->second, "blocksTotal")}};
                }
            }
            auto s = seen.find(c.id);
            if (s != seen.end()) {
                j["lastHandshake"] = s->second.at;
                j["lastPeer"] = s->second.peer;
            }
            auto cs = clientSessions.find(c.id);
            j["sessions"] = cs != clientSessions.end() ? cs->second : ojson::array();
            if (sessionsKnown) {
                // Exact: the PC holds a session on the disk server right now.
                j["online"] = cs != clientSessions.end();
                j["onlineSource"] = "diskd";
            } else {
                // Without the disk server's list, the best guess is a recent handshake.
                j["online"] = live || (s != seen.end() && now - s->second.at <= kOnlineWindowSeconds);
                j["onlineSource"] = "handshake";
            }
            for (const auto& a : actions)
                if (a.clientId == c.id || a.clientKey == key)
                    j["pendingLayer"] = ojson{{"action", a.action}, {"due", a.due}};
            clientItems.push_back(j);
        }

        ojson uploadItems = ojson::array();
        for (const UploadSession& u : uploads) {
            std::string key = Service::UploadKey(u.id);
            ojson j{{"id", u.id}, {"imageId", u.imageId}, {"createdAt", u.createdAt}, {"expiresAt", u.expiresAt}};
            auto it = layers.find({u.imageId, key});
            bool open = it != layers.end();
            j["layerOpen"] = open;
            j["sessions"] = open ? it->second.value("sessions", 0) : 0;
            j["merging"] = open && it->second.value("merging", false);
            j["idleSeconds"] = open ? it->second.value("idleSeconds", int64_t{0}) : 0;
            // Progress: the disk server counts what the upload has written (each 4 KiB block
            // once) and how far into the disk it has come. The upload goes front to back and
            // skips zero blocks, so the position against the image's size is the percentage;
            // the bytes are what actually came over the network.
            uint64_t total = diskSizes.count(u.imageId) ? diskSizes[u.imageId] : 0;
            for (const Image& im : images)
                if (im.id == u.imageId && !total) total = im.sizeBytes;
            uint64_t written = open ? U64(it->second, "writtenBytes") : 0;
            uint64_t end = open ? U64(it->second, "writtenEnd") : 0;
            j["writtenBytes"] = written;
            j["position"] = end;
            j["totalBytes"] = total;
            j["percent"] = total ? static_cast<int>(std::min<uint64_t>(100, end * 100 / total)) : 0;
            for (const auto& sj : sessions)
                if (Str(sj, "clientKey") == key) {
                    j["connected"] = SessionJson(sj);
                    break;
                }
            auto m = merges.find(u.imageId);
            if (m != merges.end() && Str(m->second, "clientKey") == key)
                j["merge"] = ojson{{"phase", Str(m->second, "phase")},
                                   {"blocksDone", U64(m->second, "blocksDone")},
                                   {"blocksTotal", U64(m->second, "blocksTotal")}};
            uploadItems.push_back(j);
        }

        ojson out{{"code", 0},
                  {"now", now},
                  {"me", ojson{{"username", user->username}, {"isAdmin", user->isAdmin}}},
                  {"diskd", diskd.Configured()},
                  {"sessionsKnown", sessionsKnown},
                  {"sessions", sessionItems},
                  {"clients", clientItems},
                  {"images", imageItems},
                  {"uploads", uploadItems}};
        if (!diskdError.empty()) out["diskdError"] = diskdError;
        if (!sessionsError.empty()) out["sessionsError"] = sessionsError;
        SendOk(res, out);
    });
}

}  // namespace zelko::mgmtd
