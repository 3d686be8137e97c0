// The compressed sequence format: the encoder's output must decode (by the driver's rules) to
// exactly the input, and the reference decoder must reject what the driver rejects.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "compress.h"
#include "ZelkoWire.h"

using zelko::diskd::CompressSequence;
using zelko::diskd::DecompressSequence;

namespace {

std::vector<uint8_t> RoundTrip(const std::vector<uint8_t>& in, size_t* compressedSize) {
    std::vector<uint8_t> c(zelko::wire::CompressedWorstCase(in.size()) + 16);
    size_t n = CompressSequence(in.data(), in.size(), c.data(), c.size());
    *compressedSize = n;
    std::vector<uint8_t> out(in.size());
    EXPECT_TRUE(n > 0 || in.empty());
    EXPECT_TRUE(DecompressSequence(c.data(), n, out.data(), out.size()));
    return out;
}

TEST(CompressTest, RoundTripsAllKindsOfData) {
    std::mt19937 rng(42);
    std::vector<std::vector<uint8_t>> inputs;
    inputs.push_back(std::vector<uint8_t>(65536, 0));
    inputs.push_back(std::vector<uint8_t>(1, 7));
    inputs.push_back(std::vector<uint8_t>(4, 7));
    inputs.push_back(std::vector<uint8_t>(5, 7));
    inputs.push_back(std::vector<uint8_t>(20, 7));   // match longer than one token can hold
    inputs.push_back(std::vector<uint8_t>(23, 7));   // ... with a tail of 1..4 after 19
    std::vector<uint8_t> rnd(100000);
    for (auto& b : rnd) b = static_cast<uint8_t>(rng());
    inputs.push_back(rnd);
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "sector " + std::to_string(i % 97) + " of the boot volume; ";
    inputs.emplace_back(text.begin(), text.end());
    // Mixed: runs of zeros between random stretches, distances up to and beyond 64 KiB.
    std::vector<uint8_t> mixed(300000);
    for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = (i / 5000) % 2 ? 0 : static_cast<uint8_t>(rng() % 4);
    inputs.push_back(mixed);
    for (size_t len = 1; len < 64; ++len) {
        std::vector<uint8_t> v(len);
        for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(i % 3);
        inputs.push_back(v);
    }
    for (const auto& in : inputs) {
        size_t n = 0;
        EXPECT_EQ(RoundTrip(in, &n), in) << "size " << in.size();
        EXPECT_LE(n, zelko::wire::CompressedWorstCase(in.size()));
    }
    size_t zeros = 0;
    RoundTrip(inputs[0], &zeros);
    EXPECT_LT(zeros, 65536u / 6);  // 3 bytes per 19 at best
}

TEST(CompressTest, GivesUpWhenTheOutputWouldNotBeSmaller) {
    std::mt19937 rng(1);
    std::vector<uint8_t> rnd(4096);
    for (auto& b : rnd) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> out(4096 - 256);
    EXPECT_EQ(CompressSequence(rnd.data(), rnd.size(), out.data(), out.size()), 0u);
    EXPECT_EQ(CompressSequence(rnd.data(), 0, out.data(), out.size()), 0u);
}

TEST(CompressTest, DecoderFollowsTheDriversRules) {
    uint8_t out[32];
    const uint8_t lit4[] = {0x40, 'a', 'b', 'c', 'd'};
    EXPECT_TRUE(DecompressSequence(lit4, sizeof lit4, out, 4));
    EXPECT_EQ(0, memcmp(out, "abcd", 4));
    EXPECT_FALSE(DecompressSequence(lit4, sizeof lit4, out, 5));  // output must be exact
    const uint8_t farMatch[] = {0x01, 0x01, 0x00};
    EXPECT_FALSE(DecompressSequence(farMatch, sizeof farMatch, out, 5));  // distance beyond output
    const uint8_t overlap[] = {0x11, 'x', 0x01, 0x00};
    EXPECT_TRUE(DecompressSequence(overlap, sizeof overlap, out, 6));
    EXPECT_EQ(0, memcmp(out, "xxxxxx", 6));
    const uint8_t zeroDist[] = {0x11, 'x', 0x00, 0x00};
    EXPECT_FALSE(DecompressSequence(zeroDist, sizeof zeroDist, out, 6));
    const uint8_t truncated[] = {0x30, 'a'};
    EXPECT_FALSE(DecompressSequence(truncated, sizeof truncated, out, 3));
    EXPECT_TRUE(DecompressSequence(nullptr, 0, out, 0));
    EXPECT_FALSE(DecompressSequence(nullptr, 0, out, 1));
}

}  // namespace
