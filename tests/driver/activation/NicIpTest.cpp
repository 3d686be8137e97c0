// IP maintenance of the boot adapter: which class subkey is taken for the boot MAC, and the static
// TCP/IP values written under its interface key, type and bytes as Windows reads them.
#include "ActivationTestSupport.h"

#include "activation/Activation.h"

#include <string.h>

namespace {

const std::string kClass =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const std::string kInterfaces = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
const char kGuid[] = "{11111111-2222-3333-4444-555555555555}";

class NicIp : public DriverMachine {
protected:
    void SetUp() override {
        DriverMachine::SetUp();
        ZV_BOOT_INFO& b = g_Parameters.BootInfo;
        const UCHAR client[4] = {192, 168, 50, 77}, mask[4] = {255, 255, 255, 0}, gw[4] = {192, 168, 50, 1},
                    dns1[4] = {192, 168, 50, 2}, dns2[4] = {8, 8, 4, 4}, mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        memcpy(b.clientIp, client, 4);
        memcpy(b.subnetMask, mask, 4);
        memcpy(b.gateway, gw, 4);
        memcpy(b.dnsPrimary, dns1, 4);
        memcpy(b.dnsSecondary, dns2, 4);
        memcpy(b.mac, mac, 6);
        g_Parameters.BootInfoValid = TRUE;
        hk::test::RegSetDword(kInterfaces + "\\" + kGuid, "EnableDHCP", 1);
    }

    static void Adapter(const std::string& sub, const std::string& address, const std::string& guid = kGuid) {
        if (!address.empty()) hk::test::RegSetString(kClass + "\\" + sub, "NetworkAddress", address);
        hk::test::RegSetString(kClass + "\\" + sub, "NetCfgInstanceId", guid);
    }
    static std::vector<uint8_t> Value(const std::string& name, ULONG* type) {
        std::vector<uint8_t> data;
        *type = 0;
        hk::test::RegGetValue(kInterfaces + "\\" + kGuid, name, type, &data);
        return data;
    }
    static std::vector<uint8_t> Wide(const std::string& s, int terminators) {
        std::vector<uint8_t> v;
        for (char c : s) {
            v.push_back((uint8_t)c);
            v.push_back(0);
        }
        for (int i = 0; i < terminators * 2; i++) v.push_back(0);
        return v;
    }
    static std::vector<uint8_t> Dword(uint32_t d) { return {(uint8_t)d, (uint8_t)(d >> 8), (uint8_t)(d >> 16), (uint8_t)(d >> 24)}; }
};

TEST_F(NicIp, WritesTheBootAddressAsStaticSettingsOfTheMatchingAdapter) {
    Adapter("0000", "AA-BB-CC-00-11-22", "{other}");
    Adapter("0003", "00-1a-2b-3c-4d-5e");
    MaintainBootNicIp();

    struct Expect {
        const char* name;
        ULONG type;
        std::vector<uint8_t> data;
    } expected[] = {
        {"EnableDHCP", REG_DWORD, Dword(0)},
        {"IPAddress", REG_MULTI_SZ, Wide("192.168.50.77", 2)},
        {"SubnetMask", REG_MULTI_SZ, Wide("255.255.255.0", 2)},
        {"DefaultGateway", REG_MULTI_SZ, Wide("192.168.50.1", 2)},
        {"NameServer", REG_SZ, Wide("192.168.50.2,8.8.4.4", 1)},
        {"IPAutoconfigurationEnabled", REG_DWORD, Dword(0)},
    };
    for (const auto& e : expected) {
        ULONG type;
        EXPECT_EQ(Value(e.name, &type), e.data) << e.name;
        EXPECT_EQ(type, e.type) << e.name;
    }
    EXPECT_EQ(DriverLines(),
              (std::vector<std::string>{
                  "ZelkoVd: 开始 IP 维护（写入 TCPIP 注册表）\n",
                  std::string("ZelkoVd: 通过 MAC 匹配找到 PXE 引导网卡 (Class idx=0003, GUID=") + kGuid + ", MAC=001a2b3c4d5e)\n",
                  std::string("ZelkoVd: IP 维护写入完成（GUID=") + kGuid +
                      ", MAC=001a2b3c4d5e）: IP=192.168.50.77, Mask=255.255.255.0, GW=192.168.50.1, EnableDHCP=0 "
                      "[DHCP=OK IP=OK Mask=OK GW=OK DNS=OK APIPA=OK]\n"}));
}

TEST_F(NicIp, NameServerFollowsThePrimary) {
    Adapter("0000", "001A2B3C4D5E");
    ULONG type;
    memset(g_Parameters.BootInfo.dnsSecondary, 0, 4);
    MaintainBootNicIp();
    EXPECT_EQ(Value("NameServer", &type), Wide("192.168.50.2", 1));
    memset(g_Parameters.BootInfo.dnsPrimary, 0, 4);
    g_Parameters.BootInfo.dnsSecondary[0] = 9;
    MaintainBootNicIp();
    EXPECT_EQ(Value("NameServer", &type), Wide("", 1)) << "a secondary without a primary is not written";
    EXPECT_EQ(type, (ULONG)REG_SZ);
}

TEST_F(NicIp, OnlyAConfiguredTwelveDigitAddressMatches) {
    // No NetworkAddress, ten digits, a value too long for the 64-byte query, a non-hex character
    // ending the scan early: none of them is the boot adapter.
    Adapter("0000", "");
    Adapter("0001", "00-1A-2B-3C-4D");
    Adapter("0002", "00-1A-2B-3C-4D-5E-00-00-00-00-00-00-00");
    Adapter("0003", "00-1A-2B-3C-4Dx5E");
    MaintainBootNicIp();
    EXPECT_EQ(DriverLines().back(),
              "ZelkoVd: IP 维护未找到匹配 PXE MAC 的网卡 (MAC=001a2b3c4d5e, 将依赖 Windows DHCP 或后续手动配置)\n");
    ULONG type;
    EXPECT_EQ(Value("EnableDHCP", &type), Dword(1)) << "nothing written";
}

TEST_F(NicIp, OnlyTheFirst500SubkeysAreSearched) {
    Adapter("0500", "001A2B3C4D5E");
    MaintainBootNicIp();
    EXPECT_NE(DriverLines().back().find("IP 维护未找到匹配 PXE MAC 的网卡"), std::string::npos);
    Adapter("0499", "00 1A 2B 3C 4D 5E");
    MaintainBootNicIp();
    EXPECT_NE(DriverLines().back().find("IP 维护写入完成"), std::string::npos);
}

TEST_F(NicIp, WithoutABootBlockOrKeysNothingIsTouched) {
    Adapter("0000", "001A2B3C4D5E");
    g_Parameters.BootInfoValid = FALSE;
    MaintainBootNicIp();
    EXPECT_EQ(DriverLines(), (std::vector<std::string>{"ZelkoVd: IP 维护跳过（无 PXE 引导信息）\n"}));
    ULONG type;
    EXPECT_EQ(Value("EnableDHCP", &type), Dword(1));

    g_Parameters.BootInfoValid = TRUE;
    hk::test::ClearDbgLines();
    hk::test::RegDeleteKey(kInterfaces + "\\" + kGuid);
    MaintainBootNicIp();
    EXPECT_EQ(DriverLines().back(),
              std::string("ZelkoVd: 打开目标网卡 Tcpip\\Interfaces\\") + kGuid + " 失败 0xC0000034\n");
    hk::test::RegDeleteKey(kClass);
    MaintainBootNicIp();
    EXPECT_EQ(DriverLines().back(), "ZelkoVd: 打开网卡 Class 注册表失败 0xC0000034\n");
    hk::test::RegDeleteKey(kInterfaces);
    MaintainBootNicIp();
    EXPECT_EQ(DriverLines().back(), "ZelkoVd: 打开 Tcpip\\Interfaces 失败 0xC0000034\n");
}

}  // namespace
