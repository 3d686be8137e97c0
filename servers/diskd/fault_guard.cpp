#include "fault_guard.h"

#include <csignal>
#include <mutex>

namespace zelko::diskd::detail {

thread_local sigjmp_buf* t_busJump = nullptr;

namespace {
struct sigaction g_previous;

void OnBusError(int sig, siginfo_t* info, void* context) {
    if (sigjmp_buf* jump = t_busJump) {
        t_busJump = nullptr;
        siglongjmp(*jump, 1);
    }
    // A bus error anywhere else is a real crash: the previous disposition (normally the
    // default, which dumps core) gets it when the faulting instruction runs again.
    sigaction(SIGBUS, &g_previous, nullptr);
    (void)sig;
    (void)info;
    (void)context;
}
}  // namespace

void InstallBusHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = OnBusError;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_previous);
    });
}

}  // namespace zelko::diskd::detail
