#include "admin_cli.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "auth.h"
#include "config.h"
#include "diskd_link.h"
#include "service.h"
#include "store.h"
#include "util.h"
#include "zelko_common/link.h"

namespace zelko::mgmtd {

namespace {

using ojson = nlohmann::ordered_json;

struct CliError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The arguments of one command: positionals first, then "--flag VALUE" pairs and "--switch"es.
struct Args {
    std::vector<std::string> v;
    size_t i = 0;
    std::string Next(const char* what) {
        if (i >= v.size() || v[i].rfind("--", 0) == 0) throw CliError(std::string("missing ") + what);
        return v[i++];
    }
    std::map<std::string, std::string> Options(std::initializer_list<const char*> withValue,
                                               std::initializer_list<const char*> switches = {}) {
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

struct Context {
    Store& store;
    Service& service;
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

bool NeedOnOff(const std::string& s, const char* what) {
    if (s != "on" && s != "off") throw CliError(std::string(what) + " takes on or off");
    return s == "on";
}

void Print(const ojson& j) { std::cout << j.dump(-1, ' ', false, ojson::error_handler_t::replace) << std::endl; }

ojson UserLine(const User& u) { return ojson{{"id", u.id}, {"username", u.username}, {"isAdmin", u.isAdmin}}; }

ojson ImageLine(const Image& im) {
    return ojson{{"id", im.id},     {"name", im.name},           {"iqn", common::ImageIqn(im.id)},
                 {"path", im.path}, {"sizeBytes", im.sizeBytes}, {"readOnly", im.readOnly}};
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

// From stdin, from $ZELKO_PASSWORD, or generated (and then printed once).
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

// ---- the commands ----

void UserAdd(Context& cx, Args& a) {
    std::string name = a.Next("user name");
    auto o = a.Options({}, {"--admin", "--password-stdin"});
    bool generated;
    std::string pw = PasswordFrom(o.count("--password-stdin"), &generated);
    ojson out = UserLine(cx.service.AddUser(name, pw, o.count("--admin")));
    if (generated) out["password"] = pw;
    Print(out);
}

void UserPasswd(Context& cx, Args& a) {
    std::string name = a.Next("user name");
    auto o = a.Options({}, {"--password-stdin"});
    bool generated;
    std::string pw = PasswordFrom(o.count("--password-stdin"), &generated);
    cx.service.SetPassword(name, pw);
    ojson out{{"username", name}};
    if (generated) out["password"] = pw;
    Print(out);
}

void UserList(Context& cx, Args& a) {
    a.Options({});
    for (auto& u : cx.store.ListUsers()) Print(UserLine(u));
}

void UserRemove(Context& cx, Args& a) {
    std::string name = a.Next("user name");
    a.Options({});
    cx.service.RemoveUser(name);
    Print(ojson{{"removed", name}});
}

void ImageAdd(Context& cx, Args& a) {
    auto o = a.Options({"--name", "--size", "--path"}, {"--read-only", "--no-create"});
    if (!o.count("--name")) throw CliError("image add needs --name");
    uint64_t size = o.count("--size") ? NeedSize(o["--size"]) : 0;
    std::string path = o["--path"];
    // Stored as given, the path would be resolved against wherever the server runs.
    if (!path.empty()) path = std::filesystem::absolute(path).lexically_normal().string();
    Print(ImageLine(cx.service.AddImage(o["--name"], size, path, o.count("--read-only"), !o.count("--no-create"))));
}

void ImageSet(Context& cx, Args& a) {
    int64_t id = NeedId(a.Next("image id"));
    auto o = a.Options({"--name", "--size", "--path", "--read-only"});
    ImagePatch p;
    if (o.count("--name")) p.name = o["--name"];
    if (o.count("--path")) p.path = std::filesystem::absolute(o["--path"]).lexically_normal().string();
    if (o.count("--size")) p.sizeBytes = NeedSize(o["--size"]);
    if (o.count("--read-only")) p.readOnly = NeedOnOff(o["--read-only"], "--read-only");
    Print(ImageLine(cx.service.UpdateImage(id, p)));
}

void ImageList(Context& cx, Args& a) {
    a.Options({});
    for (auto& im : cx.store.ListImages(0, INT64_MAX)) Print(ImageLine(im));
}

void ImageRemove(Context& cx, Args& a) {
    int64_t id = NeedId(a.Next("image id"));
    a.Options({});
    cx.service.RemoveImage(id);
    Print(ojson{{"removed", id}});
}

void ClientAdd(Context& cx, Args& a) {
    auto o = a.Options({"--mac", "--name", "--ip", "--image"});
    if (!o.count("--mac") || !o.count("--name")) throw CliError("client add needs --mac and --name");
    std::optional<std::string> ip;
    if (o.count("--ip")) ip = o["--ip"];
    std::optional<int64_t> image;
    if (o.count("--image")) image = NeedId(o["--image"]);
    Print(ClientLine(cx.service.AddClient(o["--mac"], o["--name"], ip, image)));
}

void ClientSet(Context& cx, Args& a) {
    int64_t id = NeedId(a.Next("client id"));
    auto o = a.Options({"--mac", "--name", "--ip", "--image"});
    ClientPatch p;
    if (o.count("--mac")) p.mac = o["--mac"];
    if (o.count("--name")) p.name = o["--name"];
    if (o.count("--ip")) p.ip = o["--ip"] == "none" ? std::optional<std::string>() : std::optional(o["--ip"]);
    if (o.count("--image"))
        p.imageId = o["--image"] == "none" ? std::optional<int64_t>() : std::optional(NeedId(o["--image"]));
    Print(ClientLine(cx.service.UpdateClient(id, p)));
}

void ClientSuper(Context& cx, Args& a) {
    int64_t id = NeedId(a.Next("client id"));
    bool on = NeedOnOff(a.Next("on or off"), "client super");
    a.Options({});
    Print(ClientLine(cx.service.SetSuper(id, on)));
}

void ClientList(Context& cx, Args& a) {
    a.Options({});
    for (auto& c : cx.store.ListClients(0, INT64_MAX)) Print(ClientLine(c));
}

void ClientRemove(Context& cx, Args& a) {
    int64_t id = NeedId(a.Next("client id"));
    a.Options({});
    cx.service.RemoveClient(id);
    Print(ojson{{"removed", id}});
}

void UploadList(Context& cx, Args& a) {
    a.Options({});
    for (auto& u : cx.store.OpenUploads(NowSeconds(), std::nullopt))
        Print(ojson{{"id", u.id},
                    {"imageId", u.imageId},
                    {"userId", u.userId},
                    {"createdAt", u.createdAt},
                    {"expiresAt", u.expiresAt}});
}

void UploadClose(Context& cx, Args& a) {
    int64_t id = NeedId(a.Next("upload session id"));
    a.Options({});
    cx.service.CloseUpload(id);
    Print(ojson{{"closed", id}});
}

struct Command {
    const char* noun;
    const char* verb;
    void (*run)(Context&, Args&);
    const char* usage;
};

const Command kCommands[] = {
    {"user", "add", UserAdd, "NAME [--admin] [--password-stdin]"},
    {"user", "passwd", UserPasswd, "NAME [--password-stdin]"},
    {"user", "list", UserList, ""},
    {"user", "remove", UserRemove, "NAME"},
    {"image", "add", ImageAdd, "--name NAME --size SIZE [--path FILE] [--read-only] [--no-create]"},
    {"image", "set", ImageSet, "ID [--name N] [--size S] [--path P] [--read-only on|off]"},
    {"image", "list", ImageList, ""},
    {"image", "remove", ImageRemove, "ID"},
    {"client", "add", ClientAdd, "--mac MAC --name NAME [--ip IPV4] [--image ID]"},
    {"client", "set", ClientSet, "ID [--mac M] [--name N] [--ip IPV4|none] [--image ID|none]"},
    {"client", "super", ClientSuper, "ID on|off"},
    {"client", "list", ClientList, ""},
    {"client", "remove", ClientRemove, "ID"},
    {"upload", "list", UploadList, ""},
    {"upload", "close", UploadClose, "ID"},
};

}  // namespace

std::string AdminUsage() {
    std::string out =
        "  zelko-mgmtd admin [--config FILE] [--data-dir DIR] [--create] COMMAND\n"
        "    --create  make the data directory and an empty database if there is none (without it,\n"
        "              a directory without a database is refused: a mistyped path stays harmless)\n";
    for (const Command& c : kCommands) {
        out += "     ";
        out += c.noun;
        out += " ";
        out += c.verb;
        if (*c.usage) out += std::string(" ") + c.usage;
        out += "\n";
    }
    return out;
}

int AdminMain(std::vector<std::string> argv) {
    auto usageError = [](const std::string& what) {
        std::fprintf(stderr, "zelko-mgmtd admin: %s\nusage:\n%s", what.c_str(), AdminUsage().c_str());
        return 2;
    };
    for (auto& a : argv)
        if (a == "--help" || a == "-h") {
            std::printf("usage:\n%s", AdminUsage().c_str());
            return 0;
        }
    Config config;
    std::string error;
    if (!LoadConfig(argv, &config, &error, false)) return usageError(error);
    bool create = false;
    std::vector<std::string> rest;
    for (auto& a : argv) {
        if (a == "--create")
            create = true;
        else
            rest.push_back(a);
    }
    if (rest.size() < 2) return usageError("missing command");
    const Command* cmd = nullptr;
    for (const Command& c : kCommands)
        if (rest[0] == c.noun && rest[1] == c.verb) cmd = &c;
    if (!cmd) return usageError("unknown command " + rest[0] + " " + rest[1]);
    try {
        if (!std::filesystem::exists(config.DbPath())) {
            if (!create)
                throw std::runtime_error("no database in " + config.dataDir +
                                         " (is the data directory right? --create makes a new one)");
            if (!EnsureDataDir(config.dataDir, &error)) throw std::runtime_error(error);
        }
        Store store(config.DbPath());
        DiskdLink diskd(config.diskdAdmin, config.linkSecret);
        Service service(config, store, diskd);
        Context cx{store, service};
        Args args{std::vector<std::string>(rest.begin() + 2, rest.end())};
        cmd->run(cx, args);
    } catch (const CliError& e) {
        return usageError(e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelko-mgmtd admin: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace zelko::mgmtd
