// Fixture for the protocol tests: the real protocol code on the host kernel, against a scripted
// peer on loopback. Every test starts from a fresh machine and fails on pool leaks and on sockets
// left open.
#pragma once

#include "PeerServer.h"

#include <gtest/gtest.h>
#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "protocol/ZelkoProtocol.h"

namespace wire = zelko::wire;

inline void SetWide(WCHAR* dst, size_t units, const std::string& ascii) {
    size_t i = 0;
    for (; i < ascii.size() && i < units; i++) dst[i] = (WCHAR)(unsigned char)ascii[i];
    if (i < units) dst[i] = 0;
}

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        hk::test::ResetMachine();
        HkWskTestReset();
        mark_ = hk::test::PoolMark();
        ASSERT_EQ(WskClient_Initialize(), STATUS_SUCCESS);
        hk::test::ClearDbgLines();
    }

    void TearDown() override {
        for (PPROTOCOL_SESSION s : sessions_) {
            ProtocolSession_Teardown(s);
            std::free(s);
        }
        sessions_.clear();
        HkWskTestReleaseStalled();
        // Closes complete on the reactor thread; give them a moment.
        for (int i = 0; i < 200 && HkWskTestOpenSockets() != 0; i++) peer::SleepMs(5);
        EXPECT_EQ(HkWskTestOpenSockets(), 0);
        EXPECT_EQ(hk::test::PoolLeaksSince(mark_), "");
        HkWskTestReset();
    }

    PPROTOCOL_SESSION NewSession(uint16_t port, const std::string& iqn = "iqn.2024-01.net.zelko:image.1",
                                 const std::string& clientId = "pc-01", ULONG preferredTransport = 0) {
        auto* s = static_cast<PPROTOCOL_SESSION>(std::aligned_alloc(64, (sizeof(PROTOCOL_SESSION) + 63) / 64 * 64));
        std::memset(s, 0, sizeof(*s));
        EXPECT_EQ(ProtocolSession_Init(s, preferredTransport), STATUS_SUCCESS);
        SetWide(s->serverIp, PROTO_SERVER_IP_UNITS, "127.0.0.1");
        s->serverPort = port;
        SetWide(s->targetIqn, PROTO_IQN_UNITS, iqn);
        SetWide(s->clientId, PROTO_CLIENT_ID_UNITS, clientId);
        sessions_.push_back(s);
        return s;
    }

    // Connect + Handshake, the way activation brings a session up.
    PPROTOCOL_SESSION Up(uint16_t port) {
        PPROTOCOL_SESSION s = NewSession(port);
        EXPECT_EQ(WskClient_Connect(s), STATUS_SUCCESS);
        EXPECT_EQ(ProtocolClient_Handshake(s), STATUS_SUCCESS);
        return s;
    }

    static bool LogHas(const std::string& text) {
        for (const auto& l : hk::test::DbgLines())
            if (l.text.find(text) != std::string::npos) return true;
        return false;
    }
    static int LogCount(const std::string& text) {
        int n = 0;
        for (const auto& l : hk::test::DbgLines())
            if (l.text.find(text) != std::string::npos) n++;
        return n;
    }

    std::vector<PPROTOCOL_SESSION> sessions_;
    uint64_t mark_ = 0;
};

// Elapsed virtual milliseconds, as the driver measures them.
inline double VirtualMs(LARGE_INTEGER from) {
    LARGE_INTEGER f;
    LARGE_INTEGER now = KeQueryPerformanceCounter(&f);
    return (double)(now.QuadPart - from.QuadPart) * 1000.0 / (double)f.QuadPart;
}
