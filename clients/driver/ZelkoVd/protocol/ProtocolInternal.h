// Shared between the protocol layer's own files only.
#pragma once

#include "ZelkoProtocol.h"
#include "../activation/ZvLog.h"

// The levelled forms print "[ZelkoVd][ERR] " etc. in front of the text, the plain form
// "ZelkoVd: ".
#define PLOG_ERR(...)   ZvLogError(__VA_ARGS__)
#define PLOG_WARN(...)  ZvLogWarning(__VA_ARGS__)
#define PLOG_INFO(...)  ZvLogInfo(__VA_ARGS__)
#define PLOG_DBG(...)   ZvLogDebug(__VA_ARGS__)
#define PLOG(...)       ZvLogPlain(__VA_ARGS__)

namespace zw = zelko::wire;

static_assert(sizeof(ZV_MESSAGE_HEADER) == 24, "header");

// The session's locks are fast mutexes held at PASSIVE_LEVEL inside a critical region (the
// "unsafe" acquire): an exchange and a reconnect call routines that must run at PASSIVE_LEVEL,
// such as the Unicode-to-ANSI conversion of the Handshake, %ws debug prints and the file log,
// which the APC_LEVEL of ExAcquireFastMutex would forbid.
FORCEINLINE VOID WpAcquire(PFAST_MUTEX m) {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(m);
}

FORCEINLINE VOID WpRelease(PFAST_MUTEX m) {
    ExReleaseFastMutexUnsafe(m);
    KeLeaveCriticalRegion();
}

// Milliseconds to a relative kernel wait interval.
FORCEINLINE LARGE_INTEGER WpRelativeMs(ULONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -(LONGLONG)ms * 10000;
    return t;
}

FORCEINLINE VOID WpSleepMs(ULONG ms) {
    LARGE_INTEGER t = WpRelativeMs(ms);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// Ends a failed exchange: releases ioLock and returns the status (for one-line exits).
FORCEINLINE NTSTATUS WpUnlockReturn(PPROTOCOL_SESSION Session, NTSTATUS status) {
    WpUnlock(Session);
    return status;
}

// The per-session packet pool (WskClient.cpp).
VOID WskpSessionPoolInit(PPROTOCOL_SESSION s);
VOID WskpSessionPoolDestroy(PPROTOCOL_SESSION s);
// A single receive whose wait is cut to LimitMs (at most the usual 15 s); for deadlines shorter
// than one receive's limit.
NTSTATUS WskpReceiveLimited(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived,
                            ULONG LimitMs);
// Dotted IPv4 text (units without terminator) to an address in network byte order.
NTSTATUS WskpParseIpv4(PCWSTR text, ULONG units, PULONG addrNetworkOrder);
