// Image-file LUNs end to end: images made and filled by qemu-img / qemu-io, served by the real
// driver in the host kernel, read and written with SCSI READ(16)/WRITE(16), then judged by
// qemu-img check (no errors, no leaks) and qemu-img compare against a raw file that received
// the same writes.
#include "../adapter/AdapterTestSupport.h"

#include <fcntl.h>

#include <random>

#include "ImageTestSupport.h"
#include "adapter/image/FileLun.h"

using namespace adaptertest;
using namespace imagetest;

namespace {

constexpr uint64_t kDisk = 8u << 20;

struct Variant {
    const char* name;
    const char* format;    // qemu's name
    const char* options;   // -o ...
    bool keepsSize = false;  // every block has its space from the start: the file never grows
};

class ImageLunTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        if (!HaveQemu()) GTEST_SKIP() << "qemu-img / qemu-io not installed";
        Load();
    }

    LuExt* OpenLun(UCHAR index, const std::string& path, ULONG format = ZV_IMAGE_DETECT, bool readOnly = false,
                   NTSTATUS expect = STATUS_SUCCESS) {
        std::string name = "\\??\\ZvImage" + std::to_string(index);
        hk::test::MapObject(name, path);
        CreateLunRecord rec = {};
        for (size_t i = 0; i < name.size(); i++) rec.imagePath[i] = (ControlWcharT)name[i];
        rec.imageFormat = format;
        rec.readOnly = readOnly ? 1 : 0;
        LuExt* lu = nullptr;
        EXPECT_EQ(CreateLun(Adapter(), index, &rec, &lu), expect);
        return lu;
    }
    using ControlWcharT = zelko::control::ControlWchar;

    static HkScsiResult ReadAt(UCHAR lun, uint64_t off, uint32_t len) {
        return HkScsiExecute(In(Rw16(0x88, off / 512, len / 512), len, lun), 60000);
    }
    static HkScsiResult WriteAt(UCHAR lun, uint64_t off, const std::vector<uint8_t>& data) {
        return HkScsiExecute(Out(Rw16(0x8A, off / 512, (uint32_t)(data.size() / 512)), data, lun), 60000);
    }
    static std::vector<uint8_t> ReadDisk(UCHAR lun, uint64_t bytes) {
        std::vector<uint8_t> all;
        for (uint64_t off = 0; off < bytes; off += ZV_MAX_TRANSFER) {
            uint32_t n = (uint32_t)std::min<uint64_t>(ZV_MAX_TRANSFER, bytes - off);
            HkScsiResult r = ReadAt(lun, off, n);
            EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << "read at " << off << " " << SenseOf(r);
            if (r.data.size() != n) r.data.resize(n, 0xEE);
            all.insert(all.end(), r.data.begin(), r.data.end());
        }
        return all;
    }
    static void PwriteRef(const std::string& path, uint64_t off, const std::vector<uint8_t>& data) {
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), (off_t)off), (ssize_t)data.size());
        close(fd);
    }
    static void ExpectSameDisk(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); i += 512) {
            if (memcmp(got.data() + i, want.data() + i, 512) != 0) {
                ADD_FAILURE() << "sector " << i / 512 << " differs";
                return;
            }
        }
    }
    // qemu-img check: no errors and no leaks (formats without checks are judged by compare).
    static void ExpectCheckClean(const std::string& fmt, const std::string& path) {
        Shell c = Sh("qemu-img check -f " + fmt + " '" + path + "'");
        if (c.out.find("does not support checks") != std::string::npos) return;
        EXPECT_EQ(c.code, 0) << c.out;
        EXPECT_EQ(c.out.find("leaked"), std::string::npos) << c.out;
        EXPECT_EQ(c.out.find("ERROR"), std::string::npos) << c.out;
    }
    static void ExpectCompareSame(const std::string& fmt, const std::string& path, const std::string& ref) {
        Shell c = Sh("qemu-img compare -f " + fmt + " -F raw '" + path + "' '" + ref + "'");
        EXPECT_EQ(c.code, 0) << c.out;
    }

    void RoundTrip(const Variant& v);
};

// Fills an image and its raw twin with the same qemu-io writes.
static void QemuFill(const std::string& fmt, const std::string& img, const std::string& ref) {
    const char* cmds[] = {
        "write -P 0x11 0 64k",          "write -P 0x22 1020k 8k",      // across 1 MiB
        "write -P 0x33 3073536 204800", "write -P 0x44 8388096 512",   // the last sector
        "write -P 0x55 5M 192k",        "write -z 5M 128k",            // zeroed after data
        "write -P 0x66 6291456 2M",
    };
    std::string args;
    for (const char* c : cmds) args += " -c '" + std::string(c) + "'";
    Shell a = Sh("qemu-io -f " + fmt + args + " '" + img + "'");
    ASSERT_EQ(a.code, 0) << a.out;
    ASSERT_EQ(a.out.find("failed"), std::string::npos) << a.out;
    Shell b = Sh("qemu-io -f raw" + args + " '" + ref + "'");
    ASSERT_EQ(b.code, 0) << b.out;
}

void ImageLunTest::RoundTrip(const Variant& v) {
    SCOPED_TRACE(v.name);
    TempDir d;
    std::string img = d / "disk.img", ref = d / "ref.raw";
    std::string fmt = v.format;
    Shell c = Sh("qemu-img create -q -f " + fmt + (*v.options ? " -o " + std::string(v.options) : "") + " '" + img +
                 "' " + std::to_string(kDisk));
    ASSERT_EQ(c.code, 0) << c.out;
    ASSERT_EQ(Sh("qemu-img create -q -f raw '" + ref + "' " + std::to_string(kDisk)).code, 0);
    QemuFill(fmt, img, ref);
    if (HasFatalFailure()) return;

    uint64_t sizeBefore = FileSize(img);
    LuExt* lu = OpenLun(1, img);
    ASSERT_NE(lu, nullptr);
    EXPECT_EQ(LuTargetSize(lu), kDisk);   // the virtual size, whatever the file's
    ExpectSameDisk(ReadDisk(1, kDisk), ReadAll(ref));

    // Writes at random places and sizes, plus some that straddle every block size in use
    // (64 KiB grains and clusters, 1/2/8/32 MiB blocks) and the end of the disk.
    std::mt19937_64 rng(std::hash<std::string>()(v.name));
    std::vector<std::pair<uint64_t, uint32_t>> plan;
    for (uint64_t b : {0x10000ull, 0x100000ull, 0x200000ull, 0x400000ull})
        plan.push_back({b * (1 + rng() % (kDisk / b - 1)) - 1024, 4096});
    plan.push_back({kDisk - 2048, 2048});
    plan.push_back({0x10000 - 512, ZV_MAX_TRANSFER});
    const uint32_t sizes[] = {1, 3, 8, 64, 127, 128, 300, 1024, 2048};
    for (int i = 0; i < 24; i++) {
        uint64_t sector = rng() % (kDisk / 512);
        uint32_t n = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
        n = (uint32_t)std::min<uint64_t>(n, kDisk / 512 - sector);
        plan.push_back({sector * 512, n * 512});
    }
    for (auto& w : plan) {
        std::vector<uint8_t> data(w.second);
        for (auto& x : data) x = (uint8_t)rng();
        HkScsiResult r = WriteAt(1, w.first, data);
        ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << "write at " << w.first << " " << SenseOf(r);
        PwriteRef(ref, w.first, data);
    }
    ExpectSameDisk(ReadDisk(1, kDisk), ReadAll(ref));
    ASSERT_EQ(DeleteLun(Adapter(), 1), STATUS_SUCCESS);

    if (v.keepsSize) EXPECT_EQ(FileSize(img), sizeBefore);
    ExpectCheckClean(fmt, img);
    ExpectCompareSame(fmt, img, ref);

    // The next open finds the same container and the same disk.
    lu = OpenLun(2, img);
    ASSERT_NE(lu, nullptr);
    EXPECT_TRUE(lu->imageFormatInUse);
    EXPECT_EQ(LuTargetSize(lu), kDisk);
    ExpectSameDisk(ReadDisk(2, kDisk), ReadAll(ref));
    ASSERT_EQ(DeleteLun(Adapter(), 2), STATUS_SUCCESS);
}

TEST_F(ImageLunTest, RawAndVhdRoundTrips) {
    RoundTrip({"raw", "raw", "", true});
    RoundTrip({"vhd fixed", "vpc", "subformat=fixed,force_size=on", true});
    RoundTrip({"vhd dynamic", "vpc", "subformat=dynamic,force_size=on"});
}

TEST_F(ImageLunTest, VhdxRoundTrips) {
    RoundTrip({"vhdx 1M", "vhdx", "block_size=1M"});
    RoundTrip({"vhdx 8M", "vhdx", "block_size=8M"});
    RoundTrip({"vhdx default", "vhdx", ""});
    // qemu's fixed VHDX: every block has its space, marked zero-state until written; a first
    // write uses that space.
    RoundTrip({"vhdx fixed zero-state", "vhdx", "subformat=fixed,block_size=2M", true});
    RoundTrip({"vhdx fixed present", "vhdx", "subformat=fixed,block_size=2M,block_state_zero=off", true});
}

TEST_F(ImageLunTest, VmdkRoundTrip) { RoundTrip({"vmdk", "vmdk", "subformat=monolithicSparse"}); }

TEST_F(ImageLunTest, Qcow2RoundTrips) {
    RoundTrip({"qcow2 0.10 64k", "qcow2", "compat=0.10,cluster_size=65536"});
    RoundTrip({"qcow2 0.10 4k", "qcow2", "compat=0.10,cluster_size=4096"});
    // 512-byte clusters outgrow the refcount table qemu made for the empty image.
    RoundTrip({"qcow2 1.1 512", "qcow2", "compat=1.1,cluster_size=512"});
    RoundTrip({"qcow2 1.1 64k", "qcow2", "compat=1.1,cluster_size=65536"});
    RoundTrip({"qcow2 1.1 2M", "qcow2", "compat=1.1,cluster_size=2M"});
    RoundTrip({"qcow2 1.1 2-bit refcounts", "qcow2", "compat=1.1,cluster_size=4096,refcount_bits=2"});
}

// Writers racing into one unallocated block: one allocation, everybody's data in it.
TEST_F(ImageLunTest, ConcurrentWritersToOneNewBlockAllocateItOnce) {
    for (const Variant& v : {Variant{"vhd", "vpc", "subformat=dynamic,force_size=on"},
                             Variant{"qcow2", "qcow2", "compat=1.1,cluster_size=65536"}}) {
        SCOPED_TRACE(v.name);
        TempDir d;
        std::string img = d / "disk.img";
        ASSERT_EQ(Sh("qemu-img create -q -f " + std::string(v.format) + " -o " + v.options + " '" + img + "' 8M").code, 0);
        uint64_t before = FileSize(img);
        ASSERT_NE(OpenLun(1, img), nullptr);
        const uint64_t base = 4u << 20;   // a 2 MiB VHD block, 32 QCOW2 clusters: all new
        std::vector<uint64_t> tickets;
        for (int i = 0; i < 16; i++)
            tickets.push_back(HkScsiSubmit(Out(Rw16(0x8A, (base + i * 4096) / 512, 8), std::vector<uint8_t>(4096, (uint8_t)(i + 1)), 1)));
        for (uint64_t t : tickets) {
            HkScsiResult r;
            ASSERT_TRUE(HkScsiWait(t, 60000, &r));
            EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        }
        HkScsiResult r = ReadAt(1, base, 16 * 4096);
        ASSERT_EQ(r.data.size(), 16u * 4096);
        for (int i = 0; i < 16; i++) EXPECT_EQ(r.data[i * 4096 + 100], i + 1) << i;
        ASSERT_EQ(DeleteLun(Adapter(), 1), STATUS_SUCCESS);
        if (std::string(v.format) == "vpc") EXPECT_EQ(FileSize(img), before + 512 + (2u << 20));
        ExpectCheckClean(v.format, img);
    }
}

TEST_F(ImageLunTest, AMegabyteAcrossVmdkGrainsLandsInItsOwnGrains) {
    TempDir d;
    std::string img = d / "disk.vmdk";
    ASSERT_EQ(Sh("qemu-img create -q -f vmdk '" + img + "' 8M").code, 0);
    LuExt* lu = OpenLun(1, img);
    ASSERT_NE(lu, nullptr);
    ASSERT_EQ(ImageBlockSectors(lu->image), 128u);   // 64 KiB grains
    std::vector<uint8_t> data(ZV_MAX_TRANSFER);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i / 512 * 13 + 1);
    const uint64_t at = 0x8000;   // half a grain in: 17 grains, the first and last partly
    ASSERT_EQ(WriteAt(1, at, data).srbStatus, SRB_STATUS_SUCCESS);
    std::set<uint64_t> grains;
    for (uint64_t g = 0; g <= 16; g++) {
        ULONGLONG off = 0;
        BOOLEAN allocated = FALSE;
        ASSERT_EQ(TranslateLba(lu->image, g * 128, 1, &off, &allocated), STATUS_SUCCESS);
        ASSERT_TRUE(allocated) << g;
        grains.insert(off);
        std::vector<uint8_t> file = ReadAll(img);
        uint64_t disk = std::max<uint64_t>(g * 0x10000, at);
        ASSERT_LE(off + (disk - g * 0x10000) + 512, file.size());
        EXPECT_EQ(file[off + (disk - g * 0x10000)], data[disk - at]) << g;
    }
    EXPECT_EQ(grains.size(), 17u);
    HkScsiResult r = ReadAt(1, at, ZV_MAX_TRANSFER);
    EXPECT_EQ(r.data, data);
    ASSERT_EQ(DeleteLun(Adapter(), 1), STATUS_SUCCESS);
    ExpectCheckClean("vmdk", img);
}

TEST_F(ImageLunTest, CompressedQcow2ClustersFailWithMediumError) {
    TempDir d;
    std::string raw = d / "src.raw", img = d / "c.qcow2";
    ASSERT_EQ(Sh("qemu-img create -q -f raw '" + raw + "' 4M").code, 0);
    ASSERT_EQ(Sh("qemu-io -f raw -c 'write -P 0x77 0 128k' '" + raw + "'").code, 0);
    ASSERT_EQ(Sh("qemu-img convert -c -O qcow2 '" + raw + "' '" + img + "'").code, 0);
    ASSERT_NE(OpenLun(1, img), nullptr);
    HkScsiResult r = ReadAt(1, 0, 4096);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(SenseOf(r), (Sense{0x03, 0x11, 0x00}));
    EXPECT_TRUE(LogHas("[ZelkoVd][ERR] TranslateLba 失败 0xC00000BB lba=0 sectors=8\n"));
    // Clusters never written are still zeros; a write into a compressed one is refused.
    r = ReadAt(1, 2u << 20, 4096);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.data, std::vector<uint8_t>(4096, 0));
    r = WriteAt(1, 0, std::vector<uint8_t>(512, 1));
    EXPECT_EQ(SenseOf(r), (Sense{0x05, 0x21, 0x00}));
    ASSERT_EQ(DeleteLun(Adapter(), 1), STATUS_SUCCESS);
    ExpectCheckClean("qcow2", img);
}

TEST_F(ImageLunTest, DifferencingVhdAndUnknownFilesAreServedRaw) {
    TempDir d;
    std::string vhd = d / "diff.vhd";
    ASSERT_EQ(Sh("qemu-img create -q -f vpc -o subformat=dynamic '" + vhd + "' 4M").code, 0);
    std::vector<uint8_t> b = ReadAll(vhd);
    PutBe32(b, b.size() - 512 + 60, 4);   // differencing
    WriteAll(vhd, b);
    LuExt* lu = OpenLun(1, vhd);
    ASSERT_NE(lu, nullptr);
    EXPECT_FALSE(lu->imageFormatInUse);
    EXPECT_EQ(LuTargetSize(lu), b.size());
    HkScsiResult r = ReadAt(1, 0, 512);
    EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), b.begin()));

    std::string junk = d / "junk.bin";
    std::vector<uint8_t> j((1u << 20) + 1024);
    for (size_t i = 0; i < j.size(); i++) j[i] = (uint8_t)(i * 31 + 7);
    WriteAll(junk, j);
    lu = OpenLun(2, junk);
    ASSERT_NE(lu, nullptr);
    EXPECT_EQ(LuTargetSize(lu), j.size());
    ExpectSameDisk(ReadDisk(2, j.size()), j);
    std::vector<uint8_t> w(4096, 0xAB);
    ASSERT_EQ(WriteAt(2, j.size() - 4096, w).srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(DeleteLun(Adapter(), 2), STATUS_SUCCESS);
    std::copy(w.begin(), w.end(), j.end() - 4096);
    EXPECT_EQ(ReadAll(junk), j);

    // A file that is not there fails the LUN.
    EXPECT_EQ(OpenLun(3, d / "missing.img", ZV_IMAGE_DETECT, false, STATUS_OBJECT_NAME_NOT_FOUND), nullptr);
    EXPECT_EQ(GetLun(Adapter(), 0, 0, 3), nullptr);
}

TEST_F(ImageLunTest, ReadOnlyLunsAndVhdxWithAPendingLogRefuseWrites) {
    TempDir d;
    std::string img = d / "a.vhdx";
    ASSERT_EQ(Sh("qemu-img create -q -f vhdx -o block_size=1M '" + img + "' 4M").code, 0);
    ASSERT_EQ(Sh("qemu-io -f vhdx -c 'write -P 0x5a 0 4k' '" + img + "'").code, 0);
    ASSERT_NE(OpenLun(1, img, ZV_IMAGE_VHDX, true), nullptr);
    EXPECT_EQ(SenseOf(WriteAt(1, 0, std::vector<uint8_t>(512, 1))), (Sense{0x07, 0x27, 0x00}));
    ASSERT_EQ(DeleteLun(Adapter(), 1), STATUS_SUCCESS);

    std::vector<uint8_t> b = ReadAll(img);
    for (size_t at : {0x10000u, 0x20000u}) {   // a log GUID in both headers
        b[at + 48] = 0x42;
        PutLe32(b, at + 4, 0);
        PutLe32(b, at + 4, ImageCrc32c(b.data() + at, 4096));
    }
    WriteAll(img, b);
    LuExt* lu = OpenLun(1, img);
    ASSERT_NE(lu, nullptr);
    EXPECT_TRUE(lu->imageFormatInUse);
    EXPECT_TRUE(LuReadOnly(lu));
    HkScsiResult r = ReadAt(1, 0, 4096);
    EXPECT_EQ(r.data, std::vector<uint8_t>(4096, 0x5a));
    EXPECT_EQ(SenseOf(WriteAt(1, 0, std::vector<uint8_t>(512, 1))), (Sense{0x07, 0x27, 0x00}));
    ASSERT_EQ(DeleteLun(Adapter(), 1), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(img), b);
}

}  // namespace
