// Every server operation of the client against a management server that lies: broken HTTP
// framing, endless or stalled streams, bodies of the wrong shape. Anyone on the café LAN can
// pose as the server, so each case must end in an error for the operator, within a bound set by
// the time-outs, without touching the caller's outputs.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "ScriptedPeer.h"
#include "api/Http.h"
#include "api/Operations.h"
#include "api/Settings.h"
#include "api/Text.h"

namespace {

using Then = ScriptedPeer::Then;

constexpr int kTimeoutMs = 1000;
// Connect, send and receive time-outs may each run out once, plus Wine's own pace.
constexpr double kBoundSeconds = 8.0;

// One body every operation accepts when it arrives intact: the framing cases below break only
// the transport, so a success there would mean the client trusted a broken reply.
const std::string kAllOk =
    R"({"code":0,"accessToken":"tok-1","id":12,"isSuperClient":true,)"
    R"("items":[{"id":3,"name":"win10"}],"uploadToken":"up-1"})";

struct Operation {
  const char* name;
  // Runs the operation against the peer's port; true on success, `error` set otherwise.
  std::function<bool(int port, std::string& error)> run;
};

// Each operation checks that a failure left its outputs as they were.
std::vector<Operation> Operations() {
  return {
      {"Login",
       [](int port, std::string& error) {
         std::string token = "preset";
         bool ok = Login(L"127.0.0.1", port, "u", "p", token, error);
         if (!ok) EXPECT_EQ(token, "preset");
         return ok;
       }},
      {"GetClientByMac",
       [](int port, std::string& error) {
         Settings().apiPort = port;
         int64_t id = -5;
         bool super = false;
         bool ok = GetClientByMac("AA-BB-CC-DD-EE-FF", id, super, error);
         if (!ok) EXPECT_EQ(id, -5);
         return ok;
       }},
      {"LoadImageList",
       [](int port, std::string& error) {
         Settings().apiPort = port;
         std::vector<ImageEntry> images = {{99, "keep"}};
         bool ok = LoadImageList(images, error);
         if (!ok) EXPECT_EQ(images.size(), 1u);
         return ok;
       }},
      {"SetSuperClient",
       [](int port, std::string& error) {
         Settings().apiPort = port;
         return SetSuperClient(12, true, error);
       }},
      {"PrepareDisk",
       [](int port, std::string& error) {
         Settings().apiPort = port;
         return PrepareDisk(3, error);
       }},
      {"RequestUploadSession",
       [](int port, std::string& error) {
         std::string token = "preset";
         bool ok = RequestUploadSession(L"127.0.0.1", port, 3, token, error);
         if (!ok) EXPECT_EQ(token, "preset");
         return ok;
       }},
  };
}

class Hostile : public testing::Test {
 protected:
  void SetUp() override {
    SetAllHttpTimeouts(kTimeoutMs);
    Settings().serverHost = L"127.0.0.1";
    Settings().sessionToken = "session";
  }

  // Runs `op` against a fresh peer; returns whether it succeeded and checks the time bound and
  // that a failure carries an error text the login dialog can show.
  bool RunAgainst(const Operation& op, const std::string& reply, Then then,
                  const std::string& filler, std::string& error) {
    ScriptedPeer peer(reply, then, filler);
    error.clear();
    auto t0 = std::chrono::steady_clock::now();
    bool ok = op.run(peer.port(), error);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, kBoundSeconds) << op.name;
    if (!ok) {
      EXPECT_FALSE(error.empty()) << op.name;
      EXPECT_FALSE(DescribeConnectError(error, L"127.0.0.1", peer.port()).empty()) << op.name;
    }
    return ok;
  }

  // Every operation must fail against this peer.
  void ExpectAllFail(const char* what, const std::string& reply, Then then = Then::Close,
                     const std::string& filler = "") {
    for (const Operation& op : Operations()) {
      std::string error;
      EXPECT_FALSE(RunAgainst(op, reply, then, filler, error)) << what << ": " << op.name;
    }
  }
};

std::string Head(const std::string& extra) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + extra + "\r\n";
}

}  // namespace

TEST_F(Hostile, TheSharedReplySatisfiesEveryOperation) {
  // Without this the failures below could come from the body, not from the framing.
  for (const Operation& op : Operations()) {
    std::string error;
    EXPECT_TRUE(RunAgainst(op, ScriptedPeer::Reply(200, kAllOk, "OK"), Then::Close, "", error))
        << op.name << ": " << error;
    // HTTP/1.0 framing: no length, the body ends with the connection.
    EXPECT_TRUE(RunAgainst(op, Head("Connection: close\r\n") + kAllOk, Then::Close, "", error))
        << op.name << " (no Content-Length): " << error;
  }
}

TEST_F(Hostile, ContentLengthThatCannotBeTrue) {
  ExpectAllFail("length beyond 64 bits",
                Head("Content-Length: 99999999999999999999999\r\nConnection: close\r\n") + kAllOk);
  ExpectAllFail("length above the reply limit",
                Head("Content-Length: " + std::to_string(kMaxReplyBytes + 1) +
                     "\r\nConnection: close\r\n") + kAllOk);
  ExpectAllFail("length that is not a number",
                Head("Content-Length: 12abc\r\nConnection: close\r\n") + kAllOk);
}

TEST_F(Hostile, TruncatedBodies) {
  std::string longer = Head("Content-Length: " + std::to_string(kAllOk.size() + 40) +
                            "\r\nConnection: close\r\n");
  ExpectAllFail("body shorter than its length, then close", longer + kAllOk);
  ExpectAllFail("body shorter than its length, then silence", longer + kAllOk, Then::Hold);
  ExpectAllFail("chunked body cut in a chunk",
                Head("Transfer-Encoding: chunked\r\nConnection: close\r\n") + "400\r\n" + kAllOk);
  ExpectAllFail("headers cut off", "HTTP/1.1 200 OK\r\nContent-Length: 5", Then::Close);
  ExpectAllFail("headers, then silence", "HTTP/1.1 200 OK\r\nContent-Le", Then::Hold);
  ExpectAllFail("no reply at all", "", Then::Close);
}

TEST_F(Hostile, EndlessHeaders) {
  ExpectAllFail("endless headers", "HTTP/1.1 200 OK\r\n", Then::Repeat,
                "X-Filler: " + std::string(1000, 'a') + "\r\n");
}

TEST_F(Hostile, EndlessInterimReplies) {
  // WinHTTP reads past every "100 Continue" to the final reply, which never comes.
  ExpectAllFail("endless 100 Continue", "", Then::Repeat, "HTTP/1.1 100 Continue\r\n\r\n");
}

TEST_F(Hostile, EndlessHeaderLine) {
  ExpectAllFail("one endless header line", "HTTP/1.1 200 OK\r\nX-Filler: ", Then::Repeat,
                std::string(4096, 'a'));
}

TEST_F(Hostile, DrippingReplies) {
  // A byte well within every receive time-out, for ever: only a bound on the whole reply ends it.
  ExpectAllFail("dripping headers", "HTTP/1.1 200 OK\r\n", Then::Drip, "X");
  ExpectAllFail("dripping body", Head("Content-Length: 100000\r\n") + kAllOk, Then::Drip, " ");
}

TEST_F(Hostile, EndlessBodies) {
  ExpectAllFail("endless body without length", Head("Connection: close\r\n") + kAllOk,
                Then::Repeat, std::string(4096, ' '));
  ExpectAllFail("endless chunked body", Head("Transfer-Encoding: chunked\r\n") + "1\r\n{\r\n",
                Then::Repeat, "1000\r\n" + std::string(4096, ' ') + "\r\n");
  ExpectAllFail("body longer than its length", Head("Content-Length: 20\r\n") + kAllOk,
                Then::Repeat, std::string(4096, ' '));
}

TEST_F(Hostile, RedirectsAreNotFollowed) {
  // A followed redirect would hand our Authorization header to a host of the server's choosing.
  ScriptedPeer elsewhere(ScriptedPeer::Reply(200, kAllOk, "OK"));
  std::string location = "http://127.0.0.1:" + std::to_string(elsewhere.port()) + "/steal";
  for (int status : {301, 302, 307, 308}) {
    ExpectAllFail("redirect", "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " +
                                  location + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  }
  EXPECT_TRUE(elsewhere.requests().empty());
}

TEST_F(Hostile, GarbageStatusLines) {
  ExpectAllFail("not HTTP", "SSH-2.0-OpenSSH\r\n\r\n" + kAllOk);
  ExpectAllFail("status beyond 32 bits",
                "HTTP/1.1 99999999999 OK\r\nContent-Length: " + std::to_string(kAllOk.size()) +
                    "\r\nConnection: close\r\n\r\n" + kAllOk);
  ExpectAllFail("binary noise", std::string("\x00\xff\xfe\r\n\r\n\x01", 8));
}

TEST_F(Hostile, BodiesThatAreNoReplyAtAll) {
  // The reader scans rather than recurses, so depth costs it no stack.
  std::string deep = std::string(300000, '[') + "{\"message\":1}" + std::string(300000, ']');
  ExpectAllFail("deep nesting", ScriptedPeer::Reply(200, deep, "OK"));
  ExpectAllFail("invalid UTF-8", ScriptedPeer::Reply(200, "\xff\xfe\xc0\x80{\"code\":\"\xed\xa0\x80\"}", "OK"));
  ExpectAllFail("a bare number", ScriptedPeer::Reply(200, "1e999999999", "OK"));
  ExpectAllFail("a refusal inside a 200", ScriptedPeer::Reply(200, "{\"code\":5,\"message\":\"no\"}", "OK"));
}

// Bodies of the wrong shape behind correct framing. Each operation reads only its own fields,
// so each gets the lies that concern it.
TEST_F(Hostile, LoginRefusesTokensThatWouldInjectHeaders) {
  Operation login = Operations()[0];
  const char* bodies[] = {
      R"({"code":0,"accessToken":"a\r\nX-Injected: 1"})",
      R"({"code":0,"accessToken":"a\nb"})",
      R"({"code":0,"accessToken":"a b"})",
      R"({"code":0,"accessToken":"tok\u0000"})",
      R"({"code":0,"accessToken":"\u6e38\u620f"})",
      "{\"code\":0,\"accessToken\":\"a\xff\xfe\"}",
      R"({"code":0,"accessToken":123})",
      R"({"code":0,"accessToken":null})",
      R"({"code":0,"accessToken":["t"]})",
      R"({"code":"0","accessToken":"t"})",
      R"({"code":99999999999999999999,"accessToken":"t"})",
  };
  for (const char* body : bodies) {
    std::string error;
    EXPECT_FALSE(RunAgainst(login, ScriptedPeer::Reply(200, body, "OK"), Then::Close, "", error))
        << body;
  }
  std::string error;
  EXPECT_FALSE(RunAgainst(login,
                          ScriptedPeer::Reply(200, "{\"code\":0,\"accessToken\":\"" +
                                                       std::string(kMaxAccessTokenChars + 1, 't') +
                                                       "\"}"),
                          Then::Close, "", error));
  EXPECT_EQ(error, "响应中的 accessToken 无效");
  // The longest token we take still works and goes out unchanged.
  std::string longest(kMaxAccessTokenChars, 't');
  longest[0] = '!';
  longest.back() = '~';
  EXPECT_TRUE(RunAgainst(login,
                         ScriptedPeer::Reply(200, "{\"code\":0,\"accessToken\":\"" + longest + "\"}"),
                         Then::Close, "", error))
      << error;
}

TEST_F(Hostile, ClientLookupRefusesIdsThatAreNotIds) {
  Operation lookup = Operations()[1];
  const char* bodies[] = {
      R"({"code":0,"id":"12"})",
      R"({"code":0,"id":-12})",
      R"({"code":0,"id":99999999999999999999999})",
      R"({"code":0,"id":null})",
      R"({"code":0,"id":[12]})",
      R"({"code":"0","id":12})",
      R"({"code":{"code":0},"id":12})",
  };
  for (const char* body : bodies) {
    std::string error;
    EXPECT_FALSE(RunAgainst(lookup, ScriptedPeer::Reply(200, body, "OK"), Then::Close, "", error))
        << body;
  }
}

TEST_F(Hostile, ImageListKeepsOnlyWellFormedEntries) {
  auto load = [&](const std::string& body, std::vector<ImageEntry>& images, std::string& error) {
    ScriptedPeer peer(ScriptedPeer::Reply(200, body, "OK"));
    Settings().apiPort = peer.port();
    return LoadImageList(images, error);
  };
  std::vector<ImageEntry> images;
  std::string error;
  // Wrong types and a saturated id are dropped; braces inside a name do not split an entry.
  ASSERT_TRUE(load(R"({"code":0,"items":[{"id":"1","name":"s"},{"id":2,"name":7},)"
                   R"({"id":99999999999999999999,"name":"big"},{"id":4,"name":"a}{\"id\":5"},)"
                   R"(7,"x",null,[{"id":6,"name":"nested"}],{"id":8,"name":"ok"}]})",
                   images, error));
  // The reader steps over what is not an object and ends the list at the first "]" outside an
  // object: the object in the inner array counts, what follows that array does not.
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].id, 4);
  EXPECT_EQ(images[0].name, "a}{\"id\":5");
  EXPECT_EQ(images[1].id, 6);
  // Deep nesting costs no stack: the reader scans, it does not recurse.
  std::string deep(200000, '{');
  ASSERT_TRUE(load("{\"code\":0,\"items\":[" + deep, images, error));
  EXPECT_TRUE(images.empty());
  std::string arrays(200000, '[');
  EXPECT_FALSE(load(arrays + "{\"code\":1}", images, error));
  // Invalid UTF-8 in a name is kept as bytes; what the list view shows is the system's
  // replacement of it, never a failed conversion.
  ASSERT_TRUE(load("{\"code\":0,\"items\":[{\"id\":1,\"name\":\"\xff\xc0\x80\"}]}", images, error));
  ASSERT_EQ(images.size(), 1u);
  EXPECT_FALSE(Utf8ToWide(images[0].name).empty());
  // A refusal with a huge message shows a bounded text, not a screen full.
  EXPECT_FALSE(load("{\"code\":5,\"message\":\"" + std::string(100000, 'm') + "\"}", images, error));
  EXPECT_LE(error.size(), 1100u);
  EXPECT_EQ(error.substr(0, 10), "mmmmmmmmmm");
}

TEST_F(Hostile, SuperSwitchNeedsAnIntegerCodeZero) {
  Operation super = Operations()[3];
  const char* bodies[] = {
      R"({"code":"0"})", R"({"code":null})", R"({"code":false})",
      R"({"code":4294967296})", R"({"message":"\ud800"})", "",
  };
  for (const char* body : bodies) {
    std::string error;
    EXPECT_FALSE(RunAgainst(super, ScriptedPeer::Reply(200, body, "OK"), Then::Close, "", error))
        << body;
  }
}

TEST_F(Hostile, UploadSessionRefusesTokensTheDriverCannotCarry) {
  Operation upload = Operations()[5];
  const char* bodies[] = {
      R"({"code":0,"uploadToken":"a\r\nb"})",
      R"({"code":0,"uploadToken":"a b"})",
      R"({"code":0,"uploadToken":12})",
      R"({"code":0,"data":[{"uploadToken":"\u0007"}]})",
      R"({"code":0,"data":{"uploadToken":null}})",
  };
  for (const char* body : bodies) {
    std::string error;
    EXPECT_FALSE(RunAgainst(upload, ScriptedPeer::Reply(200, body, "OK"), Then::Close, "", error))
        << body;
  }
  // The driver's token field holds 63 characters; a longer token is refused, not cut.
  std::string error;
  EXPECT_FALSE(RunAgainst(
      upload, ScriptedPeer::Reply(200, "{\"uploadToken\":\"" + std::string(64, 'u') + "\"}"),
      Then::Close, "", error));
  EXPECT_TRUE(RunAgainst(
      upload, ScriptedPeer::Reply(200, "{\"uploadToken\":\"" + std::string(63, 'u') + "\"}"),
      Then::Close, "", error))
      << error;
}

TEST_F(Hostile, NoRequestCarriesABadTokenOrPath) {
  // The last gate before the header is composed: a session token from anywhere that could end
  // the Authorization line is never sent.
  ScriptedPeer peer(ScriptedPeer::Reply(200, kAllOk, "OK"));
  HttpResponse r = HttpRequest(L"GET", L"127.0.0.1", peer.port(), L"/x", L"",
                               "tok\r\nX-Injected: 1", "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "登录令牌无效，请求未发送");
  r = HttpRequest(L"GET", L"127.0.0.1", peer.port(), L"/x y HTTP/1.0\r\nX-Injected: 1\r\n", L"",
                  "", "");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "请求路径无效，请求未发送");
  Settings().sessionToken = "s\r\nX-Injected: 1";
  std::vector<ImageEntry> images;
  std::string error;
  Settings().apiPort = peer.port();
  EXPECT_FALSE(LoadImageList(images, error));
  EXPECT_TRUE(peer.requests().empty());
}
