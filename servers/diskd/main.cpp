// zelko-diskd: the disk server. See README.md for configuration and operation.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "admin_server.h"
#include "config.h"
#include "housekeeping.h"
#include "layer.h"
#include "log.h"
#include "net_server.h"
#include "store.h"

using namespace zelko::diskd;

int main(int argc, char** argv) {
    Config cfg;
    bool exitNow = false;
    std::string error;
    if (!LoadConfig(argc, argv, &cfg, &exitNow, &error)) {
        fprintf(stderr, "zelko-diskd: %s\n", error.c_str());
        return 2;
    }
    if (exitNow) return 0;
    SetLogLevel(cfg.logLevel);

    // Signals are taken synchronously by the main thread only; every thread started from here
    // inherits the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ZLOG(Info, "main", "starting pid=%d dataDir=%s mode=%s", static_cast<int>(getpid()), cfg.dataDir.c_str(),
         cfg.mgmtUrl.empty() ? "standalone" : cfg.mgmtUrl.c_str());
    ImageStore store(cfg);
    if (!store.Start(&error)) {
        ZLOG(Error, "main", "cannot start: %s", error.c_str());
        return 1;
    }
    ServerStats stats;
    NetServer net(cfg, store, stats);
    if (!net.Start(&error)) {
        ZLOG(Error, "main", "cannot start: %s", error.c_str());
        return 1;
    }
    AdminServer admin(cfg, store, stats);
    if (!admin.Start(&error)) {
        ZLOG(Error, "main", "cannot start: %s", error.c_str());
        net.Stop();
        return 1;
    }
    Housekeeping chores(cfg, store);
    chores.Start();

    if (!cfg.readyFile.empty()) {
        // Renamed into place, not fsync'ed: it describes this process only, and a directory
        // fsync here could keep the main thread from its signals for as long as the file
        // system takes to commit.
        nlohmann::json j = {{"pid", getpid()}, {"tcpPort", net.tcpPort()}, {"udpPort", net.udpPort()},
                            {"adminPort", admin.port()}};
        if (!WriteFileRenamed(cfg.readyFile, j.dump() + "\n", &error))
            ZLOG(Error, "main", "cannot write ready file: %s", error.c_str());
    }
    ZLOG(Info, "main", "ready tcpPort=%u udpPort=%u adminPort=%u", net.tcpPort(), net.udpPort(), admin.port());

    int sig = 0;
    for (;;) {
        sig = sigwaitinfo(&sigs, nullptr);
        if (sig == SIGTERM || sig == SIGINT) break;
        if (sig == SIGHUP) chores.RequestReload();
    }
    ZLOG(Info, "main", "shutdown requested signal=%s", strsignal(sig));
    chores.Stop();
    admin.Stop();
    net.Stop();
    for (auto& img : store.All()) img->FlushAll();
    store.Stop();
    ZLOG(Info, "main", "shutdown complete requests=%llu bytesRead=%llu bytesWritten=%llu",
         static_cast<unsigned long long>(stats.requests.load()), static_cast<unsigned long long>(stats.bytesRead.load()),
         static_cast<unsigned long long>(stats.bytesWritten.load()));
    return 0;
}
