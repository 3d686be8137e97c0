// zelkovd-host machine: the whole driver on the host kernel, as Windows would run it. The driver
// is loaded (DriverEntry, adapter start, first bus scan), then requests arrive as JSON lines on
// stdin: SCSI commands as the disk class driver sends them, control-device requests as a
// user-mode program makes them, rescans, waits, logs, registry and counters. Every answer is one
// JSON line on stdout, printed when its request completes, so a held READ does not hold up the
// requests after it. "stop" or the end of input unloads the driver and reports what it leaked.
#include "boot_trace.h"
#include "commands.h"

#include <hk_storport_test.h>
#include <hostkernel_test.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/AdapterInternal.h"
#include "json_line.h"
#include "json_read.h"
#include "machine_setup.h"

namespace zvhost {
namespace {

const char kMachineUsage[] =
    "usage: zelkovd-host machine [--hive FILE.reg]... [--param NAME=VALUE]... [--boot-info HEX|@FILE]\n"
    "                            [--c-dir DIR] [--object '\\??\\NAME=PATH']... [--caller admin|user]\n"
    "                            [--log-level N]\n"
    "Loads the driver, prints {\"event\":\"loaded\",...} and {\"event\":\"bus\",...} after every bus scan,\n"
    "then answers one JSON request per line on stdin (ops: scsi, ioctl, read, write, rescan, wait,\n"
    "log, registry, stats, stop). See tools/zelkovd-host/README.md.\n";

const char kControlName[] = "\\\\.\\ZelkoVd";

std::mutex g_out;   // one line at a time on stdout
// While the auto-activation thread runs, a wait for "activated" also waits for the thread's own
// outcome line, so that what follows the wait meets a disk whose held READs were released.
std::atomic<bool> g_watchingActivation{false};
std::atomic<bool> g_activationReported{false};

void Emit(const JsonLine& line) {
    std::lock_guard<std::mutex> g(g_out);
    line.Print(stdout);
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
std::string Hex(const std::vector<uint8_t>& v) { return Hex(v.data(), v.size()); }

std::string StatusText(uint32_t st) {
    char b[16];
    snprintf(b, sizeof b, "0x%08X", st);
    return b;
}

std::string Byte(uint8_t v) {
    char b[8];
    snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::string JsonString(const std::string& s) {
    JsonLine l;
    l.Str("s", s);
    std::string t = l.Text();   // {"s":"..."}
    return t.substr(5, t.size() - 6);
}

std::string JsonStringArray(const std::vector<std::string>& v) {
    std::string r = "[";
    for (size_t i = 0; i < v.size(); i++) r += (i ? "," : "") + JsonString(v[i]);
    return r + "]";
}

std::string BusJson(const std::vector<HkLunView>& view) {
    std::string r = "[";
    for (size_t i = 0; i < view.size(); i++) {
        JsonLine l;
        l.Num("lun", view[i].lun).Str("inquiry", Hex(view[i].inquiry)).Str("vpd83", Hex(view[i].vpd83)).Num(
            "capacity", view[i].capacity);
        r += (i ? "," : "") + l.Text();
    }
    return r + "]";
}

using Options = MachineOptions;

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kMachineUsage, stdout);
            exit(0);
        }
        std::string name = a.compare(0, 2, "--") == 0 ? a.substr(2) : std::string();
        std::string err;
        if (name.empty() || !IsMachineOption(name)) {
            fprintf(stderr, "zelkovd-host machine: unknown argument '%s'\n%s", a.c_str(), kMachineUsage);
            return false;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "zelkovd-host machine: %s needs a value\n", a.c_str());
            return false;
        }
        if (ApplyMachineOption(name, argv[++i], o, &err) == OptionResult::Bad) {
            fprintf(stderr, "zelkovd-host machine: %s\n", err.c_str());
            return false;
        }
    }
    return true;
}

bool Prepare(const Options& o) {
    std::string err;
    if (PrepareMachine(o, &err)) return true;
    fprintf(stderr, "zelkovd-host machine: %s\n", err.c_str());
    return false;
}

// ---------------------------------------------------------------------------------------------

class Machine {
public:
    Machine(const Options& o, std::chrono::steady_clock::time_point loadStart) : opt_(o), loadStart_(loadStart) {}

    // Answer skeleton: "op" and the echoed "id".
    JsonLine Answer(const std::string& op, const JsonObject& rq) {
        JsonLine l;
        l.Str("op", op);
        if (rq.Has("id")) l.Raw("id", rq.RawText("id"));
        return l;
    }
    void Error(const std::string& op, const JsonObject& rq, const std::string& what) {
        JsonLine l;
        if (op.empty()) l.Raw("op", "null");
        else l.Str("op", op);
        if (rq.Has("id")) l.Raw("id", rq.RawText("id"));
        l.Str("error", what);
        Emit(l);
    }

    bool Caller(const JsonObject& rq, HkCaller* c) {
        *c = opt_.caller;
        std::string t;
        if (!rq.Has("caller")) return true;
        return rq.GetString("caller", &t) && HkParseCaller(t, c);
    }

    void Scsi(const JsonObject& rq) {
        HkScsiRequest s;
        uint64_t lun, v;
        std::string cdb, out;
        if (!rq.GetU64("lun", &lun) || lun > 255) return Error("scsi", rq, "missing or bad \"lun\"");
        if (!rq.GetString("cdb", &cdb) || !ParseHex(cdb, &s.cdb) || s.cdb.empty() || s.cdb.size() > 16)
            return Error("scsi", rq, "missing or bad \"cdb\" (hex, 1 to 16 bytes)");
        s.lun = (UCHAR)lun;
        if (rq.Has("in")) {
            if (!rq.GetU64("in", &v) || v > 0x1000000) return Error("scsi", rq, "bad \"in\"");
            s.dataInLength = (uint32_t)v;
        }
        if (rq.Has("out")) {
            if (!rq.GetString("out", &out) || !ParseHex(out, &s.dataOut)) return Error("scsi", rq, "bad \"out\" (hex)");
            if (s.dataInLength && !s.dataOut.empty()) return Error("scsi", rq, "\"in\" and \"out\" together");
        }
        if (rq.Has("path")) {
            if (!rq.GetU64("path", &v) || v > 255) return Error("scsi", rq, "bad \"path\"");
            s.path = (UCHAR)v;
        }
        if (rq.Has("target")) {
            if (!rq.GetU64("target", &v) || v > 255) return Error("scsi", rq, "bad \"target\"");
            s.target = (UCHAR)v;
        }
        if (rq.Has("senseLen")) {
            if (!rq.GetU64("senseLen", &v) || v > 255) return Error("scsi", rq, "bad \"senseLen\"");
            s.senseLength = (uint8_t)v;
        }
        JsonLine base = Answer("scsi", rq);
        HkScsiSubmit(s, [base](uint64_t, const HkScsiResult& r) {
            JsonLine l = base;
            l.Str("srbStatus", Byte(r.srbStatus)).Str("scsiStatus", Byte(r.scsiStatus)).Num("transferred", r.transferred);
            l.Str("data", Hex(r.data)).Str("sense", Hex(r.sense));
            Emit(l);
        });
    }

    void Ioctl(const JsonObject& rq) {
        uint64_t code, outLen = 0;
        std::vector<uint8_t> in;
        std::string t;
        HkCaller caller;
        if (!rq.GetU64("code", &code) || code > 0xFFFFFFFFull) return Error("ioctl", rq, "missing or bad \"code\"");
        if (rq.Has("in") && (!rq.GetString("in", &t) || !ParseHex(t, &in))) return Error("ioctl", rq, "bad \"in\" (hex)");
        if (rq.Has("outLen") && (!rq.GetU64("outLen", &outLen) || outLen > 0x4000000))
            return Error("ioctl", rq, "bad \"outLen\"");
        if (!Caller(rq, &caller)) return Error("ioctl", rq, "bad \"caller\" (admin, user or system)");
        HkFile* f = nullptr;
        NTSTATUS st = HkOpenDevice(kControlName, caller, &f);
        JsonLine l = Answer("ioctl", rq);
        if (!NT_SUCCESS(st)) {
            l.Status((uint32_t)st).Str("stage", "open");
            return Emit(l);
        }
        HkIoResult r = HkDeviceIoControl(f, (ULONG)code, in, (ULONG)outLen);
        HkCloseFile(f);
        l.Status((uint32_t)r.status).Num("information", r.information).Str("out", Hex(r.data));
        Emit(l);
    }

    void ReadWrite(const JsonObject& rq, bool write) {
        const char* op = write ? "write" : "read";
        uint64_t offset, length = 0;
        std::vector<uint8_t> data;
        std::string t;
        HkCaller caller;
        if (!rq.GetU64("offset", &offset) || offset > (uint64_t)INT64_MAX) return Error(op, rq, "missing or bad \"offset\"");
        if (write) {
            if (!rq.GetString("data", &t) || !ParseHex(t, &data)) return Error(op, rq, "missing or bad \"data\" (hex)");
        } else if (!rq.GetU64("length", &length) || length > 0x4000000) {
            return Error(op, rq, "missing or bad \"length\"");
        }
        if (!Caller(rq, &caller)) return Error(op, rq, "bad \"caller\" (admin, user or system)");
        HkFile* f = nullptr;
        NTSTATUS st = HkOpenDevice(kControlName, caller, &f);
        JsonLine l = Answer(op, rq);
        if (!NT_SUCCESS(st)) {
            l.Status((uint32_t)st).Str("stage", "open");
            return Emit(l);
        }
        HkIoResult r = write ? HkWriteFile(f, (int64_t)offset, data) : HkReadFile(f, (int64_t)offset, (ULONG)length);
        HkCloseFile(f);
        l.Status((uint32_t)r.status).Num("information", r.information);
        if (!write) l.Str("data", Hex(r.data));
        Emit(l);
    }

    void Rescan(const JsonObject& rq) {
        uint64_t before = HkBusScanCount();
        HkRequestBusScan();
        bool done = HkWaitForBusScan(before, 60000);
        JsonLine l = Answer("rescan", rq);
        l.Bool("done", done).Num("luns", HkBusView().size());
        Emit(l);
    }

    // LUN 0's handshake flag, read under the LUN-table lock as the driver reads it.
    static bool Activated() {
        AdapterExt* a = g_AdapterExt;
        if (!a) return false;
        KIRQL old;
        KeAcquireSpinLock(&a->lunTableLock, &old);
        bool done = a->lunTable[0].present && a->lunTable[0].luExt && LuHandshakeDone(a->lunTable[0].luExt);
        KeReleaseSpinLock(&a->lunTableLock, old);
        return done;
    }

    void Wait(const JsonObject& rq) {
        uint64_t ms;
        if (!rq.GetU64("ms", &ms) || ms > 3600000) return Error("wait", rq, "missing or bad \"ms\"");
        std::string ev;
        JsonLine l = Answer("wait", rq);
        if (rq.Has("event")) {
            if (!rq.GetString("event", &ev) || ev != "activated") return Error("wait", rq, "unknown \"event\"");
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            auto ready = [] { return Activated() && (!g_watchingActivation || g_activationReported); };
            bool done = ready();
            while (!done && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                done = ready();
            }
            l.Str("event", ev).Bool("done", done);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            l.Num("ms", ms);
        }
        Emit(l);
    }

    void Log(const JsonObject& rq) {
        std::vector<hk::test::DbgLine> lines = hk::test::DbgLines();
        std::vector<std::string> debug;
        for (size_t i = dbgSeen_; i < lines.size(); i++) {
            std::string t = lines[i].text;
            while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
            debug.push_back(t);
        }
        dbgSeen_ = lines.size();
        std::vector<std::string> file;
        if (!opt_.cDir.empty()) {
            std::string all;
            if (ReadWholeFile(opt_.cDir + "/ZelkoVd.log", &all) && all.size() > fileSeen_) {
                // Only whole lines; a partly written one waits for the next request.
                size_t end = all.rfind('\n');
                if (end != std::string::npos && end + 1 > fileSeen_) {
                    std::string chunk = all.substr(fileSeen_, end + 1 - fileSeen_);
                    fileSeen_ = end + 1;
                    size_t s = 0;
                    while (s < chunk.size()) {
                        size_t e = chunk.find('\n', s);
                        std::string line = chunk.substr(s, e - s);
                        if (!line.empty() && line.back() == '\r') line.pop_back();
                        file.push_back(line);
                        s = e + 1;
                    }
                }
            }
        }
        JsonLine l = Answer("log", rq);
        l.Raw("debug", JsonStringArray(debug)).Raw("file", JsonStringArray(file));
        Emit(l);
    }

    void Registry(const JsonObject& rq) {
        std::string key;
        if (!rq.GetString("key", &key) || key.empty()) return Error("registry", rq, "missing \"key\"");
        std::u16string wkey;
        for (char c : key) wkey += (char16_t)(unsigned char)c;   // key paths are ASCII
        UNICODE_STRING name;
        name.Buffer = (PWCH)wkey.data();
        name.Length = name.MaximumLength = (USHORT)(wkey.size() * 2);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE h;
        JsonLine l = Answer("registry", rq);
        l.Str("key", key);
        NTSTATUS st = ZwOpenKey(&h, KEY_READ, &oa);
        if (!NT_SUCCESS(st)) {
            l.Status((uint32_t)st);
            return Emit(l);
        }
        std::string values = "{";
        std::vector<uint8_t> buf(65536);
        for (ULONG i = 0;; i++) {
            ULONG got = 0;
            st = ZwEnumerateValueKey(h, i, KeyValueFullInformation, buf.data(), (ULONG)buf.size(), &got);
            if (st == STATUS_NO_MORE_ENTRIES) {
                st = STATUS_SUCCESS;
                break;
            }
            if (!NT_SUCCESS(st)) break;
            auto* info = (PKEY_VALUE_FULL_INFORMATION)buf.data();
            std::string vname = ToUtf8((const char16_t*)info->Name, info->NameLength / 2);
            const uint8_t* data = buf.data() + info->DataOffset;
            std::string value;
            if (info->Type == REG_DWORD && info->DataLength == 4) {
                uint32_t d;
                memcpy(&d, data, 4);
                value = std::to_string(d);
            } else if (info->Type == REG_SZ || info->Type == REG_EXPAND_SZ) {
                size_t n = info->DataLength / 2;
                const char16_t* w = (const char16_t*)data;
                while (n && w[n - 1] == 0) n--;
                value = JsonString(ToUtf8(w, n));
            } else if (info->Type == REG_MULTI_SZ) {
                std::vector<std::string> parts;
                const char16_t* w = (const char16_t*)data;
                size_t n = info->DataLength / 2, s = 0;
                for (size_t k = 0; k < n; k++)
                    if (w[k] == 0) {
                        if (k > s) parts.push_back(ToUtf8(w + s, k - s));
                        s = k + 1;
                    }
                value = JsonStringArray(parts);
            } else {
                value = JsonString(Hex(data, info->DataLength));
            }
            values += (values.size() > 1 ? "," : "") + JsonString(vname) + ":" + value;
        }
        ZwClose(h);
        l.Status((uint32_t)st).Raw("values", values + "}");
        Emit(l);
    }

    // READ(16)s of one length from THREADS threads for SECONDS through the whole SCSI path (build,
    // start, worker, cache, session), as the disk class driver would send them: the measure of
    // what the adapter adds to the bare protocol (scripts/bench-driver.sh sets it beside
    // `zelkovd-host session bench-read`). "sequential" walks each thread through its own stretch
    // of the disk; otherwise offsets are random and 4 KiB aligned (the session bench's pattern).
    void Bench(const JsonObject& rq) {
        uint64_t lun = 0, length, threads = 1, seconds = 5;
        std::string pattern = "random";
        if (rq.Has("lun") && (!rq.GetU64("lun", &lun) || lun > 15)) return Error("bench", rq, "bad \"lun\"");
        if (!rq.GetU64("length", &length) || length < 512 || length > 0x100000 || length % 512)
            return Error("bench", rq, "missing or bad \"length\" (512 to 1048576, a multiple of 512)");
        if (rq.Has("threads") && (!rq.GetU64("threads", &threads) || threads < 1 || threads > 256))
            return Error("bench", rq, "bad \"threads\" (1 to 256)");
        if (rq.Has("seconds") && (!rq.GetU64("seconds", &seconds) || seconds < 1 || seconds > 3600))
            return Error("bench", rq, "bad \"seconds\" (1 to 3600)");
        if (rq.Has("pattern") && (!rq.GetString("pattern", &pattern) || (pattern != "random" && pattern != "sequential")))
            return Error("bench", rq, "bad \"pattern\" (random or sequential)");
        uint64_t capacity = 0;
        for (const auto& v : HkBusView())
            if (v.lun == lun) capacity = v.capacity;
        JsonLine l = Answer("bench", rq);
        if (capacity < length) {
            l.Str("error", "LUN not on the bus or smaller than one read (rescan after activation)");
            return Emit(l);
        }
        std::atomic<uint64_t> ios{0}, failures{0};
        std::atomic<bool> stop{false};
        const uint64_t slots = (capacity - length) / 4096 + 1;
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (uint64_t t = 0; t < threads; t++) {
            pool.emplace_back([&, t] {
                std::mt19937_64 rng(t * 7919 + 1);
                uint64_t next = (capacity / threads) * t / 4096 * 4096;
                // One buffer per thread that every READ lands in, as the session bench reads
                // into one buffer: the port then copies nothing, as Storport with the caller's
                // mapped pages.
                std::vector<uint8_t> buffer(length);
                HkScsiRequest s;
                s.lun = (UCHAR)lun;
                s.dataInLength = (uint32_t)length;
                s.dataInBuffer = buffer.data();
                s.cdb.assign(16, 0);
                s.cdb[0] = 0x88;
                uint32_t blocks = (uint32_t)(length / 512);
                for (int i = 0; i < 4; i++) s.cdb[10 + i] = (uint8_t)(blocks >> (24 - 8 * i));
                while (!stop.load(std::memory_order_relaxed)) {
                    uint64_t off;
                    if (pattern == "sequential") {
                        if (next + length > capacity) next = 0;
                        off = next;
                        next += length;
                    } else {
                        off = (rng() % slots) * 4096;
                    }
                    uint64_t lba = off / 512;
                    for (int i = 0; i < 8; i++) s.cdb[2 + i] = (uint8_t)(lba >> (56 - 8 * i));
                    HkScsiResult r = HkScsiExecute(s, 60000);
                    if (r.completed && r.srbStatus == SRB_STATUS_SUCCESS && r.transferred == length) ios++;
                    else failures++;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        stop = true;
        for (auto& th : pool) th.join();
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        uint64_t n = ios.load();
        char mbps[32], iops[32];
        snprintf(mbps, sizeof mbps, "%.1f", n * (double)length / secs / 1e6);
        snprintf(iops, sizeof iops, "%.0f", n / secs);
        l.Num("ios", n).Num("failures", failures.load()).Str("pattern", pattern).Raw("mbps", mbps).Raw("iops", iops);
        Emit(l);
    }

    // The boot-like trace (boot_trace.h, drawn for the LUN's capacity) replayed through the whole
    // SCSI path in trace order, `depth` READ(16)s in flight (1: one after the other, as the
    // cache benchmark replays it). The boot storm of scripts/bench-system.sh runs it in many
    // machines at once: `sinceLoadMs` is when the last read completed, counted from the
    // driver's load, on the same clock as the "activated" event's `ms`.
    void Replay(const JsonObject& rq) {
        uint64_t lun = 0, depth = 1;
        std::string trace = "boot";
        if (rq.Has("lun") && (!rq.GetU64("lun", &lun) || lun > 15)) return Error("replay", rq, "bad \"lun\"");
        if (rq.Has("depth") && (!rq.GetU64("depth", &depth) || depth < 1 || depth > 64))
            return Error("replay", rq, "bad \"depth\" (1 to 64)");
        if (rq.Has("trace") && (!rq.GetString("trace", &trace) || trace != "boot"))
            return Error("replay", rq, "unknown \"trace\" (boot)");
        uint64_t capacity = 0;
        for (const auto& v : HkBusView())
            if (v.lun == lun) capacity = v.capacity;
        JsonLine l = Answer("replay", rq);
        if (capacity < (1ull << 30)) {
            l.Str("error", "LUN not on the bus or smaller than the trace's 1 GiB (rescan after activation)");
            return Emit(l);
        }
        const std::vector<zvtrace::TraceRead> reads = zvtrace::BootTrace(capacity);
        std::atomic<size_t> next{0};
        std::atomic<uint64_t> bytes{0}, failures{0};
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (uint64_t t = 0; t < depth; t++)
            pool.emplace_back([&] {
                std::vector<uint8_t> buffer(64 * 1024);
                for (size_t i; (i = next.fetch_add(1)) < reads.size();) {
                    const zvtrace::TraceRead& r = reads[i];
                    HkScsiRequest s;
                    s.lun = (UCHAR)lun;
                    s.dataInLength = r.length;
                    if (buffer.size() < r.length) buffer.resize(r.length);
                    s.dataInBuffer = buffer.data();
                    s.cdb.assign(16, 0);
                    s.cdb[0] = 0x88;
                    uint64_t lba = r.offset / 512;
                    uint32_t blocks = r.length / 512;
                    for (int k = 0; k < 8; k++) s.cdb[2 + k] = (uint8_t)(lba >> (56 - 8 * k));
                    for (int k = 0; k < 4; k++) s.cdb[10 + k] = (uint8_t)(blocks >> (24 - 8 * k));
                    HkScsiResult res = HkScsiExecute(s, 60000);
                    if (res.completed && res.srbStatus == SRB_STATUS_SUCCESS && res.transferred == r.length)
                        bytes += r.length;
                    else
                        failures++;
                }
            });
        for (auto& th : pool) th.join();
        auto t1 = std::chrono::steady_clock::now();
        double secs = std::chrono::duration<double>(t1 - t0).count();
        char mbps[32];
        snprintf(mbps, sizeof mbps, "%.1f", bytes.load() / secs / 1e6);
        l.Str("trace", trace).Num("reads", reads.size()).Num("bytes", bytes.load()).Num("failures", failures.load());
        l.Num("ms", (uint64_t)(secs * 1000)).Raw("mbps", mbps);
        l.Num("sinceLoadMs", (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(t1 - loadStart_).count());
        Emit(l);
    }

    void Stats(const JsonObject& rq) {
        HkPortCounters c = HkPortStats();
        JsonLine l = Answer("stats", rq);
        l.Num("busChanges", c.busChanges).Num("completions", c.completions).Num("scans", c.scans);
        l.Num("outstandingSrbs", c.outstandingSrbs);
        AdapterExt* a = g_AdapterExt;
        l.Num("workItemHits", a ? (uint64_t)a->workItemPool.hits : 0);
        l.Num("workItemMisses", a ? (uint64_t)a->workItemPool.misses : 0);
        Emit(l);
    }

    static std::string ToUtf8(const char16_t* w, size_t n) {
        std::string s;
        for (size_t i = 0; i < n; i++) {
            uint32_t c = w[i];
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
            if (c < 0x80) {
                s += (char)c;
            } else if (c < 0x800) {
                s += (char)(0xC0 | c >> 6);
                s += (char)(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                s += (char)(0xE0 | c >> 12);
                s += (char)(0x80 | ((c >> 6) & 0x3F));
                s += (char)(0x80 | (c & 0x3F));
            } else {
                s += (char)(0xF0 | c >> 18);
                s += (char)(0x80 | ((c >> 12) & 0x3F));
                s += (char)(0x80 | ((c >> 6) & 0x3F));
                s += (char)(0x80 | (c & 0x3F));
            }
        }
        return s;
    }

    // Returns false on "stop".
    bool Handle(const std::string& line) {
        JsonObject rq;
        std::string err, op;
        if (!rq.Parse(line, &err)) {
            Error("", rq, "bad JSON: " + err);
            return true;
        }
        if (!rq.GetString("op", &op)) {
            Error("", rq, "missing \"op\"");
            return true;
        }
        if (op == "scsi") Scsi(rq);
        else if (op == "ioctl") Ioctl(rq);
        else if (op == "read") ReadWrite(rq, false);
        else if (op == "write") ReadWrite(rq, true);
        else if (op == "rescan") Rescan(rq);
        else if (op == "wait") Wait(rq);
        else if (op == "log") Log(rq);
        else if (op == "registry") Registry(rq);
        else if (op == "stats") Stats(rq);
        else if (op == "bench") Bench(rq);
        else if (op == "replay") Replay(rq);
        else if (op == "stop") return false;
        else Error(op, rq, "unknown op");
        return true;
    }

private:
    const Options& opt_;
    std::chrono::steady_clock::time_point loadStart_;
    size_t dbgSeen_ = 0;
    size_t fileSeen_ = 0;
};

// Watches the auto-activation thread and prints its outcome once:
//   {"event":"activated","size":BYTES,"readOnly":B,"superUser":B,"udp":B,"ms":N} when LUN 0's held
//   READs were released (N = milliseconds since the driver load began), or
//   {"event":"activation-failed","ms":N} when the thread ended without that.
class ActivationWatch {
public:
    explicit ActivationWatch(std::chrono::steady_clock::time_point start) : start_(start) {
        running_ = InterlockedCompareExchange(&ActivationThreadRunning, 0, 0) != 0;
        if (running_ || Released()) {
            g_watchingActivation = true;
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~ActivationWatch() { Stop(); }
    // Before the unload: the watch reads LUN 0, which the unload frees.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    // LUN 0's activation event, set by WakeupPendingReads; read under the LUN-table lock.
    static bool Released(ULONGLONG* size = nullptr, bool* readOnly = nullptr, bool* superUser = nullptr) {
        AdapterExt* a = g_AdapterExt;
        if (!a) return false;
        KIRQL old;
        KeAcquireSpinLock(&a->lunTableLock, &old);
        LuExt* lu = a->lunTable[0].present ? a->lunTable[0].luExt : nullptr;
        bool done = lu && KeReadStateEvent(&lu->activatedEvent) != 0;
        if (done && size) *size = LuTargetSize(lu);
        if (done && readOnly) *readOnly = LuReadOnly(lu);
        if (done && superUser) *superUser = LuSuperUser(lu);
        KeReleaseSpinLock(&a->lunTableLock, old);
        return done;
    }

    void Run() {
        while (!stop_) {
            ULONGLONG size = 0;
            bool readOnly = false, superUser = false;
            bool done = Released(&size, &readOnly, &superUser);
            uint64_t ms = (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start_).count();
            if (done) {
                JsonLine l;
                l.Str("event", "activated").Num("size", size).Bool("readOnly", readOnly).Bool("superUser", superUser);
                l.Bool("udp", WskUdp_IsActive() != FALSE).Num("ms", ms);
                Emit(l);
                g_activationReported = true;
                return;
            }
            if (InterlockedCompareExchange(&ActivationThreadRunning, 0, 0) == 0 && !Released()) {
                JsonLine l;
                l.Str("event", "activation-failed").Num("ms", ms);
                Emit(l);
                g_activationReported = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::chrono::steady_clock::time_point start_;
    std::atomic<bool> stop_{false};
    bool running_ = false;
    std::thread thread_;
};

}  // namespace

int MachineCommand(int argc, char** argv) {
    Options opt;
    if (!ParseOptions(argc, argv, &opt)) return 2;
    if (opt.logLevel >= 0) SetDriverLogLevel(opt.logLevel);
    hk::test::SetPoolLeakReportAtExit(false);
    if (!Prepare(opt)) return 2;

    // Scans print as they finish; the first one only after the "loaded" line.
    std::mutex scanLock;
    bool loaded = false;
    std::vector<HkLunView> firstView;
    bool haveFirst = false;
    HkSetBusScanCallback([&](const std::vector<HkLunView>& view) {
        std::lock_guard<std::mutex> g(scanLock);
        if (!loaded) {
            firstView = view;
            haveFirst = true;
            return;
        }
        JsonLine l;
        l.Str("event", "bus").Raw("luns", BusJson(view));
        Emit(l);
    });
    uint64_t mark = hk::test::PoolMark();
    auto loadStart = std::chrono::steady_clock::now();
    NTSTATUS st = HkDriverLoad(DriverEntry, "ZelkoVd");
    {
        std::lock_guard<std::mutex> g(scanLock);
        JsonLine l;
        l.Str("event", "loaded").Str("status", StatusText((uint32_t)st));
        Emit(l);
        loaded = true;
        if (haveFirst) {
            JsonLine b;
            b.Str("event", "bus").Raw("luns", BusJson(firstView));
            Emit(b);
        }
    }
    if (!HkDriverObject()) {
        // DriverEntry failed: nothing is loaded; report what it left behind.
        std::vector<std::string> leaks;
        std::string pool = hk::test::PoolLeaksSince(mark);
        std::istringstream ss(pool);
        for (std::string l; std::getline(ss, l);)
            if (!l.empty()) leaks.push_back(l);
        JsonLine l;
        l.Str("event", "unloaded").Raw("leaks", JsonStringArray(leaks));
        Emit(l);
        return 1;
    }

    ActivationWatch watch(loadStart);
    Machine m(opt, loadStart);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        if (!m.Handle(line)) break;
    }
    watch.Stop();
    HkUnloadReport rep = HkDriverUnload();
    JsonLine l;
    l.Str("event", "unloaded").Raw("leaks", JsonStringArray(rep.leaks));
    Emit(l);
    return (NT_SUCCESS(st) && rep.leaks.empty()) ? 0 : 1;
}

}  // namespace zvhost
