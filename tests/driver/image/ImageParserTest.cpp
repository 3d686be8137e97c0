// The container readers on byte images: images made by qemu-img and qemu-io, then read, broken
// and written in memory through the image layer's callbacks (no file, no LUN).
#include <hostkernel_test.h>

#include <random>
#include <set>
#include <thread>

#include "ImageTestSupport.h"

using namespace imagetest;

namespace {

struct Fixture {
    std::vector<uint8_t> vhd, vhdx, vmdk, qcow2;
};

Fixture& Images() {
    static Fixture f;
    return f;
}

class ParserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveQemu()) return;
        TempDir d;
        struct {
            const char* name;
            const char* create;
            std::vector<uint8_t>* into;
        } list[] = {
            {"a.vhd", "-f vpc -o subformat=dynamic,force_size=on", &Images().vhd},
            {"a.vhdx", "-f vhdx -o block_size=1M", &Images().vhdx},
            {"a.vmdk", "-f vmdk", &Images().vmdk},
            {"a.qcow2", "-f qcow2 -o compat=1.1,cluster_size=4096", &Images().qcow2},
        };
        for (auto& i : list) {
            std::string path = d / i.name;
            Sh("qemu-img create -q " + std::string(i.create) + " '" + path + "' 4M");
            Sh("qemu-io -c 'write -P 0x5a 1M 64k' '" + path + "'");
            *i.into = ReadAll(path);
        }
    }
    void SetUp() override {
        if (!HaveQemu()) GTEST_SKIP() << "qemu-img / qemu-io not installed";
        mark_ = hk::test::PoolMark();
    }
    void TearDown() override { EXPECT_EQ(hk::test::PoolLeaksSince(mark_), ""); }

    // Opens `bytes` with `hint`; the image stays open until Close.
    NTSTATUS Open(const std::vector<uint8_t>& bytes, ULONG hint = ZV_IMAGE_DETECT) {
        file_.bytes = bytes;
        ZV_IMAGE_IO io = file_.Io();
        NTSTATUS st = ImageOpen(&img_, &io, nullptr, bytes.size(), hint);
        open_ = NT_SUCCESS(st);
        return st;
    }
    void Close() {
        if (open_) ImageClose(&img_);
        open_ = false;
    }

    uint64_t mark_ = 0;
    MemFile file_;
    ZV_IMAGE img_;
    bool open_ = false;
};

TEST_F(ParserTest, RecognisesEachContainerItsSizeAndItsBlocks) {
    struct {
        std::vector<uint8_t>* bytes;
        ULONG format;
    } cases[] = {{&Images().vhd, ZV_IMAGE_VHD},
                 {&Images().vhdx, ZV_IMAGE_VHDX},
                 {&Images().vmdk, ZV_IMAGE_VMDK},
                 {&Images().qcow2, ZV_IMAGE_QCOW2}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.format);
        ASSERT_EQ(Open(*c.bytes), STATUS_SUCCESS);
        EXPECT_EQ(img_.format, c.format);
        EXPECT_EQ(img_.virtualSize, 4u << 20);
        EXPECT_FALSE(img_.writeRefused);
        ULONGLONG off = 0;
        BOOLEAN allocated = TRUE;
        // Never written: not allocated.
        ASSERT_EQ(TranslateLba(&img_, (7u << 19) / 512, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_FALSE(allocated);
        // Written by qemu-io: the file holds the pattern at the translated offset.
        ASSERT_EQ(TranslateLba(&img_, (1 << 20) / 512 + 3, 1, &off, &allocated), STATUS_SUCCESS);
        ASSERT_TRUE(allocated);
        ASSERT_LE(off + 512, c.bytes->size());
        EXPECT_EQ((*c.bytes)[off], 0x5a);
        EXPECT_EQ((*c.bytes)[off + 511], 0x5a);
        // Past the disk's tables.
        EXPECT_FALSE(NT_SUCCESS(TranslateLba(&img_, 1ull << 40, 1, &off, &allocated)));
        Close();
    }
}

TEST_F(ParserTest, FilesWithoutAMagicAndUnknownCodesAreRaw) {
    std::vector<uint8_t> junk(3000);
    for (size_t i = 0; i < junk.size(); i++) junk[i] = (uint8_t)(i * 7 + 1);
    ASSERT_EQ(Open(junk), STATUS_SUCCESS);
    EXPECT_EQ(img_.format, ZV_IMAGE_RAW);
    EXPECT_EQ(img_.virtualSize, 3000u);
    EXPECT_TRUE(ImageIsFlat(&img_));
    Close();
    // A container asked to open as raw is raw; an unknown code is raw too.
    ASSERT_EQ(Open(Images().qcow2, ZV_IMAGE_RAW_ALT), STATUS_SUCCESS);
    EXPECT_EQ(img_.virtualSize, Images().qcow2.size());
    Close();
    ASSERT_EQ(Open(Images().vhdx, 7), STATUS_SUCCESS);
    EXPECT_EQ(img_.format, ZV_IMAGE_RAW);
    Close();
    // A format asked for by code must be there.
    EXPECT_EQ(Open(junk, ZV_IMAGE_QCOW2), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(Open(junk, ZV_IMAGE_VHD), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(Open(std::vector<uint8_t>(100), ZV_IMAGE_VHD), STATUS_END_OF_FILE);
}

TEST_F(ParserTest, DifferencingAndCompressedContainersAreNotServedAsContainers) {
    std::vector<uint8_t> diff = Images().vhd;
    PutBe32(diff, diff.size() - 512 + 60, 4);
    EXPECT_EQ(Open(diff), STATUS_NOT_SUPPORTED);
    std::vector<uint8_t> backing = Images().qcow2;
    PutBe64(backing, 8, 0x200);
    PutBe32(backing, 16, 4);
    EXPECT_EQ(Open(backing), STATUS_NOT_SUPPORTED);
    std::vector<uint8_t> stream = Images().vmdk;
    PutLe32(stream, 8, 0x30001);
    EXPECT_EQ(Open(stream), STATUS_NOT_SUPPORTED);
}

// A header copy whose checksum is made right again after a change.
static void FixVhdxRegionCrc(std::vector<uint8_t>& b, size_t at) {
    PutLe32(b, at + 4, 0);
    PutLe32(b, at + 4, ImageCrc32c(b.data() + at, 0x10000));
}

TEST_F(ParserTest, HostileHeadersAreRefused) {
    struct Mutation {
        const char* what;
        std::vector<uint8_t>* base;
        void (*apply)(std::vector<uint8_t>&);
    };
    const Mutation cases[] = {
        {"vhd table entries overflow", &Images().vhd, [](std::vector<uint8_t>& b) { PutBe32(b, 512 + 28, 0xFFFFFFFF); }},
        {"vhd table past the file", &Images().vhd, [](std::vector<uint8_t>& b) { PutBe64(b, 512 + 16, 1ull << 62); }},
        {"vhd block size 3", &Images().vhd, [](std::vector<uint8_t>& b) { PutBe32(b, 512 + 32, 3); }},
        {"vhd block size 2 GiB", &Images().vhd, [](std::vector<uint8_t>& b) { PutBe32(b, 512 + 32, 0x80000000u); }},
        {"vhd header past the file", &Images().vhd,
         [](std::vector<uint8_t>& b) { PutBe64(b, b.size() - 512 + 16, 1ull << 60); }},
        {"vhdx both region tables broken", &Images().vhdx,
         [](std::vector<uint8_t>& b) { b[0x30000] = b[0x40000] = 'x'; }},
        {"vhdx both headers broken", &Images().vhdx, [](std::vector<uint8_t>& b) { b[0x10010] ^= 1, b[0x20010] ^= 1; }},
        {"vhdx BAT shorter than the disk", &Images().vhdx,
         [](std::vector<uint8_t>& b) {
             for (size_t t : {0x30000u, 0x40000u}) {
                 for (int i = 0; i < 2; i++)
                     if (b[t + 16 + i * 32] == 0x66) PutLe32(b, t + 16 + i * 32 + 24, 8);
                 FixVhdxRegionCrc(b, t);
             }
         }},
        {"vhdx BAT past the file", &Images().vhdx,
         [](std::vector<uint8_t>& b) {
             for (size_t t : {0x30000u, 0x40000u}) {
                 for (int i = 0; i < 2; i++)
                     if (b[t + 16 + i * 32] == 0x66) PutLe64(b, t + 16 + i * 32 + 16, 1ull << 44);
                 FixVhdxRegionCrc(b, t);
             }
         }},
        {"vmdk capacity overflow", &Images().vmdk, [](std::vector<uint8_t>& b) { PutLe64(b, 12, 1ull << 60); }},
        {"vmdk directory past the file", &Images().vmdk, [](std::vector<uint8_t>& b) { PutLe64(b, 56, 1ull << 40); }},
        {"vmdk grain size 3", &Images().vmdk, [](std::vector<uint8_t>& b) { PutLe64(b, 20, 3); }},
        {"vmdk no grain-table entries", &Images().vmdk, [](std::vector<uint8_t>& b) { PutLe32(b, 44, 0); }},
        {"qcow2 L1 size overflow", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe32(b, 36, 0xFFFFFFFF); }},
        {"qcow2 L1 past the file", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe64(b, 40, 1ull << 50); }},
        {"qcow2 cluster bits 31", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe32(b, 20, 31); }},
        {"qcow2 cluster bits 8", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe32(b, 20, 8); }},
        {"qcow2 refcount table overflow", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe32(b, 56, 0x7FFFFFFF); }},
        {"qcow2 version 4", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe32(b, 4, 4); }},
        {"qcow2 extended L2 entries", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe64(b, 72, 16); }},
        {"qcow2 encrypted", &Images().qcow2, [](std::vector<uint8_t>& b) { PutBe32(b, 32, 1); }},
    };
    for (const auto& m : cases) {
        SCOPED_TRACE(m.what);
        std::vector<uint8_t> b = *m.base;
        m.apply(b);
        EXPECT_FALSE(NT_SUCCESS(Open(b)));
        Close();
        EXPECT_EQ(hk::test::PoolLeaksSince(mark_), "");
    }
    // Counts waiting for a repair: read, never written.
    std::vector<uint8_t> dirty = Images().qcow2;
    PutBe64(dirty, 72, 1);
    ASSERT_EQ(Open(dirty), STATUS_SUCCESS);
    EXPECT_TRUE(img_.writeRefused);
    EXPECT_EQ(ImageBeginWrite(&img_), STATUS_MEDIA_WRITE_PROTECTED);
    ULONGLONG off;
    EXPECT_EQ(AllocateBlock(&img_, 0, 1, &off), STATUS_MEDIA_WRITE_PROTECTED);
    Close();
}

// Opens what is left and, when that works, walks the disk: no crash, no leak, whatever the bytes.
static void Exercise(ParserTest* t, ZV_IMAGE* img, MemFile* file, bool open, bool write) {
    if (!open) return;
    ULONGLONG off = 0;
    BOOLEAN allocated = FALSE;
    ULONGLONG sectors = img->virtualSize / 512;
    for (ULONGLONG s = 0; s < sectors && s < (64u << 20) / 512; s += 509) (void)TranslateLba(img, s, 1, &off, &allocated);
    // Allocation zero-fills whole blocks; keep the in-memory file small.
    if (write && ImageBlockSectors(img) <= 8192 && NT_SUCCESS(ImageBeginWrite(img)))
        for (ULONGLONG s = 0; s < 4 && s < sectors; s++) (void)AllocateBlock(img, s * 977, 1, &off);
    (void)t;
    (void)file;
}

TEST_F(ParserTest, TruncatedContainersAreRefusedOrReadSafely) {
    for (auto* base : {&Images().vhd, &Images().vhdx, &Images().vmdk, &Images().qcow2}) {
        for (size_t len : {0ul, 7ul, 100ul, 511ul, 512ul, 4096ul, 0x10000ul + 100, 0x30000ul + 10, 0x100000ul,
                           base->size() / 2, base->size() - 1}) {
            if (len > base->size()) continue;
            SCOPED_TRACE(len);
            std::vector<uint8_t> b(base->begin(), base->begin() + (long)len);
            NTSTATUS st = Open(b);
            Exercise(this, &img_, &file_, NT_SUCCESS(st), false);
            Close();
        }
    }
}

TEST_F(ParserTest, CorruptedHeadersAndTablesNeverCrash) {
    std::mt19937 rng(1234);
    for (auto* base : {&Images().vhd, &Images().vhdx, &Images().vmdk, &Images().qcow2}) {
        for (int round = 0; round < 60; round++) {
            std::vector<uint8_t> b = *base;
            // Header-sized areas and the first tables are where the readers look.
            size_t span = std::min<size_t>(b.size(), round % 2 ? 4096 : 0x50000);
            for (int k = 0; k < 8; k++) {
                size_t at = rng() % span;
                b[at] = (uint8_t)rng();
            }
            if (base == &Images().vhd)
                for (int k = 0; k < 4; k++) b[b.size() - 512 + rng() % 512] = (uint8_t)rng();
            NTSTATUS st = Open(b);
            Exercise(this, &img_, &file_, NT_SUCCESS(st), true);
            Close();
        }
    }
}

// Several writers meet one unallocated block: the first allocates it, the others find it
// allocated when they get the lock, and all of them land in the same block.
TEST_F(ParserTest, ConcurrentWritersAllocateABlockOnce) {
    for (auto* base : {&Images().vhd, &Images().vhdx, &Images().vmdk, &Images().qcow2}) {
        ASSERT_EQ(Open(*base), STATUS_SUCCESS);
        ULONG spb = ImageBlockSectors(&img_);
        ASSERT_GE(spb, 8u);
        ULONGLONG first = ((3u << 20) / 512 / spb) * spb;   // the block that holds 3 MiB: unwritten
        std::vector<ULONGLONG> got(8);
        std::vector<NTSTATUS> status(8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; i++)
            threads.emplace_back([&, i] {
                ULONGLONG sector = first + (ULONGLONG)i * (spb / 8);
                status[i] = AllocateBlock(&img_, sector, 1, &got[i]);
                got[i] -= (ULONGLONG)i * (spb / 8) * 512;   // back to the block's start
            });
        for (auto& t : threads) t.join();
        for (int i = 0; i < 8; i++) {
            EXPECT_EQ(status[i], STATUS_SUCCESS);
            EXPECT_EQ(got[i], got[0]);
        }
        Close();
    }
}

TEST_F(ParserTest, VhdBlocksGoWhereTheFooterStoodAndTheFooterMovesBehind) {
    const std::vector<uint8_t>& base = Images().vhd;
    ASSERT_EQ(Open(base), STATUS_SUCCESS);
    ULONGLONG off = 0;
    const ULONGLONG sector = (3u << 20) / 512;   // block 1, never written
    ASSERT_EQ(AllocateBlock(&img_, sector, 1, &off), STATUS_SUCCESS);
    const std::vector<uint8_t>& f = file_.bytes;
    // Bitmap (one sector for 2 MiB blocks: 4096 bits) plus the block, then the footer.
    EXPECT_EQ(f.size(), base.size() + 512 + (2u << 20));
    EXPECT_EQ(off, base.size() - 512 + 512 + (sector % 4096) * 512);
    EXPECT_TRUE(std::equal(f.end() - 512, f.end(), base.end() - 512));
    EXPECT_EQ(f[base.size() - 512], 0xFF);   // every sector of the new block marked present
    EXPECT_EQ(f[off], 0);
    EXPECT_EQ(f[base.size() + 512], 0);
    std::vector<uint8_t> after = f;
    Close();
    // The next open still finds a VHD, with the block in its table.
    ASSERT_EQ(Open(after), STATUS_SUCCESS);
    EXPECT_EQ(img_.format, ZV_IMAGE_VHD);
    ULONGLONG again = 0;
    BOOLEAN allocated = FALSE;
    ASSERT_EQ(TranslateLba(&img_, sector, 1, &again, &allocated), STATUS_SUCCESS);
    EXPECT_TRUE(allocated);
    EXPECT_EQ(again, off);
    Close();
}

TEST_F(ParserTest, VmdkNewGrainTablesKeepTheRedundantDirectoryInStep) {
    std::vector<uint8_t> b = Images().vmdk;
    uint64_t rgd = 0, gd = 0;
    for (int i = 0; i < 8; i++) rgd |= (uint64_t)b[48 + i] << (8 * i), gd |= (uint64_t)b[56 + i] << (8 * i);
    ASSERT_NE(rgd, 0u);
    // qemu preallocates every grain table; take the first one away in both directories.
    PutLe32(b, gd * 512, 0);
    PutLe32(b, rgd * 512, 0);
    ASSERT_EQ(Open(b), STATUS_SUCCESS);
    ULONGLONG off = 0;
    ASSERT_EQ(AllocateBlock(&img_, 5, 1, &off), STATUS_SUCCESS);
    const std::vector<uint8_t>& f = file_.bytes;
    auto le32 = [&](uint64_t at) { return (uint32_t)f[at] | f[at + 1] << 8 | f[at + 2] << 16 | (uint32_t)f[at + 3] << 24; };
    uint32_t gt = le32(gd * 512), rgt = le32(rgd * 512);
    ASSERT_NE(gt, 0u);
    ASSERT_NE(rgt, 0u);
    EXPECT_NE(gt, rgt);
    EXPECT_EQ(off, b.size() + 5 * 512);   // the grain first, at the old end
    EXPECT_EQ(le32((uint64_t)gt * 512), b.size() / 512);
    EXPECT_EQ(le32((uint64_t)rgt * 512), b.size() / 512);
    std::vector<uint8_t> after = f;
    Close();
    ASSERT_EQ(Open(after), STATUS_SUCCESS);
    ULONGLONG again = 0;
    BOOLEAN allocated = FALSE;
    ASSERT_EQ(TranslateLba(&img_, 5, 1, &again, &allocated), STATUS_SUCCESS);
    EXPECT_TRUE(allocated);
    EXPECT_EQ(again, off);
    Close();
}

TEST_F(ParserTest, VhdxFirstWriteRenewsBothHeadersAndAPendingLogKeepsTheFileReadOnly) {
    ASSERT_EQ(Open(Images().vhdx), STATUS_SUCCESS);
    std::vector<uint8_t> before = file_.bytes;
    ASSERT_EQ(ImageBeginWrite(&img_), STATUS_SUCCESS);
    ASSERT_EQ(ImageBeginWrite(&img_), STATUS_SUCCESS);   // once per open
    const std::vector<uint8_t>& f = file_.bytes;
    uint64_t seqs[2];
    for (int i = 0; i < 2; i++) {
        size_t at = 0x10000u * (i + 1);
        std::vector<uint8_t> h(f.begin() + (long)at, f.begin() + (long)at + 4096);
        uint32_t stored = h[4] | h[5] << 8 | h[6] << 16 | (uint32_t)h[7] << 24;
        h[4] = h[5] = h[6] = h[7] = 0;
        EXPECT_EQ(ImageCrc32c(h.data(), 4096), stored);
        seqs[i] = 0;
        for (int k = 0; k < 8; k++) seqs[i] |= (uint64_t)h[8 + k] << (8 * k);
        EXPECT_FALSE(std::equal(h.begin() + 16, h.begin() + 48, before.begin() + (long)at + 16));   // new GUIDs
        EXPECT_TRUE(std::all_of(h.begin() + 48, h.begin() + 64, [](uint8_t c) { return c == 0; }));
    }
    EXPECT_EQ(std::max(seqs[0], seqs[1]) - std::min(seqs[0], seqs[1]), 1u);
    std::vector<uint8_t> logged = f;
    Close();

    // A log GUID in the current header: there may be entries to replay; only reading is safe.
    size_t cur = seqs[0] > seqs[1] ? 0x10000 : 0x20000;
    logged[cur + 48] = 0x42;
    PutLe32(logged, cur + 4, 0);
    PutLe32(logged, cur + 4, ImageCrc32c(logged.data() + cur, 4096));
    ASSERT_EQ(Open(logged), STATUS_SUCCESS);
    EXPECT_TRUE(img_.writeRefused);
    EXPECT_EQ(ImageBeginWrite(&img_), STATUS_MEDIA_WRITE_PROTECTED);
    Close();
}

TEST_F(ParserTest, ZeroFillRefusesAnEmptyRange) {
    MemFile m;
    ZV_IMAGE_IO io = m.Io();
    EXPECT_EQ(ImageZeroFill(&io, 0, 0), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(ImageZeroFill(&io, 1000, 0x10000 * 2 + 3), STATUS_SUCCESS);
    EXPECT_EQ(m.bytes.size(), 1000u + 0x20003u);
    EXPECT_EQ(m.writes, 3);
}

}  // namespace

namespace {

TEST_F(ParserTest, NeverWrittenVhdBlocksTranslateWithoutTouchingTheFile) {
    ASSERT_EQ(Open(Images().vhd), STATUS_SUCCESS);
    int reads = file_.reads, writes = file_.writes;
    ULONGLONG off = 0;
    BOOLEAN allocated = TRUE;
    ASSERT_EQ(TranslateLba(&img_, (3u << 20) / 512, 8, &off, &allocated), STATUS_SUCCESS);
    EXPECT_FALSE(allocated);
    EXPECT_EQ(file_.reads, reads);
    EXPECT_EQ(file_.writes, writes);
    Close();
}

// 512-byte clusters: a fully written 16 MiB disk outgrows the refcount table qemu made for the
// empty image. The table moves, every new cluster is counted, and qemu finds nothing to repair.
TEST_F(ParserTest, Qcow2RefcountTableGrowsAndStaysConsistent) {
    TempDir d;
    std::string path = d / "small.qcow2";
    ASSERT_EQ(Sh("qemu-img create -q -f qcow2 -o compat=1.1,cluster_size=512 '" + path + "' 16M").code, 0);
    std::vector<uint8_t> base = ReadAll(path);
    ASSERT_EQ(Open(base), STATUS_SUCCESS);
    ULONGLONG tableBefore = img_.u.qcow2.refTableOffset;
    ASSERT_EQ(ImageBeginWrite(&img_), STATUS_SUCCESS);
    for (ULONGLONG s = 0; s < (16u << 20) / 512; s++) {
        ULONGLONG off = 0;
        ASSERT_EQ(AllocateBlock(&img_, s, 1, &off), STATUS_SUCCESS) << s;
        uint8_t mark[8];
        memcpy(mark, &s, 8);
        ULONG done = 0;
        ASSERT_EQ(MemFile::Write(&file_, off, 8, mark, &done), STATUS_SUCCESS);
    }
    EXPECT_NE(img_.u.qcow2.refTableOffset, tableBefore);
    EXPECT_GT(img_.u.qcow2.refTableClusters, 1u);
    std::vector<uint8_t> after = file_.bytes;
    Close();
    WriteAll(path, after);
    Shell c = Sh("qemu-img check '" + path + "'");
    EXPECT_EQ(c.code, 0) << c.out;
    EXPECT_NE(c.out.find("No errors were found"), std::string::npos) << c.out;
    EXPECT_EQ(c.out.find("leaked"), std::string::npos) << c.out;
    // qemu reads each sector's own number where it was written.
    Shell r = Sh("qemu-io -c 'read -v 8M 8' '" + path + "'");
    EXPECT_NE(r.out.find("00800000:  00 40 00 00 00 00 00 00"), std::string::npos) << r.out;
}

}  // namespace

namespace {

uint64_t Be64At(const std::vector<uint8_t>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | b[at + i];
    return v;
}
uint64_t Le64At(const std::vector<uint8_t>& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = v << 8 | b[at + i];
    return v;
}

// Damaged or hostile tables may place a block terabytes past the end of the file. Reading it
// gives zeros; writing it would make the driver grow the file to that size (on NTFS: zeroing
// every byte up to it, with the LUN's worker waiting). Such blocks are refused for writing, and
// an allocation never follows a table entry out of the file.
TEST_F(ParserTest, TablesPointingPastTheFileNeverGrowItOnWrite) {
    const uint64_t far = 1ull << 40;
    // VHD: block 1's table entry (qemu wrote block 0 only).
    {
        std::vector<uint8_t> b = Images().vhd;
        uint64_t bat = Be64At(b, 512 + 16);
        PutBe32(b, bat + 4, (uint32_t)(far / 512 / 4));
        ASSERT_EQ(Open(b), STATUS_SUCCESS);
        ULONGLONG off = 0;
        BOOLEAN allocated = FALSE;
        ASSERT_EQ(TranslateLba(&img_, 4096 + 3, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_TRUE(allocated);
        EXPECT_EQ(ImageCheckWrite(&img_, 4096 + 3, off), STATUS_FILE_CORRUPT_ERROR);
        ASSERT_EQ(TranslateLba(&img_, (1u << 20) / 512, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_EQ(ImageCheckWrite(&img_, (1u << 20) / 512, off), STATUS_SUCCESS);   // qemu's block
        Close();
    }
    // VHDX: block 1 fully present at 1 TiB.
    {
        std::vector<uint8_t> b = Images().vhdx;
        uint64_t bat = 0;
        for (int i = 0; i < 2; i++)
            if (b[0x30000 + 16 + i * 32] == 0x66) bat = Le64At(b, 0x30000 + 16 + i * 32 + 16);
        ASSERT_NE(bat, 0u);
        PutLe64(b, bat + 8, far | 6);
        ASSERT_EQ(Open(b), STATUS_SUCCESS);
        ULONGLONG off = 0;
        BOOLEAN allocated = FALSE;
        const ULONGLONG sector = (1u << 20) / 512 * 2 - 1;   // block 1 (1 MiB blocks), its last sector
        ASSERT_EQ(TranslateLba(&img_, sector, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_TRUE(allocated);
        EXPECT_EQ(ImageCheckWrite(&img_, sector, off), STATUS_FILE_CORRUPT_ERROR);
        Close();
        // Block 2 in the zero state, its kept space 1 MiB short of 2^64, where offset plus length
        // wraps to 0 and so passes for "inside the file": the block goes to the end of the file.
        PutLe64(b, bat + 8, 2);
        PutLe64(b, bat + 16, (0ull - (512u << 10)) | 2);
        ASSERT_EQ(Open(b), STATUS_SUCCESS);
        ASSERT_EQ(ImageBeginWrite(&img_), STATUS_SUCCESS);
        std::vector<uint8_t> before = file_.bytes;
        ASSERT_EQ(AllocateBlock(&img_, 2 * 2048 + 1, 1, &off), STATUS_SUCCESS);
        EXPECT_GE(off, before.size());
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x10000, file_.bytes.begin()));
        EXPECT_TRUE(std::equal(before.begin() + 0x30000, before.begin() + 0x50000, file_.bytes.begin() + 0x30000));
        Close();
        // A fully present block that would end past 2^64: the file is refused.
        PutLe64(b, bat + 16, (0ull - (512u << 10)) | 6);
        EXPECT_EQ(Open(b), STATUS_FILE_CORRUPT_ERROR);
        Close();
    }
    // VMDK: a grain past the end, and a redundant grain table past the end.
    {
        std::vector<uint8_t> b = Images().vmdk;
        uint64_t rgd = Le64At(b, 48), gd = Le64At(b, 56);
        uint32_t gt = b[gd * 512] | b[gd * 512 + 1] << 8 | b[gd * 512 + 2] << 16 | (uint32_t)b[gd * 512 + 3] << 24;
        PutLe32(b, (uint64_t)gt * 512 + 4 * 3, (uint32_t)(far / 512));   // grain 3
        PutLe32(b, rgd * 512, 0xFFFFFF00u);                              // redundant table 0
        ASSERT_EQ(Open(b), STATUS_SUCCESS);
        ULONGLONG off = 0;
        BOOLEAN allocated = FALSE;
        ASSERT_EQ(TranslateLba(&img_, 3 * 128 + 5, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_TRUE(allocated);
        EXPECT_EQ(ImageCheckWrite(&img_, 3 * 128 + 5, off), STATUS_FILE_CORRUPT_ERROR);
        size_t size = file_.Size();
        EXPECT_EQ(AllocateBlock(&img_, 20 * 128, 1, &off), STATUS_FILE_CORRUPT_ERROR);
        EXPECT_EQ(file_.Size(), size);
        Close();
    }
    // QCOW2: a data cluster and a zero cluster that keeps its space, both past the end.
    {
        std::vector<uint8_t> b = Images().qcow2;
        uint64_t l2 = Be64At(b, Be64At(b, 40)) & 0x00FFFFFFFFFFFE00ull;
        ASSERT_NE(l2, 0u);
        PutBe64(b, l2 + 8 * 10, far | (1ull << 63));
        PutBe64(b, l2 + 8 * 11, far | (1ull << 63) | 1);
        ASSERT_EQ(Open(b), STATUS_SUCCESS);
        ULONGLONG off = 0;
        BOOLEAN allocated = FALSE;
        ASSERT_EQ(TranslateLba(&img_, 10 * 8, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_TRUE(allocated);
        EXPECT_EQ(ImageCheckWrite(&img_, 10 * 8, off), STATUS_FILE_CORRUPT_ERROR);
        ASSERT_EQ(TranslateLba(&img_, 11 * 8, 1, &off, &allocated), STATUS_SUCCESS);
        EXPECT_FALSE(allocated);
        size_t size = file_.Size();
        EXPECT_EQ(AllocateBlock(&img_, 11 * 8, 1, &off), STATUS_FILE_CORRUPT_ERROR);
        EXPECT_EQ(file_.Size(), size);
        Close();
    }
}

// Refcount blocks that count every cluster past the end of the file leave the allocator no free
// cluster anywhere near it: it gives up within a bounded search instead of walking millions of
// clusters with the image lock held and then growing the file to wherever the first gap is.
TEST_F(ParserTest, Qcow2AllocationGivesUpWhenEverythingPastTheFileIsCounted) {
    std::vector<uint8_t> b = Images().qcow2;   // 4 KiB clusters, 16-bit counts: 2048 per block
    const uint64_t cluster = 4096;
    uint64_t full = b.size();
    b.resize(full + cluster, 0xFF);
    // A refcount table of 16 clusters (8192 blocks, 16 M clusters), every entry the full block.
    uint64_t table = b.size();
    b.resize(table + 16 * cluster);
    for (uint64_t i = 0; i < 16 * cluster / 8; i++) PutBe64(b, table + i * 8, full);
    PutBe64(b, 48, table);
    PutBe32(b, 56, 16);
    ASSERT_EQ(Open(b), STATUS_SUCCESS);
    ASSERT_EQ(ImageBeginWrite(&img_), STATUS_SUCCESS);
    size_t size = file_.Size();
    int reads = file_.reads;
    ULONGLONG off = 0;
    EXPECT_EQ(AllocateBlock(&img_, 3 * 8, 1, &off), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(AllocateBlock(&img_, 4 * 8, 1, &off), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(file_.Size(), size);
    EXPECT_LT(file_.reads - reads, 1000);
    Close();
}

}  // namespace

namespace {

// A fixed VHD's footer that claims a larger disk than the file holds: the disk is what lies in
// front of the footer, so no guest write reaches the footer or grows the file past it.
TEST_F(ParserTest, FixedVhdIsNoLargerThanTheDataInFrontOfItsFooter) {
    TempDir d;
    std::string path = d / "fixed.vhd";
    ASSERT_EQ(Sh("qemu-img create -q -f vpc -o subformat=fixed,force_size=on '" + path + "' 1M").code, 0);
    std::vector<uint8_t> b = ReadAll(path);
    ASSERT_EQ(Open(b), STATUS_SUCCESS);
    EXPECT_EQ(img_.virtualSize, b.size() - 512);
    Close();
    PutBe64(b, b.size() - 512 + 48, 1ull << 50);   // current size: 1 PiB
    ASSERT_EQ(Open(b), STATUS_SUCCESS);
    EXPECT_TRUE(ImageIsFlat(&img_));
    EXPECT_EQ(img_.virtualSize, b.size() - 512);
    Close();
    // A claim of nothing: the file LUN would otherwise serve the whole file, footer included.
    PutBe64(b, b.size() - 512 + 48, 0);
    ASSERT_EQ(Open(b), STATUS_SUCCESS);
    EXPECT_EQ(img_.virtualSize, b.size() - 512);
    Close();
}

}  // namespace
