// Passwords (argon2id), generated secrets, and the login rate limiter.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace zelko::mgmtd {

// argon2id encoded hash ("$argon2id$v=19$m=...,t=...,p=...$salt$hash") with a random salt.
std::string HashPassword(const std::string& password);
// The argon2id cost of hashes made from now on (process-wide). The server never calls it: the
// default is the one to use. Only fuzz targets and tests lower it, to check thousands of
// passwords a second; what a hash was made with is part of it, so checks stay correct.
void SetPasswordHashCost(uint32_t passes, uint32_t memoryKiB);
// Constant-time verification against an encoded hash; false for any malformed hash.
bool VerifyPassword(const std::string& encoded, const std::string& password);
// Spends the same work as VerifyPassword for a user that does not exist, so response times do
// not tell which user names are valid.
void BurnPasswordCheck(const std::string& password);
// 20 characters from an unambiguous alphabet (about 115 bits).
std::string GeneratePassword();

// Failed logins per key. After `freeFailures` failures in a row a key is locked for 30 s, doubling with every further failure up to 15 minutes; a
// success clears the key; keys are forgotten an hour after their last failure.
class LoginLimiter {
public:
    explicit LoginLimiter(int freeFailures) : freeFailures_(freeFailures) {}
    // Seconds the key stays locked (0 = not locked).
    int64_t LockedFor(const std::string& key, int64_t now);
    void Failure(const std::string& key, int64_t now);
    void Success(const std::string& key);

private:
    struct Entry {
        int failures = 0;
        int64_t lastFailure = 0;
        int64_t lockedUntil = 0;
    };
    void Prune(int64_t now);
    const int freeFailures_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace zelko::mgmtd
