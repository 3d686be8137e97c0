#include "compress.h"

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

inline uint32_t Hash(uint32_t v) { return (v * 2654435761u) >> (32 - kHashBits); }

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
    // Positions are stored +1 so that 0 means "empty" without a separate clear pass cost.
    memset(table, 0, sizeof table);
    Writer w{out, cap};
    size_t i = 0;
    size_t litStart = 0;
    while (i + kMinMatch <= n && w.ok) {
        uint32_t h = Hash(Read32(in + i));
        size_t cand = table[h];
        table[h] = static_cast<uint32_t>(i + 1);
        size_t matchLen = 0;
        size_t dist = 0;
        if (cand != 0) {
            size_t c = cand - 1;
            dist = i - c;
            if (dist >= 1 && dist <= kMaxDistance && memcmp(in + c, in + i, 4) == 0) {
                size_t limit = n - i;
                size_t m = 4;
                while (m < limit && in[c + m] == in[i + m]) ++m;
                if (m >= kMinMatch) matchLen = m;
            }
        }
        if (matchLen == 0) {
            ++i;
            continue;
        }
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
            table[Hash(Read32(in + k))] = static_cast<uint32_t>(k + 1);
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
