// The scratch directory of a servers' fuzz target: made once per process, removed at exit.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzsrv {

// On tmpfs where there is one: stores and layers are fsync'ed, which on a disk would set the pace.
inline std::string ScratchDir(const std::string& name) {
    std::string tmpl = (access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/") + name + ".XXXXXX";
    static std::string removeAtExit;
    removeAtExit = mkdtemp(tmpl.data());
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(removeAtExit, ec);
    });
    return removeAtExit;
}

}  // namespace fuzzsrv
