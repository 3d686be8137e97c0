// The seam between the WSK provider (wsk_provider.cpp) and the scripted stream peer
// (wsk_script.cpp, hk_wsk_script.h). Host-kernel internal.
#pragma once

#include <wsk.h>

namespace hk {
namespace wskscript {

// Whether a script is armed: stream sockets then do all their calls in the caller's thread.
bool Armed();
// A stream socket connects: true when the script takes the connection (joined, no network);
// then *status is the connect's result (success, or refused once the script is used up).
bool Join(PWSK_SOCKET socket, NTSTATUS* status);
bool Joined(PWSK_SOCKET socket);
// A send or receive on a joined socket: completes the packet at once and returns what the
// dispatch routine returns.
NTSTATUS Transfer(PWSK_SOCKET socket, bool send, PWSK_BUF buffer, ULONG flags, PIRP irp);
// A joined socket is closed.
void Leave(PWSK_SOCKET socket);

// Provided by the reactor: completes a packet at DISPATCH_LEVEL, as the provider completes all.
void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR info);

}  // namespace wskscript
}  // namespace hk
