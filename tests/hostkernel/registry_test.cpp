// The in-memory hive seen through the Zw registry calls.
#include <ntddk.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>

namespace {

const char* kKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters";

class Registry : public testing::Test {
protected:
    void SetUp() override { hk::test::RegClear(); }
    void TearDown() override { hk::test::RegClear(); }

    NTSTATUS Open(const wchar_t* path, HANDLE* h, ACCESS_MASK access = KEY_READ) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenKey(h, access, &oa);
    }
};

TEST_F(Registry, PartialInformationReportsOverflowWithTheHeaderFilled) {
    hk::test::RegSetString(kKey, "ServerIp", "192.168.10.20");   // 14 characters with terminator = 28 bytes
    HANDLE h;
    ASSERT_EQ(Open(L"\\REGISTRY\\MACHINE\\system\\CurrentControlSet\\Services\\ZelkoVd\\Parameters", &h), STATUS_SUCCESS);
    UNICODE_STRING v;
    RtlInitUnicodeString(&v, L"serverip");
    UCHAR buf[64];
    ULONG len = 0;
    ASSERT_EQ(ZwQueryValueKey(h, &v, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    auto* pi = (PKEY_VALUE_PARTIAL_INFORMATION)buf;
    EXPECT_EQ(pi->Type, (ULONG)REG_SZ);
    EXPECT_EQ(pi->DataLength, 28u);
    EXPECT_EQ(len, 12u + 28u);
    EXPECT_EQ(std::u16string((const char16_t*)pi->Data), u"192.168.10.20");

    memset(buf, 0, sizeof buf);
    EXPECT_EQ(ZwQueryValueKey(h, &v, KeyValuePartialInformation, buf, 20, &len), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(pi->Type, (ULONG)REG_SZ);
    EXPECT_EQ(pi->DataLength, 28u);
    EXPECT_EQ(pi->Data[0], 0);   // no data copied
    EXPECT_EQ(len, 40u);
    EXPECT_EQ(ZwQueryValueKey(h, &v, KeyValuePartialInformation, buf, 8, &len), STATUS_BUFFER_TOO_SMALL);

    RtlInitUnicodeString(&v, L"Missing");
    EXPECT_EQ(ZwQueryValueKey(h, &v, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(Registry, OpenCreateSetEnumerateAndDelete) {
    HANDLE h;
    hk::test::RegSetDword("\\Registry\\Machine\\SYSTEM\\A", "x", 1);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\Nope", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\Nope\\Deeper", &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(L"Relative\\Path", &h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\SYSTEM\\A\\B");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ULONG disp = 0;
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disp), STATUS_SUCCESS);
    EXPECT_EQ(disp, (ULONG)REG_CREATED_NEW_KEY);
    UNICODE_STRING v;
    RtlInitUnicodeString(&v, L"Count");
    ULONG val = 70000;
    ASSERT_EQ(ZwSetValueKey(h, &v, 0, REG_DWORD, &val, sizeof val), STATUS_SUCCESS);
    ZwClose(h);
    ASSERT_EQ(ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disp), STATUS_SUCCESS);
    EXPECT_EQ(disp, (ULONG)REG_OPENED_EXISTING_KEY);
    ULONG type;
    std::vector<uint8_t> data;
    ASSERT_TRUE(hk::test::RegGetValue("\\Registry\\Machine\\SYSTEM\\A\\B", "count", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_DWORD);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x70, 0x11, 0x01, 0x00}));

    HANDLE parent;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\SYSTEM\\A", &parent), STATUS_SUCCESS);
    UCHAR buf[128];
    ULONG len;
    ASSERT_EQ(ZwEnumerateKey(parent, 0, KeyBasicInformation, buf, sizeof buf, &len), STATUS_SUCCESS);
    auto* bi = (PKEY_BASIC_INFORMATION)buf;
    EXPECT_EQ(std::u16string((const char16_t*)bi->Name, bi->NameLength / 2), u"B");
    EXPECT_EQ(ZwEnumerateKey(parent, 1, KeyBasicInformation, buf, sizeof buf, &len), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);   // still has a subkey
    EXPECT_EQ(ZwDeleteKey(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(h, &v, KeyValuePartialInformation, buf, sizeof buf, &len), STATUS_KEY_DELETED);
    ZwClose(h);
    ZwClose(parent);
}

TEST_F(Registry, LoadsRegStyleText) {
    std::string error;
    ASSERT_TRUE(hk::test::RegLoadText("Windows Registry Editor Version 5.00\n"
                                      "; comment\n"
                                      "[\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters]\n"
                                      "\"AutoActivate\"=dword:00000001\n"
                                      "\"ServerIp\"=\"10.0.0.2\"\n"
                                      "\"Blob\"=hex:01,02,\\\n"
                                      "  03\n"
                                      "\"Multi\"=hex(7):61,00,00,00,00,00\n",
                                      &error))
        << error;
    ULONG type;
    std::vector<uint8_t> data;
    ASSERT_TRUE(hk::test::RegGetValue(kKey, "Blob", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_TRUE(hk::test::RegGetValue(kKey, "Multi", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_MULTI_SZ);
    ASSERT_TRUE(hk::test::RegGetValue(kKey, "ServerIp", &type, &data));
    EXPECT_EQ(data.size(), 18u);
    // A regedit export: UTF-16LE with a byte-order mark and CRLF line ends.
    std::u16string wide = u"\uFEFF";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n[\\Registry\\Machine\\SYSTEM\\R]\r\n\"Name\"=\""))
        wide.push_back((char16_t)c);
    wide += u"\u4E2D\"\r\n";
    std::string path = testing::TempDir() + "hk-export.reg";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(wide.data(), 2, wide.size(), f);
    fclose(f);
    ASSERT_TRUE(hk::test::RegLoadFile(path, &error)) << error;
    remove(path.c_str());
    ASSERT_TRUE(hk::test::RegGetValue("\\Registry\\Machine\\SYSTEM\\R", "Name", &type, &data));
    EXPECT_EQ(data, (std::vector<uint8_t>{0x2D, 0x4E, 0, 0}));

    EXPECT_FALSE(hk::test::RegLoadText("\"x\"=dword:1\n", &error));
    EXPECT_NE(error.find("line 1"), std::string::npos);
    EXPECT_FALSE(hk::test::RegLoadText("[\\Registry\\M]\n\"x\"=dword:zz\n", &error));
}

}  // namespace
