#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace mgmtd_test {

std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mgmtd-test-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    return buf.data();
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

HttpReply RawRequest(const std::string& source, int port, const std::string& method, const std::string& path,
                     const std::map<std::string, std::string>& headers, const std::string& body, bool withLength) {
    HttpReply reply;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply;
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return reply;
    }
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (auto& [k, v] : headers) req += k + ": " + v + "\r\n";
    if (withLength && (method != "GET" || !body.empty())) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + body;
    size_t off = 0;
    while (off < req.size()) {
        ssize_t n = send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    std::string all;
    char buf[8192];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t sp = all.find(' ');
    size_t end = all.find("\r\n\r\n");
    if (sp == std::string::npos || end == std::string::npos) return reply;
    reply.status = std::atoi(all.c_str() + sp + 1);
    reply.body = all.substr(end + 4);
    return reply;
}

Server::Server(std::vector<std::string> extraArgs, std::map<std::string, std::string> env, std::string dataDir)
    : args_(std::move(extraArgs)), env_(std::move(env)) {
    dir_ = MakeTempDir();
    if (dataDir.empty()) {
        dataDir_ = dir_ + "/data";
    } else {
        dataDir_ = dataDir;
    }
    if (!env_.count("ZELKO_ADMIN_PASSWORD")) env_["ZELKO_ADMIN_PASSWORD"] = kAdminPassword;
    if (!env_.count("ZELKO_LINK_SECRET")) env_["ZELKO_LINK_SECRET"] = kSecret;
}

Server::~Server() {
    if (pid_ > 0) Stop();
    RemoveTree(dir_);
}

void Server::Start() {
    std::string ready = dir_ + "/ready";
    unlink(ready.c_str());
    std::vector<std::string> args = {ZELKO_MGMTD_BIN, "serve", "--data-dir", dataDir_, "--client-listen",
                                     "127.0.0.1:0", "--driver-listen", "127.0.0.1:0", "--ready-file", ready};
    args.insert(args.end(), args_.begin(), args_.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string key = kv.substr(0, kv.find('='));
        if (!env_.count(key)) envs.push_back(kv);
    }
    for (auto& [k, v] : env_)
        if (!v.empty()) envs.push_back(k + "=" + v);  // an empty value unsets the variable
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, (dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, (dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int rc = posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start zelko-mgmtd");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        auto j = json::parse(ReadFile(ready), nullptr, false);
        if (j.is_object()) {
            clientPort_ = j["clientPort"];
            driverPort_ = j["driverPort"];
            return;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("zelko-mgmtd exited at start: " + Stderr());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("zelko-mgmtd did not become ready");
}

int Server::Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

HttpReply Server::Send(const std::string& method, const std::string& path, const std::string& body,
                       const std::string& token) {
    std::map<std::string, std::string> h;
    if (!token.empty()) h["Authorization"] = "Bearer " + token;
    if (method != "GET") h["Content-Type"] = "application/json";
    return RawRequest("127.0.0.1", clientPort_, method, path, h, body);
}

HttpReply Server::Get(const std::string& path, const std::string& token) { return Send("GET", path, "", token); }

HttpReply Server::Post(const std::string& path, const std::string& body, const std::string& token) {
    return Send("POST", path, body, token);
}

HttpReply Server::Internal(const std::string& method, const std::string& path, const std::string& body,
                           const std::string& secret) {
    std::map<std::string, std::string> h;
    if (!secret.empty()) h["X-Zelko-Link-Secret"] = secret;
    return RawRequest("127.0.0.1", driverPort_, method, path, h, body);
}

std::string Server::Login(const std::string& user, const std::string& password) {
    auto r = Post("/api/auth/disk/login", json{{"username", user}, {"password", password}}.dump());
    auto j = r.Json();
    if (r.status != 200 || !j.is_object() || j["code"] != 0) return "";
    return j["accessToken"];
}

std::string Server::Admin(const std::string& args, int* status, const std::string& input) {
    std::string in = dir_ + "/admin-stdin";
    {
        std::ofstream f(in);
        f << input;
    }
    std::string cmd = std::string("'") + ZELKO_MGMTD_BIN + "' admin --data-dir '" + dataDir_ + "' " + args + " <'" +
                      in + "' 2>>'" + dir_ + "/admin-stderr'";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace mgmtd_test
