// The by-MAC query of the management API from kernel mode: the HTTP GET byte for byte against a
// scripted peer, what the minimal key search accepts and refuses, MAC discovery from the adapter
// class key, and the bounded socket waits (a request the provider never completes is abandoned
// to it, not freed under it).
#include "ActivationTestSupport.h"
#include "HttpPeer.h"

#include "activation/Activation.h"
#include "protocol/ZelkoProtocol.h"

#include <hk_wsk_test.h>

using httppeer::Answer;
using httppeer::Http;
using httppeer::Peer;

namespace {

const char kClass[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char kToken[] = "3f9a0c1d2e3f405162738495a6b7c8d9";

std::string Body(const std::string& iqn = "iqn.2024-01.net.zelko:image.3", const std::string& token = kToken,
                 const std::string& mac = "00-1A-2B-3C-4D-5E") {
    return "{\"code\":0,\"id\":1,\"imageIqn\":\"" + iqn + "\",\"imageId\":3,\"macAddress\":\"" + mac +
           "\",\"superUserToken\":\"" + token + "\",\"isSuperClient\":true}";
}

class ApiQuery : public DriverMachine {
protected:
    void SetUp() override {
        DriverMachine::SetUp();
        HkWskTestReset();
        Nic("0000", "00-1A-2B-3C-4D-5E");
        SetW(g_Parameters.ApiServerIp, "127.0.0.1");
    }
    void TearDown() override {
        WskClient_Cleanup();
        EXPECT_EQ(HkWskTestOpenSockets(), 0);
        HkWskTestReset();
        DriverMachine::TearDown();
    }

    static void Nic(const std::string& sub, const std::string& address) {
        hk::test::RegSetString(std::string(kClass) + "\\" + sub, "NetworkAddress", address);
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

    NTSTATUS Query(Peer& peer) {
        g_Parameters.ApiServerPort = peer.port();
        return QueryClientConfigViaApi();
    }

    // The file-log lines with a tag, in order.
    std::vector<std::string> Tagged(const std::string& tag) {
        std::vector<std::string> out;
        std::istringstream ss(FileLog());
        for (std::string l; std::getline(ss, l);)
            if (l.rfind(tag, 0) == 0) out.push_back(l);
        return out;
    }
    bool Printed(const std::string& text) {
        for (auto& l : DriverLines())
            if (l == text) return true;
        return false;
    }
    std::string Everything() {
        std::string all = FileLog();
        for (auto& l : DriverLines()) all += l;
        return all;
    }
};

TEST_F(ApiQuery, AsksByMacAndTakesImageServerAndMaskedToken) {
    Peer peer([](int, const std::string&) { return Http(200, Body()); });
    std::string port = std::to_string(peer.port());
    ASSERT_EQ(Query(peer), STATUS_SUCCESS);

    ASSERT_EQ(peer.Requests().size(), 1u);
    EXPECT_EQ(peer.Requests()[0],
              "GET /api/disk/clients/by-mac/001a2b3c4d5e HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.2024-01.net.zelko:image.3");
    EXPECT_EQ(A(g_Parameters.ServerIp), "127.0.0.1");
    EXPECT_EQ(A(g_Parameters.ClientId), "001a2b3c4d5e");
    EXPECT_TRUE(g_Parameters.SuperUser);
    EXPECT_EQ(A(g_Parameters.SuperUserToken), kToken);
    EXPECT_EQ(g_Parameters.ServerPort, 9501) << "the query never changes the disk server port";

    std::string body = Body("iqn.2024-01.net.zelko:image.3", "3f9a\xE2\x80\xA6(32)");
    size_t len = Body().size();
    EXPECT_EQ(Tagged("[HTTP]"),
              (std::vector<std::string>{"[HTTP] 开始 GET http://127.0.0.1:" + port + "/api/disk/clients/by-mac/001a2b3c4d5e",
                                        "[HTTP] WskSocket 开始", "[HTTP] WskSocket 成功", "[HTTP] WskBind 0x00000000",
                                        "[HTTP] WskConnect -> 127.0.0.1:" + port, "[HTTP] WskConnect 成功",
                                        "[HTTP] WskSend 90 字节", "[HTTP] WskSend 成功", "[HTTP] WskReceive 开始",
                                        "[HTTP] WskReceive 结束 status=0x00000000 recv=0",
                                        "[HTTP] 成功 body=" + std::to_string(len) + " 字节"}));
    EXPECT_EQ(Tagged("[API]"),
              (std::vector<std::string>{
                  "[API] 使用 MAC=001a2b3c4d5e 查询 127.0.0.1:" + port,
                  "[API] HTTP GET http://127.0.0.1:" + port + "/api/disk/clients/by-mac/001a2b3c4d5e",
                  "[API] 响应 " + std::to_string(len) + " 字节: " + body,
                  "[API] 提取到 imageIqn=iqn.2024-01.net.zelko:image.3",
                  "[API] 用 ApiServerIp 覆盖 ServerIp=127.0.0.1",
                  "[API] 超管 TOKEN 已获取 len=32 token=3f9a\xE2\x80\xA6(32)",
                  "[API] 成功 ServerIp=127.0.0.1 Port=9501 Iqn=iqn.2024-01.net.zelko:image.3 ClientId=001a2b3c4d5e Super=1"}));
    EXPECT_TRUE(Printed("ZelkoVd: API 返回 IQN: iqn.2024-01.net.zelko:image.3\n"));
    EXPECT_TRUE(Printed("ZelkoVd: API 自激活参数: ServerIp=127.0.0.1, Port=9501, Iqn=iqn.2024-01.net.zelko:image.3, "
                        "ClientId=001a2b3c4d5e, Super=1\n"));
    EXPECT_EQ(Everything().find("0c1d2e3f"), std::string::npos) << "the token must never be logged";
}

TEST_F(ApiQuery, TheBodyDecidesNotTheHttpStatus) {
    Peer error([](int, const std::string&) { return Http(404, "{\"code\":404,\"message\":\"客户机未在服务端注册\"}"); });
    SetW(g_Parameters.TargetIqn, "iqn.keep");
    EXPECT_EQ(Query(error), STATUS_REQUEST_NOT_ACCEPTED);
    EXPECT_EQ(Tagged("[API] API 返回错误").back(), "[API] API 返回错误 code=404");
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.keep") << "a failed query changes nothing";
    EXPECT_EQ(A(g_Parameters.ServerIp), "");

    Peer ok([](int, const std::string&) { return Http(500, Body()); });
    EXPECT_EQ(Query(ok), STATUS_SUCCESS);
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.2024-01.net.zelko:image.3");
}

TEST_F(ApiQuery, ResultCodeMustBeThePlainIntegerZero) {
    struct Case {
        std::string body;
        NTSTATUS expected;
    } cases[] = {
        {"{\"imageIqn\":\"iqn.x\"}", STATUS_REQUEST_NOT_ACCEPTED},
        {"{\"code\":\"0\",\"imageIqn\":\"iqn.x\"}", STATUS_REQUEST_NOT_ACCEPTED},
        {"{\"code\":-,\"imageIqn\":\"iqn.x\"}", STATUS_REQUEST_NOT_ACCEPTED},
        {"{\"code\" :\t 0 ,\"imageIqn\":\"iqn.x\"}", STATUS_SUCCESS},
        {"{\"code\":00,\"imageIqn\":\"iqn.x\"}", STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        Peer peer([&](int, const std::string&) { return Http(200, c.body); });
        EXPECT_EQ(Query(peer), c.expected) << c.body;
    }
    EXPECT_EQ(Tagged("[API] API 返回错误"), std::vector<std::string>(3, "[API] API 返回错误 code=0"));
}

TEST_F(ApiQuery, ImageIdStandsInForAMissingIqn) {
    Peer peer([](int, const std::string&) { return Http(200, "{\"code\":0,\"imageIqn\":\"\",\"imageId\":42}"); });
    ASSERT_EQ(Query(peer), STATUS_SUCCESS);
    EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.2024-01.net.zelko:image.42");
    EXPECT_EQ(Tagged("[API] 旧版服务端").back(), "[API] 旧版服务端，用 imageId=42 构造 IQN=iqn.2024-01.net.zelko:image.42");

    for (std::string id : {"-5", "0", "\"7\""}) {
        SetW(g_Parameters.TargetIqn, "iqn.keep");
        SetW(g_Parameters.ServerIp, "10.0.0.9");
        Peer bad([&](int, const std::string&) { return Http(200, "{\"code\":0,\"imageId\":" + id + "}"); });
        EXPECT_EQ(Query(bad), STATUS_DATA_ERROR) << id;
        EXPECT_EQ(A(g_Parameters.TargetIqn), "iqn.keep");
        EXPECT_EQ(A(g_Parameters.ServerIp), "10.0.0.9");
    }
    EXPECT_EQ(Tagged("[API] 响应中未找到").size(), 3u);
}

TEST_F(ApiQuery, LongTextsAreCutToTheirBuffers) {
    std::string iqn(300, 'q');
    std::string token(80, 't');
    Peer peer([&](int, const std::string&) { return Http(200, Body(iqn, token)); });
    ASSERT_EQ(Query(peer), STATUS_SUCCESS);
    EXPECT_EQ(A(g_Parameters.TargetIqn), std::string(255, 'q'));
    EXPECT_EQ(A(g_Parameters.SuperUserToken), std::string(63, 't'));
    EXPECT_EQ(Tagged("[API] 超管").back(), "[API] 超管 TOKEN 已获取 len=63 token=tttt\xE2\x80\xA6(63)");
}

TEST_F(ApiQuery, AnswerIsCutAt8191BytesEvenWhenItArrivesInPieces) {
    std::string head = "HTTP/1.1 200 OK\r\n\r\n{\"code\":0,\"x\":\"";
    std::string fill(8191 - head.size() - 2, 'x');
    std::string bytes = head + fill + "\",\"imageIqn\":\"iqn.beyond\"}";
    Peer peer([&](int, const std::string&) { return Answer{bytes, false, 1500}; });
    EXPECT_EQ(Query(peer), STATUS_DATA_ERROR) << "the IQN lies beyond the cut";

    // The same bytes through the GET itself: 8191 held, the body after the header returned.
    CHAR buf[8192];
    ULONG got = 99;
    ASSERT_EQ(WskHttpGet(L"127.0.0.1", peer.port(), "/x", buf, sizeof buf, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 8191 - 19u);
    EXPECT_EQ(std::string(buf, got), bytes.substr(19, got));
    EXPECT_EQ(buf[got], 0);
}

TEST_F(ApiQuery, HeadersMustEndWithCrLfCrLfAndABodyMustFollow) {
    for (std::string bytes : {std::string("HTTP/1.1 200 OK\nContent-Length: 30\n\n{\"code\":0,\"imageIqn\":\"iqn.x\"}"),
                              std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), std::string("")}) {
        Peer peer([&](int, const std::string&) { return Answer{bytes}; });
        EXPECT_EQ(Query(peer), STATUS_INVALID_NETWORK_RESPONSE) << bytes;
        EXPECT_EQ(Tagged("[HTTP] 响应未包含").back(),
                  "[HTTP] 响应未包含完整 HTTP header (recv=" + std::to_string(bytes.size()) + ")");
        EXPECT_EQ(Tagged("[API] WskHttpGet 失败").back(), "[API] WskHttpGet 失败 0xC00000C3");
    }
}

TEST_F(ApiQuery, MacComesFromTheFirstUsableNetworkAddress) {
    // Ten digits, a bad character, the wrong type: skipped; the next subkey counts.
    Nic("0000", "00-1A-2B-3C-4D");
    Nic("0001", "0G1A2B3C4D5E");
    hk::test::RegSetString(std::string(kClass) + "\\0002", "NetworkAddress", "001A2B3C4D5F", REG_EXPAND_SZ);
    Nic("0004", "00:1a:2B:3c:4D:60 ");
    Nic("0005", "00-1A-2B-3C-4D-61");
    WCHAR mac[13];
    ASSERT_EQ(GetLocalMacAddress(mac, 13), STATUS_SUCCESS);
    EXPECT_EQ(A(mac), "001a2b3c4d60");
    EXPECT_EQ(GetLocalMacAddress(mac, 12), STATUS_INVALID_PARAMETER) << "no room for the terminator";

    hk::test::RegDeleteKey(std::string(kClass) + "\\0004");
    hk::test::RegDeleteKey(std::string(kClass) + "\\0005");
    Nic("0100", "00-1A-2B-3C-4D-62");
    EXPECT_EQ(GetLocalMacAddress(mac, 13), STATUS_NOT_FOUND) << "only 0000..0099 are searched";
    hk::test::RegDeleteKey(kClass);
    EXPECT_EQ(GetLocalMacAddress(mac, 13), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ApiQuery, WithoutAMacTheClientIdStandsIn) {
    hk::test::RegDeleteKey(kClass);
    EXPECT_EQ(QueryClientConfigViaApi(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Tagged("[API] ClientId 也为空").size(), 1u);
    EXPECT_TRUE(Printed("ZelkoVd: 获取 MAC 失败 0xC0000034，回退使用注册表 ClientId\n"));

    SetW(g_Parameters.ClientId, "AABBCC001122-pc7");
    Peer peer([&](int, const std::string&) { return Http(200, Body()); });
    ASSERT_EQ(Query(peer), STATUS_SUCCESS);
    EXPECT_EQ(peer.Requests()[0].substr(0, 42), "GET /api/disk/clients/by-mac/aabbcc001122 ");
    EXPECT_EQ(Tagged("[API] 获取 MAC 失败").back(), "[API] 获取 MAC 失败 0xC0000034，回退 ClientId=AABBCC001122-pc7");
    EXPECT_EQ(A(g_Parameters.ClientId), "AABBCC001122-pc7") << "a configured client id is kept";
    EXPECT_TRUE(Printed("ZelkoVd: MAC 不匹配 (本地=aabbcc001122, API=001a2b3c4d5e)，继续\n"));
}

TEST_F(ApiQuery, NoTokenLeavesSuperUserModeAndNoAddressNoQuery) {
    g_Parameters.SuperUser = TRUE;
    SetW(g_Parameters.SuperUserToken, "old-token-123456");
    Peer peer([](int, const std::string&) { return Http(200, Body("iqn.x", "")); });
    ASSERT_EQ(Query(peer), STATUS_SUCCESS);
    EXPECT_FALSE(g_Parameters.SuperUser);
    EXPECT_EQ(A(g_Parameters.SuperUserToken), "");
    EXPECT_EQ(Tagged("[API] 非超管").size(), 1u);

    g_Parameters.ApiServerIp[0] = 0;
    EXPECT_EQ(QueryClientConfigViaApi(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Printed("ZelkoVd: API 自激活失败 - ApiServerIp 未配置\n"));
    EXPECT_EQ(Tagged("[API] ApiServerIp 未配置").size(), 1u);
    EXPECT_EQ(peer.Count(), 1u);
}

TEST_F(ApiQuery, MaskShowsFourCharactersAndTheLength) {
    CHAR out[ZV_MASKED_TOKEN_BYTES];
    ZvMaskTokenA("", out, sizeof out);
    EXPECT_STREQ(out, "(none)");
    ZvMaskTokenA("abcdefgh", out, sizeof out);
    EXPECT_STREQ(out, "abcd\xE2\x80\xA6(8)");
    ZvMaskTokenA("abcdefg", out, sizeof out);
    EXPECT_STREQ(out, "\xE2\x80\xA6(7)") << "a short token shows nothing of itself";
    ZvMaskTokenW(L"0123456789", out, sizeof out);
    EXPECT_STREQ(out, "0123\xE2\x80\xA6(10)");
}

// ---------------------------------------------------------------------------------------------
// The GET itself

class HttpGet : public ApiQuery {};

TEST_F(HttpGet, RefusesBadArgumentsAndAddressesWithoutLeavingASocket) {
    CHAR buf[64];
    ULONG got = 7;
    EXPECT_EQ(WskHttpGet(nullptr, 80, "/", buf, sizeof buf, &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", 80, nullptr, buf, sizeof buf, &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", 80, "/", nullptr, sizeof buf, &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", 80, "/", buf, 0, &got), STATUS_INVALID_PARAMETER);
    for (const WCHAR* bad : {L"1.2.3", L"256.0.0.1", L"1.2.3.4x", L"1..2.3", L"1.2.3.4.5", L"", L"localhost"}) {
        EXPECT_EQ(WskHttpGet(bad, 80, "/", buf, sizeof buf, &got), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(HkWskTestOpenSockets(), 0);
    }
}

TEST_F(HttpGet, RefusedConnectAndOversizedRequestSendNothing) {
    Peer peer([](int, const std::string&) { return Http(200, "{}"); });
    uint16_t port = peer.port();
    peer.Stop();
    CHAR buf[64];
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", port, "/", buf, sizeof buf, nullptr), STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(Tagged("[HTTP] WskConnect 失败").back(),
              "[HTTP] WskConnect 失败 0xC0000236 (server=127.0.0.1:" + std::to_string(port) + ")");

    Peer live([](int, const std::string&) { return Http(200, "{}"); });
    CHAR big[512];
    std::string path = "/" + std::string(443, 'p');   // "GET " + path = 448 bytes: one too many
    EXPECT_FALSE(NT_SUCCESS(WskHttpGet(L"127.0.0.1", live.port(), path.c_str(), big, sizeof big, nullptr)));
    path.pop_back();
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", live.port(), path.c_str(), big, sizeof big, nullptr), STATUS_SUCCESS);
    live.Stop();
    std::vector<std::string> seen = live.Requests();
    ASSERT_EQ(seen.size(), 2u);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen[0], "") << "the oversized request was never sent, only the connection made";
    EXPECT_EQ(seen[1].substr(0, 4 + path.size() + 1), "GET " + path + " ");
}

TEST_F(HttpGet, ASmallBufferHoldsSizeLessOneBytes) {
    Peer peer([](int, const std::string&) { return Answer{"HTTP/1.1 200 OK\r\n\r\n" + std::string(100, 'b')}; });
    CHAR buf[32];
    memset(buf, 'z', sizeof buf);
    ULONG got = 0;
    ASSERT_EQ(WskHttpGet(L"127.0.0.1", peer.port(), "/", buf, sizeof buf, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 31u - 19u);
    EXPECT_EQ(std::string(buf), std::string(12, 'b'));
}

// A receive the provider never completes: waited for 15 s, cancelled, waited 5 s more, then left
// to the provider. The socket's close completes it, and it frees itself; nothing leaks and
// nothing is freed while the provider still holds it (AddressSanitizer watches the latter).
TEST_F(HttpGet, StalledRequestsAreAbandonedToTheProviderNotFreedUnderIt) {
    hk::test::SetClockRate(50);
    Peer peer([](int, const std::string&) { return Answer{"", true}; });
    CHAR buf[128];
    HkWskTestStall(HkWskOpReceive, 1);
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", peer.port(), "/", buf, sizeof buf, nullptr), STATUS_INVALID_NETWORK_RESPONSE);
    EXPECT_EQ(Tagged("[HTTP] WskReceive 结束").back(), "[HTTP] WskReceive 结束 status=0x00000102 recv=0");
    EXPECT_EQ(HkWskTestStalledIrps(), 0u) << "the close released the abandoned receive";

    HkWskTestStall(HkWskOpSend, 1);
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", peer.port(), "/", buf, sizeof buf, nullptr), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Tagged("[HTTP] WskSend 失败").back(), "[HTTP] WskSend 失败 0xC00000B5");

    HkWskTestStall(HkWskOpConnect, 1);
    EXPECT_EQ(WskHttpGet(L"127.0.0.1", peer.port(), "/", buf, sizeof buf, nullptr), STATUS_IO_TIMEOUT);
    EXPECT_EQ(HkWskTestStalledIrps(), 0u);
    peer.Stop();
}

}  // namespace
