// Wire-exact answers of zelko-diskd to every request, checked byte by byte by a client of the
// test's own (not the driver).
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <random>
#include <thread>

#include <unistd.h>

#include "compress.h"
#include "diskd_harness.h"

using namespace diskd_test;

namespace {

const std::string kIqn = "iqn.2024-01.test:image.1";
const std::string kRoIqn = "iqn.2024-01.test:image.2";
const std::string kToken = "super-token-1";
constexpr uint64_t kSize = 4u << 20;

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeImage(dir_ / "a.img", kSize);
        MakeImage(dir_ / "b.img", kSize);
        server_ = std::make_unique<Server>(
            dir_.path(), std::vector<std::string>{"--image", kIqn + "=" + dir_ / "a.img", "--image",
                                                  kRoIqn + "=" + dir_ / "b.img,ro", "--token", kToken + "=" + kIqn,
                                                  "--token", "ro-token=" + kRoIqn});
        ASSERT_TRUE(server_->running()) << server_->Log();
    }
    void TearDown() override {
        if (server_->running()) {
            EXPECT_EQ(server_->Stop(), 0) << server_->Log();
        }
    }
    std::unique_ptr<Client> Connect(const std::string& iqn = kIqn, const std::string& cid = "pc-1",
                                    const std::string* token = nullptr) {
        auto c = std::make_unique<Client>(server_->tcpPort());
        auto a = c->Handshake(iqn, cid, token);
        EXPECT_TRUE(a && a->header.opcode == wire::OpRespOk) << server_->Log();
        return c;
    }
    TempDir dir_;
    std::unique_ptr<Server> server_;
};

TEST_F(ProtocolTest, HandshakeAnswerIsExact) {
    Client c(server_->tcpPort());
    auto req = c.HandshakeRequest(kIqn, "0123456789");
    // 24-byte header, 16 + A + B payload bytes, length field 12 less.
    ASSERT_EQ(req.size(), 24u + 16 + kIqn.size() + 10);
    c.Send(req);
    auto raw = c.Recv(24 + 32);
    ASSERT_TRUE(raw) << server_->Log();
    const uint8_t expectHdr[] = {'Z', 'K', 'P', 'D', 1, 0, 0x40, 0x00, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0};
    EXPECT_EQ(0, memcmp(raw->data(), expectHdr, 24));
    wire::HandshakeResponse r;
    memcpy(&r, raw->data() + 24, 32);
    EXPECT_EQ(V(r.serverVersion), 1u);
    EXPECT_NE(V(r.sid), 0);
    EXPECT_EQ(V(r.size), kSize);
    EXPECT_EQ(V(r.bs), 512u);
    EXPECT_EQ(V(r.flags), 0u);  // normal session: writable overlay, no super-user
    EXPECT_EQ(V(r.ver), 1u);

    // Super-user token: su bit; read-only image: ro bit.
    Client s(server_->tcpPort());
    auto sa = s.Handshake(kIqn, "pc-2", &kToken);
    ASSERT_TRUE(sa);
    EXPECT_EQ(V(sa->body.flags), wire::kHandshakeSuperUser);
    Client ro(server_->tcpPort());
    auto ra = ro.Handshake(kRoIqn, "pc-3");
    ASSERT_TRUE(ra);
    EXPECT_EQ(V(ra->body.flags), wire::kHandshakeReadOnly);
    // A client that asks for read-only gets it.
    Client rq(server_->tcpPort());
    auto qa = rq.Handshake(kIqn, "pc-4", nullptr, wire::FlagReadOnly);
    ASSERT_TRUE(qa);
    EXPECT_EQ(V(qa->body.flags), wire::kHandshakeReadOnly);
    EXPECT_NE(V(qa->body.sid), sa->body.sid);
}

TEST_F(ProtocolTest, HandshakeRejections) {
    std::string bad = "wrong-token", empty;
    struct Case {
        std::string iqn;
        const std::string* token;
        uint32_t code;
    } cases[] = {{"iqn.2024-01.test:image.99", nullptr, wire::ErrAccessDenied},
                 {kIqn, &bad, wire::ErrAccessDenied},
                 {kIqn, &empty, wire::ErrAccessDenied},
                 {kRoIqn, &kToken, wire::ErrAccessDenied}};  // token issued for another image
    for (const auto& k : cases) {
        Client c(server_->tcpPort());
        auto a = c.Handshake(k.iqn, "pc-1", k.token);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->header.opcode, wire::OpRespError) << k.iqn;
        EXPECT_EQ(a->header.length, k.code);
        EXPECT_EQ(a->header.seq, 2u);
        // The connection stays usable: a correct handshake follows.
        auto ok = c.Handshake(kIqn, "pc-1");
        ASSERT_TRUE(ok);
        EXPECT_EQ(ok->header.opcode, wire::OpRespOk);
    }
    // Client protocol version 2 in the record.
    Client c(server_->tcpPort());
    auto req = c.HandshakeRequest(kIqn, "pc-1", nullptr);
    req[24] = 2;
    c.Send(req);
    auto h = c.RecvHeader();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->opcode, wire::OpRespError);
    EXPECT_EQ(V(h->length), wire::ErrRevisionMismatch);
}

TEST_F(ProtocolTest, ReadReturnsExactBytesPlainOrCompressed) {
    auto c = Connect();
    // A patterned range (incompressible enough to go plain) and an all-zero hole (compressed).
    for (auto [off, len] : std::vector<std::pair<uint64_t, uint32_t>>{{0, 4096}, {4096 * 2, 4096}, {100, 1000},
                                                                      {kSize - 512, 512}, {12345, 300000}}) {
        bool compressed = false;
        auto d = c->Read(off, len, nullptr, &compressed);
        ASSERT_TRUE(d) << off;
        ASSERT_EQ(d->size(), len);
        for (uint32_t i = 0; i < len; ++i)
            ASSERT_EQ((*d)[i], PatternByte(off + i)) << "offset " << off + i;
    }
    // Zeros compress; the header carries the compressed size and both flags.
    Header h;
    h.opcode = wire::OpRead;
    h.seq = 77;
    h.offset = 3u << 20;
    h.length = 65536;
    c->Send(EncodeHeader(h));
    auto r = c->RecvHeader();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, wire::OpRespOk);
    EXPECT_EQ(V(r->flags), wire::FlagData | wire::FlagCompressed);
    EXPECT_EQ(r->seq, 77u);
    EXPECT_LT(V(r->length), 65536u / 4);
    ASSERT_TRUE(c->Recv(r->length));
    // Zero-length read: an empty data answer.
    auto z = c->Read(0, 0);
    ASSERT_TRUE(z);
    EXPECT_TRUE(z->empty());

    // Byte for byte what the encoder makes of the file's content, compressed exactly when that
    // saves at least 1/16: for ranges of zeros, of pattern, of both, and unaligned.
    std::mt19937 rng(5);
    for (int t = 0; t < 40; ++t) {
        uint32_t len = t % 4 == 0 ? 1 + rng() % 600 : 512 + rng() % 200000;
        uint64_t off = rng() % (kSize - len);
        auto file = ReadFileRange(dir_ / "a.img", off, len);
        std::vector<uint8_t> want(len);
        size_t clen = len >= 512 ? zelko::diskd::CompressSequence(file.data(), len, want.data(), len - len / 16) : 0;
        h.seq = 1000 + t;
        h.offset = off;
        h.length = len;
        c->Send(EncodeHeader(h));
        auto a = c->RecvHeader();
        ASSERT_TRUE(a);
        ASSERT_EQ(a->opcode, wire::OpRespOk);
        EXPECT_EQ(V(a->flags), clen ? wire::FlagData | wire::FlagCompressed : wire::FlagData) << off << "+" << len;
        ASSERT_EQ(V(a->length), clen ? clen : len) << off << "+" << len;
        auto payload = c->Recv(a->length);
        ASSERT_TRUE(payload);
        if (clen) want.resize(clen);
        EXPECT_TRUE(*payload == (clen ? want : file)) << off << "+" << len;
    }
}

// An image file cut short behind the server's back (a mistake of the operator): reads of the
// lost part see what the file holds now (zeros), and the server lives on for every other image.
TEST(TruncatedImageTest, ReadsBeyondTheNewEndAreZerosAndTheServerSurvives) {
    for (const char* compression : {"on", "off"}) {
        TempDir dir;
        MakeImage(dir / "a.img", kSize);
        Server server(dir.path(), {"--image", kIqn + "=" + dir / "a.img", "--compression", compression});
        ASSERT_TRUE(server.running()) << server.Log();
        Client c(server.tcpPort());
        ASSERT_EQ(c.Handshake(kIqn, "pc-1")->header.opcode, wire::OpRespOk);
        EXPECT_TRUE(c.Read(0, 65536));  // the mapping is in use before the file shrinks
        ASSERT_EQ(truncate((dir / "a.img").c_str(), 1u << 20), 0);
        for (uint64_t off : {uint64_t{1u << 20}, uint64_t{(1u << 20) - 8192}, uint64_t{3u << 20}}) {
            auto d = c.Read(off, 65536);
            ASSERT_TRUE(d) << compression << " " << off << "\n" << server.Log();
            for (uint32_t i = 0; i < 65536; ++i)
                ASSERT_EQ((*d)[i], off + i < (1u << 20) ? PatternByte(off + i) : 0) << compression << " " << off + i;
        }
        EXPECT_EQ(server.Stop(), 0) << server.Log();
    }
}

TEST_F(ProtocolTest, OutOfRangeAndOversizedRequestsAreAnsweredWithErrors) {
    auto c = Connect();
    uint32_t code = 0;
    EXPECT_FALSE(c->Read(kSize - 512, 1024, &code));
    EXPECT_EQ(code, wire::ErrInvalidParameter);
    EXPECT_FALSE(c->Read(~0ull - 10, 512, &code));  // offset + length overflows 64 bits
    EXPECT_EQ(code, wire::ErrInvalidParameter);
    auto w = c->Write(kSize, std::vector<uint8_t>(512, 1));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->opcode, wire::OpRespError);
    EXPECT_EQ(w->length, wire::ErrInvalidParameter);
    // Still in sync afterwards.
    auto d = c->Read(0, 16);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)[1], PatternByte(1));
}

TEST_F(ProtocolTest, RequestsBeforeHandshakeAreRefused) {
    Client c(server_->tcpPort());
    uint32_t code = 0;
    EXPECT_FALSE(c.Read(0, 512, &code));
    EXPECT_EQ(code, wire::ErrAccessDenied);
    // Ping needs no image.
    Header p;
    p.opcode = wire::OpPing;
    p.seq = 9;
    c.Send(EncodeHeader(p));
    auto raw = c.Recv(24);
    ASSERT_TRUE(raw);
    const uint8_t pong[] = {'Z', 'K', 'P', 'D', 1, 0, 0x42, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(raw->data(), pong, 24));
}

TEST_F(ProtocolTest, WriteOnReadOnlyImageIsWriteProtected) {
    auto c = Connect(kRoIqn);
    auto w = c->Write(0, std::vector<uint8_t>(512, 0xAB));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->opcode, wire::OpRespError);
    EXPECT_EQ(w->length, wire::ErrWriteProtected);
    // Even a valid super-user token does not make a read-only image writable.
    std::string roToken = "ro-token";
    Client su(server_->tcpPort());
    auto sa = su.Handshake(kRoIqn, "pc-8", &roToken);
    ASSERT_TRUE(sa);
    EXPECT_EQ(sa->header.opcode, wire::OpRespOk);
    EXPECT_EQ(V(sa->body.flags), wire::kHandshakeReadOnly);
    EXPECT_EQ(V(su.Write(0, std::vector<uint8_t>(512, 0xAB))->length), wire::ErrWriteProtected);
    // A session that asked for read-only on a writable image is read-only too.
    Client r(server_->tcpPort());
    ASSERT_TRUE(r.Handshake(kIqn, "pc-9", nullptr, wire::FlagReadOnly));
    auto w2 = r.Write(0, std::vector<uint8_t>(512, 0xAB));
    ASSERT_TRUE(w2);
    EXPECT_EQ(V(w2->length), wire::ErrWriteProtected);
    EXPECT_EQ(ReadFileRange(dir_ / "b.img", 0, 1)[0], PatternByte(0));
}

TEST_F(ProtocolTest, WriteAnswerAndReadBack) {
    auto c = Connect();
    auto data = Pattern(5000, 3);
    Header h;
    h.opcode = wire::OpWrite;
    h.flags = wire::FlagData;
    h.seq = 1234;
    h.offset = 777;
    h.length = 5000;
    auto bytes = EncodeHeader(h);
    bytes.insert(bytes.end(), data.begin(), data.end());
    c->Send(bytes);
    auto raw = c->Recv(24);
    ASSERT_TRUE(raw);
    Header r = DecodeHeader(raw->data());
    EXPECT_EQ(r.opcode, wire::OpRespOk);
    EXPECT_EQ(r.seq, 1234u);
    EXPECT_EQ(V(r.length), 5000u);  // bytes written
    auto back = c->Read(0, 8192);
    ASSERT_TRUE(back);
    for (uint32_t i = 0; i < 8192; ++i) {
        uint8_t want = (i >= 777 && i < 5777) ? data[i - 777] : PatternByte(i);
        ASSERT_EQ((*back)[i], want) << i;
    }
    // The base file is untouched: the write went to this client's overlay.
    EXPECT_EQ(ReadFileRange(dir_ / "a.img", 777, 1)[0], PatternByte(777));
}

TEST_F(ProtocolTest, BatchReadSegmentsAndEndMarker) {
    auto c = Connect();
    std::vector<wire::BatchSegment> segs = {{8192, 4096}, {0, 100}, {kSize - 1024, 1024}, {5000, 0}};
    Header h;
    h.opcode = wire::OpBatchRead;
    h.flags = wire::FlagBatch;
    h.seq = 55;
    h.offset = segs.size();
    h.length = static_cast<uint32_t>(segs.size() * 12);
    auto bytes = EncodeHeader(h);
    const auto* p = reinterpret_cast<const uint8_t*>(segs.data());
    bytes.insert(bytes.end(), p, p + segs.size() * 12);
    c->Send(bytes);
    for (const auto& s : segs) {
        auto r = c->RecvHeader();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->opcode, wire::OpRespOk);
        EXPECT_EQ(V(r->flags), wire::FlagData);
        EXPECT_EQ(V(r->length), V(s.length));
        EXPECT_EQ(V(r->offset), V(s.offset));
        auto d = c->Recv(s.length);
        ASSERT_TRUE(d);
        for (uint32_t i = 0; i < s.length; ++i) ASSERT_EQ((*d)[i], PatternByte(s.offset + i));
    }
    auto end = c->RecvHeader();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->offset, wire::kBatchEndMarker);
    EXPECT_EQ(end->length, 0u);
    // Nothing else follows: the next exchange lines up.
    ASSERT_TRUE(c->Read(0, 8));
}

TEST_F(ProtocolTest, BatchSegmentCountLimits) {
    auto c = Connect();
    for (uint64_t count : {0ull, 257ull}) {
        Header h;
        h.opcode = wire::OpBatchRead;
        h.flags = wire::FlagBatch;
        h.seq = 5;
        h.offset = count;
        h.length = static_cast<uint32_t>(count * 12);
        auto bytes = EncodeHeader(h);
        bytes.resize(bytes.size() + count * 12, 0);
        c->Send(bytes);
        auto r = c->RecvHeader();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->opcode, wire::OpRespError);
        EXPECT_EQ(V(r->length), wire::ErrInvalidParameter);

        Header w;
        w.opcode = wire::OpBatchWrite;
        w.flags = wire::FlagBatch;
        w.seq = 6;
        w.offset = count;
        w.length = 0;
        auto wb = EncodeHeader(w);
        wb.resize(wb.size() + count * 12, 0);
        c->Send(wb);
        r = c->RecvHeader();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->opcode, wire::OpRespError);
        EXPECT_EQ(V(r->length), wire::ErrInvalidParameter);
    }
    // A batch with one bad segment is refused before any data goes out.
    std::vector<wire::BatchSegment> segs = {{0, 512}, {kSize, 512}};
    Header h;
    h.opcode = wire::OpBatchRead;
    h.flags = wire::FlagBatch;
    h.offset = 2;
    h.length = 24;
    auto bytes = EncodeHeader(h);
    const auto* p = reinterpret_cast<const uint8_t*>(segs.data());
    bytes.insert(bytes.end(), p, p + 24);
    c->Send(bytes);
    auto r = c->RecvHeader();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, wire::OpRespError);
    ASSERT_TRUE(c->Read(0, 8));
}

TEST_F(ProtocolTest, BatchWriteAppliesAllSegments) {
    auto c = Connect();
    auto a = Pattern(1000, 1), b = Pattern(4096, 2);
    std::vector<wire::BatchSegment> segs = {{10000, 1000}, {65536, 4096}};
    Header h;
    h.opcode = wire::OpBatchWrite;
    h.flags = wire::FlagBatch;
    h.seq = 8;
    h.offset = 2;
    h.length = 5096;
    auto bytes = EncodeHeader(h);
    const auto* p = reinterpret_cast<const uint8_t*>(segs.data());
    bytes.insert(bytes.end(), p, p + 24);
    bytes.insert(bytes.end(), a.begin(), a.end());
    bytes.insert(bytes.end(), b.begin(), b.end());
    c->Send(bytes);
    auto r = c->RecvHeader();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, wire::OpRespOk);
    EXPECT_EQ(r->seq, 8u);
    EXPECT_EQ(V(r->length), 5096u);
    EXPECT_EQ(*c->Read(10000, 1000), a);
    EXPECT_EQ(*c->Read(65536, 4096), b);
    // Lengths that do not add up are refused as a whole.
    h.length = 5095;
    bytes = EncodeHeader(h);
    bytes.insert(bytes.end(), p, p + 24);
    bytes.resize(bytes.size() + 5095, 0);
    c->Send(bytes);
    r = c->RecvHeader();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, wire::OpRespError);
    EXPECT_EQ(*c->Read(10000, 1000), a);
}

TEST_F(ProtocolTest, MaintenanceCommands) {
    auto c = Connect(kIqn, "pc-1", &kToken);
    ASSERT_TRUE(c->Write(0, std::vector<uint8_t>(8192, 0x5A)));

    // MigrationStatus: 48-byte record, dirty = the layer's blocks, total = the image's.
    Header m;
    m.opcode = wire::OpMigrationStatus;
    m.seq = 20;
    m.length = 32;
    auto mb = EncodeHeader(m);
    mb.resize(mb.size() + 32, 0);
    memcpy(&mb[24], "status", 6);
    c->Send(mb);
    auto r = c->RecvHeader();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, wire::OpRespOk);
    EXPECT_EQ(V(r->length), 48u);
    auto rec = c->Recv(48);
    ASSERT_TRUE(rec);
    wire::MigrationStatusResponse ms;
    memcpy(&ms, rec->data(), 48);
    EXPECT_EQ(V(ms.active), 0u);
    EXPECT_EQ(V(ms.dirty), 2u);
    EXPECT_EQ(V(ms.total), kSize / 4096);

    // TransportNegotiate: TCP and UDP with the UDP port.
    auto tn = c->Negotiate(3);
    ASSERT_TRUE(tn);
    EXPECT_EQ(V(tn->selected), 3u);
    EXPECT_EQ(V(tn->udpPort), server_->udpPort());
    EXPECT_EQ(V(tn->rdmaPort), 0u);
    auto tcpOnly = c->Negotiate(1);
    ASSERT_TRUE(tcpOnly);
    EXPECT_EQ(V(tcpOnly->selected), 1u);
    EXPECT_EQ(V(tcpOnly->udpPort), 0u);

    // PathDeregister: exactly one header.
    Header pd;
    pd.opcode = wire::OpPathDeregister;
    pd.seq = 30;
    pd.length = 12;
    auto pb = EncodeHeader(pd);
    pb.resize(pb.size() + 12, 0);
    pb[24] = 7;
    c->Send(pb);
    r = c->RecvHeader();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->opcode, wire::OpRespOk);
    EXPECT_EQ(V(r->length), 0u);

    // ExitSuperUser on a normal session is refused; with commit it reports blocks and bytes.
    auto n = Connect(kIqn, "pc-2");
    auto ne = n->Exit(true);
    ASSERT_TRUE(ne);
    EXPECT_EQ(ne->opcode, wire::OpRespError);
    wire::ExitSuperUserResponse er{};
    auto e = c->Exit(true, &er);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->opcode, wire::OpRespOk);
    EXPECT_EQ(e->length, 16u);
    EXPECT_EQ(V(er.blocks), 2u);
    EXPECT_EQ(V(er.bytes), 8192u);
    // After the exit the session is read-only until the client restarts.
    auto w = c->Write(0, std::vector<uint8_t>(512, 1));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->length, wire::ErrWriteProtected);
}

TEST_F(ProtocolTest, GarbageClosesOnlyThatConnection) {
    auto good = Connect(kIqn, "pc-good");
    struct Bad {
        const char* what;
        std::vector<uint8_t> bytes;
        bool answered;
    };
    Header unknown;
    unknown.opcode = 0x77;
    Header v2;
    v2.version = 2;
    v2.opcode = wire::OpRead;
    Header hugeWrite;
    hugeWrite.opcode = wire::OpWrite;
    hugeWrite.length = 0xFFFFFFF0u;
    std::vector<Bad> bad = {
        {"random bytes", Pattern(200, 9), false},
        {"unknown opcode", EncodeHeader(unknown), true},
        {"version 2", EncodeHeader(v2), true},
        {"4 GiB write", EncodeHeader(hugeWrite), true},
    };
    for (auto& b : bad) {
        Client c(server_->tcpPort());
        c.Send(b.bytes);
        if (b.answered) {
            auto h = c.RecvHeader();
            ASSERT_TRUE(h) << b.what;
            EXPECT_EQ(h->opcode, wire::OpRespError) << b.what;
        }
        EXPECT_TRUE(c.WaitClosed()) << b.what;
    }
    // Well-framed nonsense: known opcodes with random flags, offsets, lengths and payloads, on
    // sessions with and without a handshake. Whatever the answers, the server survives.
    std::mt19937 rng(7);
    const uint8_t ops[] = {wire::OpHandshake, wire::OpRead, wire::OpWrite, wire::OpBatchRead, wire::OpBatchWrite,
                           wire::OpPing, wire::OpExitSuperUser, wire::OpMigrationStatus, wire::OpPushBlockAck,
                           wire::OpTransportNegotiate, wire::OpPathDeregister};
    for (int round = 0; round < 60; ++round) {
        Client c(server_->tcpPort());
        if (round % 2) {
            ASSERT_TRUE(c.Handshake(kIqn, "fuzz-" + std::to_string(round), round % 4 == 1 ? &kToken : nullptr));
        }
        std::vector<uint8_t> bytes;
        for (int k = 0; k < 8; ++k) {
            Header h;
            h.opcode = ops[rng() % sizeof ops];
            h.flags = static_cast<uint8_t>(rng());
            h.seq = rng();
            h.offset = rng() % 3 == 0 ? rng() % 300 : (static_cast<uint64_t>(rng()) << 32 | rng()) % (kSize + 8192);
            h.length = rng() % 4 == 0 ? rng() : rng() % 5000;
            auto hb = EncodeHeader(h);
            bytes.insert(bytes.end(), hb.begin(), hb.end());
            auto junk = Pattern(rng() % 6000, static_cast<uint8_t>(round + k));
            bytes.insert(bytes.end(), junk.begin(), junk.end());
        }
        c.Send(bytes);
        c.WaitClosed(50);
    }
    // Half a request, then the client goes away: nothing else is disturbed.
    {
        Client c(server_->tcpPort());
        c.Send(std::vector<uint8_t>(10, 'Z'));
    }
    auto d = good->Read(0, 4096);
    ASSERT_TRUE(d);
    EXPECT_EQ((*d)[4095], PatternByte(4095));
}

TEST_F(ProtocolTest, PipelinedRequestsAreAnsweredInOrder) {
    auto c = Connect();
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < 20; ++i) {
        Header h;
        h.opcode = i % 2 ? wire::OpPing : wire::OpRead;
        h.seq = 100 + i;
        h.offset = i * 4096;
        h.length = i % 2 ? 0 : 4096;
        auto hb = EncodeHeader(h);
        bytes.insert(bytes.end(), hb.begin(), hb.end());
    }
    c->Send(bytes);
    for (uint32_t i = 0; i < 20; ++i) {
        auto r = c->RecvHeader();
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(r->seq, 100 + i);
        EXPECT_EQ(r->opcode, i % 2 ? wire::OpRespPong : wire::OpRespOk);
        if (r->length && r->opcode == wire::OpRespOk) {
            ASSERT_TRUE(c->Recv(r->length));
        }
    }
}

TEST_F(ProtocolTest, UdpReadWritePing) {
    auto c = Connect();
    auto tn = c->Negotiate(3);
    ASSERT_TRUE(tn);
    ASSERT_NE(tn->udpPort, 0u);
    UdpClient u(static_cast<uint16_t>(tn->udpPort));

    Header r;
    r.opcode = wire::OpRead;
    r.seq = 0xABCD0001;
    r.offset = 4096;
    r.length = 4096;
    u.Send(EncodeHeader(r));
    auto a = u.Recv();
    ASSERT_TRUE(a) << server_->Log();
    ASSERT_EQ(a->size(), 24u + 4096);
    Header ah = DecodeHeader(a->data());
    EXPECT_EQ(ah.seq, 0xABCD0001u);
    EXPECT_EQ(ah.opcode, wire::OpRespOk);
    EXPECT_EQ(ah.flags, wire::FlagData);  // never compressed on UDP
    for (size_t i = 0; i < 4096; ++i) ASSERT_EQ((*a)[24 + i], PatternByte(4096 + i));

    // Write datagram: applied, no answer; TCP sees it (same session state).
    auto data = Pattern(2048, 4);
    Header w;
    w.opcode = wire::OpWrite;
    w.flags = wire::FlagData;
    w.seq = 0xABCD0002;
    w.offset = 1024;
    w.length = 2048;
    auto wb = EncodeHeader(w);
    wb.insert(wb.end(), data.begin(), data.end());
    u.Send(wb);
    EXPECT_FALSE(u.Recv(300));
    // The datagram is applied by another thread than the TCP read; give it time under load.
    bool seen = false;
    for (int i = 0; i < 50 && !seen; ++i) {
        seen = *c->Read(1024, 2048) == data;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(seen);

    // Reads beyond one datagram are refused with an error datagram echoing the seq.
    for (uint32_t len : {65536u + 512, 65536u}) {
        r.seq = 0xABCD0003;
        r.offset = 0;
        r.length = len;
        u.Send(EncodeHeader(r));
        auto e = u.Recv();
        ASSERT_TRUE(e);
        ASSERT_EQ(e->size(), 24u);
        Header eh = DecodeHeader(e->data());
        EXPECT_EQ(eh.opcode, wire::OpRespError);
        EXPECT_EQ(eh.seq, 0xABCD0003u);
    }
    // The largest read that fits.
    r.length = 65536 - 512;
    u.Send(EncodeHeader(r));
    auto big = u.Recv();
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 24u + 65536 - 512);

    Header p;
    p.opcode = wire::OpPing;
    p.seq = 0xABCD0004;
    u.Send(EncodeHeader(p));
    auto pong = u.Recv();
    ASSERT_TRUE(pong);
    EXPECT_EQ(DecodeHeader(pong->data()).opcode, wire::OpRespPong);
    EXPECT_EQ(DecodeHeader(pong->data()).seq, 0xABCD0004u);
    // A PushBlockAck is accepted silently; a datagram with a wrong magic is dropped.
    Header ack;
    ack.opcode = wire::OpPushBlockAck;
    u.Send(EncodeHeader(ack));
    Header junk;
    junk.magic = 0x12345678;
    junk.opcode = wire::OpPing;
    u.Send(EncodeHeader(junk));
    EXPECT_FALSE(u.Recv(300));
}

TEST_F(ProtocolTest, UdpWithoutNegotiatedSessionIsIgnored) {
    UdpClient u(server_->udpPort());
    Header r;
    r.opcode = wire::OpRead;
    r.seq = 1;
    r.length = 512;
    u.Send(EncodeHeader(r));
    EXPECT_FALSE(u.Recv(300));
}

}  // namespace

namespace {

TEST(UdpPushTest, ReadAheadIsPushedAndAcksAreAccepted) {
    TempDir dir;
    MakeImage(dir / "a.img", kSize);
    Server s(dir.path(), {"--image", kIqn + "=" + dir / "a.img", "--udp-push-ahead", "2"});
    ASSERT_TRUE(s.running()) << s.Log();
    Client c(s.tcpPort());
    ASSERT_TRUE(c.Handshake(kIqn, "pc"));
    // What this session sees is what gets pushed: its own overlay included.
    auto mine = Pattern(4096, 5);
    ASSERT_EQ(c.Write(8192, mine)->opcode, wire::OpRespOk);
    auto tn = c.Negotiate(3);
    ASSERT_TRUE(tn && tn->udpPort);
    UdpClient u(static_cast<uint16_t>(tn->udpPort));
    Header r;
    r.opcode = wire::OpRead;
    r.seq = 10;
    r.offset = 100;  // unaligned end: pushes start at the next whole block
    r.length = 3000;
    u.Send(EncodeHeader(r));
    auto a = u.Recv();
    ASSERT_TRUE(a);
    EXPECT_EQ(DecodeHeader(a->data()).seq, 10u);
    for (uint64_t want : {4096ull, 8192ull}) {
        auto p = u.Recv();
        ASSERT_TRUE(p);
        ASSERT_EQ(p->size(), 24u + 4096);
        Header ph = DecodeHeader(p->data());
        EXPECT_EQ(ph.opcode, wire::OpPushBlock);
        EXPECT_EQ(ph.flags, wire::FlagData);
        EXPECT_EQ(ph.offset, want);
        EXPECT_EQ(ph.length, 4096u);
        std::vector<uint8_t> d(p->begin() + 24, p->end());
        if (want == 8192) {
            EXPECT_EQ(d, mine);
        } else {
            for (size_t i = 0; i < 4096; ++i) ASSERT_EQ(d[i], PatternByte(want + i));
        }
        Header ack = ph;
        ack.opcode = wire::OpPushBlockAck;
        ack.flags = 0;
        u.Send(EncodeHeader(ack));
    }
    EXPECT_FALSE(u.Recv(200));  // exactly two
    // Nothing is pushed beyond the end of the image.
    r.seq = 11;
    r.offset = kSize - 4096;
    r.length = 4096;
    u.Send(EncodeHeader(r));
    ASSERT_TRUE(u.Recv());
    EXPECT_FALSE(u.Recv(200));
    httplib::Client admin("127.0.0.1", s.adminPort());
    for (int i = 0; i < 50; ++i) {
        auto st = admin.Get("/admin/v1/stats");
        ASSERT_TRUE(st);
        if (nlohmann::json::parse(st->body)["pushAcks"] == 2) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(nlohmann::json::parse(admin.Get("/admin/v1/stats")->body)["pushAcks"], 2);
    EXPECT_EQ(s.Stop(), 0);
}

}  // namespace
