// The two conversions of shim/windows.h, replacing invalid input as Windows does.
#include <windows.h>

#include <cstdint>
#include <string>

namespace {

// Decodes one UTF-8 character at s[i]; on an invalid sequence returns U+FFFD and consumes its
// maximal subpart (at least one byte), as Windows does.
uint32_t NextCodePoint(const unsigned char* s, size_t n, size_t& i) {
  unsigned char b = s[i];
  if (b < 0x80) {
    ++i;
    return b;
  }
  size_t len;
  uint32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) { len = 2; cp = b & 0x1F; }
  else if (b >= 0xE0 && b <= 0xEF) {
    len = 3; cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no encoded surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4; cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return 0xFFFD;
  }
  size_t k = 1;
  for (; k < len; ++k) {
    if (i + k >= n) break;
    unsigned char c = s[i + k];
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) break;
    cp = (cp << 6) | (c & 0x3F);
  }
  i += k;
  return k == len ? cp : 0xFFFD;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD, const char* src, int srcLen, wchar_t* dst, int dstLen) {
  if (codePage != CP_UTF8 || !src || srcLen < 0) return 0;
  std::u16string units;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  for (size_t i = 0; i < (size_t)srcLen;) {
    uint32_t cp = NextCodePoint(s, (size_t)srcLen, i);
    if (cp >= 0x10000) {
      units += (char16_t)(0xD800 + ((cp - 0x10000) >> 10));
      units += (char16_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      units += (char16_t)cp;
    }
  }
  if (dstLen == 0) return (int)units.size();
  if ((size_t)dstLen < units.size()) return 0;
  for (size_t k = 0; k < units.size(); ++k) dst[k] = (wchar_t)units[k];
  return (int)units.size();
}

int WideCharToMultiByte(UINT codePage, DWORD, const wchar_t* src, int srcLen, char* dst, int dstLen,
                        const char*, BOOL*) {
  if (codePage != CP_UTF8 || !src || srcLen < 0) return 0;
  std::string out;
  for (size_t i = 0; i < (size_t)srcLen; ++i) {
    uint32_t u = (uint32_t)src[i] & 0xFFFF;  // UTF-16 units, as on Windows
    uint32_t cp = u;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < (size_t)srcLen) {
      uint32_t v = (uint32_t)src[i + 1] & 0xFFFF;
      if (v >= 0xDC00 && v <= 0xDFFF) {
        cp = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += (char)cp;
    } else if (cp < 0x800) {
      out += (char)(0xC0 | (cp >> 6));
      out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += (char)(0xE0 | (cp >> 12));
      out += (char)(0x80 | ((cp >> 6) & 0x3F));
      out += (char)(0x80 | (cp & 0x3F));
    } else {
      out += (char)(0xF0 | (cp >> 18));
      out += (char)(0x80 | ((cp >> 12) & 0x3F));
      out += (char)(0x80 | ((cp >> 6) & 0x3F));
      out += (char)(0x80 | (cp & 0x3F));
    }
  }
  if (dstLen == 0) return (int)out.size();
  if ((size_t)dstLen < out.size()) return 0;
  out.copy(dst, out.size());
  return (int)out.size();
}
