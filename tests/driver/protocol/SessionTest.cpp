// Handshake and the block operations, checked byte for byte by the recording peer, and the
// answers the session must refuse or map.
#include "ProtocolTestSupport.h"

namespace {

using peer::Conn;
using peer::Request;

uint16_t U16(const std::vector<uint8_t>& v, size_t at) { return (uint16_t)(v[at] | (v[at + 1] << 8)); }

class SessionTest : public ProtocolTest {
protected:
    peer::Disk disk;
};

TEST_F(SessionTest, HandshakeLayoutWithoutToken) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = NewSession(srv.port(), std::string(40, 'q'), std::string(10, 'c'));
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    auto reqs = srv.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    const auto& r = reqs[0];
    EXPECT_EQ(r.header.magic, wire::kMagic);
    EXPECT_EQ(memcmp(r.raw.data(), "ZKPD", 4), 0);
    EXPECT_EQ(r.header.version, 1);
    EXPECT_EQ(r.header.opcode, wire::OpHandshake);
    EXPECT_EQ(r.header.flags, 0);
    EXPECT_EQ(r.header.seq, 2u) << "the counter starts at 1 and the first request carries 2";
    EXPECT_EQ(r.header.offset, 0u);
    EXPECT_EQ(r.payload.size(), 66u);
    EXPECT_EQ(r.header.length, 54u) << "length field is the payload minus 12";
    EXPECT_EQ(r.payload[0], 1);  // client protocol version
    EXPECT_EQ(std::vector<uint8_t>(r.payload.begin() + 1, r.payload.begin() + 12), std::vector<uint8_t>(11, 0));
    EXPECT_EQ(U16(r.payload, 12), 40);
    EXPECT_EQ(std::string(r.payload.begin() + 14, r.payload.begin() + 54), std::string(40, 'q'));
    EXPECT_EQ(U16(r.payload, 54), 10);
    EXPECT_EQ(std::string(r.payload.begin() + 56, r.payload.end()), std::string(10, 'c'));

    EXPECT_TRUE(s->handshakeDone);
    EXPECT_EQ(s->sessionId, 7);
    EXPECT_EQ(s->targetSize, disk.data.size());
    EXPECT_EQ(s->blockSize, 512u);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] 握手成功: sid=7, size=1048576, bs=512, ro=0, su=0, ver=1\n"));
}

TEST_F(SessionTest, HandshakeSuperUserTokensAndCutTexts) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    // IQN of 300 and client id of 70 characters are cut at 255 and 63 bytes.
    PPROTOCOL_SESSION s = NewSession(srv.port(), std::string(300, 'i'), std::string(70, 'k'));
    s->superUser = TRUE;
    s->readOnly = TRUE;
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);  // empty token

    // Token: low byte of each unit, up to the first zero unit.
    s->superUser = TRUE;
    s->readOnly = FALSE;
    s->superUserToken[0] = 0x4141;
    s->superUserToken[1] = 0x0142;
    s->superUserToken[2] = L'c';
    s->superUserToken[3] = 0;
    s->superUserToken[4] = L'x';
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);

    // A 70-unit token is cut at 63.
    s->superUser = TRUE;
    for (int i = 0; i < 63; i++) s->superUserToken[i] = (WCHAR)('a' + i % 26);
    s->superUserToken[63] = 0;  // the buffer holds at most 63 units plus terminator
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);

    auto reqs = srv.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    const auto& a = reqs[0];
    EXPECT_EQ(a.header.flags, 0x50);
    EXPECT_EQ(U16(a.payload, 12), 255);
    EXPECT_EQ(U16(a.payload, 14 + 255), 63);
    EXPECT_EQ(U16(a.payload, 16 + 255 + 63), 0) << "empty token: length 0, no bytes";
    EXPECT_EQ(a.payload.size(), 18u + 255 + 63);
    EXPECT_EQ(a.header.length, a.payload.size() - 12);

    const auto& b = reqs[1];
    EXPECT_EQ(b.header.flags, 0x40);
    size_t t = 16 + 255 + 63;
    EXPECT_EQ(U16(b.payload, t), 3);
    EXPECT_EQ(std::string(b.payload.begin() + t + 2, b.payload.end()), "ABc");
    EXPECT_EQ(b.header.length, b.payload.size() - 12);

    EXPECT_EQ(U16(reqs[2].payload, t), 63);
    // Every request of the session draws from one counter.
    EXPECT_EQ(a.header.seq, 2u);
    EXPECT_EQ(b.header.seq, 3u);
    EXPECT_EQ(reqs[2].header.seq, 4u);
    // The server's answer replaces readOnly/superUser.
    EXPECT_FALSE(s->superUser);
}

TEST_F(SessionTest, HandshakeAnswersThatAreRefused) {
    std::atomic<int> mode{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (mode == 0) {  // header with version 2
            c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 32, wire::kMagic, 2);
        } else if (mode == 1) {  // server protocol version 2 in the body
            wire::HandshakeResponse b{2, 0, 1, 0, 4096, 0, 0, 5};
            c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 32);
            c.Send(&b, sizeof(b));
        } else if (mode == 2) {
            c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, wire::ErrAccessDenied);
        } else {  // block size 0 means 4096
            wire::HandshakeResponse b{1, 0, 1, 0, 8192, 0, 1, 5};
            c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 32);
            c.Send(&b, sizeof(b));
        }
    });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_Handshake(s), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_TRUE(LogHas("[ZelkoVd][ERR] 握手响应 magic/version 校验失败: magic=0x44504B5A, ver=2\n"));
    mode = 1;
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);  // the bad header closed the stream
    EXPECT_EQ(ProtocolClient_Handshake(s), STATUS_REVISION_MISMATCH);
    EXPECT_FALSE(s->handshakeDone);
    EXPECT_TRUE(LogHas("[ZelkoVd][ERR] 协议版本不匹配: client=1, server=2\n"));
    mode = 2;
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_Handshake(s), STATUS_ACCESS_DENIED);
    mode = 3;
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    EXPECT_EQ(s->blockSize, 4096u);
    EXPECT_TRUE(s->readOnly);
}

TEST_F(SessionTest, ImageVersionChangeClearsTheCacheOnce) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    struct Probe {
        int calls = 0;
        bool ioLockFree = false;
        PPROTOCOL_SESSION s;
    } probe;
    probe.s = s;
    s->cacheClearContext = &probe;
    s->cacheClearRoutine = [](PPROTOCOL_SESSION ss, PVOID ctx) {
        auto* p = static_cast<Probe*>(ctx);
        p->calls++;
        // The cache is cleared without the session's I/O lock.
        p->ioLockFree = ExTryToAcquireFastMutex(&ss->ioLock);
        if (p->ioLockFree) ExReleaseFastMutex(&ss->ioLock);
    };
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);  // first version seen: no clear
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);  // same version: no clear
    EXPECT_EQ(probe.calls, 0);
    disk.version = 9;
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_TRUE(probe.ioLockFree);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] 镜像版本变化: 1 -> 9，清除本地缓存\n"));
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    EXPECT_EQ(probe.calls, 1);
}

TEST_F(SessionTest, ReadWriteBatchRequestsOnTheWire) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());

    std::vector<uint8_t> buf(4096);
    ULONGLONG got = 0;
    ASSERT_EQ(ProtocolClient_Read(s, 8192, 4096, buf.data(), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 4096u);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 8192, 4096), 0);

    std::vector<uint8_t> w(1000, 0x5A);
    ULONGLONG written = 0;
    ASSERT_EQ(ProtocolClient_Write(s, 512, (ULONG)w.size(), w.data(), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 1000u);
    EXPECT_EQ(memcmp(disk.data.data() + 512, w.data(), w.size()), 0);

    wire::BatchSegment segs[3] = {{0, 512}, {65536, 1024}, {4096, 100}};
    std::vector<uint8_t> bb(1636);
    ASSERT_EQ(ProtocolClient_BatchRead(s, segs, 3, bb.data()), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(bb.data(), disk.data.data(), 512), 0);
    EXPECT_EQ(memcmp(bb.data() + 512, disk.data.data() + 65536, 1024), 0);
    EXPECT_EQ(memcmp(bb.data() + 1536, disk.data.data() + 4096, 100), 0);

    std::vector<uint8_t> wd(300);
    for (size_t i = 0; i < wd.size(); i++) wd[i] = (uint8_t)i;
    wire::BatchSegment ws[2] = {{100000, 200}, {200000, 100}};
    ASSERT_EQ(ProtocolClient_BatchWrite(s, ws, 2, wd.data(), 300), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(disk.data.data() + 100000, wd.data(), 200), 0);
    EXPECT_EQ(memcmp(disk.data.data() + 200000, wd.data() + 200, 100), 0);

    auto reqs = srv.Requests();
    ASSERT_EQ(reqs.size(), 5u);
    const auto& rd = reqs[1].header;
    EXPECT_EQ(rd.opcode, wire::OpRead);
    EXPECT_EQ(rd.flags, 0);
    EXPECT_EQ((uint64_t)rd.offset, 8192u);
    EXPECT_EQ((uint32_t)rd.length, 4096u);
    EXPECT_EQ((uint32_t)rd.seq, 3u);
    const auto& wr = reqs[2];
    EXPECT_EQ(wr.header.opcode, wire::OpWrite);
    EXPECT_EQ(wr.header.flags, wire::FlagData);
    EXPECT_EQ(wr.header.offset, 512u);
    EXPECT_EQ(wr.header.length, 1000u);
    EXPECT_EQ(wr.payload, w);
    const auto& br = reqs[3];
    EXPECT_EQ(br.header.opcode, wire::OpBatchRead);
    EXPECT_EQ(br.header.flags, wire::FlagBatch);
    EXPECT_EQ(br.header.offset, 3u);
    EXPECT_EQ(br.header.length, 36u);
    EXPECT_EQ(memcmp(br.payload.data(), segs, 36), 0);
    const auto& bw = reqs[4];
    EXPECT_EQ(bw.header.opcode, wire::OpBatchWrite);
    EXPECT_EQ(bw.header.flags, wire::FlagBatch);
    EXPECT_EQ(bw.header.offset, 2u);
    EXPECT_EQ(bw.header.length, 300u) << "data bytes only, the table is not counted";
    EXPECT_EQ(memcmp(bw.payload.data(), ws, 24), 0);
    EXPECT_EQ(memcmp(bw.payload.data() + 24, wd.data(), 300), 0);
    for (size_t i = 0; i < reqs.size(); i++) EXPECT_EQ(reqs[i].header.seq, 2u + i);
    EXPECT_EQ(srv.Connections(), 1);
}

TEST_F(SessionTest, ArgumentAndStateChecksSendNothing) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    uint8_t buf[512];
    wire::BatchSegment seg{0, 512};
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, buf, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, buf, nullptr), STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(LogHas("ZelkoVd: WskClient_Connect 入口: connected=0"));
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_BatchRead(s, &seg, 0, buf), STATUS_INVALID_PARAMETER);
    std::vector<wire::BatchSegment> many(257, seg);
    std::vector<uint8_t> big(257 * 512);
    EXPECT_EQ(ProtocolClient_BatchRead(s, many.data(), 257, big.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ProtocolClient_BatchWrite(s, many.data(), 257, big.data(), 257 * 512), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ProtocolClient_BatchWrite(s, &seg, 1, buf, 100), STATUS_INVALID_PARAMETER) << "table and data differ";

    // Read-only without super-user: refused before a byte is sent; with super-user it is sent.
    s->readOnly = TRUE;
    EXPECT_EQ(ProtocolClient_Write(s, 0, 512, buf, nullptr), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] 失败: readOnly 且非超管模式\n"));
    EXPECT_EQ(ProtocolClient_BatchWrite(s, &seg, 1, buf, 512), STATUS_ACCESS_DENIED);
    EXPECT_EQ(srv.RequestCount(), 1u);
    s->superUser = TRUE;
    EXPECT_EQ(ProtocolClient_Write(s, 0, 512, buf, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(srv.RequestCount(), 2u);
    EXPECT_EQ(WskClient_Connect(s), STATUS_SUCCESS) << "connect on a connected session touches nothing";
    EXPECT_EQ(srv.Connections(), 1);
}

// Answers to Read that are mapped or refused.
TEST_F(SessionTest, ReadAnswersMappedOrRefused) {
    peer::Hook onRead;
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && onRead) onRead(c, r);
        else disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(1024);

    onRead = [&](Conn& c, const Request& r) {  // error 0 proceeds as RespOk (and needs data)
        c.SendHeader(wire::OpRespError, wire::FlagData, r.header.seq, 0, 0);
        c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, 0, r.header.length);
        c.Send(disk.data.data(), r.header.length);
    };
    // An error-0 header carries FlagData and length 0 here: it does not match the count.
    EXPECT_EQ(ProtocolClient_Read(s, 0, 1024, buf.data(), nullptr), STATUS_INVALID_BUFFER_SIZE);

    onRead = [&](Conn& c, const Request& r) { c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, 15); };
    ASSERT_TRUE(s->connected || NT_SUCCESS(ProtocolClient_Reconnect(s)));
    EXPECT_EQ(ProtocolClient_Read(s, 0, 1024, buf.data(), nullptr), STATUS_DEVICE_BUSY);
    onRead = [&](Conn& c, const Request& r) { c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, 200); };
    EXPECT_EQ(ProtocolClient_Read(s, 0, 1024, buf.data(), nullptr), STATUS_IO_DEVICE_ERROR);
    int connects = srv.Connections();
    onRead = [&](Conn& c, const Request& r) { c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 0); };
    EXPECT_EQ(ProtocolClient_Read(s, 0, 1024, buf.data(), nullptr), STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(srv.Connections(), connects) << "RespOk without data is not a reason to reconnect";
    EXPECT_FALSE(s->connected) << "what follows a header without data is unknown: the stream goes";
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] [Read] 服务端错误: err=200 → 0xC0000185\n"));
}

// After an answer the driver cannot consume, the leftover bytes must never be read as the next
// header: the stream is closed and the next exchange runs on a fresh connection.
TEST_F(SessionTest, SizeMismatchClosesTheStreamAndRecoversClean) {
    std::atomic<bool> lie{true};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && lie) {
            lie = false;
            // Announces and sends 2048 bytes for a 1024-byte Read; the tail looks like a header.
            std::vector<uint8_t> junk(2048, 0);
            wire::MessageHeader fake{wire::kMagic, 1, wire::OpRespOk, wire::FlagData, r.header.seq, 0, 1024};
            memcpy(junk.data() + 1024 - 24, &fake, 24);
            c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, 0, 2048);
            c.Send(junk);
            return;
        }
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 1024, buf.data(), nullptr), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(LogHas("[ZelkoVd][ERR] Read size 不匹配: got=2048, want=1024\n"));
    EXPECT_FALSE(s->connected) << "the refusal closed the stream";
    EXPECT_EQ(srv.Connections(), 1) << "and returned at once, without a reconnect";
    // The next operation builds a clean stream; the refused Read is not sent again.
    ASSERT_EQ(ProtocolClient_Read(s, 4096, 1024, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 4096, 1024), 0);
    auto reqs = srv.Requests();
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[2].conn, 1);
    EXPECT_EQ(reqs[2].header.opcode, wire::OpHandshake);
    EXPECT_EQ(reqs[3].conn, 1);
    EXPECT_EQ(reqs[3].header.offset, 4096u);
}

TEST_F(SessionTest, CompressedReadAnswers) {
    peer::Hook onRead;
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && onRead) onRead(c, r);
        else disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(64);

    // 4 literals + a match of 19 at distance 4 + 4 literals + ... = 64 bytes "abcd" repeated.
    std::vector<uint8_t> comp = {0x4F, 'a', 'b', 'c', 'd', 0x04, 0x00};  // 4 + 19 = 23
    comp.insert(comp.end(), {0x0F, 0x04, 0x00});                          // 42
    comp.insert(comp.end(), {0x0F, 0x04, 0x00});                          // 61
    comp.insert(comp.end(), {0x30, 'b', 'c', 'd'});                       // 64
    // The handlers send copies: the peer thread may still be sending when the test goes on.
    auto sendCompressed = [](std::vector<uint8_t> bytes) {
        return [bytes](Conn& c, const Request& r) {
            c.SendHeader(wire::OpRespOk, wire::FlagData | wire::FlagCompressed, r.header.seq, 0, (uint32_t)bytes.size());
            c.Send(bytes);
        };
    };
    onRead = sendCompressed(comp);
    ULONGLONG got = 0;
    ASSERT_EQ(ProtocolClient_Read(s, 0, 64, buf.data(), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 64u);
    std::string expect;
    for (int i = 0; i < 16; i++) expect += "abcd";
    EXPECT_EQ(std::string(buf.begin(), buf.end()), expect);

    // Decoding to fewer bytes than asked is a data error, not a connection failure.
    int connects = srv.Connections();
    comp.resize(comp.size() - 1);
    comp[comp.size() - 3] = 0x20;
    onRead = sendCompressed(comp);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 64, buf.data(), nullptr), STATUS_DATA_ERROR);
    EXPECT_TRUE(LogHas("[ZelkoVd][ERR] LZ4 解压失败: compSize=16, expect=64, got=0\n"));
    EXPECT_EQ(srv.Connections(), connects);
    EXPECT_TRUE(s->connected);

    // A compressed length beyond what the format can need for 64 bytes is refused before any
    // allocation; the stream is rebuilt.
    uint64_t mark = hk::test::PoolMark();
    hk::test::FailPoolAllocation(1, ZV_TAG_LZ_BUFFER);  // any allocation of the buffer would fail loudly
    onRead = [&](Conn& c, const Request& r) {
        c.SendHeader(wire::OpRespOk, wire::FlagData | wire::FlagCompressed, r.header.seq, 0, 0xFFFFFF00u);
        c.Send(std::vector<uint8_t>(4096, 0x41));
    };
    EXPECT_EQ(ProtocolClient_Read(s, 0, 64, buf.data(), nullptr), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(hk::test::PoolOutstanding(ZV_TAG_LZ_BUFFER), 0u);
    hk::test::FailPoolAllocation(0, ZV_TAG_LZ_BUFFER);
    (void)mark;
    EXPECT_FALSE(s->connected);
    onRead = nullptr;
    ASSERT_EQ(ProtocolClient_Read(s, 128, 64, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 128, 64), 0);
    EXPECT_EQ(srv.Connections(), connects + 1) << "the next Read rebuilt the stream";

    // The worst case itself is accepted: 64 literals in runs of 15 = 64 + 5 bytes.
    std::vector<uint8_t> lit;
    for (int i = 0; i < 64; i += 15) {
        int n = std::min(15, 64 - i);
        lit.push_back((uint8_t)(n << 4));
        for (int k = 0; k < n; k++) lit.push_back((uint8_t)('0' + (i + k) % 10));
    }
    ASSERT_EQ(lit.size(), wire::CompressedWorstCase(64));
    onRead = sendCompressed(lit);
    ASSERT_EQ(ProtocolClient_Read(s, 0, 64, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(buf[63], '0' + 63 % 10);
}

TEST_F(SessionTest, BatchReadAnswers) {
    peer::Hook onBatch;
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpBatchRead && onBatch) onBatch(c, r);
        else disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    wire::BatchSegment segs[5] = {{0, 100}, {1000, 100}, {2000, 100}, {3000, 100}, {4000, 100}};
    std::vector<uint8_t> buf(500, 0xCC);

    // End marker after 3 of 5 segments: success with 3 segments' data.
    onBatch = [&](Conn& c, const Request& r) {
        for (int i = 0; i < 3; i++) {
            c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, segs[i].offset, 100);
            c.Send(disk.data.data() + segs[i].offset, 100);
        }
        c.SendHeader(wire::OpRespOk, 0, r.header.seq, wire::kBatchEndMarker, 0);
    };
    ASSERT_EQ(ProtocolClient_BatchRead(s, segs, 5, buf.data()), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data() + 200, disk.data.data() + 2000, 100), 0);
    EXPECT_EQ(buf[300], 0xCC);

    // A segment error ends the batch with its mapped status.
    onBatch = [&](Conn& c, const Request& r) {
        c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, 0, 100);
        c.Send(disk.data.data(), 100);
        c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, wire::ErrWriteProtected);
    };
    EXPECT_EQ(ProtocolClient_BatchRead(s, segs, 5, buf.data()), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] BatchRead 段 1 服务端错误: err=7 → 0xC00000A2\n"));

    // A segment longer than the room left would overrun the buffer: refused before its data is
    // read, the stream closed and rebuilt.
    int connects = srv.Connections();
    onBatch = [&](Conn& c, const Request& r) {
        c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, 0, 100);
        c.Send(disk.data.data(), 100);
        c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, 0, 4000);
        c.Send(std::vector<uint8_t>(4000, 0x77));
    };
    std::vector<uint8_t> guarded(500 + 4096, 0xCC);
    EXPECT_EQ(ProtocolClient_BatchRead(s, segs, 5, guarded.data()), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(guarded[500], 0xCC);
    EXPECT_EQ(guarded[100], 0xCC) << "nothing of the over-long segment was read";
    EXPECT_EQ(srv.Connections(), connects);
    EXPECT_FALSE(s->connected);

    // Anything else than data or an error ends the batch. The session closed above is rebuilt
    // by this batch's own recovery first.
    onBatch = [&](Conn& c, const Request& r) { c.SendHeader(wire::OpRespPong, 0, r.header.seq, 0, 0); };
    EXPECT_EQ(ProtocolClient_BatchRead(s, segs, 5, buf.data()), STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(srv.Connections(), connects + 1);
    EXPECT_FALSE(s->connected);
    // Rebuilt again once the 30 s that separate two reconnect bursts have passed.
    hk::test::AdvanceClock(310000000);
    onBatch = nullptr;
    EXPECT_EQ(ProtocolClient_BatchRead(s, segs, 5, buf.data()), STATUS_SUCCESS);
}

TEST_F(SessionTest, WriteLogsAndServerErrors) {
    std::atomic<bool> refuse{true};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpWrite && refuse) c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, 7);
        else disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    uint8_t data[512] = {1};
    EXPECT_EQ(ProtocolClient_Write(s, 1024, 512, data, nullptr), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] 入口: connected=1, handshakeDone=1, readOnly=0, superUser=0, offset=1024, size=512\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] WskSend 返回 0x00000000 (attempt=0)\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] WskRecv 返回 0x00000000, respOpcode=0x41, respSize=7\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] WpCheckRespHeader 失败: 0xC00000A2\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] WpTryRecover 失败: 0xC00000A2\n"));
    EXPECT_EQ(srv.RequestCount(), 2u) << "a server error is not retried";
    refuse = false;
    ULONGLONG written = 0;
    EXPECT_EQ(ProtocolClient_Write(s, 1024, 512, data, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 512u);
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] 成功: bytesWritten=512\n"));
}

}  // namespace
