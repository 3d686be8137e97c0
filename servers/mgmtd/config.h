// Settings of `zelko-mgmtd serve` and `zelko-mgmtd admin`: defaults, a JSON config file, flags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelko::mgmtd {

struct Endpoint {
    std::string host;
    int port = 0;
};

struct Config {
    std::string dataDir = "/var/lib/zelko/mgmtd";
    Endpoint clientListen{"0.0.0.0", 5000};
    Endpoint driverListen{"0.0.0.0", 9500};
    std::string diskdAdmin;  // "http://host:port", empty = no disk server
    std::string imageDir;    // empty = dataDir + "/images"
    std::string linkSecret;  // never logged
    int64_t sessionTtl = 12 * 3600;
    int64_t uploadTtl = 6 * 3600;
    // A PC's super-user layer is committed at its next boot after leaving super-user mode, or,
    // should that boot signal never come, once the layer has had no connection at the disk
    // server for this long.
    int64_t superMergeQuiet = 600;
    std::string readyFile;

    std::string DbPath() const { return dataDir + "/mgmtd.db"; }
    std::string ImageDir() const { return imageDir.empty() ? dataDir + "/images" : imageDir; }
};

bool ParseEndpoint(const std::string& text, Endpoint* out);

// Consumes the options it knows from args (starting at index `from`), in place; the remaining
// arguments are returned. Reads the config file named by --config first, then applies the
// flags, then $ZELKO_LINK_SECRET when no secret was configured. Returns false with *error.
// Relative directories are made absolute here, so that image paths derived from them stay
// valid whatever the working directory of a later run.
bool LoadConfig(std::vector<std::string>& args, Config* config, std::string* error, bool serverFlags);

// Creates the data directory (mode 0700: it holds the super-user tokens) if it is missing.
bool EnsureDataDir(const std::string& dir, std::string* error);

}  // namespace zelko::mgmtd
