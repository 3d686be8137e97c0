// The gates on what a reply may hand back to the client: tokens that go out again in a header or
// to the driver, and server texts shown to the operator.
#include <gtest/gtest.h>

#include "api/Replies.h"

TEST(Replies, SafeTokensArePrintableAsciiWithoutBlanksAndBounded) {
  EXPECT_TRUE(IsSafeToken("!", 1));
  EXPECT_TRUE(IsSafeToken("~azAZ09-._+/=", 64));
  EXPECT_FALSE(IsSafeToken("", 64));
  EXPECT_FALSE(IsSafeToken("ab", 1));
  for (char bad : {' ', '\t', '\r', '\n', '\0', '\x7f', '\x80', '\xff'})
    EXPECT_FALSE(IsSafeToken(std::string("a") + bad + "b", 64)) << (int)(unsigned char)bad;
}

TEST(Replies, OperatorTextIsCutAtACharacterBoundary) {
  EXPECT_EQ(OperatorText("short", 5), "short");
  EXPECT_EQ(OperatorText("abcdef", 3), "abc…");
  // "游戏" is two three-byte characters: a cut inside the second keeps only the first.
  EXPECT_EQ(OperatorText("游戏", 4), "游…");
  EXPECT_EQ(OperatorText("游戏", 2), "…");
  EXPECT_EQ(OperatorText("游戏", 3), "游…");
}

TEST(Replies, LoginTokenDecides) {
  std::string token = "preset", error;
  EXPECT_FALSE(DecodeLoginReply(R"({"code":0,"accessToken":"a\r\nX: 1"})", token, error));
  EXPECT_EQ(error, "响应中的 accessToken 无效");
  EXPECT_EQ(token, "preset");
  EXPECT_FALSE(DecodeLoginReply(R"({"code":0,"accessToken":""})", token, error));
  EXPECT_EQ(error, "响应中缺少 accessToken");
  EXPECT_TRUE(DecodeLoginReply(R"({"code":0,"accessToken":"t-1"})", token, error));
  EXPECT_EQ(token, "t-1");
}
