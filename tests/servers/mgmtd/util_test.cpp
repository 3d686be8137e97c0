// The input parsers every request goes through.
#include <gtest/gtest.h>

#include "util.h"
#include "zelko_common/link.h"

using namespace zelko::mgmtd;

TEST(MgmtdInput, MacForms) {
    EXPECT_EQ(NormalizeMac("AA-BB-CC-00-11-22"), "aabbcc001122");
    EXPECT_EQ(NormalizeMac("aa:bb:cc:00:11:22"), "aabbcc001122");
    EXPECT_EQ(NormalizeMac("AaBbCc001122"), "aabbcc001122");
    for (const char* bad : {"", "AA-BB-CC-00-11", "AA-BB-CC-00-11-2G", "AA-BB:CC-00-11-22", "AABBCC0011223",
                            "AA-BB-CC-00-11-22-", " aabbcc001122"})
        EXPECT_FALSE(NormalizeMac(bad)) << bad;
    EXPECT_TRUE(IsDriverMacForm("aabbcc001122"));
    EXPECT_FALSE(IsDriverMacForm("AABBCC001122"));
    EXPECT_FALSE(IsDriverMacForm("aa-bb-cc-00-11-22"));
    EXPECT_EQ(DisplayMac("aabbcc001122"), "AA-BB-CC-00-11-22");
}

TEST(MgmtdInput, AddressesSizesIdsNames) {
    EXPECT_EQ(NormalizeIpv4("192.168.1.23"), "192.168.1.23");
    EXPECT_EQ(NormalizeIpv4("::ffff:10.0.0.1"), "10.0.0.1");
    for (const char* bad : {"", "1.2.3", "1.2.3.256", "a.b.c.d", "1.2.3.4 ", "::1"}) EXPECT_FALSE(NormalizeIpv4(bad)) << bad;

    EXPECT_EQ(ParseSize("512"), 512u);
    EXPECT_EQ(ParseSize("40G"), 40ull << 30);
    EXPECT_EQ(ParseSize("2t"), 2ull << 40);
    for (const char* bad : {"", "G", "-1", "1.5G", "99999999999999999999", "16777216T"}) EXPECT_FALSE(ParseSize(bad)) << bad;

    EXPECT_EQ(ParseId("12"), 12);
    for (const char* bad : {"", "0", "012", "-3", "1e3", "12a", "9999999999999999999"}) EXPECT_FALSE(ParseId(bad)) << bad;

    EXPECT_TRUE(ValidName("pc01"));
    EXPECT_TRUE(ValidName("win10-游戏"));
    EXPECT_TRUE(ValidName(std::string(64, 'x')));
    EXPECT_FALSE(ValidName(std::string(65, 'x')));
    EXPECT_FALSE(ValidName(""));
    EXPECT_FALSE(ValidName("a\nb"));
    EXPECT_FALSE(ValidName("\xC0\x80"));       // overlong NUL
    EXPECT_FALSE(ValidName("\xE6\xB8"));       // cut sequence
    EXPECT_FALSE(ValidName("ab\xE6"));         // cut at the end
    EXPECT_FALSE(ValidName("\x80zz"));         // stray continuation byte
    EXPECT_FALSE(ValidName("\xF5\x80\x80\x80"));
}

TEST(MgmtdInput, IqnsAndTheLinkSecret) {
    using namespace zelko::common;
    EXPECT_EQ(ImageIqn(42), "iqn.2024-01.net.zelko:image.42");
    EXPECT_EQ(ImageIdFromIqn("iqn.2024-01.net.zelko:image.42"), 42);
    for (const char* bad : {"iqn.2024-01.net.zelko:image.", "iqn.2024-01.net.zelko:image.042",
                            "iqn.2024-01.net.zelko:image.4x", "iqn.2024-01.net.zelko:client.default", "image.4"})
        EXPECT_FALSE(ImageIdFromIqn(bad)) << bad;
    EXPECT_TRUE(LinkSecretEquals("s3cret", "s3cret"));
    EXPECT_FALSE(LinkSecretEquals("s3cre", "s3cret"));
    EXPECT_FALSE(LinkSecretEquals("s3cretX", "s3cret"));
    EXPECT_FALSE(LinkSecretEquals("", ""));  // no secret configured: nothing matches
}

// The servers' log escaping: readable text (Chinese included) stays as it is; everything a
// terminal or a log reader could take for structure does not.
TEST(CommonLog, EscapesWhatCouldForgeOrHideALine) {
    using zelko::common::LogEscape;
    EXPECT_EQ(LogEscape("login of \"管理员\" from 10.0.0.1"), "login of \"管理员\" from 10.0.0.1");
    EXPECT_EQ(LogEscape(std::string("a\nb\rc\0d", 7)), "a\\x0ab\\x0dc\\x00d");
    EXPECT_EQ(LogEscape("\x1b[2J\x7f"), "\\x1b[2J\\x7f");
    EXPECT_EQ(LogEscape("C:\\x0a"), "C:\\\\x0a");  // an escape in the input cannot pass for ours
    EXPECT_EQ(LogEscape("\xc2\x9b"
                        "31m"),
              "\\xc2\\x9b31m");                                                // C1 CSI in UTF-8
    EXPECT_EQ(LogEscape("\xff\xfe ok \xe4\xb8"), "\\xff\\xfe ok \\xe4\\xb8");  // not UTF-8, cut sequence
    EXPECT_EQ(LogEscape("\xed\xa0\x80"), "\\xed\\xa0\\x80");                   // a UTF-16 surrogate
    EXPECT_EQ(LogEscape("\xf0\x9f\x8e\xae"), "\xf0\x9f\x8e\xae");              // four bytes, valid
}

TEST(CommonSha256, KnownDigestsInOneGoAndInPieces) {
    using zelko::common::Sha256;
    using zelko::common::Sha256Hex;
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string million(1000000, 'a');
    Sha256 s;
    for (size_t off = 0; off < million.size(); off += 4093)
        s.Update(million.data() + off, std::min<size_t>(4093, million.size() - off));
    EXPECT_EQ(s.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
