#include "session_table.h"

#include <algorithm>

#include "image.h"

namespace zelko::diskd {

const char* SessionModeName(SessionMode m) {
    switch (m) {
        case SessionMode::ReadOnly: return "readonly";
        case SessionMode::Normal: return "normal";
        case SessionMode::Super: return "super";
        case SessionMode::Upload: return "upload";
    }
    return "readonly";
}

std::shared_ptr<LiveSession> SessionTable::Add(std::shared_ptr<LiveSession> s) {
    std::lock_guard<std::mutex> lk(mutex_);
    live_.push_back(s);
    return s;
}

void SessionTable::Remove(const std::shared_ptr<LiveSession>& s) {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = std::find(live_.begin(), live_.end(), s);
    if (it != live_.end()) live_.erase(it);
}

size_t SessionTable::size() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return live_.size();
}

nlohmann::json SessionTable::List(const std::string& iqn) const {
    std::vector<std::shared_ptr<LiveSession>> copy;
    {
        // Only the pointers under the lock: the layer sizes below must not hold up handshakes.
        std::lock_guard<std::mutex> lk(mutex_);
        copy = live_;
    }
    nlohmann::json items = nlohmann::json::array();
    for (const auto& s : copy) {
        if (!iqn.empty() && s->iqn != iqn) continue;
        auto mode = static_cast<SessionMode>(s->mode.load());
        nlohmann::json j = {{"sid", s->sid},
                            {"iqn", s->iqn},
                            {"clientId", s->clientId},
                            {"clientKey", s->clientKey},
                            {"peer", s->peer},
                            {"since", s->since},
                            {"mode", SessionModeName(mode)},
                            {"bytesRead", s->bytesRead.load(std::memory_order_relaxed)},
                            {"bytesWritten", s->bytesWritten.load(std::memory_order_relaxed)}};
        // An upload's layer covers the whole disk from the start; what it has received is in
        // the image status (writtenBlocks), not in the layer's block count. A session that left
        // super-user mode has no layer any more (the pointer stays, read-only, for this check).
        if (auto o = s->overlay.lock(); o && o->layer && (mode == SessionMode::Normal || mode == SessionMode::Super))
            j["layerBlocks"] = o->layer->present();
        items.push_back(std::move(j));
    }
    return items;
}

}  // namespace zelko::diskd
