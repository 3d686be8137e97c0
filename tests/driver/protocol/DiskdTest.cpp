// The protocol code against the real disk server, zelko-diskd, on loopback.
#include "ProtocolTestSupport.h"

#include "DiskdProcess.h"

namespace {

const char* const kDiskd = diskdproc::kBuiltDiskd;

const char kIqn[] = "iqn.2024-01.net.zelko:image.1";
const char kToken[] = "test-super-token-1";

// zelko-diskd on an ephemeral port with one image and a super-user token for it.
std::unique_ptr<diskdproc::DiskdProcess> StartDiskd(const std::vector<uint8_t>& image) {
    diskdproc::Options o;
    o.iqn = kIqn;
    o.token = kToken;
    return std::make_unique<diskdproc::DiskdProcess>(o, image);
}

class DiskdTest : public ProtocolTest {
protected:
    void SetUp() override {
        if (kDiskd == nullptr) GTEST_SKIP() << "zelko-diskd is not part of this build";
        ProtocolTest::SetUp();
        image.resize(4 << 20);
        for (size_t i = 0; i < image.size(); i++) image[i] = (uint8_t)((i * 131) ^ (i >> 12));
        // A run of zeros and a repeating pattern give the server something to compress.
        memset(image.data() + (1 << 20), 0, 256 << 10);
        for (size_t i = 0; i < 256 << 10; i++) image[(2 << 20) + i] = "ZELKO"[i % 5];
        server = StartDiskd(image);
        ASSERT_NE(server->port(), 0) << "zelko-diskd did not start";
    }
    std::vector<uint8_t> image;
    std::unique_ptr<diskdproc::DiskdProcess> server;
};

TEST_F(DiskdTest, HandshakeReadsWritesAndBatches) {
    PPROTOCOL_SESSION s = NewSession(server->port(), kIqn, "pc-17");
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
    EXPECT_EQ(s->targetSize, image.size());
    EXPECT_NE(s->imageVersion, 0u);

    std::vector<uint8_t> buf(64 << 10);
    // The zero run comes back compressed: far fewer bytes on the wire than asked for.
    LONG64 received = s->stats.bytesReceived;
    ASSERT_EQ(ProtocolClient_Read(s, 1ull << 20, (ULONG)buf.size(), buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0));
    EXPECT_LT(s->stats.bytesReceived - received, (LONG64)buf.size() / 2);
    for (ULONGLONG off : {0ull, 1ull << 20, 2ull << 20, 4096ull * 333}) {
        ULONGLONG got = 0;
        ASSERT_EQ(ProtocolClient_Read(s, off, (ULONG)buf.size(), buf.data(), &got), STATUS_SUCCESS) << off;
        EXPECT_EQ(got, buf.size());
        EXPECT_EQ(memcmp(buf.data(), image.data() + off, buf.size()), 0) << off;
    }

    std::vector<uint8_t> w(8192);
    for (size_t i = 0; i < w.size(); i++) w[i] = (uint8_t)(255 - i % 251);
    ULONGLONG written = 0;
    ASSERT_EQ(ProtocolClient_Write(s, 12288, (ULONG)w.size(), w.data(), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, w.size());
    ASSERT_EQ(ProtocolClient_Read(s, 12288, (ULONG)w.size(), buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), w.data(), w.size()), 0);

    wire::BatchSegment segs[3] = {{0, 4096}, {12288, 8192}, {2u << 20, 512}};
    std::vector<uint8_t> bb(4096 + 8192 + 512);
    ASSERT_EQ(ProtocolClient_BatchRead(s, segs, 3, bb.data()), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(bb.data(), image.data(), 4096), 0);
    EXPECT_EQ(memcmp(bb.data() + 4096, w.data(), 8192), 0);
    EXPECT_EQ(memcmp(bb.data() + 12288, image.data() + (2 << 20), 512), 0);

    std::vector<uint8_t> bw(1024, 0x3C);
    wire::BatchSegment ws[2] = {{40960, 512}, {81920, 512}};
    ASSERT_EQ(ProtocolClient_BatchWrite(s, ws, 2, bw.data(), 1024), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Read(s, 81920, 512, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), bw.data(), 512), 0);

    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_SUCCESS);
    uint8_t mig[48];
    EXPECT_EQ(ProtocolClient_MigrationStatus(s, "pc-17", mig), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_TransportNegotiate(s, 3), STATUS_SUCCESS);
    EXPECT_TRUE(s->serverMask & wire::TransportTcp);
    // Out of range: a server error, mapped, not a reason to reconnect.
    EXPECT_EQ(ProtocolClient_Read(s, image.size(), 4096, buf.data(), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(s->stats.reconnects, 0);
    EXPECT_EQ(s->stats.abandonedPackets, 0);
}

TEST_F(DiskdTest, SuperUserWriteAndExitSuperUserCommit) {
    PPROTOCOL_SESSION su = NewSession(server->port(), kIqn, "pc-admin");
    su->superUser = TRUE;
    SetWide(su->superUserToken, PROTO_TOKEN_UNITS, kToken);
    ASSERT_EQ(WskClient_Connect(su), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(su), STATUS_SUCCESS);
    ASSERT_TRUE(su->superUser) << "the server granted super-user mode";
    ULONG before = su->imageVersion;

    std::vector<uint8_t> w(4096, 0xA5);
    ASSERT_EQ(ProtocolClient_Write(su, 3u << 20, 4096, w.data(), nullptr), STATUS_SUCCESS);
    ULONGLONG blocks = 0, bytes = 0;
    ASSERT_EQ(ProtocolClient_ExitSuperUser(su, TRUE, &blocks, &bytes), STATUS_SUCCESS);
    EXPECT_GT(blocks, 0u);
    EXPECT_GE(bytes, 4096u);
    EXPECT_FALSE(su->superUser);

    // Another client sees the merged content and a new image version.
    PPROTOCOL_SESSION other = NewSession(server->port(), kIqn, "pc-02");
    ASSERT_EQ(WskClient_Connect(other), STATUS_SUCCESS);
    ASSERT_EQ(ProtocolClient_Handshake(other), STATUS_SUCCESS);
    EXPECT_NE(other->imageVersion, before);
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(ProtocolClient_Read(other, 3u << 20, 4096, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(buf, w);

    // A wrong token is a rejection.
    PPROTOCOL_SESSION bad = NewSession(server->port(), kIqn, "pc-03");
    bad->superUser = TRUE;
    SetWide(bad->superUserToken, PROTO_TOKEN_UNITS, "not-the-token");
    ASSERT_EQ(WskClient_Connect(bad), STATUS_SUCCESS);
    EXPECT_EQ(ProtocolClient_Handshake(bad), STATUS_ACCESS_DENIED);
}

}  // namespace
