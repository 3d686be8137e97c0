// The seam between the WSK provider's reactor (wsk_provider.cpp) and the datagram side
// (wsk_datagram.cpp). The reactor owns sockets, queues and completion; the datagram side owns
// what happens to a datagram on its way: the injected faults (loss, duplication, delay,
// reordering), truncation and the refusal of datagram sockets. Host-kernel internal.
#pragma once

#include <wsk.h>

#include <sys/socket.h>
#include <sys/types.h>

namespace hk {
namespace wskdgram {

// Socket creation: true when the refusal hook takes this creation; *status is its result.
// `immediate` is true in the caller's thread (WskSocket returns the failure), false on the
// reactor (the packet completes with it).
bool TakeRefusal(bool immediate, NTSTATUS* status);

// A datagram socket was created on `fd` / is being closed (with its socket lock held).
void Opened(PWSK_SOCKET ws, int fd);
void Closed(PWSK_SOCKET ws);

// One WskSendTo: like sendmsg(2) (msg_name set), through the outbound faults. A datagram the
// faults swallow counts as sent, as a datagram lost on the wire would.
ssize_t Send(PWSK_SOCKET ws, int fd, const msghdr* mh);

// One WskReceiveFrom: the next deliverable datagram into mh's iovecs, its source into
// mh->msg_name. Returns the bytes copied or -1 with errno (EAGAIN: nothing deliverable now; the
// socket is kicked again when a held-back datagram becomes due). *truncated tells that the
// datagram was longer than the buffer.
ssize_t Receive(PWSK_SOCKET ws, int fd, msghdr* mh, bool* truncated);

// Forget every armed hook (HkWskTestReset).
void ResetHooks();

}  // namespace wskdgram
}  // namespace hk

// Provided by the reactor: look at the socket's queues again (no-op for a closed socket).
void HkWskKickSocket(PWSK_SOCKET ws);
