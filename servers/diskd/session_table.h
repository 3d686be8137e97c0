// The protocol sessions the disk server holds right now, for the admin listener: which PC is
// connected to which image, since when, in which mode and how much it has moved. This is the
// management console's "online" — a PC is online exactly while it is in this table — so an
// entry lives from a session's successful Handshake until the session is unbound (a new
// Handshake, or the connection ends).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelko::diskd {

struct Overlay;

enum class SessionMode : int { ReadOnly, Normal, Super, Upload };
const char* SessionModeName(SessionMode m);

struct LiveSession {
    uint16_t sid = 0;
    std::string iqn;
    std::string clientId;   // as the Handshake carried it (the driver sends the PC's MAC)
    std::string clientKey;  // the management server's name of the PC ("" when it knows none)
    std::string peer;       // address:port of the connection
    int64_t since = 0;      // unix seconds of the Handshake
    std::atomic<int> mode{static_cast<int>(SessionMode::ReadOnly)};
    // Payload bytes of Read/Write answers of this session (TCP and UDP). Counted by the
    // request handlers with relaxed atomics: one add per request, nothing more.
    std::atomic<uint64_t> bytesRead{0};
    std::atomic<uint64_t> bytesWritten{0};
    // The session's copy-on-write layer, for its size; weak so that the table never keeps a
    // discarded layer alive.
    std::weak_ptr<Overlay> overlay;
};

class SessionTable {
public:
    std::shared_ptr<LiveSession> Add(std::shared_ptr<LiveSession> s);
    void Remove(const std::shared_ptr<LiveSession>& s);
    size_t size() const;
    // The entries, oldest first; `iqn` non-empty keeps only that image's sessions.
    nlohmann::json List(const std::string& iqn = "") const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<LiveSession>> live_;
};

}  // namespace zelko::diskd
