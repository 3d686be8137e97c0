// SHA-256 (FIPS 180-4), for fingerprints of data read through the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zvhost {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t n);
    std::string HexDigest();  // finishes the hash

private:
    void Block(const uint8_t* p);
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_ = 0;
    uint64_t total_ = 0;
};

std::string Sha256Hex(const void* data, size_t n);

}  // namespace zvhost
