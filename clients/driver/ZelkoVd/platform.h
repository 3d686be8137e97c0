// The one header every driver source includes for the kernel's services.
//
// Windows: the WDK headers (with mingw-w64 they live in its ddk/ directory, which the build puts
// on the include path, together with compat/ for the few declarations mingw-w64 lacks).
// Linux: the same header names resolve to hostkernel/include, the user-mode kernel the tests
// and the host runner use. Driver logic never checks which one it got.
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>

#if defined(_WIN32) && defined(__GNUC__)
// mingw-w64's ntddk.h leaves out the filter levels of the debug print.
#ifndef DPFLTR_ERROR_LEVEL
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#endif
#endif
