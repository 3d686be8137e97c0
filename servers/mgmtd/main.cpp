// zelko-mgmtd: the management server (`serve`) and its administration command line (`admin`).
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "admin_cli.h"
#include "api.h"
#include "config.h"
#include "diskd_link.h"
#include "http_server.h"
#include "service.h"
#include "store.h"
#include "util.h"
#include "zelko_common/link.h"

using namespace zelko::mgmtd;
using ojson = nlohmann::ordered_json;

namespace {

const char* kServeUsage = R"(  zelko-mgmtd serve [--config FILE] [--data-dir DIR] [--client-listen IP:PORT]
                    [--driver-listen IP:PORT] [--diskd-admin URL] [--image-dir DIR]
                    [--link-secret-file FILE] [--session-ttl SEC] [--upload-ttl SEC]
                    [--super-merge-quiet SEC] [--ready-file FILE] [--workers N]
                    [--max-connections N] [--max-connections-per-address N]
                    [--idle-timeout SEC] [--request-timeout SEC]
)";

const char* kEnvironment =
    R"(Environment: ZELKO_LINK_SECRET (link secret), ZELKO_ADMIN_USER / ZELKO_ADMIN_PASSWORD (first
administrator), ZELKO_PASSWORD (password for user add/passwd).
)";

std::string Usage() {
    return std::string("usage:\n") + kServeUsage + AdminUsage() + "  zelko-mgmtd --version\n" + kEnvironment;
}

void CreateFirstAdmin(Service& service) {
    if (service.store().CountUsers() > 0) return;
    const char* envUser = std::getenv("ZELKO_ADMIN_USER");
    const char* envPass = std::getenv("ZELKO_ADMIN_PASSWORD");
    std::string user = envUser && *envUser ? envUser : "admin";
    std::string pass = envPass && *envPass ? envPass : GeneratePassword();
    service.AddUser(user, pass, true);
    if (envPass && *envPass) {
        LogInfo("created administrator \"" + user + "\" with the password from ZELKO_ADMIN_PASSWORD");
    } else {
        // Shown once, on stdout only (the log on stderr never carries it).
        std::printf("zelko-mgmtd: created administrator \"%s\" with password: %s\n", user.c_str(), pass.c_str());
        std::fflush(stdout);
    }
}

// The options of `serve` that shape the HTTP front rather than the service.
bool TakeLimits(std::vector<std::string>& args, zelko::mgmtd::http::Limits* limits, std::string* error) {
    std::vector<std::string> rest;
    int idleSeconds = 0, requestSeconds = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        int* target = args[i] == "--workers"                       ? &limits->workers
                      : args[i] == "--max-connections"             ? &limits->maxConnections
                      : args[i] == "--max-connections-per-address" ? &limits->maxPerAddress
                      : args[i] == "--idle-timeout"                ? &idleSeconds
                      : args[i] == "--request-timeout"             ? &requestSeconds
                                                                   : nullptr;
        if (!target) {
            rest.push_back(args[i]);
            continue;
        }
        auto v = i + 1 < args.size() ? ParseId(args[i + 1]) : std::nullopt;
        if (!v || *v > 1000000) {
            *error = args[i] + " needs a number from 1 to 1000000";
            return false;
        }
        *target = static_cast<int>(*v);
        ++i;
    }
    if (idleSeconds > 0) limits->idleTimeoutMs = std::min(idleSeconds, 3600) * 1000;
    // Also the time a reply may take to leave: a client that stops reading is one that
    // stalls, too.
    if (requestSeconds > 0) limits->requestTimeoutMs = limits->writeTimeoutMs = std::min(requestSeconds, 3600) * 1000;
    args = rest;
    return true;
}

void SetupServer(http::Server& s, Api& api, const Config& config) {
    s.SetPreRouting([&config](const http::Request& req, http::Response& res) {
        if (req.path.rfind("/internal/", 0) == 0 &&
            !zelko::common::LinkSecretEquals(req.Header(zelko::common::kLinkSecretHeader), config.linkSecret)) {
            LogWarn("link secret mismatch from " + req.remoteAddr + " on " + req.path);
            res.status = 401;
            res.Set(zelko::common::kLinkSecretMismatchBody, "application/json");
            return true;
        }
        return false;
    });
    // Method, path (no query, no headers, no body: nothing secret) and status; the logger
    // escapes what the client chose.
    s.SetAccessLog([](const http::Request& req, const http::Response& res) {
        zelko::common::LogText(
            zelko::common::LogLevel::Info, "http",
            req.method + " " + req.path + " " + std::to_string(res.status) + " from " + req.remoteAddr);
    });
    api.Register(s);
}

int Serve(std::vector<std::string> args) {
    for (auto& a : args)
        if (a == "--help" || a == "-h") {
            std::printf("usage:\n%s%s", kServeUsage, kEnvironment);
            return 0;
        }
    Config config;
    http::Limits limits;
    limits.workers = static_cast<int>(std::max(4u, 2 * std::thread::hardware_concurrency()));
    std::string error;
    if (!LoadConfig(args, &config, &error, true) || !TakeLimits(args, &limits, &error)) {
        std::fprintf(stderr, "zelko-mgmtd: %s\n", error.c_str());
        return 2;
    }
    if (!args.empty()) {
        std::fprintf(stderr, "zelko-mgmtd: unknown argument %s\n%s", args[0].c_str(), Usage().c_str());
        return 2;
    }
    if (!EnsureDataDir(config.dataDir, &error)) {
        LogError(error);
        return 1;
    }
    // Every open connection is a descriptor; the soft limit (often 1024) would cap a café's
    // boot burst below what the front is configured for.
    rlimit nofile{};
    if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < nofile.rlim_max) {
        nofile.rlim_cur = nofile.rlim_max;
        setrlimit(RLIMIT_NOFILE, &nofile);
    }

    // SIGTERM/SIGINT are taken by a thread of their own, so that the listeners can be stopped
    // in an orderly way; every other thread inherits the blocked mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        Store store(config.DbPath());
        DiskdLink diskd(config.diskdAdmin, config.linkSecret);
        Service service(config, store, diskd);
        service.SetOnline(true);
        CreateFirstAdmin(service);
        if (config.linkSecret.empty())
            LogWarn(
                "no link secret configured (ZELKO_LINK_SECRET or --link-secret-file): /internal/ calls are refused");
        Api api(service);
        // One front serves both listeners: the same routes, one set of limits.
        http::Server server(limits);
        SetupServer(server, api, config);
        int clientPort = server.Listen(config.clientListen.host, config.clientListen.port);
        if (clientPort < 0) {
            LogError("cannot listen on " + config.clientListen.host + ":" + std::to_string(config.clientListen.port) +
                     ": " + std::strerror(errno));
            return 1;
        }
        int driverPort = server.Listen(config.driverListen.host, config.driverListen.port);
        if (driverPort < 0) {
            LogError("cannot listen on " + config.driverListen.host + ":" + std::to_string(config.driverListen.port) +
                     ": " + std::strerror(errno));
            return 1;
        }
        LogInfo("listening on " + config.clientListen.host + ":" + std::to_string(clientPort) + " (client) and " +
                config.driverListen.host + ":" + std::to_string(driverPort) + " (driver, disk server); data in " +
                config.dataDir + (diskd.Configured() ? "; disk server " + diskd.Url() : "; no disk server") + "; " +
                std::to_string(limits.workers) + " workers");
        if (!config.readyFile.empty()) {
            std::string tmp = config.readyFile + ".tmp";
            {
                std::ofstream out(tmp);
                out << ojson{{"clientPort", clientPort}, {"driverPort", driverPort}, {"pid", getpid()}}.dump() << "\n";
            }
            std::rename(tmp.c_str(), config.readyFile.c_str());
        }
        std::atomic<bool> stopping{false};
        std::mutex stopMutex;
        std::condition_variable stopCv;
        bool flushNow = false;
        service.SetFlushWaker([&] {
            {
                std::lock_guard<std::mutex> lock(stopMutex);
                flushNow = true;
            }
            stopCv.notify_all();
        });
        std::thread front([&] { server.Run(); });
        std::thread sig([&] {
            timespec tick{0, 200 * 1000 * 1000};
            while (!stopping) {
                int s = sigtimedwait(&sigs, nullptr, &tick);
                if (s == SIGTERM || s == SIGINT) {
                    LogInfo(std::string("received ") + (s == SIGTERM ? "SIGTERM" : "SIGINT") + ", shutting down");
                    break;
                }
            }
            server.Stop();
        });
        // Housekeeping on its own thread, so a disk server that does not answer never delays
        // the shutdown: queued layer actions (from the admin command line, from while the disk
        // server was down, merges waiting for a PC's boot) and expired logins. A boot signal
        // wakes it at once.
        std::thread chores([&] {
            std::unique_lock<std::mutex> lock(stopMutex);
            for (;;) {
                stopCv.wait_for(lock, std::chrono::seconds(5), [&] { return stopping.load() || flushNow; });
                if (stopping) break;
                flushNow = false;
                lock.unlock();
                try {
                    service.FlushLayerActions();
                    store.PruneSessions(NowSeconds());
                } catch (const std::exception& e) {
                    LogWarn(std::string("housekeeping: ") + e.what());
                }
                lock.lock();
            }
        });
        front.join();
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopping = true;
        }
        stopCv.notify_all();
        sig.join();
        chores.join();
        service.SetFlushWaker(nullptr);
        const auto& st = server.stats();
        LogInfo("stopped after " + std::to_string(st.requests.load()) + " requests on " +
                std::to_string(st.accepted.load()) + " connections (" + std::to_string(st.refusedPerAddress.load()) +
                " refused over the per-address limit, " + std::to_string(st.evictedIdle.load()) +
                " idle and " + std::to_string(st.evictedSlow.load()) + " slow ones dropped for new ones, " +
                std::to_string(st.timedOut.load()) + " timed out mid-request)");
    } catch (const std::exception& e) {
        LogError(e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(Usage().c_str(), stderr);
        return 2;
    }
    std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    for (auto& a : args)
        if (a == "--version") cmd = "--version";
    if (cmd == "--version") {
        std::printf("zelko-mgmtd %s\n", ZELKO_VERSION);
        return 0;
    }
    if (cmd == "serve") return Serve(args);
    if (cmd == "admin") return AdminMain(args);
    std::fprintf(stderr, "zelko-mgmtd: unknown command %s\n%s", cmd.c_str(), Usage().c_str());
    return 2;
}
