// The set of served images (from the configuration, or from the management server's list) and
// the admission of sessions (configured tokens, or the management server's session check).
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "image.h"

namespace zelko::diskd {

struct AdmitRequest {
    std::string iqn;
    std::string clientId;
    std::string peerIp;
    bool hasToken = false;
    std::string token;
};

struct AdmitResult {
    uint32_t error = 0;       // ServerError; 0 = admitted
    bool superUser = false;
    bool readOnly = false;    // the management server marked the session read-only
    bool upload = false;      // an upload token: the session writes a whole new image
    std::string clientKey;
    uint64_t bootId = 0;
    std::string reason;       // for the log
};

class ImageStore {
public:
    explicit ImageStore(const Config& cfg);
    ~ImageStore();

    // Opens the configured images (standalone) or fetches the list once (management mode; a
    // failure there is logged and retried by the poller). False only on fatal local errors.
    bool Start(std::string* error);
    void Stop();

    std::shared_ptr<Image> Find(const std::string& iqn);
    // Find, and in management mode ask for the list at once when the IQN is unknown.
    std::shared_ptr<Image> FindOrRefresh(const std::string& iqn);
    std::vector<std::shared_ptr<Image>> All();
    AdmitResult Admit(const AdmitRequest& req);
    bool RefreshFromMgmt(std::string* error);
    bool managed() const { return !cfg_.mgmtUrl.empty(); }

private:
    std::shared_ptr<Image> OpenImage(const ImageEntry& entry, std::string* error);
    void PollLoop();
    bool RefreshLocked(std::string* error);  // needs refreshMutex_

    const Config& cfg_;
    MergeHook hook_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Image>> images_;   // served to new handshakes
    std::map<std::string, std::shared_ptr<Image>> retired_;  // dropped from the list, kept open
    std::mutex refreshMutex_;
    std::thread poller_;
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stop_ = false;
    int lockFd_ = -1;
};

// Key under which a client's layers are kept when no better name is known.
std::string FallbackClientKey(const std::string& clientId, const std::string& peerIp);

}  // namespace zelko::diskd
