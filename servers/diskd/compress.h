// Encoder (and a reference decoder) for the compressed sequence format of Read answers.
//
// A token byte carries a literal count in its high nibble (0..15) and a match code in its low
// nibble (0 = no match, else a match of code + 4 = 5..19 bytes); literals follow the token, then,
// for a match, a 2-byte little-endian distance back into the output (1..65535, never beyond the
// bytes produced so far). There are no length extensions, so the best case is 3 bytes per 19.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelko::diskd {

// Compresses `n` bytes of `in` into `out` (capacity `cap`). Returns the compressed size, or 0
// when the result would not fit into `cap` — callers pass cap < n so that 0 means "sending the
// data plain is cheaper". n == 0 returns 0.
size_t CompressSequence(const uint8_t* in, size_t n, uint8_t* out, size_t cap);

// Decodes exactly as the driver does. Returns true when the input decodes to exactly `want`
// bytes.
bool DecompressSequence(const uint8_t* in, size_t n, uint8_t* out, size_t want);

}  // namespace zelko::diskd
