// The driver's protocol session against a hostile disk server: every byte the session reads from
// the TCP stream comes from the fuzzer, through the host kernel's scripted stream peer (no
// network, no waits). One input is a short list of operations the driver performs and the byte
// string the "server" sends back, whatever was asked:
//
//   byte 0      mode: bit 0 the session is bound already (no Handshake exchange first),
//               bit 1 super-user, bit 2 read-only, bit 3 a path id to release at teardown,
//               bits 4-7 n: each receive takes at most 2^(n-1) bytes (0: as many as asked)
//   byte 1      operation count - 1 (low 3 bits)
//   4 bytes per operation: kind, a, length (u16 little-endian)
//   the rest    what the server sends, over every connection in turn
//
// What must hold whatever the server sends: no crash, no out-of-bounds access (ASan), no pool
// block or socket left behind once the session is torn down, and no success that hands the
// caller a different amount of data than it asked for.
#include "ProtoFuzzSupport.h"

namespace {

enum OpKind : uint8_t {
    OpRead,
    OpWrite,
    OpBatchRead,
    OpBatchWrite,
    OpPing,
    OpExitSuperUser,
    OpMigrationStatus,
    OpNegotiate,
    OpPathDeregister,
    OpHandshake,
    OpReadFromRemote,
    OpBatchReadRoomy,
    OpKinds
};

struct Op {
    uint8_t kind;
    uint8_t a;
    uint16_t length;
};

ULONG g_cacheClears;

VOID CountClear(PPROTOCOL_SESSION, PVOID) { g_cacheClears++; }

// Segment table of a batch: 1 to 8 segments of varied lengths, at least one byte each.
ULONG MakeSegments(const Op& op, wire::BatchSegment* segs) {
    ULONG count = (op.a & 7) + 1;
    for (ULONG i = 0; i < count; i++) {
        segs[i].offset = (ULONGLONG)i * 4096;
        segs[i].length = (op.length + 977u * i) % 9000u + 1;
    }
    return count;
}

void RunOp(PPROTOCOL_SESSION s, const Op& op) {
    ULONG length = (ULONG)op.length + 1;
    switch (op.kind % OpKinds) {
        case OpRead:
        case OpReadFromRemote: {
            // Exactly the asked size on the heap: ASan sees any byte beyond it.
            auto buf = std::make_unique<uint8_t[]>(length);
            if (op.kind % OpKinds == OpRead) {
                ULONGLONG got = 0;
                NTSTATUS st = ProtocolClient_Read(s, (ULONGLONG)op.a * 512, length, buf.get(), &got);
                if (NT_SUCCESS(st) && got != length) Die("Read succeeded with %llu of %u bytes", got, length);
            } else {
                (void)ReadFromRemote(s, (ULONGLONG)op.a * 512, length, buf.get());
            }
            break;
        }
        case OpWrite: {
            std::vector<uint8_t> data(length, op.a);
            ULONGLONG written = 0;
            (void)ProtocolClient_Write(s, 0, length, data.data(), &written);
            break;
        }
        case OpBatchRead:
        case OpBatchReadRoomy: {
            wire::BatchSegment segs[8];
            ULONG count = MakeSegments(op, segs);
            ULONGLONG sum = 0;
            for (ULONG i = 0; i < count; i++) sum += segs[i].length;
            ULONGLONG room = op.kind % OpKinds == OpBatchRead ? sum : sum + op.a * 16u;
            auto buf = std::make_unique<uint8_t[]>(room);
            ULONG complete = 0;
            NTSTATUS st = ProtocolClient_BatchReadEx(s, segs, count, buf.get(), room, &complete);
            if (complete > count) Die("BatchRead reports %u complete segments of %u", complete, count);
            if (!NT_SUCCESS(st) && complete != 0) Die("a failed BatchRead reports %u complete segments", complete);
            break;
        }
        case OpBatchWrite: {
            wire::BatchSegment segs[8];
            ULONG count = MakeSegments(op, segs);
            ULONG sum = 0;
            for (ULONG i = 0; i < count; i++) sum += segs[i].length;
            std::vector<uint8_t> data(sum, op.a);
            (void)ProtocolClient_BatchWrite(s, segs, count, data.data(), sum);
            break;
        }
        case OpPing: (void)ProtocolClient_Ping(s); break;
        case OpExitSuperUser: {
            ULONGLONG blocks = 0, bytes = 0;
            (void)ProtocolClient_ExitSuperUser(s, op.a & 1, &blocks, &bytes);
            break;
        }
        case OpMigrationStatus: {
            auto out = std::make_unique<uint8_t[]>(48);
            (void)ProtocolClient_MigrationStatus(s, "migration-key", out.get());
            break;
        }
        case OpNegotiate: (void)ProtocolClient_TransportNegotiate(s, PROTO_TRANSPORT_TCP | PROTO_TRANSPORT_UDP); break;
        case OpPathDeregister: (void)ProtocolClient_PathDeregister(s, s->pathId ? s->pathId : 7, op.a); break;
        case OpHandshake: {
            NTSTATUS st = ProtocolClient_Handshake(s);
            if (NT_SUCCESS(st) && !s->handshakeDone) Die("Handshake succeeded without binding the session");
            if (NT_SUCCESS(st) && s->blockSize == 0) Die("Handshake left a block size of 0");
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    protofuzz::StartMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t mode = data[0];
    ULONG opCount = (data[1] & 7) + 1;
    if (size < 2 + 4 * (size_t)opCount) return 0;
    Op ops[8];
    for (ULONG i = 0; i < opCount; i++) {
        const uint8_t* p = data + 2 + 4 * i;
        ops[i] = Op{p[0], p[1], (uint16_t)(p[2] | (p[3] << 8))};
    }
    size_t scriptAt = 2 + 4 * (size_t)opCount;
    ULONG limitBits = mode >> 4;
    ULONG receiveLimit = limitBits ? 1u << (limitBits - 1) : 0;

    protofuzz::Iteration it;
    HkWskScriptArm(data + scriptAt, size - scriptAt, receiveLimit);
    g_cacheClears = 0;
    PPROTOCOL_SESSION s = it.NewSession();
    s->cacheClearRoutine = CountClear;
    s->imageVersion = 3;  // a version change on the Handshake clears the cache
    WpSetFlag(&s->superUser, (mode & 2) != 0);
    WpSetFlag(&s->readOnly, (mode & 4) != 0);
    if (mode & 8) s->pathId = 0x1234;
    if (NT_SUCCESS(WskClient_Connect(s))) {
        if (mode & 1) {
            WpSetFlag(&s->handshakeDone, TRUE);
            s->blockSize = 512;
            s->targetSize = 1ull << 30;
        } else {
            (void)ProtocolClient_Handshake(s);
        }
        for (ULONG i = 0; i < opCount; i++) RunOp(s, ops[i]);
    }
    it.End(s);
    return 0;
}
