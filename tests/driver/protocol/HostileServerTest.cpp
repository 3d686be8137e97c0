// The driver's session against a disk server that lies: a peer on loopback answers a few
// thousand requests, each at random either honestly or with a well-framed lie (sizes, versions,
// flags, segment tables, compressed streams, error codes, a connection cut mid-answer). The data
// bytes it sends are always the disk's true bytes at the offsets it claims, so whatever the
// driver hands its caller as a success can be checked against the disk.
//
// What must hold: no crash, no hang (a watchdog bounds every operation and the whole run), no
// pool block or socket left behind, and no success that hands the caller other bytes or another
// amount than it asked for. The seed is printed; ZELKO_HOSTILE_SEED=n replays one run.
#include "ProtocolTestSupport.h"

#include <chrono>
#include <condition_variable>
#include <random>

namespace {

using peer::Conn;
using peer::Request;

// The compressed format with literal runs only, for `n` bytes.
std::vector<uint8_t> Literals(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i += 15) {
        size_t run = std::min<size_t>(15, n - i);
        out.push_back((uint8_t)(run << 4));
        out.insert(out.end(), p + i, p + i + run);
    }
    return out;
}

class HostileDisk {
public:
    explicit HostileDisk(uint64_t seed) : rng_(seed) {}

    peer::Disk disk;
    std::atomic<int> lies{0}, honest{0};

    void Answer(Conn& c, const Request& r) {
        std::lock_guard<std::mutex> g(lock_);
        // One answer in three is a lie; a few of them cut the connection part-way instead.
        if (Pick(3) != 0) {
            honest++;
            disk.Answer(c, r);
            return;
        }
        lies++;
        if (Pick(12) == 0) {
            SendPrefix(c, r);
            c.Close();
            return;
        }
        const auto& h = r.header;
        switch (h.opcode) {
            case wire::OpHandshake: LieHandshake(c, h); break;
            case wire::OpRead: LieRead(c, h); break;
            case wire::OpBatchRead: LieBatch(c, r); break;
            case wire::OpWrite:
            case wire::OpBatchWrite:
                c.SendHeader(Pick(2) ? wire::OpRespOk : RandomOpcode(), (uint8_t)rng_(), h.seq, rng_(), (uint32_t)rng_());
                break;
            case wire::OpPing: c.SendHeader(RandomOpcode(), 0, h.seq, 0, Pick(2) ? 0 : (uint32_t)rng_() % 100); break;
            case wire::OpTransportNegotiate: LieRecord(c, h, sizeof(wire::TransportNegotiateResponse)); break;
            case wire::OpExitSuperUser: LieRecord(c, h, sizeof(wire::ExitSuperUserResponse)); break;
            case wire::OpMigrationStatus: LieRecord(c, h, sizeof(wire::MigrationStatusResponse)); break;
            default: c.SendHeader(RandomOpcode(), 0, h.seq, 0, 0); break;
        }
    }

private:
    uint32_t Pick(uint32_t n) { return (uint32_t)(rng_() % n); }
    uint8_t RandomOpcode() {
        static const uint8_t ops[] = {wire::OpRespOk, wire::OpRespError, wire::OpRespPong, wire::OpRespTransportNegotiate,
                                      0x00, 0x02, 0x7F, 0xFF};
        return ops[Pick(sizeof(ops))];
    }
    uint32_t LieLength(uint32_t truth) {
        switch (Pick(5)) {
            case 0: return truth + 1 + Pick(4096);
            case 1: return truth > 0 ? Pick(truth) : 1;
            case 2: return 0;
            case 3: return 0xFFFFFFFFu - Pick(16);
            default: return (uint32_t)rng_();
        }
    }
    const uint8_t* Bytes(uint64_t offset, size_t n) {
        // The disk's bytes where they exist; reads past its end get the start again (still
        // "true" for the check, which compares only what the driver claims success for).
        if (offset + n > disk.data.size()) return nullptr;
        return disk.data.data() + offset;
    }

    void SendPrefix(Conn& c, const Request& r) {
        wire::MessageHeader h{wire::kMagic, wire::kVersion, wire::OpRespOk, wire::FlagData, r.header.seq, 0, r.header.length};
        std::vector<uint8_t> b(sizeof(h) + 64);
        std::memcpy(b.data(), &h, sizeof(h));
        c.Send(b.data(), Pick((uint32_t)b.size()));
    }

    void LieHandshake(Conn& c, const wire::MessageHeader& h) {
        wire::HandshakeResponse b{1, 0, 7, 0, disk.data.size(), disk.blockSize, disk.hsFlags, disk.version};
        uint32_t magic = wire::kMagic, length = sizeof(b);
        uint16_t version = wire::kVersion;
        switch (Pick(7)) {
            case 0: magic = (uint32_t)rng_(); break;
            case 1: version = (uint16_t)(2 + Pick(100)); break;
            case 2: length = LieLength(sizeof(b)); break;
            case 3: b.serverVersion = 2 + Pick(5); break;
            case 4: b.bs = (uint32_t)rng_(); break;
            case 5: b.size = rng_(); b.flags = (uint32_t)rng_(); break;
            default: b.ver = (uint32_t)rng_(); break;
        }
        c.SendHeader(wire::OpRespOk, 0, h.seq, 0, length, magic, version);
        c.Send(&b, sizeof(b));
    }

    void LieRead(Conn& c, const wire::MessageHeader& h) {
        const uint8_t* data = Bytes(h.offset, h.length);
        if (data == nullptr) {
            c.SendHeader(wire::OpRespError, 0, h.seq, 0, Pick(40));
            return;
        }
        switch (Pick(6)) {
            case 0: {  // plain data of another length
                uint32_t n = LieLength(h.length);
                c.SendHeader(wire::OpRespOk, wire::FlagData, h.seq, h.offset, n);
                if (n <= h.length) c.Send(data, n);
                break;
            }
            case 1: {  // a valid stream for fewer or more bytes than asked
                uint32_t n = Pick(2) && h.length > 1 ? 1 + Pick(h.length - 1) : h.length;
                std::vector<uint8_t> z = Literals(disk.data.data() + h.offset, std::min<size_t>(n + Pick(2) * 40, disk.data.size() - h.offset));
                c.SendHeader(wire::OpRespOk, wire::FlagData | wire::FlagCompressed, h.seq, h.offset, (uint32_t)z.size());
                c.Send(z);
                break;
            }
            case 2: {  // a stream whose length field claims more than the format could ever need
                c.SendHeader(wire::OpRespOk, wire::FlagData | wire::FlagCompressed, h.seq, h.offset,
                             (uint32_t)wire::CompressedWorstCase(h.length) + 1 + Pick(1000));
                break;
            }
            case 3: {  // a broken stream of a plausible size: a match reaching before the start
                std::vector<uint8_t> z = Literals(data, h.length);
                if (z.size() > 3) {
                    // A token (every 16th byte of full runs), not a data byte: the data stay true.
                    size_t at = 16 * Pick((uint32_t)(z.size() - 3) / 16 + 1);
                    if (at + 3 > z.size()) at = 0;
                    z[at] = 0x0F;
                    z[at + 1] = 0xFF;
                    z[at + 2] = 0xFF;
                }
                c.SendHeader(wire::OpRespOk, wire::FlagData | wire::FlagCompressed, h.seq, h.offset, (uint32_t)z.size());
                c.Send(z);
                break;
            }
            case 4: c.SendHeader(wire::OpRespOk, (uint8_t)(rng_() & ~wire::FlagData), h.seq, h.offset, h.length); break;
            default: c.SendHeader(wire::OpRespError, 0, h.seq, 0, (uint32_t)rng_() % 300); break;
        }
    }

    void LieBatch(Conn& c, const Request& r) {
        size_t count = r.payload.size() / sizeof(wire::BatchSegment);
        std::vector<wire::BatchSegment> segs(count);
        std::memcpy(segs.data(), r.payload.data(), count * sizeof(wire::BatchSegment));
        uint32_t how = Pick(5);
        size_t send = how == 0 ? Pick((uint32_t)count + 1) : count;
        for (size_t i = 0; i < send; i++) {
            wire::BatchSegment s = segs[i];
            if (how == 1 && Pick(3) == 0) s.length = LieLength(s.length);
            if (how == 2 && i == Pick((uint32_t)count)) {
                c.SendHeader(Pick(2) ? wire::OpRespError : RandomOpcode(), 0, r.header.seq, 0, Pick(20));
                return;
            }
            uint8_t flags = how == 3 && Pick(4) == 0 ? 0 : wire::FlagData;
            c.SendHeader(wire::OpRespOk, flags, r.header.seq, s.offset, s.length);
            const uint8_t* data = Bytes(s.offset, s.length);
            if (data == nullptr) return;   // a header that promised what never comes
            c.Send(data, s.length);
        }
        if (how == 4) c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, segs[0].offset, 16);  // one too many
        c.SendHeader(wire::OpRespOk, 0, r.header.seq, wire::kBatchEndMarker, 0);
    }

    void LieRecord(Conn& c, const wire::MessageHeader& h, size_t size) {
        std::vector<uint8_t> b(size);
        for (auto& x : b) x = (uint8_t)rng_();
        uint32_t length = Pick(2) ? (uint32_t)size : LieLength((uint32_t)size);
        c.SendHeader(Pick(2) ? wire::OpRespOk : RandomOpcode(), 0, h.seq, 0, length,
                     Pick(8) ? wire::kMagic : (uint32_t)rng_(), Pick(8) ? wire::kVersion : 2);
        if (length <= size) c.Send(b.data(), length);
    }

    std::mutex lock_;
    std::mt19937_64 rng_;
};

// Aborts the process with the seed when one operation or the whole run takes too long: a hang
// must fail the test, not stall the suite.
class Watchdog {
public:
    Watchdog(uint64_t seed, int opSeconds, int totalSeconds) : seed_(seed) {
        thread_ = std::thread([this, opSeconds, totalSeconds] {
            auto start = std::chrono::steady_clock::now();
            std::unique_lock<std::mutex> g(lock_);
            while (!stop_) {
                auto now = std::chrono::steady_clock::now();
                if (now - start > std::chrono::seconds(totalSeconds) || now - last_ > std::chrono::seconds(opSeconds)) {
                    std::fprintf(stderr, "hostile server: operation %d (%s) hangs, seed %llu\n", op_, what_,
                                 (unsigned long long)seed_);
                    std::abort();
                }
                cv_.wait_for(g, std::chrono::milliseconds(200));
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> g(lock_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Step(int op, const char* what) {
        std::lock_guard<std::mutex> g(lock_);
        op_ = op;
        what_ = what;
        last_ = std::chrono::steady_clock::now();
    }

private:
    uint64_t seed_;
    std::mutex lock_;
    std::condition_variable cv_;
    bool stop_ = false;
    int op_ = -1;
    const char* what_ = "start";
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

class HostileServerTest : public ProtocolTest {};

TEST_F(HostileServerTest, ThousandsOfLiesNeitherCrashNorHangNorPassForData) {
    uint64_t seed = std::getenv("ZELKO_HOSTILE_SEED") ? std::strtoull(std::getenv("ZELKO_HOSTILE_SEED"), nullptr, 10)
                                                      : (uint64_t)std::random_device{}();
    int requests = std::getenv("ZELKO_HOSTILE_REQUESTS") ? std::atoi(std::getenv("ZELKO_HOSTILE_REQUESTS")) : 3000;
    std::printf("hostile server: seed %llu, %d operations (ZELKO_HOSTILE_SEED=%llu replays)\n",
                (unsigned long long)seed, requests, (unsigned long long)seed);
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(seed));

    HostileDisk hostile(seed);
    peer::Server srv([&](Conn& c, const Request& r) { hostile.Answer(c, r); });
    // Virtual time 100 times faster: the pauses between reconnect attempts and the deadlines of
    // a lie that announced bytes it never sends cost milliseconds, not seconds.
    hk::test::SetClockRate(100);
    PPROTOCOL_SESSION s = NewSession(srv.port());
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    for (int i = 0; i < 50 && !NT_SUCCESS(ProtocolClient_Handshake(s)); i++) {
        WskClient_Disconnect(s);
        ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    }
    ASSERT_TRUE(s->handshakeDone);

    std::mt19937_64 rng(seed ^ 0x9E3779B97F4A7C15ull);
    const std::vector<uint8_t>& truth = hostile.disk.data;   // reads only: writes put back what is there
    Watchdog dog(seed, 60, 600);
    int successes = 0;
    for (int i = 0; i < requests; i++) {
        // A dropped stream is rebuilt by the next operation's recovery once the 30 s between two
        // reconnect bursts have passed.
        if (!s->connected) hk::test::AdvanceClock(310000000);
        uint32_t kind = (uint32_t)(rng() % 10);
        uint64_t offset = (rng() % (truth.size() - 70000)) & ~511ull;
        uint32_t length = 1 + (uint32_t)(rng() % 65536);
        NTSTATUS st = STATUS_SUCCESS;
        switch (kind) {
            case 0:
            case 1:
            case 2: {
                dog.Step(i, "Read");
                std::vector<uint8_t> buf(length, 0xEE);
                ULONGLONG got = 0;
                st = ProtocolClient_Read(s, offset, length, buf.data(), &got);
                if (NT_SUCCESS(st)) {
                    ASSERT_EQ(got, length) << "seed " << seed << " op " << i;
                    ASSERT_EQ(std::memcmp(buf.data(), truth.data() + offset, length), 0) << "seed " << seed << " op " << i;
                }
                break;
            }
            case 3:
            case 4: {
                dog.Step(i, "BatchRead");
                ULONG count = 1 + (ULONG)(rng() % 16);
                std::vector<wire::BatchSegment> segs(count);
                ULONGLONG room = 0;
                for (ULONG k = 0; k < count; k++) {
                    segs[k].offset = (rng() % (truth.size() - 8192)) & ~511ull;
                    segs[k].length = 1 + (ULONG)(rng() % 8192);
                    room += segs[k].length;
                }
                std::vector<uint8_t> buf(room, 0xEE);
                ULONG complete = 0;
                st = ProtocolClient_BatchReadEx(s, segs.data(), count, buf.data(), room, &complete);
                if (NT_SUCCESS(st)) {
                    ASSERT_LE(complete, count) << "seed " << seed << " op " << i;
                    size_t pos = 0;
                    for (ULONG k = 0; k < complete; k++) {
                        ASSERT_EQ(std::memcmp(buf.data() + pos, truth.data() + segs[k].offset, segs[k].length), 0)
                            << "seed " << seed << " op " << i << " segment " << k;
                        pos += segs[k].length;
                    }
                }
                break;
            }
            case 5: {
                dog.Step(i, "Write");
                ULONGLONG written = 0;
                std::vector<uint8_t> same(truth.begin() + (long)offset, truth.begin() + (long)offset + length);
                st = ProtocolClient_Write(s, offset, length, same.data(), &written);
                break;
            }
            case 6: dog.Step(i, "Ping"); st = ProtocolClient_Ping(s); break;
            case 7: {
                dog.Step(i, "ReadFromRemote");
                std::vector<uint8_t> buf(length, 0xEE);
                st = ReadFromRemote(s, offset, length, buf.data());
                if (NT_SUCCESS(st))
                    ASSERT_EQ(std::memcmp(buf.data(), truth.data() + offset, length), 0) << "seed " << seed << " op " << i;
                break;
            }
            case 8: {
                dog.Step(i, "MigrationStatus");
                uint8_t out[48];
                st = ProtocolClient_MigrationStatus(s, "k", out);
                break;
            }
            default: {
                dog.Step(i, "Handshake");
                if (s->connected) st = ProtocolClient_Handshake(s);
                // The lies may have changed the geometry; the checks above use the peer's disk.
                break;
            }
        }
        if (NT_SUCCESS(st)) successes++;
    }
    std::printf("hostile server: %d of %d operations succeeded; %d lies, %d honest answers, %d connections\n",
                successes, requests, hostile.lies.load(), hostile.honest.load(), srv.Connections());
    EXPECT_GT(successes, requests / 4) << "an honest answer must still be taken (seed " << seed << ")";
    EXPECT_GT(hostile.lies.load(), requests / 10);
    srv.Stop();
}

// A server that trickles a BatchRead answer, one byte at a time just inside the 30 s that one read
// may wait, must not hold the session (and with it every I/O of the disk) for as long as it likes:
// the whole answer gets what its reads would get one by one, 30 s per header and per segment.
TEST_F(HostileServerTest, ATrickledBatchAnswerEndsWithinTheTimeItsReadsWouldGetOneByOne) {
    std::atomic<bool> stop{false};
    peer::Disk disk;
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode != wire::OpBatchRead) {
            disk.Answer(c, r);
            return;
        }
        wire::MessageHeader h{wire::kMagic, wire::kVersion, wire::OpRespOk, wire::FlagData, r.header.seq, 0, 4096};
        std::vector<uint8_t> answer(sizeof(h) + 4096, 0x42);
        std::memcpy(answer.data(), &h, sizeof(h));
        // 60 bytes over 20 minutes of the driver's clock, then the connection goes.
        for (size_t i = 0; i < 60 && !stop; i++) {
            c.Send(&answer[i], 1);
            peer::SleepMs(200);   // 20 s of the driver's clock
        }
        c.Close();
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    hk::test::SetClockRate(100);
    wire::BatchSegment seg{0, 4096};
    std::vector<uint8_t> buf(4096);
    LARGE_INTEGER start;
    start = KeQueryPerformanceCounter(nullptr);
    NTSTATUS st = ProtocolClient_BatchReadEx(s, &seg, 1, buf.data(), buf.size(), nullptr);
    double ms = VirtualMs(start);
    stop = true;
    EXPECT_EQ(st, STATUS_IO_TIMEOUT);
    // Two attempts (the batch's one recovery reconnects), each three reads of 30 s (header, data,
    // end marker) and at most one receive's wait on top.
    EXPECT_LT(ms, 2 * (3 * 30000.0 + 15000.0) + 10000.0);
    EXPECT_GE(ms, 3 * 30000.0);
    EXPECT_FALSE(s->connected) << "a batch cut off mid-answer leaves the stream out of step";
    srv.Stop();
}

}  // namespace
