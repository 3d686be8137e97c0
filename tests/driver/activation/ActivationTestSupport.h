// A fresh machine per test: empty registry, C: mapped to a new temporary directory, no boot
// block, no debug lines, the driver's parameters at their initial values.
#pragma once

#include "activation/ZvLog.h"
#include "activation/ZvParameters.h"

#include <hostkernel_test.h>

#include <gtest/gtest.h>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <vector>

class DriverMachine : public testing::Test {
protected:
    std::string cDrive;
    uint64_t poolMark = 0;
    long handles = 0;

    void SetUp() override {
        hk::test::ResetMachine();
        char tmpl[] = "/tmp/zelkovd-c-XXXXXX";
        cDrive = mkdtemp(tmpl);
        hk::test::MapDrive('C', cDrive);
        InitializeDriverParameters();
        InterlockedExchange(&LogLevel, 2);
        poolMark = hk::test::PoolMark();
        handles = hk::test::OpenHandles();
    }

    void TearDown() override {
        EXPECT_EQ(hk::test::PoolLeaksSince(poolMark), "");
        EXPECT_EQ(hk::test::OpenHandles(), handles);
        EXPECT_EQ(hk::test::OutstandingIoSpaceMappings(), 0);
        hk::test::UnmapDrive('C');
        std::string cmd = "chmod -R u+w '" + cDrive + "' && rm -rf '" + cDrive + "'";
        (void)system(cmd.c_str());
    }

    std::string FileLog() {
        std::ifstream f(cDrive + "/ZelkoVd.log", std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    // Debug lines of the driver's component, as printed.
    std::vector<std::string> DriverLines() {
        std::vector<std::string> out;
        for (auto& l : hk::test::DbgLines())
            if (l.component == DPFLTR_IHVDRIVER_ID) out.push_back(l.text);
        return out;
    }

    static std::u16string W(const WCHAR* s) { return std::u16string((const char16_t*)s); }
};
