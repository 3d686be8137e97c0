// A copy-on-write block layer: a sparse data file that holds blocks at their own offsets on the
// virtual disk, and a presence bitmap with one bit per 4 KiB block.
//
// The bitmap lives in a file mapped MAP_SHARED, so a bit that is set is in the page cache at
// once and survives a crash of the server process (kill -9) without an fsync per write; Sync()
// makes both files durable against power loss. Data is always written before its bit is set,
// so a bit never points at a block whose content has not been written.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zelko::diskd {

constexpr uint32_t kLayerBlock = 4096;

class Layer {
public:
    // Opens (or with `create`, creates) the layer whose files are `stem` + ".data" / ".map".
    // `size` is the virtual disk size the layer covers.
    static std::unique_ptr<Layer> Open(const std::string& stem, uint64_t size, bool create,
                                       std::string* error);
    ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    uint64_t size() const { return size_; }
    uint64_t blockCount() const { return (size_ + kLayerBlock - 1) / kLayerBlock; }
    // Number of blocks present.
    uint64_t present() const { return present_.load(std::memory_order_relaxed); }
    const std::string& stem() const { return stem_; }

    bool Has(uint64_t block) const;
    // Marks blocks [first, first + count) present. Call only after their data is written.
    void Mark(uint64_t first, uint64_t count);

    // Raw access to the data file at virtual disk offsets.
    bool ReadData(uint64_t offset, void* buf, size_t len) const;
    bool WriteData(uint64_t offset, const void* buf, size_t len);

    // Calls fn(firstBlock, count) for every run of present blocks, in order.
    void ForEachRun(const std::function<void(uint64_t, uint64_t)>& fn) const;

    bool Sync();
    // Unlinks both files; the open descriptors stay usable until the object goes away.
    void Remove();

private:
    Layer() = default;
    std::string stem_;
    uint64_t size_ = 0;
    int dataFd_ = -1;
    int mapFd_ = -1;
    uint8_t* map_ = nullptr;
    size_t mapBytes_ = 0;
    std::atomic<uint64_t> present_{0};
};

// Writes `content` to `path` crash-safely: temp file, fsync, rename, fsync of the directory.
bool WriteFileAtomic(const std::string& path, const std::string& content, std::string* error);
// Whole or not at all for readers (temp file + rename), but not made durable: for files that
// describe the running process only.
bool WriteFileRenamed(const std::string& path, const std::string& content, std::string* error);
bool ReadWholeFile(const std::string& path, std::string* content);
bool FsyncDir(const std::string& dir);
// pread/pwrite until done; false on error or EOF (pread past EOF fills zeros instead).
bool PreadFull(int fd, void* buf, size_t len, uint64_t offset);
bool PwriteFull(int fd, const void* buf, size_t len, uint64_t offset);

}  // namespace zelko::diskd
