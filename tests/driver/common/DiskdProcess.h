// zelko-diskd as a child process for the driver's tests: one image in a scratch directory,
// ephemeral loopback ports read back from its ready file, stopped and cleaned up on destruction.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace diskdproc {

// The zelko-diskd this build made (its tests' targets define ZELKO_DISKD_PATH), or nullptr when
// there is none and the tests that need it skip.
#ifdef ZELKO_DISKD_PATH
constexpr const char* kBuiltDiskd = ZELKO_DISKD_PATH;
#else
constexpr const char* kBuiltDiskd = nullptr;
#endif

struct Options {
    const char* exe = kBuiltDiskd;  // path of zelko-diskd
    std::string iqn;            // the one image's name
    std::string token;          // a super-user token for that image; empty for none
    bool udp = false;           // the UDP channel; when on, the server also waits for udpPort
    std::vector<std::string> extraArgs;
    // A test that stops the host kernel (a verifier stop aborts) must not leave the server
    // behind: the child gets SIGTERM when the test process dies.
    bool dieWithParent = false;
    std::string dirTemplate = "/tmp/zvdiskdXXXXXX";  // for mkdtemp
    int readyPolls = 500;                            // 10 ms apart
};

class DiskdProcess {
public:
    // Serves these bytes as the image.
    DiskdProcess(const Options& o, const std::vector<uint8_t>& image)
        : DiskdProcess(o, [&image](const std::string& path) {
              std::ofstream(path, std::ios::binary)
                  .write(reinterpret_cast<const char*>(image.data()), (std::streamsize)image.size());
          }) {}

    // writeImage fills the image file at the path it is given (in the scratch directory).
    DiskdProcess(const Options& o, const std::function<void(const std::string&)>& writeImage) {
        std::vector<char> tmpl(o.dirTemplate.begin(), o.dirTemplate.end());
        tmpl.push_back('\0');
        if (mkdtemp(tmpl.data()) == nullptr) {
            perror("mkdtemp");
            return;
        }
        dir_ = tmpl.data();
        std::string image = dir_ + "/base.img";
        writeImage(image);
        mkdir((dir_ + "/data").c_str(), 0700);
        std::string ready = dir_ + "/ready.json";

        // The argument vector is built before the fork: the child only execs.
        std::vector<std::string> args = {o.exe, "--listen", "127.0.0.1:0"};
        if (!o.udp) args.insert(args.end(), {"--udp-listen", "off"});
        args.insert(args.end(), {"--admin-listen", "off", "--data-dir", dir_ + "/data", "--image", o.iqn + "=" + image});
        if (!o.token.empty()) args.insert(args.end(), {"--token", o.token + "=" + o.iqn});
        args.insert(args.end(), o.extraArgs.begin(), o.extraArgs.end());
        args.insert(args.end(), {"--ready-file", ready, "--log-level", "warn"});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);

        pid_ = fork();
        if (pid_ == 0) {
            if (o.dieWithParent) prctl(PR_SET_PDEATHSIG, SIGTERM);
            execv(o.exe, argv.data());
            _exit(127);
        }
        for (int i = 0; i < o.readyPolls && tcp_ == 0; i++) {
            std::ifstream f(ready);
            std::stringstream ss;
            ss << f.rdbuf();
            std::string t = ss.str();
            size_t p = t.find("\"tcpPort\":"), u = t.find("\"udpPort\":");
            if (p != std::string::npos && (!o.udp || u != std::string::npos)) {
                if (o.udp) udp_ = (uint16_t)atoi(t.c_str() + u + 10);
                tcp_ = (uint16_t)atoi(t.c_str() + p + 10);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }

    ~DiskdProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st;
            waitpid(pid_, &st, 0);
        }
        if (dir_.empty()) return;
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }

    DiskdProcess(const DiskdProcess&) = delete;
    DiskdProcess& operator=(const DiskdProcess&) = delete;

    // 0 when the server did not come up in time.
    uint16_t port() const { return tcp_; }
    uint16_t udpPort() const { return udp_; }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
    uint16_t tcp_ = 0, udp_ = 0;
};

}  // namespace diskdproc
