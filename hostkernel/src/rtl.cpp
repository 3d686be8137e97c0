// Run-time library: counted strings, conversions, integers, SLISTs and UTF-16 helpers.
#include "hk_internal.h"

using hk::Fatal;

namespace hk {

size_t Wcslen(const char16_t* s) {
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return (char16_t)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return (char16_t)(c - 32);   // Latin-1 lower case
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return (char16_t)(c - 32);   // Greek
    if (c >= 0x430 && c <= 0x44F) return (char16_t)(c - 32);                 // Cyrillic
    if (c >= 0xFF41 && c <= 0xFF5A) return (char16_t)(c - 32);               // full-width Latin
    return c;
}

static char16_t Downcase(char16_t c) {
    if (c >= u'A' && c <= u'Z') return (char16_t)(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return (char16_t)(c + 32);
    if (c >= 0x391 && c <= 0x3A9) return (char16_t)(c + 32);
    if (c >= 0x410 && c <= 0x42F) return (char16_t)(c + 32);
    if (c >= 0xFF21 && c <= 0xFF3A) return (char16_t)(c + 32);
    return c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

std::u16string ToU16(const char* s) {
    std::u16string out;
    const unsigned char* p = (const unsigned char*)s;
    while (*p) {
        uint32_t cp;
        int extra;
        if (*p < 0x80) { cp = *p; extra = 0; }
        else if ((*p & 0xE0) == 0xC0) { cp = *p & 0x1F; extra = 1; }
        else if ((*p & 0xF0) == 0xE0) { cp = *p & 0x0F; extra = 2; }
        else if ((*p & 0xF8) == 0xF0) { cp = *p & 0x07; extra = 3; }
        else { out.push_back(0xFFFD); p++; continue; }
        p++;
        bool bad = false;
        for (int i = 0; i < extra; i++) {
            if ((*p & 0xC0) != 0x80) { bad = true; break; }
            cp = (cp << 6) | (*p++ & 0x3F);
        }
        if (bad) { out.push_back(0xFFFD); continue; }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((char16_t)cp);
        }
    }
    return out;
}

std::string ToUtf8(const char16_t* s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        }
        if (cp < 0x80) out.push_back((char)cp);
        else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace hk

extern "C" {

static const ULONG kStringTag = 0x67727453;   // 'Strg'

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString) {
        size_t n = hk::Wcslen((const char16_t*)SourceString) * 2;
        if (n > 0xFFFC) n = 0xFFFC;
        DestinationString->Length = (USHORT)n;
        DestinationString->MaximumLength = (USHORT)(n + 2);
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
    DestinationString->Buffer = (PWSTR)SourceString;
}

NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString && hk::Wcslen((const char16_t*)SourceString) * 2 > 0xFFFC) return STATUS_NAME_TOO_LONG;
    RtlInitUnicodeString(DestinationString, SourceString);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (SourceString) {
        size_t n = strlen(SourceString);
        if (n > 0xFFFE) n = 0xFFFE;
        DestinationString->Length = (USHORT)n;
        DestinationString->MaximumLength = (USHORT)(n + 1);
    } else {
        DestinationString->Length = DestinationString->MaximumLength = 0;
    }
    DestinationString->Buffer = (PCHAR)SourceString;
}

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString) { RtlInitAnsiString(DestinationString, SourceString); }

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                      : DestinationString->MaximumLength;
    n &= (USHORT)~1u;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + 2 <= DestinationString->MaximumLength) DestinationString->Buffer[n / 2] = 0;
}

VOID NTAPI RtlCopyString(PSTRING DestinationString, const STRING* SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                      : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n < DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!Source || Source->Length == 0) return STATUS_SUCCESS;
    if ((ULONG)Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove((char*)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)(Destination->Length + Source->Length);
    if ((ULONG)Destination->Length + 2 <= Destination->MaximumLength) Destination->Buffer[Destination->Length / 2] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; i++) {
        char16_t a = (char16_t)String1->Buffer[i], b = (char16_t)String2->Buffer[i];
        if (CaseInSensitive) {
            a = hk::Upcase(a);
            b = hk::Upcase(b);
        }
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) return FALSE;
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0 ? TRUE : FALSE;
}

LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
    size_t n = String1->Length < String2->Length ? String1->Length : String2->Length;
    for (size_t i = 0; i < n; i++) {
        unsigned char a = (unsigned char)String1->Buffer[i], b = (unsigned char)String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= 'a' && a <= 'z') a = (unsigned char)(a - 32);
            if (b >= 'a' && b <= 'z') b = (unsigned char)(b - 32);
        }
        if (a != b) return (LONG)a - (LONG)b;
    }
    return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return (WCHAR)hk::Upcase((char16_t)SourceCharacter); }
WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter) { return (WCHAR)hk::Downcase((char16_t)SourceCharacter); }
CHAR NTAPI RtlUpperChar(CHAR Character) {
    return (Character >= 'a' && Character <= 'z') ? (CHAR)(Character - 32) : Character;
}

NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (AllocateDestinationString) {
        hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUpcaseUnicodeString");
        DestinationString->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, SourceString->Length + 2u, kStringTag);
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)(SourceString->Length + 2);
    } else if (DestinationString->MaximumLength < SourceString->Length) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length / 2; i++)
        DestinationString->Buffer[i] = (WCHAR)hk::Upcase((char16_t)SourceString->Buffer[i]);
    DestinationString->Length = SourceString->Length;
    return STATUS_SUCCESS;
}

ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) { return UnicodeString->Length / 2u + 1u; }
ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) { return AnsiString->Length * 2u + 2u; }

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlUnicodeStringToAnsiString");
    ULONG need = RtlxUnicodeStringToAnsiSize(SourceString);   // with terminator
    if (need > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG n = need - 1;
    if (AllocateDestinationString) {
        DestinationString->Buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, need, kStringTag);
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)need;
    } else if (need > DestinationString->MaximumLength) {
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        n = DestinationString->MaximumLength - 1u;
    }
    for (ULONG i = 0; i < n; i++) {
        char16_t c = (char16_t)SourceString->Buffer[i];
        DestinationString->Buffer[i] = (CHAR)(c <= 0xFF ? c : '?');
    }
    DestinationString->Buffer[n] = 0;
    DestinationString->Length = (USHORT)n;
    return status;
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "RtlAnsiStringToUnicodeString");
    ULONG need = RtlxAnsiStringToUnicodeSize(SourceString);
    if (need > 0xFFFF) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        DestinationString->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, need, kStringTag);
        if (!DestinationString->Buffer) return STATUS_NO_MEMORY;
        DestinationString->MaximumLength = (USHORT)need;
    } else if (need - 2 > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    ULONG n = SourceString->Length;
    for (ULONG i = 0; i < n; i++) DestinationString->Buffer[i] = (WCHAR)(unsigned char)SourceString->Buffer[i];
    DestinationString->Length = (USHORT)(n * 2);
    if (DestinationString->Length + 2u <= DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeToUTF8N(PCHAR UTF8StringDestination, ULONG UTF8StringMaxByteCount,
                                 PULONG UTF8StringActualByteCount, PCWCH UnicodeStringSource,
                                 ULONG UnicodeStringByteCount) {
    std::string s = hk::ToUtf8((const char16_t*)UnicodeStringSource, UnicodeStringByteCount / 2);
    if (!UTF8StringDestination) {
        *UTF8StringActualByteCount = (ULONG)s.size();
        return STATUS_SUCCESS;
    }
    ULONG n = (ULONG)s.size() < UTF8StringMaxByteCount ? (ULONG)s.size() : UTF8StringMaxByteCount;
    memcpy(UTF8StringDestination, s.data(), n);
    *UTF8StringActualByteCount = n;
    return n < s.size() ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUTF8ToUnicodeN(PWSTR UnicodeStringDestination, ULONG UnicodeStringMaxByteCount,
                                 PULONG UnicodeStringActualByteCount, PCCH UTF8StringSource,
                                 ULONG UTF8StringByteCount) {
    std::string in(UTF8StringSource, UTF8StringByteCount);
    std::u16string s = hk::ToU16(in.c_str());
    ULONG bytes = (ULONG)s.size() * 2;
    if (!UnicodeStringDestination) {
        *UnicodeStringActualByteCount = bytes;
        return STATUS_SUCCESS;
    }
    ULONG n = bytes < UnicodeStringMaxByteCount ? bytes : (UnicodeStringMaxByteCount & ~1u);
    memcpy(UnicodeStringDestination, s.data(), n);
    *UnicodeStringActualByteCount = n;
    return n < bytes ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

BOOLEAN NTAPI RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t n = hk::Wcslen((const char16_t*)SourceString) * 2;
    if (n + 2 > 0xFFFE) return FALSE;
    DestinationString->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, n + 2, kStringTag);
    if (!DestinationString->Buffer) return FALSE;
    memcpy(DestinationString->Buffer, SourceString, n + 2);
    DestinationString->Length = (USHORT)n;
    DestinationString->MaximumLength = (USHORT)(n + 2);
    return TRUE;
}

static NTSTATUS IntToString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char16_t digits[66];
    int n = 0;
    do {
        unsigned d = (unsigned)(Value % Base);
        digits[n++] = (char16_t)(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value);
    if ((ULONG)n * 2 > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; i++) String->Buffer[i] = (WCHAR)digits[n - 1 - i];
    String->Length = (USHORT)(n * 2);
    if (String->Length + 2u <= String->MaximumLength) String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    return IntToString(Value, Base, String);
}

NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
    return IntToString(Value, Base, String);
}

NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    size_t n = String->Length / 2, i = 0;
    const WCHAR* s = String->Buffer;
    while (i < n && (s[i] == ' ' || s[i] == '\t')) i++;
    bool neg = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && s[i] == '0') {
            if (s[i + 1] == 'x' || s[i + 1] == 'X') { Base = 16; i += 2; }
            else if (s[i + 1] == 'o' || s[i + 1] == 'O') { Base = 8; i += 2; }
            else if (s[i + 1] == 'b' || s[i + 1] == 'B') { Base = 2; i += 2; }
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG v = 0;
    for (; i < n; i++) {
        unsigned d;
        WCHAR c = s[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        if (d >= Base) break;
        v = v * Base + d;
    }
    *Value = neg ? (ULONG)(0u - v) : v;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value) {
    std::u16string w = hk::ToU16(String);
    UNICODE_STRING u;
    u.Buffer = (PWSTR)w.data();
    u.Length = u.MaximumLength = (USHORT)(w.size() * 2);
    return RtlUnicodeStringToInteger(&u, Base, Value);
}

ULONG NTAPI RtlRandomEx(PULONG Seed) {
    // A Lehmer generator like the kernel's (the values differ, the contract does not).
    uint64_t next = ((uint64_t)*Seed * 16807u) % 2147483647u;
    *Seed = (ULONG)next;
    return (ULONG)next;
}
ULONG NTAPI RtlRandom(PULONG Seed) { return RtlRandomEx(Seed); }

// ---------------------------------------------------------------------------------------------
// SLISTs, guarded by a small striped lock table keyed by the header address.

static std::mutex& SListLock(const void* head) {
    static std::mutex* locks = new std::mutex[64];
    return locks[((uintptr_t)head >> 4) % 64];
}

VOID NTAPI InitializeSListHead(PSLIST_HEADER SListHead) {
    if ((uintptr_t)SListHead & 15) Fatal("InitializeSListHead(%p): SLIST_HEADER must be 16-byte aligned", (void*)SListHead);
    std::lock_guard<std::mutex> g(SListLock(SListHead));
    SListHead->HkList.Next = nullptr;
    SListHead->HkList.Depth = 0;
}

PSLIST_ENTRY NTAPI InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry) {
    if ((uintptr_t)ListEntry & 15) Fatal("InterlockedPushEntrySList: entry %p is not 16-byte aligned", (void*)ListEntry);
    std::lock_guard<std::mutex> g(SListLock(ListHead));
    PSLIST_ENTRY first = ListHead->HkList.Next;
    ListEntry->Next = first;
    ListHead->HkList.Next = ListEntry;
    ListHead->HkList.Depth++;
    return first;
}

PSLIST_ENTRY NTAPI InterlockedPopEntrySList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> g(SListLock(ListHead));
    PSLIST_ENTRY first = ListHead->HkList.Next;
    if (first) {
        ListHead->HkList.Next = first->Next;
        ListHead->HkList.Depth--;
    }
    return first;
}

PSLIST_ENTRY NTAPI InterlockedFlushSList(PSLIST_HEADER ListHead) {
    std::lock_guard<std::mutex> g(SListLock(ListHead));
    PSLIST_ENTRY first = ListHead->HkList.Next;
    ListHead->HkList.Next = nullptr;
    ListHead->HkList.Depth = 0;
    return first;
}

USHORT NTAPI QueryDepthSList(PSLIST_HEADER SListHead) {
    std::lock_guard<std::mutex> g(SListLock(SListHead));
    return (USHORT)SListHead->HkList.Depth;
}

PSLIST_ENTRY NTAPI RtlFirstEntrySList(const SLIST_HEADER* ListHead) {
    std::lock_guard<std::mutex> g(SListLock(ListHead));
    return ListHead->HkList.Next;
}

}  // extern "C"
