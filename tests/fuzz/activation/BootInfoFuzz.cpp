// The boot-information block the network boot loader leaves at physical address 0x80000, and the
// IP maintenance that writes its addresses into the boot adapter's TCP/IP settings. The loader's
// block comes from whoever answered the PC's network boot, so it is as untrusted as the LAN.
//
// Input: the 64-byte block (shorter inputs are padded with zeros), then up to four adapter class
// subkeys 0000..0003, each as [type of NetworkAddress: 1][length: 1][UTF-16 data: length]
// [length of NetCfgInstanceId: 1][UTF-16 data: length]. The Tcpip\Parameters\Interfaces key
// exists; the adapter's own interface key is created for a GUID of plain characters.
// Checked: an invalid block changes nothing; a valid one sets both addresses to the block's
// server in dotted form, keeps a port of 0 from replacing one, and leaves every text terminated;
// neither step leaks a pool block, a handle or a mapping.
#include "FuzzMachine.h"

#include <string>
#include <vector>

using namespace fuzzact;

namespace {

const std::string kClass =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const std::string kInterfaces = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";

struct Reader {
    const uint8_t* p;
    size_t left;
    bool Byte(uint8_t* v) {
        if (left == 0) return false;
        *v = *p++;
        left--;
        return true;
    }
    std::vector<uint8_t> Bytes(size_t n) {
        if (n > left) n = left;
        std::vector<uint8_t> v(p, p + n);
        p += n;
        left -= n;
        return v;
    }
};

std::string Ascii(const std::vector<uint8_t>& utf16) {
    std::string s;
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) {
        uint16_t ch = (uint16_t)(utf16[i] | (utf16[i + 1] << 8));
        if (ch == 0) break;
        s += ch < 0x80 ? (char)ch : '?';
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t block[64] = {};
    memcpy(block, data, size < 64 ? size : 64);
    Reader r{data + (size < 64 ? size : 64), size < 64 ? 0 : size - 64};

    hk::test::PhysWrite(0x80000, block, sizeof block);
    hk::test::RegSetDword(kInterfaces, "Present", 1);
    for (int i = 0; i < 4; i++) {
        uint8_t type, length;
        if (!r.Byte(&type) || !r.Byte(&length)) break;
        std::string sub = kClass + "\\000" + std::to_string(i);
        std::vector<uint8_t> address = r.Bytes(length);
        hk::test::RegSetValue(sub, "NetworkAddress", type % 8, address.data(), address.size());
        if (!r.Byte(&length)) break;
        std::vector<uint8_t> guid = r.Bytes(length);
        hk::test::RegSetValue(sub, "NetCfgInstanceId", REG_SZ, guid.data(), guid.size());
        std::string name = Ascii(guid);
        if (!name.empty() && name.find('\\') == std::string::npos)
            hk::test::RegSetDword(kInterfaces + "\\" + name, "Present", 1);
    }

    InitializeDriverParameters();
    SetW(g_Parameters.ServerIp, ZV_ADDRESS_CHARS, "10.0.0.2");
    g_Parameters.ServerPort = 7000;
    g_Parameters.ApiServerPort = 7001;
    const ZV_PARAMETERS before = g_Parameters;
    NTSTATUS st;
    {
        Round round;
        st = ReadBootInfo();
        if (NT_SUCCESS(st)) MaintainBootNicIp();
    }
    // Everything this input put into the registry goes with it: libFuzzer takes an input that
    // leaves more allocations than it found for a leak and runs a costly leak scan.
    hk::test::RegClear();
    CheckParametersTerminated();
    if (!NT_SUCCESS(st)) {
        Check(memcmp(&before, &g_Parameters, sizeof before) == 0, "an invalid block changed the parameters");
        return 0;
    }
    const ZV_PARAMETERS& p = g_Parameters;
    Check(p.BootInfoValid, "valid block not marked valid");
    char dotted[32];
    snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", block[8], block[9], block[10], block[11]);
    std::string server;
    for (ULONG i = 0; p.ServerIp[i] != 0; i++) server += (char)p.ServerIp[i];
    Check(server == dotted, "ServerIp is not the block's server");
    Check(memcmp(p.ServerIp, p.ApiServerIp, sizeof p.ServerIp) == 0, "ApiServerIp is not the block's server");
    uint16_t apiPort = (uint16_t)(block[0x28] | (block[0x29] << 8)), serverPort = (uint16_t)(block[0x2A] | (block[0x2B] << 8));
    Check(p.ApiServerPort == (apiPort ? apiPort : 7001), "API port");
    Check(p.ServerPort == (serverPort ? serverPort : 7000), "server port");
    Check(memcmp(&p.BootInfo, block, sizeof block) == 0, "stored block differs");
    return 0;
}
