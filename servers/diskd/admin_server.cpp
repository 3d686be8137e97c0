#include "admin_server.h"

#include <ctime>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "ZelkoWire.h"
#include "log.h"

namespace zelko::diskd {

using nlohmann::json;

namespace {

// Constant time in the configured length, so the secret cannot be found byte by byte.
bool SecretEquals(const std::string& presented, const std::string& configured) {
    unsigned diff = presented.size() == configured.size() ? 0u : 1u;
    for (size_t i = 0; i < configured.size(); ++i) {
        unsigned char a = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        diff |= a ^ static_cast<unsigned char>(configured[i]);
    }
    return diff == 0;
}

void Reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void Fail(httplib::Response& res, int status, int code, const std::string& message) {
    Reply(res, status, {{"code", code}, {"message", message}});
}

}  // namespace

AdminServer::AdminServer(const Config& cfg, ImageStore& store, ServerStats& stats)
    : cfg_(cfg), store_(store), stats_(stats) {}

AdminServer::~AdminServer() { Stop(); }

bool AdminServer::Start(std::string* error) {
    if (!cfg_.admin.enabled) return true;
    http_ = std::make_unique<httplib::Server>();
    auto& s = *http_;
    if (cfg_.linkSecret.empty())
        ZLOG(Warn, "admin", "no link secret configured: the admin listener %s:%u accepts every request",
             cfg_.admin.host.c_str(), cfg_.admin.port);
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (cfg_.linkSecret.empty()) return httplib::Server::HandlerResponse::Unhandled;
        if (SecretEquals(req.get_header_value("X-Zelko-Link-Secret"), cfg_.linkSecret))
            return httplib::Server::HandlerResponse::Unhandled;
        ZLOG(Warn, "admin", "link secret mismatch from %s for %s %s", req.remote_addr.c_str(), req.method.c_str(),
             req.path.c_str());
        res.status = 401;
        res.set_content("{\"code\":401,\"message\":\"link secret mismatch\"}", "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get(R"(/admin/v1/images/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        auto img = store_.Find(req.matches[1]);
        if (!img) return Fail(res, 404, 4, "unknown image");
        Reply(res, 200, img->Status());
    });
    s.Post(R"(/admin/v1/images/([^/]+)/prepare-disk)", [this](const httplib::Request& req, httplib::Response& res) {
        auto img = store_.Find(req.matches[1]);
        if (!img) return Fail(res, 404, 4, "unknown image");
        uint32_t version = 0;
        std::string err;
        ZLOG(Info, "admin", "prepare-disk requested iqn=%s", img->iqn().c_str());
        int rc = img->PrepareDisk(&version, &err);
        if (rc == 409) return Fail(res, 409, zelko::wire::ErrBusy, err);
        if (rc != 0) {
            ZLOG(Error, "admin", "prepare-disk failed iqn=%s: %s", img->iqn().c_str(), err.c_str());
            return Fail(res, 500, 5, err);
        }
        Reply(res, 200, {{"code", 0}, {"version", version}});
    });
    s.Post(R"(/admin/v1/images/([^/]+)/layers/([^/]+)/discard)",
           [this](const httplib::Request& req, httplib::Response& res) {
               auto img = store_.Find(req.matches[1]);
               if (!img) return Fail(res, 404, 4, "unknown image");
               std::string key = req.matches[2];
               if (!img->DiscardSuper(key)) {
                   // Nothing to discard is what the caller wants anyway, unless a merge owns it.
                   if (img->merging()) return Fail(res, 409, zelko::wire::ErrBusy, "a merge is running");
               }
               ZLOG(Info, "admin", "layer discard iqn=%s client=%s", img->iqn().c_str(), key.c_str());
               Reply(res, 200, {{"code", 0}});
           });
    s.Post(R"(/admin/v1/images/([^/]+)/layers/([^/]+)/merge)",
           [this](const httplib::Request& req, httplib::Response& res) {
               auto img = store_.Find(req.matches[1]);
               if (!img) return Fail(res, 404, 4, "unknown image");
               std::string key = req.matches[2];
               if (img->readOnly())
                   return Fail(res, 409, zelko::wire::ErrWriteProtected, "image is read-only; the layer is kept");
               ZLOG(Info, "admin", "layer merge requested iqn=%s client=%s", img->iqn().c_str(), key.c_str());
               MergeOutcome m;
               int rc = img->MergeDetached(key, &m);
               if (rc == 404) return Fail(res, 404, 4, m.error);
               if (rc == 409) {
                   ZLOG(Info, "admin", "layer merge refused iqn=%s client=%s: %s", img->iqn().c_str(), key.c_str(),
                        m.error.c_str());
                   return Fail(res, 409, zelko::wire::ErrBusy, m.error);
               }
               if (rc != 0) {
                   ZLOG(Error, "admin", "layer merge failed iqn=%s client=%s: %s", img->iqn().c_str(), key.c_str(),
                        m.error.c_str());
                   return Fail(res, 500, 5, m.error);
               }
               Reply(res, 200, {{"code", 0}, {"blocks", m.blocks}, {"bytes", m.bytes}, {"version", m.newVersion}});
           });
    s.Post("/admin/v1/reload", [this](const httplib::Request&, httplib::Response& res) {
        std::string err;
        if (!store_.RefreshFromMgmt(&err)) return Fail(res, 502, 5, err);
        Reply(res, 200, {{"code", 0}});
    });
    // Who holds a session now. `?iqn=` narrows it to one image.
    s.Get("/admin/v1/sessions", [this](const httplib::Request& req, httplib::Response& res) {
        std::string iqn = req.has_param("iqn") ? req.get_param_value("iqn") : std::string();
        Reply(res, 200, {{"code", 0}, {"now", static_cast<int64_t>(time(nullptr))}, {"items", stats_.sessions.List(iqn)}});
    });
    s.Get("/admin/v1/stats", [this](const httplib::Request&, httplib::Response& res) {
        Reply(res, 200, {{"code", 0},
                         {"requests", stats_.requests.load()},
                         {"udpRequests", stats_.udpRequests.load()},
                         {"bytesRead", stats_.bytesRead.load()},
                         {"bytesWritten", stats_.bytesWritten.load()},
                         {"errors", stats_.errors.load()},
                         {"pushAcks", stats_.pushAcks.load()},
                         {"sessions", stats_.sessions.size()}});
    });
    int port = cfg_.admin.port == 0 ? s.bind_to_any_port(cfg_.admin.host.c_str())
                                    : (s.bind_to_port(cfg_.admin.host.c_str(), cfg_.admin.port) ? cfg_.admin.port : -1);
    if (port <= 0) {
        *error = "cannot bind admin listener " + cfg_.admin.host + ":" + std::to_string(cfg_.admin.port);
        return false;
    }
    port_ = static_cast<uint16_t>(port);
    thread_ = std::thread([this] { http_->listen_after_bind(); });
    ZLOG(Info, "admin", "admin listener on %s:%u", cfg_.admin.host.c_str(), port_);
    return true;
}

void AdminServer::Stop() {
    if (!http_) return;
    http_->stop();
    if (thread_.joinable()) thread_.join();
    http_.reset();
}

}  // namespace zelko::diskd
