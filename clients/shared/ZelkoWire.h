// ZelkoProtocol wire format, shared by the driver, the disk server and tools.
//
// Every record is packed, little-endian and fixed-width. The file is plain C++ without any
// kernel or libc dependency beyond <stdint.h>, so it compiles unchanged in the driver (WDK or
// host kernel), in the Win32 client and in the Linux servers.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zelko {
namespace wire {

constexpr uint32_t kMagic = 0x44504B5Au;   // bytes "ZKPD" on the wire
constexpr uint16_t kVersion = 1;
constexpr uint64_t kBatchEndMarker = 0xFFFFFFFFFFFFFFFFull;
constexpr uint32_t kMaxBatchSegments = 256;
constexpr uint32_t kMaxUdpDatagram = 64 * 1024;
constexpr uint16_t kDefaultTcpPort = 9501;
constexpr uint32_t kDefaultBlockSize = 4096;  // a handshake block size of 0 stands for this

enum Opcode : uint8_t {
    OpHandshake = 0x01,
    OpRead = 0x02,
    OpWrite = 0x03,
    OpBatchRead = 0x04,
    OpBatchWrite = 0x05,
    OpPing = 0x08,
    OpExitSuperUser = 0x0C,
    OpMigrationStatus = 0x13,
    OpPushBlock = 0x14,
    OpPushBlockAck = 0x15,
    OpTransportNegotiate = 0x20,
    OpRespTransportNegotiate = 0x21,
    OpPathDeregister = 0x26,
    OpRespOk = 0x40,
    OpRespError = 0x41,
    OpRespPong = 0x42,
};

enum Flag : uint8_t {
    FlagData = 0x01,
    FlagCompressed = 0x02,
    FlagBatch = 0x08,
    FlagReadOnly = 0x10,
    FlagSuperUser = 0x40,
};

enum TransportMask : uint32_t {
    TransportTcp = 0x1,
    TransportUdp = 0x2,
    TransportRdma = 0x4,
};

enum ServerError : uint32_t {
    ErrNone = 0,
    ErrInvalidParameter = 1,
    ErrRevisionMismatch = 2,
    ErrAccessDenied = 3,       // unknown image for this client, bad or expired token
    ErrNotFound = 4,
    ErrIoDevice5 = 5,
    ErrIoDevice6 = 6,
    ErrWriteProtected = 7,
    ErrInvalidParameter8 = 8,
    ErrInvalidParameter9 = 9,
    ErrInsufficientResources = 10,
    ErrIoDevice11 = 11,
    ErrInvalidParameter12 = 12,
    ErrIoDevice13 = 13,
    ErrTimeout = 14,
    ErrBusy = 15,
    ErrWrongPassword = 16,
    ErrBusy17 = 17,
};

// Handshake response flags word.
constexpr uint32_t kHandshakeReadOnly = 0x1;
constexpr uint32_t kHandshakeSuperUser = 0x2;

#pragma pack(push, 1)

struct MessageHeader {
    uint32_t magic;
    uint16_t version;
    uint8_t opcode;
    uint8_t flags;
    uint32_t seq;
    uint64_t offset;
    uint32_t length;
};

struct BatchSegment {
    uint64_t offset;
    uint32_t length;
};

// Fixed part in front of the IQN of a Handshake request; the variable part (IQN length + IQN,
// client id length + client id, optional token length + token) follows it.
struct HandshakeRequestFixed {
    uint32_t clientVersion;  // 1
    uint32_t reserved1;
    uint32_t reserved2;
};

struct HandshakeResponse {
    uint32_t serverVersion;
    uint32_t reserved1;
    uint16_t sid;
    uint16_t reserved2;
    uint64_t size;
    uint32_t bs;
    uint32_t flags;
    uint32_t ver;
};

struct TransportNegotiateRequest {
    uint32_t mask;
    uint32_t reserved1;
    uint32_t reserved2;
    uint32_t one;  // the constant 1
};

struct TransportNegotiateResponse {
    uint32_t selected;
    uint32_t udpPort;
    uint32_t rdmaPort;
    uint32_t mtu;
    uint64_t reserved;
};

struct ExitSuperUserResponse {
    uint64_t blocks;
    uint64_t bytes;
};

constexpr uint32_t kMigrationKeySize = 32;
constexpr uint32_t kMigrationKeyMaxText = 28;

struct MigrationStatusRequest {
    uint8_t key[kMigrationKeySize];
};

struct MigrationStatusResponse {
    uint32_t active;
    uint32_t field4;
    uint32_t field8;
    uint32_t field12;
    uint64_t dirty;
    uint64_t field24;
    uint64_t total;
    uint64_t field40;
};

struct PathDeregisterRequest {
    uint32_t pathId;
    uint32_t reason;
    uint32_t reserved;
};

#pragma pack(pop)

static_assert(sizeof(MessageHeader) == 24, "MessageHeader size");
static_assert(offsetof(MessageHeader, magic) == 0, "magic");
static_assert(offsetof(MessageHeader, version) == 4, "version");
static_assert(offsetof(MessageHeader, opcode) == 6, "opcode");
static_assert(offsetof(MessageHeader, flags) == 7, "flags");
static_assert(offsetof(MessageHeader, seq) == 8, "seq");
static_assert(offsetof(MessageHeader, offset) == 12, "offset");
static_assert(offsetof(MessageHeader, length) == 20, "length");

static_assert(sizeof(BatchSegment) == 12, "BatchSegment size");
static_assert(offsetof(BatchSegment, length) == 8, "BatchSegment length");

static_assert(sizeof(HandshakeRequestFixed) == 12, "HandshakeRequestFixed size");

static_assert(sizeof(HandshakeResponse) == 32, "HandshakeResponse size");
static_assert(offsetof(HandshakeResponse, sid) == 8, "sid");
static_assert(offsetof(HandshakeResponse, size) == 12, "size");
static_assert(offsetof(HandshakeResponse, bs) == 20, "bs");
static_assert(offsetof(HandshakeResponse, flags) == 24, "flags");
static_assert(offsetof(HandshakeResponse, ver) == 28, "ver");

static_assert(sizeof(TransportNegotiateRequest) == 16, "TransportNegotiateRequest size");
static_assert(offsetof(TransportNegotiateRequest, one) == 12, "one");

static_assert(sizeof(TransportNegotiateResponse) == 24, "TransportNegotiateResponse size");
static_assert(offsetof(TransportNegotiateResponse, udpPort) == 4, "udpPort");
static_assert(offsetof(TransportNegotiateResponse, rdmaPort) == 8, "rdmaPort");
static_assert(offsetof(TransportNegotiateResponse, mtu) == 12, "mtu");

static_assert(sizeof(ExitSuperUserResponse) == 16, "ExitSuperUserResponse size");
static_assert(sizeof(MigrationStatusRequest) == 32, "MigrationStatusRequest size");
static_assert(sizeof(MigrationStatusResponse) == 48, "MigrationStatusResponse size");
static_assert(offsetof(MigrationStatusResponse, dirty) == 16, "dirty");
static_assert(offsetof(MigrationStatusResponse, total) == 32, "total");
static_assert(sizeof(PathDeregisterRequest) == 12, "PathDeregisterRequest size");

// The remaining offsets, so that no field can move unnoticed.
static_assert(offsetof(BatchSegment, offset) == 0, "BatchSegment offset");
static_assert(offsetof(HandshakeRequestFixed, clientVersion) == 0, "clientVersion");
static_assert(offsetof(HandshakeRequestFixed, reserved1) == 4, "HandshakeRequestFixed reserved1");
static_assert(offsetof(HandshakeRequestFixed, reserved2) == 8, "HandshakeRequestFixed reserved2");
static_assert(offsetof(HandshakeResponse, serverVersion) == 0, "serverVersion");
static_assert(offsetof(HandshakeResponse, reserved1) == 4, "HandshakeResponse reserved1");
static_assert(offsetof(HandshakeResponse, reserved2) == 10, "HandshakeResponse reserved2");
static_assert(offsetof(TransportNegotiateRequest, mask) == 0, "mask");
static_assert(offsetof(TransportNegotiateRequest, reserved1) == 4, "TransportNegotiateRequest reserved1");
static_assert(offsetof(TransportNegotiateRequest, reserved2) == 8, "TransportNegotiateRequest reserved2");
static_assert(offsetof(TransportNegotiateResponse, selected) == 0, "selected");
static_assert(offsetof(TransportNegotiateResponse, reserved) == 16, "TransportNegotiateResponse reserved");
static_assert(offsetof(ExitSuperUserResponse, blocks) == 0, "blocks");
static_assert(offsetof(ExitSuperUserResponse, bytes) == 8, "bytes");
static_assert(offsetof(MigrationStatusRequest, key) == 0, "key");
static_assert(offsetof(MigrationStatusResponse, active) == 0, "active");
static_assert(offsetof(MigrationStatusResponse, field4) == 4, "field4");
static_assert(offsetof(MigrationStatusResponse, field8) == 8, "field8");
static_assert(offsetof(MigrationStatusResponse, field12) == 12, "field12");
static_assert(offsetof(MigrationStatusResponse, field24) == 24, "field24");
static_assert(offsetof(MigrationStatusResponse, field40) == 40, "field40");
static_assert(offsetof(PathDeregisterRequest, pathId) == 0, "pathId");
static_assert(offsetof(PathDeregisterRequest, reason) == 4, "reason");
static_assert(offsetof(PathDeregisterRequest, reserved) == 8, "PathDeregisterRequest reserved");

// Handshake request sizes: the header's length field is 12 less than the payload actually sent.
constexpr uint32_t HandshakePayloadSize(uint32_t iqnLen, uint32_t clientIdLen, bool withToken,
                                        uint32_t tokenLen) {
    return withToken ? 18 + iqnLen + clientIdLen + tokenLen : 16 + iqnLen + clientIdLen;
}
constexpr uint32_t HandshakeLengthField(uint32_t iqnLen, uint32_t clientIdLen, bool withToken,
                                        uint32_t tokenLen) {
    return HandshakePayloadSize(iqnLen, clientIdLen, withToken, tokenLen) - 12;
}
static_assert(HandshakeLengthField(40, 10, false, 0) == 54, "handshake length field");
static_assert(HandshakePayloadSize(40, 10, false, 0) == 66, "handshake payload");

constexpr uint32_t kMaxIqnBytes = 255;
constexpr uint32_t kMaxClientIdBytes = 63;
constexpr uint32_t kMaxTokenUnits = 63;

// Compressed sequence format: a token byte (high nibble literal count 0..15, low nibble match
// code 0..15; a match is code + 4 bytes long) followed by the literals and, for a non-zero match
// code, a 2-byte little-endian distance. The worst case for n output bytes is all literals in
// runs of 15, one token each: n + ceil(n / 15).
constexpr uint64_t CompressedWorstCase(uint64_t n) { return n + (n + 14) / 15; }

}  // namespace wire
}  // namespace zelko
