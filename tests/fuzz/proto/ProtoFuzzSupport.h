// What the protocol fuzzers share: the host kernel set up once per process, and one iteration's
// session with the checks that every iteration ends with (nothing left in the pool, no socket
// left open).
#pragma once

#include <hk_wsk_script.h>
#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "protocol/ZelkoProtocol.h"

namespace wire = zelko::wire;

[[noreturn]] inline void Die(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("proto fuzz: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

namespace protofuzz {

inline void SetWide(WCHAR* dst, size_t units, const char* ascii) {
    size_t i = 0;
    for (; ascii[i] != 0 && i + 1 < units; i++) dst[i] = (WCHAR)(unsigned char)ascii[i];
    dst[i] = 0;
}

// Once per process: a fresh machine and the driver's WSK registration (driver-wide state that a
// real driver keeps for its whole life as well).
inline void StartMachine() {
    hk::test::ResetMachine();
    hk::test::SetPoolLeakReportAtExit(false);
    HkWskTestReset();
    if (!NT_SUCCESS(WskClient_Initialize())) Die("WskClient_Initialize failed");
}

class Iteration {
public:
    Iteration() : mark_(hk::test::PoolMark()) {}

    // A session set up as the LUN does it, aimed at the scripted server.
    PPROTOCOL_SESSION NewSession() {
        session_ = static_cast<PPROTOCOL_SESSION>(std::aligned_alloc(64, (sizeof(PROTOCOL_SESSION) + 63) / 64 * 64));
        std::memset(session_, 0, sizeof(*session_));
        if (!NT_SUCCESS(ProtocolSession_Init(session_, 0))) Die("ProtocolSession_Init failed");
        SetWide(session_->serverIp, PROTO_SERVER_IP_UNITS, "127.0.0.1");
        session_->serverPort = 9;   // the script answers; nothing listens there
        SetWide(session_->targetIqn, PROTO_IQN_UNITS, "iqn.2024-01.net.zelko:image.1");
        SetWide(session_->clientId, PROTO_CLIENT_ID_UNITS, "pc-01");
        SetWide(session_->superUserToken, PROTO_TOKEN_UNITS, "token-1");
        // Within the reconnect interval: a recovery refuses at once instead of sleeping between
        // connect attempts (every exchange is still decoded; only the 1 s and 2 s pauses go).
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        session_->lastReconnectTime = now.QuadPart;
        return session_;
    }

    void End(PPROTOCOL_SESSION s) {
        ProtocolSession_Teardown(s);
        std::free(s);
        HkWskScriptDisarm();
        if (HkWskTestOpenSockets() != 0) Die("%ld socket(s) left open", (long)HkWskTestOpenSockets());
        std::string leaks = hk::test::PoolLeaksSince(mark_);
        if (!leaks.empty()) Die("pool leak: %s", leaks.c_str());
        hk::test::ClearDbgLines();
    }

private:
    uint64_t mark_;
    PPROTOCOL_SESSION session_ = nullptr;
};

}  // namespace protofuzz
