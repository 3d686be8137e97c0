// Hostile image files in front of the driver's container readers: the fuzz input describes a file
// (its size and the non-zero pieces of its content) and a few guest requests. The file is served
// through the image layer's read/write callbacks from a sparse in-memory copy, opened with the
// probe (or the format's own hint), and the requests go the way the file LUN sends them: split
// at block boundaries, translated, allocated on first write.
//
// Input (little-endian):
//   u8  flags     bit0: open with this target's format hint instead of the probe
//                 bit1: repair the VHDX checksums before opening (so mutations get past them)
//   u32 fileSize  taken modulo kMaxFileSize + 1
//   u8  opCount   taken modulo kMaxOps + 1
//   ops           6 bytes each: u8 kind, u32 sector, u8 sectors
//                 kind bit0 write, bit1 sector as given (else modulo the disk's sectors + 8)
//   chunks        to the end: u32 offset, u16 length, bytes (pieces of the file past its size
//                 are dropped)
//
// Beyond the sanitizers, a finding is: a pool block left after close, a write the image layer
// sends far past the end of the file (the driver growing a file to a size the file chose), a
// guest write over a fixed VHD's footer, or a sector that does not read back what was just
// written to it.
#include <hostkernel_test.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "adapter/image/Image.h"

#ifndef FUZZ_IMAGE_FORMAT
#error "FUZZ_IMAGE_FORMAT names the format hint of the target"
#endif

// IMAGE_FUZZ_VERBOSE=1: what each input opened as and how its requests went (to check seeds).
static bool verbose;

namespace {

const uint64_t kMaxFileSize = 16ull << 20;   // what an input may declare (qemu seeds need 16 MiB)
const uint64_t kGrowLimit = 96ull << 20;     // writes past this fail as a full disk
// How far past the end of the file a write of the image layer may start: the largest gap a
// format leaves on purpose (a VHD footer behind a new block of at most 256 MiB).
const uint64_t kMaxGap = (256ull << 20) + (1ull << 20);
const unsigned kMaxOps = 8;
const unsigned kMaxSectors = 64;
const uint64_t kPage = 4096;

[[noreturn]] void Finding(const char* what) {
    fprintf(stderr, "FINDING: %s\n", what);
    abort();
}

// A file of `size` bytes whose pages are absent until something non-zero is written there.
struct SparseFile {
    uint64_t size = 0;
    bool guestWrite = false;   // a flat disk's own write: the guest picks the offset
    std::unordered_map<uint64_t, std::vector<uint8_t>> pages;

    uint8_t* Page(uint64_t index) {
        auto& p = pages[index];
        if (p.empty()) p.assign(kPage, 0);
        return p.data();
    }
    void Put(uint64_t off, const uint8_t* data, uint64_t len) {
        static const uint8_t zeros[kPage] = {};
        while (len > 0) {
            uint64_t in = off % kPage, n = std::min(len, kPage - in);
            auto it = pages.find(off / kPage);
            if (it != pages.end())
                memcpy(it->second.data() + in, data, n);
            else if (memcmp(data, zeros, n) != 0)
                memcpy(Page(off / kPage) + in, data, n);
            off += n;
            data += n;
            len -= n;
        }
    }
    void Get(uint64_t off, uint8_t* out, uint64_t len) const {
        while (len > 0) {
            uint64_t in = off % kPage, n = std::min(len, kPage - in);
            auto it = pages.find(off / kPage);
            if (it != pages.end())
                memcpy(out, it->second.data() + in, n);
            else
                memset(out, 0, n);
            off += n;
            out += n;
            len -= n;
        }
    }

    static NTSTATUS Read(PVOID ctx, ULONGLONG off, ULONG len, PVOID buf, PULONG done) {
        auto* f = (SparseFile*)ctx;
        *done = 0;
        if (off >= f->size) return STATUS_END_OF_FILE;
        uint64_t n = std::min<uint64_t>(len, f->size - off);
        f->Get(off, (uint8_t*)buf, n);
        *done = (ULONG)n;
        return STATUS_SUCCESS;
    }
    static NTSTATUS Write(PVOID ctx, ULONGLONG off, ULONG len, const VOID* buf, PULONG done) {
        auto* f = (SparseFile*)ctx;
        *done = 0;
        if (!f->guestWrite && off > f->size + kMaxGap) {
            fprintf(stderr, "write of %u bytes at 0x%llx, file size 0x%llx\n", (unsigned)len, (unsigned long long)off,
                    (unsigned long long)f->size);
            Finding("a write far past the end of the image file");
        }
        if (off > kGrowLimit || len > kGrowLimit - off) return STATUS_DISK_FULL;
        f->Put(off, (const uint8_t*)buf, len);
        f->size = std::max<uint64_t>(f->size, off + len);
        *done = len;
        return STATUS_SUCCESS;
    }
};

struct Reader {
    const uint8_t* p;
    size_t left;
    bool Take(void* out, size_t n) {
        if (left < n) return false;
        memcpy(out, p, n);
        p += n;
        left -= n;
        return true;
    }
    uint32_t U32() {
        uint8_t b[4] = {};
        Take(b, 4);
        return b[0] | (b[1] << 8) | (b[2] << 16) | ((uint32_t)b[3] << 24);
    }
    uint16_t U16() {
        uint8_t b[2] = {};
        Take(b, 2);
        return (uint16_t)(b[0] | (b[1] << 8));
    }
    uint8_t U8() {
        uint8_t b = 0;
        Take(&b, 1);
        return b;
    }
};

// The VHDX headers and region tables get the checksum their content needs, when their
// signature is there: otherwise nearly every mutation of them ends at the checksum test.
void RepairVhdxChecksums(SparseFile& f) {
    struct {
        uint64_t at;
        uint32_t size;
        const char* sig;
    } blocks[] = {{0x10000, 4096, "head"}, {0x20000, 4096, "head"}, {0x30000, 0x10000, "regi"}, {0x40000, 0x10000, "regi"}};
    std::vector<uint8_t> b;
    for (auto& k : blocks) {
        if (k.at + k.size > f.size) continue;
        b.resize(k.size);
        f.Get(k.at, b.data(), k.size);
        if (memcmp(b.data(), k.sig, 4) != 0) continue;
        memset(b.data() + 4, 0, 4);
        uint32_t crc = ImageCrc32c(b.data(), k.size);
        uint8_t le[4] = {(uint8_t)crc, (uint8_t)(crc >> 8), (uint8_t)(crc >> 16), (uint8_t)(crc >> 24)};
        f.Put(k.at + 4, le, 4);
    }
}

struct Op {
    uint8_t kind;
    uint32_t sector;
    uint8_t sectors;
};

// The file LUN's request path on the image: the request is clipped to the disk, split where a
// block ends, each piece translated (and allocated when written and not yet there).
struct Disk {
    ZV_IMAGE* img;
    SparseFile* file;
    uint64_t capacity;
    std::vector<uint8_t> check;

    NTSTATUS Clip(uint64_t off, uint32_t* len) const {
        if (off >= capacity) return STATUS_END_OF_FILE;
        if (*len > capacity - off) *len = (uint32_t)(capacity - off);
        return STATUS_SUCCESS;
    }
    uint32_t Piece(uint64_t off, uint32_t len) const {
        uint64_t block = (uint64_t)ImageBlockSectors(img) * 512;
        uint64_t room = block - off % block;
        return room < len ? (uint32_t)room : len;
    }
    NTSTATUS Read(uint64_t off, uint32_t len, uint8_t* out) {
        NTSTATUS st = Clip(off, &len);
        if (!NT_SUCCESS(st)) return st;
        if (ImageIsFlat(img)) {
            ULONG done = 0;
            return img->io.Read(img->io.context, off, len, out, &done);
        }
        for (uint32_t done = 0; done < len;) {
            uint32_t piece = Piece(off + done, len - done);
            ULONGLONG at = 0;
            BOOLEAN allocated = FALSE;
            st = TranslateLba(img, (off + done) / 512, piece / 512, &at, &allocated);
            if (!NT_SUCCESS(st)) return st;
            if (!allocated) {
                memset(out + done, 0, piece);
            } else {
                ULONG got = 0;
                st = img->io.Read(img->io.context, at, piece, out + done, &got);
                if (!NT_SUCCESS(st) && st != STATUS_END_OF_FILE) return st;
                if (got < piece) memset(out + done + got, 0, piece - got);
            }
            done += piece;
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS Write(uint64_t off, uint32_t len, const uint8_t* data, uint32_t* written) {
        *written = 0;
        NTSTATUS st = Clip(off, &len);
        if (!NT_SUCCESS(st)) return st;
        if (ImageIsFlat(img)) {
            // A fixed VHD ends in its footer, which is no part of the disk.
            if (img->format == ZV_IMAGE_VHD && off + len > file->size - 512) Finding("a guest write over the VHD footer");
            ULONG done = 0;
            file->guestWrite = true;
            st = img->io.Write(img->io.context, off, len, data, &done);
            file->guestWrite = false;
            if (NT_SUCCESS(st)) *written = done;
            return st;
        }
        st = ImageBeginWrite(img);
        if (!NT_SUCCESS(st)) return st;
        for (uint32_t done = 0; done < len;) {
            uint32_t piece = Piece(off + done, len - done);
            ULONGLONG at = 0;
            BOOLEAN allocated = FALSE;
            st = TranslateLba(img, (off + done) / 512, piece / 512, &at, &allocated);
            if (!NT_SUCCESS(st)) return st;
            st = allocated ? ImageCheckWrite(img, (off + done) / 512, at)
                           : AllocateBlock(img, (off + done) / 512, piece / 512, &at);
            if (verbose)
                fprintf(stderr, "    sector %llu -> %s 0x%llx: 0x%08X\n", (unsigned long long)((off + done) / 512),
                        allocated ? "at" : "new", (unsigned long long)at, (unsigned)st);
            if (!NT_SUCCESS(st)) return st;
            ULONG put = 0;
            st = img->io.Write(img->io.context, at, piece, data + done, &put);
            if (!NT_SUCCESS(st)) return st;
            // The piece reads back through the tables, right away: the offset an allocation gives
            // is the one translation gives from then on. (Not after the whole request: a hostile
            // table may place a block on another's metadata, which a later piece then updates.)
            check.resize(piece);
            if (NT_SUCCESS(Read(off + done, piece, check.data())) && memcmp(check.data(), data + done, piece) != 0)
                Finding("a written sector does not read back");
            done += piece;
            *written = done;
        }
        return STATUS_SUCCESS;
    }
};

}  // namespace


extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hk::test::SetPoolLeakReportAtExit(false);
    verbose = getenv("IMAGE_FUZZ_VERBOSE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    uint8_t flags = in.U8();
    SparseFile file;
    file.size = in.U32() % (kMaxFileSize + 1);
    unsigned opCount = in.U8() % (kMaxOps + 1);
    std::vector<Op> ops;
    for (unsigned i = 0; i < opCount; i++) {
        Op op;
        op.kind = in.U8();
        op.sector = in.U32();
        op.sectors = (uint8_t)(1 + in.U8() % kMaxSectors);
        ops.push_back(op);
    }
    while (in.left >= 6) {
        uint64_t off = in.U32();
        uint16_t len = in.U16();
        len = (uint16_t)std::min<size_t>(len, in.left);
        if (off < file.size) file.Put(off, in.p, std::min<uint64_t>(len, file.size - off));
        in.p += len;
        in.left -= len;
    }
    if (flags & 2) RepairVhdxChecksums(file);

    uint64_t mark = hk::test::PoolMark();
    ZV_IMAGE img;
    ZV_IMAGE_IO io = {&file, SparseFile::Read, SparseFile::Write};
    ULONG hint = (flags & 1) ? FUZZ_IMAGE_FORMAT : ZV_IMAGE_DETECT;
    NTSTATUS st = ImageOpen(&img, &io, nullptr, file.size, hint);
    if (verbose)
        fprintf(stderr, "open 0x%08X format %u size %llu virtual %llu\n", (unsigned)st, (unsigned)img.format,
                (unsigned long long)file.size, (unsigned long long)img.virtualSize);
    if (NT_SUCCESS(st)) {
        Disk disk{&img, &file, img.virtualSize != 0 ? img.virtualSize : file.size, {}};
        std::vector<uint8_t> pattern, back;
        for (size_t i = 0; i < ops.size(); i++) {
            const Op& op = ops[i];
            uint64_t sectors = disk.capacity / 512;
            uint64_t sector = (op.kind & 2) ? op.sector : op.sector % (sectors + 8);
            uint32_t len = op.sectors * 512u;
            back.assign(len, 0);
            if (!(op.kind & 1)) {
                NTSTATUS rs = disk.Read(sector * 512, len, back.data());
                if (verbose) fprintf(stderr, "  read %llu+%u: 0x%08X\n", (unsigned long long)sector, len / 512, (unsigned)rs);
                continue;
            }
            pattern.resize(len);
            // Each sector its own byte (a sector read from the wrong place shows), set a sector at
            // a time: a byte loop here costs more than the parsers.
            for (uint32_t b = 0; b < len; b += 512) memset(&pattern[b], 0xA5 ^ (int)(b / 512 * 7) ^ (int)i, 512);
            uint32_t written = 0;
            NTSTATUS ws = disk.Write(sector * 512, len, pattern.data(), &written);
            if (verbose) fprintf(stderr, "  write %llu+%u: 0x%08X\n", (unsigned long long)sector, len / 512, (unsigned)ws);
        }
        ImageClose(&img);
    }
    std::string leaks = hk::test::PoolLeaksSince(mark);
    if (!leaks.empty()) {
        fprintf(stderr, "%s\n", leaks.c_str());
        Finding("pool blocks outstanding after the image was closed");
    }
    return 0;
}
