// Fault injection and inspection for the host kernel's WSK provider. For tests and tools only;
// driver code never includes this header.
//
// Every hook is armed with a count of operations it applies to and disarms itself when that
// count is used up; HK_WSK_FOREVER keeps it armed. HkWskTestReset() disarms everything.
#pragma once

#include <wsk.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HK_WSK_FOREVER 0xFFFFFFFFu

typedef enum _HK_WSK_OP {
    HkWskOpSocket = 0,
    HkWskOpBind,
    HkWskOpConnect,
    HkWskOpLocalAddress,
    HkWskOpSend,
    HkWskOpReceive,
    HkWskOpDisconnect,
    HkWskOpClose,
    HkWskOpCount
} HK_WSK_OP;

// Disarm every hook (does not release stalled packets).
VOID HkWskTestReset(VOID);

// The next `count` connects fail with STATUS_CONNECTION_REFUSED without reaching the network,
// or with `status` for HkWskTestFailConnect.
VOID HkWskTestRefuseConnections(ULONG count);
VOID HkWskTestFailConnect(NTSTATUS status, ULONG count);

// The next stream socket that connects resets its connection (RST to the peer, and
// STATUS_CONNECTION_RESET for every pending and later call) once it has received
// `receivedBytes` bytes, or sent `sentBytes` bytes; 0 means no limit for that direction.
VOID HkWskTestResetAfterBytes(ULONGLONG receivedBytes, ULONGLONG sentBytes);

// The next `count` calls of kind `op` are accepted (STATUS_PENDING) and then never completed;
// their cancel is ignored. Such packets complete with STATUS_CANCELLED only when their socket is
// closed, when HkWskTestReleaseStalled() is called, or when the registration goes away.
VOID HkWskTestStall(HK_WSK_OP op, ULONG count);
ULONG HkWskTestStalledIrps(VOID);
VOID HkWskTestReleaseStalled(VOID);

// Sends that stop part-way: after `skip` further stream sends, the next `count` sends transmit at
// most `afterBytes` bytes and then complete with `status`, reporting the bytes that went out
// (e.g. STATUS_INSUFFICIENT_RESOURCES after part of a request).
VOID HkWskTestFailSend(NTSTATUS status, ULONG afterBytes, ULONG skip, ULONG count);

// Late completions: the next `count` calls of kind `op` ignore their cancel, as a packet does that
// the network stack is already completing when the cancel arrives. They complete normally (with
// their data) whenever the socket allows, or with STATUS_CANCELLED when the socket is closed.
// HkWskTestLateCompletions() counts those that completed after a cancel they ignored.
VOID HkWskTestLateCancel(HK_WSK_OP op, ULONG count);
ULONG HkWskTestLateCompletions(VOID);

// The next `count` captures of the provider interface wait min(delayMs, the caller's wait
// limit) and then return `status`.
VOID HkWskTestFailCapture(NTSTATUS status, ULONG count, ULONG delayMs);

// Inspection.
ULONG HkWskTestCaptureCalls(VOID);     // captures attempted since the last reset
LONG HkWskTestOpenSockets(VOID);       // sockets created and not yet closed
LONG HkWskTestRegistrations(VOID);     // registrations not yet deregistered
ULONG HkWskTestCalls(HK_WSK_OP op);    // calls of each kind since the last reset

// ---------------------------------------------------------------------------------------------
// Datagram sockets (WSK_FLAG_DATAGRAM_SOCKET). Faults apply to what the driver's datagram
// sockets send (outbound) and receive (inbound); the peer's own sockets are untouched. Counters
// are per direction and start again whenever the faults of that direction are set.

typedef enum _HK_DGRAM_DIRECTION {
    HkDgramOutbound = 0,  // WskSendTo
    HkDgramInbound = 1,   // WskReceiveFrom
} HK_DGRAM_DIRECTION;

typedef struct _HK_DGRAM_FAULTS {
    ULONG dropEvery;       // lose every Nth datagram (0 = none)
    ULONG dropPerMillion;  // lose each datagram with this probability as well (0 = none)
    ULONG duplicateEvery;  // deliver every Nth datagram twice
    ULONG delayEvery;      // hold every Nth datagram back for delayMs (1 = every one)
    ULONG delayMs;         // on the host kernel's clock
    ULONG reorderEvery;    // hold every Nth datagram back until the next one has passed it
                           // (at most 100 ms on the host kernel's clock)
    ULONG seed;            // for dropPerMillion; 0 picks a fixed default
} HK_DGRAM_FAULTS, *PHK_DGRAM_FAULTS;

// Arms (or, with NULL, clears) the faults of one direction.
VOID HkWskTestDatagramFaults(HK_DGRAM_DIRECTION direction, const HK_DGRAM_FAULTS* faults);

typedef struct _HK_DGRAM_STATS {
    ULONGLONG passed;      // datagrams that went on unchanged
    ULONGLONG dropped;
    ULONGLONG duplicated;
    ULONGLONG delayed;
    ULONGLONG reordered;
    ULONGLONG truncated;   // inbound only: longer than the receive buffer
} HK_DGRAM_STATS, *PHK_DGRAM_STATS;
VOID HkWskTestDatagramStats(HK_DGRAM_DIRECTION direction, PHK_DGRAM_STATS stats);

// The next `count` datagram sockets are refused with `status`: at once by WskSocket when
// `immediate`, else when the packet completes.
VOID HkWskTestRefuseDatagramSockets(NTSTATUS status, ULONG count, BOOLEAN immediate);

// errno as Windows reports it through WSK.
NTSTATUS HkWskStatusFromErrno(int err);

#ifdef __cplusplus
}
#endif
