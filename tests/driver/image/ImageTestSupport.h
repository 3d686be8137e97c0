// What the image tests share: a scratch directory, running qemu-img / qemu-io (the oracles),
// files as byte vectors, and an in-memory file behind the image layer's I/O callbacks.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/image/Image.h"

namespace imagetest {

struct Shell {
    int code = -1;
    std::string out;
};

// Runs a shell command; stdout and stderr together.
inline Shell Sh(const std::string& cmd) {
    Shell r;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline bool HaveQemu() { return Sh("qemu-img --version").code == 0 && Sh("qemu-io --version").code == 0; }

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
inline void WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write((const char*)data.data(), (std::streamsize)data.size());
}
inline uint64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/zv-image-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { Sh("rm -rf '" + path + "'"); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A file held in memory, for the parsers: reads stop at its end, writes extend it.
struct MemFile {
    std::mutex lock;
    std::vector<uint8_t> bytes;
    int reads = 0;
    int writes = 0;

    static NTSTATUS Read(PVOID ctx, ULONGLONG off, ULONG len, PVOID buf, PULONG done) {
        auto* m = (MemFile*)ctx;
        std::lock_guard<std::mutex> g(m->lock);
        m->reads++;
        *done = 0;
        if (off >= m->bytes.size()) return STATUS_END_OF_FILE;
        uint64_t n = std::min<uint64_t>(len, m->bytes.size() - off);
        memcpy(buf, m->bytes.data() + off, n);
        *done = (ULONG)n;
        return STATUS_SUCCESS;
    }
    static NTSTATUS Write(PVOID ctx, ULONGLONG off, ULONG len, const VOID* buf, PULONG done) {
        auto* m = (MemFile*)ctx;
        std::lock_guard<std::mutex> g(m->lock);
        m->writes++;
        if (off + len > m->bytes.size()) m->bytes.resize(off + len);
        memcpy(m->bytes.data() + off, buf, len);
        *done = len;
        return STATUS_SUCCESS;
    }
    ZV_IMAGE_IO Io() { return ZV_IMAGE_IO{this, Read, Write}; }
    size_t Size() {
        std::lock_guard<std::mutex> g(lock);
        return bytes.size();
    }
};

inline void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (24 - 8 * i));
}
inline void PutBe64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    PutBe32(b, at, (uint32_t)(v >> 32));
    PutBe32(b, at + 4, (uint32_t)v);
}
inline void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}
inline void PutLe64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    PutLe32(b, at, (uint32_t)v);
    PutLe32(b, at + 4, (uint32_t)(v >> 32));
}

}  // namespace imagetest
