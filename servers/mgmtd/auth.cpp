#include "auth.h"

#include <argon2.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <stdexcept>
#include <vector>

#include "zelko_common/random.h"

namespace zelko::mgmtd {
namespace {

// OWASP's argon2id baseline: 19 MiB, 2 passes, 1 lane — around 30 ms per check here. A
// check always uses the cost written in the stored hash; these only shape new hashes.
std::atomic<uint32_t> g_timeCost{2};
std::atomic<uint32_t> g_memoryKiB{19 * 1024};
constexpr uint32_t kLanes = 1;
constexpr size_t kSaltLen = 16;
constexpr size_t kHashLen = 32;

// At most a few hashes at once: each needs 19 MiB, and a flood of logins must not exhaust
// memory or starve the driver's boot-time lookups of CPU.
class Gate {
public:
    void Enter() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return busy_ < 4; });
        ++busy_;
    }
    void Leave() {
        std::lock_guard<std::mutex> lock(m_);
        --busy_;
        cv_.notify_one();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int busy_ = 0;
};
Gate g_gate;
struct GateHold {
    GateHold() { g_gate.Enter(); }
    ~GateHold() { g_gate.Leave(); }
};

}  // namespace

void SetPasswordHashCost(uint32_t passes, uint32_t memoryKiB) {
    g_timeCost = std::max<uint32_t>(passes, ARGON2_MIN_TIME);
    g_memoryKiB = std::max<uint32_t>(memoryKiB, ARGON2_MIN_MEMORY);
}

std::string HashPassword(const std::string& password) {
    uint8_t salt[kSaltLen];
    common::RandomBytes(salt, sizeof salt);
    uint32_t timeCost = g_timeCost, memoryKiB = g_memoryKiB;
    size_t len = argon2_encodedlen(timeCost, memoryKiB, kLanes, kSaltLen, kHashLen, Argon2_id);
    std::vector<char> out(len);
    GateHold hold;
    int rc = argon2id_hash_encoded(timeCost, memoryKiB, kLanes, password.data(), password.size(), salt, sizeof salt,
                                   kHashLen, out.data(), out.size());
    if (rc != ARGON2_OK) throw std::runtime_error(std::string("argon2: ") + argon2_error_message(rc));
    return std::string(out.data());
}

bool VerifyPassword(const std::string& encoded, const std::string& password) {
    GateHold hold;
    return argon2id_verify(encoded.c_str(), password.data(), password.size()) == ARGON2_OK;
}

void BurnPasswordCheck(const std::string& password) {
    static const std::string dummy = HashPassword("zelko-no-such-user");
    VerifyPassword(dummy, password);
}

std::string GeneratePassword() {
    static const char kAlphabet[] = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    constexpr size_t n = sizeof kAlphabet - 1;  // 55
    std::string out;
    while (out.size() < 20) {
        uint8_t b;
        common::RandomBytes(&b, 1);
        if (b >= 255 - 255 % n) continue;  // reject to keep the choice uniform
        out.push_back(kAlphabet[b % n]);
    }
    return out;
}

int64_t LoginLimiter::LockedFor(const std::string& key, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.lockedUntil <= now) return 0;
    return it->second.lockedUntil - now;
}

void LoginLimiter::Failure(const std::string& key, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.size() > 100000) Prune(now);
    Entry& e = entries_[key];
    if (e.lastFailure && now - e.lastFailure > 3600) e = Entry{};
    e.failures++;
    e.lastFailure = now;
    if (e.failures >= freeFailures_) {
        int shift = std::min(e.failures - freeFailures_, 5);  // 30 s · 2^5 = 16 min → capped
        e.lockedUntil = now + std::min<int64_t>(30ll << shift, 900);
    }
}

void LoginLimiter::Success(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(key);
}

void LoginLimiter::Prune(int64_t now) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.lastFailure > 3600 && it->second.lockedUntil <= now)
            it = entries_.erase(it);
        else
            ++it;
    }
}

}  // namespace zelko::mgmtd
