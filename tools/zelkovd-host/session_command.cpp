// zelkovd-host session: runs the driver's protocol code (on the host kernel) against a disk
// server, one OP after another on one session, and prints one JSON line per OP.
#include "commands.h"

#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include "json_line.h"
#include "protocol/ZelkoProtocol.h"
#include "sha256.h"

namespace zvhost {
namespace {

namespace wire = zelko::wire;

const char kSessionUsage[] =
    "usage: zelkovd-host session --server IP:PORT --iqn IQN [--client-id ID] [--read-only]\n"
    "                            [--super-user TOKEN] [--log-level N] [--udp [--udp-loss PERCENT]] OP...\n"
    "OPs, run in order on one session:\n"
    "  connect | handshake | disconnect | ping | stats | sleep MS\n"
    "  read OFF LEN [FILE]            write OFF FILE\n"
    "  batch-read OFF:LEN[,OFF:LEN...] [FILE]\n"
    "  batch-write OFF:LEN[,OFF:LEN...] FILE\n"
    "  exit-super 0|1 | migration-status KEY | path-deregister ID REASON | negotiate MASK\n"
    "With --udp (the data path a LUN uses: UDP for reads that fit one datagram, else TCP):\n"
    "  udp-connect | udp-read OFF LEN [FILE] | udp-write OFF FILE\n"
    "  bench-read LEN THREADS SECONDS [seq]   random (or sequential) reads of LEN bytes through the\n"
    "                                         data path\n"
    "bench-write FILE BLOCK: writes every BLOCK-sized piece of FILE that is not all zero at its own\n"
    "  offset, one Write each, and prints the time the writes took (the bare protocol's share of\n"
    "  an upload of FILE)\n"
    "--udp-loss PERCENT loses that share of the channel's datagrams in each direction.\n"
    "Each OP prints one JSON line with \"op\" and \"status\"; driver debug output goes to stderr.\n"
    "The exit code is 0 only when every OP succeeded.\n";

struct Op {
    std::string name;
    std::vector<std::string> args;
};

// Argument counts: minimum and maximum after the OP name.
bool OpArity(const std::string& op, size_t* lo, size_t* hi) {
    struct A {
        const char* n;
        size_t lo, hi;
    } table[] = {
        {"connect", 0, 0}, {"handshake", 0, 0}, {"disconnect", 0, 0}, {"ping", 0, 0}, {"stats", 0, 0},
        {"sleep", 1, 1}, {"read", 2, 3}, {"write", 2, 2}, {"batch-read", 1, 2}, {"batch-write", 2, 2},
        {"exit-super", 1, 1}, {"migration-status", 1, 1}, {"path-deregister", 2, 2}, {"negotiate", 1, 1},
        {"udp-connect", 0, 0}, {"udp-read", 2, 3}, {"udp-write", 2, 2}, {"bench-read", 3, 4},
        {"bench-write", 2, 2},
    };
    for (const auto& a : table) {
        if (op == a.n) {
            *lo = a.lo;
            *hi = a.hi;
            return true;
        }
    }
    return false;
}

bool IsOpName(const std::string& s) {
    size_t lo, hi;
    return OpArity(s, &lo, &hi);
}

bool ParseU64(const std::string& s, uint64_t* v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(s.c_str(), &end, 0);
    if (errno || *end || s[0] == '-') return false;
    *v = x;
    return true;
}

bool ParseSegments(const std::string& s, std::vector<wire::BatchSegment>* out) {
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        size_t colon = item.find(':');
        uint64_t off, len;
        if (colon == std::string::npos || !ParseU64(item.substr(0, colon), &off) ||
            !ParseU64(item.substr(colon + 1), &len) || len > 0xFFFFFFFFu)
            return false;
        out->push_back(wire::BatchSegment{off, (uint32_t)len});
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return !out->empty();
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    data->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
    return (bool)f;
}

void SetWide(WCHAR* dst, size_t units, const std::string& text) {
    size_t i = 0;
    for (; i < text.size() && i + 1 < units; i++) dst[i] = (WCHAR)(unsigned char)text[i];
    dst[i] = 0;
}

// Host-side failures of an OP (a file that cannot be read, say) are reported with this status.
constexpr uint32_t kHostFailure = 0xC0000001u;  // STATUS_UNSUCCESSFUL

class SessionRunner {
public:
    explicit SessionRunner(PPROTOCOL_SESSION s) : s_(s) {}

    // Runs one OP and prints its line; returns whether it succeeded.
    bool Run(const Op& op) {
        JsonLine fields;
        NTSTATUS st = Dispatch(op, fields);
        JsonLine line;
        line.Str("op", op.name).Status((uint32_t)st).Append(fields).Print();
        return NT_SUCCESS(st);
    }

private:
    NTSTATUS Dispatch(const Op& op, JsonLine& j) {
        const auto& a = op.args;
        if (op.name == "connect") {
            NTSTATUS st = WskClient_Connect(s_);
            j.Bool("connected", s_->connected).Num("connects", (uint64_t)s_->stats.connects);
            return st;
        }
        if (op.name == "handshake") {
            NTSTATUS st = ProtocolClient_Handshake(s_);
            if (NT_SUCCESS(st)) {
                j.Num("sid", s_->sessionId)
                    .Num("size", s_->targetSize)
                    .Num("blockSize", s_->blockSize)
                    .Bool("readOnly", s_->readOnly)
                    .Bool("superUser", s_->superUser)
                    .Num("imageVersion", s_->imageVersion);
            }
            return st;
        }
        if (op.name == "disconnect") {
            WskClient_Disconnect(s_);
            j.Bool("connected", s_->connected);
            return STATUS_SUCCESS;
        }
        if (op.name == "read" || op.name == "udp-read") {
            uint64_t off, len;
            ParseU64(a[0], &off);
            ParseU64(a[1], &len);
            std::vector<uint8_t> buf(len);
            NTSTATUS st;
            if (op.name == "read") {
                ULONGLONG got = 0;
                st = ProtocolClient_Read(s_, off, (ULONG)len, buf.data(), &got);
                j.Num("offset", off).Num("bytes", NT_SUCCESS(st) ? got : 0);
            } else {
                ULONG path = PROTO_TRANSPORT_TCP;
                st = ReadFromRemoteEx(s_, off, (ULONG)len, buf.data(), &path);
                j.Num("offset", off).Num("bytes", NT_SUCCESS(st) ? len : 0).Str("path", PathName(path));
            }
            if (!NT_SUCCESS(st)) return st;
            j.Str("sha256", Sha256Hex(buf.data(), buf.size()));
            if (a.size() > 2 && !WriteFile(a[2], buf)) {
                j.Str("error", "cannot write " + a[2]);
                return kHostFailure;
            }
            return st;
        }
        if (op.name == "write") {
            uint64_t off;
            ParseU64(a[0], &off);
            std::vector<uint8_t> data;
            if (!ReadFile(a[1], &data) || data.empty() || data.size() > 0xFFFFFFFFu) {
                j.Str("error", "cannot read " + a[1] + " (or it is empty)");
                return kHostFailure;
            }
            ULONGLONG written = 0;
            NTSTATUS st = ProtocolClient_Write(s_, off, (ULONG)data.size(), data.data(), &written);
            j.Num("offset", off).Num("bytes", data.size()).Num("bytesWritten", written);
            j.Str("sha256", Sha256Hex(data.data(), data.size()));
            return st;
        }
        if (op.name == "batch-read" || op.name == "batch-write") {
            std::vector<wire::BatchSegment> segs;
            ParseSegments(a[0], &segs);
            uint64_t total = 0;
            for (const auto& sg : segs) total += sg.length;
            j.Num("segments", segs.size());
            if (op.name == "batch-read") {
                std::vector<uint8_t> buf(total);
                NTSTATUS st = ProtocolClient_BatchRead(s_, segs.data(), (ULONG)segs.size(), buf.data());
                j.Num("bytes", NT_SUCCESS(st) ? total : 0);
                if (!NT_SUCCESS(st)) return st;
                j.Str("sha256", Sha256Hex(buf.data(), buf.size()));
                if (a.size() > 1 && !WriteFile(a[1], buf)) {
                    j.Str("error", "cannot write " + a[1]);
                    return kHostFailure;
                }
                return st;
            }
            std::vector<uint8_t> data;
            if (!ReadFile(a[1], &data) || data.size() < total) {
                j.Str("error", "cannot read " + std::to_string(total) + " bytes from " + a[1]);
                return kHostFailure;
            }
            data.resize(total);
            NTSTATUS st = ProtocolClient_BatchWrite(s_, segs.data(), (ULONG)segs.size(), data.data(), (ULONG)total);
            j.Num("bytes", total).Str("sha256", Sha256Hex(data.data(), data.size()));
            return st;
        }
        if (op.name == "ping") {
            NTSTATUS st = ProtocolClient_Ping(s_);
            j.Num("pongs", (uint64_t)s_->stats.pongs).Num("pingFailures", (uint64_t)s_->stats.pingFailures);
            return st;
        }
        if (op.name == "exit-super") {
            ULONGLONG blocks = 0, bytes = 0;
            NTSTATUS st = ProtocolClient_ExitSuperUser(s_, a[0] == "1", &blocks, &bytes);
            j.Bool("commit", a[0] == "1").Num("blocks", blocks).Num("bytes", bytes).Bool("superUser", s_->superUser);
            return st;
        }
        if (op.name == "migration-status") {
            wire::MigrationStatusResponse rec{};
            NTSTATUS st = ProtocolClient_MigrationStatus(s_, a[0].c_str(), &rec);
            if (NT_SUCCESS(st)) {
                j.Num("active", rec.active)
                    .Num("field4", rec.field4)
                    .Num("field8", rec.field8)
                    .Num("dirty", rec.dirty)
                    .Num("field24", rec.field24)
                    .Num("total", rec.total)
                    .Num("field40", rec.field40);
            }
            return st;
        }
        if (op.name == "path-deregister") {
            uint64_t id, reason;
            ParseU64(a[0], &id);
            ParseU64(a[1], &reason);
            NTSTATUS st = ProtocolClient_PathDeregister(s_, (ULONG)id, (ULONG)reason);
            j.Num("pathId", id).Num("reason", reason);
            return st;
        }
        if (op.name == "negotiate") {
            uint64_t mask;
            ParseU64(a[0], &mask);
            NTSTATUS st = ProtocolClient_TransportNegotiate(s_, (ULONG)mask);
            if (NT_SUCCESS(st)) j.Num("serverMask", s_->serverMask).Num("udpPort", s_->udpPort).Num("rdmaPort", s_->rdmaPort);
            return st;
        }
        if (op.name == "udp-connect") {
            NTSTATUS st = ProtocolClient_StartUdp(s_);
            j.Num("serverMask", s_->serverMask).Num("udpPort", s_->udpPort).Bool("udpActive", WskUdp_IsActive());
            return st;
        }
        if (op.name == "udp-write") {
            uint64_t off;
            ParseU64(a[0], &off);
            std::vector<uint8_t> data;
            if (!ReadFile(a[1], &data) || data.empty() || data.size() > 0xFFFFFFFFu) {
                j.Str("error", "cannot read " + a[1] + " (or it is empty)");
                return kHostFailure;
            }
            NTSTATUS st = WriteToRemote(s_, off, (ULONG)data.size(), data.data());
            // Writes always take TCP: only its answer confirms that the data arrived.
            j.Num("offset", off).Num("bytes", data.size()).Num("bytesWritten", NT_SUCCESS(st) ? data.size() : 0);
            j.Str("sha256", Sha256Hex(data.data(), data.size())).Str("path", "tcp");
            return st;
        }
        if (op.name == "bench-read") return BenchRead(a, j);
        if (op.name == "bench-write") return BenchWrite(a, j);
        if (op.name == "stats") {
            const auto& t = s_->stats;
            j.Num("connects", (uint64_t)t.connects)
                .Num("reconnects", (uint64_t)t.reconnects)
                .Num("waitTimeouts", (uint64_t)t.waitTimeouts)
                .Num("abandonedPackets", (uint64_t)t.abandonedPackets)
                .Num("bytesSent", (uint64_t)t.bytesSent)
                .Num("bytesReceived", (uint64_t)t.bytesReceived)
                .Num("poolHits", (uint32_t)t.poolHits)
                .Num("poolMisses", (uint32_t)t.poolMisses)
                .Num("pongs", (uint64_t)t.pongs)
                .Num("pingFailures", (uint64_t)t.pingFailures)
                .Bool("connected", s_->connected)
                .Bool("handshakeDone", s_->handshakeDone)
                .Num("currentTransport", s_->currentTransport);
            if (udp_) {
                WSKUDP_STATS u;
                WskUdp_GetStats(&u);
                j.Bool("udpActive", WskUdp_IsActive())
                    .Num("udpSends", (uint64_t)u.sends)
                    .Num("udpRetransmits", (uint64_t)u.retransmits)
                    .Num("udpTimeouts", (uint64_t)u.timeouts)
                    .Num("udpLateDropped", (uint64_t)u.lateDropped)
                    .Num("udpPushedBlocks", (uint64_t)u.pushedBlocks)
                    .Num("udpReads", (uint64_t)s_->dataPath.udpReads)
                    .Num("udpFallbacks", (uint64_t)s_->dataPath.udpFallbacks)
                    .Num("tcpReads", (uint64_t)s_->dataPath.tcpReads);
            }
            return STATUS_SUCCESS;
        }
        if (op.name == "sleep") {
            uint64_t ms;
            ParseU64(a[0], &ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            j.Num("ms", ms);
            return STATUS_SUCCESS;
        }
        return kHostFailure;
    }

    // The writes an upload of FILE makes, without the upload: the pieces are picked before the
    // clock starts, so only ProtocolClient_Write is timed.
    NTSTATUS BenchWrite(const std::vector<std::string>& a, JsonLine& j) {
        uint64_t block = 0;
        ParseU64(a[1], &block);
        std::vector<uint8_t> data;
        if (!ReadFile(a[0], &data) || data.empty()) {
            j.Str("error", "cannot read " + a[0] + " (or it is empty)");
            return kHostFailure;
        }
        std::vector<uint64_t> pieces;
        for (uint64_t off = 0; off < data.size(); off += block) {
            uint64_t n = std::min<uint64_t>(block, data.size() - off);
            const uint8_t* p = data.data() + off;
            if (std::any_of(p, p + n, [](uint8_t b) { return b != 0; })) pieces.push_back(off);
        }
        uint64_t bytes = 0;
        NTSTATUS st = STATUS_SUCCESS;
        timespec c0{}, c1{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
        auto t0 = std::chrono::steady_clock::now();
        for (uint64_t off : pieces) {
            ULONG n = (ULONG)std::min<uint64_t>(block, data.size() - off);
            ULONGLONG written = 0;
            st = ProtocolClient_Write(s_, off, n, data.data() + off, &written);
            if (!NT_SUCCESS(st)) break;
            bytes += written;
        }
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
        double cpu = (c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) / 1e9;
        j.Num("writes", pieces.size()).Num("bytes", bytes).Raw("cpuSeconds", std::to_string(cpu));
        j.Raw("seconds", std::to_string(secs)).Raw("mbps", std::to_string(secs > 0 ? bytes / 1048576.0 / secs : 0));
        return st;
    }

    static const char* PathName(ULONG path) { return path == PROTO_TRANSPORT_UDP ? "udp" : "tcp"; }

    // Random reads of one size from THREADS threads for SECONDS through the data path choice, on
    // this one session, as the LUN's I/O workers would issue them.
    NTSTATUS BenchRead(const std::vector<std::string>& a, JsonLine& j) {
        uint64_t len, threads, seconds;
        ParseU64(a[0], &len);
        ParseU64(a[1], &threads);
        ParseU64(a[2], &seconds);
        if (s_->targetSize < len) return STATUS_INVALID_PARAMETER;
        uint64_t slots = (s_->targetSize - len) / 4096 + 1;
        std::atomic<uint64_t> ios{0}, failures{0};
        std::atomic<bool> stop{false};
        LONG64 udpBefore = s_->dataPath.udpReads, tcpBefore = s_->dataPath.tcpReads;
        auto t0 = std::chrono::steady_clock::now();
        // "seq": each thread walks its own stretch of the disk (as zelkovd-host machine's bench).
        const bool sequential = a.size() > 3;
        const uint64_t size = s_->targetSize;
        std::vector<std::thread> pool;
        for (uint64_t t = 0; t < threads; t++) {
            pool.emplace_back([&, t] {
                std::mt19937_64 rng(t * 7919 + 1);
                std::vector<uint8_t> buf(len);
                uint64_t next = size / threads * t / 4096 * 4096;
                while (!stop.load(std::memory_order_relaxed)) {
                    uint64_t off;
                    if (sequential) {
                        if (next + len > size) next = 0;
                        off = next;
                        next += len;
                    } else {
                        off = (rng() % slots) * 4096;
                    }
                    if (NT_SUCCESS(ReadFromRemote(s_, off, (ULONG)len, buf.data()))) ios++;
                    else failures++;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        stop = true;
        for (auto& th : pool) th.join();
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        uint64_t n = ios.load();
        uint64_t udpReads = (uint64_t)(s_->dataPath.udpReads - udpBefore);
        uint64_t tcpReads = (uint64_t)(s_->dataPath.tcpReads - tcpBefore);
        char mbps[32], iops[32];
        snprintf(mbps, sizeof(mbps), "%.1f", (double)(n * len) / secs / 1e6);
        snprintf(iops, sizeof(iops), "%.0f", (double)n / secs);
        j.Num("length", len)
            .Num("threads", threads)
            .Num("ios", n)
            .Num("failures", failures.load())
            .Num("udpReads", udpReads)
            .Num("tcpReads", tcpReads)
            .Str("path", udpReads > tcpReads ? "udp" : "tcp")
            .Str("mbps", mbps)
            .Str("iops", iops);
        return failures.load() == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }

    PPROTOCOL_SESSION s_;

public:
    bool udp_ = false;
};

// Checks the arguments of one OP beyond their count, so that a typo fails before anything runs.
bool ValidateOp(const Op& op, std::string* why) {
    const auto& a = op.args;
    uint64_t v;
    std::vector<wire::BatchSegment> segs;
    if (op.name == "sleep" || op.name == "negotiate") {
        if (!ParseU64(a[0], &v)) return *why = "not a number: " + a[0], false;
    } else if (op.name == "bench-read") {
        uint64_t len, th, sec;
        if (!ParseU64(a[0], &len) || len == 0 || len > (16u << 20) || !ParseU64(a[1], &th) || th == 0 || th > 256 ||
            !ParseU64(a[2], &sec) || sec == 0 || sec > 3600)
            return *why = "bench-read LEN THREADS SECONDS: LEN 1 to 16777216, THREADS 1 to 256, SECONDS 1 to 3600", false;
        if (a.size() > 3 && a[3] != "seq") return *why = "bench-read: the fourth argument can only be seq", false;
    } else if (op.name == "bench-write") {
        if (!ParseU64(a[1], &v) || v == 0 || v > (16u << 20))
            return *why = "bench-write FILE BLOCK: BLOCK 1 to 16777216", false;
    } else if (op.name == "read" || op.name == "udp-read") {
        if (!ParseU64(a[0], &v) || !ParseU64(a[1], &v) || v == 0 || v > (256u << 20))
            return *why = "read OFF LEN: LEN must be 1 to 268435456", false;
    } else if (op.name == "write" || op.name == "udp-write") {
        if (!ParseU64(a[0], &v)) return *why = "not an offset: " + a[0], false;
    } else if (op.name == "batch-read" || op.name == "batch-write") {
        if (!ParseSegments(a[0], &segs)) return *why = "segments must be OFF:LEN[,OFF:LEN...]: " + a[0], false;
    } else if (op.name == "exit-super") {
        if (a[0] != "0" && a[0] != "1") return *why = "exit-super takes 0 or 1", false;
    } else if (op.name == "path-deregister") {
        if (!ParseU64(a[0], &v) || v > 0xFFFFFFFFu || !ParseU64(a[1], &v) || v > 0xFFFFFFFFu)
            return *why = "path-deregister ID REASON: two 32-bit numbers", false;
    }
    return true;
}

}  // namespace

int SessionCommand(int argc, char** argv) {
    std::string server, iqn, clientId = "zelkovd-host", token;
    bool readOnly = false, superUser = false, udp = false;
    double udpLoss = 0;
    long logLevel = -1;
    std::vector<Op> ops;
    int i = 0;
    auto need = [&](const char* flag) -> const char* {
        if (i + 1 >= argc) {
            fprintf(stderr, "zelkovd-host session: %s needs a value\n%s", flag, kSessionUsage);
            exit(2);
        }
        return argv[++i];
    };
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--server") server = need("--server");
        else if (a == "--iqn") iqn = need("--iqn");
        else if (a == "--client-id") clientId = need("--client-id");
        else if (a == "--read-only") readOnly = true;
        else if (a == "--super-user") superUser = true, token = need("--super-user");
        else if (a == "--log-level") logLevel = strtol(need("--log-level"), nullptr, 10);
        else if (a == "--udp") udp = true;
        else if (a == "--udp-loss") udpLoss = strtod(need("--udp-loss"), nullptr);
        else if (a == "-h" || a == "--help") {
            fputs(kSessionUsage, stdout);
            return 0;
        } else if (IsOpName(a)) {
            Op op;
            op.name = a;
            size_t lo, hi;
            OpArity(a, &lo, &hi);
            while (op.args.size() < hi && i + 1 < argc && !IsOpName(argv[i + 1]) &&
                   (op.args.size() < lo || argv[i + 1][0] != '-'))
                op.args.push_back(argv[++i]);
            if (op.args.size() < lo) {
                fprintf(stderr, "zelkovd-host session: %s needs %zu argument(s)\n%s", a.c_str(), lo, kSessionUsage);
                return 2;
            }
            std::string why;
            if (!ValidateOp(op, &why)) {
                fprintf(stderr, "zelkovd-host session: %s\n", why.c_str());
                return 2;
            }
            ops.push_back(op);
        } else {
            fprintf(stderr, "zelkovd-host session: unknown argument '%s'\n%s", a.c_str(), kSessionUsage);
            return 2;
        }
    }
    size_t colon = server.rfind(':');
    uint64_t port = 0;
    if (server.empty() || colon == std::string::npos || !ParseU64(server.substr(colon + 1), &port) || port == 0 ||
        port > 65535 || iqn.empty() || ops.empty()) {
        fprintf(stderr, "zelkovd-host session: --server IP:PORT, --iqn and at least one OP are required\n%s",
                kSessionUsage);
        return 2;
    }
    for (const Op& op : ops) {
        if (!udp && (op.name.rfind("udp-", 0) == 0 || op.name == "bench-read")) {
            fprintf(stderr, "zelkovd-host session: %s needs --udp\n%s", op.name.c_str(), kSessionUsage);
            return 2;
        }
    }
    if (udpLoss < 0 || udpLoss > 100) {
        fprintf(stderr, "zelkovd-host session: --udp-loss takes 0 to 100\n");
        return 2;
    }
    if (logLevel >= 0) SetDriverLogLevel(logLevel);

    // The driver's debug output is the admin's trace of what happened: on stderr.
    hk::test::SetDbgEcho(true);

    auto* s = static_cast<PPROTOCOL_SESSION>(std::aligned_alloc(64, (sizeof(PROTOCOL_SESSION) + 63) / 64 * 64));
    memset(s, 0, sizeof(*s));
    ProtocolSession_Init(s, 0);
    SetWide(s->serverIp, PROTO_SERVER_IP_UNITS, server.substr(0, colon));
    s->serverPort = (USHORT)port;
    SetWide(s->targetIqn, PROTO_IQN_UNITS, iqn);
    SetWide(s->clientId, PROTO_CLIENT_ID_UNITS, clientId);
    s->readOnly = readOnly ? TRUE : FALSE;
    if (superUser) {
        s->superUser = TRUE;
        SetWide(s->superUserToken, PROTO_TOKEN_UNITS, token);
    }

    if (udp) {
        if (udpLoss > 0) {
            HK_DGRAM_FAULTS loss{};
            loss.dropPerMillion = (ULONG)(udpLoss * 10000);
            loss.seed = 1;
            HkWskTestDatagramFaults(HkDgramOutbound, &loss);
            loss.seed = 2;
            HkWskTestDatagramFaults(HkDgramInbound, &loss);
        }
        WskUdp_Initialize();
    }

    bool allOk = true;
    SessionRunner runner(s);
    runner.udp_ = udp;
    for (const Op& op : ops) allOk = runner.Run(op) && allOk;

    // The session first: its teardown stops the UDP retry timer, which could bring the channel
    // back up behind a cleanup.
    ProtocolSession_Teardown(s);
    free(s);
    if (udp) WskUdp_Cleanup();
    WskClient_Cleanup();
    return allOk ? 0 : 1;
}

}  // namespace zvhost
