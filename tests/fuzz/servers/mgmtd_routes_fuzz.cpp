// Every route of the management server's API, called the way a worker calls it (routing,
// handler, error mapping) with a body, a path parameter, query parameters and headers taken
// from the input, against a real store in a temporary SQLite database. The store is rebuilt from
// a template every few hundred inputs, so what the inputs add stays bounded.
//
// Input: byte 0 picks the route, byte 1 who calls (nobody, an operator, an administrator, the
// disk server with the link secret, a console cookie); the rest is split at NUL bytes into
// path parameter, query string, extra header value and body.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include "scratch_dir.h"
#include "api.h"
#include "auth.h"
#include "config.h"
#include "diskd_link.h"
#include "service.h"
#include "store.h"
#include "util.h"
#include "zelko_common/link.h"
#include "zelko_common/log.h"

namespace m = zelko::mgmtd;
namespace fs = std::filesystem;

namespace {

struct RouteCase {
    const char* method;
    const char* path;  // "*" stands for the path parameter
};
// prepare-disk is left out: without a disk server it formats the image file with mkntfs, a
// separate program, far too slow per input.
const RouteCase kRoutes[] = {
    {"POST", "/api/auth/disk/login"},      {"POST", "/api/auth/disk/logout"},
    {"GET", "/api/disk/clients/by-mac/*"}, {"GET", "/api/disk/images"},
    {"POST", "/api/disk/clients/*/super"}, {"POST", "/api/disk/images/upload-session"},
    {"GET", "/api/health"},                {"GET", "/api/disk/clients"},
    {"POST", "/api/disk/clients"},         {"GET", "/api/disk/clients/*"},
    {"PUT", "/api/disk/clients/*"},        {"DELETE", "/api/disk/clients/*"},
    {"POST", "/api/disk/images"},          {"GET", "/api/disk/images/*"},
    {"PUT", "/api/disk/images/*"},         {"DELETE", "/api/disk/images/*"},
    {"GET", "/api/users"},                 {"POST", "/api/users"},
    {"DELETE", "/api/users/*"},            {"POST", "/api/account/password"},
    {"POST", "/api/disk/clients/*/layer/commit"}, {"POST", "/api/disk/clients/*/layer/discard"},
    {"GET", "/api/console/state"},         {"GET", "/console"},
    {"GET", "/console/*"},                 {"POST", "/console/api/login"},
    {"GET", "/console/api/session"},       {"POST", "/console/api/logout"},
    {"GET", "/internal/v1/images"},        {"POST", "/internal/v1/sessions/check"},
    {"HEAD", "/api/disk/images/*"},        {"PATCH", "/api/disk/clients/*"},
};

constexpr const char* kAdminToken = "fuzz-admin-token-0123456789abcdef";
constexpr const char* kOperatorToken = "fuzz-operator-token-0123456789abcd";
constexpr const char* kLinkSecret = "fuzz-link-secret";

struct Fixture {
    std::string dir;
    std::string templateDb;
    m::Config config;
    std::unique_ptr<m::Store> store;
    std::unique_ptr<m::DiskdLink> link;
    std::unique_ptr<m::Service> service;
    std::unique_ptr<m::Api> api;
    std::unique_ptr<m::http::Server> server;
    int uses = 0;

    Fixture() {
        dir = fuzzsrv::ScratchDir("fuzz-mgmtd");
        zelko::common::SetLogLevel(zelko::common::LogLevel::Error);
        // The cheapest argon2id there is: the same code hashes and checks every password, but
        // the server's cost (19 MiB, two passes) would make each login input take ~100 ms
        // under the sanitizers.
        m::SetPasswordHashCost(1, 8);
        config.dataDir = dir + "/data";
        config.linkSecret = kLinkSecret;
        fs::create_directories(config.ImageDir());
        templateDb = dir + "/template.db";
        {
            // The starting state: both kinds of operator with a session each, an image, a PC
            // on it and one in super-user mode.
            m::Store s(templateDb);
            m::DiskdLink none("", "");
            m::Service svc(config, s, none);
            auto admin = svc.AddUser("admin", "fuzz-admin-password", true);
            auto op = svc.AddUser("operator", "fuzz-operator-password", false);
            s.AddSession(m::Sha256Hex(kAdminToken), admin.id, 4102444800);
            s.AddSession(m::Sha256Hex(kOperatorToken), op.id, 4102444800);
            auto im = svc.AddImage("win10", 1 << 20, "", false, true);
            svc.AddClient("00:11:22:33:44:55", "pc-01", std::string("10.0.0.11"), im.id);
            auto su = svc.AddClient("00:11:22:33:44:66", "pc-02", std::string("10.0.0.12"), im.id);
            svc.SetSuper(su.id, true);
        }
        Rebuild();
    }

    void Rebuild() {
        server.reset();
        api.reset();
        service.reset();
        store.reset();
        fs::copy_file(templateDb, config.DbPath(), fs::copy_options::overwrite_existing);
        store = std::make_unique<m::Store>(config.DbPath());
        link = std::make_unique<m::DiskdLink>("", "");
        service = std::make_unique<m::Service>(config, *store, *link);
        api = std::make_unique<m::Api>(*service);
        server = std::make_unique<m::http::Server>();
        api->Register(*server);
        uses = 0;
    }
};

std::string_view Take(std::string_view& rest) {
    size_t z = rest.find('\0');
    std::string_view part = rest.substr(0, z);
    rest = z == std::string_view::npos ? std::string_view() : rest.substr(z + 1);
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture* fx = new Fixture();
    if (size < 2) return 0;
    if (++fx->uses > 256) fx->Rebuild();
    const RouteCase& rc = kRoutes[data[0] % (sizeof kRoutes / sizeof kRoutes[0])];
    uint8_t who = data[1];
    std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::string param(Take(rest)), query(Take(rest)), extra(Take(rest));
    std::string body(rest);

    m::http::Request req;
    req.method = rc.method;
    std::string path = rc.path;
    if (size_t star = path.find('*'); star != std::string::npos) path.replace(star, 1, param);
    req.path = path;
    req.query = query;
    // The query as the front splits it (the real decoder).
    for (std::string_view q = query; !q.empty();) {
        size_t amp = q.find('&');
        std::string_view kv = q.substr(0, amp);
        size_t eq = kv.find('=');
        if (!kv.empty())
            req.params.emplace(m::http::DecodeUrl(kv.substr(0, eq), true),
                               eq == std::string_view::npos ? "" : m::http::DecodeUrl(kv.substr(eq + 1), true));
        if (amp == std::string_view::npos) break;
        q.remove_prefix(amp + 1);
    }
    req.remoteAddr = "10.0.0.11";
    req.remotePort = 50000;
    req.body = body;
    req.headers.emplace_back("Content-Type", "application/json");
    switch (who % 6) {
        case 1: req.headers.emplace_back("Authorization", std::string("Bearer ") + kOperatorToken); break;
        case 2: req.headers.emplace_back("Authorization", std::string("Bearer ") + kAdminToken); break;
        case 3: req.headers.emplace_back(zelko::common::kLinkSecretHeader, kLinkSecret); break;
        case 4:
            req.headers.emplace_back("Cookie", extra);
            req.headers.emplace_back("X-CSRF-Token", extra);
            break;
        case 5: req.headers.emplace_back("Authorization", extra); break;
        default: break;
    }
    if (who & 0x80) req.headers.emplace_back("X-Forwarded-For", extra);
    m::http::Response res;
    fx->server->Handle(req, res);
    // Every answer is a real HTTP status, and an error answer says what went wrong.
    if (res.status < 100 || res.status > 599) abort();
    if (res.status >= 400 && res.body.empty()) abort();
    return 0;
}
