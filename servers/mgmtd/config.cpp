#include "config.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "util.h"

namespace zelko::mgmtd {

bool ParseEndpoint(const std::string& text, Endpoint* out) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    int p = -1;
    auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
    if (ec != std::errc() || ptr != port.data() + port.size() || p < 0 || p > 65535) return false;
    if (!NormalizeIpv4(host)) return false;
    out->host = *NormalizeIpv4(host);
    out->port = p;
    return true;
}

namespace {

bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read link secret file " + path;
        return false;
    }
    std::getline(in, *secret);
    while (!secret->empty() && (secret->back() == '\r' || secret->back() == ' ')) secret->pop_back();
    if (secret->empty()) {
        *error = "link secret file " + path + " is empty";
        return false;
    }
    return true;
}

bool ApplySetting(const std::string& key, const std::string& value, Config* c, std::string* error) {
    auto seconds = [&](int64_t* out) {
        int64_t v = 0;
        auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
        if (ec != std::errc() || p != value.data() + value.size() || v < 1 || v > 30 * 86400) {
            *error = key + " must be a number of seconds from 1 to 2592000";
            return false;
        }
        *out = v;
        return true;
    };
    if (key == "dataDir")
        c->dataDir = value;
    else if (key == "clientListen" || key == "driverListen") {
        if (!ParseEndpoint(value, key == "clientListen" ? &c->clientListen : &c->driverListen)) {
            *error = key + " must be IPV4:PORT, got \"" + value + "\"";
            return false;
        }
    } else if (key == "diskdAdmin") {
        if (!value.empty() && value.rfind("http://", 0) != 0) {
            *error = "diskdAdmin must be an http:// URL";
            return false;
        }
        c->diskdAdmin = value;
        while (!c->diskdAdmin.empty() && c->diskdAdmin.back() == '/') c->diskdAdmin.pop_back();
    } else if (key == "imageDir")
        c->imageDir = value;
    else if (key == "sessionTtl")
        return seconds(&c->sessionTtl);
    else if (key == "uploadTtl")
        return seconds(&c->uploadTtl);
    else if (key == "superMergeQuiet")
        return seconds(&c->superMergeQuiet);
    else if (key == "linkSecretFile")
        return ReadSecretFile(value, &c->linkSecret, error);
    else if (key == "readyFile")
        c->readyFile = value;
    else {
        *error = "unknown setting " + key;
        return false;
    }
    return true;
}

const char* FlagKey(const std::string& flag) {
    static const std::pair<const char*, const char*> kFlags[] = {
        {"--data-dir", "dataDir"},
        {"--client-listen", "clientListen"},
        {"--driver-listen", "driverListen"},
        {"--diskd-admin", "diskdAdmin"},
        {"--image-dir", "imageDir"},
        {"--session-ttl", "sessionTtl"},
        {"--upload-ttl", "uploadTtl"},
        {"--link-secret-file", "linkSecretFile"},
        {"--super-merge-quiet", "superMergeQuiet"},
        {"--ready-file", "readyFile"},
    };
    for (auto& [f, k] : kFlags)
        if (flag == f) return k;
    return nullptr;
}

}  // namespace

bool LoadConfig(std::vector<std::string>& args, Config* config, std::string* error, bool serverFlags) {
    // The config file first, wherever --config stands, so flags override it.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--config") continue;
        if (i + 1 >= args.size()) {
            *error = "--config needs a file";
            return false;
        }
        std::ifstream in(args[i + 1]);
        if (!in) {
            *error = "cannot read config file " + args[i + 1];
            return false;
        }
        nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
        if (!j.is_object()) {
            *error = "config file " + args[i + 1] + " is not a JSON object";
            return false;
        }
        for (auto& [k, v] : j.items()) {
            std::string value = v.is_string()           ? v.get<std::string>()
                                : v.is_number_integer() ? std::to_string(v.get<int64_t>())
                                                        : "";
            if (!v.is_string() && !v.is_number_integer()) {
                *error = "config key " + k + " must be a string or an integer";
                return false;
            }
            if (!ApplySetting(k, value, config, error)) return false;
        }
        args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
        break;
    }
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const char* key = FlagKey(args[i]);
        bool serverOnly = key && std::string(key) != "dataDir" && std::string(key) != "imageDir" &&
                          std::string(key) != "diskdAdmin" && std::string(key) != "linkSecretFile";
        if (!key || (serverOnly && !serverFlags)) {
            rest.push_back(args[i]);
            continue;
        }
        if (i + 1 >= args.size()) {
            *error = args[i] + " needs a value";
            return false;
        }
        if (!ApplySetting(key, args[i + 1], config, error)) return false;
        ++i;
    }
    args = rest;
    std::error_code ec;
    if (!config->dataDir.empty()) config->dataDir = std::filesystem::absolute(config->dataDir, ec).lexically_normal();
    if (!config->imageDir.empty())
        config->imageDir = std::filesystem::absolute(config->imageDir, ec).lexically_normal();
    while (config->dataDir.size() > 1 && config->dataDir.back() == '/') config->dataDir.pop_back();
    if (config->linkSecret.empty())
        if (const char* env = std::getenv("ZELKO_LINK_SECRET")) config->linkSecret = env;
    return true;
}

bool EnsureDataDir(const std::string& dir, std::string* error) {
    std::error_code ec;
    if (std::filesystem::create_directories(dir, ec)) chmod(dir.c_str(), 0700);
    if (ec) {
        *error = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace zelko::mgmtd
