// JSON lookups and escaping: the matching rules that decide which value a reply yields.
#include <gtest/gtest.h>

#include "api/Json.h"
#include "api/Text.h"

TEST(Json, KeyMatchingIsTextualFirstOccurrenceFollowedByColon) {
  std::string s;
  EXPECT_TRUE(JsonGetString(R"({"a":{"id":"x"},"id":"y"})", "id", s));
  EXPECT_EQ(s, "x");
  EXPECT_TRUE(JsonGetString(R"({"msg":"id","id":"z"})", "id", s));
  EXPECT_EQ(s, "z");
  // A wrong-typed first match stops the lookup; the output keeps its preset.
  s = "preset";
  EXPECT_FALSE(JsonGetString(R"({"message":null,"message":"m"})", "message", s));
  EXPECT_EQ(s, "preset");
  EXPECT_TRUE(JsonGetString("{ \"k\" \t\r\n:\n \"v\" }", "k", s));
  EXPECT_EQ(s, "v");
  EXPECT_FALSE(JsonGetString(R"({"k":)", "k", s));
  EXPECT_FALSE(JsonGetString("", "k", s));
  // Unterminated strings run to the end of the document; an escaped quote does not end one.
  EXPECT_TRUE(JsonGetString(R"({"k":"ab\"c)", "k", s));
  EXPECT_EQ(s, "ab\"c");
  EXPECT_TRUE(JsonGetString(R"({"k":""})", "k", s));
  EXPECT_EQ(s, "");
}

TEST(Json, Integers) {
  int32_t v = 7;
  EXPECT_TRUE(JsonGetInt(R"({"code" : -12 })", "code", v));
  EXPECT_EQ(v, -12);
  v = -1;
  EXPECT_FALSE(JsonGetInt(R"({"code":"0"})", "code", v));
  EXPECT_FALSE(JsonGetInt(R"({"code":+5})", "code", v));
  EXPECT_FALSE(JsonGetInt(R"({"code":null})", "code", v));
  EXPECT_FALSE(JsonGetInt(R"({"code":-})", "code", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(JsonGetInt(R"({"code":3.9})", "code", v));
  EXPECT_EQ(v, 3);
  EXPECT_TRUE(JsonGetInt(R"({"code":12abc})", "code", v));
  EXPECT_EQ(v, 12);
  EXPECT_TRUE(JsonGetInt(R"({"n":99999999999})", "n", v));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_TRUE(JsonGetInt(R"({"n":-99999999999})", "n", v));
  EXPECT_EQ(v, INT32_MIN);
  int64_t w = 0;
  EXPECT_TRUE(JsonGetInt64(R"({"id":9007199254740993})", "id", w));
  EXPECT_EQ(w, 9007199254740993LL);
  EXPECT_TRUE(JsonGetInt64(R"({"id":-9223372036854775808})", "id", w));
  EXPECT_EQ(w, INT64_MIN);
  EXPECT_TRUE(JsonGetInt64(R"({"id":123456789012345678901234})", "id", w));
  EXPECT_EQ(w, INT64_MAX);
}

TEST(Json, Booleans) {
  bool b = false;
  EXPECT_TRUE(JsonGetBool(R"({"isSuperClient":true})", "isSuperClient", b));
  EXPECT_TRUE(b);
  EXPECT_TRUE(JsonGetBool(R"({"isSuperClient": false})", "isSuperClient", b));
  EXPECT_FALSE(b);
  b = true;
  EXPECT_FALSE(JsonGetBool(R"({"isSuperClient":1})", "isSuperClient", b));
  EXPECT_FALSE(JsonGetBool(R"({"isSuperClient":tru)", "isSuperClient", b));
  EXPECT_TRUE(b);
}

TEST(Json, Unescape) {
  EXPECT_EQ(JsonUnescape(R"(a\"b\\c\nd)"), "a\"b\\c\nd");
  EXPECT_EQ(JsonUnescape(R"(\x)"), "x");
  EXPECT_EQ(JsonUnescape(R"(\/\b\f\r\t)"), "/\b\f\r\t");
  EXPECT_EQ(JsonUnescape("end\\"), "end\\");
  // \u escapes become UTF-8, surrogate pairs included.
  EXPECT_EQ(JsonUnescape(R"(\u0041\u00e9\u65e0\u76D8)"), "A\xC3\xA9\xE6\x97\xA0\xE7\x9B\x98");
  EXPECT_EQ(JsonUnescape(R"(\ud83d\ude00)"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(JsonUnescape(R"(\ud83dx)"), "\xEF\xBF\xBDx");          // lone high surrogate
  EXPECT_EQ(JsonUnescape(R"(\ude00)"), "\xEF\xBF\xBD");            // lone low surrogate
  EXPECT_EQ(JsonUnescape(R"(\ud83d\u0041)"), "\xEF\xBF\xBD" "A");  // high + non-low
  EXPECT_EQ(JsonUnescape(R"(\u12)"), "u12");                       // too short: letter kept
  EXPECT_EQ(JsonUnescape(R"(\u12G4)"), "u12G4");
  EXPECT_EQ(JsonUnescape(R"(\u0000z)"), std::string("\0z", 2));
  std::string s;
  ASSERT_TRUE(JsonGetString(R"({"message":"\u5bc6\u7801\u9519\u8bef"})", "message", s));
  EXPECT_EQ(Utf8ToWide(s), L"密码错误");
}

TEST(Json, ObjectArrays) {
  auto items = JsonGetObjectArray(R"({"items":[{"id":1},{"id":2,"data":{"k":1}}]})", "items");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], R"({"id":1})");
  EXPECT_EQ(items[1], R"({"id":2,"data":{"k":1}})");
  EXPECT_TRUE(JsonGetObjectArray(R"({"items":[]})", "items").empty());
  EXPECT_TRUE(JsonGetObjectArray(R"({"items":null})", "items").empty());
  EXPECT_TRUE(JsonGetObjectArray(R"({"other":[{"a":1}]})", "items").empty());
  // A non-array occurrence does not hide a later array; numbers between elements are skipped.
  items = JsonGetObjectArray(R"({"x":{"items":5},"items":[ 1, {"a":1} ,"s", {"b":2}]})", "items");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1], R"({"b":2})");
  // Braces and escaped quotes inside names do not end or extend an element.
  items = JsonGetObjectArray(R"({"items":[{"id":1,"name":"a}b"},{"id":2,"name":"c{\"}"}]})", "items");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], R"({"id":1,"name":"a}b"})");
  EXPECT_EQ(items[1], R"({"id":2,"name":"c{\"}"})");
  // Unbalanced braces: the element runs to the end of the document.
  items = JsonGetObjectArray(R"({"items":[{"a":{"b":1})", "items");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], R"({"a":{"b":1})");
  int64_t id = 0;
  EXPECT_TRUE(JsonGetInt64(JsonGetObjectArray(R"({"items":[{"id":41},{"id":42}]})", "items")[1], "id", id));
  EXPECT_EQ(id, 42);
}

TEST(Json, QuoteEscapesWhatJsonRequiresAndRoundTrips) {
  EXPECT_EQ(JsonQuote("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonQuote("\b\f\n\r\t"), R"("\b\f\n\r\t")");
  EXPECT_EQ(JsonQuote(std::string("\x01\x1f", 2)), R"("\u0001\u001f")");
  EXPECT_EQ(JsonQuote("管理员/é"), "\"管理员/é\"");
  std::string tricky = "we\"ird\\name\n\x02 无盘";
  std::string doc = "{\"username\":" + JsonQuote(tricky) + "}";
  std::string back;
  ASSERT_TRUE(JsonGetString(doc, "username", back));
  EXPECT_EQ(back, tricky);
}

TEST(Text, Utf8Utf16RoundTrip) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(Utf8ToWide("Zelko无盘"), L"Zelko无盘");
  EXPECT_EQ(WideToUtf8(L"● 已进入超级用户模式（可写）"), "● 已进入超级用户模式（可写）");
  std::wstring astral = L"\xD83D\xDE00";
  EXPECT_EQ(WideToUtf8(astral), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), astral);
  std::string embedded("a\0b", 3);
  EXPECT_EQ(Utf8ToWide(embedded).size(), 3u);
}
