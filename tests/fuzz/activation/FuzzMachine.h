// What every activation fuzzer shares: one host-kernel machine for the whole run, and per input a
// check that the driver left nothing behind (pool blocks, handles, I/O-space mappings) and that
// its parameter set still holds terminated texts.
//
// The file log's drive C: is left unmapped: every FileLogWrite still formats its line (with the
// attacker's bytes in it) and then fails to open the file, which keeps an input far below a
// millisecond. The captured debug lines are dropped after each input.
#pragma once

#include "activation/Activation.h"
#include "activation/ZvLog.h"
#include "activation/ZvParameters.h"

#include <hostkernel_test.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace fuzzact {

[[noreturn]] inline void Fail(const char* what, const std::string& detail = std::string()) {
    fprintf(stderr, "activation fuzzer: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// A wide text held in Chars WCHARs must end within them.
inline bool Terminated(const WCHAR* text, size_t chars) {
    for (size_t i = 0; i < chars; i++)
        if (text[i] == 0) return true;
    return false;
}

inline void CheckParametersTerminated() {
    const ZV_PARAMETERS& p = g_Parameters;
    Check(Terminated(p.ServerIp, ZV_ADDRESS_CHARS), "ServerIp not terminated");
    Check(Terminated(p.TargetIqn, ZV_IQN_CHARS), "TargetIqn not terminated");
    Check(Terminated(p.ClientId, ZV_CLIENT_ID_CHARS), "ClientId not terminated");
    Check(Terminated(p.ApiServerIp, ZV_ADDRESS_CHARS), "ApiServerIp not terminated");
    Check(Terminated(p.SuperUserToken, ZV_TOKEN_CHARS), "SuperUserToken not terminated");
}

// Brackets one input: whatever the driver allocated, opened or mapped for it is gone afterwards.
class Round {
public:
    Round() : pool_(hk::test::PoolMark()), handles_(hk::test::OpenHandles()) {}
    ~Round() {
        std::string leaks = hk::test::PoolLeaksSince(pool_);
        if (!leaks.empty()) Fail("pool leak", leaks);
        if (hk::test::OpenHandles() != handles_) Fail("handle leak");
        if (hk::test::OutstandingIoSpaceMappings() != 0) Fail("I/O space mapping left");
        hk::test::ClearDbgLines();
    }

private:
    uint64_t pool_;
    long handles_;
};

// Once per process: a clean machine with the driver's log level.
inline void StartMachine() {
    hk::test::ResetMachine();
    InterlockedExchange(&LogLevel, 2);
    InitializeDriverParameters();
}

inline void SetW(WCHAR* dst, size_t chars, const char* s) {
    size_t i = 0;
    for (; s[i] != 0 && i + 1 < chars; i++) dst[i] = (WCHAR)(unsigned char)s[i];
    dst[i] = 0;
}

}  // namespace fuzzact
