// HttpRequest and the server operations against a scripted loopback peer: the bytes we send and
// what the operator sees for replies the real management server never gives.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <chrono>

#include "ScriptedPeer.h"
#include "api/Http.h"
#include "api/Operations.h"
#include "api/Settings.h"
#include "api/Text.h"

namespace {

class Http : public testing::Test {
 protected:
  void SetUp() override {
    SetAllHttpTimeouts(3000);
    Settings().serverHost = L"127.0.0.1";
    Settings().sessionToken.clear();
  }
  // Points the process-wide server at the peer.
  void Use(ScriptedPeer& peer) { Settings().apiPort = peer.port(); }
};

std::string Ok(const std::string& body) { return ScriptedPeer::Reply(200, body, "OK"); }

bool Has(const std::string& req, const std::string& part) { return req.find(part) != std::string::npos; }

std::string BodyOf(const std::string& req) {
  size_t end = req.find("\r\n\r\n");
  return end == std::string::npos ? "" : req.substr(end + 4);
}

}  // namespace

TEST_F(Http, RequestCarriesExactlyTheHeadersAndBodyAskedFor) {
  ScriptedPeer peer(Ok("{\"code\":0}"));
  HttpResponse r = HttpRequest(L"POST", L"127.0.0.1", peer.port(), L"/api/x?a=1&b=2",
                               L"application/json", "tok-123", "{\"k\":\"值\"}");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 200u);
  EXPECT_EQ(r.body, "{\"code\":0}");
  EXPECT_EQ(r.error, "");
  r = HttpRequest(L"GET", L"127.0.0.1", peer.port(), L"/plain", L"", "", "");
  EXPECT_TRUE(r.ok);

  auto reqs = peer.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].rfind("POST /api/x?a=1&b=2 HTTP/1.1\r\n", 0), 0u) << reqs[0];
  EXPECT_TRUE(Has(reqs[0], "\r\nContent-Type: application/json\r\n"));
  EXPECT_TRUE(Has(reqs[0], "\r\nAuthorization: Bearer tok-123\r\n"));
  EXPECT_TRUE(Has(reqs[0], "\r\nUser-Agent: ZelkoMfcClient/1.0\r\n"));
  EXPECT_EQ(BodyOf(reqs[0]), "{\"k\":\"值\"}");
  EXPECT_EQ(reqs[1].rfind("GET /plain HTTP/1.1\r\n", 0), 0u);
  EXPECT_FALSE(Has(reqs[1], "Authorization"));
  EXPECT_FALSE(Has(reqs[1], "Content-Type"));
  EXPECT_EQ(BodyOf(reqs[1]), "");
}

TEST_F(Http, StatusOutsideTwoHundredsFailsButKeepsTheBody) {
  ScriptedPeer peer(ScriptedPeer::Reply(401, "{\"code\":401,\"message\":\"no\"}", "Unauthorized"));
  HttpResponse r = HttpRequest(L"GET", L"127.0.0.1", peer.port(), L"/", L"", "", "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 401u);
  EXPECT_EQ(r.error, "HTTP 状态码: 401");
  EXPECT_EQ(r.body, "{\"code\":401,\"message\":\"no\"}");
  EXPECT_EQ(DescribeConnectError(r.error, L"127.0.0.1", peer.port()), L"HTTP 状态码: 401");

  ScriptedPeer empty(ScriptedPeer::Reply(204, ""));
  r = HttpRequest(L"POST", L"127.0.0.1", empty.port(), L"/", L"application/json", "", "");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.status, 204u);
  EXPECT_EQ(r.body, "");
}

TEST_F(Http, SilentServerIsBoundedByTheReceiveTimeout) {
  ScriptedPeer peer("");  // accepts, reads, never answers
  SetAllHttpTimeouts(1000);
  auto t0 = std::chrono::steady_clock::now();
  HttpResponse r = HttpRequest(L"GET", L"127.0.0.1", peer.port(), L"/", L"", "", "");
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, 0u);
  EXPECT_LT(secs, 10.0);
  EXPECT_EQ(r.error, "WinHttpReceiveResponse 失败，错误码: 12002");
  std::wstring port = std::to_wstring(peer.port());
  EXPECT_EQ(DescribeConnectError(r.error, L"127.0.0.1", peer.port()),
            L"连接服务器 127.0.0.1:" + port + L" 超时\n请检查网络连接或服务器是否响应");
}

TEST_F(Http, RefusedPortAndUnknownHostGiveTheOperatorMessages) {
  int port = UnusedLoopbackPort();
  HttpResponse r = HttpRequest(L"GET", L"127.0.0.1", port, L"/", L"", "", "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "WinHttpSendRequest 失败，错误码: 12029");
  std::wstring p = std::to_wstring(port);
  EXPECT_EQ(DescribeConnectError(r.error, L"127.0.0.1", port),
            L"无法连接到服务器 127.0.0.1:" + p +
                L"\n\n请检查：\n1. 服务器地址和端口是否正确\n2. 服务端程序是否正在运行\n3. 防火墙是否放行该端口");

  // A label longer than 63 characters cannot be put into a DNS query, so the resolver rejects
  // the name locally: an unknown host without any traffic leaving the machine.
  std::wstring bad = std::wstring(70, L'z') + L".invalid";
  r = HttpRequest(L"GET", bad, 5000, L"/", L"", "", "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "WinHttpSendRequest 失败，错误码: 12007");
  EXPECT_EQ(DescribeConnectError(r.error, bad, 5000),
            L"无法解析服务器地址 " + bad + L"\n请检查服务器地址是否正确");
}

TEST(DescribeConnectError, CodesAndPlainTexts) {
  EXPECT_EQ(DescribeConnectError("WinHttpOpen 失败", L"h", 1), L"WinHttpOpen 失败");
  EXPECT_EQ(DescribeConnectError("用户名或密码错误", L"h", 1), L"用户名或密码错误");
  EXPECT_EQ(DescribeConnectError("x 错误码: \t12030", L"h", 2),
            L"与服务器 h:2 的连接已断开\n请确认服务端运行正常");
  EXPECT_EQ(DescribeConnectError("x 错误码:12005", L"h", 3), L"服务器地址格式无效: h:3");
  EXPECT_EQ(DescribeConnectError("x 错误码: 87", L"h", 4), L"网络请求失败（错误码 87）\n服务器: h:4");
  // Without digits after the marker the text is shown as it is.
  EXPECT_EQ(DescribeConnectError("错误码: abc", L"h", 5), L"错误码: abc");
}

TEST_F(Http, LoginRepliesAndBody) {
  std::string token, error;
  {
    ScriptedPeer peer(Ok("{\"code\":401,\"message\":\"用户名或密码错误\"}"));
    EXPECT_FALSE(Login(L"127.0.0.1", peer.port(), "a\"b", "p\\w", token, error));
    EXPECT_EQ(error, "用户名或密码错误");
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].rfind("POST /api/auth/disk/login HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(BodyOf(reqs[0]), R"({"username":"a\"b","password":"p\\w"})");
    EXPECT_FALSE(Has(reqs[0], "Authorization"));
  }
  {
    ScriptedPeer peer(Ok("{\"code\":401}"));
    EXPECT_FALSE(Login(L"127.0.0.1", peer.port(), "u", "p", token, error));
    EXPECT_EQ(error, "登录失败");
  }
  {
    ScriptedPeer peer(Ok("{\"code\":0}"));
    EXPECT_FALSE(Login(L"127.0.0.1", peer.port(), "u", "p", token, error));
    EXPECT_EQ(error, "响应中缺少 accessToken");
  }
  {
    ScriptedPeer peer(ScriptedPeer::Reply(401, "{\"code\":401,\"message\":\"x\"}"));
    EXPECT_FALSE(Login(L"127.0.0.1", peer.port(), "u", "p", token, error));
    EXPECT_EQ(error, "HTTP 状态码: 401");
  }
  {
    ScriptedPeer peer(Ok("not json at all"));
    EXPECT_FALSE(Login(L"127.0.0.1", peer.port(), "u", "p", token, error));
    EXPECT_EQ(error, "登录失败");
  }
  {
    ScriptedPeer peer(Ok("{\"code\":0,\"accessToken\":\"t-1\"}"));
    EXPECT_TRUE(Login(L"127.0.0.1", peer.port(), "u", "p", token, error));
    EXPECT_EQ(token, "t-1");
  }
}

TEST_F(Http, ClientLookup) {
  Settings().sessionToken = "session";
  int64_t id = -5;
  bool super = true;
  std::string error;
  {
    ScriptedPeer peer(Ok("{\"code\":0,\"id\":0}"));
    Use(peer);
    EXPECT_FALSE(GetClientByMac("AA-BB-CC-DD-EE-FF", id, super, error));
    EXPECT_EQ(error, "客户机响应中缺少 id");
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].rfind("GET /api/disk/clients/by-mac/AA-BB-CC-DD-EE-FF HTTP/1.1\r\n", 0), 0u);
    EXPECT_FALSE(Has(reqs[0], "Authorization"));  // never, even after login
  }
  {
    ScriptedPeer peer(Ok("{\"code\":404}"));
    Use(peer);
    EXPECT_FALSE(GetClientByMac("AA-BB-CC-DD-EE-FF", id, super, error));
    EXPECT_EQ(error, "客户机未在服务端注册");
  }
  {
    ScriptedPeer peer(Ok("{\"code\":0,\"data\":{\"id\":12},\"name\":\"pc\"}"));
    Use(peer);
    EXPECT_TRUE(GetClientByMac("AA-BB-CC-DD-EE-FF", id, super, error));
    EXPECT_EQ(id, 12);
    EXPECT_FALSE(super);
  }
}

TEST_F(Http, ImageList) {
  Settings().sessionToken = "session";
  std::vector<ImageEntry> images;
  std::string error;
  {
    ScriptedPeer peer(Ok(R"({"code":0,"items":[{"id":1,"name":"win10"},{"id":2},)"
                         R"({"id":0,"name":"zero"},{"id":3,"name":""},{"id":4,"name":"\u6e38\u620f"}]})"));
    Use(peer);
    ASSERT_TRUE(LoadImageList(images, error));
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].id, 1);
    EXPECT_EQ(images[0].name, "win10");
    EXPECT_EQ(images[1].id, 4);
    EXPECT_EQ(Utf8ToWide(images[1].name), L"游戏");
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].rfind("GET /api/disk/images?page=1&pageSize=100 HTTP/1.1\r\n", 0), 0u);
    EXPECT_TRUE(Has(reqs[0], "\r\nAuthorization: Bearer session\r\n"));
  }
  {
    ScriptedPeer peer(Ok(R"({"code":0,"items":[]})"));
    Use(peer);
    EXPECT_TRUE(LoadImageList(images, error));
    EXPECT_TRUE(images.empty());
  }
  {
    ScriptedPeer peer(Ok(R"({"items":[{"id":1,"name":"a"}]})"));  // no code: a failure
    Use(peer);
    EXPECT_FALSE(LoadImageList(images, error));
    EXPECT_EQ(error, "未知错误");
  }
}

TEST_F(Http, SuperSwitchPrepareDiskAndUploadSession) {
  Settings().sessionToken = "session";
  std::string error, token;
  {
    ScriptedPeer peer(Ok("{\"code\":0}"));
    Use(peer);
    EXPECT_TRUE(SetSuperClient(12, true, error));
    EXPECT_TRUE(SetSuperClient(12, false, error));
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].rfind("POST /api/disk/clients/12/super HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(BodyOf(reqs[0]), "{\"isSuperClient\":true}");
    EXPECT_EQ(BodyOf(reqs[1]), "{\"isSuperClient\":false}");
    EXPECT_TRUE(Has(reqs[0], "\r\nContent-Type: application/json\r\n"));
    EXPECT_TRUE(Has(reqs[0], "\r\nAuthorization: Bearer session\r\n"));
  }
  {
    ScriptedPeer peer(Ok("{\"code\":7}"));
    Use(peer);
    EXPECT_FALSE(SetSuperClient(12, true, error));
    EXPECT_EQ(error, "切换超级用户模式失败");
  }
  {
    ScriptedPeer peer(ScriptedPeer::Reply(204, ""));
    Use(peer);
    EXPECT_TRUE(PrepareDisk(33, error));
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].rfind("POST /api/disk/images/33/prepare-disk HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(BodyOf(reqs[0]), "");
  }
  {
    ScriptedPeer peer(ScriptedPeer::Reply(409, "{\"code\":15,\"message\":\"busy\"}"));
    Use(peer);
    EXPECT_FALSE(PrepareDisk(33, error));
    EXPECT_EQ(error, "HTTP 状态码: 409");
  }
  {
    ScriptedPeer peer(Ok(R"({"code":0,"data":[{"uploadToken":"up-9"}]})"));
    EXPECT_TRUE(RequestUploadSession(L"127.0.0.1", peer.port(), 5, token, error));
    EXPECT_EQ(token, "up-9");
    auto reqs = peer.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(BodyOf(reqs[0]), "{\"imageId\":5}");
  }
  {
    ScriptedPeer peer(Ok(R"({"code":0})"));
    EXPECT_FALSE(RequestUploadSession(L"127.0.0.1", peer.port(), 5, token, error));
    EXPECT_EQ(error, "解析上传令牌失败，响应: {\"code\":0}");
  }
  {
    ScriptedPeer peer(ScriptedPeer::Reply(403, "{}"));
    EXPECT_FALSE(RequestUploadSession(L"127.0.0.1", peer.port(), 5, token, error));
    EXPECT_EQ(error, "申请上传会话失败: HTTP 状态码: 403 (HTTP 403)");
  }
}

TEST(MacAddress, FirstAdapterWithSixNonZeroBytesInListOrder) {
  IP_ADAPTER_INFO a[4] = {};
  for (int i = 0; i < 3; ++i) a[i].Next = &a[i + 1];
  a[0].AddressLength = 6;  // all zero: skipped
  a[1].AddressLength = 8;  // not an Ethernet address: skipped
  memcpy(a[1].Address, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  a[2].AddressLength = 6;
  memcpy(a[2].Address, "\x0a\xbc\x00\x01\xfe\xff", 6);
  a[3].AddressLength = 6;
  memcpy(a[3].Address, "\x11\x11\x11\x11\x11\x11", 6);
  EXPECT_EQ(MacFromAdapterList(a), "0A-BC-00-01-FE-FF");
  a[2].Next = nullptr;
  a[2].AddressLength = 0;
  EXPECT_EQ(MacFromAdapterList(a), "");
  EXPECT_EQ(MacFromAdapterList(nullptr), "");
}

TEST(MacAddress, FormatIsUpperCaseDashSeparated) {
  std::string mac = GetMacAddress();
  if (mac.empty()) GTEST_SKIP() << "no adapter with an address on this machine";
  ASSERT_EQ(mac.size(), 17u);
  for (size_t i = 0; i < mac.size(); ++i) {
    if (i % 3 == 2) EXPECT_EQ(mac[i], '-');
    else EXPECT_TRUE((mac[i] >= '0' && mac[i] <= '9') || (mac[i] >= 'A' && mac[i] <= 'F')) << mac;
  }
  EXPECT_NE(mac, "00-00-00-00-00-00");
}
