// Requests and records of the driver's control device "\\.\ZelkoVd", shared by the driver and
// the client program (and by any tool that talks to the driver).
//
// Every request is METHOD_BUFFERED: input and output share one system buffer, so an output
// record overwrites the input record in place. The request codes are written as plain numbers
// (CTL_CODE(0x8100, function, METHOD_BUFFERED, FILE_ANY_ACCESS)) so that this header needs
// neither winioctl.h nor the WDK. Records are packed, little-endian and fixed-width; every size
// and offset is asserted below, because the driver and the client are built by different
// compilers and a field that moves silently would corrupt requests on the customer's PCs.
//
// Wide strings are UTF-16 arrays of ControlWchar, NUL-terminated within their field.
// ControlWchar is wchar_t wherever wchar_t is 16 bits wide (Windows, and the host build of the
// driver with -fshort-wchar), so the driver and the client use the fields as WCHAR arrays
// without casts; elsewhere (the Linux servers) it is char16_t, of the same size.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zelko {
namespace control {

#if defined(_WIN32) || (defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2)
typedef wchar_t ControlWchar;
#else
typedef char16_t ControlWchar;
#endif
static_assert(sizeof(ControlWchar) == 2, "control-device strings are UTF-16");

// ---------------------------------------------------------------------------------------------
// Device and request codes

constexpr uint32_t kDeviceType = 0x8100;
constexpr uint32_t kFirstFunction = 0x800;

constexpr uint32_t ControlCode(uint32_t function) {
    // CTL_CODE(DeviceType, Function, METHOD_BUFFERED = 0, FILE_ANY_ACCESS = 0)
    return (kDeviceType << 16) | (0u << 14) | (function << 2) | 0u;
}
constexpr uint32_t ControlFunction(uint32_t code) { return (code >> 2) & 0xFFFu; }
constexpr uint32_t ControlDeviceType(uint32_t code) { return code >> 16; }
constexpr uint32_t ControlMethod(uint32_t code) { return code & 3u; }

}  // namespace control
}  // namespace zelko

#define IOCTL_ZELKO_CONNECT            0x81002000u
#define IOCTL_ZELKO_DISCONNECT         0x81002004u
#define IOCTL_ZELKO_HANDSHAKE          0x81002008u
#define IOCTL_ZELKO_SET_CONFIG         0x8100200Cu
#define IOCTL_ZELKO_GET_STATUS         0x81002010u
#define IOCTL_ZELKO_FLUSH              0x81002014u
#define IOCTL_ZELKO_GET_DISK_INFO      0x81002018u
#define IOCTL_ZELKO_EXIT_SUPER_USER    0x8100201Cu
#define IOCTL_ZELKO_IS_READY           0x81002020u
#define IOCTL_ZELKO_RECONNECT          0x81002024u
#define IOCTL_ZELKO_MIGRATION_STATUS   0x81002028u
#define IOCTL_ZELKO_CACHE_PURGE        0x8100202Cu
#define IOCTL_ZELKO_PING               0x81002030u
#define IOCTL_ZELKO_READ_LOCAL         0x81002034u
#define IOCTL_ZELKO_WRITE_DISK         0x81002038u
// Function 0x80F is not used.
#define IOCTL_ZELKO_CREATE_LUN         0x81002040u
#define IOCTL_ZELKO_REMOVE_LUN         0x81002044u
#define IOCTL_ZELKO_GET_DIAGNOSTICS    0x81002048u

// The path the client opens and the per-LUN device path the driver reports for extra LUNs.
#define ZELKO_CONTROL_DEVICE_PATH_W L"\\\\.\\ZelkoVd"
#define ZELKO_LUN_DEVICE_PATH_FORMAT_W L"\\\\.\\ZelkoVd_LUN%u"

namespace zelko {
namespace control {

static_assert(IOCTL_ZELKO_CONNECT == ControlCode(0x800), "CONNECT");
static_assert(IOCTL_ZELKO_DISCONNECT == ControlCode(0x801), "DISCONNECT");
static_assert(IOCTL_ZELKO_HANDSHAKE == ControlCode(0x802), "HANDSHAKE");
static_assert(IOCTL_ZELKO_SET_CONFIG == ControlCode(0x803), "SET_CONFIG");
static_assert(IOCTL_ZELKO_GET_STATUS == ControlCode(0x804), "GET_STATUS");
static_assert(IOCTL_ZELKO_FLUSH == ControlCode(0x805), "FLUSH");
static_assert(IOCTL_ZELKO_GET_DISK_INFO == ControlCode(0x806), "GET_DISK_INFO");
static_assert(IOCTL_ZELKO_EXIT_SUPER_USER == ControlCode(0x807), "EXIT_SUPER_USER");
static_assert(IOCTL_ZELKO_IS_READY == ControlCode(0x808), "IS_READY");
static_assert(IOCTL_ZELKO_RECONNECT == ControlCode(0x809), "RECONNECT");
static_assert(IOCTL_ZELKO_MIGRATION_STATUS == ControlCode(0x80A), "MIGRATION_STATUS");
static_assert(IOCTL_ZELKO_CACHE_PURGE == ControlCode(0x80B), "CACHE_PURGE");
static_assert(IOCTL_ZELKO_PING == ControlCode(0x80C), "PING");
static_assert(IOCTL_ZELKO_READ_LOCAL == ControlCode(0x80D), "READ_LOCAL");
static_assert(IOCTL_ZELKO_WRITE_DISK == ControlCode(0x80E), "WRITE_DISK");
static_assert(IOCTL_ZELKO_CREATE_LUN == ControlCode(0x810), "CREATE_LUN");
static_assert(IOCTL_ZELKO_REMOVE_LUN == ControlCode(0x811), "REMOVE_LUN");
static_assert(IOCTL_ZELKO_GET_DIAGNOSTICS == ControlCode(0x812), "GET_DIAGNOSTICS");

// ---------------------------------------------------------------------------------------------
// Limits

constexpr uint32_t kAddressChars = 64;        // server address, client id, token
constexpr uint32_t kIqnChars = 256;
constexpr uint32_t kObjectPathChars = 128;    // READ_LOCAL object path
constexpr uint32_t kImagePathChars = 260;     // CREATE_LUN image file path
constexpr uint32_t kMaxTransfer = 0x100000;   // READ_LOCAL and WRITE_DISK data, 1 MiB
constexpr uint32_t kCacheMinMb = 256;
constexpr uint32_t kCacheMaxMb = 4096;
constexpr uint32_t kLunDevicePathBytes = 128;

// CreateLunRecord.preferredTransport
constexpr uint32_t kTransportPreferTcp = 0;   // and any value other than the two below
constexpr uint32_t kTransportPreferUdp = 1;
constexpr uint32_t kTransportPreferRdma = 2;  // not available in the kernel: treated as UDP

#pragma pack(push, 1)

// IOCTL_ZELKO_SET_CONFIG input. Empty strings and a zero port leave LUN 0's value alone; a cache
// size outside 256..4096 MB is ignored; the flags and the token are always copied.
struct SetConfigRecord {
    ControlWchar serverIp[kAddressChars];
    uint16_t serverPort;
    ControlWchar targetIqn[kIqnChars];
    ControlWchar clientId[kAddressChars];
    uint8_t padding1[2];
    uint32_t cacheSizeMb;
    uint8_t readOnly;
    uint8_t superUser;
    ControlWchar superUserToken[kAddressChars];
    uint8_t padding2[2];
};

// IOCTL_ZELKO_GET_STATUS output.
constexpr uint32_t kCacheStatSlots = 20;
struct StatusRecord {
    // The block cache's statistics slots 0..19 (slot 19: pushed blocks inserted).
    uint64_t cacheStats[kCacheStatSlots];
    uint64_t pushedDroppedBusy;
    uint64_t diskSize;
    uint32_t blockSize;
    uint8_t readOnly;
    uint8_t connected;
    uint8_t handshakeDone;
    uint8_t padding1;
    uint16_t sessionId;
    uint8_t padding2[6];
    uint64_t connects;
    uint64_t reconnects;
    uint64_t waitTimeouts;
    uint64_t abandonedPackets;
    uint64_t bytesSent;
    uint64_t bytesReceived;
    uint64_t poolHits;
    uint64_t poolMisses;
    uint64_t pongs;
    uint64_t pingFailures;
};

// IOCTL_ZELKO_GET_DISK_INFO output.
struct DiskInfoRecord {
    uint64_t diskSize;
    uint32_t blockSize;
    uint8_t readOnly;
    uint8_t padding[3];
};

// IOCTL_ZELKO_EXIT_SUPER_USER: one input byte (1 = merge the copy-on-write layer into the
// image), 16 output bytes.
struct ExitSuperUserRequest {
    uint8_t commit;
};
struct ExitSuperUserRecord {
    uint64_t mergedBlocks;
    uint64_t mergedBytes;
};

// IOCTL_ZELKO_RECONNECT input.
struct ReconnectRecord {
    ControlWchar serverIp[kAddressChars];
    uint16_t serverPort;
    ControlWchar clientId[kAddressChars];
    uint8_t unused[256];
};

// IOCTL_ZELKO_MIGRATION_STATUS: the 32 input bytes are the key record sent to the server (its
// text, at most 28 bytes, up to the first NUL); the 48 output bytes are the server's answer with
// the word at offset 12 cleared.
struct MigrationStatusRequest {
    uint8_t key[32];
};
struct MigrationStatusReply {
    uint32_t active;
    uint32_t field4;
    uint32_t field8;
    uint32_t field12;  // always 0
    uint64_t dirty;
    uint64_t field24;
    uint64_t total;
    uint64_t field40;
};

// IOCTL_ZELKO_CACHE_PURGE: a byte range of LUN 0 (length 0 = the whole cache); the result is
// returned only when the output holds 16 bytes.
struct CachePurgeRecord {
    uint64_t offset;
    uint64_t length;
};
struct CachePurgeResult {
    uint64_t droppedBlocks;
    uint64_t writtenBackBlocks;
};

// IOCTL_ZELKO_PING output.
struct PingRecord {
    uint8_t succeeded;
    uint8_t padding[3];
    int32_t status;  // the ping's NTSTATUS
};

// IOCTL_ZELKO_READ_LOCAL input; the output is ReadLocalReply followed by `length` data bytes.
struct ReadLocalRecord {
    ControlWchar objectPath[kObjectPathChars];  // kernel object name, e.g. "\??\PhysicalDrive0"
    uint64_t offset;
    uint32_t length;  // 1 .. 0x100000
    uint8_t padding[4];
};
struct ReadLocalReply {
    uint32_t bytesRead;  // 0 when the read failed
    uint32_t zero;
    // the data follow
};

// IOCTL_ZELKO_WRITE_DISK input header; `length` data bytes follow. The byte count returned is
// the number of bytes the server wrote.
struct WriteDiskRecord {
    int64_t offset;   // byte offset on LUN 0, never negative
    uint32_t length;  // 1 .. 0x100000
    uint32_t reserved;
    // the data follow
};

// IOCTL_ZELKO_CREATE_LUN input (1328 bytes) and output (152 bytes).
struct CreateLunRecord {
    ControlWchar serverIp[kAddressChars];   // empty: the driver parameter, else "127.0.0.1"
    uint16_t serverPort;                    // 0: the driver parameter
    ControlWchar targetIqn[kIqnChars];      // empty: the driver parameter, else the default IQN
    ControlWchar clientId[kAddressChars];   // empty: the driver parameter, else "zelko-client"
    uint8_t padding1[6];
    uint64_t diskSize;                      // network LUN before its handshake; 0 = learnt then
    uint32_t sectorSize;                    // 0 = 512
    uint32_t cacheSizeMb;                   // 256..4096, else 1024
    uint8_t readOnly;                       // an image file is then opened for reading only
    uint8_t padding2[3];
    uint32_t preferredTransport;            // kTransportPrefer*
    ControlWchar imagePath[kImagePathChars];  // kernel object path; empty = a network LUN
    uint32_t imageFormat;
    uint8_t padding3[4];
};
struct CreateLunResult {
    ControlWchar devicePath[kLunDevicePathBytes / sizeof(ControlWchar)];  // "\\.\ZelkoVd_LUN<slot>"
    uint32_t lunId;
    uint8_t padding1[4];
    uint64_t diskSize;
    uint32_t sectorSize;
    uint8_t padding2[4];
};

// IOCTL_ZELKO_REMOVE_LUN input.
struct RemoveLunRecord {
    uint32_t lunId;  // as returned by IOCTL_ZELKO_CREATE_LUN
};

// IOCTL_ZELKO_GET_DIAGNOSTICS output: a snapshot of the adapter's diagnostic fields, zero where
// the driver has nothing to report. Addresses and handles are reported as numbers, for the
// support log only.
struct DiagnosticsRecord {
    // Call counts of the port callbacks
    uint32_t findAdapterCalls;
    uint32_t initializeCalls;
    uint32_t buildIoCalls;
    uint32_t startIoCalls;
    uint32_t executeScsiCalls;
    uint32_t resetBusCalls;
    uint32_t adapterControlCalls;
    // SCSI reads and writes
    uint32_t reads;
    uint32_t writes;
    uint32_t writesRefused;
    uint32_t writeSames;
    // The I/O path: work items, held READs
    uint32_t requestsQueued;
    uint32_t queueFailures;
    uint32_t workerRuns;
    uint32_t workerInvalidLun;
    uint32_t workerRemovedLun;
    uint32_t heldReads;
    uint32_t expiredReads;
    uint32_t workItemHits;
    uint32_t workItemMisses;
    int32_t outstandingWorkers;
    uint32_t lastSrbStatus;
    // Last values seen
    uint64_t lastReadLba;
    uint32_t lastReadBlocks;
    uint32_t lastReadTargetSizeLow;
    uint64_t lastWriteLba;
    uint32_t lastWriteBlocks;
    uint32_t lastFileWriteBytes;
    uint64_t lastWriteBuffer;
    uint8_t lastWriteFirstBytes[8];
    uint64_t lastLuExt;
    uint64_t lastFileHandle;
    uint64_t lastProcessId;
    uint32_t lastMagic;
    // LUN table
    uint32_t presentLuns;          // bit n set: LUN slot n holds a LUN
    uint32_t lunCreationCounter;
    uint8_t reserved[100];
    // One wrapping counter per SCSI operation code, indexed by the first CDB byte.
    uint8_t opcodeCounts[256];
    uint32_t lastOpcode;
    uint32_t adapterFlags;  // kDiagUnloading, kDiagParametersCopied
};
constexpr uint32_t kDiagUnloading = 0x1;
constexpr uint32_t kDiagParametersCopied = 0x2;

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// Sizes and offsets

static_assert(sizeof(SetConfigRecord) == 908, "SetConfigRecord size");
static_assert(offsetof(SetConfigRecord, serverIp) == 0, "SetConfigRecord serverIp");
static_assert(offsetof(SetConfigRecord, serverPort) == 128, "SetConfigRecord serverPort");
static_assert(offsetof(SetConfigRecord, targetIqn) == 130, "SetConfigRecord targetIqn");
static_assert(offsetof(SetConfigRecord, clientId) == 642, "SetConfigRecord clientId");
static_assert(offsetof(SetConfigRecord, padding1) == 770, "SetConfigRecord padding1");
static_assert(offsetof(SetConfigRecord, cacheSizeMb) == 772, "SetConfigRecord cacheSizeMb");
static_assert(offsetof(SetConfigRecord, readOnly) == 776, "SetConfigRecord readOnly");
static_assert(offsetof(SetConfigRecord, superUser) == 777, "SetConfigRecord superUser");
static_assert(offsetof(SetConfigRecord, superUserToken) == 778, "SetConfigRecord superUserToken");
static_assert(offsetof(SetConfigRecord, padding2) == 906, "SetConfigRecord padding2");

static_assert(sizeof(StatusRecord) == 272, "StatusRecord size");
static_assert(offsetof(StatusRecord, cacheStats) == 0, "StatusRecord cacheStats");
static_assert(offsetof(StatusRecord, cacheStats) + 19 * 8 == 152, "StatusRecord pushed inserted");
static_assert(offsetof(StatusRecord, pushedDroppedBusy) == 160, "StatusRecord pushedDroppedBusy");
static_assert(offsetof(StatusRecord, diskSize) == 168, "StatusRecord diskSize");
static_assert(offsetof(StatusRecord, blockSize) == 176, "StatusRecord blockSize");
static_assert(offsetof(StatusRecord, readOnly) == 180, "StatusRecord readOnly");
static_assert(offsetof(StatusRecord, connected) == 181, "StatusRecord connected");
static_assert(offsetof(StatusRecord, handshakeDone) == 182, "StatusRecord handshakeDone");
static_assert(offsetof(StatusRecord, padding1) == 183, "StatusRecord padding1");
static_assert(offsetof(StatusRecord, sessionId) == 184, "StatusRecord sessionId");
static_assert(offsetof(StatusRecord, padding2) == 186, "StatusRecord padding2");
static_assert(offsetof(StatusRecord, connects) == 192, "StatusRecord connects");
static_assert(offsetof(StatusRecord, reconnects) == 200, "StatusRecord reconnects");
static_assert(offsetof(StatusRecord, waitTimeouts) == 208, "StatusRecord waitTimeouts");
static_assert(offsetof(StatusRecord, abandonedPackets) == 216, "StatusRecord abandonedPackets");
static_assert(offsetof(StatusRecord, bytesSent) == 224, "StatusRecord bytesSent");
static_assert(offsetof(StatusRecord, bytesReceived) == 232, "StatusRecord bytesReceived");
static_assert(offsetof(StatusRecord, poolHits) == 240, "StatusRecord poolHits");
static_assert(offsetof(StatusRecord, poolMisses) == 248, "StatusRecord poolMisses");
static_assert(offsetof(StatusRecord, pongs) == 256, "StatusRecord pongs");
static_assert(offsetof(StatusRecord, pingFailures) == 264, "StatusRecord pingFailures");

static_assert(sizeof(DiskInfoRecord) == 16, "DiskInfoRecord size");
static_assert(offsetof(DiskInfoRecord, diskSize) == 0, "DiskInfoRecord diskSize");
static_assert(offsetof(DiskInfoRecord, blockSize) == 8, "DiskInfoRecord blockSize");
static_assert(offsetof(DiskInfoRecord, readOnly) == 12, "DiskInfoRecord readOnly");
static_assert(offsetof(DiskInfoRecord, padding) == 13, "DiskInfoRecord padding");

static_assert(sizeof(ExitSuperUserRequest) == 1, "ExitSuperUserRequest size");
static_assert(offsetof(ExitSuperUserRequest, commit) == 0, "ExitSuperUserRequest commit");
static_assert(sizeof(ExitSuperUserRecord) == 16, "ExitSuperUserRecord size");
static_assert(offsetof(ExitSuperUserRecord, mergedBlocks) == 0, "ExitSuperUserRecord mergedBlocks");
static_assert(offsetof(ExitSuperUserRecord, mergedBytes) == 8, "ExitSuperUserRecord mergedBytes");

static_assert(sizeof(ReconnectRecord) == 514, "ReconnectRecord size");
static_assert(offsetof(ReconnectRecord, serverIp) == 0, "ReconnectRecord serverIp");
static_assert(offsetof(ReconnectRecord, serverPort) == 128, "ReconnectRecord serverPort");
static_assert(offsetof(ReconnectRecord, clientId) == 130, "ReconnectRecord clientId");
static_assert(offsetof(ReconnectRecord, unused) == 258, "ReconnectRecord unused");

static_assert(sizeof(MigrationStatusRequest) == 32, "MigrationStatusRequest size");
static_assert(offsetof(MigrationStatusRequest, key) == 0, "MigrationStatusRequest key");
static_assert(sizeof(MigrationStatusReply) == 48, "MigrationStatusReply size");
static_assert(offsetof(MigrationStatusReply, active) == 0, "MigrationStatusReply active");
static_assert(offsetof(MigrationStatusReply, field4) == 4, "MigrationStatusReply field4");
static_assert(offsetof(MigrationStatusReply, field8) == 8, "MigrationStatusReply field8");
static_assert(offsetof(MigrationStatusReply, field12) == 12, "MigrationStatusReply field12");
static_assert(offsetof(MigrationStatusReply, dirty) == 16, "MigrationStatusReply dirty");
static_assert(offsetof(MigrationStatusReply, field24) == 24, "MigrationStatusReply field24");
static_assert(offsetof(MigrationStatusReply, total) == 32, "MigrationStatusReply total");
static_assert(offsetof(MigrationStatusReply, field40) == 40, "MigrationStatusReply field40");

static_assert(sizeof(CachePurgeRecord) == 16, "CachePurgeRecord size");
static_assert(offsetof(CachePurgeRecord, offset) == 0, "CachePurgeRecord offset");
static_assert(offsetof(CachePurgeRecord, length) == 8, "CachePurgeRecord length");
static_assert(sizeof(CachePurgeResult) == 16, "CachePurgeResult size");
static_assert(offsetof(CachePurgeResult, droppedBlocks) == 0, "CachePurgeResult droppedBlocks");
static_assert(offsetof(CachePurgeResult, writtenBackBlocks) == 8, "CachePurgeResult writtenBackBlocks");

static_assert(sizeof(PingRecord) == 8, "PingRecord size");
static_assert(offsetof(PingRecord, succeeded) == 0, "PingRecord succeeded");
static_assert(offsetof(PingRecord, padding) == 1, "PingRecord padding");
static_assert(offsetof(PingRecord, status) == 4, "PingRecord status");

static_assert(sizeof(ReadLocalRecord) == 272, "ReadLocalRecord size");
static_assert(offsetof(ReadLocalRecord, objectPath) == 0, "ReadLocalRecord objectPath");
static_assert(offsetof(ReadLocalRecord, offset) == 256, "ReadLocalRecord offset");
static_assert(offsetof(ReadLocalRecord, length) == 264, "ReadLocalRecord length");
static_assert(offsetof(ReadLocalRecord, padding) == 268, "ReadLocalRecord padding");
static_assert(sizeof(ReadLocalReply) == 8, "ReadLocalReply size");
static_assert(offsetof(ReadLocalReply, bytesRead) == 0, "ReadLocalReply bytesRead");
static_assert(offsetof(ReadLocalReply, zero) == 4, "ReadLocalReply zero");

static_assert(sizeof(WriteDiskRecord) == 16, "WriteDiskRecord size");
static_assert(offsetof(WriteDiskRecord, offset) == 0, "WriteDiskRecord offset");
static_assert(offsetof(WriteDiskRecord, length) == 8, "WriteDiskRecord length");
static_assert(offsetof(WriteDiskRecord, reserved) == 12, "WriteDiskRecord reserved");

static_assert(sizeof(CreateLunRecord) == 1328, "CreateLunRecord size");
static_assert(offsetof(CreateLunRecord, serverIp) == 0, "CreateLunRecord serverIp");
static_assert(offsetof(CreateLunRecord, serverPort) == 128, "CreateLunRecord serverPort");
static_assert(offsetof(CreateLunRecord, targetIqn) == 130, "CreateLunRecord targetIqn");
static_assert(offsetof(CreateLunRecord, clientId) == 642, "CreateLunRecord clientId");
static_assert(offsetof(CreateLunRecord, padding1) == 770, "CreateLunRecord padding1");
static_assert(offsetof(CreateLunRecord, diskSize) == 776, "CreateLunRecord diskSize");
static_assert(offsetof(CreateLunRecord, sectorSize) == 784, "CreateLunRecord sectorSize");
static_assert(offsetof(CreateLunRecord, cacheSizeMb) == 788, "CreateLunRecord cacheSizeMb");
static_assert(offsetof(CreateLunRecord, readOnly) == 792, "CreateLunRecord readOnly");
static_assert(offsetof(CreateLunRecord, padding2) == 793, "CreateLunRecord padding2");
static_assert(offsetof(CreateLunRecord, preferredTransport) == 796, "CreateLunRecord preferredTransport");
static_assert(offsetof(CreateLunRecord, imagePath) == 800, "CreateLunRecord imagePath");
static_assert(offsetof(CreateLunRecord, imageFormat) == 1320, "CreateLunRecord imageFormat");
static_assert(offsetof(CreateLunRecord, padding3) == 1324, "CreateLunRecord padding3");
static_assert(sizeof(CreateLunResult) == 152, "CreateLunResult size");
static_assert(offsetof(CreateLunResult, devicePath) == 0, "CreateLunResult devicePath");
static_assert(offsetof(CreateLunResult, lunId) == 128, "CreateLunResult lunId");
static_assert(offsetof(CreateLunResult, padding1) == 132, "CreateLunResult padding1");
static_assert(offsetof(CreateLunResult, diskSize) == 136, "CreateLunResult diskSize");
static_assert(offsetof(CreateLunResult, sectorSize) == 144, "CreateLunResult sectorSize");
static_assert(offsetof(CreateLunResult, padding2) == 148, "CreateLunResult padding2");

static_assert(sizeof(RemoveLunRecord) == 4, "RemoveLunRecord size");
static_assert(offsetof(RemoveLunRecord, lunId) == 0, "RemoveLunRecord lunId");

static_assert(sizeof(DiagnosticsRecord) == 536, "DiagnosticsRecord size");
static_assert(offsetof(DiagnosticsRecord, findAdapterCalls) == 0, "DiagnosticsRecord findAdapterCalls");
static_assert(offsetof(DiagnosticsRecord, buildIoCalls) == 8, "DiagnosticsRecord buildIoCalls");
static_assert(offsetof(DiagnosticsRecord, reads) == 28, "DiagnosticsRecord reads");
static_assert(offsetof(DiagnosticsRecord, requestsQueued) == 44, "DiagnosticsRecord requestsQueued");
static_assert(offsetof(DiagnosticsRecord, workItemHits) == 72, "DiagnosticsRecord workItemHits");
static_assert(offsetof(DiagnosticsRecord, outstandingWorkers) == 80, "DiagnosticsRecord outstandingWorkers");
static_assert(offsetof(DiagnosticsRecord, lastSrbStatus) == 84, "DiagnosticsRecord lastSrbStatus");
static_assert(offsetof(DiagnosticsRecord, lastReadLba) == 88, "DiagnosticsRecord lastReadLba");
static_assert(offsetof(DiagnosticsRecord, lastReadBlocks) == 96, "DiagnosticsRecord lastReadBlocks");
static_assert(offsetof(DiagnosticsRecord, lastReadTargetSizeLow) == 100, "DiagnosticsRecord lastReadTargetSizeLow");
static_assert(offsetof(DiagnosticsRecord, lastWriteLba) == 104, "DiagnosticsRecord lastWriteLba");
static_assert(offsetof(DiagnosticsRecord, lastWriteBlocks) == 112, "DiagnosticsRecord lastWriteBlocks");
static_assert(offsetof(DiagnosticsRecord, lastFileWriteBytes) == 116, "DiagnosticsRecord lastFileWriteBytes");
static_assert(offsetof(DiagnosticsRecord, lastWriteBuffer) == 120, "DiagnosticsRecord lastWriteBuffer");
static_assert(offsetof(DiagnosticsRecord, lastWriteFirstBytes) == 128, "DiagnosticsRecord lastWriteFirstBytes");
static_assert(offsetof(DiagnosticsRecord, lastLuExt) == 136, "DiagnosticsRecord lastLuExt");
static_assert(offsetof(DiagnosticsRecord, lastFileHandle) == 144, "DiagnosticsRecord lastFileHandle");
static_assert(offsetof(DiagnosticsRecord, lastProcessId) == 152, "DiagnosticsRecord lastProcessId");
static_assert(offsetof(DiagnosticsRecord, lastMagic) == 160, "DiagnosticsRecord lastMagic");
static_assert(offsetof(DiagnosticsRecord, presentLuns) == 164, "DiagnosticsRecord presentLuns");
static_assert(offsetof(DiagnosticsRecord, lunCreationCounter) == 168, "DiagnosticsRecord lunCreationCounter");
static_assert(offsetof(DiagnosticsRecord, reserved) == 172, "DiagnosticsRecord reserved");
static_assert(offsetof(DiagnosticsRecord, opcodeCounts) == 272, "DiagnosticsRecord opcodeCounts");
static_assert(offsetof(DiagnosticsRecord, lastOpcode) == 528, "DiagnosticsRecord lastOpcode");
static_assert(offsetof(DiagnosticsRecord, adapterFlags) == 532, "DiagnosticsRecord adapterFlags");

// Minimum buffer sizes of the requests that carry data beyond a fixed record.
constexpr uint32_t ReadLocalOutputSize(uint32_t length) { return (uint32_t)sizeof(ReadLocalReply) + length; }
constexpr uint32_t WriteDiskInputSize(uint32_t length) { return (uint32_t)sizeof(WriteDiskRecord) + length; }

}  // namespace control
}  // namespace zelko
