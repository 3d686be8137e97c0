// The scripted stream peer (hk_wsk_script.h): the server's side of every joined connection is one
// byte string, handed out in order. Sends and receives on a joined socket complete in the
// caller's thread, raised to DISPATCH_LEVEL as the network stack completes them, so a fuzzer
// drives whole exchanges of the driver without a reactor round trip per receive and without any
// wait running out.
#include <hk_wsk_script.h>
#include <hk_io.h>

#include "wsk_script.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

constexpr size_t kSentKept = 1u << 20;

struct Script {
    std::mutex lock;
    bool armed = false;
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    ULONG receiveLimit = 0;
    ULONG connects = 0;
    std::vector<uint8_t> sent;
    size_t sentTotal = 0;
    std::set<PWSK_SOCKET> joined;
};

Script& S() {
    static Script* s = new Script();  // never destroyed: sockets may close during exit
    return *s;
}

// Copies between a WSK_BUF's MDL chain and flat memory, `n` bytes from the buffer's start.
void CopyBuf(const WSK_BUF& b, uint8_t* flat, size_t n, bool toBuf) {
    SIZE_T skip = b.Offset;
    for (PMDL m = b.Mdl; m != nullptr && n > 0; m = m->Next) {
        ULONG count = MmGetMdlByteCount(m);
        if (skip >= count) {
            skip -= count;
            continue;
        }
        PUCHAR va = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(m, NormalPagePriority)) + skip;
        size_t take = std::min<size_t>(count - skip, n);
        if (toBuf) std::memcpy(va, flat, take);
        else std::memcpy(flat, va, take);
        flat += take;
        n -= take;
        skip = 0;
    }
}

// The packet goes one stack location down (the provider's), as IoCallDriver would, and comes
// back at DISPATCH_LEVEL.
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR info) {
    IoSetNextIrpStackLocation(irp);
    IoMarkIrpPending(irp);
    hk::wskscript::CompleteIrp(irp, status, info);
    return STATUS_PENDING;
}

}  // namespace

extern "C" {

VOID HkWskScriptArm(const VOID* bytes, SIZE_T length, ULONG receiveLimit) {
    Script& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    s.bytes.assign(p, p + length);
    s.pos = 0;
    s.receiveLimit = receiveLimit;
    s.connects = 0;
    s.sent.clear();
    s.sentTotal = 0;
    s.armed = true;
}

VOID HkWskScriptDisarm(VOID) {
    Script& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    s.armed = false;
    s.pos = s.bytes.size();
}

SIZE_T HkWskScriptConsumed(VOID) {
    std::lock_guard<std::mutex> g(S().lock);
    return S().pos;
}

ULONG HkWskScriptConnects(VOID) {
    std::lock_guard<std::mutex> g(S().lock);
    return S().connects;
}

SIZE_T HkWskScriptSent(PVOID out, SIZE_T capacity) {
    Script& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (out != nullptr) std::memcpy(out, s.sent.data(), std::min(capacity, s.sent.size()));
    return s.sentTotal;
}

}  // extern "C"

namespace hk {
namespace wskscript {

bool Armed() {
    std::lock_guard<std::mutex> g(S().lock);
    return S().armed;
}

bool Join(PWSK_SOCKET socket, NTSTATUS* status) {
    Script& s = S();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.armed) return false;
    if (s.pos >= s.bytes.size()) {
        *status = STATUS_CONNECTION_REFUSED;
        return true;
    }
    s.joined.insert(socket);
    s.connects++;
    *status = STATUS_SUCCESS;
    return true;
}

bool Joined(PWSK_SOCKET socket) {
    std::lock_guard<std::mutex> g(S().lock);
    return S().joined.count(socket) != 0;
}

NTSTATUS Transfer(PWSK_SOCKET socket, bool send, PWSK_BUF buffer, ULONG flags, PIRP irp) {
    Script& s = S();
    size_t n;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (s.joined.count(socket) == 0) return Complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
        if (send) {
            n = buffer->Length;
            size_t keep = std::min(n, kSentKept - std::min(kSentKept, s.sent.size()));
            size_t at = s.sent.size();
            s.sent.resize(at + keep);
            CopyBuf(*buffer, s.sent.data() + at, keep, false);
            s.sentTotal += n;
        } else {
            n = std::min<size_t>(buffer->Length, s.bytes.size() - s.pos);
            if (s.receiveLimit != 0 && !(flags & WSK_FLAG_WAITALL)) n = std::min<size_t>(n, s.receiveLimit);
            CopyBuf(*buffer, s.bytes.data() + s.pos, n, true);
            s.pos += n;
        }
    }
    return Complete(irp, STATUS_SUCCESS, n);
}

void Leave(PWSK_SOCKET socket) {
    std::lock_guard<std::mutex> g(S().lock);
    S().joined.erase(socket);
}

}  // namespace wskscript
}  // namespace hk
