// ntstrsafe: bounded copies, concatenations and formatting.
#include "hk_internal.h"

#include <ntstrsafe.h>

namespace {

template <class T>
size_t Len(const T* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n]) n++;
    return n;
}

bool BadCch(size_t cch) { return cch == 0 || cch > NTSTRSAFE_MAX_CCH; }

template <class T>
NTSTATUS CopyN(T* dst, size_t cch, const T* src, size_t maxCopy) {
    if (BadCch(cch)) return STATUS_INVALID_PARAMETER;
    size_t i = 0;
    while (i < maxCopy && src[i]) {
        if (i + 1 >= cch) {
            dst[i] = 0;
            return STATUS_BUFFER_OVERFLOW;
        }
        dst[i] = src[i];
        i++;
    }
    dst[i] = 0;
    return STATUS_SUCCESS;
}

template <class T>
NTSTATUS CatN(T* dst, size_t cch, const T* src, size_t maxCopy) {
    if (BadCch(cch)) return STATUS_INVALID_PARAMETER;
    size_t used = Len(dst, cch);
    if (used == cch) return STATUS_INVALID_PARAMETER;   // destination not terminated within its size
    return CopyN(dst + used, cch - used, src, maxCopy);
}

NTSTATUS VPrintfA(char* dst, size_t cch, const char* fmt, va_list ap) {
    if (BadCch(cch)) return STATUS_INVALID_PARAMETER;
    bool truncated;
    hk::FormatA(dst, cch, fmt, ap, &truncated);
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS VPrintfW(wchar_t* dst, size_t cch, const wchar_t* fmt, va_list ap) {
    if (BadCch(cch)) return STATUS_INVALID_PARAMETER;
    bool truncated;
    hk::FormatW((char16_t*)dst, cch, (const char16_t*)fmt, ap, &truncated);
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <class T>
NTSTATUS Length(const T* s, size_t cchMax, size_t* out) {
    if (!s || cchMax > NTSTRSAFE_MAX_CCH) {
        if (out) *out = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = Len(s, cchMax);
    if (n == cchMax) {
        if (out) *out = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (out) *out = n;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCbVPrintfA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR f, va_list ap) { return VPrintfA(d, cb, f, ap); }
NTSTATUS RtlStringCchVPrintfA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR f, va_list ap) { return VPrintfA(d, cch, f, ap); }
NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR f, va_list ap) {
    return VPrintfW(d, cb / sizeof(wchar_t), f, ap);
}
NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR f, va_list ap) { return VPrintfW(d, cch, f, ap); }

NTSTATUS RtlStringCbPrintfA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR f, ...) {
    va_list ap;
    va_start(ap, f);
    NTSTATUS s = VPrintfA(d, cb, f, ap);
    va_end(ap);
    return s;
}
NTSTATUS RtlStringCchPrintfA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR f, ...) {
    va_list ap;
    va_start(ap, f);
    NTSTATUS s = VPrintfA(d, cch, f, ap);
    va_end(ap);
    return s;
}
NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR f, ...) {
    va_list ap;
    va_start(ap, f);
    NTSTATUS s = VPrintfW(d, cb / sizeof(wchar_t), f, ap);
    va_end(ap);
    return s;
}
NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR f, ...) {
    va_list ap;
    va_start(ap, f);
    NTSTATUS s = VPrintfW(d, cch, f, ap);
    va_end(ap);
    return s;
}

NTSTATUS RtlStringCbCopyA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s) { return CopyN(d, cb, s, SIZE_MAX); }
NTSTATUS RtlStringCchCopyA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s) { return CopyN(d, cch, s, SIZE_MAX); }
NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s) {
    return CopyN((char16_t*)d, cb / 2, (const char16_t*)s, SIZE_MAX);
}
NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s) {
    return CopyN((char16_t*)d, cch, (const char16_t*)s, SIZE_MAX);
}
NTSTATUS RtlStringCbCopyNA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s, size_t n) {
    if (n > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    return CopyN(d, cb, s, n);
}
NTSTATUS RtlStringCchCopyNA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s, size_t n) {
    if (n > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    return CopyN(d, cch, s, n);
}
NTSTATUS RtlStringCbCopyNW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s, size_t cbToCopy) {
    if (cbToCopy / 2 > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    return CopyN((char16_t*)d, cb / 2, (const char16_t*)s, cbToCopy / 2);
}
NTSTATUS RtlStringCchCopyNW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s, size_t n) {
    if (n > NTSTRSAFE_MAX_CCH) return STATUS_INVALID_PARAMETER;
    return CopyN((char16_t*)d, cch, (const char16_t*)s, n);
}
NTSTATUS RtlStringCbCatA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s) { return CatN(d, cb, s, SIZE_MAX); }
NTSTATUS RtlStringCchCatA(NTSTRSAFE_PSTR d, size_t cch, NTSTRSAFE_PCSTR s) { return CatN(d, cch, s, SIZE_MAX); }
NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s) {
    return CatN((char16_t*)d, cb / 2, (const char16_t*)s, SIZE_MAX);
}
NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR d, size_t cch, NTSTRSAFE_PCWSTR s) {
    return CatN((char16_t*)d, cch, (const char16_t*)s, SIZE_MAX);
}
NTSTATUS RtlStringCbCatNA(NTSTRSAFE_PSTR d, size_t cb, NTSTRSAFE_PCSTR s, size_t n) { return CatN(d, cb, s, n); }
NTSTATUS RtlStringCbCatNW(NTSTRSAFE_PWSTR d, size_t cb, NTSTRSAFE_PCWSTR s, size_t cbToAppend) {
    return CatN((char16_t*)d, cb / 2, (const char16_t*)s, cbToAppend / 2);
}

NTSTATUS RtlStringCbLengthA(NTSTRSAFE_PCSTR s, size_t cbMax, size_t* out) { return Length(s, cbMax, out); }
NTSTATUS RtlStringCchLengthA(NTSTRSAFE_PCSTR s, size_t cchMax, size_t* out) { return Length(s, cchMax, out); }
NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR s, size_t cbMax, size_t* out) {
    size_t n = 0;
    NTSTATUS st = Length((const char16_t*)s, cbMax / 2, &n);
    if (out) *out = n * 2;
    return st;
}
NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR s, size_t cchMax, size_t* out) {
    return Length((const char16_t*)s, cchMax, out);
}

// Counted-string forms: the result is not terminated, Length is set to what fits.
static bool BadUnicode(PCUNICODE_STRING s) {
    return !s || (s->Length & 1) || (s->MaximumLength & 1) || s->Length > s->MaximumLength ||
           (s->MaximumLength && !s->Buffer);
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
    if (BadUnicode(DestinationString)) return STATUS_INVALID_PARAMETER;
    size_t cap = DestinationString->MaximumLength / 2;
    std::u16string tmp(NTSTRSAFE_UNICODE_STRING_MAX_CCH + 1, u'\0');   // not on the (kernel) stack
    va_list ap;
    va_start(ap, pszFormat);
    bool truncated;
    size_t n = hk::FormatW(&tmp[0], tmp.size(), (const char16_t*)pszFormat, ap, &truncated);
    va_end(ap);
    if (n > NTSTRSAFE_UNICODE_STRING_MAX_CCH) n = NTSTRSAFE_UNICODE_STRING_MAX_CCH;
    size_t copy = n < cap ? n : cap;
    memcpy(DestinationString->Buffer, tmp.data(), copy * 2);
    DestinationString->Length = (USHORT)(copy * 2);
    return copy < n ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

static NTSTATUS UsAppend(PUNICODE_STRING d, const WCHAR* src, size_t n) {
    if (BadUnicode(d)) return STATUS_INVALID_PARAMETER;
    size_t room = (d->MaximumLength - d->Length) / 2;
    size_t copy = n < room ? n : room;
    memmove((char*)d->Buffer + d->Length, src, copy * 2);
    d->Length = (USHORT)(d->Length + copy * 2);
    return copy < n ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (BadUnicode(DestinationString) || BadUnicode(SourceString)) return STATUS_INVALID_PARAMETER;
    DestinationString->Length = 0;
    return UsAppend(DestinationString, SourceString->Buffer, SourceString->Length / 2);
}
NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (BadUnicode(SourceString)) return STATUS_INVALID_PARAMETER;
    return UsAppend(DestinationString, SourceString->Buffer, SourceString->Length / 2);
}
NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    return UsAppend(DestinationString, pszSrc, hk::Wcslen((const char16_t*)pszSrc));
}
NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc) {
    if (BadUnicode(DestinationString)) return STATUS_INVALID_PARAMETER;
    DestinationString->Length = 0;
    return UsAppend(DestinationString, pszSrc, hk::Wcslen((const char16_t*)pszSrc));
}

}  // extern "C"
