// IP maintenance of the boot adapter: the address the network boot loader obtained is written as
// the adapter's static TCP/IP settings, with DHCP and automatic private addressing switched off.
//
// The disk this Windows runs from is reached over that very adapter. If Windows re-configured it
// (a DHCP renewal with a different answer, or an automatic private address while DHCP is slow),
// the connection to the disk server would drop and the system with it. Only the registry is
// written: TCP/IP reads these values when it binds the adapter, later in the boot.
#include "Activation.h"
#include "ZvLog.h"
#include "ZvParameters.h"

#define TCPIP_INTERFACES_KEY L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces"
#define NIC_SUBKEYS 500
#define NIC_ADDRESS_QUERY_BYTES 64
#define NIC_ADDRESS_MIN_DATA 26      // 12 characters and the terminator
#define NIC_GUID_QUERY_BYTES 256
#define NIC_GUID_CHARS 128
#define NIC_MAC_CHARS 16
#define NIC_ADDR_CHARS 32
#define NIC_DNS_CHARS 64

static VOID FormatAddress(PWCHAR Out, const UCHAR a[4]) {
    (VOID)RtlStringCchPrintfW(Out, NIC_ADDR_CHARS, L"%u.%u.%u.%u", (ULONG)a[0], (ULONG)a[1], (ULONG)a[2],
                              (ULONG)a[3]);
}

static BOOLEAN IsZero(const UCHAR a[4]) { return a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0; }

// Does this class subkey's configured "NetworkAddress" name the boot MAC? Separators and NULs
// are skipped, any other character ends the scan, and exactly 12 digits must have been taken.
static BOOLEAN AdapterMatches(HANDLE Adapter, PCWSTR BootMac) {
    ULONG64 storage[NIC_ADDRESS_QUERY_BYTES / sizeof(ULONG64)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)storage;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"NetworkAddress");
    ULONG got = 0;
    NTSTATUS st = ZwQueryValueKey(Adapter, &value, KeyValuePartialInformation, info, sizeof(storage), &got);
    if (!NT_SUCCESS(st) || info->Type != REG_SZ || info->DataLength < NIC_ADDRESS_MIN_DATA) return FALSE;
    const WCHAR* text = (const WCHAR*)info->Data;
    ULONG chars = info->DataLength / sizeof(WCHAR);
    WCHAR digits[12];
    ULONG taken = 0;
    for (ULONG i = 0; i < chars && taken < 12; i++) {
        WCHAR ch = text[i];
        if (ch == 0 || ch == L' ' || ch == L'-' || ch == L':') continue;
        if (ch >= L'A' && ch <= L'F') ch = (WCHAR)(ch - L'A' + L'a');
        if (!((ch >= L'0' && ch <= L'9') || (ch >= L'a' && ch <= L'f'))) break;
        digits[taken++] = ch;
    }
    return taken == 12 && RtlCompareMemory(digits, BootMac, sizeof(digits)) == sizeof(digits);
}

// The adapter's "NetCfgInstanceId" (its GUID text, at most 127 characters); FALSE when missing.
static BOOLEAN ReadInstanceId(HANDLE Adapter, PWCHAR Guid) {
    ULONG64 storage[NIC_GUID_QUERY_BYTES / sizeof(ULONG64)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)storage;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"NetCfgInstanceId");
    ULONG got = 0;
    NTSTATUS st = ZwQueryValueKey(Adapter, &value, KeyValuePartialInformation, info, sizeof(storage), &got);
    if (!NT_SUCCESS(st) || info->Type != REG_SZ) return FALSE;
    const WCHAR* text = (const WCHAR*)info->Data;
    ULONG chars = info->DataLength / sizeof(WCHAR);
    ULONG n = 0;
    while (n < chars && n < NIC_GUID_CHARS - 1 && text[n] != 0) {
        Guid[n] = text[n];
        n++;
    }
    Guid[n] = 0;
    return n > 0;
}

// Searches the class subkeys 0000..0499 for the boot adapter; fills Guid and prints the match.
static BOOLEAN FindBootAdapter(HANDLE Class, PCWSTR BootMac, PWCHAR Guid) {
    for (ULONG index = 0; index < NIC_SUBKEYS; index++) {
        WCHAR name[8];
        if (!NT_SUCCESS(RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"%04u", index))) continue;
        HANDLE adapter;
        if (!NT_SUCCESS(ZvOpenKey(&adapter, Class, name, KEY_READ))) continue;
        BOOLEAN found = AdapterMatches(adapter, BootMac) && ReadInstanceId(adapter, Guid);
        ZwClose(adapter);
        if (found) {
            ZvLogPlain("通过 MAC 匹配找到 PXE 引导网卡 (Class idx=%ws, GUID=%ws, MAC=%ws)\n", name, Guid, BootMac);
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS SetDword(HANDLE Key, PCWSTR Name, ULONG Value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

// A REG_MULTI_SZ of one text (two terminators) or a REG_SZ (one).
static NTSTATUS SetText(HANDLE Key, PCWSTR Name, ULONG Type, PCWSTR Text) {
    WCHAR data[NIC_DNS_CHARS + 1];
    size_t chars = 0;
    (VOID)RtlStringCchLengthW(Text, NIC_DNS_CHARS, &chars);
    RtlCopyMemory(data, Text, chars * sizeof(WCHAR));
    data[chars] = 0;
    data[chars + 1] = 0;
    ULONG bytes = (ULONG)(chars + (Type == REG_MULTI_SZ ? 2 : 1)) * sizeof(WCHAR);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    return ZwSetValueKey(Key, &name, 0, Type, data, bytes);
}

static PCSTR Flag(NTSTATUS st, PCSTR ok, PCSTR fail) { return NT_SUCCESS(st) ? ok : fail; }

VOID MaintainBootNicIp(VOID) {
    PAGED_CODE();
    if (!g_Parameters.BootInfoValid) {
        ZvLogPlain("IP 维护跳过（无 PXE 引导信息）\n");
        return;
    }
    ZvLogPlain("开始 IP 维护（写入 TCPIP 注册表）\n");
    const ZV_BOOT_INFO* b = &g_Parameters.BootInfo;

    HANDLE interfaces;
    NTSTATUS st = ZvOpenKey(&interfaces, NULL, TCPIP_INTERFACES_KEY, KEY_READ);
    if (!NT_SUCCESS(st)) {
        ZvLogPlain("打开 Tcpip\\Interfaces 失败 0x%08X\n", (ULONG)st);
        return;
    }

    WCHAR mac[NIC_MAC_CHARS];
    (VOID)RtlStringCchPrintfW(mac, NIC_MAC_CHARS, L"%02X%02X%02X%02X%02X%02X", (ULONG)b->mac[0], (ULONG)b->mac[1],
                              (ULONG)b->mac[2], (ULONG)b->mac[3], (ULONG)b->mac[4], (ULONG)b->mac[5]);
    for (ULONG i = 0; mac[i] != 0; i++)
        if (mac[i] >= L'A' && mac[i] <= L'F') mac[i] = (WCHAR)(mac[i] - L'A' + L'a');

    HANDLE cls;
    st = ZvOpenKey(&cls, NULL, ZV_NIC_CLASS_KEY, KEY_READ);
    if (!NT_SUCCESS(st)) {
        ZvLogPlain("打开网卡 Class 注册表失败 0x%08X\n", (ULONG)st);
        ZwClose(interfaces);
        return;
    }
    WCHAR guid[NIC_GUID_CHARS];
    BOOLEAN found = FindBootAdapter(cls, mac, guid);
    ZwClose(cls);
    if (!found) {
        ZvLogPlain("IP 维护未找到匹配 PXE MAC 的网卡 (MAC=%ws, 将依赖 Windows DHCP 或后续手动配置)\n", mac);
        ZwClose(interfaces);
        return;
    }

    HANDLE nic;
    st = ZvOpenKey(&nic, interfaces, guid, KEY_READ | KEY_WRITE);
    if (!NT_SUCCESS(st)) {
        ZvLogPlain("打开目标网卡 Tcpip\\Interfaces\\%ws 失败 0x%08X\n", guid, (ULONG)st);
        ZwClose(interfaces);
        return;
    }

    WCHAR ip[NIC_ADDR_CHARS], mask[NIC_ADDR_CHARS], gateway[NIC_ADDR_CHARS], dns[NIC_DNS_CHARS];
    FormatAddress(ip, b->clientIp);
    FormatAddress(mask, b->subnetMask);
    FormatAddress(gateway, b->gateway);
    // A secondary server without a primary is not written: Windows would take it as the primary.
    dns[0] = 0;
    if (!IsZero(b->dnsPrimary) && !IsZero(b->dnsSecondary))
        (VOID)RtlStringCchPrintfW(dns, NIC_DNS_CHARS, L"%u.%u.%u.%u,%u.%u.%u.%u", (ULONG)b->dnsPrimary[0],
                                  (ULONG)b->dnsPrimary[1], (ULONG)b->dnsPrimary[2], (ULONG)b->dnsPrimary[3],
                                  (ULONG)b->dnsSecondary[0], (ULONG)b->dnsSecondary[1], (ULONG)b->dnsSecondary[2],
                                  (ULONG)b->dnsSecondary[3]);
    else if (!IsZero(b->dnsPrimary))
        (VOID)RtlStringCchPrintfW(dns, NIC_DNS_CHARS, L"%u.%u.%u.%u", (ULONG)b->dnsPrimary[0],
                                  (ULONG)b->dnsPrimary[1], (ULONG)b->dnsPrimary[2], (ULONG)b->dnsPrimary[3]);

    // Every value is written even when an earlier one failed: a partial set still beats DHCP.
    NTSTATUS dhcp = SetDword(nic, L"EnableDHCP", 0);
    NTSTATUS ipSt = SetText(nic, L"IPAddress", REG_MULTI_SZ, ip);
    NTSTATUS maskSt = SetText(nic, L"SubnetMask", REG_MULTI_SZ, mask);
    NTSTATUS gwSt = SetText(nic, L"DefaultGateway", REG_MULTI_SZ, gateway);
    NTSTATUS dnsSt = SetText(nic, L"NameServer", REG_SZ, dns);
    NTSTATUS apipa = SetDword(nic, L"IPAutoconfigurationEnabled", 0);

    ZvLogPlain("IP 维护写入完成（GUID=%ws, MAC=%ws）: IP=%ws, Mask=%ws, GW=%ws, EnableDHCP=0 [%s %s %s %s %s %s]\n", guid,
               mac, ip, mask, gateway, Flag(dhcp, "DHCP=OK", "DHCP=FAIL"), Flag(ipSt, "IP=OK", "IP=FAIL"),
               Flag(maskSt, "Mask=OK", "Mask=FAIL"), Flag(gwSt, "GW=OK", "GW=FAIL"), Flag(dnsSt, "DNS=OK", "DNS=FAIL"),
               Flag(apipa, "APIPA=OK", "APIPA=FAIL"));
    ZwClose(nic);
    ZwClose(interfaces);
}
