#include "compress.h"

#include <algorithm>
#include <cstring>

namespace zelko::diskd {

namespace {

constexpr size_t kMinMatch = 5;
constexpr size_t kMaxMatch = 19;
constexpr size_t kMaxLiterals = 15;
constexpr size_t kMaxDistance = 65535;
constexpr int kHashBits = 13;

inline uint32_t Read32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

// Length of the common prefix of a and b, at most `limit`: eight bytes per step, since runs of
// zeros and other repeats (the data that compresses at all) make matches hundreds of bytes long.
inline size_t CommonPrefix(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t m = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (m + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + m, 8);
        memcpy(&y, b + m, 8);
        if (uint64_t d = x ^ y) return m + static_cast<size_t>(__builtin_ctzll(d) >> 3);
        m += 8;
    }
#endif
    while (m < limit && a[m] == b[m]) ++m;
    return m;
}

inline uint32_t Hash(uint32_t v, int bits) { return (v * 2654435761u) >> (32 - bits); }

struct Writer {
    uint8_t* out;
    size_t cap;
    size_t pos = 0;
    bool ok = true;

    // Emits one token with `lits` literals (<= 15) and an optional match.
    void Token(const uint8_t* lit, size_t lits, size_t matchLen, size_t distance) {
        size_t need = 1 + lits + (matchLen ? 2 : 0);
        if (!ok || pos + need > cap) {
            ok = false;
            return;
        }
        out[pos++] = static_cast<uint8_t>((lits << 4) | (matchLen ? matchLen - 4 : 0));
        memcpy(out + pos, lit, lits);
        pos += lits;
        if (matchLen) {
            out[pos++] = static_cast<uint8_t>(distance & 0xFF);
            out[pos++] = static_cast<uint8_t>(distance >> 8);
        }
    }

    // Flushes a literal run of any length: full tokens of 15, the rest carried by the caller's
    // next token (returns how many literals remain, at most 15).
    size_t FlushLongLiterals(const uint8_t*& lit, size_t lits) {
        while (lits > kMaxLiterals && ok) {
            Token(lit, kMaxLiterals, 0, 0);
            lit += kMaxLiterals;
            lits -= kMaxLiterals;
        }
        return lits;
    }
};

}  // namespace

size_t CompressSequence(const uint8_t* in, size_t n, uint8_t* out, size_t cap) {
    if (n == 0) return 0;
    uint32_t table[1u << kHashBits];
    // The table is cleared for every call, so small inputs get a small table: for a 4 KiB
    // read, clearing 32 KiB would cost more than compressing. Positions are stored + 1 so
    // that 0 means "empty".
    int bits = 8;
    while (bits < kHashBits && (1ull << (bits + 2)) < n) ++bits;
    memset(table, 0, sizeof(uint32_t) << bits);
    Writer w{out, cap};
    size_t i = 0;
    size_t litStart = 0;
    // Incompressible stretches (media files, already compressed data) would cost a full match
    // search for nothing: after a window that saved less than 1/32, the next window is taken
    // as literals without searching.
    constexpr size_t kWindow = 16384;
    size_t windowStart = 0;
    auto outEstimate = [&] { return w.pos + (i - litStart) + (i - litStart) / 15; };
    size_t windowOut = 0;
    size_t misses = 0;
    while (i + kMinMatch <= n && w.ok) {
        if (i - windowStart >= kWindow) {
            size_t consumed = i - windowStart;
            size_t produced = outEstimate() - windowOut;
            if (produced + consumed / 32 > consumed) i = std::min(i + kWindow, n);
            windowStart = i;
            windowOut = outEstimate();
            if (i + kMinMatch > n) break;
        }
        uint32_t h = Hash(Read32(in + i), bits);
        size_t cand = table[h];
        table[h] = static_cast<uint32_t>(i + 1);
        size_t matchLen = 0;
        size_t dist = 0;
        if (cand != 0) {
            size_t c = cand - 1;
            dist = i - c;
            if (dist >= 1 && dist <= kMaxDistance && memcmp(in + c, in + i, 4) == 0) {
                size_t m = 4 + CommonPrefix(in + c + 4, in + i + 4, n - i - 4);
                if (m >= kMinMatch) matchLen = m;
            }
        }
        if (matchLen == 0) {
            // The longer nothing matched, the bigger the steps (as LZ-style encoders do):
            // random data costs a fraction of a pass, compressible data keeps step 1.
            i += 1 + (misses++ >> 5);
            continue;
        }
        misses = 0;
        const uint8_t* lit = in + litStart;
        size_t lits = w.FlushLongLiterals(lit, i - litStart);
        // A long match is a chain of tokens with the same distance: each piece copies from
        // `dist` bytes back, which the previous piece has already produced.
        size_t remaining = matchLen;
        bool first = true;
        while (remaining >= kMinMatch && w.ok) {
            size_t piece = remaining > kMaxMatch ? kMaxMatch : remaining;
            // Never leave a tail of 1..4 bytes that no token can express as a match.
            if (remaining > kMaxMatch && remaining - piece < kMinMatch) piece = remaining - kMinMatch;
            w.Token(lit, first ? lits : 0, piece, dist);
            first = false;
            remaining -= piece;
        }
        size_t consumed = matchLen - remaining;
        // Index a few positions inside the match so that repeated structures keep matching.
        for (size_t k = i + 1; k + 4 <= n && k < i + consumed && k < i + 8; ++k)
            table[Hash(Read32(in + k), bits)] = static_cast<uint32_t>(k + 1);
        i += consumed;
        litStart = i;
    }
    const uint8_t* lit = in + litStart;
    size_t lits = w.FlushLongLiterals(lit, n - litStart);
    if (lits) w.Token(lit, lits, 0, 0);
    return w.ok ? w.pos : 0;
}

bool DecompressSequence(const uint8_t* in, size_t n, uint8_t* out, size_t want) {
    size_t ip = 0, op = 0;
    while (ip < n) {
        uint8_t token = in[ip++];
        size_t lits = token >> 4;
        size_t code = token & 0x0F;
        if (lits) {
            if (ip + lits > n || op + lits > want) return false;
            memcpy(out + op, in + ip, lits);
            ip += lits;
            op += lits;
        }
        if (code == 0) continue;
        if (ip + 2 > n) return false;
        size_t d = in[ip] | (static_cast<size_t>(in[ip + 1]) << 8);
        ip += 2;
        if (d == 0 || d > op) return false;
        size_t len = code + 4;
        if (op + len > want) return false;
        for (size_t k = 0; k < len; ++k, ++op) out[op] = out[op - d];
    }
    return op == want;
}

}  // namespace zelko::diskd
