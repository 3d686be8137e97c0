// This PC's MAC address as the management server knows it, found before any network stack above
// the kernel runs: the configured "NetworkAddress" of the network adapter class subkeys.
//
// Only the configured address counts, not the adapter's burnt-in one: a diskless PC is registered
// with the address its boot ROM and the management server agree on, and that is the one the
// café's set-up writes into the adapter's configuration.
#include "Activation.h"
#include "ZvLog.h"


#define MAC_SUBKEYS 100
#define MAC_QUERY_BYTES 256
#define MAC_DIGITS 12

NTSTATUS ZvOpenKey(PHANDLE Key, HANDLE Root, PCWSTR Name, ACCESS_MASK Access) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, NULL);
    return ZwOpenKey(Key, Access, &oa);
}

// The 12 digits of one adapter's "NetworkAddress", lower case; FALSE when the value is missing,
// not a string, too long for the query buffer, holds a character that is not a hex digit or a
// separator, or has fewer than 12 digits.
static BOOLEAN ReadConfiguredMac(HANDLE Adapter, WCHAR Digits[MAC_DIGITS]) {
    ULONG64 storage[MAC_QUERY_BYTES / sizeof(ULONG64)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)storage;
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"NetworkAddress");
    ULONG got = 0;
    NTSTATUS st = ZwQueryValueKey(Adapter, &value, KeyValuePartialInformation, info, sizeof(storage), &got);
    if (!NT_SUCCESS(st) || info->Type != REG_SZ) return FALSE;
    const WCHAR* text = (const WCHAR*)info->Data;
    ULONG chars = info->DataLength / sizeof(WCHAR);
    // The terminator is not part of the text.
    if (chars > 0 && text[chars - 1] == 0) chars--;
    ULONG taken = 0;
    for (ULONG i = 0; i < chars && taken < MAC_DIGITS; i++) {
        WCHAR ch = text[i];
        if (ch == 0 || ch == L' ' || ch == L'-' || ch == L':') continue;
        if (ch >= L'A' && ch <= L'F') ch = (WCHAR)(ch - L'A' + L'a');
        if ((ch >= L'0' && ch <= L'9') || (ch >= L'a' && ch <= L'f')) Digits[taken++] = ch;
        else return FALSE;
    }
    return taken == MAC_DIGITS;
}

NTSTATUS GetLocalMacAddress(PWCHAR MacText, ULONG Capacity) {
    PAGED_CODE();
    if (MacText == NULL || Capacity < MAC_DIGITS + 1) return STATUS_INVALID_PARAMETER;
    HANDLE cls;
    NTSTATUS st = ZvOpenKey(&cls, NULL, ZV_NIC_CLASS_KEY, KEY_READ);
    if (!NT_SUCCESS(st)) return st;
    st = STATUS_NOT_FOUND;
    for (ULONG index = 0; index < MAC_SUBKEYS && st == STATUS_NOT_FOUND; index++) {
        WCHAR name[8];
        if (!NT_SUCCESS(RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), L"%04u", index))) continue;
        HANDLE adapter;
        if (!NT_SUCCESS(ZvOpenKey(&adapter, cls, name, KEY_READ))) continue;
        WCHAR digits[MAC_DIGITS];
        if (ReadConfiguredMac(adapter, digits)) {
            RtlCopyMemory(MacText, digits, sizeof(digits));
            MacText[MAC_DIGITS] = 0;
            st = STATUS_SUCCESS;
        }
        ZwClose(adapter);
    }
    ZwClose(cls);
    return st;
}
