// zelko-diskd-bench: read throughput of a running zelko-diskd, or of an NBD server, over TCP.
//
//   zelko-diskd-bench --port P (--iqn IQN | --nbd EXPORT) [--clients N] [--mode seq|rand]
//                     [--block BYTES] [--seconds S] [--server-pid PID] [--once]
//
// --once (with --mode seq): the clients read the whole image once, each its own slice, and
// stop; a warm-up pass that leaves the server in the state of one that has served the image
// for a while.
//
// Every client is one connection with its own Handshake, issuing one request at a time as the
// driver does. With --nbd the same loop speaks NBD instead (fixed newstyle handshake with
// NBD_OPT_EXPORT_NAME, simple replies to NBD_CMD_READ; "" names the default export), so that
// both servers are measured by one client. Prints one line: logical MB/s (MiB = 2^20 bytes of
// disk data), IOPS, wire MB/s and, with --server-pid, the server's CPU seconds (user + system)
// per GiB of disk data served.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZelkoWire.h"

namespace wire = zelko::wire;

namespace {

bool SendAll(int fd, const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    while (n) {
        ssize_t r = send(fd, b, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool RecvAll(int fd, void* p, size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    while (n) {
        ssize_t r = recv(fd, b, n, 0);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

double ServerCpuSeconds(int pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto rp = s.rfind(')');
    if (rp == std::string::npos) return 0;
    std::vector<std::string> f;
    size_t pos = rp + 2;
    while (pos < s.size()) {
        size_t sp = s.find(' ', pos);
        if (sp == std::string::npos) sp = s.size();
        f.push_back(s.substr(pos, sp - pos));
        pos = sp + 1;
    }
    // Fields after the command: state is index 0, utime 11, stime 12.
    if (f.size() < 13) return 0;
    return (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int Dial(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// NBD is big-endian throughout.
void PutBe(uint8_t* p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
uint64_t GetBe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

constexpr uint64_t kNbdMagic = 0x4e42444d41474943ull;   // "NBDMAGIC"
constexpr uint64_t kNbdOptMagic = 0x49484156454f5054ull;  // "IHAVEOPT"
constexpr uint32_t kNbdRequestMagic = 0x25609513;
constexpr uint32_t kNbdSimpleReplyMagic = 0x67446698;
constexpr uint16_t kNbdFlagFixedNewstyle = 1, kNbdFlagNoZeroes = 2;
constexpr uint32_t kNbdOptExportName = 1;
constexpr uint16_t kNbdCmdRead = 0, kNbdCmdDisc = 2;

int ConnectNbd(uint16_t port, const std::string& exportName, uint64_t* size) {
    int fd = Dial(port);
    if (fd < 0) return -1;
    uint8_t greet[18];
    if (!RecvAll(fd, greet, sizeof greet) || GetBe(greet, 8) != kNbdMagic || GetBe(greet + 8, 8) != kNbdOptMagic ||
        !(GetBe(greet + 16, 2) & kNbdFlagFixedNewstyle)) {
        close(fd);
        return -1;
    }
    bool noZeroes = GetBe(greet + 16, 2) & kNbdFlagNoZeroes;
    uint8_t clientFlags[4];
    PutBe(clientFlags, kNbdFlagFixedNewstyle | (noZeroes ? kNbdFlagNoZeroes : 0), 4);
    std::vector<uint8_t> opt(16);
    PutBe(opt.data(), kNbdOptMagic, 8);
    PutBe(opt.data() + 8, kNbdOptExportName, 4);
    PutBe(opt.data() + 12, exportName.size(), 4);
    opt.insert(opt.end(), exportName.begin(), exportName.end());
    // The answer to NBD_OPT_EXPORT_NAME: size, transmission flags, and 124 zero bytes unless
    // both sides agreed to leave them out.
    uint8_t reply[10 + 124];
    size_t replyLen = noZeroes ? 10 : sizeof reply;
    if (!SendAll(fd, clientFlags, sizeof clientFlags) || !SendAll(fd, opt.data(), opt.size()) ||
        !RecvAll(fd, reply, replyLen)) {
        close(fd);
        return -1;
    }
    *size = GetBe(reply, 8);
    return fd;
}

// One NBD read: request, simple reply, data. False on any failure or error reply.
bool NbdRead(int fd, uint64_t handle, uint64_t offset, uint32_t len, uint8_t* buf) {
    uint8_t req[28];
    PutBe(req, kNbdRequestMagic, 4);
    PutBe(req + 4, 0, 2);
    PutBe(req + 6, kNbdCmdRead, 2);
    PutBe(req + 8, handle, 8);
    PutBe(req + 16, offset, 8);
    PutBe(req + 24, len, 4);
    uint8_t rep[16];
    return SendAll(fd, req, sizeof req) && RecvAll(fd, rep, sizeof rep) && GetBe(rep, 4) == kNbdSimpleReplyMagic &&
           GetBe(rep + 4, 4) == 0 && GetBe(rep + 8, 8) == handle && RecvAll(fd, buf, len);
}

void NbdDisconnect(int fd) {
    uint8_t req[28] = {};
    PutBe(req, kNbdRequestMagic, 4);
    PutBe(req + 6, kNbdCmdDisc, 2);
    SendAll(fd, req, sizeof req);
}

int Connect(uint16_t port, const std::string& iqn, const std::string& clientId, uint64_t* size) {
    int fd = Dial(port);
    if (fd < 0) return -1;
    std::vector<uint8_t> rec(12, 0);
    rec[0] = 1;
    for (const std::string* s : {&iqn, &clientId}) {
        rec.push_back(static_cast<uint8_t>(s->size()));
        rec.push_back(static_cast<uint8_t>(s->size() >> 8));
        rec.insert(rec.end(), s->begin(), s->end());
    }
    wire::MessageHeader h{wire::kMagic, 1, wire::OpHandshake, wire::FlagReadOnly, 2, 0,
                          static_cast<uint32_t>(rec.size() - 12)};
    SendAll(fd, &h, sizeof h);
    SendAll(fd, rec.data(), rec.size());
    wire::MessageHeader r;
    wire::HandshakeResponse body;
    if (!RecvAll(fd, &r, sizeof r) || r.opcode != wire::OpRespOk || !RecvAll(fd, &body, sizeof body)) {
        close(fd);
        return -1;
    }
    *size = body.size;
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t port = 9501;
    std::string iqn;
    std::string nbdExport;
    bool nbd = false;
    unsigned clients = 1;
    std::string mode = "seq";
    uint32_t block = 1 << 20;
    double seconds = 5;
    int serverPid = 0;
    bool once = false;
    for (int i = 1; i < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--once") {
            once = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "option %s wants a value\n", a.c_str());
            return 2;
        }
        std::string v = argv[i + 1];
        if (a == "--port") port = static_cast<uint16_t>(std::stoul(v));
        else if (a == "--iqn") iqn = v;
        else if (a == "--nbd") nbd = true, nbdExport = v;
        else if (a == "--clients") clients = static_cast<unsigned>(std::stoul(v));
        else if (a == "--mode") mode = v;
        else if (a == "--block") block = static_cast<uint32_t>(std::stoul(v));
        else if (a == "--seconds") seconds = std::stod(v);
        else if (a == "--server-pid") serverPid = std::stoi(v);
        else {
            fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (iqn.empty() == !nbd) {
        fprintf(stderr, "usage: zelko-diskd-bench --port P (--iqn IQN | --nbd EXPORT) [--clients N] [--mode seq|rand] "
                        "[--block BYTES] [--seconds S] [--server-pid PID] [--once]\n");
        return 2;
    }
    std::atomic<uint64_t> ops{0}, bytes{0}, wireBytes{0};
    std::atomic<bool> stop{false}, failed{false};
    std::vector<int> fds;
    uint64_t size = 0;
    for (unsigned c = 0; c < clients; ++c) {
        int fd = nbd ? ConnectNbd(port, nbdExport, &size) : Connect(port, iqn, "bench-" + std::to_string(c), &size);
        if (fd < 0) {
            fprintf(stderr, "cannot connect/handshake client %u\n", c);
            return 1;
        }
        fds.push_back(fd);
    }
    double cpu0 = ServerCpuSeconds(serverPid);
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            int fd = fds[c];
            std::vector<uint8_t> buf(wire::CompressedWorstCase(block) + 64);
            std::mt19937_64 rng(c + 1);
            uint64_t blocks = size / block;
            uint64_t next = (blocks / clients) * c;
            uint64_t sliceEnd = c + 1 == clients ? blocks : next + blocks / clients;
            uint32_t seq = 2;
            while (!stop && !(once && next >= sliceEnd)) {
                uint64_t b = mode == "seq" ? (next++ % blocks) : (rng() % blocks);
                if (nbd) {
                    if (!NbdRead(fd, ++seq, b * block, block, buf.data())) {
                        failed = true;
                        return;
                    }
                    ops++;
                    bytes += block;
                    wireBytes += block + 16;
                    continue;
                }
                wire::MessageHeader h{wire::kMagic, 1, wire::OpRead, 0, ++seq, b * block, block};
                wire::MessageHeader r;
                if (!SendAll(fd, &h, sizeof h) || !RecvAll(fd, &r, sizeof r) || r.opcode != wire::OpRespOk ||
                    r.length > buf.size() || !RecvAll(fd, buf.data(), r.length)) {
                    failed = true;
                    return;
                }
                ops++;
                bytes += block;
                wireBytes += r.length + sizeof r;
            }
        });
    }
    if (!once) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        stop = true;
    }
    for (auto& t : threads) t.join();
    double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = ServerCpuSeconds(serverPid) - cpu0;
    for (int fd : fds) {
        if (nbd) NbdDisconnect(fd);
        close(fd);
    }
    if (failed) {
        fprintf(stderr, "a request failed\n");
        return 1;
    }
    double gib = static_cast<double>(bytes.load()) / (1u << 30);
    printf("mode=%s block=%u clients=%u  %.1f MB/s  %.0f IOPS  wire %.1f MB/s", mode.c_str(), block, clients,
           static_cast<double>(bytes.load()) / dt / (1 << 20), static_cast<double>(ops.load()) / dt,
           static_cast<double>(wireBytes.load()) / dt / (1 << 20));
    if (serverPid > 0) printf("  server CPU %.3f s/GiB", gib > 0 ? cpu / gib : 0.0);
    printf("\n");
    return 0;
}
