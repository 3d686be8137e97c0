#include "diskd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "compress.h"

namespace diskd_test {

TempDir::TempDir() {
    char tmpl[] = "/tmp/zelko-diskd-test.XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) { /* best effort */ }
}

uint8_t PatternByte(uint64_t offset) {
    uint64_t block = offset / 4096;
    if (offset >= (2u << 20) || block % 3 == 2) return 0;
    return static_cast<uint8_t>((offset * 7 + block * 13 + 1) & 0xFF);
}

void MakeImage(const std::string& path, uint64_t size) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) throw std::runtime_error("cannot create image");
    std::vector<uint8_t> block(4096);
    for (uint64_t off = 0; off < std::min<uint64_t>(size, 2u << 20); off += 4096) {
        if ((off / 4096) % 3 == 2) continue;
        for (size_t i = 0; i < 4096; ++i) block[i] = PatternByte(off + i);
        if (pwrite(fd, block.data(), 4096, static_cast<off_t>(off)) != 4096) throw std::runtime_error("pwrite");
    }
    close(fd);
}

std::vector<uint8_t> ReadFileRange(const std::string& path, uint64_t offset, size_t len) {
    std::vector<uint8_t> out(len);
    int fd = open(path.c_str(), O_RDONLY);
    ssize_t n = fd >= 0 ? pread(fd, out.data(), len, static_cast<off_t>(offset)) : -1;
    if (fd >= 0) close(fd);
    if (n < 0) throw std::runtime_error("pread " + path);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

Server::Server(const std::string& dir, std::vector<std::string> args) {
    std::string ready = dir + "/ready.json";
    unlink(ready.c_str());
    logPath_ = dir + "/diskd.log";
    std::vector<std::string> full = {ZELKO_DISKD_BINARY, "--data-dir", dir + "/data", "--listen", "127.0.0.1:0",
                                     "--admin-listen", "127.0.0.1:0", "--ready-file", ready, "--log-level", "debug"};
    full.insert(full.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (auto& a : full) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(ready);
        if (in) {
            try {
                auto j = nlohmann::json::parse(in);
                tcp_ = j.at("tcpPort");
                udp_ = j.at("udpPort");
                admin_ = j.at("adminPort");
                return;
            } catch (...) {
            }
        }
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill9();
}

Server::~Server() {
    if (pid_ > 0) Stop();
}

namespace {

// Where a server that does not stop is: per thread its state, the kernel function it sleeps in
// and its kernel stack, the pending and blocked signals (is SIGTERM, bit 15, pending and with
// whom?), and the user-space stacks when gdb is installed. Appended to the server's log, which
// the failing expectation prints.
void DumpStuckProcess(pid_t pid, const std::string& logPath) {
    std::string p = std::to_string(pid);
    std::string script =
        "exec >>'" + logPath + "' 2>&1; echo '==== server pid " + p + " did not stop after SIGTERM: diagnostics'; "
        "grep -E '^(State|Threads|SigQ|SigPnd|ShdPnd|SigBlk|SigIgn|SigCgt):' /proc/" + p + "/status; "
        "for t in /proc/" + p + "/task/*; do "
        "echo \"== task ${t##*/} $(cat $t/comm) state=$(cut -d' ' -f3 $t/stat) wchan=$(cat $t/wchan)\"; "
        "grep -E '^Sig(Pnd|Blk):' $t/status; cat $t/stack 2>/dev/null; done; "
        "if command -v gdb >/dev/null; then timeout 30 gdb -batch -nx -p " + p +
        " -ex 'thread apply all bt' 2>&1 | grep -v '^\\[New LWP'; fi; echo '==== end of diagnostics'";
    if (system(script.c_str()) != 0) { /* best effort */ }
}

}  // namespace

int Server::Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int st = 0;
    // 10 s is far more than a stop takes; past that the state of the process is recorded
    // while it is still stuck, and it gets 20 s more (a file system stalled by a loaded
    // machine is slow, not broken) before it is killed.
    for (int i = 0; i < 3000; ++i) {
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        }
        if (i == 1000) {
            DumpStuckProcess(pid_, logPath_);
            fprintf(stderr, "zelko-diskd pid %d did not stop within 10 s; diagnostics in %s\n", static_cast<int>(pid_),
                    logPath_.c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Kill9();
    return -1;
}

void Server::Kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
    pid_ = -1;
}

std::string Server::Log() const {
    std::ifstream in(logPath_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Server::WaitLog(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (Log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<uint8_t> EncodeHeader(const Header& h) {
    std::vector<uint8_t> out(24);
    memcpy(&out[0], &h.magic, 4);
    memcpy(&out[4], &h.version, 2);
    out[6] = h.opcode;
    out[7] = h.flags;
    memcpy(&out[8], &h.seq, 4);
    memcpy(&out[12], &h.offset, 8);
    memcpy(&out[20], &h.length, 4);
    return out;
}

Header DecodeHeader(const uint8_t* p) {
    Header h;
    memcpy(&h.magic, p, 4);
    memcpy(&h.version, p + 4, 2);
    h.opcode = p[6];
    h.flags = p[7];
    memcpy(&h.seq, p + 8, 4);
    memcpy(&h.offset, p + 12, 8);
    memcpy(&h.length, p + 20, 4);
    return h;
}

Client::Client(uint16_t port, int rcvBuf) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvBuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

Client::~Client() {
    if (fd_ >= 0) close(fd_);
}

void Client::Send(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

std::optional<std::vector<uint8_t>> Client::Recv(size_t n, int timeoutMs) {
    std::vector<uint8_t> out(n);
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return std::nullopt;
        ssize_t r = recv(fd_, out.data() + got, n - got, 0);
        if (r <= 0) return std::nullopt;
        got += static_cast<size_t>(r);
    }
    return out;
}

std::optional<Header> Client::RecvHeader(int timeoutMs) {
    auto b = Recv(24, timeoutMs);
    if (!b) return std::nullopt;
    return DecodeHeader(b->data());
}

bool Client::WaitReadable(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

bool Client::WaitClosed(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return false;
        ssize_t r = recv(fd_, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
        if (r < 0) return false;
    }
}

std::vector<uint8_t> Client::HandshakeRequest(const std::string& iqn, const std::string& clientId,
                                              const std::string* token, uint8_t extraFlags) {
    std::vector<uint8_t> rec(12, 0);
    rec[0] = 1;
    auto put = [&](const std::string& s) {
        rec.push_back(static_cast<uint8_t>(s.size() & 0xFF));
        rec.push_back(static_cast<uint8_t>(s.size() >> 8));
        rec.insert(rec.end(), s.begin(), s.end());
    };
    put(iqn);
    put(clientId);
    if (token) put(*token);
    Header h;
    h.opcode = wire::OpHandshake;
    h.flags = static_cast<uint8_t>((token ? wire::FlagSuperUser : 0) | extraFlags);
    h.seq = NextSeq();
    h.length = static_cast<uint32_t>(rec.size() - 12);
    auto out = EncodeHeader(h);
    out.insert(out.end(), rec.begin(), rec.end());
    return out;
}

std::optional<HandshakeAnswer> Client::Handshake(const std::string& iqn, const std::string& clientId,
                                                 const std::string* token, uint8_t extraFlags) {
    Send(HandshakeRequest(iqn, clientId, token, extraFlags));
    HandshakeAnswer a;
    auto h = RecvHeader();
    if (!h) return std::nullopt;
    a.header = *h;
    if (h->opcode == wire::OpRespOk && h->length == 32) {
        auto b = Recv(32);
        if (!b) return std::nullopt;
        memcpy(&a.body, b->data(), 32);
    }
    return a;
}

std::optional<std::vector<uint8_t>> Client::Read(uint64_t offset, uint32_t len, uint32_t* errorCode,
                                                 bool* compressed) {
    Header h;
    h.opcode = wire::OpRead;
    h.seq = NextSeq();
    h.offset = offset;
    h.length = len;
    Send(EncodeHeader(h));
    auto r = RecvHeader();
    if (!r) return std::nullopt;
    if (r->opcode == wire::OpRespError) {
        if (errorCode) *errorCode = r->length;
        return std::nullopt;
    }
    if (r->opcode != wire::OpRespOk || !(r->flags & wire::FlagData) || r->seq != h.seq) return std::nullopt;
    auto data = Recv(r->length);
    if (!data) return std::nullopt;
    if (compressed) *compressed = (r->flags & wire::FlagCompressed) != 0;
    if (r->flags & wire::FlagCompressed) {
        std::vector<uint8_t> plain(len);
        if (!zelko::diskd::DecompressSequence(data->data(), data->size(), plain.data(), len)) return std::nullopt;
        return plain;
    }
    return data;
}

std::optional<Header> Client::Write(uint64_t offset, const std::vector<uint8_t>& data) {
    Header h;
    h.opcode = wire::OpWrite;
    h.flags = wire::FlagData;
    h.seq = NextSeq();
    h.offset = offset;
    h.length = static_cast<uint32_t>(data.size());
    auto out = EncodeHeader(h);
    out.insert(out.end(), data.begin(), data.end());
    Send(out);
    return RecvHeader();
}

std::optional<Header> Client::Exit(bool commit, wire::ExitSuperUserResponse* out) {
    Header h;
    h.opcode = wire::OpExitSuperUser;
    h.seq = NextSeq();
    h.length = 1;
    auto bytes = EncodeHeader(h);
    bytes.push_back(commit ? 1 : 0);
    Send(bytes);
    auto r = RecvHeader(30000);
    if (r && r->opcode == wire::OpRespOk && r->length == 16) {
        auto b = Recv(16);
        if (!b) return std::nullopt;
        if (out) memcpy(out, b->data(), 16);
    }
    return r;
}

std::optional<wire::TransportNegotiateResponse> Client::Negotiate(uint32_t mask) {
    Header h;
    h.opcode = wire::OpTransportNegotiate;
    h.seq = NextSeq();
    h.length = 16;
    auto bytes = EncodeHeader(h);
    wire::TransportNegotiateRequest req{mask, 0, 0, 1};
    const auto* p = reinterpret_cast<const uint8_t*>(&req);
    bytes.insert(bytes.end(), p, p + 16);
    Send(bytes);
    auto r = RecvHeader();
    if (!r || (r->opcode != wire::OpRespOk && r->opcode != wire::OpRespTransportNegotiate) || r->length != 24)
        return std::nullopt;
    auto b = Recv(24);
    if (!b) return std::nullopt;
    wire::TransportNegotiateResponse resp;
    memcpy(&resp, b->data(), 24);
    return resp;
}

UdpClient::UdpClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

UdpClient::~UdpClient() {
    if (fd_ >= 0) close(fd_);
}

void UdpClient::Send(const std::vector<uint8_t>& bytes) {
    if (send(fd_, bytes.data(), bytes.size(), 0) < 0) { /* the test sees the missing answer */ }
}

std::optional<std::vector<uint8_t>> UdpClient::Recv(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<uint8_t> buf(65536);
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
}

}  // namespace diskd_test
