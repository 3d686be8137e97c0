// Bounded kernel-socket calls: one request packet from a pool, the call issued on it, and a wait
// that can never block its caller for longer than the call's limit plus 5 s.
//
// Every WSK call is asynchronous. WskCallWait waits for the call's limit; when that runs out it
// cancels the packet and waits 5 s more; a packet that has still not come back is abandoned to
// the network stack, which may complete it at any later time. Nothing an abandoned packet points
// at may belong to the caller any more, so:
//   - receives always land in memory the packet owns and are copied to the caller's buffer only
//     when the packet came back (WskCallReceiveBuffer);
//   - addresses live in the packet (WskCallAddress) and are handed back in the result;
//   - an abandoned packet frees itself, its MDLs and its receive memory when it completes, and
//     closes a socket that its late success created.
// Send buffers are described in place (no copy): a late send only reads them, and every user of
// this unit drops the connection after a send that did not come back.
//
// The unit knows nothing about sessions: a pool and its counters are all it needs, so the TCP
// session, the UDP channel and the HTTP query share it.
//
// Usage:
//   PWSK_CALL c = WskCallGet(&pool);                   // NULL: out of resources
//   PWSK_BUF b; st = WskCallReceiveBuffer(c, dst, n, &b);  // or WskCallSendBuffers
//   st = dispatch->WskReceive(sock, b, 0, WskCallIrp(c));
//   st = WskCallWait(c, st, limitMs, &result);         // c is gone after this
#pragma once

#include "../platform.h"
#include <wsk.h>

// (Written as numbers: shown as "ZvPk", "ZvPd", "ZvPb" in pool dumps.)
#define ZV_TAG_WSK_PACKET  0x6B50765Au  // request packets of a pool
#define ZV_TAG_WSK_DIRECT  0x6450765Au  // packets allocated outside the pool
#define ZV_TAG_WSK_BOUNCE  0x6250765Au  // receive memory owned by a packet

#define WSK_CALL_AFTER_CANCEL_MS 5000
// The most one receive takes in at a time (the packet's own receive memory).
#define WSK_CALL_RECEIVE_CHUNK 65536u
#define WSK_CALL_POOL_DEPTH 16

// Where a pool counts. Any pointer may be NULL.
typedef struct _WSK_CALL_COUNTERS {
    volatile LONG64* waitTimeouts;      // waits that ran out and cancelled their packet
    volatile LONG64* abandonedPackets;  // packets left to the network stack
    volatile LONG* poolHits;            // packets from the pool
    volatile LONG* poolMisses;          // packets allocated directly
} WSK_CALL_COUNTERS, *PWSK_CALL_COUNTERS;

// Packets of one stack location: a free list in front of a lookaside allocator.
typedef struct _WSK_CALL_POOL {
    SLIST_HEADER freeList;
    NPAGED_LOOKASIDE_LIST allocator;
    WSK_CALL_COUNTERS counters;
    BOOLEAN initialized;
} WSK_CALL_POOL, *PWSK_CALL_POOL;

typedef struct _WSK_CALL* PWSK_CALL;

typedef struct _WSK_CALL_RESULT {
    // The packet's own status when it came back, also when it came back while its cancel was
    // under way; STATUS_TIMEOUT when the wait ran out and the packet came back cancelled with
    // nothing moved, or did not come back at all.
    NTSTATUS status;
    ULONG_PTR information;  // bytes moved, or what the call returns (a created socket)
    SOCKADDR_IN address;    // the packet's address area after the call
    BOOLEAN timedOut;       // the wait ran out and the packet was cancelled
    BOOLEAN abandoned;      // the packet did not come back; the network stack owns it now
} WSK_CALL_RESULT, *PWSK_CALL_RESULT;

VOID WskCallPoolInit(PWSK_CALL_POOL Pool, const WSK_CALL_COUNTERS* Counters);
// Frees the pooled packets. Abandoned packets are not the pool's and free themselves.
VOID WskCallPoolDestroy(PWSK_CALL_POOL Pool);

// A fresh packet (counted as a pool hit or miss), or NULL when no memory is left.
PWSK_CALL WskCallGet(PWSK_CALL_POOL Pool);
// Gives back a packet that was never issued.
VOID WskCallPut(PWSK_CALL Call);
PIRP WskCallIrp(PWSK_CALL Call);
// The packet's zeroed IPv4 address area, for bind, connect, sendto, receivefrom and address
// queries; it is returned in the result.
PSOCKADDR WskCallAddress(PWSK_CALL Call);
// The call creates a socket: a late success of an abandoned packet closes it.
VOID WskCallCreatesSocket(PWSK_CALL Call);

// Describes up to three send buffers as one chain. Resident buffers (non-paged) are described as
// they are; others are probed and locked for read access. STATUS_INSUFFICIENT_RESOURCES when the
// chain cannot be described; empty buffers are skipped.
NTSTATUS WskCallSendBuffers(PWSK_CALL Call, PVOID Buffers[], const ULONG Lengths[], ULONG Count,
                            BOOLEAN Resident, PWSK_BUF* Buf);
// Prepares a receive of at most min(Length, WSK_CALL_RECEIVE_CHUNK) bytes into the packet's own
// memory; WskCallWait copies what arrived to Destination (which may be NULL to discard).
NTSTATUS WskCallReceiveBuffer(PWSK_CALL Call, PVOID Destination, ULONG Length, PWSK_BUF* Buf);

// The bounded wait for a call issued on Call's packet (Issued = what the WSK routine returned).
// Consumes Call: the packet goes back to its pool, or to the network stack when abandoned.
// Returns Result->status.
NTSTATUS WskCallWait(PWSK_CALL Call, NTSTATUS Issued, ULONG LimitMs, PWSK_CALL_RESULT Result);
