#include "config.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace zelko::diskd {

using nlohmann::json;

const char* UsageText() {
    return R"(Usage: zelko-diskd [options]

Serves raw disk images over ZelkoProtocol (TCP and UDP), with per-client copy-on-write layers.
Options override the members of the configuration file of the same name (see README.md).

  --config FILE               JSON configuration file
  --listen HOST:PORT          TCP listener (default 0.0.0.0:9501; port 0 = any free port)
  --udp-listen HOST:PORT|off  UDP channel (default: the TCP host, port 9501)
  --admin-listen HOST:PORT|off  admin HTTP listener (default 127.0.0.1:9502)
  --data-dir DIR              layers, snapshots and versions (default /var/lib/zelko/diskd)
  --image IQN=PATH[,ro][,size=BYTES]   serve an image (standalone mode; repeatable)
  --token TOKEN=IQN[,upload][,client=KEY][,expires=UNIX]   accept a super-user token
                              (standalone mode; repeatable)
  --mgmt-url URL              management server, e.g. http://127.0.0.1:9500 (images and
                              tokens come from it; without it the server runs standalone)
  --link-secret SECRET        shared secret of the management link
  --link-secret-file FILE     read the secret from a file (first line)
  --image-poll SECONDS        how often to fetch the image list (default 5)
  --compression on|off        compressed Read answers when they save bytes (default on)
  --workers N                 worker threads of the data path (default 2 per CPU, >= 4)
  --admission-threads N       threads for handshakes that wait for the management server's
                              session check (default 8; management mode only)
  --max-io BYTES              largest Read/Write/batch payload (default 33554432)
  --max-connections N         concurrent TCP connections (default 4096); at the limit a
                              new connection takes the place of the oldest one that has
                              no session yet
  --handshake-timeout SECONDS a connection without a session (accepted handshake) is closed
                              this long after it opened or last tried one (default 30)
  --request-timeout SECONDS   a request must arrive, and its answer leave, within this long
                              (default 120)
  --overlay-idle SECONDS      standalone restore-on-reboot: a normal client's overlay is
                              discarded when it reconnects after this long without a
                              connection (default 120)
  --overlay-retention SECONDS a normal overlay whose client has not connected for this long
                              is deleted (default 604800, one week; 0 keeps them)
  --normal-writable on|off    normal sessions get a writable overlay (default on); off
                              makes them read-only
  --udp-push-ahead N          after a UDP read, push the next N 4 KiB blocks to the client's
                              cache as PushBlock datagrams (default 0 = off, at most 64)
  --ready-file FILE           write {"tcpPort":..,"udpPort":..,"adminPort":..} when serving
  --log-level debug|info|warn|error   (default info)
  --help, --version
)";
}

bool ParseEndpoint(const std::string& text, Endpoint* ep, std::string* error) {
    if (text == "off") {
        ep->enabled = false;
        return true;
    }
    auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        *error = "expected HOST:PORT, got '" + text + "'";
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    char* end = nullptr;
    unsigned long port = strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end || port > 65535 || colon + 1 == text.size()) {
        *error = "bad port in '" + text + "'";
        return false;
    }
    ep->host = host.empty() ? "0.0.0.0" : host;
    ep->port = static_cast<uint16_t>(port);
    ep->enabled = true;
    return true;
}

namespace {

bool ParseBool(const std::string& v, bool* out) {
    if (v == "on" || v == "true" || v == "1" || v == "yes") *out = true;
    else if (v == "off" || v == "false" || v == "0" || v == "no") *out = false;
    else return false;
    return true;
}

bool ParseUnsigned(const std::string& v, uint64_t max, uint64_t* out) {
    if (v.empty()) return false;
    char* end = nullptr;
    unsigned long long x = strtoull(v.c_str(), &end, 10);
    if (*end || x > max) return false;
    *out = x;
    return true;
}

// A timeout in seconds, fractions allowed (tests use short ones): 0.05 s to a day.
bool ParseSeconds(const std::string& v, double* out) {
    if (v.empty()) return false;
    char* end = nullptr;
    double x = strtod(v.c_str(), &end);
    if (*end || !(x >= 0.05 && x <= 86400)) return false;
    *out = x;
    return true;
}

unsigned Seconds(const json& val) {
    double x = val.get<double>();
    if (!(x >= 0.05 && x <= 86400)) throw std::runtime_error("a timeout must be 0.05 to 86400 seconds");
    return static_cast<unsigned>(x * 1000);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, sep)) out.push_back(item);
    return out;
}

bool ParseImageFlag(const std::string& v, ImageConfig* img, std::string* error) {
    auto eq = v.find('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "--image wants IQN=PATH[,ro][,size=BYTES]";
        return false;
    }
    img->iqn = v.substr(0, eq);
    auto parts = Split(v.substr(eq + 1), ',');
    if (parts.empty() || parts[0].empty()) {
        *error = "--image " + img->iqn + ": no path";
        return false;
    }
    img->path = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) {
        uint64_t n;
        if (parts[i] == "ro") img->readOnly = true;
        else if (parts[i].rfind("size=", 0) == 0 && ParseUnsigned(parts[i].substr(5), UINT64_MAX, &n)) img->sizeBytes = n;
        else {
            *error = "--image " + img->iqn + ": unknown option '" + parts[i] + "'";
            return false;
        }
    }
    return true;
}

bool ParseTokenFlag(const std::string& v, TokenConfig* t, std::string* error) {
    auto eq = v.find('=');
    if (eq == std::string::npos || eq == 0) {
        *error = "--token wants TOKEN=IQN[,upload][,client=KEY][,expires=UNIX]";
        return false;
    }
    t->token = v.substr(0, eq);
    auto parts = Split(v.substr(eq + 1), ',');
    if (parts.empty() || parts[0].empty()) {
        *error = "--token: no IQN";
        return false;
    }
    t->iqn = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) {
        uint64_t n;
        if (parts[i] == "upload" || parts[i] == "super") t->kind = parts[i];
        else if (parts[i].rfind("client=", 0) == 0) t->clientKey = parts[i].substr(7);
        else if (parts[i].rfind("expires=", 0) == 0 && ParseUnsigned(parts[i].substr(8), INT64_MAX, &n)) t->expiresUnix = static_cast<int64_t>(n);
        else {
            *error = "--token: unknown option '" + parts[i] + "'";
            return false;
        }
    }
    return true;
}

bool LoadFile(const std::string& path, Config* cfg, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read config file " + path + ": " + strerror(errno);
        return false;
    }
    json j;
    try {
        j = json::parse(in, nullptr, true, true);  // comments allowed
        if (!j.is_object()) throw std::runtime_error("top level is not an object");
        for (auto& [key, val] : j.items()) {
            std::string err;
            if (key == "listen") {
                if (!ParseEndpoint(val.get<std::string>(), &cfg->tcp, &err)) throw std::runtime_error(err);
            } else if (key == "udpListen") {
                if (!ParseEndpoint(val.get<std::string>(), &cfg->udp, &err)) throw std::runtime_error(err);
            } else if (key == "adminListen") {
                if (!ParseEndpoint(val.get<std::string>(), &cfg->admin, &err)) throw std::runtime_error(err);
            } else if (key == "dataDir") cfg->dataDir = val.get<std::string>();
            else if (key == "mgmtUrl") cfg->mgmtUrl = val.get<std::string>();
            else if (key == "linkSecret") cfg->linkSecret = val.get<std::string>();
            else if (key == "imagePollSeconds") cfg->imagePollSeconds = val.get<unsigned>();
            else if (key == "compression") cfg->compression = val.get<bool>();
            else if (key == "workers") cfg->workers = val.get<unsigned>();
            else if (key == "admissionThreads") cfg->admissionThreads = std::max(1u, val.get<unsigned>());
            else if (key == "maxIoBytes") cfg->maxIoBytes = val.get<uint32_t>();
            else if (key == "maxConnections") cfg->maxConnections = val.get<unsigned>();
            else if (key == "handshakeTimeoutSeconds") cfg->handshakeTimeoutMs = Seconds(val);
            else if (key == "requestTimeoutSeconds") cfg->requestTimeoutMs = Seconds(val);
            else if (key == "overlayIdleSeconds") cfg->overlayIdleSeconds = val.get<unsigned>();
            else if (key == "overlayRetentionSeconds") cfg->overlayRetentionSeconds = val.get<unsigned>();
            else if (key == "udpPushAhead") cfg->udpPushAhead = std::min(64u, val.get<unsigned>());
            else if (key == "normalWritable") cfg->normalWritable = val.get<bool>();
            else if (key == "logLevel") {
                if (!ParseLogLevel(val.get<std::string>(), &cfg->logLevel)) throw std::runtime_error("bad logLevel");
            } else if (key == "images") {
                for (auto& i : val) {
                    ImageConfig img;
                    img.iqn = i.at("iqn").get<std::string>();
                    img.path = i.at("path").get<std::string>();
                    img.readOnly = i.value("readOnly", false);
                    img.sizeBytes = i.value("sizeBytes", 0ull);
                    cfg->images.push_back(img);
                }
            } else if (key == "tokens") {
                for (auto& i : val) {
                    TokenConfig t;
                    t.token = i.at("token").get<std::string>();
                    t.iqn = i.at("iqn").get<std::string>();
                    t.kind = i.value("kind", std::string("super"));
                    t.clientKey = i.value("clientKey", std::string());
                    t.expiresUnix = i.value("expiresUnix", 0ll);
                    if (t.kind != "super" && t.kind != "upload") throw std::runtime_error("token kind must be super or upload");
                    cfg->tokens.push_back(t);
                }
            } else {
                throw std::runtime_error("unknown member '" + key + "'");
            }
        }
    } catch (const std::exception& e) {
        *error = "config file " + path + ": " + e.what();
        return false;
    }
    return true;
}

}  // namespace

bool LoadConfig(int argc, char** argv, Config* cfg, bool* exitNow, std::string* error) {
    *exitNow = false;
    // The file first, so that flags win whatever their position.
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(UsageText(), stdout);
            *exitNow = true;
            return true;
        }
        if (a == "--version") {
            puts("zelko-diskd 1.0 (protocol version 1)");
            *exitNow = true;
            return true;
        }
        if (a == "--config") {
            if (i + 1 >= argc) {
                *error = "--config needs a file";
                return false;
            }
            if (!LoadFile(argv[i + 1], cfg, error)) return false;
        }
    }
    bool udpGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string v;
        auto eq = a.find('=');
        bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos &&
                           a.substr(0, eq) != "--image" && a.substr(0, eq) != "--token";
        if (inlineValue) {
            v = a.substr(eq + 1);
            a = a.substr(0, eq);
        } else {
            if (i + 1 >= argc) {
                *error = "option " + a + " needs a value (see --help)";
                return false;
            }
            v = argv[++i];
        }
        uint64_t n = 0;
        bool ok = true;
        if (a == "--config") continue;
        else if (a == "--listen") ok = ParseEndpoint(v, &cfg->tcp, error);
        else if (a == "--udp-listen") ok = ParseEndpoint(v, &cfg->udp, error), udpGiven = true;
        else if (a == "--admin-listen") ok = ParseEndpoint(v, &cfg->admin, error);
        else if (a == "--data-dir") cfg->dataDir = v;
        else if (a == "--image") {
            ImageConfig img;
            ok = ParseImageFlag(v, &img, error);
            cfg->images.push_back(img);
        } else if (a == "--token") {
            TokenConfig t;
            ok = ParseTokenFlag(v, &t, error);
            cfg->tokens.push_back(t);
        } else if (a == "--mgmt-url") cfg->mgmtUrl = v;
        else if (a == "--link-secret") cfg->linkSecret = v;
        else if (a == "--link-secret-file") {
            std::ifstream in(v);
            if (!in || !std::getline(in, cfg->linkSecret)) {
                *error = "cannot read " + v;
                return false;
            }
        } else if (a == "--image-poll") {
            ok = ParseUnsigned(v, 86400, &n) && n > 0;
            cfg->imagePollSeconds = static_cast<unsigned>(n);
        } else if (a == "--compression") ok = ParseBool(v, &cfg->compression);
        else if (a == "--workers") {
            ok = ParseUnsigned(v, 1024, &n) && n > 0;
            cfg->workers = static_cast<unsigned>(n);
        } else if (a == "--admission-threads") {
            ok = ParseUnsigned(v, 256, &n) && n > 0;
            cfg->admissionThreads = static_cast<unsigned>(n);
        } else if (a == "--max-io") {
            ok = ParseUnsigned(v, 1u << 30, &n) && n >= 65536;
            cfg->maxIoBytes = static_cast<uint32_t>(n);
        } else if (a == "--max-connections") {
            ok = ParseUnsigned(v, 1000000, &n) && n > 0;
            cfg->maxConnections = static_cast<unsigned>(n);
        } else if (a == "--handshake-timeout" || a == "--request-timeout") {
            double secs = 0;
            ok = ParseSeconds(v, &secs);
            (a == "--handshake-timeout" ? cfg->handshakeTimeoutMs : cfg->requestTimeoutMs) =
                static_cast<unsigned>(secs * 1000);
        } else if (a == "--overlay-idle") {
            ok = ParseUnsigned(v, 1u << 30, &n);
            cfg->overlayIdleSeconds = static_cast<unsigned>(n);
        } else if (a == "--overlay-retention") {
            ok = ParseUnsigned(v, 1u << 31, &n);
            cfg->overlayRetentionSeconds = static_cast<unsigned>(n);
        } else if (a == "--normal-writable") ok = ParseBool(v, &cfg->normalWritable);
        else if (a == "--ready-file") cfg->readyFile = v;
        else if (a == "--udp-push-ahead") {
            ok = ParseUnsigned(v, 64, &n);
            cfg->udpPushAhead = static_cast<unsigned>(n);
        }
        else if (a == "--log-level") ok = ParseLogLevel(v, &cfg->logLevel);
        else if (a == "--test-merge-pause") cfg->mergePause = v;
        else {
            *error = "unknown option " + a + " (see --help)";
            return false;
        }
        if (!ok) {
            if (error->empty()) *error = "bad value '" + v + "' for " + a;
            return false;
        }
    }
    // Unless configured on its own, UDP listens where TCP does; with an ephemeral TCP port it
    // takes an ephemeral port as well.
    if (!udpGiven && cfg->udp.enabled && cfg->udp.host == "0.0.0.0" && cfg->udp.port == 9501) {
        cfg->udp.host = cfg->tcp.host;
        cfg->udp.port = cfg->tcp.port;
    }
    if (cfg->workers == 0) {
        unsigned hc = std::thread::hardware_concurrency();
        cfg->workers = std::max(4u, 2 * (hc ? hc : 2));
    }
    if (cfg->mgmtUrl.empty() && cfg->images.empty())
        fprintf(stderr, "zelko-diskd: warning: no images configured and no management server\n");
    return true;
}

}  // namespace zelko::diskd
