// Test harness for zelko-diskd: runs the real binary in a temporary directory and talks to it
// byte by byte, without the driver.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ZelkoWire.h"

namespace diskd_test {

namespace wire = zelko::wire;

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A sparse image file of `size` bytes with a recognisable pattern in some blocks.
void MakeImage(const std::string& path, uint64_t size);
// The byte the pattern puts at `offset` (0 where MakeImage left a hole).
uint8_t PatternByte(uint64_t offset);
std::vector<uint8_t> ReadFileRange(const std::string& path, uint64_t offset, size_t len);

class Server {
public:
    // Starts zelko-diskd with `args` plus --data-dir, --listen 127.0.0.1:0, --admin-listen
    // 127.0.0.1:0 and --ready-file inside `dir`; waits until it is ready.
    Server(const std::string& dir, std::vector<std::string> args);
    ~Server();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    uint16_t tcpPort() const { return tcp_; }
    uint16_t udpPort() const { return udp_; }
    uint16_t adminPort() const { return admin_; }
    // SIGTERM and wait (30 s at most; past 10 s the process state is dumped into the log);
    // returns the exit status (or -1).
    int Stop();
    void Kill9();
    std::string Log() const;
    // Waits until the log contains `text` (true) or the timeout passes.
    bool WaitLog(const std::string& text, int timeoutMs = 5000) const;

private:
    pid_t pid_ = -1;
    std::string logPath_;
    uint16_t tcp_ = 0, udp_ = 0, admin_ = 0;
};

struct Header {
    uint32_t magic = wire::kMagic;
    uint16_t version = 1;
    uint8_t opcode = 0;
    uint8_t flags = 0;
    uint32_t seq = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
};

std::vector<uint8_t> EncodeHeader(const Header& h);
Header DecodeHeader(const uint8_t* p);

struct HandshakeAnswer {
    Header header;
    wire::HandshakeResponse body{};
};

class Client {
public:
    // rcvBuf > 0: a small receive buffer, so that large answers back up into the server.
    explicit Client(uint16_t port, int rcvBuf = 0);
    ~Client();
    bool connected() const { return fd_ >= 0; }
    void Send(const std::vector<uint8_t>& bytes);
    // Exactly n bytes or an empty optional on close/timeout.
    std::optional<std::vector<uint8_t>> Recv(size_t n, int timeoutMs = 5000);
    std::optional<Header> RecvHeader(int timeoutMs = 5000);
    bool WaitReadable(int timeoutMs);
    // True when the server closed the connection (EOF) within the timeout.
    bool WaitClosed(int timeoutMs = 3000);

    uint32_t NextSeq() { return ++seq_; }

    // Whole exchanges; the answers are checked by the callers.
    std::vector<uint8_t> HandshakeRequest(const std::string& iqn, const std::string& clientId,
                                          const std::string* token = nullptr, uint8_t extraFlags = 0);
    std::optional<HandshakeAnswer> Handshake(const std::string& iqn, const std::string& clientId,
                                             const std::string* token = nullptr, uint8_t extraFlags = 0);
    // Plain or decompressed data of a Read; nullopt on an error answer (errorCode set).
    std::optional<std::vector<uint8_t>> Read(uint64_t offset, uint32_t len, uint32_t* errorCode = nullptr,
                                             bool* compressed = nullptr);
    // Returns the answer header.
    std::optional<Header> Write(uint64_t offset, const std::vector<uint8_t>& data);
    std::optional<Header> Exit(bool commit, wire::ExitSuperUserResponse* out = nullptr);
    std::optional<wire::TransportNegotiateResponse> Negotiate(uint32_t mask = 3);

private:
    int fd_ = -1;
    uint32_t seq_ = 1;
};

class UdpClient {
public:
    explicit UdpClient(uint16_t port);
    ~UdpClient();
    void Send(const std::vector<uint8_t>& bytes);
    std::optional<std::vector<uint8_t>> Recv(int timeoutMs = 2000);

private:
    int fd_ = -1;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed);

// A copy of a field of a packed wire record: gtest's macros bind references, which must not
// point at (possibly misaligned) packed members.
template <typename T>
T V(T value) {
    return value;
}

}  // namespace diskd_test
