// Zw file calls over a host directory mapped as C:.
#include <ntddk.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Files : public testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/hk-files-XXXXXX";
        dir = mkdtemp(tmpl);
        hk::test::MapDrive('C', dir);
    }
    void TearDown() override {
        hk::test::UnmapDrive('C');
        std::string cmd = "rm -rf '" + dir + "'";
        (void)system(cmd.c_str());
    }
    std::string Slurp(const std::string& name) {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    NTSTATUS Create(const wchar_t* path, ACCESS_MASK access, ULONG disposition, HANDLE* h, IO_STATUS_BLOCK* iosb,
                    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwCreateFile(h, access | SYNCHRONIZE, &oa, iosb, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    }
    NTSTATUS Write(HANDLE h, const char* text, LONGLONG offset = -1) {
        IO_STATUS_BLOCK iosb;
        LARGE_INTEGER off;
        off.QuadPart = offset;
        return ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, (PVOID)text, (ULONG)strlen(text),
                           offset >= 0 ? &off : nullptr, nullptr);
    }
};

TEST_F(Files, AppendOnlyHandlesAlwaysWriteAtTheEnd) {
    HANDLE h;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(L"\\??\\C:\\ZelkoVd.log", FILE_APPEND_DATA, FILE_OPEN_IF, &h, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, (ULONG_PTR)FILE_CREATED);
    EXPECT_EQ(Write(h, "first\n"), STATUS_SUCCESS);
    EXPECT_EQ(Write(h, "second\n", 0), STATUS_SUCCESS);   // the offset is ignored
    ZwClose(h);
    ASSERT_EQ(Create(L"\\??\\c:\\zelkovd.LOG", FILE_APPEND_DATA, FILE_OPEN_IF, &h, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, (ULONG_PTR)FILE_OPENED);
    EXPECT_EQ(Write(h, "third\n"), STATUS_SUCCESS);
    char buf[4];
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, sizeof buf, nullptr, nullptr), STATUS_ACCESS_DENIED);
    ZwClose(h);
    EXPECT_EQ(Slurp("ZelkoVd.log"), "first\nsecond\nthird\n");
    EXPECT_EQ(hk::test::OpenFiles(), 0);
}

TEST_F(Files, ReadWriteAtOffsetsQuerySizeAndEndOfFile) {
    HANDLE h;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(L"\\DosDevices\\C:\\img.raw", FILE_READ_DATA | FILE_WRITE_DATA, FILE_CREATE, &h, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(Write(h, "hello world", 4096), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION si;
    ASSERT_EQ(ZwQueryInformationFile(h, &iosb, &si, sizeof si, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(si.EndOfFile.QuadPart, 4096 + 11);
    EXPECT_FALSE(si.Directory);
    char buf[16] = {};
    LARGE_INTEGER off;
    off.QuadPart = 4096 + 6;
    ASSERT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, sizeof buf, &off, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_STREQ(buf, "world");
    off.QuadPart = 10000;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buf, sizeof buf, &off, nullptr), STATUS_END_OF_FILE);
    ZwClose(h);
    EXPECT_EQ(Create(L"\\??\\C:\\img.raw", FILE_READ_DATA, FILE_CREATE, &h, &iosb), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(L"\\??\\C:\\none.raw", FILE_READ_DATA, FILE_OPEN, &h, &iosb), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Create(L"\\??\\C:\\no\\dir.raw", FILE_READ_DATA, FILE_OPEN_IF, &h, &iosb), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(Files, SharingModesPathEscapesAndUnwritableDrives) {
    HANDLE h, h2;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(Create(L"\\??\\C:\\locked", FILE_WRITE_DATA, FILE_CREATE, &h, &iosb, FILE_SHARE_READ), STATUS_SUCCESS);
    EXPECT_EQ(Create(L"\\??\\C:\\locked", FILE_WRITE_DATA, FILE_OPEN, &h2, &iosb), STATUS_SHARING_VIOLATION);
    ASSERT_EQ(Create(L"\\??\\C:\\locked", FILE_READ_DATA, FILE_OPEN, &h2, &iosb), STATUS_SUCCESS);
    ZwClose(h2);
    ZwClose(h);
    EXPECT_EQ(Create(L"\\??\\C:\\..\\escape", FILE_APPEND_DATA, FILE_OPEN_IF, &h, &iosb), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Create(L"\\??\\D:\\x", FILE_APPEND_DATA, FILE_OPEN_IF, &h, &iosb), STATUS_OBJECT_PATH_NOT_FOUND);
    hk::test::MapDrive('C', dir, true);
    EXPECT_EQ(Create(L"\\??\\C:\\ZelkoVd.log", FILE_APPEND_DATA, FILE_OPEN_IF, &h, &iosb), STATUS_MEDIA_WRITE_PROTECTED);
    ASSERT_EQ(Create(L"\\??\\C:\\locked", FILE_READ_DATA, FILE_OPEN, &h, &iosb), STATUS_SUCCESS);   // reading is fine
    ZwClose(h);
    struct stat sb;
    EXPECT_NE(stat((dir + "/ZelkoVd.log").c_str(), &sb), 0);
}

}  // namespace
