// SHA-256 for the servers and the host runner: token digests (tokens are stored only as their
// hash) and fingerprints of data read through the driver. OpenSSL does the work.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zelko::common {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const void* data, size_t n);
    std::string HexDigest();  // finishes the hash; lower-case hex

private:
    struct Ctx;
    std::unique_ptr<Ctx> ctx_;
};

std::string Sha256Hex(const void* data, size_t n);
inline std::string Sha256Hex(std::string_view text) { return Sha256Hex(text.data(), text.size()); }

}  // namespace zelko::common
