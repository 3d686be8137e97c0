// A management server that lies: anyone on the café's LAN can answer the by-MAC query in its
// place. Whatever it sends — endless headers, a Content-Length of exabytes, a byte every few
// seconds, garbage, answers cut short, values of the wrong type — the query must end in bounded
// time with a failure status it logged, change nothing in the parameter set, and leave no socket,
// pool block or handle behind (the fixture checks the last three after every test).
#include "ActivationTestSupport.h"
#include "HttpPeer.h"

#include "activation/Activation.h"
#include "protocol/ZelkoProtocol.h"

#include <hk_wsk_test.h>

#include <chrono>

using httppeer::Answer;
using httppeer::Http;
using httppeer::Peer;

namespace {

const char kClass[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

class HostileServer : public DriverMachine {
protected:
    void SetUp() override {
        DriverMachine::SetUp();
        HkWskTestReset();
        hk::test::RegSetString(std::string(kClass) + "\\0000", "NetworkAddress", "00-1A-2B-3C-4D-5E");
        SetW(g_Parameters.ApiServerIp, "127.0.0.1");
        SetW(g_Parameters.ServerIp, "10.0.0.9");
        SetW(g_Parameters.TargetIqn, "iqn.keep");
        g_Parameters.SuperUser = TRUE;
        SetW(g_Parameters.SuperUserToken, "old-token-123456");
    }
    void TearDown() override {
        WskClient_Cleanup();
        EXPECT_EQ(HkWskTestOpenSockets(), 0);
        HkWskTestReset();
        DriverMachine::TearDown();
    }

    static void SetW(WCHAR* dst, const std::string& s) {
        size_t i = 0;
        for (; i < s.size(); i++) dst[i] = (WCHAR)(unsigned char)s[i];
        dst[i] = 0;
    }
    static std::string A(const WCHAR* w) {
        std::string s;
        while (*w) s += (char)*w++;
        return s;
    }
    static int64_t RealMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // One query against a server giving `answer`; real milliseconds it took in *ms.
    NTSTATUS Query(const Answer& answer, int64_t* ms = nullptr) {
        Peer peer([&](int, const std::string&) { return answer; });
        g_Parameters.ApiServerPort = peer.port();
        ZV_PARAMETERS before = g_Parameters;
        int64_t t0 = RealMs();
        NTSTATUS st = QueryClientConfigViaApi();
        if (ms) *ms = RealMs() - t0;
        peer.Stop();
        if (!NT_SUCCESS(st))
            EXPECT_EQ(memcmp(&before, &g_Parameters, sizeof before), 0) << "a failed query changed the parameters";
        return st;
    }

    bool Logged(const std::string& text) { return FileLog().find(text) != std::string::npos; }
};

// What the HTTP layer refuses: no header end in the 8191 bytes it holds, and no body after it.
TEST_F(HostileServer, EndlessHeadersAndGarbageFailAsInvalidAnswers) {
    std::string endless = "HTTP/1.1 200 OK\r\n";
    while (endless.size() < (1u << 20)) endless += "X-Pad: " + std::string(60, 'a') + "\r\n";
    int64_t ms = 0;
    EXPECT_EQ(Query(Answer{endless}, &ms), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_TRUE(Logged("[HTTP] 响应未包含完整 HTTP header (recv=8191)\n"));
    EXPECT_LT(ms, 10000) << "the driver stops reading at its buffer's end";

    std::string garbage;
    for (int i = 0; i < 5000; i++) garbage += (char)((i * 7919) % 251);
    EXPECT_EQ(Query(Answer{garbage}), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_EQ(Query(Answer{"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n"}), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_TRUE(Logged("[API] WskHttpGet 失败 0xC00000C3\n"));
}

// Content-Length is not believed in either direction: neither allocated for nor waited for.
TEST_F(HostileServer, ContentLengthIsNeverBelieved) {
    std::string body = "{\"code\":0,\"imageIqn\":\"iqn.2024-01.net.zelko:image.3\"}";
    int64_t ms = 0;
    EXPECT_EQ(Query(Answer{"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\n" + body}, &ms),
              STATUS_SUCCESS);
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.2024-01.net.zelko:image.3");
    EXPECT_LT(ms, 10000);
    EXPECT_EQ(Query(Answer{"HTTP/1.1 200 OK\r\nContent-Length: -1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"}),
              STATUS_REQUEST_NOT_ACCEPTED);
}

// A server that drips its answer a byte at a time, each byte just inside the 15 s a single
// receive may wait, used to hold the boot for as long as it liked (8191 bytes at 2 s each are
// more than four hours). The whole receive phase now ends after 30 s.
TEST_F(HostileServer, ASlowDripEndsWithinTheReceiveLimit) {
    hk::test::SetClockRate(200);   // 10 ms between bytes are 2 s of the driver's time
    std::string answer = Http(200, "{\"code\":0,\"imageIqn\":\"iqn.2024-01.net.zelko:image.3\"}").bytes;
    answer += std::string(8000, ' ');
    Answer drip{answer, false, 1, 10};
    int64_t ms = 0;
    NTSTATUS st = Query(drip, &ms);
    EXPECT_EQ(st, STATUS_INVALID_NETWORK_RESPONSE) << "the header end never arrived in time";
    EXPECT_LT(ms, 20000);
    // Normally the total limit ends it; on a very busy machine a single receive may time out first.
    EXPECT_TRUE(Logged("[HTTP] WskReceive 总时限 30000 ms 已到，停止接收") ||
                Logged("[HTTP] WskReceive 结束 status=0x00000102"));
}

// Answers cut short — by the server closing, the receive limit or the 8191-byte cut — must not
// yield a shorter value than was sent: a cut "image.12" is not "image.1", a cut token is no token.
TEST_F(HostileServer, ValuesCutShortByTheEndOfTheAnswerCountAsMissing) {
    const struct {
        std::string body;
        NTSTATUS status;
    } cases[] = {
        {"{\"code\":0,\"imageIqn\":\"iqn.2024-01.net.zelko:image.12", STATUS_DATA_ERROR},
        {"{\"code\":0,\"imageId\":12", STATUS_DATA_ERROR},
        {"{\"code\":0", STATUS_REQUEST_NOT_ACCEPTED},
    };
    for (const auto& c : cases) EXPECT_EQ(Query(Http(200, c.body)), c.status) << c.body;

    // A complete IQN with the token cut: the image is taken, the token is not.
    ASSERT_EQ(Query(Http(200, "{\"code\":0,\"imageIqn\":\"iqn.x\",\"superUserToken\":\"3f9a0c1d2e3f4051")),
              STATUS_SUCCESS);
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.x");
    EXPECT_FALSE(g_Parameters.SuperUser);
    EXPECT_EQ(A(g_Parameters.SuperUserToken), "");
}

// Numbers beyond 64 bits used to wrap round: a result code of 2^64 read as 0 (accepted), an
// image id of 2^64 + 7 as image 7.
TEST_F(HostileServer, NumbersBeyond64BitsAreNoNumbers) {
    EXPECT_EQ(Query(Http(200, "{\"code\":18446744073709551616,\"imageIqn\":\"iqn.x\"}")), STATUS_REQUEST_NOT_ACCEPTED);
    EXPECT_EQ(Query(Http(200, "{\"code\":0,\"imageId\":18446744073709551623}")), STATUS_DATA_ERROR);
    EXPECT_EQ(Query(Http(200, "{\"code\":0,\"imageId\":9223372036854775808}")), STATUS_DATA_ERROR);
    EXPECT_EQ(Query(Http(200, "{\"code\":-9223372036854775808,\"imageIqn\":\"iqn.x\"}")), STATUS_REQUEST_NOT_ACCEPTED);
    ASSERT_EQ(Query(Http(200, "{\"code\":0,\"imageId\":9223372036854775807}")), STATUS_SUCCESS);
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.2024-01.net.zelko:image.9223372036854775807");
}

// Values of the wrong type are missing values; a NUL or other control character inside a string
// (which JSON forbids raw) made the IQN shorter than its reported length, even empty on success.
TEST_F(HostileServer, WrongTypesAndControlCharactersAreRefused) {
    const struct {
        std::string body;
        NTSTATUS status;
    } cases[] = {
        {"{\"code\":[0],\"imageIqn\":\"iqn.x\"}", STATUS_REQUEST_NOT_ACCEPTED},
        {"{\"code\":null,\"imageIqn\":\"iqn.x\"}", STATUS_REQUEST_NOT_ACCEPTED},
        {"{\"code\":0,\"imageIqn\":123}", STATUS_DATA_ERROR},
        {"{\"code\":0,\"imageIqn\":null,\"imageId\":\"7\"}", STATUS_DATA_ERROR},
        {"{\"code\":0,\"imageIqn\":{\"x\":\"iqn.y\"}}", STATUS_DATA_ERROR},
        {std::string("{\"code\":0,\"imageIqn\":\"\0iqn.x\"}", 30), STATUS_DATA_ERROR},
        {std::string("{\"code\":0,\"imageIqn\":\"iqn\0.x\"}", 30), STATUS_DATA_ERROR},
        {"{\"code\":0,\"imageIqn\":\"iqn.x\r\n[API] 成功\"}", STATUS_DATA_ERROR},
    };
    for (const auto& c : cases) EXPECT_EQ(Query(Http(200, c.body)), c.status) << c.body;

    ASSERT_EQ(Query(Http(200, "{\"code\":0,\"imageIqn\":\"iqn.x\",\"superUserToken\":{\"t\":\"abcdefgh\"}}")),
              STATUS_SUCCESS);
    EXPECT_FALSE(g_Parameters.SuperUser) << "an object is no token";
    ASSERT_EQ(Query(Http(200, "{\"code\":0,\"imageIqn\":\"iqn.x\",\"superUserToken\":\"abc\tdefgh\"}")), STATUS_SUCCESS);
    EXPECT_FALSE(g_Parameters.SuperUser) << "a token with a control character is no token";
}

// The file log keeps the start of the body; line ends and NULs in it are shown as "." so that a
// fake server can neither cut the line short nor write lines of its own into the log.
TEST_F(HostileServer, TheLoggedBodyCannotForgeLogLines) {
    std::string body("{\"code\":1}\r\n[API] 成功 ServerIp=6.6.6.6\n\0tail", 47);
    EXPECT_EQ(Query(Http(200, body)), STATUS_REQUEST_NOT_ACCEPTED);
    EXPECT_TRUE(Logged("[API] 响应 47 字节: {\"code\":1}..[API] 成功 ServerIp=6.6.6.6..tail\n"));
    EXPECT_FALSE(Logged("\n[API] 成功"));
}

// A server that accepts and never answers, or resets the connection mid-answer: bounded, clean.
TEST_F(HostileServer, SilenceAndResetsFailCleanly) {
    hk::test::SetClockRate(50);
    int64_t ms = 0;
    EXPECT_EQ(Query(Answer{"", true}, &ms), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_LT(ms, 10000);
    EXPECT_TRUE(Logged("[HTTP] WskReceive 结束 status=0x00000102 recv=0\n"));

    HkWskTestResetAfterBytes(30, 0);
    EXPECT_EQ(Query(Http(200, "{\"code\":0,\"imageIqn\":\"iqn.2024-01.net.zelko:image.3\"}")),
              STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_TRUE(Logged("[HTTP] WskReceive 结束 status=0xC000020D"));
}

}  // namespace
