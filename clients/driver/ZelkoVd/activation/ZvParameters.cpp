// Driver parameters from the registry and the boot-information block.
//
// The set has no lock: driver entry fills it before anything else runs, and afterwards the
// auto-activation thread is its only writer. Readers elsewhere take copies (LUN 0 gets its own).
#include "ZvParameters.h"
#include "ZvLog.h"

ZV_PARAMETERS g_Parameters = {
    FALSE, FALSE, {}, ZV_DEFAULT_SERVER_PORT, {}, {}, {}, ZV_DEFAULT_API_SERVER_PORT, FALSE, {}, FALSE, {},
};

VOID InitializeDriverParameters(VOID) {
    RtlZeroMemory(&g_Parameters, sizeof(g_Parameters));
    g_Parameters.ServerPort = ZV_DEFAULT_SERVER_PORT;
    g_Parameters.ApiServerPort = ZV_DEFAULT_API_SERVER_PORT;
}

// Query buffers: partial information of a DWORD fits in 20 bytes; string data up to 500 bytes
// fits in 512 (12 bytes of header), so a longer string value is not read at all.
#define ZV_DWORD_QUERY_BYTES 20
#define ZV_STRING_QUERY_BYTES 512

// Bytes copied from a string value: 63 characters for addresses and ids, 255 for the IQN.
#define ZV_SHORT_TEXT_COPY_BYTES 126
#define ZV_IQN_COPY_BYTES 510

static BOOLEAN QueryDword(HANDLE Key, PCWSTR Name, ULONG* Value) {
    ULONG buffer[ZV_DWORD_QUERY_BYTES / sizeof(ULONG)];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &resultLength);
    if (!NT_SUCCESS(status)) return FALSE;
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG)) return FALSE;
    RtlCopyMemory(Value, info->Data, sizeof(ULONG));
    return TRUE;
}

// Copies at most CopyBytes of a REG_SZ value into Field (which holds more than that) and
// terminates it at the copied length. An absent, ill-typed, oversized or empty value leaves the
// field as it is.
static VOID QueryString(HANDLE Key, PCWSTR Name, PWCHAR Field, ULONG CopyBytes) {
    ULONG buffer[ZV_STRING_QUERY_BYTES / sizeof(ULONG)];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &resultLength);
    if (!NT_SUCCESS(status)) return;
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    if (info->Type != REG_SZ) return;
    ULONG bytes = info->DataLength;
    if (bytes > ZV_STRING_QUERY_BYTES - (ULONG)FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) return;
    // An empty string (no data, or nothing before the terminator) changes nothing.
    if (bytes < sizeof(WCHAR) || (info->Data[0] == 0 && info->Data[1] == 0)) return;
    if (bytes > CopyBytes) bytes = CopyBytes;
    bytes &= ~(ULONG)1;   // whole characters only
    RtlCopyMemory(Field, info->Data, bytes);
    Field[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS ReadRegistryParameters(PCUNICODE_STRING RegistryPath) {
    WCHAR keyName[512];   // 1024 bytes
    NTSTATUS status = RtlStringCbPrintfW(keyName, sizeof(keyName), L"%wZ\\Parameters", RegistryPath);
    HANDLE key = NULL;
    if (NT_SUCCESS(status)) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, keyName);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        status = ZwOpenKey(&key, KEY_READ, &attributes);
    }
    // A key name cut at the buffer would name some other key: treated like a missing key.
    if (!NT_SUCCESS(status)) {
        ZvLogPlain("注册表 Parameters 子键不存在 0x%08X（AutoActivate 禁用）\n", (ULONG)status);
        return status;
    }

    ULONG value = 0;
    g_Parameters.AutoActivate = QueryDword(key, L"AutoActivate", &value) ? (value != 0) : FALSE;
    g_Parameters.ServerPort = QueryDword(key, L"ServerPort", &value) ? (USHORT)(value & 0xFFFF) : ZV_DEFAULT_SERVER_PORT;
    QueryString(key, L"ServerIp", g_Parameters.ServerIp, ZV_SHORT_TEXT_COPY_BYTES);
    QueryString(key, L"TargetIqn", g_Parameters.TargetIqn, ZV_IQN_COPY_BYTES);
    QueryString(key, L"ClientId", g_Parameters.ClientId, ZV_SHORT_TEXT_COPY_BYTES);
    g_Parameters.ApiServerPort =
        QueryDword(key, L"ApiServerPort", &value) ? (USHORT)(value & 0xFFFF) : ZV_DEFAULT_API_SERVER_PORT;
    QueryString(key, L"ApiServerIp", g_Parameters.ApiServerIp, ZV_SHORT_TEXT_COPY_BYTES);
    g_Parameters.AutoActivateViaApi = QueryDword(key, L"AutoActivateViaApi", &value) ? (value != 0) : FALSE;
    ZwClose(key);

    ZvLogPlain("注册表参数: AutoActivate=%d, ServerIp=%ws, Port=%u, Iqn=%ws, ApiServer=%ws:%u, ViaApi=%d\n",
               (int)g_Parameters.AutoActivate, g_Parameters.ServerIp, (ULONG)g_Parameters.ServerPort,
               g_Parameters.TargetIqn, g_Parameters.ApiServerIp, (ULONG)g_Parameters.ApiServerPort,
               (int)g_Parameters.AutoActivateViaApi);
    FileLogWrite("[Registry] AutoActivate=%d AutoActivateViaApi=%d ServerIp=%ws:%u TargetIqn=%ws ApiServer=%ws:%u "
                 "ClientId=%ws\n",
                 (int)g_Parameters.AutoActivate, (int)g_Parameters.AutoActivateViaApi, g_Parameters.ServerIp,
                 (ULONG)g_Parameters.ServerPort, g_Parameters.TargetIqn, g_Parameters.ApiServerIp,
                 (ULONG)g_Parameters.ApiServerPort, g_Parameters.ClientId);
    return STATUS_SUCCESS;
}

static ULONG LittleEndian32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static USHORT LittleEndian16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }

NTSTATUS ReadBootInfo(VOID) {
    ZvLogPlain("读取 PXE 引导器 IP 配置（物理地址 0x%llx）\n", (ULONGLONG)ZV_BOOT_INFO_ADDRESS);
    PHYSICAL_ADDRESS address;
    address.QuadPart = (LONGLONG)ZV_BOOT_INFO_ADDRESS;
    PVOID mapped = MmMapIoSpace(address, sizeof(ZV_BOOT_INFO), MmNonCached);
    if (mapped == NULL) {
        ZvLogPlain("MmMapIoSpace(0x%llx) 失败（非 PXE 引导？使用注册表配置）\n", (ULONGLONG)ZV_BOOT_INFO_ADDRESS);
        return STATUS_NOT_FOUND;
    }
    UCHAR raw[sizeof(ZV_BOOT_INFO)];
    RtlCopyMemory(raw, mapped, sizeof(raw));
    MmUnmapIoSpace(mapped, sizeof(ZV_BOOT_INFO));

    ZV_BOOT_INFO block;
    RtlCopyMemory(&block, raw, sizeof(block));
    // Integers are assembled byte by byte: the block is little-endian by definition.
    block.magic = LittleEndian32(raw + FIELD_OFFSET(ZV_BOOT_INFO, magic));
    block.version = LittleEndian16(raw + FIELD_OFFSET(ZV_BOOT_INFO, version));
    block.flags = LittleEndian16(raw + FIELD_OFFSET(ZV_BOOT_INFO, flags));
    block.apiPort = LittleEndian16(raw + FIELD_OFFSET(ZV_BOOT_INFO, apiPort));
    block.serverPort = LittleEndian16(raw + FIELD_OFFSET(ZV_BOOT_INFO, serverPort));

    if (block.magic != ZV_BOOT_INFO_MAGIC) {
        ZvLogPlain("PXE 引导信息 magic 不匹配（0x%08X != 0x%08X，非 PXE 引导）\n", (ULONG)block.magic,
                   (ULONG)ZV_BOOT_INFO_MAGIC);
        return STATUS_NOT_FOUND;
    }
    if (block.version != ZV_BOOT_INFO_VERSION) {
        ZvLogPlain("PXE 引导信息版本不匹配（%u != %u）\n", (ULONG)block.version, (ULONG)ZV_BOOT_INFO_VERSION);
        return STATUS_REVISION_MISMATCH;
    }
    if (!(block.flags & ZV_BOOT_INFO_FLAG_VALID)) {
        ZvLogPlain("PXE 引导信息 flags=0x%04X 无效\n", (ULONG)block.flags);
        return STATUS_INVALID_PARAMETER;
    }
    if (LittleEndian32(block.serverIp) == 0 || LittleEndian32(block.clientIp) == 0) {
        ZvLogPlain("PXE 引导信息 serverIp/clientIp 为 0\n");
        return STATUS_INVALID_PARAMETER;
    }

    g_Parameters.BootInfo = block;
    g_Parameters.BootInfoValid = TRUE;
    RtlStringCchPrintfW(g_Parameters.ServerIp, ZV_ADDRESS_CHARS, L"%u.%u.%u.%u", (ULONG)block.serverIp[0],
                        (ULONG)block.serverIp[1], (ULONG)block.serverIp[2], (ULONG)block.serverIp[3]);
    RtlStringCchCopyW(g_Parameters.ApiServerIp, ZV_ADDRESS_CHARS, g_Parameters.ServerIp);
    if (block.serverPort != 0) g_Parameters.ServerPort = block.serverPort;
    if (block.apiPort != 0) g_Parameters.ApiServerPort = block.apiPort;

    ZvLogPlain("PXE 引导信息读取成功：ServerIp=%ws, Port=%u, ApiPort=%u, ClientIp=%u.%u.%u.%u, "
               "MAC=%02X%02X%02X%02X%02X%02X\n",
               g_Parameters.ServerIp, (ULONG)g_Parameters.ServerPort, (ULONG)g_Parameters.ApiServerPort,
               (ULONG)block.clientIp[0], (ULONG)block.clientIp[1], (ULONG)block.clientIp[2], (ULONG)block.clientIp[3],
               (ULONG)block.mac[0], (ULONG)block.mac[1], (ULONG)block.mac[2], (ULONG)block.mac[3],
               (ULONG)block.mac[4], (ULONG)block.mac[5]);
    return STATUS_SUCCESS;
}
