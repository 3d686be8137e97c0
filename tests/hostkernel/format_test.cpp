// The kernel printf, checked against what the Windows kernel prints for the same specifiers.
#include <ntddk.h>
#include <ntstrsafe.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>
#include <string>

namespace {

std::string FmtA(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    NTSTATUS st = RtlStringCbVPrintfA(buf, sizeof buf, fmt, ap);
    va_end(ap);
    EXPECT_TRUE(NT_SUCCESS(st)) << fmt;
    return buf;
}

std::u16string FmtW(const wchar_t* fmt, ...) {
    wchar_t buf[256];
    va_list ap;
    va_start(ap, fmt);
    NTSTATUS st = RtlStringCbVPrintfW(buf, sizeof buf, fmt, ap);
    va_end(ap);
    EXPECT_TRUE(NT_SUCCESS(st));
    return std::u16string((const char16_t*)buf);
}

TEST(Formatter, IntegerSpecifiersFollowLlp64AndMicrosoftPrefixes) {
    ULONG u32 = 0xFFFFFFFFu;
    LONG neg = -5;
    ULONGLONG big = 0x123456789ABCDEF0ull;
    EXPECT_EQ(FmtA("%d %i %u", neg, 42, u32), "-5 42 4294967295");
    // %ld/%lu are 32 bits on Windows: the next argument must not be swallowed.
    EXPECT_EQ(FmtA("%lu|%ld|%d", u32, neg, 7), "4294967295|-5|7");
    EXPECT_EQ(FmtA("%I64u %llu", big, big), "1311768467463790320 1311768467463790320");
    EXPECT_EQ(FmtA("%I64X %llx", big, big), "123456789ABCDEF0 123456789abcdef0");
    EXPECT_EQ(FmtA("%lld %I64d", (LONGLONG)-9000000000LL, (LONGLONG)-1), "-9000000000 -1");
    EXPECT_EQ(FmtA("%I32u %I32x", u32, 255u), "4294967295 ff");
    EXPECT_EQ(FmtA("%zu %Iu", (SIZE_T)123456789012ull, (SIZE_T)5), "123456789012 5");
    EXPECT_EQ(FmtA("%08X %08x %8X|%-8X|", 0xBEEFu, 0xC0000034u, 0x1Fu, 0x1Fu), "0000BEEF c0000034       1F|1F      |");
    EXPECT_EQ(FmtA("0x%08X", (ULONG)STATUS_OBJECT_NAME_NOT_FOUND), "0xC0000034");
    EXPECT_EQ(FmtA("%#x %#X %#o %o", 255u, 255u, 8u, 8u), "0xff 0XFF 010 10");
    EXPECT_EQ(FmtA("%+d % d %05d %-5d| %.3d", 3, 3, -42, -42, 7), "+3  3 -0042 -42  | 007");
    EXPECT_EQ(FmtA("%hu %hd %hhu", (unsigned)0x12345, 0xFFFF, 0x1FF), "9029 -1 255");
    EXPECT_EQ(FmtA("%*d|%-*d|%.*d", 4, 1, 4, 2, 3, 3), "   1|2   |003");
    EXPECT_EQ(FmtA("%u.%u.%u.%u", 192, 168, 0, 1), "192.168.0.1");
    EXPECT_EQ(FmtA("%02X%02X%02X%02X%02X%02X", 0, 0x1A, 0x2B, 0x3C, 0x4D, 0xFF), "001A2B3C4DFF");
    EXPECT_EQ(FmtA("%%|%d%%", 5), "%|5%");
}

TEST(Formatter, PointersPrintSixteenUpperCaseDigitsWithoutPrefix) {
    EXPECT_EQ(FmtA("%p", (void*)0x1234abcdULL), "000000001234ABCD");
    EXPECT_EQ(FmtA("%p", (void*)nullptr), "0000000000000000");
    EXPECT_EQ(FmtA("[%20p]", (void*)0xFULL), "[    000000000000000F]");
}

TEST(Formatter, StringsOfBothWidthsAndCountedStrings) {
    const wchar_t* wide = L"10.0.0.1";
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, L"\\Registry\\Machine");
    ANSI_STRING as;
    RtlInitAnsiString(&as, "ansi text");
    EXPECT_EQ(FmtA("%s|%ws|%S|%ls|%hs", "narrow", wide, wide, wide, "h"), "narrow|10.0.0.1|10.0.0.1|10.0.0.1|h");
    EXPECT_EQ(FmtA("%wZ|%Z", &us, &as), "\\Registry\\Machine|ansi text");
    // A counted string is printed by its Length, not up to a terminator.
    us.Length = 2 * 9;
    EXPECT_EQ(FmtA("[%wZ]", &us), "[\\Registry]");
    EXPECT_EQ(FmtA("%s|%ws|%wZ", (char*)nullptr, (wchar_t*)nullptr, (PUNICODE_STRING)nullptr), "(null)|(null)|(null)");
    EXPECT_EQ(FmtA("%.3s|%.2ws|%6s|%-6s|", "abcdef", wide, "ab", "ab"), "abc|10|    ab|ab    |");
    std::string long600(600, 'x');
    EXPECT_EQ(FmtA("%.5s", long600.c_str()), "xxxxx");
    EXPECT_EQ(FmtA("%c%C%wc", 'a', (int)L'b', (int)L'c'), "abc");
    // UTF-8 bytes in narrow strings pass through unchanged.
    EXPECT_EQ(FmtA("%s", "注册表"), "注册表");
    // Wide text outside the ANSI code page becomes '?'.
    EXPECT_EQ(FmtA("%ws", L"a\u4E2Db"), "a?b");
}

TEST(Formatter, WideFormatsSwapTheMeaningOfSAndS) {
    EXPECT_EQ(FmtW(L"%s|%S|%hs|%ws", L"wide", "narrow", "h", L"w"), u"wide|narrow|h|w");
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, L"\\Parameters");
    EXPECT_EQ(FmtW(L"%wZ%ws", &us, L"!"), u"\\Parameters!");
    EXPECT_EQ(FmtW(L"%u.%u.%u.%u:%u", 10, 1, 2, 3, 9501), u"10.1.2.3:9501");
    EXPECT_EQ(FmtW(L"%s", L"\u4E2D\u6587"), u"\u4E2D\u6587");
}

TEST(Formatter, TruncatesAtTheBufferSizeAndReportsOverflow) {
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s", "1234567"), STATUS_SUCCESS);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%s", "12345678"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(RtlStringCbPrintfA(buf, sizeof buf, "%d-%d", 123456, 789), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buf, "123456-");

    wchar_t w[4];
    EXPECT_EQ(RtlStringCbPrintfW(w, sizeof w, L"%u", 12345u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string((const char16_t*)w), u"123");
    EXPECT_EQ(RtlStringCchPrintfW(w, 4, L"%u", 123u), STATUS_SUCCESS);

    // Zero and absurd sizes are invalid and leave the buffer alone.
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(RtlStringCbPrintfA(buf, 0, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchPrintfA(buf, (size_t)NTSTRSAFE_MAX_CCH + 1, "x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(RtlStringCbPrintfW(w, 1, L"x"), STATUS_INVALID_PARAMETER);   // less than one WCHAR
}

TEST(StrSafe, CopyCatAndLength) {
    char buf[6];
    EXPECT_EQ(RtlStringCbCopyA(buf, sizeof buf, "abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatA(buf, sizeof buf, "de"), STATUS_SUCCESS);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(RtlStringCbCatA(buf, sizeof buf, "f"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(RtlStringCbCopyA(buf, sizeof buf, "abcdefgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(buf, "abcde");
    size_t n = 99;
    EXPECT_EQ(RtlStringCbLengthA("abc", 4, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(RtlStringCbLengthA("abc", 3, &n), STATUS_INVALID_PARAMETER);   // no terminator within 3 bytes
    wchar_t w[8];
    EXPECT_EQ(RtlStringCchCopyW(w, 8, L"zelko"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbLengthW(w, sizeof w, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(RtlStringCbCopyNW(w, sizeof w, L"abcdef", 4), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string((const char16_t*)w), u"ab");
}

TEST(StrSafe, CountedStringFormsCutAtTheCapacityWithoutATerminator) {
    WCHAR buf[6];
    UNICODE_STRING us = {0, sizeof buf, buf};
    EXPECT_EQ(RtlUnicodeStringPrintf(&us, L"%u:%u", 12u, 34u), STATUS_SUCCESS);
    EXPECT_EQ(us.Length, 10);
    EXPECT_EQ(RtlUnicodeStringPrintf(&us, L"%ws", L"1234567"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(us.Length, 12);
    EXPECT_EQ(std::u16string((const char16_t*)buf, 6), u"123456");
    us.Length = 4;
    EXPECT_EQ(RtlUnicodeStringCatString(&us, L"xyz"), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCatString(&us, L"vw"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string((const char16_t*)buf, us.Length / 2), u"12xyzv");
}

// One debug print carries at most 512 bytes: 511 characters and the terminator.
TEST(DbgPrint, CapturesComponentLevelAndCutsAt511Characters) {
    hk::test::ClearDbgLines();
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "ZelkoVd: %s=%u\n", "port", 9501u);
    std::string s511(511, 'a'), s512(512, 'b');
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "%s", s511.c_str());
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_WARNING_LEVEL, "%s", s512.c_str());
    DbgPrint("plain %d", 1);
    auto lines = hk::test::DbgLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].component, 77u);
    EXPECT_EQ(lines[0].level, 0u);
    EXPECT_EQ(lines[0].text, "ZelkoVd: port=9501\n");
    EXPECT_EQ(lines[1].text, s511);
    EXPECT_EQ(lines[1].level, 3u);
    EXPECT_EQ(lines[2].text, s512.substr(0, 511));
    EXPECT_EQ(lines[3].component, (ULONG)DPFLTR_DEFAULT_ID);
    EXPECT_EQ(lines[3].text, "plain 1");
}

TEST(DbgPrintDeathTest, UnicodeConversionAbovePassiveIsFatal) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            DbgPrintEx(77, 0, "%ws\n", L"x");
        },
        "Unicode conversion");
}

TEST(Rtl, UnicodeAnsiRoundTripAndPoolTag) {
    uint64_t mark = hk::test::PoolMark();
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, L"Zelko\u00E9\u4E2D");
    ANSI_STRING a;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&a, &u, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(a.Buffer, a.Length), "Zelko\xE9?");
    UNICODE_STRING back;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(back.Length, 14);
    EXPECT_NE(hk::test::PoolLeaksSince(mark), "");
    RtlFreeAnsiString(&a);
    RtlFreeUnicodeString(&back);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark), "");

    char small[4];
    ANSI_STRING s = {0, sizeof small, (PCHAR)small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&s, &u, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(s.Buffer, s.Length), "Zel");

    UNICODE_STRING x, y;
    RtlInitUnicodeString(&x, L"\\REGISTRY\\machine");
    RtlInitUnicodeString(&y, L"\\Registry\\Machine");
    EXPECT_TRUE(RtlEqualUnicodeString(&x, &y, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&x, &y, FALSE));
    ULONG v = 0;
    UNICODE_STRING num;
    RtlInitUnicodeString(&num, L"0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&num, 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 31u);
}

}  // namespace
