// The join hook of the WSK provider (hk_wsk_join.h): the next stream connect is joined to a
// descriptor the test holds the other end of, instead of reaching the network.
#include <hk_wsk_join.h>

#include "wsk_join.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

namespace {

std::mutex g_lock;
int g_armed = -1;

}  // namespace

VOID HkWskTestJoinNextConnect(int fd) {
    std::lock_guard<std::mutex> g(g_lock);
    if (g_armed >= 0) ::close(g_armed);
    g_armed = fd;
}

namespace hk {
namespace wskjoin {

bool Take(int fd) {
    int joined;
    {
        std::lock_guard<std::mutex> g(g_lock);
        if (g_armed < 0) return false;
        joined = g_armed;
        g_armed = -1;
    }
    // The reactor only ever uses non-blocking descriptors; dup3 keeps the socket's number, so
    // its epoll registration (none yet) and everything keyed by it stay valid.
    int flags = fcntl(joined, F_GETFL);
    (void)fcntl(joined, F_SETFL, flags | O_NONBLOCK);
    bool ok = dup3(joined, fd, O_CLOEXEC) == fd;
    ::close(joined);
    return ok;
}

}  // namespace wskjoin
}  // namespace hk
