// The driver's registry reading: the values of its Parameters key (ReadRegistryParameters) and
// the adapters' configured "NetworkAddress" the MAC discovery reads (GetLocalMacAddress), with
// any type, any size and any bytes: wrong types, odd lengths, unterminated and huge strings,
// DWORDs of the wrong size.
//
// Input: records [value: 1][type: 1][length: 2, little-endian][data: length]. The value byte
// picks the name (modulo the list below); a type with bit 7 set repeats the data to length * 64
// bytes (up to 4 MiB), to reach sizes no fuzzer input holds.
// Checked: every text field terminated within its buffer and at most its copy limit long; the
// ports and flags follow the DWORDs exactly; a MAC that is found is 12 lower-case hex digits;
// nothing leaks.
#include "FuzzMachine.h"

#include <string>
#include <vector>

using namespace fuzzact;

namespace {

const std::string kService = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd";
const std::string kParams = kService + "\\Parameters";
const std::string kClass =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

struct Name {
    const std::string* key;
    const char* sub;
    const char* name;
};
const Name kNames[] = {
    {&kParams, "", "AutoActivate"},       {&kParams, "", "ServerPort"},  {&kParams, "", "ServerIp"},
    {&kParams, "", "TargetIqn"},          {&kParams, "", "ClientId"},    {&kParams, "", "ApiServerPort"},
    {&kParams, "", "ApiServerIp"},        {&kParams, "", "AutoActivateViaApi"},
    {&kClass, "\\0000", "NetworkAddress"}, {&kClass, "\\0001", "NetworkAddress"},
    {&kClass, "\\0099", "NetworkAddress"},
};
const size_t kNameCount = sizeof kNames / sizeof kNames[0];

size_t Length(const WCHAR* s, size_t chars) {
    size_t n = 0;
    while (n < chars && s[n] != 0) n++;
    return n;
}

// The DWORD the driver must have taken for a value, or -1 when it must count as absent.
int64_t ExpectedDword(const std::vector<std::pair<ULONG, std::vector<uint8_t>>>& last, size_t index) {
    const auto& v = last[index];
    if (v.first != REG_DWORD || v.second.size() != 4) return -1;
    return (int64_t)(v.second[0] | (v.second[1] << 8) | (v.second[2] << 16) | ((uint32_t)v.second[3] << 24));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hk::test::RegSetDword(kService, "Start", 0);
    std::vector<std::pair<ULONG, std::vector<uint8_t>>> last(kNameCount, {REG_NONE, {}});
    std::vector<bool> set(kNameCount, false);
    size_t at = 0;
    while (at + 4 <= size) {
        size_t which = data[at] % kNameCount;
        uint8_t type = data[at + 1];
        size_t length = (size_t)(data[at + 2] | (data[at + 3] << 8));
        at += 4;
        if (length > size - at) length = size - at;
        std::vector<uint8_t> bytes(data + at, data + at + length);
        at += length;
        if ((type & 0x80) && !bytes.empty()) {
            size_t want = length * 64;
            if (want > (4u << 20)) want = 4u << 20;
            std::vector<uint8_t> big(want);
            for (size_t i = 0; i < want; i++) big[i] = bytes[i % bytes.size()];
            bytes.swap(big);
        }
        ULONG regType = type & 0x0F;   // REG_NONE .. 15: the real types and a few unknown ones
        const Name& n = kNames[which];
        hk::test::RegSetValue(*n.key + n.sub, n.name, regType, bytes.data(), bytes.size());
        last[which] = {regType, bytes};
        set[which] = true;
    }

    InitializeDriverParameters();
    NTSTATUS st, macSt;
    WCHAR mac[13];
    {
        Round round;
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd");
        st = ReadRegistryParameters(&path);
        macSt = GetLocalMacAddress(mac, 13);
    }
    // Everything this input put into the registry goes with it: libFuzzer takes an input that
    // leaves more allocations than it found for a leak and runs a costly leak scan.
    hk::test::RegClear();
    CheckParametersTerminated();
    const ZV_PARAMETERS& p = g_Parameters;
    bool anyParam = false;
    for (size_t i = 0; i < 8; i++) anyParam = anyParam || set[i];
    Check(anyParam ? st == STATUS_SUCCESS : st == STATUS_OBJECT_NAME_NOT_FOUND, "Parameters key status");
    Check(Length(p.ServerIp, ZV_ADDRESS_CHARS) <= 63 && Length(p.ClientId, ZV_CLIENT_ID_CHARS) <= 63 &&
              Length(p.ApiServerIp, ZV_ADDRESS_CHARS) <= 63 && Length(p.TargetIqn, ZV_IQN_CHARS) <= 255,
          "text longer than its copy limit");
    if (st == STATUS_SUCCESS) {
        int64_t v = ExpectedDword(last, 0);
        Check(p.AutoActivate == (v > 0), "AutoActivate");
        v = ExpectedDword(last, 7);
        Check(p.AutoActivateViaApi == (v > 0), "AutoActivateViaApi");
        v = ExpectedDword(last, 1);
        Check(p.ServerPort == (v < 0 ? 9501 : (USHORT)v), "ServerPort");
        v = ExpectedDword(last, 5);
        Check(p.ApiServerPort == (v < 0 ? 9500 : (USHORT)v), "ApiServerPort");
        // A REG_SZ that the driver did take is the start of the value's data.
        const WCHAR* fields[] = {p.ServerIp, p.TargetIqn, p.ClientId, p.ApiServerIp};
        const size_t index[] = {2, 3, 4, 6};
        for (int f = 0; f < 4; f++) {
            size_t n = Length(fields[f], f == 1 ? ZV_IQN_CHARS : ZV_ADDRESS_CHARS);
            if (n == 0) continue;
            const auto& v2 = last[index[f]];
            Check(v2.first == REG_SZ, "a text taken from a value that is not REG_SZ");
            Check(v2.second.size() >= n * 2 && memcmp(v2.second.data(), fields[f], n * 2) == 0,
                  "a text that is not the value's data");
        }
    }
    if (NT_SUCCESS(macSt)) {
        Check(macSt == STATUS_SUCCESS && mac[12] == 0, "MAC text not terminated");
        for (int i = 0; i < 12; i++)
            Check((mac[i] >= L'0' && mac[i] <= L'9') || (mac[i] >= L'a' && mac[i] <= L'f'), "MAC digit");
    }
    return 0;
}
