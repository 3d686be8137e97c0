#include "zelko_common/prepare_disk.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "zelko_common/random.h"

extern char** environ;

namespace zelko::common {
namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kStartLba = 2048;  // 1 MiB, where Windows puts its first partition
constexpr uint32_t kHeads = 255;
constexpr uint32_t kSectorsPerTrack = 63;

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Removes a temporary file unless it was handed on.
struct TempFile {
    std::string path;
    int fd = -1;
    ~TempFile() {
        if (fd >= 0) close(fd);
        if (!path.empty()) unlink(path.c_str());
    }
    bool Create(const std::string& pattern, std::string* error) {
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            *error = ErrnoText("cannot create temporary file " + pattern);
            return false;
        }
        path = name.data();
        return true;
    }
};

bool IsExecutable(const std::string& p) { return access(p.c_str(), X_OK) == 0; }

std::string FindMkntfs(const std::string& configured) {
    if (!configured.empty()) return configured;
    if (const char* path = getenv("PATH")) {
        std::string all(path);
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(':', start);
            if (end == std::string::npos) end = all.size();
            std::string dir = all.substr(start, end - start);
            if (!dir.empty() && IsExecutable(dir + "/mkntfs")) return dir + "/mkntfs";
            start = end + 1;
        }
    }
    for (const char* p : {"/usr/sbin/mkntfs", "/sbin/mkntfs"})
        if (IsExecutable(p)) return p;
    return {};
}

// Runs argv without a shell; returns true when it exited with status 0. Its combined output
// (trimmed to the last few hundred bytes) is kept for the error text.
bool RunTool(const std::vector<std::string>& args, std::string* output, std::string* error) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        *error = ErrnoText("pipe");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // A server's sockets and image descriptors must not leak into the formatter.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipefd[1]);
    if (rc != 0) {
        close(pipefd[0]);
        *error = "cannot start " + args[0] + ": " + std::strerror(rc);
        return false;
    }
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(pipefd[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > 64 * 1024) out.erase(0, out.size() - 16 * 1024);
    }
    close(pipefd[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            *error = ErrnoText("waitpid");
            return false;
        }
    }
    *output = out;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    // Keep the formatter's last lines on one line for the log and the API message.
    std::string tail = out.size() > 400 ? out.substr(out.size() - 400) : out;
    for (char& c : tail)
        if (c == '\n' || c == '\r') c = ' ';
    while (!tail.empty() && tail.back() == ' ') tail.pop_back();
    if (WIFEXITED(status))
        *error = args[0] + " exited with status " + std::to_string(WEXITSTATUS(status));
    else
        *error = args[0] + " was killed by signal " + std::to_string(WTERMSIG(status));
    if (!tail.empty()) *error += ": " + tail;
    return false;
}

void PutChs(uint8_t* p, uint64_t lba) {
    uint64_t c = lba / (kHeads * kSectorsPerTrack);
    uint64_t h = (lba / kSectorsPerTrack) % kHeads;
    uint64_t s = lba % kSectorsPerTrack + 1;
    if (c > 1023) {  // beyond what CHS can say: the conventional "maximum" triple
        c = 1023;
        h = 254;
        s = 63;
    }
    p[0] = static_cast<uint8_t>(h);
    p[1] = static_cast<uint8_t>((s & 0x3F) | ((c >> 2) & 0xC0));
    p[2] = static_cast<uint8_t>(c & 0xFF);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool WriteAll(int fd, const void* data, size_t len, off_t off, std::string* error) {
    auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, off);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = ErrnoText("write");
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
        off += n;
    }
    return true;
}

// Copies [0, length) of `src` to `dst` at `dstOffset`, leaving holes where the source has holes
// or all-zero chunks (dst is freshly truncated, so holes read as zeros).
bool SparseCopy(int src, int dst, uint64_t length, uint64_t dstOffset, std::string* error) {
    constexpr size_t kChunk = 1 << 20;
    std::vector<uint8_t> buf(kChunk);
    static const std::array<uint8_t, 4096> kZero{};
    off_t pos = 0;
    bool seekWorks = true;
    while (static_cast<uint64_t>(pos) < length) {
        off_t dataStart = pos, dataEnd = static_cast<off_t>(length);
        if (seekWorks) {
            off_t d = lseek(src, pos, SEEK_DATA);
            if (d < 0) {
                if (errno == ENXIO) break;  // nothing but a hole up to the end
                seekWorks = false;          // file system without SEEK_DATA: copy everything
            } else {
                dataStart = d;
                off_t h = lseek(src, d, SEEK_HOLE);
                dataEnd = h < 0 ? static_cast<off_t>(length) : std::min<off_t>(h, length);
            }
        }
        for (off_t at = dataStart; at < dataEnd;) {
            size_t want = static_cast<size_t>(std::min<off_t>(kChunk, dataEnd - at));
            ssize_t n = pread(src, buf.data(), want, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *error = ErrnoText("read of formatted partition");
                return false;
            }
            if (n == 0) break;
            for (size_t i = 0; i < static_cast<size_t>(n); i += kZero.size()) {
                size_t part = std::min(kZero.size(), static_cast<size_t>(n) - i);
                if (std::memcmp(buf.data() + i, kZero.data(), part) == 0) continue;
                if (!WriteAll(dst, buf.data() + i, part, static_cast<off_t>(dstOffset + at + i), error)) return false;
            }
            at += n;
        }
        pos = dataEnd;
    }
    return true;
}

std::string DirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

bool PrepareNtfsDisk(const std::string& imagePath, const PrepareDiskOptions& options, PrepareDiskResult* result,
                     std::string* error) {
    std::string scratch;
    if (!error) error = &scratch;
    struct stat st {};
    bool exists = stat(imagePath.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        *error = ErrnoText("cannot stat " + imagePath);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        *error = imagePath + " is not a regular file";
        return false;
    }
    uint64_t size = options.sizeBytes ? options.sizeBytes : (exists ? static_cast<uint64_t>(st.st_size) : 0);
    if (size == 0) {
        *error = imagePath + " does not exist and no size was given";
        return false;
    }
    if (size < kPrepareDiskMinBytes) {
        *error = "image of " + std::to_string(size) + " bytes is too small for NTFS (at least " +
                 std::to_string(kPrepareDiskMinBytes) + ")";
        return false;
    }
    if (size > kPrepareDiskMaxBytes) {
        *error = "image of " + std::to_string(size) + " bytes is larger than an MBR can address";
        return false;
    }
    uint64_t totalSectors = size / kSector;
    uint64_t partSectors64 = totalSectors - kStartLba;
    if (partSectors64 > 0xFFFFFFFFull) partSectors64 = 0xFFFFFFFFull;
    auto partSectors = static_cast<uint32_t>(partSectors64);

    std::string mkntfs = FindMkntfs(options.mkntfsPath);
    if (mkntfs.empty()) {
        *error = "mkntfs not found (install ntfs-3g)";
        return false;
    }

    // Both temporaries live beside the image: the rename must stay within one file system,
    // and the partition may be far larger than a tmpfs /tmp.
    TempFile part;
    if (!part.Create(imagePath + ".zelko-part.XXXXXX", error)) return false;
    if (ftruncate(part.fd, static_cast<off_t>(partSectors64 * kSector)) != 0) {
        *error = ErrnoText("cannot size temporary partition file");
        return false;
    }
    std::string label = options.volumeLabel.empty() ? "Zelko" : options.volumeLabel;
    std::string output;
    // -p/-H/-S go into the NTFS boot sector; Windows refuses to boot a volume without them.
    if (!RunTool({mkntfs, "-F", "-Q", "-q", "-s", "512", "-p", std::to_string(kStartLba), "-H", std::to_string(kHeads),
                  "-S", std::to_string(kSectorsPerTrack), "-L", label, part.path, std::to_string(partSectors)},
                 &output, error))
        return false;

    TempFile image;
    if (!image.Create(imagePath + ".zelko-prep.XXXXXX", error)) return false;
    if (ftruncate(image.fd, static_cast<off_t>(size)) != 0) {
        *error = ErrnoText("cannot size new image");
        return false;
    }

    uint8_t mbr[kSector] = {};
    uint32_t signature = 0;
    while (signature == 0) RandomBytes(&signature, sizeof signature);
    PutLe32(mbr + 440, signature);
    uint8_t* entry = mbr + 446;
    entry[0] = 0x80;  // active: the partition the boot code starts
    PutChs(entry + 1, kStartLba);
    entry[4] = 0x07;  // NTFS
    PutChs(entry + 5, static_cast<uint64_t>(kStartLba) + partSectors - 1);
    PutLe32(entry + 8, kStartLba);
    PutLe32(entry + 12, partSectors);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    if (!WriteAll(image.fd, mbr, sizeof mbr, 0, error)) return false;
    if (!SparseCopy(part.fd, image.fd, partSectors64 * kSector, static_cast<uint64_t>(kStartLba) * kSector, error))
        return false;
    if (exists)
        fchmod(image.fd, st.st_mode & 07777);
    else
        fchmod(image.fd, 0640);
    if (fsync(image.fd) != 0) {
        *error = ErrnoText("fsync of new image");
        return false;
    }
    if (rename(image.path.c_str(), imagePath.c_str()) != 0) {
        *error = ErrnoText("cannot replace " + imagePath);
        return false;
    }
    image.path.clear();  // now the image itself
    // Make the rename itself durable.
    int dirfd = open(DirName(imagePath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        fsync(dirfd);
        close(dirfd);
    }
    if (result) {
        result->sizeBytes = size;
        result->partitionStartLba = kStartLba;
        result->partitionSectors = partSectors;
        result->diskSignature = signature;
    }
    return true;
}

}  // namespace zelko::common
