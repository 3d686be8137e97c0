// Configuration of zelko-diskd: a JSON file (--config) whose members are overridden by flags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log.h"

namespace zelko::diskd {

struct Endpoint {
    std::string host;
    uint16_t port = 0;
    bool enabled = true;
};

struct ImageConfig {
    std::string iqn;
    std::string path;
    bool readOnly = false;
    uint64_t sizeBytes = 0;
};

struct TokenConfig {
    std::string token;
    std::string iqn;
    std::string kind = "super";  // "super" or "upload"
    std::string clientKey;       // empty: keyed like any client (client id @ address)
    int64_t expiresUnix = 0;     // 0: does not expire
};

struct Config {
    Endpoint tcp{"0.0.0.0", 9501, true};
    Endpoint udp{"0.0.0.0", 9501, true};
    Endpoint admin{"127.0.0.1", 9502, true};
    std::string dataDir = "/var/lib/zelko/diskd";
    std::vector<ImageConfig> images;
    std::vector<TokenConfig> tokens;
    std::string mgmtUrl;
    std::string linkSecret;
    unsigned imagePollSeconds = 5;
    bool compression = true;
    unsigned workers = 0;  // 0: 2 per CPU, at least 4
    unsigned admissionThreads = 8;  // handshakes waiting for the management server
    uint32_t maxIoBytes = 32u << 20;
    unsigned maxConnections = 4096;
    // A connection must have a session (an accepted handshake) this soon after it was opened or
    // after its last handshake attempt, and a request that has begun must have fully arrived,
    // and an answer fully left, this soon: what a peer that connects and stalls, or sends a
    // byte a second, may hold.
    unsigned handshakeTimeoutMs = 30000;
    unsigned requestTimeoutMs = 120000;
    unsigned overlayIdleSeconds = 120;
    unsigned overlayRetentionSeconds = 7 * 86400;
    bool normalWritable = true;
    unsigned udpMtu = 65507;
    unsigned udpPushAhead = 0;  // 4 KiB blocks pushed after each UDP read (read-ahead)
    std::string readyFile;
    LogLevel logLevel = LogLevel::Info;
    std::string mergePause;  // test hook, see MergeHook
};

// Parses argv (and the config file it names). On failure returns false with a message; on
// --help/--version sets *exitNow and prints the text.
bool LoadConfig(int argc, char** argv, Config* cfg, bool* exitNow, std::string* error);
bool ParseEndpoint(const std::string& text, Endpoint* ep, std::string* error);
const char* UsageText();

}  // namespace zelko::diskd
