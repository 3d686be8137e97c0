// The datagram side of the host kernel's WSK provider: what happens to a datagram between the
// driver's WskSendTo / WskReceiveFrom and the POSIX socket underneath.
//
// The reactor in wsk_provider.cpp queues, cancels and completes the packets; here we decide
// what the wire does to each datagram. A real network loses, duplicates, delays and reorders
// datagrams, and the driver's UDP channel must cope with all of it, so tests can ask for each.
// Held-back datagrams (delay, reorder) wait on the host kernel's virtual clock in a small "delay
// line" thread: inbound ones in the socket's own queue until due (the line then kicks the
// reactor), outbound ones in the line itself, which sends them on a duplicate of the socket's
// descriptor when due.
//
// Truncation is reported as Windows does: the packet completes with success and the bytes that
// fit, and MSG_TRUNC is set in the caller's ControlFlags.
#include "wsk_datagram.h"

#include <hk_wsk_test.h>

#include "hk_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace hk {
namespace test {
double ClockRate();
}
namespace wskdgram {
namespace {

constexpr int64_t kReorderHoldMax = 100 * 10000;  // 100 ms in 100 ns units
constexpr size_t kMaxDatagram = 65536;
constexpr int kPullPerCall = 256;  // bounds one receive's work when the peer floods us

struct Datagram {
    std::vector<uint8_t> bytes;
    sockaddr_in peer{};
    int64_t due = 0;           // interrupt time at which it may be delivered
    bool untilNext = false;    // reordered: goes right behind the next datagram
};

struct SocketState {
    int sendFd = -1;                 // dup of the socket's fd, for datagrams sent later
    std::deque<Datagram> inbound;    // pulled from the fd, not yet delivered
};

// A datagram on the delay line: an outbound one to send, or an inbound socket to kick.
struct LineEntry {
    uint64_t id;
    int64_t due;
    PWSK_SOCKET ws;
    bool send;
    bool untilNext;  // outbound reordered datagram
    Datagram d;
};

struct Direction {
    HK_DGRAM_FAULTS faults{};
    HK_DGRAM_STATS stats{};
    uint64_t count = 0;
    uint64_t rng = 0x9E3779B97F4A7C15ull;
};

enum class Fate { Pass, Drop, Duplicate, Delay, Reorder };

struct Module {
    std::mutex lock;
    std::unordered_map<PWSK_SOCKET, SocketState> sockets;
    Direction dir[2];
    ULONG refuseCount = 0;
    NTSTATUS refuseStatus = STATUS_INSUFFICIENT_RESOURCES;
    bool refuseImmediate = false;

    std::list<LineEntry> line;
    uint64_t nextId = 1;
    std::condition_variable lineCv;
    bool lineRunning = false;
};

Module& M() {
    static Module* m = new Module();  // never destroyed: the line thread may outlive statics
    return *m;
}

bool Every(ULONG n, uint64_t count) { return n != 0 && count % n == 0; }

uint64_t NextRandom(Direction& d) {
    // xorshift64*: cheap, and the same seed gives the same losses run after run.
    d.rng ^= d.rng >> 12;
    d.rng ^= d.rng << 25;
    d.rng ^= d.rng >> 27;
    return d.rng * 0x2545F4914F6CDD1Dull;
}

// Decides what happens to the next datagram of one direction (module lock held).
Fate Decide(Direction& d) {
    uint64_t n = ++d.count;
    const HK_DGRAM_FAULTS& f = d.faults;
    if (Every(f.dropEvery, n) || (f.dropPerMillion && NextRandom(d) % 1000000 < f.dropPerMillion)) {
        d.stats.dropped++;
        return Fate::Drop;
    }
    if (Every(f.duplicateEvery, n)) {
        d.stats.duplicated++;
        return Fate::Duplicate;
    }
    if (Every(f.delayEvery, n) && f.delayMs) {
        d.stats.delayed++;
        return Fate::Delay;
    }
    if (Every(f.reorderEvery, n)) {
        d.stats.reordered++;
        return Fate::Reorder;
    }
    d.stats.passed++;
    return Fate::Pass;
}

void LineThread();

// Puts an entry on the delay line (module lock held) and wakes the line.
void Schedule(LineEntry e) {
    Module& m = M();
    e.id = m.nextId++;
    m.line.push_back(std::move(e));
    if (!m.lineRunning) {
        m.lineRunning = true;
        std::thread(LineThread).detach();
    }
    m.lineCv.notify_all();
}

void SendNow(int fd, const Datagram& d) {
    if (fd < 0) return;
    ssize_t r = sendto(fd, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&d.peer), sizeof(d.peer));
    (void)r;  // a full socket buffer loses the datagram, as the wire would
}

void LineThread() {
    Module& m = M();
    std::unique_lock<std::mutex> g(m.lock);
    for (;;) {
        if (m.line.empty()) {
            m.lineCv.wait(g);
            continue;
        }
        int64_t now = hk::InterruptTime();
        std::vector<PWSK_SOCKET> kicks;
        for (auto it = m.line.begin(); it != m.line.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            if (it->send) {
                auto s = m.sockets.find(it->ws);
                if (s != m.sockets.end()) SendNow(s->second.sendFd, it->d);
            } else if (std::find(kicks.begin(), kicks.end(), it->ws) == kicks.end()) {
                kicks.push_back(it->ws);
            }
            it = m.line.erase(it);
        }
        if (!kicks.empty()) {
            g.unlock();
            for (PWSK_SOCKET ws : kicks) HkWskKickSocket(ws);
            g.lock();
            continue;
        }
        // Wait on real time for the earliest due entry at the clock's current rate, in short
        // slices so that a test that advances the clock is noticed soon.
        int64_t earliest = INT64_MAX;
        for (const auto& e : m.line) earliest = std::min(earliest, e.due);
        double rate = hk::test::ClockRate();
        if (rate <= 0) rate = 1;
        int64_t realUs = (int64_t)((double)(earliest - now) / 10.0 / rate);
        realUs = std::max<int64_t>(100, std::min<int64_t>(realUs, 5000));
        m.lineCv.wait_for(g, std::chrono::microseconds(realUs));
    }
}

size_t IovCapacity(const msghdr* mh) {
    size_t n = 0;
    for (size_t i = 0; i < mh->msg_iovlen; i++) n += mh->msg_iov[i].iov_len;
    return n;
}

void Gather(const msghdr* mh, std::vector<uint8_t>* out) {
    out->clear();
    for (size_t i = 0; i < mh->msg_iovlen; i++) {
        const uint8_t* b = static_cast<const uint8_t*>(mh->msg_iov[i].iov_base);
        out->insert(out->end(), b, b + mh->msg_iov[i].iov_len);
    }
}

size_t Scatter(const std::vector<uint8_t>& bytes, msghdr* mh) {
    size_t done = 0;
    for (size_t i = 0; i < mh->msg_iovlen && done < bytes.size(); i++) {
        size_t n = std::min(mh->msg_iov[i].iov_len, bytes.size() - done);
        memcpy(mh->msg_iov[i].iov_base, bytes.data() + done, n);
        done += n;
    }
    return done;
}

// Moves what the fd holds into the socket's inbound queue through the inbound faults (module
// lock held).
void Pull(PWSK_SOCKET ws, SocketState& st, int fd) {
    Module& m = M();
    static thread_local std::vector<uint8_t> scratch(kMaxDatagram);
    for (int i = 0; i < kPullPerCall; i++) {
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        ssize_t n = recvfrom(fd, scratch.data(), scratch.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) return;
        Datagram d;
        d.bytes.assign(scratch.begin(), scratch.begin() + n);
        d.peer = from;
        int64_t now = hk::InterruptTime();
        d.due = now;
        Direction& dir = m.dir[HkDgramInbound];
        Fate fate = Decide(dir);
        if (fate == Fate::Drop) continue;
        // A datagram that is not itself held back releases the ones waiting to be passed.
        std::vector<Datagram> released;
        if (fate != Fate::Reorder) {
            for (auto it = st.inbound.begin(); it != st.inbound.end();) {
                if (it->untilNext) {
                    it->untilNext = false;
                    released.push_back(std::move(*it));
                    it = st.inbound.erase(it);
                } else {
                    ++it;
                }
            }
        }
        switch (fate) {
            case Fate::Duplicate:
                st.inbound.push_back(d);
                st.inbound.push_back(d);
                break;
            case Fate::Delay:
                d.due = now + (int64_t)dir.faults.delayMs * 10000;
                st.inbound.push_back(d);
                Schedule(LineEntry{0, d.due, ws, false, false, Datagram{}});
                break;
            case Fate::Reorder:
                d.untilNext = true;
                d.due = now + kReorderHoldMax;
                st.inbound.push_back(d);
                Schedule(LineEntry{0, d.due, ws, false, false, Datagram{}});
                break;
            default:
                st.inbound.push_back(d);
                break;
        }
        for (auto& r : released) {
            r.due = now;
            st.inbound.push_back(std::move(r));
        }
    }
}

}  // namespace

bool TakeRefusal(bool immediate, NTSTATUS* status) {
    Module& m = M();
    std::lock_guard<std::mutex> g(m.lock);
    if (m.refuseCount == 0 || m.refuseImmediate != immediate) return false;
    if (m.refuseCount != HK_WSK_FOREVER) m.refuseCount--;
    *status = m.refuseStatus;
    return true;
}

void Opened(PWSK_SOCKET ws, int fd) {
    Module& m = M();
    std::lock_guard<std::mutex> g(m.lock);
    SocketState& st = m.sockets[ws];
    st.sendFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    st.inbound.clear();
}

void Closed(PWSK_SOCKET ws) {
    Module& m = M();
    std::lock_guard<std::mutex> g(m.lock);
    auto it = m.sockets.find(ws);
    if (it == m.sockets.end()) return;
    if (it->second.sendFd >= 0) close(it->second.sendFd);
    m.sockets.erase(it);
    // Whatever is still on its way from or to this socket is lost with it.
    m.line.remove_if([ws](const LineEntry& e) { return e.ws == ws; });
}

ssize_t Send(PWSK_SOCKET ws, int fd, const msghdr* mh) {
    Module& m = M();
    std::unique_lock<std::mutex> g(m.lock);
    size_t total = IovCapacity(mh);
    Direction& dir = m.dir[HkDgramOutbound];
    Fate fate = Decide(dir);
    if (fate == Fate::Drop) return (ssize_t)total;
    if (fate == Fate::Delay || fate == Fate::Reorder) {
        LineEntry e{0, 0, ws, true, fate == Fate::Reorder, Datagram{}};
        Gather(mh, &e.d.bytes);
        memcpy(&e.d.peer, mh->msg_name, std::min<size_t>(sizeof(e.d.peer), mh->msg_namelen));
        e.due = hk::InterruptTime() + (fate == Fate::Delay ? (int64_t)dir.faults.delayMs * 10000 : kReorderHoldMax);
        Schedule(std::move(e));
        return (ssize_t)total;
    }
    ssize_t n = sendmsg(fd, mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return n;
    if (fate == Fate::Duplicate) {
        ssize_t r = sendmsg(fd, mh, MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)r;
    }
    // A datagram held back for reordering goes right behind this one.
    auto st = m.sockets.find(ws);
    for (auto it = m.line.begin(); it != m.line.end();) {
        if (it->send && it->untilNext && it->ws == ws) {
            if (st != m.sockets.end()) SendNow(st->second.sendFd, it->d);
            it = m.line.erase(it);
        } else {
            ++it;
        }
    }
    return n;
}

ssize_t Receive(PWSK_SOCKET ws, int fd, msghdr* mh, bool* truncated) {
    Module& m = M();
    std::lock_guard<std::mutex> g(m.lock);
    *truncated = false;
    SocketState& st = m.sockets[ws];
    Pull(ws, st, fd);
    int64_t now = hk::InterruptTime();
    for (auto it = st.inbound.begin(); it != st.inbound.end(); ++it) {
        if (it->due > now) continue;
        size_t copied = Scatter(it->bytes, mh);
        if (it->bytes.size() > IovCapacity(mh)) {
            *truncated = true;
            m.dir[HkDgramInbound].stats.truncated++;
        }
        if (mh->msg_name && mh->msg_namelen >= sizeof(sockaddr_in))
            memcpy(mh->msg_name, &it->peer, sizeof(sockaddr_in));
        st.inbound.erase(it);
        return (ssize_t)copied;
    }
    errno = EAGAIN;
    return -1;
}

void ResetHooks() {
    Module& m = M();
    std::lock_guard<std::mutex> g(m.lock);
    for (auto& d : m.dir) d = Direction{};
    m.refuseCount = 0;
}

}  // namespace wskdgram
}  // namespace hk

extern "C" {

VOID HkWskTestDatagramFaults(HK_DGRAM_DIRECTION direction, const HK_DGRAM_FAULTS* faults) {
    if (direction != HkDgramOutbound && direction != HkDgramInbound) return;
    auto& m = hk::wskdgram::M();
    std::lock_guard<std::mutex> g(m.lock);
    auto& d = m.dir[direction];
    d = hk::wskdgram::Direction{};
    if (faults != nullptr) {
        d.faults = *faults;
        if (faults->seed) d.rng = 0x9E3779B97F4A7C15ull ^ ((uint64_t)faults->seed * 0x100000001B3ull);
    }
}

VOID HkWskTestDatagramStats(HK_DGRAM_DIRECTION direction, PHK_DGRAM_STATS stats) {
    if (stats == nullptr) return;
    auto& m = hk::wskdgram::M();
    std::lock_guard<std::mutex> g(m.lock);
    *stats = direction == HkDgramInbound || direction == HkDgramOutbound ? m.dir[direction].stats : HK_DGRAM_STATS{};
}

VOID HkWskTestRefuseDatagramSockets(NTSTATUS status, ULONG count, BOOLEAN immediate) {
    auto& m = hk::wskdgram::M();
    std::lock_guard<std::mutex> g(m.lock);
    m.refuseCount = count;
    m.refuseStatus = status;
    m.refuseImmediate = immediate != FALSE;
}

}  // extern "C"
