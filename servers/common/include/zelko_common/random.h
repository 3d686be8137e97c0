// Random bytes and tokens from the kernel's CSPRNG (getrandom). Throws std::runtime_error only
// when the kernel refuses, which on Linux ≥ 3.17 after boot-time seeding does not happen.
#pragma once

#include <cstddef>
#include <string>

namespace zelko::common {

void RandomBytes(void* buffer, size_t length);
// `bytes` random bytes as lower-case hex (2 * bytes characters, plain ASCII).
std::string RandomHexToken(size_t bytes);

}  // namespace zelko::common
