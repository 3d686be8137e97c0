// The UDP channel's receive path against a hostile server: the driver's channel is up towards a
// datagram socket of this harness on loopback, one request is waiting for its answer, and the
// "server" sends the fuzzer's datagrams (answers, PushBlocks, runts, wrong magic, whatever).
//
//   byte 0      the waiting request's answer room: 0, 16, 512, 4096, 65483 bytes, ... (low 3 bits)
//   then        datagrams, each: length (u16 little-endian), flags (bit 0: put the waiting
//               request's seq into bytes 8..11), the bytes
//
// After the datagrams the harness sends a true answer, so the request ends without waiting for
// its retransmissions. What must hold: no crash, no out-of-bounds access (the answer room and the
// PushBlock handler's view of the data are checked by ASan), every datagram accounted for in the
// channel's statistics, and an answer copied within the room with the length it carried.
#include "ProtoFuzzSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

int g_server = -1;                 // the harness's "disk server" socket
sockaddr_in g_driver{};            // where the driver's channel receives
ULONG g_seq = 1000;
volatile uint8_t g_pushSum;        // keeps the handler's reads
std::vector<uint8_t> g_previous;   // the input before this one (the stall depends on what came before)

ULONG PushHandler(ULONGLONG offset, ULONG length, const VOID* data) {
    // Read every byte the handler is given: ASan checks that they lie in the receive buffer.
    uint8_t sum = 0;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (ULONG i = 0; i < length; i++) sum = (uint8_t)(sum + p[i]);
    g_pushSum = sum;
    return (ULONG)((offset / 4096) & 1);
}

// The Read request with `seq` (acknowledgements of earlier pushes may still come in first).
bool ReceiveRequest(ULONG seq, sockaddr_in* from) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd p{g_server, POLLIN, 0};
        // libFuzzer's timeout alarm interrupts the poll now and then (EINTR): poll again.
        if (poll(&p, 1, 1000) != 1) continue;
        uint8_t buf[2048];
        socklen_t fl = sizeof(*from);
        ssize_t n = recvfrom(g_server, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(from), &fl);
        wire::MessageHeader h;
        if (n < (ssize_t)sizeof(h)) continue;
        std::memcpy(&h, buf, sizeof(h));
        if (h.opcode == wire::OpRead && h.seq == seq) return true;
    }
}

// PROTO_FUZZ_GDB=1: before dying, every thread's stack and the channel's state through gdb (the
// stall this reports has been seen only after thousands of iterations on a loaded machine).
[[noreturn]] void DieWithChannelState(const char* what) {
    if (std::getenv("PROTO_FUZZ_GDB")) {
        char script[] = "/tmp/proto-udp-gdb.XXXXXX";
        int fd = mkstemp(script);
        if (fd >= 0) {
            const char cmds[] = "set print pretty on\nthread apply all bt 12\np 'WskUdp.cpp'::g_udp.remote\n"
                                "p 'WskUdp.cpp'::g_udp.sendRefs\np 'WskUdp.cpp'::g_udp.window\n";
            (void)!write(fd, cmds, sizeof(cmds) - 1);
            close(fd);
            char cmd[256];
            std::snprintf(cmd, sizeof(cmd), "gdb -p %d -batch -x %s >&2 2>/dev/null; cat /proc/net/udp >&2", (int)getpid(), script);
            (void)!std::system(cmd);
            unlink(script);
        }
        FILE* f = std::fopen("/tmp/proto-udp-previous-input", "wb");
        if (f) {
            std::fwrite(g_previous.data(), 1, g_previous.size(), f);
            std::fclose(f);
        }
    }
    WSKUDP_STATS s;
    WskUdp_GetStats(&s);
    for (const auto& l : hk::test::DbgLines()) std::fprintf(stderr, "  log: %s", l.text.c_str());
    Die("%s (provider sends %u, active %d, sends %lld, answers %lld, late %lld, invalid %lld, pushes %lld, timeouts %lld)", what,
        HkWskTestCalls(HkWskOpSend), (int)WskUdp_IsActive(), (long long)s.sends, (long long)s.answers, (long long)s.lateDropped,
        (long long)s.invalidDropped, (long long)s.pushedBlocks, (long long)s.timeouts);
}

void SendTo(const void* p, size_t n) {
    (void)sendto(g_server, p, n, 0, reinterpret_cast<const sockaddr*>(&g_driver), sizeof(g_driver));
}

void DrainServer() {
    uint8_t buf[2048];
    while (recv(g_server, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

LONG64 Accounted() {
    WSKUDP_STATS s;
    WskUdp_GetStats(&s);
    return s.answers + s.lateDropped + s.invalidDropped + s.pushedBlocks;
}

struct Pending {
    ULONG seq;
    ULONG capacity;
    std::unique_ptr<uint8_t[]> answer;
    wire::MessageHeader answerHeader{};
    ULONG carried = 0;
    SIZE_T got = 0;
    std::thread thread;

    Pending(ULONG s, ULONG cap) : seq(s), capacity(cap), answer(new uint8_t[cap ? cap : 1]) {
        thread = std::thread([this] {
            wire::MessageHeader req{wire::kMagic, wire::kVersion, wire::OpRead, 0, seq, 0, capacity};
            got = WskUdp_SendRecvEx(&req, sizeof(req), capacity ? answer.get() : nullptr, capacity, &answerHeader, &carried);
        });
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    protofuzz::StartMachine();
    g_server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int big = 4 << 20;
    setsockopt(g_server, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    if (bind(g_server, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(g_server, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        Die("cannot bind the server socket");
    if (!NT_SUCCESS(WskUdp_Initialize())) Die("WskUdp_Initialize failed");
    if (!NT_SUCCESS(WskUdp_Connect(L"127.0.0.1", ntohs(a.sin_port)))) Die("WskUdp_Connect failed");
    WskUdp_RegisterPushBlock(PushHandler);
    // One honest exchange teaches the harness where the driver's channel receives.
    Pending first(g_seq++, 4);
    if (!ReceiveRequest(first.seq, &g_driver)) Die("the channel sent no request");
    uint8_t answer[28] = {};
    wire::MessageHeader ok{wire::kMagic, wire::kVersion, wire::OpRespOk, wire::FlagData, first.seq, 0, 4};
    std::memcpy(answer, &ok, sizeof(ok));
    SendTo(answer, sizeof(answer));
    first.thread.join();
    if (first.got != 4) Die("the honest answer was not taken");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const ULONG rooms[8] = {0, 16, 512, 4096, WSKUDP_MAX_READ, 1, 24, 65536};
    ULONG capacity = rooms[data[0] & 7];
    DrainServer();
    LONG64 before = Accounted();
    Pending p(g_seq++, capacity);
    sockaddr_in from{};
    if (!ReceiveRequest(p.seq, &from)) DieWithChannelState("the channel sent no request");

    // The datagrams; empty ones never reach the receive path (a receive of 0 bytes is no datagram).
    size_t at = 1;
    LONG64 sent = 0;
    size_t bytes = 0;
    std::vector<uint8_t> d;
    while (at + 3 <= size && sent < 16) {
        size_t n = data[at] | (data[at + 1] << 8);
        uint8_t flags = data[at + 2];
        at += 3;
        n = std::min(n, size - at);
        d.assign(data + at, data + at + n);
        at += n;
        if (n == 0) continue;
        // The loopback socket buffer holds this much for certain; more could be lost.
        if (bytes + n > 150000) break;
        if ((flags & 1) && n >= 12) std::memcpy(d.data() + 8, &p.seq, 4);
        SendTo(d.data(), n);
        bytes += n;
        sent++;
    }
    // The true answer: ends the request if no datagram above did.
    std::vector<uint8_t> truth(sizeof(wire::MessageHeader) + capacity, 0x5A);
    wire::MessageHeader ok{wire::kMagic, wire::kVersion, wire::OpRespOk, wire::FlagData, p.seq, 0, capacity};
    std::memcpy(truth.data(), &ok, sizeof(ok));
    SendTo(truth.data(), truth.size() > 65507 ? 65507 : truth.size());
    sent++;
    p.thread.join();

    // Every datagram is counted by the receive thread once it went through the path.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Accounted() - before < sent) {
        if (std::chrono::steady_clock::now() > deadline)
            DieWithChannelState("not every datagram went through the receive path");
        std::this_thread::yield();
    }
    if (p.got != WSKUDP_FAILED) {
        if (p.got > capacity) Die("answer of %zu bytes in a room of %u", (size_t)p.got, capacity);
        if (p.got != std::min<ULONG>(p.carried, capacity)) Die("copied %zu of %u carried bytes", (size_t)p.got, p.carried);
        if (p.answerHeader.seq != p.seq) Die("an answer to seq %u taken for seq %u", p.answerHeader.seq, p.seq);
    }
    hk::test::ClearDbgLines();
    g_previous.assign(data, data + size);
    return 0;
}
