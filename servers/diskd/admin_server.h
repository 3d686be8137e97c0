// The admin HTTP listener used by the management server (see servers/LINK.md).
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "config.h"
#include "session.h"
#include "store.h"

namespace httplib { class Server; }

namespace zelko::diskd {

class AdminServer {
public:
    AdminServer(const Config& cfg, ImageStore& store, ServerStats& stats);
    ~AdminServer();
    bool Start(std::string* error);
    void Stop();
    uint16_t port() const { return port_; }

private:
    const Config& cfg_;
    ImageStore& store_;
    ServerStats& stats_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    uint16_t port_ = 0;
};

}  // namespace zelko::diskd
