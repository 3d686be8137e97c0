// The operations behind both the HTTP API and `zelko-mgmtd admin`: validation, the rules
// between clients, images, super-user mode, upload sessions and prepare-disk, and the calls to
// the disk server they imply.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "config.h"
#include "diskd_link.h"
#include "store.h"

namespace zelko::mgmtd {

// A refusal with an HTTP-like code (400, 403, 404, 409, 500, 502) or 15 for "busy image"
// and 5 for "formatting failed", and an operator-readable message.
struct ServiceError : std::runtime_error {
    int code;
    ServiceError(int c, const std::string& message) : std::runtime_error(message), code(c) {}
};

struct ClientPatch {
    std::optional<std::string> mac;
    std::optional<std::string> name;
    std::optional<std::optional<std::string>> ip;   // nullopt inside = remove
    std::optional<std::optional<int64_t>> imageId;  // nullopt inside = unassign
};

struct ImagePatch {
    std::optional<std::string> name;
    std::optional<std::string> path;
    std::optional<uint64_t> sizeBytes;
    std::optional<bool> readOnly;
};

class Service {
public:
    Service(const Config& config, Store& store, DiskdLink& diskd) : config_(config), store_(store), diskd_(diskd) {}

    Store& store() { return store_; }
    const Config& config() const { return config_; }
    DiskdLink& diskd() { return diskd_; }

    static std::string ClientKey(int64_t clientId) { return "client-" + std::to_string(clientId); }
    // An upload writes into a layer of its own, apart from the PC's super-user layer, so
    // that ending one never touches the other.
    static std::string UploadKey(int64_t sessionId) { return "upload-" + std::to_string(sessionId); }

    User AddUser(const std::string& name, const std::string& password, bool isAdmin);
    void SetPassword(const std::string& name, const std::string& password);
    void RemoveUser(const std::string& name);

    // `sizeBytes` 0 takes the size of an existing file. `create` makes a missing file (sparse).
    Image AddImage(const std::string& name, uint64_t sizeBytes, const std::string& path, bool readOnly, bool create);
    Image UpdateImage(int64_t id, const ImagePatch& patch);
    void RemoveImage(int64_t id);
    Image GetImage(int64_t id);

    Client AddClient(const std::string& mac, const std::string& name, const std::optional<std::string>& ip,
                     std::optional<int64_t> imageId);
    Client UpdateClient(int64_t id, const ClientPatch& patch);
    void RemoveClient(int64_t id);
    Client GetClient(int64_t id);
    Client SetSuper(int64_t id, bool on);

    // Returns the new image version.
    int64_t PrepareDisk(int64_t imageId);

    struct NewUpload {
        UploadSession session;
        std::string token;
        Image image;
    };
    NewUpload OpenUpload(int64_t imageId, int64_t userId);
    void CloseUpload(int64_t id);

    // Best effort: tells the disk server to fetch the image list now.
    void NotifyImagesChanged();
    // Sends the queued layer actions to the disk server: discards at once, merges once they
    // are due (the PC booted again) or their layer has been quiet for `superMergeQuiet`. The
    // server runs this periodically; the admin command line only queues.
    void FlushLayerActions();
    void SetOnline(bool online) { online_ = online; }
    // How the server's housekeeping thread is woken for a flush without delaying the caller.
    void SetFlushWaker(std::function<void()> waker) { waker_ = std::move(waker); }

    // The driver's boot signal of a PC: the merge of the layer it left behind becomes due.
    void OnBoot(int64_t clientId);
    // True while the PC's own normal sessions should wait ("busy") for its layer to be
    // merged, so that the boot after leaving super-user mode already reads the new base.
    // Bounded (kMergeHoldSeconds), so a disk server that cannot merge never keeps it from
    // booting for longer than the driver keeps retrying.
    bool MergeHoldsBoot(int64_t clientId);
    static constexpr int64_t kMergeHoldSeconds = 60;

    // The console's commit and discard of a PC's layer. Commit: leave super-user mode if the PC
    // is in it, and make the merge due now (it still waits until no session is attached to the
    // layer). Discard: leave super-user mode and throw the layer's writes away. Both refuse
    // (404) when the PC has nothing to commit or discard.
    void CommitLayer(int64_t clientId);
    void DiscardClientLayer(int64_t clientId);

    // The disk server's handshakes as the link reports them: when each PC last opened a
    // session, and from where. Kept in memory: it describes the running disk server only.
    struct Seen {
        int64_t at = 0;
        std::string peer;
        bool superUser = false;
    };
    void NoteHandshake(int64_t clientId, const std::string& peer, bool superUser);
    std::map<int64_t, Seen> LastHandshakes();

private:
    std::shared_ptr<std::mutex> ImageLock(int64_t imageId);
    void DiscardLayer(int64_t imageId, const std::string& clientKey);
    void WakeFlush();
    // One queued merge; true when it is finished with (merged, or nothing left to merge).
    bool FlushMerge(const Store::LayerAction& a);
    void FlushAction(const Store::LayerAction& a);

    const Config& config_;
    Store& store_;
    DiskdLink& diskd_;
    bool online_ = false;  // true in the server process: talks to the disk server directly
    std::function<void()> waker_;
    std::mutex flushMutex_;
    std::mutex locksMutex_;
    std::mutex seenMutex_;
    std::map<int64_t, Seen> seen_;
    std::map<int64_t, std::shared_ptr<std::mutex>> imageLocks_;
};

}  // namespace zelko::mgmtd
