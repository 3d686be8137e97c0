// A scripted peer for the host kernel's stream sockets: the disk server's side of a connection
// as a fixed byte string, without a network, without a reactor round trip and without waits.
// For fuzzing the driver's protocol code with whatever a hostile server could send. Tests and
// tools only; driver code never includes this header.
//
// While a script is armed, every stream socket that connects is joined to it instead of the
// network (bind and socket creation still happen as usual). All connections share the one byte
// string in order: a connection that the driver closes part-way leaves the rest to the next one,
// as a server that keeps talking would. On a joined socket
//   - a receive completes at once with the next bytes of the script: at most what it asks for,
//     and at most the receive limit unless it asks for all of it (WSK_FLAG_WAITALL); once the
//     script is used up it completes with 0 bytes (the server closed gracefully);
//   - a send completes at once with every byte taken; the bytes are kept (the first 1 MiB) for
//     the test to look at;
//   - disconnect and close succeed.
// A connect after the script is used up is refused (STATUS_CONNECTION_REFUSED).
// While armed, every call on a stream socket (creation, bind, connect, close, ...) is carried out
// in the caller's thread instead of the reactor's, so an exchange costs no thread switch.
#pragma once

#include <wsk.h>

#ifdef __cplusplus
extern "C" {
#endif

// Arms the script (a copy of `length` bytes) and forgets the previous one with its counters.
// receiveLimit: the most bytes one receive returns (0 = no limit), so that a test can make the
// answer arrive in pieces.
VOID HkWskScriptArm(const VOID* bytes, SIZE_T length, ULONG receiveLimit);
// Disarms (HkWskTestReset does too): sockets joined already see the end of the script; later
// connects reach the network.
VOID HkWskScriptDisarm(VOID);

SIZE_T HkWskScriptConsumed(VOID);       // script bytes the driver has received
ULONG HkWskScriptConnects(VOID);        // connections joined since the script was armed
// Bytes the driver sent since the script was armed (at most the first 1 MiB are kept); copies
// up to `capacity` of them and returns how many were sent in all.
SIZE_T HkWskScriptSent(PVOID out, SIZE_T capacity);

#ifdef __cplusplus
}
#endif
