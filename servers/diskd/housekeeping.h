// The server's periodic chores and SIGHUP reloads, on a thread of their own: they fsync layers
// and may wait for the management server, and none of that may stand between SIGTERM and the
// main thread, which does nothing but wait for signals.
//
// Every period: attached overlays count as seen now (whatever the idle clock of a restart
// says), super-user layers are fsync'ed (bounding what a power loss can take from a running
// super-user session), and normal overlays of clients absent for `overlayRetentionSeconds` are
// deleted. A reload refetches the image list from the management server instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "config.h"
#include "store.h"

namespace zelko::diskd {

class Housekeeping {
public:
    Housekeeping(const Config& cfg, ImageStore& store);
    ~Housekeeping();  // Stop()
    void Start();
    // Asks for a reload of the image list (SIGHUP); returns at once.
    void RequestReload();
    // Ends the thread; a chore in progress is finished first.
    void Stop();
    // The interval between two rounds of chores: short enough for small retention times.
    static std::chrono::seconds Period(const Config& cfg);

private:
    void Loop();
    void Chores();
    const Config& cfg_;
    ImageStore& store_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    bool reload_ = false;
    std::thread thread_;
};

}  // namespace zelko::diskd
