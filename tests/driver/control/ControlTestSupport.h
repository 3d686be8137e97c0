// The whole driver loaded into the host kernel for every test, with "\\.\ZelkoVd" open as an
// administrator's process would open it. Unloading at the end must leave nothing behind: no
// pool block, IRP, SRB, device, link or open file.
#pragma once

#include "adapter/AdapterInternal.h"
#include "activation/ControlDevice.h"
#include "activation/ZvParameters.h"

#include <hk_storport_test.h>
#include <hk_wsk_test.h>
#include <hostkernel_test.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdlib.h>
#include <string>
#include <vector>

namespace zc = zelko::control;

#define ZV_PARAMETERS_KEY "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters"

// Fills a UTF-16 record field from ASCII; cut to the field without terminator when it fills it.
template <size_t N>
inline void SetField(zc::ControlWchar (&field)[N], const std::string& text) {
    std::memset(field, 0, sizeof(field));
    for (size_t i = 0; i < text.size() && i < N; i++) field[i] = (zc::ControlWchar)(unsigned char)text[i];
}
inline std::string Narrow(const WCHAR* s, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && s[i] != 0; i++) out += (char)s[i];
    return out;
}
template <class T>
inline std::vector<uint8_t> Bytes(const T& record) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(record));
}
template <class T>
inline T As(const HkIoResult& r) {
    T out;
    std::memset(&out, 0xEE, sizeof(out));
    std::memcpy(&out, r.data.data(), r.data.size() < sizeof(out) ? r.data.size() : sizeof(out));
    return out;
}

class ControlTest : public testing::Test {
protected:
    void SetUp() override {
        hk::test::ResetMachine();
        HkWskTestReset();
        char tmpl[] = "/tmp/zelkovd-ctl-XXXXXX";
        cDrive = mkdtemp(tmpl);
        hk::test::MapDrive('C', cDrive);
        InitializeDriverParameters();
        Configure();
        ASSERT_EQ(HkDriverLoad(DriverEntry), STATUS_SUCCESS);
        loaded = true;
        ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &file), STATUS_SUCCESS);
        hk::test::ClearDbgLines();
    }

    void TearDown() override {
        if (file != nullptr) EXPECT_EQ(HkCloseFile(file), STATUS_SUCCESS);
        file = nullptr;
        if (loaded) {
            HkUnloadReport report = HkDriverUnload();
            std::string leaks;
            for (const auto& l : report.leaks) leaks += l + "\n";
            EXPECT_EQ(leaks, "");
        }
        HkWskTestReset();
        hk::test::UnmapDrive('C');
        std::string cmd = "rm -rf '" + cDrive + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", cDrive.c_str());
    }

    // Registry parameters for the driver's next start (before DriverEntry runs).
    virtual void Configure() {}

    HkIoResult Ioctl(ULONG code, const std::vector<uint8_t>& in = {}, ULONG outLen = 0) {
        return HkDeviceIoControl(file, code, in, outLen);
    }

    static AdapterExt* Adapter() { return g_AdapterExt; }
    static LuExt* Lun0() { return g_AdapterExt != nullptr ? GetLun(g_AdapterExt, 0, 0, 0) : nullptr; }

    static bool LogHas(const std::string& text) {
        for (const auto& l : hk::test::DbgLines())
            if (l.text.find(text) != std::string::npos) return true;
        return false;
    }

    std::string cDrive;
    HkFile* file = nullptr;
    bool loaded = false;
};
