// Test harness: runs zelko-mgmtd as a child process on loopback ports picked by the kernel, and
// talks HTTP to it — through cpp-httplib, or through a raw socket bound to a chosen loopback
// source address (127.0.0.2 plays "another PC").
#pragma once

#include <sys/types.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace mgmtd_test {

using json = nlohmann::json;

std::string MakeTempDir();
void RemoveTree(const std::string& dir);
std::string ReadFile(const std::string& path);

struct HttpReply {
    int status = 0;
    std::string body;
    json Json() const { return json::parse(body, nullptr, false); }
};

// One HTTP/1.1 request with "Connection: close" from `source` (an address on lo) — the same
// shape as the driver's own GET.
HttpReply RawRequest(const std::string& source, int port, const std::string& method, const std::string& path,
                     const std::map<std::string, std::string>& headers = {}, const std::string& body = "",
                     bool withLength = true);

class Server {
public:
    // `extraArgs` are appended to "serve ..."; `env` entries are set in the child.
    explicit Server(std::vector<std::string> extraArgs = {}, std::map<std::string, std::string> env = {},
                    std::string dataDir = "");
    ~Server();
    void Start();
    // SIGTERM and wait; returns the exit status (or -1 when killed by a signal).
    int Stop();

    const std::string& dataDir() const { return dataDir_; }
    int clientPort() const { return clientPort_; }
    int driverPort() const { return driverPort_; }
    pid_t pid() const { return pid_; }
    std::string Stdout() const { return ReadFile(dir_ + "/stdout"); }
    std::string Stderr() const { return ReadFile(dir_ + "/stderr"); }

    // Requests on the client listener from 127.0.0.1.
    HttpReply Get(const std::string& path, const std::string& token = "");
    HttpReply Post(const std::string& path, const std::string& body, const std::string& token = "");
    HttpReply Send(const std::string& method, const std::string& path, const std::string& body,
                   const std::string& token = "");
    // The link calls, with or without the secret.
    HttpReply Internal(const std::string& method, const std::string& path, const std::string& body,
                       const std::string& secret);

    std::string Login(const std::string& user, const std::string& password);  // "" on failure
    // zelko-mgmtd admin --data-dir DIR ARGS; returns stdout, sets *status.
    std::string Admin(const std::string& args, int* status = nullptr, const std::string& input = "");

    static constexpr const char* kSecret = "test-link-secret-0123456789";
    static constexpr const char* kAdminPassword = "correct horse battery";

private:
    std::vector<std::string> args_;
    std::map<std::string, std::string> env_;
    std::string dir_;
    std::string dataDir_;
    bool ownDataDir_ = false;
    pid_t pid_ = -1;
    int clientPort_ = 0;
    int driverPort_ = 0;
};

}  // namespace mgmtd_test
