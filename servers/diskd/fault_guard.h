// Reads through a file mapping in user space, made survivable: when the file has been truncated
// behind the server's back, touching a page beyond its new end raises SIGBUS, which would kill
// the whole server (every PC on every image) for one bad image.
#pragma once

#include <csetjmp>
#include <utility>

namespace zelko::diskd {

namespace detail {
extern thread_local sigjmp_buf* t_busJump;
void InstallBusHandler();
}  // namespace detail

// Runs fn(); false when it was cut short by a bus error (its results are then unusable).
template <typename Fn>
bool RunCatchingBusError(Fn&& fn) {
    detail::InstallBusHandler();
    sigjmp_buf jump;
    // No signal mask is saved (that would be a system call per use): the handler runs with
    // SA_NODEFER, so the mask is unchanged when it jumps back here.
    if (sigsetjmp(jump, 0) != 0) {
        detail::t_busJump = nullptr;
        return false;
    }
    detail::t_busJump = &jump;
    std::forward<Fn>(fn)();
    detail::t_busJump = nullptr;
    return true;
}

}  // namespace zelko::diskd
