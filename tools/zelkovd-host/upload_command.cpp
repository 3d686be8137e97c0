// zelkovd-host upload: the client program's system disk upload, request for request, through the
// driver's control device on the host kernel: SET_CONFIG (super-user, the upload token),
// CONNECT, HANDSHAKE, then per 1 MiB block READ_LOCAL of \??\PhysicalDrive0 (mapped to a local
// disk image) and, unless the block is all zero, WRITE_DISK; FLUSH; EXIT_SUPER_USER with commit.
// It prints the time the block loop took, so the upload's speed through the driver can be set
// beside the bare protocol's (session bench-write); scripts/bench-upload.sh does that.
#include "commands.h"

#include <hk_storport_test.h>
#include <hostkernel_test.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <vector>

#include "ZelkoControl.h"
#include "adapter/AdapterInternal.h"
#include "json_line.h"

namespace zvhost {
namespace {

namespace zc = zelko::control;

const char kUploadUsage[] =
    "usage: zelkovd-host upload --server IP:PORT --iqn IQN --token TOKEN --disk FILE\n"
    "                           [--client-id ID] [--header-end BLOCK] [--no-sparse] [--no-commit]\n"
    "                           [--log-level N]\n"
    "Uploads FILE (as \\\\.\\PhysicalDrive0, whole disk) through the driver's control device the way\n"
    "the client program does and prints one JSON line with the loop's time and speed.\n";

constexpr uint32_t kBlock = zc::kMaxTransfer;

struct Options {
    std::string ip, iqn, token, disk, clientId = "zelkovd-host-upload";
    uint16_t port = 0;
    int64_t headerEnd = 0;
    bool sparse = true, commit = true;
    long logLevel = -1;
};

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string* v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            fputs(kUploadUsage, stdout);
            exit(0);
        } else if (a == "--server" && next(&v)) {
            size_t c = v.rfind(':');
            if (c == std::string::npos) return false;
            o->ip = v.substr(0, c);
            o->port = (uint16_t)atoi(v.c_str() + c + 1);
        } else if (a == "--iqn" && next(&v)) {
            o->iqn = v;
        } else if (a == "--token" && next(&v)) {
            o->token = v;
        } else if (a == "--disk" && next(&v)) {
            o->disk = v;
        } else if (a == "--client-id" && next(&v)) {
            o->clientId = v;
        } else if (a == "--header-end" && next(&v)) {
            o->headerEnd = atoll(v.c_str());
        } else if (a == "--log-level" && next(&v)) {
            o->logLevel = atol(v.c_str());
        } else if (a == "--no-sparse") {
            o->sparse = false;
        } else if (a == "--no-commit") {
            o->commit = false;
        } else {
            return false;
        }
    }
    return !o->ip.empty() && o->port && !o->iqn.empty() && !o->token.empty() && !o->disk.empty();
}

void Field(zc::ControlWchar* f, size_t chars, const std::string& s) {
    size_t n = std::min(s.size(), chars - 1);
    for (size_t i = 0; i < n; ++i) f[i] = (zc::ControlWchar)(unsigned char)s[i];
    f[n] = 0;
}

// CPU time of this process (all its threads: the host kernel's socket reactor included).
double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Word-wise, as the client program checks its blocks.
bool AllZero(const uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if (w) return false;
    }
    for (; i < n; ++i)
        if (p[i]) return false;
    return true;
}

std::vector<uint8_t> Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

}  // namespace

int UploadCommand(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) {
        fputs(kUploadUsage, stderr);
        return 2;
    }
    struct stat st {};
    if (stat(o.disk.c_str(), &st) != 0 || st.st_size <= 0) {
        fprintf(stderr, "zelkovd-host upload: cannot use %s\n", o.disk.c_str());
        return 2;
    }
    const int64_t diskSize = st.st_size;
    if (o.logLevel >= 0) SetDriverLogLevel(o.logLevel);
    hk::test::SetPoolLeakReportAtExit(false);
    hk::test::MapObject("\\??\\PhysicalDrive0", o.disk, true);
    NTSTATUS loaded = HkDriverLoad(DriverEntry, "ZelkoVd");
    JsonLine out;
    out.Str("op", "upload");
    if (!NT_SUCCESS(loaded) || !HkDriverObject()) {
        out.Status((uint32_t)loaded).Str("error", "driver load failed");
        printf("%s\n", out.Text().c_str());
        return 1;
    }
    HkFile* f = nullptr;
    NTSTATUS status = HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &f);
    const char* step = "open";
    int64_t blocks = (diskSize + kBlock - 1) / kBlock, written = 0, skipped = 0;
    uint64_t uploaded = 0, mergedBlocks = 0, mergedBytes = 0;
    double loopSecs = 0, mergeSecs = 0, loopCpu = 0;
    auto call = [&](const char* name, ULONG code, const std::vector<uint8_t>& in, ULONG outLen) {
        step = name;
        HkIoResult r = HkDeviceIoControl(f, code, in, outLen);
        status = r.status;
        return r;
    };
    if (NT_SUCCESS(status)) {
        zc::SetConfigRecord cfg;
        memset(&cfg, 0, sizeof cfg);
        Field(cfg.serverIp, zc::kAddressChars, o.ip);
        cfg.serverPort = o.port;
        Field(cfg.targetIqn, zc::kIqnChars, o.iqn);
        Field(cfg.clientId, zc::kAddressChars, o.clientId);
        cfg.cacheSizeMb = 256;
        cfg.superUser = 1;
        Field(cfg.superUserToken, zc::kAddressChars, o.token);
        call("configure", IOCTL_ZELKO_SET_CONFIG, Bytes(&cfg, sizeof cfg), 0);
    }
    if (NT_SUCCESS(status)) call("connect", IOCTL_ZELKO_CONNECT, {}, 0);
    if (NT_SUCCESS(status)) call("handshake", IOCTL_ZELKO_HANDSHAKE, {}, 0);
    if (NT_SUCCESS(status)) {
        zc::ReadLocalRecord rl;
        memset(&rl, 0, sizeof rl);
        Field(rl.objectPath, zc::kObjectPathChars, "\\??\\PhysicalDrive0");
        std::vector<uint8_t> in(sizeof rl), wr;
        auto t0 = std::chrono::steady_clock::now();
        double cpu0 = ProcessCpuSeconds();
        for (int64_t i = 0; i < blocks && NT_SUCCESS(status); ++i) {
            rl.offset = (uint64_t)i * kBlock;
            rl.length = (uint32_t)std::min<int64_t>(kBlock, diskSize - i * (int64_t)kBlock);
            memcpy(in.data(), &rl, sizeof rl);
            HkIoResult r = call("read", IOCTL_ZELKO_READ_LOCAL, in, zc::ReadLocalOutputSize(kBlock) + sizeof rl);
            if (!NT_SUCCESS(status)) break;
            zc::ReadLocalReply reply;
            memcpy(&reply, r.data.data(), sizeof reply);
            if (reply.bytesRead == 0) {
                status = STATUS_UNSUCCESSFUL;
                break;
            }
            const uint8_t* data = r.data.data() + sizeof reply;
            if (o.sparse && i > o.headerEnd && AllZero(data, reply.bytesRead)) {
                ++skipped;
                continue;
            }
            zc::WriteDiskRecord h{i * (int64_t)kBlock, reply.bytesRead, 0};
            wr.resize(sizeof h + reply.bytesRead);  // reused: no fill of a fresh MiB per block
            memcpy(wr.data(), &h, sizeof h);
            memcpy(wr.data() + sizeof h, data, reply.bytesRead);
            // Room for the byte count: Windows copies nothing back to a caller without an output
            // buffer, the host kernel's I/O manager insists on the room.
            HkIoResult w = call("write", IOCTL_ZELKO_WRITE_DISK, wr, reply.bytesRead);
            if (NT_SUCCESS(status) && w.information != reply.bytesRead) status = STATUS_UNSUCCESSFUL;
            uploaded += w.information;
            ++written;
        }
        if (NT_SUCCESS(status)) call("flush", IOCTL_ZELKO_FLUSH, {}, 0);
        loopSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        loopCpu = ProcessCpuSeconds() - cpu0;
    }
    if (NT_SUCCESS(status) && o.commit) {
        auto t0 = std::chrono::steady_clock::now();
        HkIoResult r = call("finish", IOCTL_ZELKO_EXIT_SUPER_USER, {1}, sizeof(zc::ExitSuperUserRecord));
        mergeSecs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (NT_SUCCESS(status) && r.data.size() >= sizeof(zc::ExitSuperUserRecord)) {
            zc::ExitSuperUserRecord e;
            memcpy(&e, r.data.data(), sizeof e);
            mergedBlocks = e.mergedBlocks;
            mergedBytes = e.mergedBytes;
        }
    }
    if (f) HkCloseFile(f);
    out.Status((uint32_t)status);
    if (!NT_SUCCESS(status)) out.Str("step", step);
    out.Num("diskBytes", (uint64_t)diskSize).Num("blocks", (uint64_t)blocks).Num("written", (uint64_t)written);
    out.Num("skipped", (uint64_t)skipped).Num("bytes", uploaded);
    out.Raw("seconds", std::to_string(loopSecs));
    out.Raw("mbps", std::to_string(loopSecs > 0 ? uploaded / 1048576.0 / loopSecs : 0));
    out.Raw("cpuSeconds", std::to_string(loopCpu));
    out.Raw("diskMbps", std::to_string(loopSecs > 0 ? diskSize / 1048576.0 / loopSecs : 0));
    out.Num("mergedBlocks", mergedBlocks).Num("mergedBytes", mergedBytes).Raw("mergeSeconds", std::to_string(mergeSecs));
    HkUnloadReport rep = HkDriverUnload();
    printf("%s\n", out.Text().c_str());
    for (const auto& l : rep.leaks) fprintf(stderr, "zelkovd-host upload: leak: %s\n", l.c_str());
    return NT_SUCCESS(status) && rep.leaks.empty() ? 0 : 1;
}

}  // namespace zvhost
