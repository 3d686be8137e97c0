// The server operations against a real zelko-mgmtd on loopback (started by with-mgmtd.sh, which
// passes its port and administrator password in the environment).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "api/Http.h"
#include "api/Json.h"
#include "api/Operations.h"
#include "api/Settings.h"
#include "api/Text.h"

namespace {

// Wide, because the narrow environment of a Windows process is in the ANSI code page.
std::string Env(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  return v ? WideToUtf8(v) : "";
}

class Mgmtd : public testing::Test {
 protected:
  void SetUp() override {
    if (Env(L"ZELKO_TEST_API_PORT").empty()) GTEST_SKIP() << "run through with-mgmtd.sh";
    port_ = atoi(Env(L"ZELKO_TEST_API_PORT").c_str());
    Settings().serverHost = L"127.0.0.1";
    Settings().apiPort = port_;
    SetAllHttpTimeouts(5000);
    std::string error;
    ASSERT_TRUE(Login(L"127.0.0.1", port_, Env(L"ZELKO_TEST_USER"), Env(L"ZELKO_TEST_PASSWORD"),
                      Settings().sessionToken, error))
        << error;
  }
  // Registers a PC through the console API and returns its id.
  int64_t AddClient(const std::string& mac) {
    std::string body = "{\"macAddress\":" + JsonQuote(mac) +
                       ",\"name\":\"pc-test\",\"ipAddress\":\"127.0.0.1\",\"imageId\":1}";
    HttpResponse r = HttpPostJson(L"127.0.0.1", port_, L"/api/disk/clients", body);
    EXPECT_TRUE(r.ok) << r.error << " " << r.body;
    int64_t id = 0;
    JsonGetInt64(r.body, "id", id);
    return id;
  }
  int port_ = 0;
};

}  // namespace

TEST_F(Mgmtd, LoginRefusalShowsTheServerText) {
  std::string token, error;
  EXPECT_FALSE(Login(L"127.0.0.1", port_, Env(L"ZELKO_TEST_USER"), "wrong", token, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find("HTTP"), std::string::npos) << "refusals come as code/message: " << error;
  EXPECT_EQ(DescribeConnectError(error, L"127.0.0.1", port_), Utf8ToWide(error));
}

TEST_F(Mgmtd, ImagesClientsAndSuperUserSwitch) {
  std::vector<ImageEntry> images;
  std::string error;
  ASSERT_TRUE(LoadImageList(images, error)) << error;
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].name + "|" + images[1].name, Env(L"ZELKO_TEST_IMAGES"));
  EXPECT_GE(images[0].id, 1);

  int64_t id = 0;
  bool super = true;
  EXPECT_FALSE(GetClientByMac("02-00-5E-00-00-99", id, super, error));
  EXPECT_FALSE(error.empty());

  int64_t added = AddClient("02-00-5E-00-00-0A");
  ASSERT_GE(added, 1);
  ASSERT_TRUE(GetClientByMac("02-00-5E-00-00-0A", id, super, error)) << error;
  EXPECT_EQ(id, added);
  EXPECT_FALSE(super);

  ASSERT_TRUE(SetSuperClient(id, true, error)) << error;
  ASSERT_TRUE(GetClientByMac("02-00-5E-00-00-0A", id, super, error)) << error;
  EXPECT_TRUE(super);
  ASSERT_TRUE(SetSuperClient(id, false, error)) << error;
  ASSERT_TRUE(GetClientByMac("02-00-5E-00-00-0A", id, super, error)) << error;
  EXPECT_FALSE(super);

  EXPECT_FALSE(SetSuperClient(999999, true, error));
  EXPECT_FALSE(error.empty());
}

TEST_F(Mgmtd, PrepareDiskAndUploadSession) {
  std::vector<ImageEntry> images;
  std::string error, token;
  ASSERT_TRUE(LoadImageList(images, error)) << error;
  ASSERT_FALSE(images.empty());
  EXPECT_TRUE(PrepareDisk(images[1].id, error)) << error;
  EXPECT_FALSE(PrepareDisk(999999, error));
  EXPECT_EQ(error.rfind("HTTP 状态码: 4", 0), 0u) << error;

  ASSERT_TRUE(RequestUploadSession(L"127.0.0.1", port_, images[0].id, token, error)) << error;
  EXPECT_FALSE(token.empty());

  // Without a session token the server refuses with 401.
  Settings().sessionToken.clear();
  EXPECT_FALSE(LoadImageList(images, error));
  EXPECT_EQ(error, "HTTP 状态码: 401");
}
