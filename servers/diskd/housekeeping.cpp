#include "housekeeping.h"

#include "log.h"

namespace zelko::diskd {

Housekeeping::Housekeeping(const Config& cfg, ImageStore& store) : cfg_(cfg), store_(store) {}

Housekeeping::~Housekeeping() { Stop(); }

std::chrono::seconds Housekeeping::Period(const Config& cfg) {
    // Expiry runs at this granularity; a retention below half a minute (tests, small setups)
    // would otherwise be overshot many times over.
    return std::chrono::seconds(cfg.overlayRetentionSeconds && cfg.overlayRetentionSeconds < 30 ? 1 : 30);
}

void Housekeeping::Start() {
    if (thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { Loop(); });
}

void Housekeeping::RequestReload() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        reload_ = true;
    }
    cv_.notify_all();
}

void Housekeeping::Stop() {
    {
        std::lock_guard<std::mutex> lk(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Housekeeping::Loop() {
    std::unique_lock<std::mutex> lk(mutex_);
    const auto period = Period(cfg_);
    for (;;) {
        bool woken = cv_.wait_for(lk, period, [&] { return stopping_ || reload_; });
        if (stopping_) return;
        bool doReload = woken && reload_;
        reload_ = false;
        lk.unlock();
        if (doReload) {
            std::string err;
            if (!store_.RefreshFromMgmt(&err)) ZLOG(Warn, "main", "reload failed: %s", err.c_str());
        } else {
            Chores();
        }
        lk.lock();
    }
}

void Housekeeping::Chores() {
    for (auto& img : store_.All()) {
        img->TouchAttached();
        img->SyncSuperLayers();
        if (cfg_.overlayRetentionSeconds) img->ExpireOverlays(cfg_.overlayRetentionSeconds);
    }
}

}  // namespace zelko::diskd
