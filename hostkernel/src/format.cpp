// The kernel's printf: one formatter for DbgPrint and the ntstrsafe routines, narrow and wide.
//
// It follows the Microsoft conventions rather than glibc's: LLP64 sizes (%ld and %lu are 32
// bits), the I, I32 and I64 size prefixes, %ws/%ls and %S for UTF-16 strings in narrow formats
// (and %S/%hs for 8-bit strings in wide formats), %Z and %wZ for ANSI_STRING/UNICODE_STRING,
// %p as 16 upper-case hex digits without 0x, "(null)" for null string pointers. %n writes
// nothing. Wide text in narrow output goes through the host's ANSI code page (ISO-8859-1:
// characters above U+00FF become '?').
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <deque>
#include <stdio.h>
#include <stdlib.h>

namespace hk {
namespace {

template <class T>
struct Sink {
    T* dst;
    size_t cap;     // characters including the terminator; 0 = measure only
    size_t len = 0; // characters the full text has
    void Put(uint32_t unit) {
        if (len + 1 < cap) dst[len] = Narrow(unit);
        len++;
    }
    static T Narrow(uint32_t u) {
        if (sizeof(T) == 1) return (T)(u <= 0xFF ? u : '?');
        return (T)u;
    }
    void Finish() {
        if (cap == 0) return;
        dst[len < cap ? len : cap - 1] = 0;
    }
};

struct Directive {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    enum Size { Default, Char, Short, Long, LongLong, Ptr, Wide, Half } size = Default;
};

template <class T, class U>
void PutPadded(Sink<T>& out, const Directive& s, const U* text, size_t n, bool narrowSource) {
    size_t pad = (s.width > 0 && (size_t)s.width > n) ? (size_t)s.width - n : 0;
    if (!s.left)
        for (size_t i = 0; i < pad; i++) out.Put(' ');
    for (size_t i = 0; i < n; i++) out.Put(narrowSource ? (uint32_t)(unsigned char)text[i] : (uint32_t)text[i]);
    if (s.left)
        for (size_t i = 0; i < pad; i++) out.Put(' ');
}

// %s/%Z (narrow) and %ws/%S/%wZ (wide): a counted string (knownLen >= 0) or one up to its NUL,
// cut at the precision.
template <class T, class C>
void PutString(Sink<T>& out, const Directive& s, const C* str, long knownLen) {
    if (!str) {
        PutPadded(out, s, "(null)", s.precision >= 0 && s.precision < 6 ? (size_t)s.precision : 6, true);
        return;
    }
    size_t n = 0;
    size_t limit = s.precision >= 0 ? (size_t)s.precision : SIZE_MAX;
    if (knownLen >= 0) limit = limit < (size_t)knownLen ? limit : (size_t)knownLen;
    while (n < limit && (knownLen >= 0 || str[n])) n++;
    PutPadded(out, s, str, n, sizeof(C) == 1);
}

template <class T>
void PutInteger(Sink<T>& out, const Directive& s, uint64_t magnitude, bool negative, int base, bool upper, bool isSigned,
                bool pointerStyle) {
    char digits[72];
    int nd = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    if (magnitude == 0 && s.precision == 0 && !pointerStyle) {
        nd = 0;
    } else {
        do {
            digits[nd++] = set[magnitude % (unsigned)base];
            magnitude /= (unsigned)base;
        } while (magnitude);
    }
    int minDigits = s.precision >= 0 ? s.precision : 1;
    if (pointerStyle) minDigits = 16;
    char prefix[3] = {0};
    int np = 0;
    if (isSigned) {
        if (negative) prefix[np++] = '-';
        else if (s.plus) prefix[np++] = '+';
        else if (s.space) prefix[np++] = ' ';
    }
    if (s.alt && base == 16 && (nd > 0 && !(nd == 1 && digits[0] == '0'))) {
        prefix[np++] = '0';
        prefix[np++] = upper ? 'X' : 'x';
    }
    if (s.alt && base == 8 && (nd == 0 || digits[nd - 1] != '0') && minDigits <= nd) minDigits = nd + 1;
    int zeros = minDigits > nd ? minDigits - nd : 0;
    int total = np + zeros + nd;
    int pad = s.width > total ? s.width - total : 0;
    bool zeroPad = s.zero && !s.left && s.precision < 0;
    if (zeroPad) {
        zeros += pad;
        pad = 0;
    }
    if (!s.left)
        for (int i = 0; i < pad; i++) out.Put(' ');
    for (int i = 0; i < np; i++) out.Put((unsigned char)prefix[i]);
    for (int i = 0; i < zeros; i++) out.Put('0');
    for (int i = nd - 1; i >= 0; i--) out.Put((unsigned char)digits[i]);
    if (s.left)
        for (int i = 0; i < pad; i++) out.Put(' ');
}

template <class T, class F>
void Format(Sink<T>& out, const F* fmt, va_list ap, bool* sawUnicode) {
    const bool wideFormat = sizeof(F) == 2;
    for (const F* p = fmt; *p; p++) {
        if (*p != '%') {
            out.Put((uint32_t)(std::make_unsigned_t<F>)*p);
            continue;
        }
        const F* start = p;
        p++;
        if (*p == '%') {
            out.Put('%');
            continue;
        }
        Directive s;
        for (;; p++) {
            if (*p == '-') s.left = true;
            else if (*p == '+') s.plus = true;
            else if (*p == ' ') s.space = true;
            else if (*p == '#') s.alt = true;
            else if (*p == '0') s.zero = true;
            else break;
        }
        if (*p == '*') {
            int w = va_arg(ap, int);
            if (w < 0) {
                s.left = true;
                w = -w;
            }
            s.width = w;
            p++;
        } else {
            while (*p >= '0' && *p <= '9') s.width = (s.width < 0 ? 0 : s.width) * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            p++;
            if (*p == '*') {
                int pr = va_arg(ap, int);
                s.precision = pr < 0 ? -1 : pr;
                p++;
            } else {
                s.precision = 0;
                while (*p >= '0' && *p <= '9') s.precision = s.precision * 10 + (*p++ - '0');
            }
        }
        // Size prefixes
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            s.size = Directive::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            s.size = Directive::Default;
            p += 3;
        } else if (p[0] == 'I') {
            s.size = Directive::Ptr;
            p++;
        } else if (p[0] == 'h' && p[1] == 'h') {
            s.size = Directive::Char;
            p += 2;
        } else if (p[0] == 'h') {
            s.size = Directive::Half;
            p++;
        } else if (p[0] == 'l' && p[1] == 'l') {
            s.size = Directive::LongLong;
            p += 2;
        } else if (p[0] == 'l') {
            s.size = Directive::Long;
            p++;
        } else if (p[0] == 'w') {
            s.size = Directive::Wide;
            p++;
        } else if (p[0] == 'L' || p[0] == 'q' || p[0] == 'j') {
            s.size = Directive::LongLong;
            p++;
        } else if (p[0] == 'z' || p[0] == 't') {
            s.size = Directive::Ptr;
            p++;
        }
        F conv = *p;
        auto readSigned = [&]() -> int64_t {
            switch (s.size) {
            case Directive::LongLong:
            case Directive::Ptr: return va_arg(ap, long long);
            case Directive::Half: return (short)va_arg(ap, int);
            case Directive::Char: return (signed char)va_arg(ap, int);
            default: return va_arg(ap, int);   // Long is 32 bits (LLP64)
            }
        };
        auto readUnsigned = [&]() -> uint64_t {
            switch (s.size) {
            case Directive::LongLong:
            case Directive::Ptr: return va_arg(ap, unsigned long long);
            case Directive::Half: return (unsigned short)va_arg(ap, unsigned);
            case Directive::Char: return (unsigned char)va_arg(ap, unsigned);
            default: return va_arg(ap, unsigned);
            }
        };
        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v = readSigned();
            uint64_t mag = v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
            PutInteger(out, s, mag, v < 0, 10, false, true, false);
            break;
        }
        case 'u': PutInteger(out, s, readUnsigned(), false, 10, false, false, false); break;
        case 'x': PutInteger(out, s, readUnsigned(), false, 16, false, false, false); break;
        case 'X': PutInteger(out, s, readUnsigned(), false, 16, true, false, false); break;
        case 'o': PutInteger(out, s, readUnsigned(), false, 8, false, false, false); break;
        case 'p': {
            uint64_t v = (uint64_t)(uintptr_t)va_arg(ap, void*);
            Directive ps = s;
            ps.alt = false;
            ps.precision = -1;
            ps.zero = false;
            PutInteger(out, ps, v, false, 16, true, false, true);
            break;
        }
        case 'c':
        case 'C': {
            bool wide = (conv == 'c') ? (wideFormat ? s.size != Directive::Half : (s.size == Directive::Long || s.size == Directive::Wide))
                                      : (wideFormat ? (s.size == Directive::Long || s.size == Directive::Wide) : s.size != Directive::Half);
            unsigned v = va_arg(ap, unsigned);
            if (wide) {
                char16_t c = (char16_t)v;
                if (sawUnicode) *sawUnicode = true;
                Directive cs = s;
                cs.precision = -1;
                PutPadded(out, cs, &c, 1, false);
            } else {
                char c = (char)v;
                Directive cs = s;
                cs.precision = -1;
                PutPadded(out, cs, &c, 1, true);
            }
            break;
        }
        case 's':
        case 'S': {
            bool wide = (conv == 's') ? (wideFormat ? s.size != Directive::Half : (s.size == Directive::Long || s.size == Directive::Wide))
                                      : (wideFormat ? (s.size == Directive::Long || s.size == Directive::Wide) : s.size != Directive::Half);
            if (wide) {
                if (sawUnicode) *sawUnicode = true;
                PutString(out, s, va_arg(ap, const char16_t*), -1);
            } else {
                PutString(out, s, va_arg(ap, const char*), -1);
            }
            break;
        }
        case 'Z': {
            if (s.size == Directive::Wide || s.size == Directive::Long) {
                if (sawUnicode) *sawUnicode = true;
                auto* us = va_arg(ap, PCUNICODE_STRING);
                if (!us || !us->Buffer) PutString(out, s, (const char16_t*)nullptr, -1);
                else PutString(out, s, (const char16_t*)us->Buffer, us->Length / 2);
            } else {
                auto* as = va_arg(ap, const ANSI_STRING*);
                if (!as || !as->Buffer) PutString(out, s, (const char*)nullptr, -1);
                else PutString(out, s, (const char*)as->Buffer, as->Length);
            }
            break;
        }
        case 'n': (void)va_arg(ap, void*); break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double d = va_arg(ap, double);
            char convSpec[32], text[512];
            int k = 0;
            convSpec[k++] = '%';
            if (s.left) convSpec[k++] = '-';
            if (s.plus) convSpec[k++] = '+';
            if (s.space) convSpec[k++] = ' ';
            if (s.alt) convSpec[k++] = '#';
            if (s.zero) convSpec[k++] = '0';
            convSpec[k] = 0;
            char tail[24];
            if (s.precision >= 0) snprintf(tail, sizeof tail, "%d.%d%c", s.width < 0 ? 0 : s.width, s.precision, (char)conv);
            else snprintf(tail, sizeof tail, "%d%c", s.width < 0 ? 0 : s.width, (char)conv);
            snprintf(convSpec + k, sizeof convSpec - (size_t)k, "%s", tail);
            int n = snprintf(text, sizeof text, convSpec, d);
            if (n < 0) n = 0;
            if (n > (int)sizeof text - 1) n = (int)sizeof text - 1;
            for (int i = 0; i < n; i++) out.Put((unsigned char)text[i]);
            break;
        }
        default:
            // Not a conversion: print the directive as written (no argument is consumed).
            for (const F* q = start; q <= p && *q; q++) out.Put((uint32_t)(std::make_unsigned_t<F>)*q);
            if (!*p) p--;
            break;
        }
    }
}

}  // namespace

size_t FormatA(char* dst, size_t cap, const char* fmt, va_list ap, bool* truncated) {
    Sink<char> out{dst, cap};
    va_list copy;
    va_copy(copy, ap);
    Format(out, fmt, copy, nullptr);
    va_end(copy);
    out.Finish();
    if (truncated) *truncated = cap == 0 ? out.len > 0 : out.len + 1 > cap;
    return out.len;
}

size_t FormatW(char16_t* dst, size_t cap, const char16_t* fmt, va_list ap, bool* truncated) {
    Sink<char16_t> out{dst, cap};
    va_list copy;
    va_copy(copy, ap);
    Format(out, fmt, copy, nullptr);
    va_end(copy);
    out.Finish();
    if (truncated) *truncated = cap == 0 ? out.len > 0 : out.len + 1 > cap;
    return out.len;
}

// ---------------------------------------------------------------------------------------------
// Debug print capture

namespace {

struct DbgCapture {
    std::mutex lock;
    std::deque<test::DbgLine> lines;
    bool echo = false;
    bool strictUnicode = true;
    DbgCapture() {
        const char* e = getenv("HK_DBGPRINT");
        echo = e && *e && *e != '0';
    }
};

DbgCapture& Dbg() {
    static auto* d = new DbgCapture;
    return *d;
}

constexpr size_t kMaxDbgLines = 100000;
constexpr size_t kDbgPrintBytes = 512;   // one debug print carries at most 512 bytes

bool HasUnicodeConversion(const char* fmt, va_list ap) {
    bool saw = false;
    Sink<char> out{nullptr, 0};
    va_list copy;
    va_copy(copy, ap);
    Format(out, fmt, copy, &saw);
    va_end(copy);
    return saw;
}

}  // namespace

ULONG DbgPrintV(ULONG component, ULONG level, const char* fmt, va_list ap) {
    DbgCapture& d = Dbg();
    if (Current().irql > PASSIVE_LEVEL) {
        bool strict;
        {
            std::lock_guard<std::mutex> g(d.lock);
            strict = d.strictUnicode;
        }
        if (strict && HasUnicodeConversion(fmt, ap))
            Fatal("DbgPrint with a Unicode conversion (%%ws, %%wZ, %%S, %%C) at IRQL %u: only allowed at PASSIVE_LEVEL "
                  "(format \"%.200s\")", Current().irql, fmt);
    }
    char buf[kDbgPrintBytes];
    FormatA(buf, sizeof buf, fmt, ap, nullptr);
    std::lock_guard<std::mutex> g(d.lock);
    if (d.echo) {
        fprintf(stderr, "[dbg %u/%u] %s%s", component, level, buf,
                (buf[0] && buf[strlen(buf) - 1] == '\n') ? "" : "\n");
    }
    d.lines.push_back(test::DbgLine{component, level, buf});
    if (d.lines.size() > kMaxDbgLines) d.lines.pop_front();
    return STATUS_SUCCESS;
}

namespace test {

std::vector<DbgLine> DbgLines() {
    std::lock_guard<std::mutex> g(Dbg().lock);
    return std::vector<DbgLine>(Dbg().lines.begin(), Dbg().lines.end());
}

void ClearDbgLines() {
    std::lock_guard<std::mutex> g(Dbg().lock);
    Dbg().lines.clear();
}

void SetDbgEcho(bool on) {
    std::lock_guard<std::mutex> g(Dbg().lock);
    Dbg().echo = on;
}

void SetStrictDbgPrintUnicode(bool on) {
    std::lock_guard<std::mutex> g(Dbg().lock);
    Dbg().strictUnicode = on;
}

}  // namespace test
}  // namespace hk

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG r = hk::DbgPrintV(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, ap);
    va_end(ap);
    return r;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list ap;
    va_start(ap, Format);
    ULONG r = hk::DbgPrintV(ComponentId, Level, Format, ap);
    va_end(ap);
    return r;
}

ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    return hk::DbgPrintV(ComponentId, Level, Format, arglist);
}

}  // extern "C"
