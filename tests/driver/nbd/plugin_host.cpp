// A stand-in for nbdkit that loads nbdkit-zelkovd-plugin.so with dlopen and drives it through
// nbdkit's plugin ABI, so that the plugin runs inside a program of the same build: under
// host-asan, AddressSanitizer and LeakSanitizer see every allocation of the plugin, the driver
// and the host kernel, from load to unload (nbdkit itself is not instrumented and cannot load an
// instrumented plugin). The calls come in nbdkit's order: plugin_init, load, config...,
// config_complete, thread_model, get_ready, after_fork, then per connection open, get_size,
// can_*, block_size, I/O, close; at exit cleanup, unload. Only nbdkit_error is provided: it is
// the one nbdkit function the plugin calls.
//
//   plugin_host PLUGIN MODE [IMAGE] -- key=value...
//   MODE: verify IMAGE   the export is IMAGE byte for byte: the whole disk read by 4
//                        connections at once with request sizes from 512 bytes to 1 MiB,
//                        and unaligned reads
//         write IMAGE    super-user writes (aligned, unaligned, zeroes with and without FUA),
//                        flush, and the export read back equals IMAGE with those writes;
//                        what the disk should now hold goes to IMAGE.want
//         readonly       can_write is 0 and a pwrite fails with EROFS
//         badconfig      the last key (an unknown one) is refused with a message
//         nostart        after_fork fails (nothing to activate); cleanup still unloads cleanly
// The exit code is 0 when the mode's checks held; the plugin prints its unload report itself.
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_errorMutex;
std::string g_lastError;

[[noreturn]] void Die(const std::string& why) {
    fprintf(stderr, "plugin_host: FAIL: %s\n", why.c_str());
    exit(1);
}

void Check(bool ok, const std::string& why) {
    if (!ok) Die(why + (g_lastError.empty() ? "" : " (plugin: " + g_lastError + ")"));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) Die("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

struct Plugin {
    void* dl = nullptr;
    nbdkit_plugin* p = nullptr;
};

Plugin Load(const char* path) {
    Plugin pl;
    // RTLD_NOW: a symbol the plugin needs from nbdkit and this program lacks shows up here, not
    // at the first request that reaches it.
    pl.dl = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!pl.dl) Die(std::string("dlopen: ") + dlerror());
    auto init = (nbdkit_plugin * (*)(void)) dlsym(pl.dl, "plugin_init");
    if (!init) Die("no plugin_init");
    pl.p = init();
    Check(pl.p != nullptr, "plugin_init returned nothing");
    Check(pl.p->_api_version == NBDKIT_API_VERSION, "plugin API version " + std::to_string(pl.p->_api_version));
    Check(pl.p->_struct_size == sizeof(nbdkit_plugin), "plugin struct of another nbdkit version");
    Check(pl.p->name && pl.p->open && pl.p->get_size && pl.p->pread, "plugin lacks name, open, get_size or pread");
    return pl;
}

void* Open(nbdkit_plugin* p, int readonly) {
    void* h = p->open(readonly);
    Check(h != nullptr, "open failed");
    return h;
}

void Close(nbdkit_plugin* p, void* h) {
    if (p->close) p->close(h);
}

// Reads [offset, offset+count) through the plugin in requests of `chunk` bytes.
void ReadRange(nbdkit_plugin* p, void* h, uint8_t* out, uint64_t offset, uint64_t count, uint32_t chunk) {
    while (count) {
        uint32_t n = (uint32_t)std::min<uint64_t>(count, chunk);
        if (p->pread(h, out, n, offset, 0) != 0) Die("pread " + std::to_string(n) + " at " + std::to_string(offset) +
                                                     ": " + g_lastError);
        out += n;
        offset += n;
        count -= n;
    }
}

// The whole disk through `conns` connections at once, each reading every `conns`-th slice of
// 256 KiB with its own request size, compared with `want`.
void VerifyAll(nbdkit_plugin* p, const std::vector<uint8_t>& want) {
    const uint64_t slice = 256 * 1024;
    const int conns = 4;
    const uint32_t chunks[conns] = {512, 4096, 65536 + 512, 1024 * 1024};
    std::vector<uint8_t> got(want.size(), 0xEE);
    std::vector<std::thread> t;
    for (int c = 0; c < conns; c++)
        t.emplace_back([&, c] {
            void* h = Open(p, 1);
            for (uint64_t at = c * slice; at < want.size(); at += conns * slice)
                ReadRange(p, h, got.data() + at, at, std::min<uint64_t>(slice, want.size() - at), chunks[c]);
            Close(p, h);
        });
    for (auto& x : t) x.join();
    for (size_t i = 0; i < want.size(); i++)
        if (got[i] != want[i]) Die("byte " + std::to_string(i) + " differs from the image");
    // Unaligned reads: whole-sector reads underneath, only the asked bytes come back.
    void* h = Open(p, 1);
    std::mt19937_64 rng(7);
    for (int i = 0; i < 200; i++) {
        uint32_t n = 1 + (uint32_t)(rng() % 9000);
        uint64_t off = rng() % (want.size() - n);
        std::vector<uint8_t> b(n + 2, 0xC3);
        ReadRange(p, h, b.data() + 1, off, n, n);
        Check(b[0] == 0xC3 && b[n + 1] == 0xC3, "an unaligned read wrote outside its buffer");
        Check(memcmp(b.data() + 1, want.data() + off, n) == 0, "unaligned read at " + std::to_string(off) + " differs");
    }
    Close(p, h);
}

void Writes(nbdkit_plugin* p, std::vector<uint8_t> want, const std::string& out) {
    void* h = Open(p, 0);
    Check(p->can_write && p->can_write(h) == 1, "super-user export is not writable");
    Check(p->can_zero && p->can_zero(h) == 1, "no zero");
    Check(p->can_fua && p->can_fua(h) == NBDKIT_FUA_NATIVE, "FUA not native");
    Check(p->can_flush && p->can_flush(h) == 1, "no flush");
    // Aligned, across the 1 MiB transfer limit; unaligned at both ends; zeroes with ragged ends.
    std::vector<uint8_t> a(1024 * 1024 + 8192, 0x5A);
    Check(p->pwrite(h, a.data(), (uint32_t)a.size(), 1048576, 0) == 0, "aligned pwrite: " + g_lastError);
    memset(want.data() + 1048576, 0x5A, a.size());
    std::vector<uint8_t> u(1000, 0xA7);
    Check(p->pwrite(h, u.data(), 1000, 300001, NBDKIT_FLAG_FUA) == 0, "unaligned pwrite: " + g_lastError);
    memset(want.data() + 300001, 0xA7, 1000);
    Check(p->zero(h, 70000, 2500001, 0) == 0, "zero: " + g_lastError);
    memset(want.data() + 2500001, 0, 70000);
    Check(p->zero(h, 100, 3000000, NBDKIT_FLAG_FUA) == 0, "small zero: " + g_lastError);
    memset(want.data() + 3000000, 0, 100);
    // Unaligned writes from several connections into neighbouring bytes of the same sectors:
    // the read-modify-write of one must not undo another.
    std::vector<std::thread> t;
    for (int c = 0; c < 4; c++)
        t.emplace_back([&, c] {
            void* hc = Open(p, 0);
            for (int i = 0; i < 16; i++) {
                uint64_t off = 3500000 + (uint64_t)i * 600 + (uint64_t)c * 150;
                std::vector<uint8_t> b(150, (uint8_t)(0x10 + c));
                Check(p->pwrite(hc, b.data(), 150, off, 0) == 0, "parallel unaligned pwrite");
            }
            Close(p, hc);
        });
    for (auto& x : t) x.join();
    for (int c = 0; c < 4; c++)
        for (int i = 0; i < 16; i++) memset(want.data() + 3500000 + i * 600 + c * 150, 0x10 + c, 150);
    Check(p->flush(h, 0) == 0, "flush: " + g_lastError);
    Close(p, h);
    VerifyAll(p, want);
    std::ofstream(out, std::ios::binary).write((const char*)want.data(), (std::streamsize)want.size());
}

}  // namespace

// The nbdkit functions the plugin calls.
extern "C" __attribute__((visibility("default"))) void nbdkit_error(const char* fs, ...) {
    char b[1024];
    va_list ap;
    va_start(ap, fs);
    vsnprintf(b, sizeof b, fs, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(g_errorMutex);
    g_lastError = b;
    fprintf(stderr, "plugin_host: nbdkit_error: %s\n", b);
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: plugin_host PLUGIN MODE [IMAGE] -- key=value...\n");
        return 2;
    }
    std::string mode = argv[2];
    int at = 3;
    std::string image;
    if (std::string(argv[at]) != "--") image = argv[at++];
    if (at >= argc || std::string(argv[at]) != "--") Die("expected -- before the plugin's parameters");
    at++;

    Plugin pl = Load(argv[1]);
    nbdkit_plugin* p = pl.p;
    if (p->load) p->load();
    for (; at < argc; at++) {
        std::string kv = argv[at];
        size_t eq = kv.find('=');
        Check(eq != std::string::npos && eq > 0, "parameter without =: " + kv);
        int r = p->config(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str());
        if (mode == "badconfig" && at == argc - 1) {  // the last one is the bad one
            Check(r == -1 && !g_lastError.empty(), "a bad parameter was taken: " + kv);
            if (p->unload) p->unload();
            printf("plugin_host: badconfig refused: %s\n", g_lastError.c_str());
            return 0;
        }
        Check(r == 0, "config " + kv);
    }
    if (p->config_complete) Check(p->config_complete() == 0, "config_complete");
    if (p->thread_model) Check(p->thread_model() == NBDKIT_THREAD_MODEL_PARALLEL, "thread model");
    Check(p->_thread_model == NBDKIT_THREAD_MODEL_PARALLEL, "registered thread model is not parallel");
    if (p->get_ready) Check(p->get_ready() == 0, "get_ready");
    int started = p->after_fork ? p->after_fork() : 0;
    if (mode == "nostart") {
        Check(started == -1 && !g_lastError.empty(), "after_fork succeeded without a disk");
    } else {
        Check(started == 0, "after_fork");
        void* h = Open(p, 0);
        int64_t size = p->get_size(h);
        uint32_t mn = 0, pref = 0, mx = 0;
        if (p->block_size) Check(p->block_size(h, &mn, &pref, &mx) == 0 && mn == 512, "block_size");
        Close(p, h);
        std::vector<uint8_t> want;
        if (!image.empty()) {
            want = ReadFile(image);
            Check(size == (int64_t)want.size(), "size " + std::to_string(size) + ", image " + std::to_string(want.size()));
        }
        if (mode == "verify") {
            VerifyAll(p, want);
        } else if (mode == "write") {
            Writes(p, want, image + ".want");
        } else if (mode == "readonly") {
            void* hr = Open(p, 0);
            Check(p->can_write(hr) == 0, "read-only export is writable");
            std::vector<uint8_t> b(512, 0x11);
            errno = 0;
            Check(p->pwrite(hr, b.data(), 512, 0, 0) == -1 && errno == EROFS, "write on a read-only export did not fail "
                                                                            "with EROFS");
            Close(p, hr);
        } else {
            Die("unknown mode " + mode);
        }
    }
    if (p->cleanup) p->cleanup();
    if (p->unload) p->unload();
    // The plugin object stays mapped (its thread-local destructors pin it anyway); LeakSanitizer
    // runs at exit and needs its code to name the allocation sites.
    printf("plugin_host: %s ok\n", mode.c_str());
    return 0;
}
