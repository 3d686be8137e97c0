// Parameters from the registry and the boot-information block.
#include "ActivationTestSupport.h"

#include <string.h>

namespace {

const char* kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd";
const char* kParams = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters";

class Parameters : public DriverMachine {
protected:
    NTSTATUS ReadRegistry() {
        hk::test::RegSetDword(kService, "Start", 0);   // the service key itself always exists
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd");
        return ReadRegistryParameters(&path);
    }

    struct Block {
        uint8_t bytes[64] = {};
        Block() {
            memcpy(bytes, "KBRT", 4);
            Put16(0x04, 1);
            Put16(0x06, 0x0001);
            const uint8_t server[4] = {192, 168, 50, 10}, client[4] = {192, 168, 50, 77};
            memcpy(bytes + 0x08, server, 4);
            memcpy(bytes + 0x0C, client, 4);
            const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
            memcpy(bytes + 0x20, mac, 6);
        }
        void Put16(int off, uint16_t v) {
            bytes[off] = (uint8_t)v;
            bytes[off + 1] = (uint8_t)(v >> 8);
        }
        void Store() { hk::test::PhysWrite(0x80000, bytes, sizeof bytes); }
    };

    static std::string Chars(char c, size_t n) { return std::string(n, c); }
};

TEST_F(Parameters, MissingKeyKeepsEveryDefault) {
    EXPECT_EQ(ReadRegistry(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(g_Parameters.AutoActivate);
    EXPECT_FALSE(g_Parameters.AutoActivateViaApi);
    EXPECT_EQ(g_Parameters.ServerPort, 9501);
    EXPECT_EQ(g_Parameters.ApiServerPort, 9500);
    EXPECT_EQ(W(g_Parameters.ServerIp), u"");
    EXPECT_EQ(W(g_Parameters.TargetIqn), u"");
    EXPECT_EQ(W(g_Parameters.ClientId), u"");
    EXPECT_EQ(W(g_Parameters.ApiServerIp), u"");
    EXPECT_EQ(DriverLines(),
              (std::vector<std::string>{"ZelkoVd: 注册表 Parameters 子键不存在 0xC0000034（AutoActivate 禁用）\n"}));
    EXPECT_EQ(FileLog(), "");
}

TEST_F(Parameters, EveryValueIsReadAndReported) {
    hk::test::RegSetDword(kParams, "AutoActivate", 1);
    hk::test::RegSetDword(kParams, "ServerPort", 9601);
    hk::test::RegSetString(kParams, "ServerIp", "10.0.0.2");
    hk::test::RegSetString(kParams, "TargetIqn", "iqn.2024-01.net.zelko:image.7");
    hk::test::RegSetString(kParams, "ClientId", "pc-17");
    hk::test::RegSetDword(kParams, "ApiServerPort", 8080);
    hk::test::RegSetString(kParams, "ApiServerIp", "10.0.0.3");
    hk::test::RegSetDword(kParams, "AutoActivateViaApi", 5);
    EXPECT_EQ(ReadRegistry(), STATUS_SUCCESS);
    EXPECT_TRUE(g_Parameters.AutoActivate);
    EXPECT_TRUE(g_Parameters.AutoActivateViaApi);
    EXPECT_EQ(g_Parameters.ServerPort, 9601);
    EXPECT_EQ(g_Parameters.ApiServerPort, 8080);
    EXPECT_EQ(W(g_Parameters.ServerIp), u"10.0.0.2");
    EXPECT_EQ(W(g_Parameters.TargetIqn), u"iqn.2024-01.net.zelko:image.7");
    EXPECT_EQ(W(g_Parameters.ClientId), u"pc-17");
    EXPECT_EQ(W(g_Parameters.ApiServerIp), u"10.0.0.3");
    EXPECT_EQ(DriverLines(), (std::vector<std::string>{
                                 "ZelkoVd: 注册表参数: AutoActivate=1, ServerIp=10.0.0.2, Port=9601, "
                                 "Iqn=iqn.2024-01.net.zelko:image.7, ApiServer=10.0.0.3:8080, ViaApi=1\n"}));
    EXPECT_EQ(FileLog(), "[Registry] AutoActivate=1 AutoActivateViaApi=1 ServerIp=10.0.0.2:9601 "
                         "TargetIqn=iqn.2024-01.net.zelko:image.7 ApiServer=10.0.0.3:8080 ClientId=pc-17\n");
}

TEST_F(Parameters, PortsKeepTheLow16BitsAndIllTypedValuesCountAsAbsent) {
    hk::test::RegSetDword(kParams, "ServerPort", 70000);
    const uint8_t one[4] = {1, 0, 0, 0};
    hk::test::RegSetValue(kParams, "AutoActivate", REG_BINARY, one, 4);
    const uint8_t eight[8] = {0x50, 0x25, 0, 0, 0, 0, 0, 0};
    hk::test::RegSetValue(kParams, "ApiServerPort", REG_DWORD, eight, 8);   // not exactly 4 bytes
    hk::test::RegSetValue(kParams, "AutoActivateViaApi", REG_DWORD, one, 2);
    hk::test::RegSetString(kParams, "ServerIp", "10.9.9.9", REG_EXPAND_SZ);
    hk::test::RegSetString(kParams, "ClientId", "a\0b", REG_MULTI_SZ);
    EXPECT_EQ(ReadRegistry(), STATUS_SUCCESS);
    EXPECT_EQ(g_Parameters.ServerPort, 4464);
    EXPECT_FALSE(g_Parameters.AutoActivate);
    EXPECT_FALSE(g_Parameters.AutoActivateViaApi);
    EXPECT_EQ(g_Parameters.ApiServerPort, 9500);
    EXPECT_EQ(W(g_Parameters.ServerIp), u"");
    EXPECT_EQ(W(g_Parameters.ClientId), u"");
}

TEST_F(Parameters, StringsAreCutAt63CharactersAndOversizedDataIsIgnored) {
    std::string ip80 = Chars('1', 80);
    hk::test::RegSetString(kParams, "ServerIp", ip80);
    // 249 characters + terminator = 500 bytes: read; 250 + terminator = 502 bytes: not read.
    std::string iqn249 = "iqn.2024-01.net.zelko:" + Chars('x', 249 - 22);
    hk::test::RegSetString(kParams, "TargetIqn", iqn249);
    hk::test::RegSetString(kParams, "ApiServerIp", Chars('2', 250));
    hk::test::RegSetString(kParams, "ClientId", Chars('c', 70));
    g_Parameters.ApiServerIp[0] = L'k';   // shows that the oversized value left the field alone
    g_Parameters.ApiServerIp[1] = 0;
    EXPECT_EQ(ReadRegistry(), STATUS_SUCCESS);
    EXPECT_EQ(W(g_Parameters.ServerIp), std::u16string(63, u'1'));
    EXPECT_EQ(W(g_Parameters.TargetIqn).size(), 249u);
    EXPECT_EQ(W(g_Parameters.ApiServerIp), u"k");
    EXPECT_EQ(W(g_Parameters.ClientId), std::u16string(63, u'c'));
    std::string log = FileLog();
    EXPECT_EQ(log.substr(log.size() - 73), "ClientId=" + Chars('c', 63) + "\n");
}

TEST_F(Parameters, EmptyStringsLeaveTheFieldsUnchanged) {
    hk::test::RegSetString(kParams, "ServerIp", "");
    hk::test::RegSetValue(kParams, "ClientId", REG_SZ, nullptr, 0);
    g_Parameters.ServerIp[0] = L'x';
    g_Parameters.ServerIp[1] = 0;
    g_Parameters.ClientId[0] = L'y';
    g_Parameters.ClientId[1] = 0;
    EXPECT_EQ(ReadRegistry(), STATUS_SUCCESS);
    EXPECT_EQ(W(g_Parameters.ServerIp), u"x");
    EXPECT_EQ(W(g_Parameters.ClientId), u"y");
}

TEST_F(Parameters, ValidBootBlockOverridesBothAddressesAndNonZeroPorts) {
    hk::test::RegSetString(kParams, "ServerIp", "10.0.0.2");
    hk::test::RegSetString(kParams, "ApiServerIp", "10.0.0.3");
    hk::test::RegSetDword(kParams, "ServerPort", 7000);
    hk::test::RegSetDword(kParams, "ApiServerPort", 7001);
    ReadRegistry();
    Block b;
    b.Store();
    hk::test::ClearDbgLines();
    EXPECT_EQ(ReadBootInfo(), STATUS_SUCCESS);
    EXPECT_TRUE(g_Parameters.BootInfoValid);
    EXPECT_EQ(W(g_Parameters.ServerIp), u"192.168.50.10");
    EXPECT_EQ(W(g_Parameters.ApiServerIp), u"192.168.50.10");
    EXPECT_EQ(g_Parameters.ServerPort, 7000);   // port 0 in the block keeps the registry's
    EXPECT_EQ(g_Parameters.ApiServerPort, 7001);
    EXPECT_EQ(memcmp(&g_Parameters.BootInfo, b.bytes, 64), 0);
    EXPECT_EQ(DriverLines(), (std::vector<std::string>{
                                 "ZelkoVd: 读取 PXE 引导器 IP 配置（物理地址 0x80000）\n",
                                 "ZelkoVd: PXE 引导信息读取成功：ServerIp=192.168.50.10, Port=7000, ApiPort=7001, "
                                 "ClientIp=192.168.50.77, MAC=001A2B3C4D5E\n"}));

    b.Put16(0x28, 9600);
    b.Put16(0x2A, 9601);
    b.Store();
    EXPECT_EQ(ReadBootInfo(), STATUS_SUCCESS);
    EXPECT_EQ(g_Parameters.ServerPort, 9601);
    EXPECT_EQ(g_Parameters.ApiServerPort, 9600);
}

TEST_F(Parameters, InvalidBootBlocksChangeNothing) {
    hk::test::RegSetString(kParams, "ServerIp", "10.0.0.2");
    ReadRegistry();
    ZV_PARAMETERS before = g_Parameters;
    struct Case {
        const char* what;
        void (*spoil)(Block&);
        NTSTATUS status;
        const char* message;
    };
    const Case cases[] = {
        {"no block at all", [](Block& b) { memset(b.bytes, 0, 64); }, STATUS_NOT_FOUND,
         "ZelkoVd: PXE 引导信息 magic 不匹配（0x00000000 != 0x5452424B，非 PXE 引导）\n"},
        {"version 2", [](Block& b) { b.Put16(0x04, 2); }, STATUS_REVISION_MISMATCH,
         "ZelkoVd: PXE 引导信息版本不匹配（2 != 1）\n"},
        {"flags 0x0002", [](Block& b) { b.Put16(0x06, 0x0002); }, STATUS_INVALID_PARAMETER,
         "ZelkoVd: PXE 引导信息 flags=0x0002 无效\n"},
        {"server 0", [](Block& b) { memset(b.bytes + 0x08, 0, 4); }, STATUS_INVALID_PARAMETER,
         "ZelkoVd: PXE 引导信息 serverIp/clientIp 为 0\n"},
        {"client 0", [](Block& b) { memset(b.bytes + 0x0C, 0, 4); }, STATUS_INVALID_PARAMETER,
         "ZelkoVd: PXE 引导信息 serverIp/clientIp 为 0\n"},
    };
    for (const Case& c : cases) {
        Block b;
        b.Put16(0x2A, 9601);
        c.spoil(b);
        b.Store();
        hk::test::ClearDbgLines();
        EXPECT_EQ(ReadBootInfo(), c.status) << c.what;
        auto lines = DriverLines();
        ASSERT_EQ(lines.size(), 2u) << c.what;
        EXPECT_EQ(lines[1], c.message) << c.what;
        EXPECT_EQ(memcmp(&before, &g_Parameters, sizeof before), 0) << c.what;
    }
    // Other flag bits do not matter once bit 0 is set.
    Block ok;
    ok.Put16(0x06, 0x0003);
    ok.Store();
    EXPECT_EQ(ReadBootInfo(), STATUS_SUCCESS);
    EXPECT_TRUE(g_Parameters.BootInfoValid);
}

TEST_F(Parameters, UnmappableBootBlockMeansNotANetworkBoot) {
    hk::test::SetMapIoSpaceFails(true);
    EXPECT_EQ(ReadBootInfo(), STATUS_NOT_FOUND);
    hk::test::SetMapIoSpaceFails(false);
    EXPECT_FALSE(g_Parameters.BootInfoValid);
    EXPECT_EQ(DriverLines().back(), "ZelkoVd: MmMapIoSpace(0x80000) 失败（非 PXE 引导？使用注册表配置）\n");
}

TEST_F(Parameters, DefaultIqnUsesTheSharedNamingAuthority) {
    EXPECT_EQ(std::u16string((const char16_t*)ZV_DEFAULT_TARGET_IQN), u"iqn.2024-01.net.zelko:client.default");
}

}  // namespace
