// Preparing a disk image for Windows: an MBR with one active NTFS partition (type 0x07) from
// 1 MiB (LBA 2048) to the end of the image, formatted by ntfs-3g's mkntfs.
//
// Used by zelko-diskd for POST /admin/v1/images/{iqn}/prepare-disk and by zelko-mgmtd when it
// runs without a disk server. The routine is crash-safe: the new image is built in a temporary
// file beside the image, fsync'ed and renamed over it, so a crash or a failure at any point
// leaves the previous content in place (at worst a stray "*.zelko-prep.*" temp file remains).
//
// Because the image is REPLACED by rename, a caller that holds the old file open must reopen
// the path afterwards; reads through the old descriptor still see the previous content.
// The caller must also make sure nobody writes the image while this runs.
#pragma once

#include <cstdint>
#include <string>

namespace zelko::common {

struct PrepareDiskOptions {
    // Size of the prepared image in bytes. 0 keeps the current size of an existing file.
    // A size that is not a multiple of 512 is rounded down for the partition.
    uint64_t sizeBytes = 0;
    // NTFS volume label (at most 32 characters are kept by mkntfs).
    std::string volumeLabel = "Zelko";
    // Path of mkntfs; empty searches PATH, then /usr/sbin and /sbin.
    std::string mkntfsPath;
};

struct PrepareDiskResult {
    uint64_t sizeBytes = 0;          // size of the image file after preparation
    uint32_t partitionStartLba = 0;  // always 2048
    uint32_t partitionSectors = 0;   // 512-byte sectors in the NTFS partition
    uint32_t diskSignature = 0;      // random MBR disk signature (offset 440)
};

// Smallest and largest image this can prepare: mkntfs wants a few MiB, and an MBR addresses
// 2^32 - 1 sectors of 512 bytes.
constexpr uint64_t kPrepareDiskMinBytes = 8ull << 20;
constexpr uint64_t kPrepareDiskMaxBytes = (0xFFFFFFFFull + 1) * 512;

// Prepares the image at `imagePath` (created when it does not exist and options.sizeBytes is
// given). Returns true on success and fills *result (may be null). On failure returns false,
// sets *error to a one-line reason (mkntfs's own message included) and leaves the image as it
// was. Safe to call from several threads for different images.
bool PrepareNtfsDisk(const std::string& imagePath, const PrepareDiskOptions& options, PrepareDiskResult* result,
                     std::string* error);

}  // namespace zelko::common
