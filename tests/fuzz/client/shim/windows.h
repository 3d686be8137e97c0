// Test-only stand-in for <windows.h> in the Linux fuzz build of the client's text code
// (api/Text.cpp): the two UTF-8 <-> UTF-16 conversions it calls, nothing else.
//
// wchar_t stays 4 bytes wide here (no -fshort-wchar: the C++ library's wstring is built for 4),
// and the conversions store UTF-16 code units in it, one unit per wchar_t, exactly the units
// Windows would produce. The parsers only compare those units with ASCII, so they behave as on
// Windows.
#pragma once

typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef int BOOL;
typedef char CHAR;
typedef wchar_t WCHAR;

#define CP_UTF8 65001u

// As Windows (Vista and later) without MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS: invalid
// UTF-8 and unpaired surrogates become U+FFFD (one per maximal invalid subsequence here; Windows
// may count differently, and nothing the parsers do depends on it). A zero output size asks for
// the size; too small an output fails with 0.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, wchar_t* dst,
                        int dstLen);
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* src, int srcLen, char* dst,
                        int dstLen, const char* defaultChar, BOOL* usedDefault);
