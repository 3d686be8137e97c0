// The protocol state of one client connection and the answers to every request. Transport-
// neutral: the TCP server hands in complete frames, the UDP server single datagrams; both append
// the exact answer bytes to an output buffer.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ZelkoWire.h"
#include "config.h"
#include "session_table.h"
#include "store.h"

namespace zelko::diskd {

// Growing a buffer of this allocator leaves the new bytes uninitialised: a read answer is
// resized to its full length and then filled by the read, and zeroing it first would be one more
// pass over up to 32 MiB per request.
template <typename T>
struct UninitAllocator : std::allocator<T> {
    UninitAllocator() noexcept = default;
    template <typename U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
template <typename T, typename U>
bool operator==(const UninitAllocator<T>&, const UninitAllocator<U>&) noexcept { return true; }

using Bytes = std::vector<uint8_t, UninitAllocator<uint8_t>>;

struct ServerStats {
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytesRead{0};
    std::atomic<uint64_t> bytesWritten{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<uint64_t> udpRequests{0};
    std::atomic<uint64_t> pushAcks{0};
    SessionTable sessions;  // who is connected now (GET /admin/v1/sessions)
};

class Session;

// Which session a UDP datagram belongs to: the latest session from that address that
// negotiated the UDP transport.
class UdpRegistry {
public:
    void Register(const std::string& ip, const std::shared_ptr<Session>& s);
    void Unregister(const std::string& ip, const Session* s);
    std::shared_ptr<Session> Find(const std::string& ip);
    uint16_t port = 0;  // 0 = no UDP channel

private:
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<Session>> byIp_;
};

enum class FrameCheck { Ready, Bad };

// Decides how many payload bytes follow a request header on the TCP stream. Bad means the
// stream cannot be trusted; *error then holds the code to answer with before closing (0 = close
// without an answer).
FrameCheck RequestPayloadSize(const wire::MessageHeader& h, uint32_t maxIo, uint64_t* payload,
                              uint32_t* error);

void AppendHeader(Bytes& out, uint8_t opcode, uint8_t flags, uint32_t seq,
                  uint64_t offset, uint32_t length);

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(ImageStore& store, const Config& cfg, ServerStats& stats, UdpRegistry& udp,
            std::string peerIp, uint16_t peerPort);
    ~Session();

    // One complete TCP request. With `sock` (a non-blocking socket, -1 = none) and `out`
    // empty, a plain Read answer from the base file may be sent right away, straight from the
    // page cache; what the socket does not take is appended to `out` like any answer. Returns
    // false when the connection must be closed without sending anything more (an answer was
    // sent only in part).
    bool HandleTcp(const wire::MessageHeader& h, const uint8_t* payload, size_t n,
                   Bytes& out, int sock = -1);
    // One datagram; `out` stays empty when no answer is due.
    void HandleUdp(const wire::MessageHeader& h, const uint8_t* payload, size_t n,
                   Bytes& out);
    // The PushBlock datagram for the 4 KiB block at `offset` as this session sees it; false
    // when the block is not a whole block of the image or the session is unbound.
    bool BuildPushBlock(uint64_t offset, uint32_t seq, Bytes& out);
    const std::string& peer() const { return peerText_; }
    // True once a handshake has bound the session to an image.
    bool Bound() const {
        std::shared_lock<std::shared_mutex> lk(stateMutex_);
        return image_ != nullptr;
    }

private:
    void Error(Bytes& out, const wire::MessageHeader& h, uint32_t code, const char* what);
    void Unbind();  // needs stateMutex_ exclusively
    void Handshake(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    void Read(const wire::MessageHeader& h, Bytes& out, bool udp);
    // The direct path of Read; returns 1 done, 0 not applicable (take Read), -1 close.
    int SendBaseDirect(const wire::MessageHeader& h, Bytes& out, int sock);
    void Write(const wire::MessageHeader& h, const uint8_t* data, size_t n, Bytes* out);
    void BatchRead(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    void BatchWrite(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    void ExitSuperUser(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    void MigrationStatus(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    void TransportNegotiate(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    void PathDeregister(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out);
    // Range check of a data request against the bound image; returns a ServerError.
    uint32_t CheckRange(uint64_t offset, uint64_t len) const;
    // The server's and this session's byte counters; need stateMutex_ (either mode).
    void CountRead(uint64_t n);
    void CountWritten(uint64_t n);

    ImageStore& store_;
    const Config& cfg_;
    ServerStats& stats_;
    UdpRegistry& udp_;
    std::string peerIp_;
    std::string peerText_;
    bool udpRegistered_ = false;

    // Binding to an image; read by data requests (shared), changed by Handshake and
    // ExitSuperUser (exclusive).
    mutable std::shared_mutex stateMutex_;
    std::shared_ptr<Image> image_;
    std::shared_ptr<Overlay> overlay_;
    uint32_t pin_ = 0;
    bool pinned_ = false;
    bool readOnly_ = true;
    bool superUser_ = false;
    uint16_t sid_ = 0;
    std::string clientKey_;
    std::string clientId_;
    std::shared_ptr<LiveSession> live_;  // this session's entry in stats_.sessions while bound
};

}  // namespace zelko::diskd
