// The driver's disk behind the nbdkit plugin. The driver is loaded in the host kernel as
// `zelkovd-host machine` loads it (the same options, the same machine set-up), and each NBD
// request becomes what the disk class driver would send: READ(16), WRITE(16) with FUA,
// SYNCHRONIZE CACHE(16), WRITE SAME(16) with a zero block. Requests arrive on nbdkit's threads in
// parallel and go to the port driver concurrently, as Windows' requests do.
#include "zelkovd_disk.h"

#include <hk_storport_test.h>
#include <hostkernel_test.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZelkoControl.h"
#include "commands.h"
#include "machine_setup.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace zc = zelko::control;

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kMaxTransfer = 0x100000;   // the adapter's MaximumTransferLength
constexpr int kIoTimeoutMs = 120000;          // a request never left outstanding at the unload

struct Settings {
    zvhost::MachineOptions machine;
    unsigned lun = 0;
    std::string server, iqn, token, clientId = "nbdkit-zelkovd";
    uint16_t port = 0;
    bool readOnly = false;
    int commit = -1;   // -1: stay in super-user mode, 0: drop, 1: merge
    unsigned activationSeconds = 60;
};

Settings g_set;
uint64_t g_size = 0;
bool g_writable = false;
bool g_loaded = false;
// Unaligned writes read, patch and write whole sectors; two of them must not interleave.
std::mutex g_rmw;
thread_local std::string t_error;

int Fail(int e, const std::string& why) {
    t_error = why;
    return e;
}

void Field(zc::ControlWchar* f, size_t chars, const std::string& s) {
    size_t n = std::min(s.size(), chars - 1);
    for (size_t i = 0; i < n; ++i) f[i] = (zc::ControlWchar)(unsigned char)s[i];
    f[n] = 0;
}

void PutBe(std::vector<uint8_t>& cdb, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; i++) cdb[at + i] = (uint8_t)(v >> (8 * (bytes - 1 - i)));
}

std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t blocks, uint8_t byte1 = 0) {
    std::vector<uint8_t> c(16, 0);
    c[0] = op;
    c[1] = byte1;
    PutBe(c, 2, lba, 8);
    PutBe(c, 10, blocks, 4);
    return c;
}

// errno for a failed SCSI request, from its sense data.
int Execute(HkScsiRequest& rq, HkScsiResult* r, const char* what) {
    rq.lun = (UCHAR)g_set.lun;
    rq.timeOutValue = kIoTimeoutMs / 1000;
    *r = HkScsiExecute(rq, kIoTimeoutMs);
    if (!r->completed) return Fail(EIO, std::string(what) + ": no answer from the driver");
    if (r->srbStatus == SRB_STATUS_SUCCESS) return 0;
    uint8_t key = r->sense.size() > 2 ? (r->sense[2] & 0x0F) : 0;
    uint8_t asc = r->sense.size() > 12 ? r->sense[12] : 0;
    char b[128];
    snprintf(b, sizeof b, "%s: SRB status 0x%02X, SCSI status 0x%02X, sense key 0x%X, ASC 0x%02X", what,
             r->srbStatus, r->scsiStatus, key, asc);
    if (key == 0x07) return Fail(EROFS, b);            // DATA PROTECT
    if (key == 0x05 && asc == 0x21) return Fail(EINVAL, b);   // LBA out of range
    return Fail(EIO, b);
}

int ReadAligned(uint8_t* buf, uint64_t lba, uint32_t bytes) {
    while (bytes) {
        uint32_t n = std::min(bytes, kMaxTransfer);
        HkScsiRequest rq;
        rq.cdb = Cdb16(0x88, lba, n / kSector);
        rq.dataInLength = n;
        HkScsiResult r;
        if (int e = Execute(rq, &r, "READ(16)")) return e;
        if (r.transferred != n) return Fail(EIO, "READ(16): short transfer");
        memcpy(buf, r.data.data(), n);
        buf += n;
        lba += n / kSector;
        bytes -= n;
    }
    return 0;
}

int WriteAligned(const uint8_t* buf, uint64_t lba, uint32_t bytes, bool fua) {
    while (bytes) {
        uint32_t n = std::min(bytes, kMaxTransfer);
        HkScsiRequest rq;
        rq.cdb = Cdb16(0x8A, lba, n / kSector, fua ? 0x08 : 0);
        rq.dataOut.assign(buf, buf + n);
        HkScsiResult r;
        if (int e = Execute(rq, &r, "WRITE(16)")) return e;
        buf += n;
        lba += n / kSector;
        bytes -= n;
    }
    return 0;
}

int Control(HkFile* f, uint32_t code, const std::vector<uint8_t>& in, uint32_t outLen, const char* what,
            HkIoResult* out = nullptr) {
    HkIoResult r = HkDeviceIoControl(f, code, in, outLen);
    if (out) *out = r;
    if (NT_SUCCESS(r.status)) return 0;
    char b[96];
    snprintf(b, sizeof b, "%s through the control device: status 0x%08X", what, (unsigned)r.status);
    return Fail(EIO, b);
}

int ManualActivation() {
    HkFile* f = nullptr;
    NTSTATUS st = HkOpenDevice("\\\\.\\ZelkoVd", g_set.machine.caller, &f);
    if (!NT_SUCCESS(st)) {
        char b[80];
        snprintf(b, sizeof b, "cannot open the control device: status 0x%08X", (unsigned)st);
        return Fail(EIO, b);
    }
    zc::SetConfigRecord cfg;
    memset(&cfg, 0, sizeof cfg);
    Field(cfg.serverIp, zc::kAddressChars, g_set.server);
    cfg.serverPort = g_set.port;
    Field(cfg.targetIqn, zc::kIqnChars, g_set.iqn);
    Field(cfg.clientId, zc::kAddressChars, g_set.clientId);
    cfg.readOnly = g_set.readOnly ? 1 : 0;
    cfg.superUser = g_set.token.empty() ? 0 : 1;
    Field(cfg.superUserToken, zc::kAddressChars, g_set.token);
    std::vector<uint8_t> in((const uint8_t*)&cfg, (const uint8_t*)&cfg + sizeof cfg);
    int e = Control(f, IOCTL_ZELKO_SET_CONFIG, in, 0, "SET_CONFIG");
    if (!e) e = Control(f, IOCTL_ZELKO_CONNECT, {}, 0, "CONNECT");
    if (!e) e = Control(f, IOCTL_ZELKO_HANDSHAKE, {}, 0, "HANDSHAKE");
    HkCloseFile(f);
    return e;
}

// READ CAPACITY(16) until the LUN has a size: LUN 0 answers NOT READY (or a size of 0) until
// its session is activated.
int WaitForSize() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(g_set.activationSeconds);
    for (;;) {
        HkScsiRequest rq;
        rq.cdb.assign(16, 0);
        rq.cdb[0] = 0x9E;
        rq.cdb[1] = 0x10;
        rq.cdb[13] = 32;
        rq.dataInLength = 32;
        HkScsiResult r;
        if (Execute(rq, &r, "READ CAPACITY(16)") == 0 && r.transferred >= 12) {
            uint64_t last = 0;
            uint32_t block = 0;
            for (int i = 0; i < 8; i++) last = last << 8 | r.data[i];
            for (int i = 8; i < 12; i++) block = block << 8 | r.data[i];
            if (block != kSector && block != 0) return Fail(EIO, "the LUN's blocks are not 512 bytes");
            if (block == kSector && last + 1 > 1) {
                g_size = (last + 1) * kSector;
                return 0;
            }
        }
        if (std::chrono::steady_clock::now() >= until)
            return Fail(ETIMEDOUT, "LUN " + std::to_string(g_set.lun) + " has no size after " +
                                       std::to_string(g_set.activationSeconds) + " s (not activated?); last: " + t_error);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// MODE SENSE(6)'s write-protect bit: the driver sets it for a read-only session.
int ReadProtection() {
    HkScsiRequest rq;
    rq.cdb = {0x1A, 0x00, 0x3F, 0x00, 4, 0x00};
    rq.dataInLength = 4;
    HkScsiResult r;
    if (int e = Execute(rq, &r, "MODE SENSE(6)")) return e;
    if (r.transferred < 3) return Fail(EIO, "MODE SENSE(6): short answer");
    g_writable = (r.data[2] & 0x80) == 0;
    return 0;
}

}  // namespace

extern "C" {

int zvd_config(const char* key, const char* value) {
    std::string k = key, v = value, err;
    zvhost::OptionResult r = zvhost::ApplyMachineOption(k, v, &g_set.machine, &err);
    if (r == zvhost::OptionResult::Bad) return Fail(EINVAL, err);
    if (r == zvhost::OptionResult::Applied) return 0;
    auto number = [&](unsigned long max, unsigned long* out) {
        char* end = nullptr;
        errno = 0;
        *out = strtoul(v.c_str(), &end, 10);
        return !v.empty() && !*end && !errno && *out <= max;
    };
    unsigned long n = 0;
    if (k == "lun") {
        if (!number(255, &n)) return Fail(EINVAL, "wants a LUN number (0 to 255)");
        g_set.lun = (unsigned)n;
    } else if (k == "server") {
        size_t colon = v.rfind(':');
        std::string p = colon == std::string::npos ? "" : v.substr(colon + 1);
        char* end = nullptr;
        unsigned long port = strtoul(p.c_str(), &end, 10);
        if (colon == 0 || p.empty() || *end || port == 0 || port > 65535) return Fail(EINVAL, "wants IP:PORT");
        g_set.server = v.substr(0, colon);
        g_set.port = (uint16_t)port;
    } else if (k == "iqn") {
        g_set.iqn = v;
    } else if (k == "token") {
        g_set.token = v;
    } else if (k == "client-id") {
        g_set.clientId = v;
    } else if (k == "commit") {
        if (v == "yes" || v == "true" || v == "1") g_set.commit = 1;
        else if (v == "no" || v == "false" || v == "0") g_set.commit = 0;
        else return Fail(EINVAL, "wants yes or no");
    } else if (k == "read-only") {
        if (v == "yes" || v == "true" || v == "1") g_set.readOnly = true;
        else if (v == "no" || v == "false" || v == "0") g_set.readOnly = false;
        else return Fail(EINVAL, "wants yes or no");
    } else if (k == "activation-timeout") {
        if (!number(3600, &n) || n == 0) return Fail(EINVAL, "wants seconds (1 to 3600)");
        g_set.activationSeconds = (unsigned)n;
    } else {
        return ENOENT;
    }
    return 0;
}

int zvd_start(void) {
    bool manual = !g_set.server.empty() || !g_set.iqn.empty();
    if (manual && (g_set.server.empty() || g_set.iqn.empty()))
        return Fail(EINVAL, "server= and iqn= go together");
    if ((!g_set.token.empty() || g_set.readOnly) && !manual)
        return Fail(EINVAL, "token= and read-only= need server= and iqn=");
    if (manual) {
        // The control device activates LUN 0; the thread must not race it.
        bool set = false;
        for (const auto& p : g_set.machine.params) set = set || p.first == "AutoActivate";
        if (!set) g_set.machine.params.emplace_back("AutoActivate", "0");
    }
    if (g_set.machine.logLevel >= 0) zvhost::SetDriverLogLevel(g_set.machine.logLevel);
    hk::test::SetPoolLeakReportAtExit(false);
    std::string err;
    if (!zvhost::PrepareMachine(g_set.machine, &err)) return Fail(EINVAL, err);
    NTSTATUS st = HkDriverLoad(DriverEntry, "ZelkoVd");
    g_loaded = HkDriverObject() != nullptr;
    if (!NT_SUCCESS(st) || !g_loaded) {
        char b[64];
        snprintf(b, sizeof b, "the driver did not load: status 0x%08X", (unsigned)st);
        return Fail(EIO, b);
    }
    if (manual) {
        if (g_set.lun != 0) return Fail(EINVAL, "server= activates LUN 0, not LUN " + std::to_string(g_set.lun));
        if (int e = ManualActivation()) return e;
    }
    if (int e = WaitForSize()) return e;
    return ReadProtection();
}

uint64_t zvd_size(void) { return g_size; }
int zvd_writable(void) { return g_writable ? 1 : 0; }

int zvd_pread(void* buf, uint32_t count, uint64_t offset) {
    uint8_t* out = (uint8_t*)buf;
    if (offset % kSector == 0 && count % kSector == 0) return ReadAligned(out, offset / kSector, count);
    uint64_t first = offset / kSector * kSector;
    uint64_t end = (offset + count + kSector - 1) / kSector * kSector;
    std::vector<uint8_t> span(end - first);
    if (int e = ReadAligned(span.data(), first / kSector, (uint32_t)span.size())) return e;
    memcpy(out, span.data() + (offset - first), count);
    return 0;
}

int zvd_pwrite(const void* buf, uint32_t count, uint64_t offset, int fua) {
    const uint8_t* in = (const uint8_t*)buf;
    if (offset % kSector == 0 && count % kSector == 0) return WriteAligned(in, offset / kSector, count, fua);
    uint64_t first = offset / kSector * kSector;
    uint64_t end = (offset + count + kSector - 1) / kSector * kSector;
    std::vector<uint8_t> span(end - first);
    std::lock_guard<std::mutex> g(g_rmw);
    // Only the partly written first and last sectors need their old bytes.
    if (int e = ReadAligned(span.data(), first / kSector, kSector)) return e;
    if (end - first > kSector)
        if (int e = ReadAligned(span.data() + span.size() - kSector, end / kSector - 1, kSector)) return e;
    memcpy(span.data() + (offset - first), in, count);
    return WriteAligned(span.data(), first / kSector, (uint32_t)span.size(), fua);
}

int zvd_flush(void) {
    HkScsiRequest rq;
    rq.cdb = Cdb16(0x91, 0, 0);
    HkScsiResult r;
    return Execute(rq, &r, "SYNCHRONIZE CACHE(16)");
}

int zvd_zero(uint32_t count, uint64_t offset, int fua) {
    uint64_t first = (offset + kSector - 1) / kSector * kSector;
    uint64_t end = (offset + count) / kSector * kSector;
    if (end <= first) {   // inside one sector, or across one boundary without a whole sector
        std::vector<uint8_t> z(count, 0);
        return zvd_pwrite(z.data(), count, offset, fua);
    }
    if (first > offset) {
        std::vector<uint8_t> z(first - offset, 0);
        if (int e = zvd_pwrite(z.data(), (uint32_t)z.size(), offset, fua)) return e;
    }
    HkScsiRequest rq;
    rq.cdb = Cdb16(0x93, first / kSector, (uint32_t)((end - first) / kSector), fua ? 0x08 : 0);
    rq.dataOut.assign(kSector, 0);
    HkScsiResult r;
    if (int e = Execute(rq, &r, "WRITE SAME(16)")) return e;
    if (offset + count > end) {
        std::vector<uint8_t> z(offset + count - end, 0);
        return zvd_pwrite(z.data(), (uint32_t)z.size(), end, fua);
    }
    return 0;
}

int zvd_stop(void) {
    if (!g_loaded) return 0;
    if (g_set.commit >= 0 && !g_set.token.empty()) {
        HkFile* f = nullptr;
        if (NT_SUCCESS(HkOpenDevice("\\\\.\\ZelkoVd", g_set.machine.caller, &f))) {
            std::vector<uint8_t> rq(sizeof(zc::ExitSuperUserRequest), 0);
            rq[0] = (uint8_t)g_set.commit;
            HkIoResult r;
            if (Control(f, IOCTL_ZELKO_EXIT_SUPER_USER, rq, sizeof(zc::ExitSuperUserRecord), "EXIT_SUPER_USER", &r))
                fprintf(stderr, "nbdkit-zelkovd: %s\n", t_error.c_str());
            else if (r.data.size() >= sizeof(zc::ExitSuperUserRecord)) {
                zc::ExitSuperUserRecord e;
                memcpy(&e, r.data.data(), sizeof e);
                fprintf(stderr, "nbdkit-zelkovd: super-user mode left (%s): %llu blocks, %llu bytes\n",
                        g_set.commit ? "merged" : "dropped", (unsigned long long)e.mergedBlocks,
                        (unsigned long long)e.mergedBytes);
            }
            HkCloseFile(f);
        }
    }
    HkUnloadReport rep = HkDriverUnload();
    g_loaded = false;
    for (const auto& l : rep.leaks) fprintf(stderr, "nbdkit-zelkovd: leak: %s\n", l.c_str());
    if (rep.leaks.empty()) fprintf(stderr, "nbdkit-zelkovd: driver unloaded, nothing leaked\n");
    return (int)rep.leaks.size();
}

const char* zvd_error(void) { return t_error.c_str(); }

}  // extern "C"
