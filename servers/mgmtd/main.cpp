// zelko-mgmtd: the management server (`serve`) and its administration command line (`admin`).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "api.h"
#include "auth.h"
#include "config.h"
#include "diskd_link.h"
#include "service.h"
#include "store.h"
#include "util.h"
#include "zelko_common/link.h"

using namespace zelko::mgmtd;
using ojson = nlohmann::ordered_json;

namespace {

const char* kUsage = R"(usage:
  zelko-mgmtd serve [--config FILE] [--data-dir DIR] [--client-listen IP:PORT]
                    [--driver-listen IP:PORT] [--diskd-admin URL] [--image-dir DIR]
                    [--link-secret-file FILE] [--session-ttl SEC] [--upload-ttl SEC]
                    [--super-merge-quiet SEC] [--ready-file FILE]
  zelko-mgmtd admin [--config FILE] [--data-dir DIR] COMMAND
     user add NAME [--admin] [--password-stdin]    user passwd NAME [--password-stdin]
     user list                                     user remove NAME
     image add --name NAME --size SIZE [--path FILE] [--read-only] [--no-create]
     image set ID [--name N] [--size S] [--path P] [--read-only on|off]
     image list                                    image remove ID
     client add --mac MAC --name NAME [--ip IPV4] [--image ID]
     client set ID [--mac M] [--name N] [--ip IPV4|none] [--image ID|none]
     client super ID on|off                        client list | client remove ID
     upload list                                   upload close ID
Environment: ZELKO_LINK_SECRET (link secret), ZELKO_ADMIN_USER / ZELKO_ADMIN_PASSWORD (first
administrator), ZELKO_PASSWORD (password for user add/passwd).
)";

// The data directory holds the super-user tokens: only its owner may look inside.
bool EnsureDir(const std::string& dir, std::string* error) {
    std::error_code ec;
    if (std::filesystem::create_directories(dir, ec)) chmod(dir.c_str(), 0700);
    if (ec) {
        *error = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    return true;
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

void SetupServer(httplib::Server& s, Api& api, const Config& config) {
    s.new_task_queue = [] { return new httplib::ThreadPool(32); };
    s.set_payload_max_length(1 << 20);
    s.set_read_timeout(10, 0);
    s.set_write_timeout(10, 0);
    s.set_keep_alive_timeout(5);
    s.set_pre_routing_handler([&config](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/internal/", 0) == 0 &&
            !zelko::common::LinkSecretEquals(req.get_header_value(zelko::common::kLinkSecretHeader), config.linkSecret)) {
            LogWarn("link secret mismatch from " + req.remote_addr + " on " + req.path);
            res.status = 401;
            res.set_content(zelko::common::kLinkSecretMismatchBody, "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        std::string msg = res.status == 404 ? "接口不存在"
                        : res.status == 413 ? "请求体过大"
                        : res.status == 405 ? "不支持的请求方法"
                                            : "请求无效";
        res.set_content(ojson{{"code", res.status}, {"message", msg}}.dump(), "application/json; charset=utf-8");
    });
    s.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        try {
            if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            LogError("unhandled error on " + req.path + ": " + e.what());
        } catch (...) {
            LogError("unhandled error on " + req.path);
        }
        res.status = 500;
        res.set_content(ojson{{"code", 500}, {"message", "服务器内部错误"}}.dump(), "application/json; charset=utf-8");
    });
    // Method, path (no query, no headers, no body: nothing secret) and status.
    s.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        LogInfo(req.method + " " + req.path + " " + std::to_string(res.status) + " from " + req.remote_addr);
    });
    api.Register(s);
}

int Bind(httplib::Server& s, const Endpoint& ep) {
    if (ep.port == 0) return s.bind_to_any_port(ep.host);
    return s.bind_to_port(ep.host, ep.port) ? ep.port : -1;
}

int Serve(std::vector<std::string> args) {
    Config config;
    std::string error;
    if (!LoadConfig(args, &config, &error, true)) {
        std::fprintf(stderr, "zelko-mgmtd: %s\n", error.c_str());
        return 2;
    }
    if (!args.empty()) {
        std::fprintf(stderr, "zelko-mgmtd: unknown argument %s\n%s", args[0].c_str(), kUsage);
        return 2;
    }
    if (!EnsureDir(config.dataDir, &error)) {
        LogError(error);
        return 1;
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
            LogWarn("no link secret configured (ZELKO_LINK_SECRET or --link-secret-file): /internal/ calls are refused");
        Api api(service);
        httplib::Server clientSrv, driverSrv;
        SetupServer(clientSrv, api, config);
        SetupServer(driverSrv, api, config);
        int clientPort = Bind(clientSrv, config.clientListen);
        if (clientPort < 0) {
            LogError("cannot listen on " + config.clientListen.host + ":" + std::to_string(config.clientListen.port));
            return 1;
        }
        int driverPort = Bind(driverSrv, config.driverListen);
        if (driverPort < 0) {
            LogError("cannot listen on " + config.driverListen.host + ":" + std::to_string(config.driverListen.port));
            return 1;
        }
        LogInfo("listening on " + config.clientListen.host + ":" + std::to_string(clientPort) + " (client) and " +
                config.driverListen.host + ":" + std::to_string(driverPort) + " (driver, disk server); data in " +
                config.dataDir + (diskd.Configured() ? "; disk server " + diskd.Url() : "; no disk server"));
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
        std::thread t1([&] { clientSrv.listen_after_bind(); });
        std::thread t2([&] { driverSrv.listen_after_bind(); });
        std::thread sig([&] {
            timespec tick{0, 200 * 1000 * 1000};
            while (!stopping) {
                int s = sigtimedwait(&sigs, nullptr, &tick);
                if (s == SIGTERM || s == SIGINT) {
                    LogInfo(std::string("received ") + (s == SIGTERM ? "SIGTERM" : "SIGINT") + ", shutting down");
                    break;
                }
            }
            clientSrv.stop();
            driverSrv.stop();
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
        t1.join();
        t2.join();
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopping = true;
        }
        stopCv.notify_all();
        sig.join();
        chores.join();
        service.SetFlushWaker(nullptr);
        LogInfo("stopped");
    } catch (const std::exception& e) {
        LogError(e.what());
        return 1;
    }
    return 0;
}

// ---- admin command line ---------------------------------------------------------------------

struct CliError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Args {
    std::vector<std::string> v;
    size_t i = 0;
    bool More() const { return i < v.size(); }
    std::string Next(const char* what) {
        if (i >= v.size()) throw CliError(std::string("missing ") + what);
        return v[i++];
    }
    // Takes "--flag VALUE" pairs and bare "--switch"es after the positional arguments.
    std::map<std::string, std::string> Options(std::initializer_list<const char*> withValue,
                                               std::initializer_list<const char*> switches) {
        std::map<std::string, std::string> out;
        while (i < v.size()) {
            std::string a = v[i++];
            bool known = false;
            for (auto* w : withValue)
                if (a == w) {
                    if (i >= v.size()) throw CliError(a + " needs a value");
                    out[a] = v[i++];
                    known = true;
                }
            for (auto* s : switches)
                if (a == s) out[a] = "1", known = true;
            if (!known) throw CliError("unknown argument " + a);
        }
        return out;
    }
};

int64_t NeedId(const std::string& s) {
    auto id = ParseId(s);
    if (!id) throw CliError("not an id: " + s);
    return *id;
}

uint64_t NeedSize(const std::string& s) {
    auto v = ParseSize(s);
    if (!v) throw CliError("not a size: " + s);
    return *v;
}

void Print(const ojson& j) { std::cout << j.dump(-1, ' ', false, ojson::error_handler_t::replace) << std::endl; }

ojson ImageLine(const Image& im) {
    return ojson{{"id", im.id}, {"name", im.name}, {"iqn", zelko::common::ImageIqn(im.id)}, {"path", im.path},
                 {"sizeBytes", im.sizeBytes}, {"readOnly", im.readOnly}};
}

ojson ClientLine(const Client& c) {
    return ojson{{"id", c.id},
                 {"name", c.name},
                 {"macAddress", DisplayMac(c.mac)},
                 {"ipAddress", c.ip ? ojson(*c.ip) : ojson(nullptr)},
                 {"imageId", c.imageId ? ojson(*c.imageId) : ojson(nullptr)},
                 {"isSuperClient", c.isSuper},
                 {"bootId", c.bootId}};
}

std::string PasswordFrom(bool fromStdin, bool* generated) {
    *generated = false;
    if (fromStdin) {
        std::string line;
        if (!std::getline(std::cin, line)) throw CliError("no password on stdin");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    if (const char* env = std::getenv("ZELKO_PASSWORD"); env && *env) return env;
    *generated = true;
    return GeneratePassword();
}

int Admin(std::vector<std::string> argv) {
    Config config;
    std::string error;
    if (!LoadConfig(argv, &config, &error, false)) {
        std::fprintf(stderr, "zelko-mgmtd admin: %s\n", error.c_str());
        return 2;
    }
    try {
        if (!EnsureDir(config.dataDir, &error)) throw CliError(error);
        Store store(config.DbPath());
        DiskdLink diskd(config.diskdAdmin, config.linkSecret);
        Service service(config, store, diskd);
        Args a{argv};
        std::string noun = a.Next("command (user, image, client, upload)");
        std::string verb = a.Next("sub-command");
        if (noun == "user") {
            if (verb == "add" || verb == "passwd") {
                std::string name = a.Next("user name");
                auto o = verb == "add" ? a.Options({}, {"--admin", "--password-stdin"}) : a.Options({}, {"--password-stdin"});
                bool generated;
                std::string pw = PasswordFrom(o.count("--password-stdin"), &generated);
                ojson out;
                if (verb == "add") {
                    User u = service.AddUser(name, pw, o.count("--admin"));
                    out = ojson{{"id", u.id}, {"username", u.username}, {"isAdmin", u.isAdmin}};
                } else {
                    service.SetPassword(name, pw);
                    out = ojson{{"username", name}};
                }
                if (generated) out["password"] = pw;
                Print(out);
            } else if (verb == "list") {
                a.Options({}, {});
                for (auto& u : store.ListUsers()) Print(ojson{{"id", u.id}, {"username", u.username}, {"isAdmin", u.isAdmin}});
            } else if (verb == "remove") {
                std::string name = a.Next("user name");
                a.Options({}, {});
                service.RemoveUser(name);
                Print(ojson{{"removed", name}});
            } else throw CliError("unknown user command " + verb);
        } else if (noun == "image") {
            if (verb == "add") {
                auto o = a.Options({"--name", "--size", "--path"}, {"--read-only", "--no-create"});
                if (!o.count("--name")) throw CliError("image add needs --name");
                uint64_t size = o.count("--size") ? NeedSize(o["--size"]) : 0;
                Print(ImageLine(service.AddImage(o["--name"], size, o["--path"], o.count("--read-only"), !o.count("--no-create"))));
            } else if (verb == "set") {
                int64_t id = NeedId(a.Next("image id"));
                auto o = a.Options({"--name", "--size", "--path", "--read-only"}, {});
                ImagePatch p;
                if (o.count("--name")) p.name = o["--name"];
                if (o.count("--path")) p.path = o["--path"];
                if (o.count("--size")) p.sizeBytes = NeedSize(o["--size"]);
                if (o.count("--read-only")) {
                    if (o["--read-only"] != "on" && o["--read-only"] != "off") throw CliError("--read-only takes on or off");
                    p.readOnly = o["--read-only"] == "on";
                }
                Print(ImageLine(service.UpdateImage(id, p)));
            } else if (verb == "list") {
                a.Options({}, {});
                for (auto& im : store.ListImages(0, INT64_MAX)) Print(ImageLine(im));
            } else if (verb == "remove") {
                int64_t id = NeedId(a.Next("image id"));
                a.Options({}, {});
                service.RemoveImage(id);
                Print(ojson{{"removed", id}});
            } else throw CliError("unknown image command " + verb);
        } else if (noun == "client") {
            if (verb == "add") {
                auto o = a.Options({"--mac", "--name", "--ip", "--image"}, {});
                if (!o.count("--mac") || !o.count("--name")) throw CliError("client add needs --mac and --name");
                std::optional<std::string> ip;
                if (o.count("--ip")) ip = o["--ip"];
                std::optional<int64_t> image;
                if (o.count("--image")) image = NeedId(o["--image"]);
                Print(ClientLine(service.AddClient(o["--mac"], o["--name"], ip, image)));
            } else if (verb == "set") {
                int64_t id = NeedId(a.Next("client id"));
                auto o = a.Options({"--mac", "--name", "--ip", "--image"}, {});
                ClientPatch p;
                if (o.count("--mac")) p.mac = o["--mac"];
                if (o.count("--name")) p.name = o["--name"];
                if (o.count("--ip")) p.ip = o["--ip"] == "none" ? std::optional<std::string>() : std::optional(o["--ip"]);
                if (o.count("--image"))
                    p.imageId = o["--image"] == "none" ? std::optional<int64_t>() : std::optional(NeedId(o["--image"]));
                Print(ClientLine(service.UpdateClient(id, p)));
            } else if (verb == "super") {
                int64_t id = NeedId(a.Next("client id"));
                std::string state = a.Next("on or off");
                a.Options({}, {});
                if (state != "on" && state != "off") throw CliError("client super takes on or off");
                Print(ClientLine(service.SetSuper(id, state == "on")));
            } else if (verb == "list") {
                a.Options({}, {});
                for (auto& c : store.ListClients(0, INT64_MAX)) Print(ClientLine(c));
            } else if (verb == "remove") {
                int64_t id = NeedId(a.Next("client id"));
                a.Options({}, {});
                service.RemoveClient(id);
                Print(ojson{{"removed", id}});
            } else throw CliError("unknown client command " + verb);
        } else if (noun == "upload") {
            if (verb == "list") {
                a.Options({}, {});
                for (auto& u : store.OpenUploads(NowSeconds(), std::nullopt))
                    Print(ojson{{"id", u.id}, {"imageId", u.imageId}, {"userId", u.userId},
                                {"createdAt", u.createdAt}, {"expiresAt", u.expiresAt}});
            } else if (verb == "close") {
                int64_t id = NeedId(a.Next("upload session id"));
                a.Options({}, {});
                service.CloseUpload(id);
                Print(ojson{{"closed", id}});
            } else throw CliError("unknown upload command " + verb);
        } else {
            throw CliError("unknown command " + noun);
        }
    } catch (const CliError& e) {
        std::fprintf(stderr, "zelko-mgmtd admin: %s\n%s", e.what(), kUsage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelko-mgmtd admin: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd == "serve") return Serve(args);
    if (cmd == "admin") return Admin(args);
    std::fprintf(stderr, "zelko-mgmtd: unknown command %s\n%s", cmd.c_str(), kUsage);
    return 2;
}
