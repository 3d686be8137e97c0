// The management server's storage: one SQLite database (WAL, every change in a transaction,
// schema versioned through PRAGMA user_version). One connection guarded by a mutex: the
// statements are tiny, and the admin command line may write the same file at the same time
// (WAL plus a busy timeout make that safe).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelko::mgmtd {

struct StoreError : std::runtime_error {
    enum Kind { Conflict, NotFound, Failed };
    Kind kind;
    StoreError(Kind k, const std::string& what) : std::runtime_error(what), kind(k) {}
};

struct User {
    int64_t id = 0;
    std::string username;
    std::string passwordHash;  // argon2id encoded string
    bool isAdmin = false;
};

struct Image {
    int64_t id = 0;
    std::string name;
    std::string path;
    uint64_t sizeBytes = 0;
    bool readOnly = false;
    int64_t version = 0;  // raised by a local prepare-disk (no disk server)
};

struct Client {
    int64_t id = 0;
    std::string mac;  // 12 lower-case hex digits
    std::string name;
    std::optional<std::string> ip;
    std::optional<int64_t> imageId;
    bool isSuper = false;
    std::string superToken;  // empty unless isSuper
    int64_t bootId = 0;
};

struct UploadSession {
    int64_t id = 0;
    int64_t imageId = 0;
    int64_t userId = 0;
    int64_t createdAt = 0;
    int64_t expiresAt = 0;
};

class Store {
public:
    static constexpr int kSchemaVersion = 2;

    explicit Store(const std::string& path);  // opens or creates, upgrades the schema
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Users and their login sessions (tokens stored as SHA-256 only).
    int64_t CountUsers();
    User AddUser(const std::string& name, const std::string& hash, bool isAdmin);
    std::optional<User> FindUser(const std::string& name);
    std::vector<User> ListUsers();
    void RemoveUser(const std::string& name);
    void SetPassword(const std::string& name, const std::string& hash);  // ends its sessions
    void AddSession(const std::string& tokenHash, int64_t userId, int64_t expiresAt);
    std::optional<User> FindSession(const std::string& tokenHash, int64_t now);
    void DeleteSession(const std::string& tokenHash);
    void PruneSessions(int64_t now);

    // Images. `defaultDir` names the directory of the file when `path` is empty: "<dir>/<id>.img".
    Image AddImage(const std::string& name, const std::string& path, const std::string& defaultDir, uint64_t sizeBytes,
                   bool readOnly);
    std::optional<Image> GetImage(int64_t id);
    std::vector<Image> ListImages(int64_t offset, int64_t limit);
    int64_t CountImages();
    void UpdateImage(const Image& image);
    void RemoveImage(int64_t id);
    int64_t BumpImageVersion(int64_t id);

    // Clients.
    Client AddClient(const Client& c);
    std::optional<Client> GetClient(int64_t id);
    std::optional<Client> FindClientByMac(const std::string& mac);
    std::optional<Client> FindClientByIp(const std::string& ip);
    std::optional<Client> FindClientByName(const std::string& name);
    std::optional<Client> FindClientBySuperToken(const std::string& token);
    std::vector<Client> ListClients(int64_t offset, int64_t limit);
    int64_t CountClients();
    void UpdateClient(const Client& c);
    void RemoveClient(int64_t id);
    void SetSuper(int64_t id, bool on, const std::string& token);
    int64_t RaiseBootId(int64_t id);
    std::vector<Client> SuperClientsOnImage(int64_t imageId);

    // Upload sessions: a new one for an image closes the image's earlier ones.
    UploadSession AddUpload(int64_t imageId, const std::string& tokenHash, int64_t userId, int64_t now,
                            int64_t expiresAt, std::vector<UploadSession>* closed);
    std::optional<UploadSession> FindUpload(const std::string& tokenHash, int64_t now);
    std::vector<UploadSession> OpenUploads(int64_t now, std::optional<int64_t> imageId);
    // The session that was closed, or nothing when it was not open.
    std::optional<UploadSession> CloseUpload(int64_t id);

    // What the disk server is still to do with a layer, kept until it has done so (it may be
    // down, and the admin command line cannot reach it at all). One action per layer: a discard
    // (throw the writes away) or a merge (commit them into the image). A merge waits until it is
    // `due`: the PC that wrote the layer may still be running on it.
    struct LayerAction {
        int64_t imageId = 0;
        std::string clientKey;
        std::string action;               // "discard" or "merge"
        std::optional<int64_t> clientId;  // the PC whose next boot makes a merge due
        bool due = true;
        int64_t queuedAt = 0;
        int64_t dueAt = 0;
    };
    void QueueDiscard(int64_t imageId, const std::string& clientKey);
    // Switches a PC out of super-user mode and queues the merge of its layer, in one
    // transaction: the token is never gone without the commit being recorded.
    void LeaveSuperWithMerge(int64_t clientId, int64_t imageId, const std::string& clientKey, int64_t now);
    // The PC's merges become due (its boot signal, or its removal); returns how many.
    int MarkMergesDue(int64_t clientId, int64_t now);
    void MarkMergeDue(int64_t imageId, const std::string& clientKey, int64_t now);
    void DropQueuedDiscard(int64_t imageId, const std::string& clientKey);  // any action
    std::vector<LayerAction> QueuedActions();
    std::vector<LayerAction> QueuedMerges(std::optional<int64_t> imageId);

private:
    class Stmt;
    class Tx;
    void Exec(const char* sql);
    void Migrate();

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace zelko::mgmtd
