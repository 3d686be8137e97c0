#include "store.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "ZelkoWire.h"
#include "log.h"

namespace zelko::diskd {

using nlohmann::json;
namespace wire = zelko::wire;

namespace {
constexpr const char* kSecretHeader = "X-Zelko-Link-Secret";

std::unique_ptr<httplib::Client> MgmtClient(const Config& cfg) {
    auto c = std::make_unique<httplib::Client>(cfg.mgmtUrl);
    c->set_connection_timeout(2, 0);
    c->set_read_timeout(3, 0);
    c->set_write_timeout(3, 0);
    return c;
}
}  // namespace

std::string FallbackClientKey(const std::string& clientId, const std::string& peerIp) {
    return (clientId.empty() ? std::string("-") : clientId) + "@" + peerIp;
}

ImageStore::ImageStore(const Config& cfg) : cfg_(cfg) { hook_.Parse(cfg.mergePause); }

ImageStore::~ImageStore() {
    Stop();
    if (lockFd_ >= 0) close(lockFd_);
}

std::shared_ptr<Image> ImageStore::OpenImage(const ImageEntry& entry, std::string* error) {
    std::string dir = cfg_.dataDir + "/images/" + EncodeName(entry.iqn);
    auto img = Image::Open(entry, dir, hook_, error);
    if (img)
        ZLOG(Info, "image", "serving iqn=%s path=%s size=%llu version=%u ro=%d", entry.iqn.c_str(), entry.path.c_str(),
             static_cast<unsigned long long>(img->size()), img->version(), img->readOnly() ? 1 : 0);
    return img;
}

bool ImageStore::Start(std::string* error) {
    mkdir(cfg_.dataDir.c_str(), 0700);
    mkdir((cfg_.dataDir + "/images").c_str(), 0700);
    struct stat st;
    if (stat((cfg_.dataDir + "/images").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "cannot create data directory " + cfg_.dataDir;
        return false;
    }
    // Two servers on one data directory would merge into the same images and journals.
    lockFd_ = open((cfg_.dataDir + "/diskd.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        *error = "data directory " + cfg_.dataDir + " is in use by another zelko-diskd";
        return false;
    }
    if (!managed()) {
        for (const auto& ic : cfg_.images) {
            ImageEntry entry{ic.iqn, ic.path, ic.readOnly, ic.sizeBytes};
            auto img = OpenImage(entry, error);
            if (!img) return false;
            images_[ic.iqn] = img;
        }
        return true;
    }
    std::string err;
    if (!RefreshFromMgmt(&err)) ZLOG(Warn, "link", "image list not available yet: %s", err.c_str());
    poller_ = std::thread([this] { PollLoop(); });
    return true;
}

void ImageStore::Stop() {
    {
        std::lock_guard<std::mutex> lk(stopMutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    if (poller_.joinable()) poller_.join();
}

void ImageStore::PollLoop() {
    std::unique_lock<std::mutex> lk(stopMutex_);
    while (!stop_) {
        stopCv_.wait_for(lk, std::chrono::seconds(cfg_.imagePollSeconds));
        if (stop_) break;
        lk.unlock();
        std::string err;
        if (!RefreshFromMgmt(&err)) ZLOG(Warn, "link", "image list refresh failed: %s", err.c_str());
        lk.lock();
    }
}

bool ImageStore::RefreshFromMgmt(std::string* error) {
    if (!managed()) return true;
    std::lock_guard<std::mutex> rl(refreshMutex_);
    return RefreshLocked(error);
}

bool ImageStore::RefreshLocked(std::string* error) {
    auto c = MgmtClient(cfg_);
    httplib::Headers h{{kSecretHeader, cfg_.linkSecret}};
    auto res = c->Get("/internal/v1/images", h);
    if (!res) {
        *error = "GET /internal/v1/images: " + httplib::to_string(res.error());
        return false;
    }
    if (res->status != 200) {
        *error = "GET /internal/v1/images: HTTP " + std::to_string(res->status);
        return false;
    }
    std::vector<ImageEntry> entries;
    try {
        json j = json::parse(res->body);
        if (j.value("code", -1) != 0) throw std::runtime_error("code " + std::to_string(j.value("code", -1)));
        for (auto& it : j.at("items")) {
            ImageEntry s;
            s.iqn = it.at("iqn").get<std::string>();
            s.path = it.at("path").get<std::string>();
            s.readOnly = it.value("readOnly", false);
            s.sizeBytes = it.value("sizeBytes", 0ull);
            if (s.iqn.empty() || s.path.empty()) continue;
            entries.push_back(s);
        }
    } catch (const std::exception& e) {
        *error = std::string("bad image list: ") + e.what();
        return false;
    }
    std::map<std::string, std::shared_ptr<Image>> next;
    for (const auto& s : entries) {
        std::shared_ptr<Image> img;
        {
            std::lock_guard<std::mutex> lk(mutex_);
            auto it = images_.find(s.iqn);
            if (it != images_.end()) img = it->second;
            else if ((it = retired_.find(s.iqn)) != retired_.end()) img = it->second;
        }
        if (img && img->path() != s.path) {
            ZLOG(Warn, "image", "path change of iqn=%s ignored while it is open (old=%s new=%s)", s.iqn.c_str(),
                 img->path().c_str(), s.path.c_str());
        }
        if (!img) {
            std::string err;
            img = OpenImage(s, &err);
            if (!img) {
                ZLOG(Error, "image", "cannot serve iqn=%s: %s", s.iqn.c_str(), err.c_str());
                continue;
            }
        }
        img->SetReadOnly(s.readOnly);
        next[s.iqn] = img;
    }
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto& [iqn, img] : images_)
        if (!next.count(iqn)) {
            ZLOG(Info, "image", "iqn=%s left the image list; no new sessions", iqn.c_str());
            retired_[iqn] = img;
        }
    for (auto& [iqn, img] : next) retired_.erase(iqn);
    images_.swap(next);
    return true;
}

std::shared_ptr<Image> ImageStore::Find(const std::string& iqn) {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = images_.find(iqn);
    return it == images_.end() ? nullptr : it->second;
}

std::shared_ptr<Image> ImageStore::FindOrRefresh(const std::string& iqn) {
    auto img = Find(iqn);
    if (img || !managed()) return img;
    // One list request at a time: a miss that finds a refresh running waits for its result
    // instead of asking again (this runs on an admission thread, not on the data path).
    std::unique_lock<std::mutex> lk(refreshMutex_, std::try_to_lock);
    if (!lk.owns_lock()) {
        std::lock_guard<std::mutex> wait(refreshMutex_);
        return Find(iqn);
    }
    std::string err;
    if (!RefreshLocked(&err)) ZLOG(Warn, "link", "image list refresh failed: %s", err.c_str());
    return Find(iqn);
}

std::vector<std::shared_ptr<Image>> ImageStore::All() {
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::shared_ptr<Image>> out;
    for (auto& [k, v] : images_) out.push_back(v);
    for (auto& [k, v] : retired_) out.push_back(v);
    return out;
}

AdmitResult ImageStore::Admit(const AdmitRequest& req) {
    AdmitResult r;
    r.clientKey = FallbackClientKey(req.clientId, req.peerIp);
    if (!managed()) {
        if (!req.hasToken) return r;
        int64_t now = static_cast<int64_t>(time(nullptr));
        for (const auto& t : cfg_.tokens) {
            if (t.token.empty() || t.token != req.token || t.iqn != req.iqn) continue;
            if (t.expiresUnix && now >= t.expiresUnix) {
                r.error = wire::ErrAccessDenied;
                r.reason = "token expired";
                return r;
            }
            r.superUser = true;
            r.upload = t.kind == "upload";
            if (!t.clientKey.empty()) r.clientKey = t.clientKey;
            return r;
        }
        r.error = wire::ErrAccessDenied;
        r.reason = req.token.empty() ? "empty token" : "token not valid for this image";
        return r;
    }
    json body = {{"iqn", req.iqn}, {"clientId", req.clientId}, {"peerIp", req.peerIp}};
    if (req.hasToken) body["token"] = req.token;
    auto c = MgmtClient(cfg_);
    httplib::Headers h{{kSecretHeader, cfg_.linkSecret}};
    auto res = c->Post("/internal/v1/sessions/check", h, body.dump(), "application/json");
    if (!res || res->status != 200) {
        // Not a rejection: the driver retries a busy server but gives up after rejections.
        r.error = wire::ErrBusy;
        r.reason = res ? "session check HTTP " + std::to_string(res->status)
                       : "session check: " + httplib::to_string(res.error());
        return r;
    }
    try {
        json j = json::parse(res->body);
        if (j.value("code", -1) != 0) {
            r.error = wire::ErrBusy;
            r.reason = "session check code " + std::to_string(j.value("code", -1));
            if (j.contains("message") && j["message"].is_string()) r.reason += ": " + j["message"].get<std::string>();
            return r;
        }
        if (!j.value("allowed", false)) {
            r.error = wire::ErrAccessDenied;
            r.reason = "management server refused the session";
            return r;
        }
        r.superUser = j.value("superUser", false);
        r.readOnly = j.value("readOnly", false);
        r.upload = r.superUser && j.value("tokenKind", std::string()) == "upload";
        r.bootId = j.value("bootId", 0ull);
        std::string key = j.value("clientKey", std::string());
        if (!key.empty()) r.clientKey = key;
        if (req.hasToken && !r.superUser) {
            r.error = wire::ErrAccessDenied;
            r.reason = "token does not grant super-user mode";
        }
    } catch (const std::exception& e) {
        r.error = wire::ErrBusy;
        r.reason = std::string("bad session check reply: ") + e.what();
    }
    return r;
}

}  // namespace zelko::diskd
