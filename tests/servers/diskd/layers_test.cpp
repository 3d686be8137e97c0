// Copy-on-write layers of zelko-diskd seen from clients: isolation, merge and discard, image
// versions, overlays across reconnects and reboots, and merges killed at every stage.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "diskd_harness.h"

using namespace diskd_test;

namespace {

const std::string kIqn = "iqn.2024-01.test:image.1";
const std::string kToken = "super-token-1";
const std::string kToken2 = "super-token-2";
const std::string kUploadToken = "upload-token-1";
constexpr uint64_t kSize = 4u << 20;

class LayersTest : public ::testing::Test {
protected:
    void SetUp() override { MakeImage(dir_ / "a.img", kSize); }
    void TearDown() override {
        if (server_ && server_->running()) {
            EXPECT_EQ(server_->Stop(), 0) << server_->Log();
        }
    }
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--image", kIqn + "=" + dir_ / "a.img", "--token", kToken + "=" + kIqn,
                                         "--token", kToken2 + "=" + kIqn + ",client=uploader",
                                         "--token", kUploadToken + "=" + kIqn + ",upload,client=upload-7"};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = std::make_unique<Server>(dir_.path(), args);
        ASSERT_TRUE(server_->running()) << server_->Log();
    }
    std::unique_ptr<Client> Connect(const std::string& cid, const std::string* token = nullptr,
                                    HandshakeAnswer* answer = nullptr) {
        auto c = std::make_unique<Client>(server_->tcpPort());
        auto a = c->Handshake(kIqn, cid, token);
        EXPECT_TRUE(a && a->header.opcode == wire::OpRespOk) << server_->Log();
        if (a && answer) *answer = *a;
        return c;
    }
    static bool IsPattern(const std::vector<uint8_t>& d, uint64_t off) {
        for (size_t i = 0; i < d.size(); ++i)
            if (d[i] != PatternByte(off + i)) return false;
        return true;
    }
    TempDir dir_;
    std::unique_ptr<Server> server_;
};

TEST_F(LayersTest, ClientsAreIsolatedAndMergeReachesEveryoneAfterReboot) {
    Start();
    auto su = Connect("admin-pc", &kToken);
    auto a = Connect("pc-a");
    auto b = Connect("pc-b");
    auto suData = Pattern(16384, 1), aData = Pattern(512, 2);
    ASSERT_EQ(su->Write(8192, suData)->opcode, wire::OpRespOk);
    ASSERT_EQ(a->Write(8192 + 100, aData)->opcode, wire::OpRespOk);

    // Each sees its own writes only.
    EXPECT_EQ(*su->Read(8192, 16384), suData);
    auto ar = *a->Read(8192, 4096);
    EXPECT_TRUE(std::equal(aData.begin(), aData.end(), ar.begin() + 100));
    EXPECT_EQ(ar[0], PatternByte(8192));  // the copied-up rest of the block is the base's
    EXPECT_TRUE(IsPattern(*b->Read(8192, 16384), 8192));
    EXPECT_TRUE(IsPattern(ReadFileRange(dir_ / "a.img", 8192, 16384), 8192));

    wire::ExitSuperUserResponse er{};
    auto e = su->Exit(true, &er);
    ASSERT_TRUE(e);
    ASSERT_EQ(e->opcode, wire::OpRespOk) << server_->Log();
    EXPECT_EQ(V(er.blocks), 4u);
    EXPECT_EQ(V(er.bytes), 16384u);
    // The base file holds the merge, durably.
    EXPECT_EQ(ReadFileRange(dir_ / "a.img", 8192, 16384), suData);

    // Running clients keep the content they booted with (their Windows has it cached) ...
    EXPECT_TRUE(IsPattern(*b->Read(8192, 16384), 8192));
    ar = *a->Read(8192, 4096);
    EXPECT_TRUE(std::equal(aData.begin(), aData.end(), ar.begin() + 100));
    EXPECT_EQ(ar[0], PatternByte(8192));
    // ... while a new session gets the new version and content.
    HandshakeAnswer na;
    auto c = Connect("pc-c", nullptr, &na);
    EXPECT_EQ(V(na.body.ver), 2u);
    EXPECT_EQ(*c->Read(8192, 16384), suData);
    // b reconnects within its run: same old version and content.
    b.reset();
    HandshakeAnswer ba;
    b = Connect("pc-b", nullptr, &ba);
    EXPECT_EQ(V(ba.body.ver), 1u);
    EXPECT_TRUE(IsPattern(*b->Read(8192, 16384), 8192));
}

// Plain answers of base blocks go from the file's mapping straight into the socket; every
// other block must still come from where the session's view says.
TEST_F(LayersTest, PlainReadsMixBaseLayerAndSnapshotBlocksCorrectly) {
    // The image is announced larger than its file: the tail is beyond the mapping.
    Start({"--compression", "off", "--image", "iqn.2024-01.test:big=" + dir_ / "a.img" + ",ro,size=" +
                                                  std::to_string(kSize + (1u << 20))});
    auto su = Connect("admin-pc", &kToken);
    auto a = Connect("pc-a");
    auto b = Connect("pc-b");
    auto suData = Pattern(8192, 3), aData = Pattern(100, 4);
    ASSERT_EQ(su->Write(65536, suData)->opcode, wire::OpRespOk);
    ASSERT_EQ(a->Write(65536 + 4096 + 7, aData)->opcode, wire::OpRespOk);

    // a: base, its own copied-up block, base again, in one answer; b: all base.
    auto ar = *a->Read(0, 256 * 1024);
    for (size_t i = 0; i < ar.size(); ++i) {
        size_t off = i - (65536 + 4096 + 7);
        uint8_t want = off < aData.size() ? aData[off] : PatternByte(i);
        ASSERT_EQ(ar[i], want) << "offset " << i;
    }
    EXPECT_TRUE(IsPattern(*b->Read(0, 256 * 1024), 0));
    EXPECT_TRUE(IsPattern(*b->Read(65536 + 512, 512), 65536 + 512));  // unaligned, inside a block

    ASSERT_EQ(su->Exit(true)->opcode, wire::OpRespOk) << server_->Log();
    // b is pinned to version 1: the merged blocks come from the snapshot, the rest from the base.
    EXPECT_TRUE(IsPattern(*b->Read(0, 256 * 1024), 0));
    // A new session reads the merged base, which is plain base again for it.
    auto c = Connect("pc-c");
    auto cr = *c->Read(0, 256 * 1024);
    for (size_t i = 0; i < cr.size(); ++i) {
        size_t off = i - 65536;
        ASSERT_EQ(cr[i], off < suData.size() ? suData[off] : PatternByte(i)) << "offset " << i;
    }

    // The part of an image beyond its file reads as zeros, also in an answer that straddles.
    Client big(server_->tcpPort());
    ASSERT_EQ(big.Handshake("iqn.2024-01.test:big", "pc-d")->header.opcode, wire::OpRespOk);
    auto straddle = *big.Read(kSize - 8192, 16384);
    EXPECT_TRUE(IsPattern(straddle, kSize - 8192));  // the pattern is zero there as well
    EXPECT_EQ(straddle.size(), 16384u);
    EXPECT_EQ(*big.Read(kSize + 4096, 4096), std::vector<uint8_t>(4096, 0));
}

// An answer the socket cannot take at once is finished from memory later: it must hold the
// content of the moment the request was served, even when a merge overwrites those blocks of the
// base before the client has read the answer.
TEST_F(LayersTest, AnswerLeftInTheSocketKeepsItsContentAcrossAMerge) {
    Start({"--compression", "off"});
    auto r = std::make_unique<Client>(server_->tcpPort(), 4096);
    ASSERT_EQ(r->Handshake(kIqn, "pc-slow")->header.opcode, wire::OpRespOk);
    auto su = Connect("admin-pc", &kToken);
    constexpr uint32_t kLen = 2u << 20;
    for (uint32_t i = 0; i < 2; ++i) {
        Header h;
        h.opcode = wire::OpRead;
        h.seq = 100 + i;
        h.offset = 0;
        h.length = kLen;
        r->Send(EncodeHeader(h));
    }
    // The server has sent what fits and holds the rest; now the base changes under it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto fresh = Pattern(kLen, 9);
    for (uint32_t off = 0; off < kLen; off += 1u << 20)
        ASSERT_EQ(su->Write(off, std::vector<uint8_t>(fresh.begin() + off, fresh.begin() + off + (1u << 20)))->opcode,
                  wire::OpRespOk);
    ASSERT_EQ(su->Exit(true)->opcode, wire::OpRespOk) << server_->Log();
    ASSERT_EQ(ReadFileRange(dir_ / "a.img", 0, kLen), fresh);

    for (uint32_t i = 0; i < 2; ++i) {
        auto h = r->RecvHeader();
        ASSERT_TRUE(h);
        EXPECT_EQ(h->opcode, wire::OpRespOk);
        EXPECT_EQ(h->seq, 100 + i);
        ASSERT_EQ(h->length, kLen);
        auto data = r->Recv(kLen);
        ASSERT_TRUE(data);
        EXPECT_TRUE(IsPattern(*data, 0)) << "answer " << i << " holds content of the merge";
    }
    EXPECT_TRUE(IsPattern(*r->Read(0, kLen), 0));
}

TEST_F(LayersTest, DiscardDropsTheLayerAndKeepsTheVersion) {
    Start();
    HandshakeAnswer ha;
    auto su = Connect("admin-pc", &kToken, &ha);
    ASSERT_EQ(su->Write(0, Pattern(4096, 7))->opcode, wire::OpRespOk);
    wire::ExitSuperUserResponse er{1, 1};
    auto e = su->Exit(false, &er);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->opcode, wire::OpRespOk);
    EXPECT_EQ(V(er.blocks), 0u);
    EXPECT_EQ(V(er.bytes), 0u);
    EXPECT_TRUE(IsPattern(ReadFileRange(dir_ / "a.img", 0, 4096), 0));
    HandshakeAnswer again;
    auto su2 = Connect("admin-pc", &kToken, &again);
    EXPECT_EQ(V(again.body.ver), ha.body.ver);
    EXPECT_TRUE(IsPattern(*su2->Read(0, 4096), 0));  // a fresh layer
}

TEST_F(LayersTest, SuperUserLayerSurvivesReconnectAndRestarts) {
    Start();
    auto data = Pattern(12288, 5);
    {
        auto su = Connect("admin-pc", &kToken);
        ASSERT_EQ(su->Write(4096 * 5 + 7, data)->opcode, wire::OpRespOk);
    }
    {
        auto su = Connect("admin-pc", &kToken);
        EXPECT_EQ(*su->Read(4096 * 5 + 7, 12288), data);
    }
    ASSERT_EQ(server_->Stop(), 0);
    Start();
    {
        auto su = Connect("admin-pc", &kToken);
        EXPECT_EQ(*su->Read(4096 * 5 + 7, 12288), data);
        ASSERT_EQ(su->Write(0, std::vector<uint8_t>(4096, 0xEE))->opcode, wire::OpRespOk);
    }
    server_->Kill9();
    Start();
    auto su = Connect("admin-pc", &kToken);
    EXPECT_EQ(*su->Read(4096 * 5 + 7, 12288), data);
    EXPECT_EQ((*su->Read(0, 4096))[4095], 0xEE);
    // The upload token's configured client key names the layer, whatever the client id says.
    auto up = Connect("some-id", &kToken2);
    ASSERT_EQ(up->Write(0, std::vector<uint8_t>(512, 0x11))->opcode, wire::OpRespOk);
    up.reset();
    auto up2 = Connect("other-id", &kToken2);
    EXPECT_EQ((*up2->Read(0, 512))[0], 0x11);
}

TEST_F(LayersTest, NormalOverlaySurvivesReconnectAndIsRestoredAfterIdle) {
    Start({"--overlay-idle", "2"});
    auto data = Pattern(4096, 9);
    {
        auto a = Connect("pc-a");
        ASSERT_EQ(a->Write(4096, data)->opcode, wire::OpRespOk);
    }
    // Reconnect during the run (well within the idle time): the overlay is still there.
    {
        auto a = Connect("pc-a");
        EXPECT_EQ(*a->Read(4096, 4096), data);
        // Connected for longer than the idle time: a connected client is never idle.
        std::this_thread::sleep_for(std::chrono::milliseconds(2300));
        auto a2 = Connect("pc-a");
        EXPECT_EQ(*a2->Read(4096, 4096), data);
    }
    // After the idle time without any connection, the next boot starts clean.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    auto a = Connect("pc-a");
    EXPECT_TRUE(IsPattern(*a->Read(4096, 4096), 4096));
    EXPECT_TRUE(server_->WaitLog("restore on reboot: overlay discarded"));
}

TEST_F(LayersTest, ClientIdsOfAnyShapeNameTheirOwnLayers) {
    Start();
    // Path separators, dots, control characters, the maximum length: each is one client.
    std::vector<std::string> ids = {"../../etc/passwd", std::string(63, '/'), std::string("a\x01b\nc"),
                                    std::string(63, '%'), ".", ""};
    for (size_t i = 0; i < ids.size(); ++i) {
        auto c = Connect(ids[i]);
        ASSERT_EQ(c->Write(4096 * i, std::vector<uint8_t>(4096, static_cast<uint8_t>(0xA0 + i)))->opcode, wire::OpRespOk)
            << i;
    }
    for (size_t i = 0; i < ids.size(); ++i) {
        auto c = Connect(ids[i]);
        for (size_t k = 0; k < ids.size(); ++k) {
            uint8_t b = (*c->Read(4096 * k, 1))[0];
            EXPECT_EQ(b, k == i ? 0xA0 + k : PatternByte(4096 * k)) << i << " " << k;
        }
    }
    EXPECT_EQ(system(("test ! -e " + dir_ / "data/etc").c_str()), 0);
}

TEST_F(LayersTest, NormalOverlaySurvivesServerRestart) {
    Start();
    auto data = Pattern(4096, 11);
    {
        auto a = Connect("pc-a");
        ASSERT_EQ(a->Write(0, data)->opcode, wire::OpRespOk);
    }
    server_->Kill9();
    Start();
    auto a = Connect("pc-a");
    EXPECT_EQ(*a->Read(0, 4096), data);
}

// The merge is stopped (test hook) at each stage, the server is killed with SIGKILL and
// started again: the base must be entirely old or entirely new, the version must match it, and
// an old base must come with the layer still in place.
struct CrashCase {
    const char* hook;
    bool expectNew;
};
void PrintTo(const CrashCase& c, std::ostream* os) { *os << c.hook; }

class MergeCrashTest : public LayersTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(MergeCrashTest, KilledMergeLeavesOldOrNewBaseNeverAMix) {
    const CrashCase& cc = GetParam();
    Start({"--test-merge-pause", cc.hook});
    // Scattered blocks so that the merge has many steps, plus a partial block.
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
    for (int i = 0; i < 12; ++i) writes.push_back({static_cast<uint64_t>(i) * 3 * 4096 + 4096, Pattern(4096, i + 20)});
    writes.push_back({kSize - 100, Pattern(100, 99)});
    {
        auto su = Connect("admin-pc", &kToken);
        for (auto& [off, d] : writes) ASSERT_EQ(su->Write(off, d)->opcode, wire::OpRespOk);
        // A normal client is running, so the merge also keeps a snapshot for it.
        auto other = Connect("pc-other");
        ASSERT_TRUE(other->Read(0, 512));
        Header h;
        h.opcode = wire::OpExitSuperUser;
        h.seq = 500;
        h.length = 1;
        auto b = EncodeHeader(h);
        b.push_back(1);
        su->Send(b);
        ASSERT_TRUE(server_->WaitLog("test hook: merge paused")) << server_->Log();
        // Reads of a running client are consistent while the merge is stuck.
        EXPECT_TRUE(IsPattern(*other->Read(4096, 4096), 4096));
        server_->Kill9();
    }
    auto image = [&] { return ReadFileRange(dir_ / "a.img", 0, kSize); };
    Start();
    auto base = image();
    bool allNew = true, allOld = true;
    for (auto& [off, d] : writes) {
        bool isNew = std::equal(d.begin(), d.end(), base.begin() + off);
        std::vector<uint8_t> old(base.begin() + off, base.begin() + off + d.size());
        bool isOld = IsPattern(old, off);
        allNew = allNew && isNew;
        allOld = allOld && isOld;
    }
    ASSERT_TRUE(allNew != allOld) << "base is a mix after a crash at " << cc.hook;
    EXPECT_EQ(allNew, cc.expectNew) << cc.hook;
    HandshakeAnswer na;
    auto fresh = Connect("pc-new", nullptr, &na);
    EXPECT_EQ(V(na.body.ver), allNew ? 2u : 1u);
    for (auto& [off, d] : writes) EXPECT_EQ(*fresh->Read(off, static_cast<uint32_t>(d.size())), allNew ? d : std::vector<uint8_t>(base.begin() + off, base.begin() + off + d.size()));
    if (!allNew) {
        // Still pending: the layer is authoritative for its client, and the merge can be done.
        auto su = Connect("admin-pc", &kToken);
        for (auto& [off, d] : writes) EXPECT_EQ(*su->Read(off, static_cast<uint32_t>(d.size())), d);
        wire::ExitSuperUserResponse er{};
        auto e = su->Exit(true, &er);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->opcode, wire::OpRespOk);
        EXPECT_EQ(V(er.blocks), 13u);
        base = image();
        for (auto& [off, d] : writes) EXPECT_TRUE(std::equal(d.begin(), d.end(), base.begin() + off));
    } else {
        // Completed: no layer is left behind for the client.
        auto su = Connect("admin-pc", &kToken);
        wire::ExitSuperUserResponse er{};
        auto e = su->Exit(true, &er);
        ASSERT_TRUE(e);
        EXPECT_EQ(V(er.blocks), 0u);
    }
}

// An upload brings a whole disk and skips its zero blocks: the image it replaces must not show
// through where the upload wrote nothing, neither to the uploading session nor after the merge.
TEST_F(LayersTest, UploadStartsFromAnAllZeroDiskAndItsCommitReplacesTheImage) {
    Start();
    const std::vector<uint8_t> zeros(kSize, 0);
    {
        // An upload that ends without ExitSuperUser (cancelled) merges nothing.
        auto up = Connect("uploader-pc", &kUploadToken);
        EXPECT_EQ(*up->Read(0, 65536), std::vector<uint8_t>(65536, 0));
        ASSERT_EQ(up->Write(8192, Pattern(4096, 3))->opcode, wire::OpRespOk);
    }
    EXPECT_TRUE(IsPattern(ReadFileRange(dir_ / "a.img", 0, kSize), 0));
    HandshakeAnswer before;
    Connect("pc-1", nullptr, &before);

    auto up = Connect("uploader-pc", &kUploadToken);
    // The earlier write is still there (the layer survives the reconnect), the rest reads zero.
    EXPECT_EQ(*up->Read(8192, 4096), Pattern(4096, 3));
    EXPECT_EQ(*up->Read(1 << 20, 4096), std::vector<uint8_t>(4096, 0));
    ASSERT_EQ(up->Write(1 << 20, Pattern(100000, 5))->opcode, wire::OpRespOk);
    wire::ExitSuperUserResponse er{};
    auto e = up->Exit(true, &er);
    ASSERT_TRUE(e);
    ASSERT_EQ(e->opcode, wire::OpRespOk);
    EXPECT_EQ(V(er.blocks), kSize / 4096);  // the whole image was replaced
    EXPECT_EQ(V(er.bytes), kSize);

    std::vector<uint8_t> expect(kSize, 0);
    auto p3 = Pattern(4096, 3), p5 = Pattern(100000, 5);
    std::copy(p3.begin(), p3.end(), expect.begin() + 8192);
    std::copy(p5.begin(), p5.end(), expect.begin() + (1 << 20));
    EXPECT_TRUE(ReadFileRange(dir_ / "a.img", 0, kSize) == expect);
    HandshakeAnswer after;
    auto fresh = Connect("pc-2", nullptr, &after);
    EXPECT_EQ(V(after.body.ver), V(before.body.ver) + 1);
    EXPECT_EQ(*fresh->Read(0, 65536), std::vector<uint8_t>(expect.begin(), expect.begin() + 65536));
    // A super-user session (not an upload) still starts from the image.
    auto su = Connect("admin-pc", &kToken);
    EXPECT_EQ(*su->Read(8192, 4096), p3);
}

class UploadMergeCrashTest : public LayersTest, public ::testing::WithParamInterface<CrashCase> {};

// A killed server during an upload's commit leaves the old image or the uploaded one (zeros
// where the upload wrote nothing), never a mix.
TEST_P(UploadMergeCrashTest, KilledCommitLeavesOldOrUploadedImage) {
    const CrashCase& cc = GetParam();
    Start({"--test-merge-pause", cc.hook});
    std::vector<uint8_t> uploaded(kSize, 0);
    {
        auto up = Connect("uploader-pc", &kUploadToken);
        for (int i = 0; i < 6; ++i) {
            auto d = Pattern(4096, i + 40);
            uint64_t off = static_cast<uint64_t>(i) * 5 * 4096;
            ASSERT_EQ(up->Write(off, d)->opcode, wire::OpRespOk);
            std::copy(d.begin(), d.end(), uploaded.begin() + off);
        }
        auto other = Connect("pc-other");
        ASSERT_TRUE(other->Read(0, 512));
        Header h;
        h.opcode = wire::OpExitSuperUser;
        h.seq = 600;
        h.length = 1;
        auto b = EncodeHeader(h);
        b.push_back(1);
        up->Send(b);
        ASSERT_TRUE(server_->WaitLog("test hook: merge paused")) << server_->Log();
        EXPECT_TRUE(IsPattern(*other->Read(4096, 4096), 4096));
        server_->Kill9();
    }
    Start();
    auto base = ReadFileRange(dir_ / "a.img", 0, kSize);
    bool isNew = base == uploaded, isOld = IsPattern(base, 0);
    ASSERT_TRUE(isNew != isOld) << "image is a mix after a crash at " << cc.hook;
    EXPECT_EQ(isNew, cc.expectNew) << cc.hook;
    if (isOld) {
        auto up = Connect("uploader-pc", &kUploadToken);
        wire::ExitSuperUserResponse er{};
        auto e = up->Exit(true, &er);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->opcode, wire::OpRespOk);
        EXPECT_TRUE(ReadFileRange(dir_ / "a.img", 0, kSize) == uploaded);
    }
}

INSTANTIATE_TEST_SUITE_P(Stages, UploadMergeCrashTest,
                         ::testing::Values(CrashCase{"snapshot:3", false}, CrashCase{"apply:5", true},
                                           CrashCase{"synced", true}, CrashCase{"versioned", true}),
                         [](const auto& info) {
                             std::string n = info.param.hook;
                             for (auto& ch : n)
                                 if (ch == ':') ch = '_';
                             return n;
                         });

INSTANTIATE_TEST_SUITE_P(Stages, MergeCrashTest,
                         ::testing::Values(CrashCase{"snapshot:3", false}, CrashCase{"apply:1", true},
                                           CrashCase{"apply:7", true}, CrashCase{"synced", true},
                                           CrashCase{"versioned", true}),
                         [](const auto& info) {
                             std::string n = info.param.hook;
                             for (auto& ch : n)
                                 if (ch == ':') ch = '_';
                             return n;
                         });

}  // namespace
