// A scripted peer for the WSK provider without any network: the next stream socket that connects
// is joined to a descriptor the test hands over. For tests and fuzzers only; driver code never
// includes this header.
//
// Typically the descriptor is one end of socketpair(AF_UNIX, SOCK_STREAM); the test keeps the
// other end. What the test writes there is exactly what the driver receives, what the driver
// sends can be read there, and closing it (or shutting its write side) is the peer's orderly
// close. No listener, no thread and no timing is involved, so a fuzzer can feed one answer per
// input, deterministically.
#pragma once

#include <wsk.h>

#ifdef __cplusplus
extern "C" {
#endif

// Arms the hook: the next WskConnect on a stream socket completes with STATUS_SUCCESS at once,
// without reaching the network, and the socket then carries its sends and receives over `fd`,
// which the provider owns from now on (it is closed with the socket). The refusal and stall hooks
// of hk_wsk_test.h still take precedence. Arming again before a connect took the descriptor closes
// the earlier one; -1 disarms.
VOID HkWskTestJoinNextConnect(int fd);

#ifdef __cplusplus
}
#endif
