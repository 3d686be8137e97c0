// The compressed sequence decoder of Read answers, on its own: a pure function, so it is fuzzed
// directly, many times faster than through a session. Input: the requested count (u16 little-
// endian) and the compressed bytes.
//
// What must hold: the decoder touches nothing outside its input and its output of exactly the
// requested count (both sized exactly on the heap, for ASan), and it reports either 0 or the
// requested count. A decoded result is checked against a straightforward re-reading of the
// format, so a decoder that accepted what the format forbids would be caught too.
#include "ProtoFuzzSupport.h"

namespace {

// The format read the slow, obvious way; false on any violation.
bool Reference(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t want) {
    size_t ip = 0;
    out.clear();
    while (ip < n) {
        uint8_t token = in[ip++];
        size_t lit = token >> 4, match = token & 15;
        if (n - ip < lit || out.size() + lit > want) return false;
        out.insert(out.end(), in + ip, in + ip + lit);
        ip += lit;
        if (match == 0) continue;
        if (n - ip < 2) return false;
        size_t d = in[ip] | (in[ip + 1] << 8);
        ip += 2;
        if (d == 0 || d > out.size() || out.size() + match + 4 > want) return false;
        for (size_t i = 0; i < match + 4; i++) out.push_back(out[out.size() - d]);
    }
    return out.size() == want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    ULONG want = data[0] | (data[1] << 8);
    size_t n = size - 2;
    auto in = std::make_unique<uint8_t[]>(n ? n : 1);
    std::memcpy(in.get(), data + 2, n);
    auto out = std::make_unique<uint8_t[]>(want ? want : 1);
    SIZE_T got = WpDecompress(in.get(), (ULONG)n, out.get(), want);
    if (got != 0 && got != want) Die("decoded %zu bytes of %u", (size_t)got, want);
    std::vector<uint8_t> ref;
    bool ok = Reference(in.get(), n, ref, want);
    if (ok != (got == want && want != 0) && !(want == 0 && ok)) Die("decoder and format disagree (decoded %zu, format %d)", (size_t)got, (int)ok);
    if (ok && want != 0 && std::memcmp(ref.data(), out.get(), want) != 0) Die("decoded bytes differ from the format's");
    return 0;
}
