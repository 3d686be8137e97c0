// The seam between the WSK provider's reactor (wsk_provider.cpp) and the join hook
// (hk_wsk_join.h, wsk_join.cpp). Host-kernel internal.
#pragma once

namespace hk {
namespace wskjoin {

// Called by the reactor for a stream connect that is about to reach the network, with the
// socket's lock held and its descriptor `fd` not registered with epoll. When the hook is armed,
// the armed descriptor replaces `fd` (same number, so the socket needs no other change) and the
// call returns true: the connect has succeeded.
bool Take(int fd);

}  // namespace wskjoin
}  // namespace hk
