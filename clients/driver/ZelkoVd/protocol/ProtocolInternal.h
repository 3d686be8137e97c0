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

// The per-session packet pool (WskClient.cpp).
VOID WskpSessionPoolInit(PPROTOCOL_SESSION s);
VOID WskpSessionPoolDestroy(PPROTOCOL_SESSION s);
// A single receive whose wait is cut to LimitMs (at most the usual 15 s); for deadlines shorter
// than one receive's limit.
NTSTATUS WskpReceiveLimited(PPROTOCOL_SESSION Session, PVOID Buffer, ULONG Length, PULONG BytesReceived,
                            ULONG LimitMs);
// Dotted IPv4 text (units without terminator) to an address in network byte order.
NTSTATUS WskpParseIpv4(PCWSTR text, ULONG units, PULONG addrNetworkOrder);
// Sends that also report how many bytes went out when they fail part-way.
NTSTATUS WskpSendChainCount(PPROTOCOL_SESSION s, PVOID Buffers[3], ULONG Lengths[3], ULONG Count, ULONG Total,
                            PULONG sent);
NTSTATUS WskpSendAllCount(PPROTOCOL_SESSION s, PVOID Buffer, ULONG Length, PULONG sent);

// ---------------------------------------------------------------------------------------------
// The exchange runner (ProtocolExchange.cpp)
//
// Every exchange on the TCP stream runs through WpRunExchange, which owns:
//   - ioLock, held from the first byte of the request to the last byte of the answer;
//   - whether the stream is still in step: the body reports what happened through the WpX*
//     transfer routines and WpXRefuse, and the runner closes a stream that is out of step before
//     it releases ioLock, so no later exchange can read this one's leftovers;
//   - the single recovery of the operations that have one: WpTryRecover once, after the first
//     failure, or before the first attempt when the session was found closed;
//   - the rule that a refused answer is returned at once. The closed session is rebuilt by the
//     next operation's recovery, rate limit included.

#define WP_X_RECOVER        0x01u  // one recovery (block operations, ExitSuperUser, MigrationStatus)
#define WP_X_CONNECTED_ONLY 0x02u  // needs `connected` only, not `handshakeDone` (Handshake, Ping)

typedef struct _WP_EXCHANGE WP_EXCHANGE, *PWP_EXCHANGE;
typedef NTSTATUS (*PWP_EXCHANGE_BODY)(PWP_EXCHANGE x);
typedef VOID (*PWP_EXCHANGE_NOTE)(PWP_EXCHANGE x, NTSTATUS status);

struct _WP_EXCHANGE {
    // Set by the operation
    PPROTOCOL_SESSION session;
    PCSTR name;                   // for the resynchronisation log line
    ULONG options;                // WP_X_*
    PWP_EXCHANGE_BODY body;       // runs with ioLock held
    PWP_EXCHANGE_NOTE onNoStream; // optional: the session was not usable (status returned)
    PWP_EXCHANGE_NOTE onRecovery; // optional: WpTryRecover ran and returned status
    PVOID context;
    // Kept by the runner
    ULONG attempt;                // 0, or 1 after a recovery
    ULONG sent;                   // bytes of this attempt's request that went out
    BOOLEAN outOfStep;            // the stream no longer lines up with exchange boundaries
};

NTSTATUS WpRunExchange(PWP_EXCHANGE x);

// Transfers inside a body. Every failure marks the stream out of step, except a lack of memory
// before any byte of the request went out.
// Header and up to two payload buffers as one chain, or one after another when the chain cannot
// be described.
NTSTATUS WpXSendRequest(PWP_EXCHANGE x, ZV_MESSAGE_HEADER* header, PVOID p1, ULONG l1, PVOID p2, ULONG l2);
NTSTATUS WpXSendAll(PWP_EXCHANGE x, PVOID buffer, ULONG length);
// Receive exactly length bytes within deadlineMs (0 = no deadline).
NTSTATUS WpXReceive(PWP_EXCHANGE x, PVOID buffer, ULONG length, ULONG deadlineMs);
// Receive exactly length bytes against one deadline that also cuts each single receive; a
// complete answer is taken whenever it completed.
NTSTATUS WpXReceiveTight(PWP_EXCHANGE x, PVOID buffer, ULONG length, ULONG deadlineMs);
// Receive between 1 and length bytes: whatever arrives first, waiting up to deadlineMs for it.
NTSTATUS WpXReceiveSome(PWP_EXCHANGE x, PVOID buffer, ULONG length, PULONG received, ULONG deadlineMs);
// The answer cannot be consumed (unexpected opcode, missing data flag, wrong size, bad magic):
// the stream goes, and the status is returned as it is.
NTSTATUS WpXRefuse(PWP_EXCHANGE x, NTSTATUS status);
// WpCheckRespHeader, plus the refusal rule: a server error is a bare header and leaves the stream
// in step; any other failed check refuses the answer.
NTSTATUS WpXCheckAnswer(PWP_EXCHANGE x, const ZV_MESSAGE_HEADER* resp, ULONG expectedLength, PCSTR name);

// Handshake body with ioLock held. clearAfter NULL: a version change clears the cache at once,
// with ioLock released for the clear. Otherwise it is only reported, for a caller that holds
// further locks and clears once it has released them all.
NTSTATUS WpHandshakeBody(PWP_EXCHANGE x, PBOOLEAN clearAfter);
VOID WpClearCache(PPROTOCOL_SESSION s);

// Entry check of the operations with a recovery: a session that was bound to its image may be
// closed (the runner's recovery reopens it); one that never was is not connected.
FORCEINLINE NTSTATUS WpEntryCheck(PPROTOCOL_SESSION s) {
    if (!WpFlag(&s->connected) && !WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_CONNECTED;
    if (!WpFlag(&s->handshakeDone)) return STATUS_DEVICE_NOT_READY;
    return STATUS_SUCCESS;
}
