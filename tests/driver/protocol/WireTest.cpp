// The driver's side of the wire format: error mapping, response header checks and the
// compressed-sequence decoder.
#include "ProtocolTestSupport.h"

namespace {

TEST(WireErrors, MapToNtStatusPerCode) {
    EXPECT_EQ(WpMapServerError(0), STATUS_SUCCESS);
    EXPECT_EQ(WpMapServerError(3), STATUS_ACCESS_DENIED);
    EXPECT_EQ(WpMapServerError(7), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(WpMapServerError(14), STATUS_IO_TIMEOUT);
    EXPECT_EQ(WpMapServerError(16), STATUS_WRONG_PASSWORD);
    // Busy is a warning status, and a warning is a failure.
    EXPECT_EQ(WpMapServerError(15), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(NT_SUCCESS(WpMapServerError(15)));
    EXPECT_FALSE(NT_SUCCESS(WpMapServerError(17)));
    EXPECT_EQ(WpMapServerError(18), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(WpMapServerError(200), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(WpMapServerError(0xFFFFFFFFu), STATUS_IO_DEVICE_ERROR);
}

TEST(WireErrors, CheckRespHeader) {
    hk::test::ClearDbgLines();
    wire::MessageHeader h{wire::kMagic, 1, wire::OpRespError, 0, 2, 0, 15};
    EXPECT_EQ(WpCheckRespHeader(&h, 0, "Read"), STATUS_DEVICE_BUSY);
    h.length = 0;
    EXPECT_EQ(WpCheckRespHeader(&h, 32, "Read"), STATUS_SUCCESS);  // error 0 proceeds as success
    h.opcode = wire::OpRespPong;
    EXPECT_EQ(WpCheckRespHeader(&h, 0, "Read"), STATUS_UNEXPECTED_IO_ERROR);
    h.opcode = wire::OpRespOk;
    h.length = 31;
    EXPECT_EQ(WpCheckRespHeader(&h, 32, "Handshake"), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(WpCheckRespHeader(&h, 0, "Write"), STATUS_SUCCESS);
    bool err = false, opc = false, size = false;
    for (const auto& l : hk::test::DbgLines()) {
        err |= l.text == "[ZelkoVd][WARN] [Read] 服务端错误: err=15 → 0x80000011\n";
        opc |= l.text == "[ZelkoVd][WARN] [Read] 响应 opcode 异常: 0x42\n";
        size |= l.text == "[ZelkoVd][ERR] [Handshake] 响应 size 不匹配: got=31, want=32\n";
    }
    EXPECT_TRUE(err && opc && size);
}

std::vector<uint8_t> Decode(const std::vector<uint8_t>& in, size_t want, size_t* got) {
    std::vector<uint8_t> out(want + 8, 0xEE);
    *got = WpDecompress(in.data(), (ULONG)in.size(), out.data(), (ULONG)want);
    out.resize(want);
    return out;
}

TEST(WireDecoder, LiteralsMatchesAndExactLength) {
    size_t got;
    auto out = Decode({0x40, 'a', 'b', 'c', 'd'}, 4, &got);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "abcd");
    Decode({0x40, 'a', 'b', 'c', 'd'}, 5, &got);
    EXPECT_EQ(got, 0u) << "output shorter than requested";
    Decode({0x40, 'a', 'b', 'c', 'd'}, 3, &got);
    EXPECT_EQ(got, 0u) << "no room for the literals";

    // Distance 1 at output position 0 points before the output.
    Decode({0x01, 0x01, 0x00}, 5, &got);
    EXPECT_EQ(got, 0u);
    // At position 1 it repeats the previous byte 5 times (overlapping copy).
    out = Decode({0x11, 'z', 0x01, 0x00}, 6, &got);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "zzzzzz");
    // Overlap with distance 2: the last two bytes repeat.
    out = Decode({0x23, 'x', 'y', 0x02, 0x00}, 9, &got);
    EXPECT_EQ(got, 9u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "xyxyxyxyx");

    // 16 literals need two tokens.
    std::vector<uint8_t> in = {0xF0};
    for (int i = 0; i < 15; i++) in.push_back((uint8_t)('A' + i));
    in.push_back(0x10);
    in.push_back('P');
    out = Decode(in, 16, &got);
    EXPECT_EQ(got, 16u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABCDEFGHIJKLMNOP");
}

TEST(WireDecoder, TruncatedAndMalformedInputFails) {
    size_t got;
    Decode({0x30, 'a', 'b'}, 3, &got);
    EXPECT_EQ(got, 0u) << "literals cut off";
    Decode({0x11, 'a', 0x01}, 6, &got);
    EXPECT_EQ(got, 0u) << "distance cut off";
    Decode({0x11, 'a', 0x00, 0x00}, 6, &got);
    EXPECT_EQ(got, 0u) << "distance 0";
    Decode({0x1F, 'a', 0x01, 0x00}, 10, &got);
    EXPECT_EQ(got, 0u) << "match of 19 does not fit 9 bytes of room";
    Decode({}, 0, &got);
    EXPECT_EQ(got, 0u);
    // The worst case the format produces for n bytes is all literals, 15 per token.
    EXPECT_EQ(wire::CompressedWorstCase(15), 16u);
    EXPECT_EQ(wire::CompressedWorstCase(16), 18u);
    EXPECT_EQ(wire::CompressedWorstCase(65536), 65536u + 4370u);
}

}  // namespace
