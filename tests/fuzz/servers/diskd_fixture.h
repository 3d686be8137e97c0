// A disk server's image store for the fuzz targets, built once per process in a temporary
// directory: one small writable image, one read-only image and a super-user token with a fixed
// layer key, so that every request path (normal and super-user sessions, merges) is reachable.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "config.h"
#include "log.h"
#include "session.h"
#include "store.h"

namespace zelko_fuzz {

constexpr const char* kIqn = "iqn.2026-01.fuzz:disk";
constexpr const char* kIqnRo = "iqn.2026-01.fuzz:ro";
constexpr const char* kSuperToken = "fuzz-super-token";
constexpr uint64_t kImageBytes = 256 * 1024;

struct DiskdFixture {
    zelko::diskd::Config cfg;
    zelko::diskd::ImageStore* store = nullptr;
    zelko::diskd::ServerStats stats;

    DiskdFixture() {
        std::string dir = fuzzsrv::ScratchDir("fuzz-diskd");
        for (auto [name, ro] : {std::pair{"disk.img", false}, std::pair{"ro.img", true}}) {
            std::string path = dir + "/" + name;
            std::ofstream f(path, std::ios::binary);
            std::vector<char> block(4096);
            for (uint64_t off = 0; off < kImageBytes; off += block.size()) {
                for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((off / 4096) * 7 + i % 13);
                f.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
            cfg.images.push_back({ro ? kIqnRo : kIqn, path, ro, 0});
        }
        cfg.tokens.push_back({kSuperToken, kIqn, "super", "fuzz-su", 0});
        cfg.dataDir = dir + "/data";
        cfg.maxIoBytes = 1 << 20;
        cfg.udpPushAhead = 2;
        cfg.overlayIdleSeconds = 0;
        cfg.logLevel = zelko::diskd::LogLevel::Error;
        zelko::diskd::SetLogLevel(cfg.logLevel);
        store = new zelko::diskd::ImageStore(cfg);  // lives as long as the process
        std::string error;
        if (!store->Start(&error)) {
            fprintf(stderr, "fuzz fixture: %s\n", error.c_str());
            abort();
        }
    }

    // Layers of sessions that have ended are dropped, so that state does not pile up over
    // millions of inputs (each input names clients of its own).
    void Reset() {
        for (auto& im : store->All()) {
            im->ExpireOverlays(0);
            im->DiscardSuper("fuzz-su");
        }
    }
};

inline DiskdFixture& Diskd() {
    static DiskdFixture* f = new DiskdFixture();
    return *f;
}

// A request header as the driver sends it.
inline void PutHeader(std::vector<uint8_t>& out, uint8_t op, uint8_t flags, uint32_t seq, uint64_t offset,
                      uint32_t length) {
    zelko::wire::MessageHeader h{zelko::wire::kMagic, zelko::wire::kVersion, op, flags, seq, offset, length};
    auto* p = reinterpret_cast<const uint8_t*>(&h);
    out.insert(out.end(), p, p + sizeof h);
}

inline void PutText(std::vector<uint8_t>& out, const std::string& s) {
    out.push_back(static_cast<uint8_t>(s.size()));
    out.push_back(static_cast<uint8_t>(s.size() >> 8));
    out.insert(out.end(), s.begin(), s.end());
}

// A complete Handshake request (header and record).
inline std::vector<uint8_t> HandshakeRequest(const std::string& iqn, const std::string& client, const char* token,
                                             uint32_t seq = 1) {
    std::vector<uint8_t> rec(12, 0);
    rec[0] = 1;
    PutText(rec, iqn);
    PutText(rec, client);
    if (token) PutText(rec, token);
    std::vector<uint8_t> out;
    PutHeader(out, zelko::wire::OpHandshake, token ? zelko::wire::FlagSuperUser : 0, seq, 0,
              static_cast<uint32_t>(rec.size() - 12));
    out.insert(out.end(), rec.begin(), rec.end());
    return out;
}

}  // namespace zelko_fuzz
