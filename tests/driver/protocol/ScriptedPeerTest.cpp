// The session against the host kernel's scripted stream peer: answers that arrive one byte at a
// time, a server that stops talking, and BatchRead answers that end early or change the segment
// lengths, where the caller must learn how many segments it may take as data.
#include "ProtocolTestSupport.h"

#include <hk_wsk_script.h>

namespace {

std::vector<uint8_t> Header(uint8_t opcode, uint8_t flags, uint64_t offset, uint32_t length) {
    wire::MessageHeader h{wire::kMagic, wire::kVersion, opcode, flags, 0, offset, length};
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&h);
    return std::vector<uint8_t>(p, p + sizeof(h));
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& what) { to.insert(to.end(), what.begin(), what.end()); }

std::vector<uint8_t> HandshakeAnswer() {
    std::vector<uint8_t> b = Header(wire::OpRespOk, 0, 0, sizeof(wire::HandshakeResponse));
    wire::HandshakeResponse r{1, 0, 9, 0, 1 << 20, 512, 0, 2};
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&r);
    b.insert(b.end(), p, p + sizeof(r));
    return b;
}

std::vector<uint8_t> Pattern(uint64_t offset, uint32_t n) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; i++) v[i] = (uint8_t)((offset + i) * 13 + 1);
    return v;
}

// Segment answers for `segs`, with `lengths` as the server claims them, then the end marker.
std::vector<uint8_t> BatchAnswer(const std::vector<wire::BatchSegment>& segs, const std::vector<uint32_t>& lengths) {
    std::vector<uint8_t> b;
    uint64_t at = segs.empty() ? 0 : segs[0].offset;
    for (size_t i = 0; i < lengths.size(); i++) {
        Append(b, Header(wire::OpRespOk, wire::FlagData, segs[i].offset, lengths[i]));
        Append(b, Pattern(at, lengths[i]));
        at += lengths[i];
    }
    Append(b, Header(wire::OpRespOk, 0, wire::kBatchEndMarker, 0));
    return b;
}

class ScriptedPeerTest : public ProtocolTest {
protected:
    void TearDown() override {
        HkWskScriptDisarm();
        ProtocolTest::TearDown();
    }
    PPROTOCOL_SESSION Bound(const std::vector<uint8_t>& script, ULONG receiveLimit) {
        HkWskScriptArm(script.data(), script.size(), receiveLimit);
        PPROTOCOL_SESSION s = NewSession(9);
        EXPECT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
        EXPECT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
        return s;
    }
};

TEST_F(ScriptedPeerTest, AnswersArrivingOneByteAtATimeAreReassembled) {
    std::vector<wire::BatchSegment> segs = {{0, 700}, {700, 512}, {1212, 3000}};
    std::vector<uint8_t> script = HandshakeAnswer();
    Append(script, BatchAnswer(segs, {700, 512, 3000}));
    std::vector<uint8_t> data = Pattern(4096, 40);
    std::vector<uint8_t> packed;
    packed.push_back(0xF0);
    packed.insert(packed.end(), data.begin(), data.begin() + 15);
    packed.push_back(0xF0);
    packed.insert(packed.end(), data.begin() + 15, data.begin() + 30);
    packed.push_back(0xA0);
    packed.insert(packed.end(), data.begin() + 30, data.end());
    Append(script, Header(wire::OpRespOk, wire::FlagData | wire::FlagCompressed, 4096, (uint32_t)packed.size()));
    Append(script, packed);

    PPROTOCOL_SESSION s = Bound(script, 1);
    std::vector<uint8_t> buf(4212, 0xEE);
    ULONG complete = 99;
    ASSERT_EQ(ProtocolClient_BatchReadEx(s, segs.data(), 3, buf.data(), buf.size(), &complete), STATUS_SUCCESS);
    EXPECT_EQ(complete, 3u);
    EXPECT_EQ(buf, Pattern(0, 4212));
    std::vector<uint8_t> small(40);
    ULONGLONG got = 0;
    ASSERT_EQ(ProtocolClient_Read(s, 4096, 40, small.data(), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 40u);
    EXPECT_EQ(small, data);
    EXPECT_EQ(HkWskScriptConsumed(), script.size());

    // The requests went out as the wire format has them: Handshake, BatchRead, Read.
    std::vector<uint8_t> sent(HkWskScriptSent(nullptr, 0));
    HkWskScriptSent(sent.data(), sent.size());
    wire::MessageHeader h;
    std::memcpy(&h, sent.data(), sizeof(h));
    EXPECT_EQ(h.opcode, wire::OpHandshake);
    size_t at = sizeof(h) + h.length + 12;
    std::memcpy(&h, sent.data() + at, sizeof(h));
    EXPECT_EQ(h.opcode, wire::OpBatchRead);
    at += sizeof(h) + h.length;
    std::memcpy(&h, sent.data() + at, sizeof(h));
    EXPECT_EQ(h.opcode, wire::OpRead);
    EXPECT_EQ(at + sizeof(h), sent.size());
}

TEST_F(ScriptedPeerTest, BatchReadTellsHowManySegmentsArrivedWholeWhereTheTablePutsThem) {
    std::vector<wire::BatchSegment> segs = {{0, 512}, {512, 512}, {1024, 512}, {1536, 512}};
    struct Case {
        const char* what;
        std::vector<uint32_t> lengths;
        ULONG complete;
    } cases[] = {
        {"all four", {512, 512, 512, 512}, 4},
        {"end marker after two", {512, 512}, 2},
        {"second one short, third long", {512, 100, 924, 512}, 1},
        {"first one short", {500}, 0},
    };
    // One connection per case: the chunked receive may ask for as much as a full answer would
    // hold, and a server that ended early has nothing behind its end marker until the next request.
    for (const Case& c : cases) {
        std::vector<uint8_t> script = HandshakeAnswer();
        Append(script, BatchAnswer(segs, c.lengths));
        PPROTOCOL_SESSION s = Bound(script, 0);
        std::vector<uint8_t> buf(2048, 0xEE);
        ULONG complete = 99;
        ASSERT_EQ(ProtocolClient_BatchReadEx(s, segs.data(), 4, buf.data(), buf.size(), &complete), STATUS_SUCCESS)
            << c.what;
        EXPECT_EQ(complete, c.complete) << c.what;
        std::vector<uint8_t> expect = Pattern(0, 2048);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512 * complete, expect.begin())) << c.what;
        EXPECT_TRUE(s->connected) << c.what << ": the answer was well framed";
    }
}

TEST_F(ScriptedPeerTest, AServerThatStopsTalkingEndsTheExchangeAndRefusesTheNextConnect) {
    std::vector<uint8_t> script = HandshakeAnswer();
    Append(script, Header(wire::OpRespOk, wire::FlagData, 0, 512));
    Append(script, Pattern(0, 100));   // 412 bytes short
    PPROTOCOL_SESSION s = Bound(script, 0);
    std::vector<uint8_t> buf(512);
    hk::test::AdvanceClock(310000000);   // the recovery may reconnect at once
    hk::test::SetClockRate(1000);        // its pauses between refused attempts take 3 ms
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, buf.data(), nullptr), STATUS_CONNECTION_REFUSED);
    EXPECT_FALSE(s->connected);
    EXPECT_EQ(HkWskScriptConnects(), 1u);
}

}  // namespace
