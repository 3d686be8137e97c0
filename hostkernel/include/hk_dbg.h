// Debug output. Every DbgPrint/DbgPrintEx call is formatted by the host kernel's own formatter
// (which knows the kernel's specifiers: %ws, %wZ, %S, %Z, %I64u, %p as 16 hex digits, ...),
// cut to the 512 bytes one debug print carries, and recorded with its component and level for
// tests (hostkernel_test.h). Set HK_DBGPRINT=1 in the environment to echo the lines to stderr.
#pragma once

#include "hk_base.h"

HK_BEGIN_DECLS

#define DPFLTR_ERROR_LEVEL   0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL   2
#define DPFLTR_INFO_LEVEL    3
#define DPFLTR_MASK          0x80000000

#define DPFLTR_SYSTEM_ID      0
#define DPFLTR_IHVVIDEO_ID    23
#define DPFLTR_IHVAUDIO_ID    24
#define DPFLTR_IHVNETWORK_ID  25
#define DPFLTR_IHVSTREAMING_ID 26
#define DPFLTR_IHVBUS_ID      27
#define DPFLTR_IHVDRIVER_ID   77
#define DPFLTR_DEFAULT_ID     101

ULONG __cdecl DbgPrint(PCSTR Format, ...);
ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#define KdBreakPoint() DbgBreakPoint()

HK_END_DECLS
