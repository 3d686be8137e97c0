#include "zelko_common/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace zelko::common {

void RandomBytes(void* buffer, size_t length) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("getrandom failed");
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
}

std::string RandomHexToken(size_t bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string raw(bytes, '\0');
    RandomBytes(raw.data(), raw.size());
    std::string out;
    out.reserve(bytes * 2);
    for (unsigned char c : raw) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

}  // namespace zelko::common
