#include "layer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

namespace zelko::diskd {

bool PreadFull(int fd, void* buf, size_t len, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buf);
    while (len > 0) {
        ssize_t n = pread(fd, p, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            // Past the end of a sparse or short file: what was never written reads as zeros.
            memset(p, 0, len);
            return true;
        }
        p += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool PwriteFull(int fd, const void* buf, size_t len, uint64_t offset) {
    auto* p = static_cast<const uint8_t*>(buf);
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool FsyncDir(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

bool WriteFileAtomic(const std::string& path, const std::string& content, std::string* error) {
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = "open " + tmp + ": " + strerror(errno);
        return false;
    }
    bool ok = PwriteFull(fd, content.data(), content.size(), 0) && fsync(fd) == 0;
    int saved = errno;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = "write " + path + ": " + strerror(ok ? errno : saved);
        unlink(tmp.c_str());
        return false;
    }
    auto slash = path.rfind('/');
    FsyncDir(slash == std::string::npos ? "." : path.substr(0, slash));
    return true;
}

bool WriteFileRenamed(const std::string& path, const std::string& content, std::string* error) {
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = "open " + tmp + ": " + strerror(errno);
        return false;
    }
    bool ok = PwriteFull(fd, content.data(), content.size(), 0);
    int saved = errno;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        if (error) *error = "write " + path + ": " + strerror(ok ? errno : saved);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string* content) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    content->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        content->append(buf, static_cast<size_t>(n));
    }
}

std::unique_ptr<Layer> Layer::Open(const std::string& stem, uint64_t size, bool create,
                                   std::string* error) {
    std::unique_ptr<Layer> l(new Layer());
    l->stem_ = stem;
    l->size_ = size;
    int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
    l->dataFd_ = open((stem + ".data").c_str(), flags, 0600);
    l->mapFd_ = open((stem + ".map").c_str(), flags, 0600);
    if (l->dataFd_ < 0 || l->mapFd_ < 0) {
        if (error) *error = "open layer " + stem + ": " + strerror(errno);
        return nullptr;
    }
    size_t bits = l->blockCount();
    size_t bytes = (bits + 7) / 8;
    l->mapBytes_ = std::max<size_t>(4096, (bytes + 4095) / 4096 * 4096);
    struct stat st;
    if (fstat(l->mapFd_, &st) != 0) {
        if (error) *error = "stat " + stem + ".map: " + strerror(errno);
        return nullptr;
    }
    if (static_cast<uint64_t>(st.st_size) < l->mapBytes_ &&
        ftruncate(l->mapFd_, static_cast<off_t>(l->mapBytes_)) != 0) {
        if (error) *error = "size " + stem + ".map: " + strerror(errno);
        return nullptr;
    }
    void* m = mmap(nullptr, l->mapBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, l->mapFd_, 0);
    if (m == MAP_FAILED) {
        if (error) *error = "map " + stem + ".map: " + strerror(errno);
        return nullptr;
    }
    l->map_ = static_cast<uint8_t*>(m);
    uint64_t count = 0;
    for (size_t i = 0; i < bytes; ++i) count += static_cast<uint64_t>(__builtin_popcount(l->map_[i]));
    l->present_ = count;
    return l;
}

Layer::~Layer() {
    if (map_) munmap(map_, mapBytes_);
    if (dataFd_ >= 0) close(dataFd_);
    if (mapFd_ >= 0) close(mapFd_);
}

bool Layer::Has(uint64_t block) const {
    if (block >= blockCount()) return false;
    uint8_t byte = __atomic_load_n(&map_[block >> 3], __ATOMIC_ACQUIRE);
    return (byte >> (block & 7)) & 1;
}

void Layer::Mark(uint64_t first, uint64_t count) {
    uint64_t end = std::min(first + count, blockCount());
    for (uint64_t b = first; b < end; ++b) {
        uint8_t bit = static_cast<uint8_t>(1u << (b & 7));
        uint8_t old = __atomic_fetch_or(&map_[b >> 3], bit, __ATOMIC_RELEASE);
        if (!(old & bit)) present_.fetch_add(1, std::memory_order_relaxed);
    }
}

bool Layer::ReadData(uint64_t offset, void* buf, size_t len) const {
    return PreadFull(dataFd_, buf, len, offset);
}

bool Layer::WriteData(uint64_t offset, const void* buf, size_t len) {
    return PwriteFull(dataFd_, buf, len, offset);
}

void Layer::ForEachRun(const std::function<void(uint64_t, uint64_t)>& fn) const {
    uint64_t n = blockCount();
    uint64_t b = 0;
    while (b < n) {
        // Skip empty bitmap bytes quickly: most of a layer is usually absent.
        if ((b & 7) == 0 && map_[b >> 3] == 0) {
            b += 8;
            continue;
        }
        if (!Has(b)) {
            ++b;
            continue;
        }
        uint64_t start = b;
        while (b < n && Has(b)) ++b;
        fn(start, b - start);
    }
}

bool Layer::Sync() {
    bool ok = fdatasync(dataFd_) == 0;
    ok = msync(map_, mapBytes_, MS_SYNC) == 0 && ok;
    ok = fdatasync(mapFd_) == 0 && ok;
    return ok;
}

void Layer::Remove() {
    unlink((stem_ + ".data").c_str());
    unlink((stem_ + ".map").c_str());
}

}  // namespace zelko::diskd
