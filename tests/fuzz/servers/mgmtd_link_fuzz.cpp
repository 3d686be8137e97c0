// What the management server decodes from the disk server's admin listener: the replies to the
// image status, merge, discard, prepare-disk and reload calls, read by the real callers — the
// flush of queued layer actions (the background thread's work), prepare-disk, the console's
// state page and the image-list notice. The link's HTTP call is replaced by replies taken from
// the input (DiskdLink::Exchange), so everything from the status line's number on is real.
//
// Input: byte 0 picks the operation, byte 1 its image; the rest is split at NUL bytes into the
// replies, handed out in call order. A reply's first byte picks its status (or "not reached"),
// the rest is its body. Calls beyond the input's replies find the disk server unreachable.
// State is the same for every input: a store copied from a template holding an administrator,
// two images, a PC in super-user mode, a merge that is due, one that is not, and a queued
// discard.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "scratch_dir.h"
#include "api.h"
#include "auth.h"
#include "config.h"
#include "diskd_link.h"
#include "service.h"
#include "store.h"
#include "util.h"
#include "zelko_common/log.h"

namespace m = zelko::mgmtd;
namespace fs = std::filesystem;

namespace {

constexpr const char* kAdminToken = "fuzz-admin-token-0123456789abcdef";

class ScriptedLink : public m::DiskdLink {
public:
    ScriptedLink() : DiskdLink("http://127.0.0.1:1", "fuzz-link-secret") {}
    std::vector<std::string_view> replies;
    size_t next = 0;

protected:
    Exchanged Exchange(const std::string& method, const std::string& path, int) override {
        Exchanged x;
        if (next >= replies.size() || replies[next].empty()) {
            ++next;
            x.error = "fuzz: not reached";
            return x;
        }
        std::string_view r = replies[next++];
        static const int kStatus[] = {200, 200, 200, 200, 404, 409, 500, 401, 502, 0};
        int status = kStatus[static_cast<uint8_t>(r[0]) % (sizeof kStatus / sizeof kStatus[0])];
        // Prepare-disk answers 404 by asking the disk server to reload and waiting up to three
        // seconds for it: real sleeps, which a fuzz input may not cost.
        if (status == 404 && path.size() > 13 && path.compare(path.size() - 13, 13, "/prepare-disk") == 0)
            status = 409;
        if (status == 0) {
            x.error = "fuzz: connection reset";
            return x;
        }
        x.reached = true;
        x.status = status;
        x.body.assign(r.substr(1));
        return x;
    }
};

struct Fixture {
    std::string dir;
    std::string templateDb;
    m::Config config;
    std::vector<int64_t> images;
    // The store and the service are made anew for every input, in the same place, so that the
    // API (whose routes are costly to compile) and the link keep pointing at them.
    std::optional<m::Store> store;
    std::optional<m::Service> service;
    ScriptedLink link;
    std::unique_ptr<m::Api> api;
    std::unique_ptr<m::http::Server> server;

    Fixture() {
        dir = fuzzsrv::ScratchDir("fuzz-mgmtd-link");
        zelko::common::SetLogLevel(zelko::common::LogLevel::Error);
        m::SetPasswordHashCost(1, 8);
        config.dataDir = dir + "/data";
        config.superMergeQuiet = 30;
        fs::create_directories(config.ImageDir());
        templateDb = dir + "/template.db";
        {
            m::Store s(templateDb);
            m::DiskdLink none("", "");  // nothing is sent while the state is built: it is queued
            m::Service svc(config, s, none);
            auto admin = svc.AddUser("admin", "fuzz-admin-password", true);
            s.AddSession(m::Sha256Hex(kAdminToken), admin.id, 4102444800);
            auto a = svc.AddImage("win10", 1 << 20, "", false, true);
            auto b = svc.AddImage("win11", 1 << 20, "", false, true);
            images = {a.id, b.id};
            // pc-01 left super-user mode and booted again: its merge is due.
            auto pc1 = svc.AddClient("00:11:22:33:44:01", "pc-01", std::string("10.0.0.11"), a.id);
            svc.SetSuper(pc1.id, true);
            svc.SetSuper(pc1.id, false);
            svc.OnBoot(pc1.id);
            // pc-02 left it and has not booted since: merged once its layer is quiet.
            auto pc2 = svc.AddClient("00:11:22:33:44:02", "pc-02", std::string("10.0.0.12"), b.id);
            svc.SetSuper(pc2.id, true);
            svc.SetSuper(pc2.id, false);
            // pc-03 is in super-user mode now.
            auto pc3 = svc.AddClient("00:11:22:33:44:03", "pc-03", std::string("10.0.0.13"), a.id);
            svc.SetSuper(pc3.id, true);
            // An upload that was closed: its layer's discard is queued.
            auto up = svc.OpenUpload(b.id, admin.id);
            svc.CloseUpload(up.session.id);
        }
    }

    // The database's write-ahead log only grows while the store is open, with every write;
    // an input that wrote nothing leaves it as it was, and the state need not be made anew.
    int64_t cleanWal = -1;
    int64_t WalBytes() const {
        struct stat st {};
        return stat((config.DbPath() + "-wal").c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    }

    void Reset() {
        link.replies.clear();
        link.next = 0;
        if (store && WalBytes() == cleanWal) return;
        service.reset();
        store.reset();
        fs::copy_file(templateDb, config.DbPath(), fs::copy_options::overwrite_existing);
        store.emplace(config.DbPath());
        service.emplace(config, *store, link);
        cleanWal = WalBytes();
        if (!api) {
            api = std::make_unique<m::Api>(*service);
            server = std::make_unique<m::http::Server>();
            api->Register(*server);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture* fx = new Fixture();
    if (size < 2) return 0;
    // Every input starts from the same state: a flush drops what it finished with.
    fx->Reset();
    std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    while (!rest.empty()) {
        size_t z = rest.find('\0');
        fx->link.replies.push_back(rest.substr(0, z));
        rest = z == std::string_view::npos ? std::string_view() : rest.substr(z + 1);
    }
    int64_t image = fx->images[data[1] % fx->images.size()];
    switch (data[0] % 5) {
        case 0:
        case 1:
            // The housekeeping thread's round; in the server an exception here would stop the
            // round (and every action queued behind the one that threw).
            fx->service->FlushLayerActions();
            break;
        case 2:
            try {
                fx->service->PrepareDisk(image);
            } catch (const m::ServiceError& e) {
                if (e.what()[0] == '\0') abort();  // the operator is told why
            }
            break;
        case 3: {
            m::http::Request req;
            req.method = "GET";
            req.path = "/api/console/state";
            req.remoteAddr = "127.0.0.1";
            req.headers.emplace_back("Authorization", std::string("Bearer ") + kAdminToken);
            m::http::Response res;
            fx->server->Handle(req, res);
            // A disk server answering nonsense is no reason for the page to fail.
            if (res.status != 200) abort();
            break;
        }
        default: fx->service->NotifyImagesChanged(); break;
    }
    return 0;
}
