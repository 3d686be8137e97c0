// Recovery under injected faults: the lock order between a failing exchange and a reconnect that
// clears the block cache, sessions that must come back by themselves, requests cut short, refusals
// that must not wait for a reconnect, answers that cannot be consumed, and packets that complete
// while (or after) their wait is being cancelled.
#include "ProtocolTestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace {

using peer::Conn;
using peer::Request;

constexpr ULONG kMdlTag = 0x6C644D48;  // the host kernel's IoAllocateMdl

// Waits on the driver's clock (the peer answers "late" in driver time, whatever the clock rate).
void SleepVirtualMs(double ms) {
    LARGE_INTEGER t0 = KeQueryPerformanceCounter(nullptr);
    while (VirtualMs(t0) < ms) peer::SleepMs(2);
}

bool WaitFor(const std::function<bool()>& cond, int realMs = 10000) {
    for (int i = 0; i < realMs / 5; i++) {
        if (cond()) return true;
        peer::SleepMs(5);
    }
    return cond();
}

void SkipRateLimit() { hk::test::AdvanceClock(310000000); }

class RecoveryFaultTest : public ProtocolTest {
protected:
    peer::Disk disk;
};

// ---------------------------------------------------------------------------------------------
// 1. A thread that holds the block cache's lock fails an exchange while a reconnect in another
//    thread wants that lock to clear the cache after an image version change. The failing thread
//    must never wait for that reconnect.

class RecoveryRacingTest : public RecoveryFaultTest {};

TEST_F(RecoveryRacingTest, FailingExchangeUnderTheCacheLockNeverWaitsForTheCacheClear) {
    std::atomic<bool> failNextRead{false};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && failNextRead.exchange(false)) {
            c.Close();
            return;
        }
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    struct Cache {
        std::mutex lock;  // stands in for the block cache's resource
        std::atomic<bool> clearing{false};
        std::atomic<int> clears{0};
    } cache;
    s->cacheClearContext = &cache;
    s->cacheClearRoutine = [](PPROTOCOL_SESSION, PVOID ctx) {
        auto* c = static_cast<Cache*>(ctx);
        c->clearing = true;
        std::lock_guard<std::mutex> g(c->lock);
        c->clears++;
    };
    {
        std::lock_guard<std::mutex> g(disk.lock);
        disk.version = 2;  // the image changed while the connection was down
    }
    WskClient_Disconnect(s);

    cache.lock.lock();  // this thread is in the cache (a write-back, say)...
    std::atomic<NTSTATUS> reconnected{STATUS_PENDING};
    std::thread reconnector([&] { reconnected = ProtocolClient_Reconnect(s); });
    ASSERT_TRUE(WaitFor([&] { return cache.clearing.load(); })) << "the reconnect reaches the cache clear";

    // ...and talks to the server, which drops the connection: its recovery reconnects again.
    SkipRateLimit();
    failNextRead = true;
    std::vector<uint8_t> buf(512);
    auto read = std::async(std::launch::async, [&] { return ProtocolClient_Read(s, 4096, 512, buf.data(), nullptr); });
    bool finished = read.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    cache.lock.unlock();  // ends a deadlock too, so that the test can report it
    reconnector.join();
    ASSERT_TRUE(finished) << "the failed exchange waited for a reconnect that waited for the cache lock";
    EXPECT_EQ(read.get(), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 4096, 512), 0);
    EXPECT_EQ(reconnected.load(), STATUS_SUCCESS);
    EXPECT_EQ(cache.clears.load(), 1) << "cleared once, by the reconnect that saw the new version";
    EXPECT_EQ(s->stats.reconnects, 2);
    EXPECT_TRUE(LogHas("[ZelkoVd][INFO] 镜像版本变化: 1 -> 2，清除本地缓存\n"));
}

// ---------------------------------------------------------------------------------------------
// 2. However the connection was lost, the next operation rebuilds it (rate limit included); the
//    boot disk does not stay offline until a control request reconnects it.

TEST_F(RecoveryFaultTest, ClosedSessionIsRebuiltByTheNextOperation) {
    hk::test::SetClockRate(10.0);
    std::atomic<int> dropReads{0};
    std::atomic<bool> silent{false};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpRead && dropReads > 0) {
            dropReads--;
            c.Close();
            return;
        }
        if (silent && r.header.opcode != wire::OpHandshake) return;
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(4096);

    // The retry after the recovery fails as well: the session is left closed.
    dropReads = 2;
    EXPECT_EQ(ProtocolClient_Read(s, 0, 4096, buf.data(), nullptr), STATUS_CONNECTION_DISCONNECTED);
    EXPECT_FALSE(s->connected);
    EXPECT_EQ(s->stats.reconnects, 1);
    // Within 30 s of that burst the next operation fails at once, quietly, without a connection.
    int connections = srv.Connections();
    hk::test::ClearDbgLines();
    EXPECT_EQ(ProtocolClient_Read(s, 0, 4096, buf.data(), nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(srv.Connections(), connections);
    EXPECT_FALSE(LogHas("IO 失败")) << "nothing new failed";
    // Once the 30 s have passed, it reconnects by itself.
    SkipRateLimit();
    ASSERT_EQ(ProtocolClient_Read(s, 8192, 4096, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 8192, 4096), 0);
    EXPECT_EQ(s->stats.reconnects, 2);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] IO 失败 0xC000009D，触发重连\n"));

    // A failure that is not a connection failure by its status, but closed the stream.
    HkWskTestFailSend(STATUS_CONNECTION_ABORTED, 0, 0, 1);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 4096, buf.data(), nullptr), STATUS_CONNECTION_ABORTED);
    EXPECT_FALSE(s->connected);
    SkipRateLimit();
    EXPECT_EQ(ProtocolClient_Read(s, 0, 4096, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(s->connected);

    // Exchanges without a recovery of their own: a TransportNegotiate and a Ping that time out.
    silent = true;
    EXPECT_EQ(ProtocolClient_TransportNegotiate(s, 3), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(s->connected);
    silent = false;
    SkipRateLimit();
    EXPECT_EQ(ProtocolClient_Read(s, 0, 4096, buf.data(), nullptr), STATUS_SUCCESS);
    silent = true;
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_IO_TIMEOUT);
    EXPECT_FALSE(s->connected);
    silent = false;
    SkipRateLimit();
    std::vector<uint8_t> data(4096, 0x3C);
    ULONGLONG written = 0;
    EXPECT_EQ(ProtocolClient_Write(s, 65536, 4096, data.data(), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 4096u);
    EXPECT_TRUE(LogHas("ZelkoVd: [Write] WpTryRecover 成功，重试\n"));
    EXPECT_EQ(s->stats.reconnects, 5);

    // A session that was never bound to an image is not brought up by a block operation.
    PPROTOCOL_SESSION fresh = NewSession(srv.port());
    connections = srv.Connections();
    EXPECT_EQ(ProtocolClient_Read(fresh, 0, 4096, buf.data(), nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(srv.Connections(), connections);
}

// ---------------------------------------------------------------------------------------------
// 3. A request that went out in part: the server would read the next request as the missing
//    payload, so the stream must go.

TEST_F(RecoveryFaultTest, PartlySentRequestNeverLeavesAMisframedStream) {
    peer::Server srv([&](Conn& c, const Request& r) { disk.Answer(c, r); });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> first(4096, 0x11), second(4096, 0x22), third(4096, 0x33);

    // The chain stops after 100 bytes for lack of resources.
    HkWskTestFailSend(STATUS_INSUFFICIENT_RESOURCES, 100, 0, 1);
    EXPECT_EQ(ProtocolClient_Write(s, 8192, 4096, first.data(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(s->connected);
    ASSERT_EQ(ProtocolClient_Write(s, 8192, 4096, second.data(), nullptr), STATUS_SUCCESS);

    // The chain cannot be described; of the buffer-by-buffer fallback the header goes out, the
    // data does not.
    SkipRateLimit();
    hk::test::FailPoolAllocation(1, kMdlTag);
    HkWskTestFailSend(STATUS_INSUFFICIENT_RESOURCES, 0, 1, 1);
    EXPECT_EQ(ProtocolClient_Write(s, 16384, 4096, first.data(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    hk::test::FailPoolAllocation(0, kMdlTag);
    EXPECT_FALSE(s->connected);
    ASSERT_EQ(ProtocolClient_Write(s, 16384, 4096, third.data(), nullptr), STATUS_SUCCESS);

    // A two-send exchange whose payload send fails after its header went out.
    SkipRateLimit();
    HkWskTestFailSend(STATUS_INSUFFICIENT_RESOURCES, 0, 1, 1);
    uint8_t rec[48];
    EXPECT_EQ(ProtocolClient_MigrationStatus(s, "img-7", rec), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(s->connected);
    ASSERT_EQ(ProtocolClient_MigrationStatus(s, "img-7", rec), STATUS_SUCCESS);

    // Nothing but well-framed requests reached the server, and every write landed where it was
    // meant to.
    ASSERT_TRUE(srv.WaitRequests(srv.RequestCount()));
    int writes = 0;
    for (const auto& r : srv.Requests()) {
        if (r.header.opcode == wire::OpWrite) {
            writes++;
            ASSERT_EQ(r.payload.size(), 4096u);
            EXPECT_EQ(r.payload, r.header.offset == 8192 ? second : third);
        } else if (r.header.opcode == wire::OpMigrationStatus) {
            ASSERT_EQ(r.payload.size(), 32u);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.payload.data())), "img-7");
        } else {
            EXPECT_EQ(r.header.opcode, wire::OpHandshake);
        }
    }
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(memcmp(disk.data.data() + 8192, second.data(), 4096), 0);
    EXPECT_EQ(memcmp(disk.data.data() + 16384, third.data(), 4096), 0);

    // Out of memory before any byte went out leaves the stream as it was.
    int connections = srv.Connections();
    hk::test::FailPoolAllocation(1, kMdlTag);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, first.data(), nullptr), STATUS_INSUFFICIENT_RESOURCES);
    hk::test::FailPoolAllocation(0, kMdlTag);
    EXPECT_TRUE(s->connected);
    EXPECT_EQ(srv.Connections(), connections);
}

// ---------------------------------------------------------------------------------------------
// 4. An answer the driver cannot consume is refused at once: the caller does not wait for a
//    reconnect burst (against a silent server that would take about 48 s).

TEST_F(RecoveryFaultTest, RefusalsReturnAtOnceEvenAgainstASilentServer) {
    hk::test::SetClockRate(10.0);
    std::atomic<int> garble{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (c.index() > 0) return;  // every later connection is silent
        if (r.header.opcode == wire::OpRead && garble == 1) {
            c.SendHeader(0x99, 0, r.header.seq, 0, 0);
            return;
        }
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(512);
    garble = 1;
    LARGE_INTEGER t0 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, buf.data(), nullptr), STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_LT(VirtualMs(t0), 1000.0);
    EXPECT_TRUE(LogHas("[ZelkoVd][WARN] [Read] 响应 opcode 异常: 0x99\n"));
    EXPECT_EQ(srv.Connections(), 1);
    EXPECT_EQ(s->stats.reconnects, 0);
    EXPECT_FALSE(s->connected);

    // The burst against the silent server is paid by the next operation, whose recovery it is.
    t0 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, buf.data(), nullptr), STATUS_IO_TIMEOUT);
    EXPECT_GT(VirtualMs(t0), 30000.0);
    EXPECT_EQ(s->stats.reconnects, 1);
}

TEST_F(RecoveryFaultTest, SizeRefusalsReturnAtOnce) {
    hk::test::SetClockRate(10.0);
    peer::Server srv([&](Conn& c, const Request& r) {
        if (c.index() > 0) return;
        if (r.header.opcode == wire::OpRead) {
            c.SendHeader(wire::OpRespOk, wire::FlagData, r.header.seq, 0, 100);
            c.Send(std::vector<uint8_t>(100, 0));
            return;
        }
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(512);
    LARGE_INTEGER t0 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(ProtocolClient_Read(s, 0, 512, buf.data(), nullptr), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_LT(VirtualMs(t0), 1000.0);
    EXPECT_EQ(srv.Connections(), 1);
    EXPECT_FALSE(s->connected);
}

// ---------------------------------------------------------------------------------------------
// 5. A complete pong is taken even when it completed just at the deadline; every answer that
//    cannot be consumed closes the stream, in every operation, and a server error does not.

TEST_F(RecoveryFaultTest, PongCompletedAtTheDeadlineIsTaken) {
    hk::test::SetClockRate(2.0);
    std::atomic<bool> late{true};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode == wire::OpPing && late.exchange(false)) SleepVirtualMs(3400);  // past the 3 s receive
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    // The receive's cancel comes while the network stack is completing it with the pong.
    HkWskTestLateCancel(HkWskOpReceive, 1);
    LONG64 timeouts = s->stats.waitTimeouts;
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_SUCCESS);
    EXPECT_EQ(s->stats.waitTimeouts, timeouts + 1);
    EXPECT_EQ(HkWskTestLateCompletions(), 1u);
    EXPECT_EQ(s->stats.pongs, 1);
    EXPECT_EQ(s->stats.pingFailures, 0);
    EXPECT_TRUE(s->connected);
    EXPECT_EQ(ProtocolClient_Ping(s), STATUS_SUCCESS) << "and the stream is in step";
}

TEST_F(RecoveryFaultTest, EveryUnconsumableAnswerClosesTheStream) {
    std::atomic<int> garble{-1};
    std::atomic<bool> serverError{false};
    peer::Server srv([&](Conn& c, const Request& r) {
        if (r.header.opcode != garble) return disk.Answer(c, r);
        if (serverError) return c.SendHeader(wire::OpRespError, 0, r.header.seq, 0, wire::ErrAccessDenied);
        switch (r.header.opcode) {
            case wire::OpRead:
            case wire::OpBatchRead:  // a data answer without its data flag
                c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 512);
                c.Send(std::vector<uint8_t>(512, 0));
                break;
            case wire::OpMigrationStatus:  // a record of another size
                c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 40);
                c.Send(std::vector<uint8_t>(40, 0));
                break;
            case wire::OpPing:
                c.SendHeader(wire::OpRespOk, 0, r.header.seq, 0, 0);
                break;
            default:  // an opcode the exchange does not expect
                c.SendHeader(wire::OpRespPong, 0, r.header.seq, 0, 0);
                break;
        }
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    std::vector<uint8_t> buf(512, 0x44);
    wire::BatchSegment seg{0, 512};
    uint8_t rec[48];
    struct Case {
        uint8_t opcode;
        const char* name;
        std::function<NTSTATUS()> call;
        NTSTATUS refused;
    };
    std::vector<Case> cases = {
        {wire::OpRead, "Read", [&] { return ProtocolClient_Read(s, 0, 512, buf.data(), nullptr); }, STATUS_UNEXPECTED_IO_ERROR},
        {wire::OpWrite, "Write", [&] { return ProtocolClient_Write(s, 0, 512, buf.data(), nullptr); }, STATUS_UNEXPECTED_IO_ERROR},
        {wire::OpBatchRead, "BatchRead", [&] { return ProtocolClient_BatchRead(s, &seg, 1, buf.data()); }, STATUS_UNEXPECTED_IO_ERROR},
        {wire::OpBatchWrite, "BatchWrite", [&] { return ProtocolClient_BatchWrite(s, &seg, 1, buf.data(), 512); }, STATUS_UNEXPECTED_IO_ERROR},
        {wire::OpExitSuperUser, "ExitSuperUser",
         [&] {
             s->superUser = TRUE;
             return ProtocolClient_ExitSuperUser(s, FALSE, nullptr, nullptr);
         },
         STATUS_UNEXPECTED_IO_ERROR},
        {wire::OpMigrationStatus, "MigrationStatus", [&] { return ProtocolClient_MigrationStatus(s, "k", rec); }, STATUS_INVALID_BUFFER_SIZE},
        {wire::OpTransportNegotiate, "TransportNegotiate", [&] { return ProtocolClient_TransportNegotiate(s, 3); }, STATUS_UNEXPECTED_IO_ERROR},
        {wire::OpPing, "Ping", [&] { return ProtocolClient_Ping(s); }, STATUS_UNEXPECTED_NETWORK_ERROR},
        {wire::OpHandshake, "Handshake", [&] { return ProtocolClient_Handshake(s); }, STATUS_UNEXPECTED_IO_ERROR},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        garble = k.opcode;
        serverError = false;
        int connections = srv.Connections();
        LONG64 reconnects = s->stats.reconnects;
        EXPECT_EQ(k.call(), k.refused);
        EXPECT_FALSE(s->connected) << "the rest of that answer must never be read as the next one";
        EXPECT_EQ(srv.Connections(), connections) << "refused without a reconnect";
        EXPECT_EQ(s->stats.reconnects, reconnects);
        garble = -1;
        SkipRateLimit();
        ASSERT_EQ(ProtocolClient_Reconnect(s), STATUS_SUCCESS);
        garble = k.opcode;

        // A server error is a bare header: the stream stays (Read, ExitSuperUser and
        // MigrationStatus hand the mapped status back after their recovery found it connected).
        if (k.opcode == wire::OpHandshake) continue;
        serverError = true;
        EXPECT_EQ(k.call(), k.opcode == wire::OpPing ? STATUS_REMOTE_NOT_LISTENING : STATUS_ACCESS_DENIED);
        EXPECT_TRUE(s->connected);
        EXPECT_EQ(srv.Connections(), connections + 1);
    }
    garble = -1;
    ASSERT_EQ(ProtocolClient_Read(s, 0, 512, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data(), 512), 0);
}

// ---------------------------------------------------------------------------------------------
// 6. Packets that complete while their timed-out wait is being cancelled, and after it gave up.

TEST_F(RecoveryFaultTest, CompletionDuringTheCancelKeepsTheStreamInStep) {
    hk::test::SetClockRate(5.0);
    peer::Server srv([&](Conn& c, const Request& r) {
        // After the 15 s receive wait ran out, before the 5 s after its cancel have.
        if (r.header.opcode == wire::OpBatchRead) SleepVirtualMs(17500);
        disk.Answer(c, r);
    });
    PPROTOCOL_SESSION s = Up(srv.port());
    HkWskTestLateCancel(HkWskOpReceive, 1);
    wire::BatchSegment segs[2] = {{4096, 1000}, {20000, 3000}};
    std::vector<uint8_t> buf(4000);
    ASSERT_EQ(ProtocolClient_BatchRead(s, segs, 2, buf.data()), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data() + 4096, 1000), 0);
    EXPECT_EQ(memcmp(buf.data() + 1000, disk.data.data() + 20000, 3000), 0);
    EXPECT_EQ(s->stats.waitTimeouts, 1);
    EXPECT_EQ(s->stats.abandonedPackets, 0);
    EXPECT_EQ(HkWskTestLateCompletions(), 1u);
    EXPECT_EQ(s->stats.reconnects, 0);
    EXPECT_EQ(srv.Connections(), 1);
    ASSERT_EQ(ProtocolClient_Read(s, 0, 512, buf.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(buf.data(), disk.data.data(), 512), 0);
}

TEST_F(RecoveryFaultTest, AbandonedReceiveNeverWritesIntoTheCallersBuffer) {
    hk::test::SetClockRate(20.0);
    std::atomic<int> released{0};
    peer::Server srv([&](Conn& c, const Request& r) {
        // Answers each Ping only when the test says so: after the receive was abandoned.
        int want = (int)r.header.seq;
        while (released.load() < want) peer::SleepMs(2);
        c.SendHeader(wire::OpRespPong, 0, r.header.seq, 0, 0);
    });
    PPROTOCOL_SESSION s = NewSession(srv.port());
    ASSERT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        wire::MessageHeader ping{wire::kMagic, 1, wire::OpPing, 0, (uint32_t)round, 0, 0};
        ASSERT_EQ(WskClient_SendAll(s, &ping, sizeof(ping)), STATUS_SUCCESS);
        HkWskTestLateCancel(HkWskOpReceive, 1);
        auto* buf = new uint8_t[64];
        ULONG n = 99;
        LONG64 abandoned = s->stats.abandonedPackets;
        EXPECT_EQ(WskClient_Receive(s, buf, 64, &n), STATUS_TIMEOUT);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(s->stats.abandonedPackets, abandoned + 1);
        // The caller has its buffer back. Round 1 keeps it and watches it; round 2 gives it back
        // to the allocator, where a late write is a use after free (reported by AddressSanitizer).
        memset(buf, 0x5A, 64);
        if (round == 2) delete[] buf;
        released = round;
        ASSERT_TRUE(WaitFor([&] { return HkWskTestLateCompletions() == (ULONG)round; }))
            << "the abandoned receive completes late with the pong";
        if (round == 1) {
            EXPECT_TRUE(std::all_of(buf, buf + 64, [](uint8_t b) { return b == 0x5A; }));
            delete[] buf;
        }
        // What it carried is freed by its own completion.
        EXPECT_TRUE(WaitFor([] { return hk::test::PoolOutstanding(ZV_TAG_WSK_BOUNCE) == 0; }));
    }
}

}  // namespace
