#include "store.h"

#include <sys/stat.h>

#include <utility>

namespace zelko::mgmtd {

// A prepared statement with positional binds; resets itself when destroyed.
class Store::Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
            throw StoreError(StoreError::Failed, std::string("prepare: ") + sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt& Bind(int i, int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::string& v) {
        sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Bind(int i, const std::optional<std::string>& v) {
        if (v) return Bind(i, *v);
        sqlite3_bind_null(st_, i);
        return *this;
    }
    Stmt& Bind(int i, const std::optional<int64_t>& v) {
        if (v) return Bind(i, *v);
        sqlite3_bind_null(st_, i);
        return *this;
    }
    // True while a row is available.
    bool Step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        if (rc == SQLITE_CONSTRAINT) throw StoreError(StoreError::Conflict, sqlite3_errmsg(db_));
        throw StoreError(StoreError::Failed, sqlite3_errmsg(db_));
    }
    void Run() { Step(); }
    int64_t Int(int col) { return sqlite3_column_int64(st_, col); }
    bool IsNull(int col) { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::string Text(int col) {
        auto* p = sqlite3_column_text(st_, col);
        return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(st_, col)) : std::string();
    }
    std::optional<std::string> OptText(int col) { return IsNull(col) ? std::nullopt : std::optional(Text(col)); }
    std::optional<int64_t> OptInt(int col) { return IsNull(col) ? std::nullopt : std::optional(Int(col)); }

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock at once, so a transaction never fails half-way on a
// lock upgrade; anything not committed is rolled back.
class Store::Tx {
public:
    explicit Tx(Store& s) : s_(s) { s_.Exec("BEGIN IMMEDIATE"); }
    ~Tx() {
        if (!done_) sqlite3_exec(s_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Commit() {
        s_.Exec("COMMIT");
        done_ = true;
    }

private:
    Store& s_;
    bool done_ = false;
};

Store::Store(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(StoreError::Failed, "cannot open " + path + ": " + msg);
    }
    // Super-user tokens live here in clear (they are handed out again at every boot).
    // SQLite gives its -wal and -shm files the database's mode.
    chmod(path.c_str(), 0600);
    try {
        sqlite3_busy_timeout(db_, 5000);
        Exec("PRAGMA journal_mode=WAL");
        // FULL: a switch into super-user mode or a new token must survive a power cut once
        // answered; the traffic is far too small for this to matter.
        Exec("PRAGMA synchronous=FULL");
        Exec("PRAGMA foreign_keys=ON");
        Migrate();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Store::~Store() {
    if (db_) sqlite3_close(db_);
}

void Store::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw StoreError(StoreError::Failed, msg);
    }
}

void Store::Migrate() {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    int64_t version;
    {
        Stmt st(db_, "PRAGMA user_version");
        st.Step();
        version = st.Int(0);
    }
    if (version > kSchemaVersion)
        throw StoreError(StoreError::Failed, "database schema " + std::to_string(version) +
                                                 " is newer than this program (" + std::to_string(kSchemaVersion) +
                                                 ")");
    if (version < 1) {
        Exec(R"SQL(
CREATE TABLE users(
  id INTEGER PRIMARY KEY,
  username TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  is_admin INTEGER NOT NULL DEFAULT 0);
CREATE TABLE sessions(
  token_hash TEXT PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
  expires_at INTEGER NOT NULL);
CREATE TABLE images(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  path TEXT NOT NULL UNIQUE,
  size_bytes INTEGER NOT NULL,
  read_only INTEGER NOT NULL DEFAULT 0,
  version INTEGER NOT NULL DEFAULT 1);
CREATE TABLE clients(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  mac TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL UNIQUE,
  ip TEXT UNIQUE,
  image_id INTEGER REFERENCES images(id) ON DELETE SET NULL,
  is_super INTEGER NOT NULL DEFAULT 0,
  super_token TEXT UNIQUE,
  boot_id INTEGER NOT NULL DEFAULT 0);
CREATE TABLE upload_sessions(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  image_id INTEGER NOT NULL REFERENCES images(id) ON DELETE CASCADE,
  token_hash TEXT NOT NULL UNIQUE,
  user_id INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL,
  closed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE pending_discards(
  image_id INTEGER NOT NULL,
  client_key TEXT NOT NULL,
  PRIMARY KEY(image_id, client_key));
PRAGMA user_version=1;
)SQL");
    }
    if (version < 2) {
        // Leaving super-user mode commits the PC's layer instead of discarding it. Rows of a
        // database from before were all discards, which the default keeps them.
        Exec(R"SQL(
ALTER TABLE pending_discards ADD COLUMN action TEXT NOT NULL DEFAULT 'discard';
ALTER TABLE pending_discards ADD COLUMN client_id INTEGER;
ALTER TABLE pending_discards ADD COLUMN due INTEGER NOT NULL DEFAULT 1;
ALTER TABLE pending_discards ADD COLUMN queued_at INTEGER NOT NULL DEFAULT 0;
ALTER TABLE pending_discards ADD COLUMN due_at INTEGER NOT NULL DEFAULT 0;
PRAGMA user_version=2;
)SQL");
    }
    tx.Commit();
}

// ---- users and sessions -------------------------------------------------------------------

namespace {
User ReadUser(auto& st) {
    User u;
    u.id = st.Int(0);
    u.username = st.Text(1);
    u.passwordHash = st.Text(2);
    u.isAdmin = st.Int(3) != 0;
    return u;
}
}  // namespace

int64_t Store::CountUsers() {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "SELECT COUNT(*) FROM users");
    st.Step();
    return st.Int(0);
}

User Store::AddUser(const std::string& name, const std::string& hash, bool isAdmin) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "INSERT INTO users(username, password_hash, is_admin) VALUES(?,?,?)");
    st.Bind(1, name).Bind(2, hash).Bind(3, int64_t{isAdmin}).Run();
    return User{sqlite3_last_insert_rowid(db_), name, hash, isAdmin};
}

std::optional<User> Store::FindUser(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "SELECT id, username, password_hash, is_admin FROM users WHERE username=?");
    st.Bind(1, name);
    if (!st.Step()) return std::nullopt;
    return ReadUser(st);
}

std::vector<User> Store::ListUsers() {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "SELECT id, username, password_hash, is_admin FROM users ORDER BY id");
    std::vector<User> out;
    while (st.Step()) out.push_back(ReadUser(st));
    return out;
}

void Store::RemoveUser(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "DELETE FROM users WHERE username=?");
    st.Bind(1, name).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no user " + name);
}

void Store::SetPassword(const std::string& name, const std::string& hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    Stmt st(db_, "UPDATE users SET password_hash=? WHERE username=?");
    st.Bind(1, hash).Bind(2, name).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no user " + name);
    Stmt del(db_, "DELETE FROM sessions WHERE user_id=(SELECT id FROM users WHERE username=?)");
    del.Bind(1, name).Run();
    tx.Commit();
}

void Store::AddSession(const std::string& tokenHash, int64_t userId, int64_t expiresAt) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "INSERT INTO sessions(token_hash, user_id, expires_at) VALUES(?,?,?)");
    st.Bind(1, tokenHash).Bind(2, userId).Bind(3, expiresAt).Run();
}

std::optional<User> Store::FindSession(const std::string& tokenHash, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_,
            "SELECT u.id, u.username, u.password_hash, u.is_admin FROM sessions s "
            "JOIN users u ON u.id=s.user_id WHERE s.token_hash=? AND s.expires_at>?");
    st.Bind(1, tokenHash).Bind(2, now);
    if (!st.Step()) return std::nullopt;
    return ReadUser(st);
}

void Store::DeleteSession(const std::string& tokenHash) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "DELETE FROM sessions WHERE token_hash=?");
    st.Bind(1, tokenHash).Run();
}

void Store::PruneSessions(int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "DELETE FROM sessions WHERE expires_at<=?");
    st.Bind(1, now).Run();
    Stmt up(db_, "DELETE FROM upload_sessions WHERE expires_at<=? OR closed=1");
    up.Bind(1, now - 7 * 86400).Run();
}

// ---- images -------------------------------------------------------------------------------

namespace {
constexpr const char* kImageCols = "id, name, path, size_bytes, read_only, version";
Image ReadImage(auto& st) {
    Image im;
    im.id = st.Int(0);
    im.name = st.Text(1);
    im.path = st.Text(2);
    im.sizeBytes = static_cast<uint64_t>(st.Int(3));
    im.readOnly = st.Int(4) != 0;
    im.version = st.Int(5);
    return im;
}
}  // namespace

Image Store::AddImage(const std::string& name, const std::string& path, const std::string& defaultDir,
                      uint64_t sizeBytes, bool readOnly) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    // The default path needs the id, so insert with a unique placeholder and fix it up inside
    // the same transaction.
    std::string placeholder = path.empty() ? "\x01pending" : path;
    Stmt st(db_, "INSERT INTO images(name, path, size_bytes, read_only) VALUES(?,?,?,?)");
    st.Bind(1, name).Bind(2, placeholder).Bind(3, static_cast<int64_t>(sizeBytes)).Bind(4, int64_t{readOnly}).Run();
    int64_t id = sqlite3_last_insert_rowid(db_);
    std::string finalPath = path;
    if (path.empty()) {
        finalPath = defaultDir + "/" + std::to_string(id) + ".img";
        Stmt up(db_, "UPDATE images SET path=? WHERE id=?");
        up.Bind(1, finalPath).Bind(2, id).Run();
    }
    tx.Commit();
    return Image{id, name, finalPath, sizeBytes, readOnly, 1};
}

std::optional<Image> Store::GetImage(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, (std::string("SELECT ") + kImageCols + " FROM images WHERE id=?").c_str());
    st.Bind(1, id);
    if (!st.Step()) return std::nullopt;
    return ReadImage(st);
}

std::vector<Image> Store::ListImages(int64_t offset, int64_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, (std::string("SELECT ") + kImageCols + " FROM images ORDER BY id LIMIT ? OFFSET ?").c_str());
    st.Bind(1, limit).Bind(2, offset);
    std::vector<Image> out;
    while (st.Step()) out.push_back(ReadImage(st));
    return out;
}

int64_t Store::CountImages() {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "SELECT COUNT(*) FROM images");
    st.Step();
    return st.Int(0);
}

void Store::UpdateImage(const Image& im) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "UPDATE images SET name=?, path=?, size_bytes=?, read_only=? WHERE id=?");
    st.Bind(1, im.name)
        .Bind(2, im.path)
        .Bind(3, static_cast<int64_t>(im.sizeBytes))
        .Bind(4, int64_t{im.readOnly})
        .Bind(5, im.id)
        .Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no image " + std::to_string(im.id));
}

void Store::RemoveImage(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    // A PC in super-user mode on a vanished image keeps no token for it.
    Stmt su(db_, "UPDATE clients SET is_super=0, super_token=NULL WHERE image_id=?");
    su.Bind(1, id).Run();
    Stmt st(db_, "DELETE FROM images WHERE id=?");
    st.Bind(1, id).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no image " + std::to_string(id));
    tx.Commit();
}

int64_t Store::BumpImageVersion(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    Stmt st(db_, "UPDATE images SET version=version+1 WHERE id=?");
    st.Bind(1, id).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no image " + std::to_string(id));
    Stmt q(db_, "SELECT version FROM images WHERE id=?");
    q.Bind(1, id).Step();
    int64_t v = q.Int(0);
    tx.Commit();
    return v;
}

// ---- clients ------------------------------------------------------------------------------

namespace {
constexpr const char* kClientCols = "id, mac, name, ip, image_id, is_super, super_token, boot_id";
Client ReadClient(auto& st) {
    Client c;
    c.id = st.Int(0);
    c.mac = st.Text(1);
    c.name = st.Text(2);
    c.ip = st.OptText(3);
    c.imageId = st.OptInt(4);
    c.isSuper = st.Int(5) != 0;
    c.superToken = st.Text(6);
    c.bootId = st.Int(7);
    return c;
}
}  // namespace

Client Store::AddClient(const Client& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "INSERT INTO clients(mac, name, ip, image_id) VALUES(?,?,?,?)");
    st.Bind(1, c.mac).Bind(2, c.name).Bind(3, c.ip).Bind(4, c.imageId).Run();
    Client out = c;
    out.id = sqlite3_last_insert_rowid(db_);
    out.isSuper = false;
    out.superToken.clear();
    out.bootId = 0;
    return out;
}

#define ZELKO_CLIENT_QUERY(fn, where, T)                                                             \
    std::optional<Client> Store::fn(T key) {                                                         \
        std::lock_guard<std::mutex> lock(mutex_);                                                    \
        Stmt st(db_, (std::string("SELECT ") + kClientCols + " FROM clients WHERE " where).c_str()); \
        st.Bind(1, key);                                                                             \
        if (!st.Step()) return std::nullopt;                                                         \
        return ReadClient(st);                                                                       \
    }
ZELKO_CLIENT_QUERY(GetClient, "id=?", int64_t)
ZELKO_CLIENT_QUERY(FindClientByMac, "mac=?", const std::string&)
ZELKO_CLIENT_QUERY(FindClientByIp, "ip=?", const std::string&)
ZELKO_CLIENT_QUERY(FindClientByName, "name=?", const std::string&)
ZELKO_CLIENT_QUERY(FindClientBySuperToken, "super_token=? AND is_super=1", const std::string&)
#undef ZELKO_CLIENT_QUERY

std::vector<Client> Store::ListClients(int64_t offset, int64_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, (std::string("SELECT ") + kClientCols + " FROM clients ORDER BY id LIMIT ? OFFSET ?").c_str());
    st.Bind(1, limit).Bind(2, offset);
    std::vector<Client> out;
    while (st.Step()) out.push_back(ReadClient(st));
    return out;
}

int64_t Store::CountClients() {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "SELECT COUNT(*) FROM clients");
    st.Step();
    return st.Int(0);
}

void Store::UpdateClient(const Client& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "UPDATE clients SET mac=?, name=?, ip=?, image_id=? WHERE id=?");
    st.Bind(1, c.mac).Bind(2, c.name).Bind(3, c.ip).Bind(4, c.imageId).Bind(5, c.id).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no client " + std::to_string(c.id));
}

void Store::RemoveClient(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "DELETE FROM clients WHERE id=?");
    st.Bind(1, id).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no client " + std::to_string(id));
}

void Store::SetSuper(int64_t id, bool on, const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "UPDATE clients SET is_super=?, super_token=? WHERE id=?");
    st.Bind(1, int64_t{on}).Bind(2, on ? std::optional<std::string>(token) : std::nullopt).Bind(3, id).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no client " + std::to_string(id));
}

int64_t Store::RaiseBootId(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    Stmt st(db_, "UPDATE clients SET boot_id=boot_id+1 WHERE id=?");
    st.Bind(1, id).Run();
    Stmt q(db_, "SELECT boot_id FROM clients WHERE id=?");
    q.Bind(1, id);
    int64_t v = q.Step() ? q.Int(0) : 0;
    tx.Commit();
    return v;
}

std::vector<Client> Store::SuperClientsOnImage(int64_t imageId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(
        db_,
        (std::string("SELECT ") + kClientCols + " FROM clients WHERE is_super=1 AND image_id=? ORDER BY id").c_str());
    st.Bind(1, imageId);
    std::vector<Client> out;
    while (st.Step()) out.push_back(ReadClient(st));
    return out;
}

// ---- upload sessions ----------------------------------------------------------------------

UploadSession Store::AddUpload(int64_t imageId, const std::string& tokenHash, int64_t userId, int64_t now,
                               int64_t expiresAt, std::vector<UploadSession>* closed) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    {
        Stmt q(db_,
               "SELECT id, image_id, user_id, created_at, expires_at FROM upload_sessions "
               "WHERE image_id=? AND closed=0");
        q.Bind(1, imageId);
        while (q.Step())
            if (closed) closed->push_back(UploadSession{q.Int(0), q.Int(1), q.Int(2), q.Int(3), q.Int(4)});
    }
    Stmt c(db_, "UPDATE upload_sessions SET closed=1 WHERE image_id=? AND closed=0");
    c.Bind(1, imageId).Run();
    Stmt st(db_,
            "INSERT INTO upload_sessions(image_id, token_hash, user_id, created_at, expires_at) VALUES(?,?,?,?,?)");
    st.Bind(1, imageId).Bind(2, tokenHash).Bind(3, userId).Bind(4, now).Bind(5, expiresAt).Run();
    UploadSession u{sqlite3_last_insert_rowid(db_), imageId, userId, now, expiresAt};
    tx.Commit();
    return u;
}

std::optional<UploadSession> Store::FindUpload(const std::string& tokenHash, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_,
            "SELECT id, image_id, user_id, created_at, expires_at FROM upload_sessions "
            "WHERE token_hash=? AND closed=0 AND expires_at>?");
    st.Bind(1, tokenHash).Bind(2, now);
    if (!st.Step()) return std::nullopt;
    return UploadSession{st.Int(0), st.Int(1), st.Int(2), st.Int(3), st.Int(4)};
}

std::vector<UploadSession> Store::OpenUploads(int64_t now, std::optional<int64_t> imageId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_,
            "SELECT id, image_id, user_id, created_at, expires_at FROM upload_sessions "
            "WHERE closed=0 AND expires_at>? AND (? IS NULL OR image_id=?) ORDER BY id");
    st.Bind(1, now).Bind(2, imageId).Bind(3, imageId);
    std::vector<UploadSession> out;
    while (st.Step()) out.push_back(UploadSession{st.Int(0), st.Int(1), st.Int(2), st.Int(3), st.Int(4)});
    return out;
}

std::optional<UploadSession> Store::CloseUpload(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    Stmt q(db_, "SELECT id, image_id, user_id, created_at, expires_at FROM upload_sessions WHERE id=? AND closed=0");
    q.Bind(1, id);
    if (!q.Step()) return std::nullopt;
    UploadSession u{q.Int(0), q.Int(1), q.Int(2), q.Int(3), q.Int(4)};
    Stmt st(db_, "UPDATE upload_sessions SET closed=1 WHERE id=?");
    st.Bind(1, id).Run();
    tx.Commit();
    return u;
}

// ---- what the disk server is to do with layers ------------------------------------------

void Store::QueueDiscard(int64_t imageId, const std::string& clientKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A discard replaces whatever else was queued for the layer.
    Stmt st(db_,
            "INSERT OR REPLACE INTO pending_discards(image_id, client_key, action, client_id, due, queued_at, due_at) "
            "VALUES(?,?,'discard',NULL,1,strftime('%s','now'),strftime('%s','now'))");
    st.Bind(1, imageId).Bind(2, clientKey).Run();
}

void Store::LeaveSuperWithMerge(int64_t clientId, int64_t imageId, const std::string& clientKey, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Tx tx(*this);
    Stmt st(db_, "UPDATE clients SET is_super=0, super_token=NULL WHERE id=?");
    st.Bind(1, clientId).Run();
    if (sqlite3_changes(db_) == 0) throw StoreError(StoreError::NotFound, "no client " + std::to_string(clientId));
    Stmt q(db_,
           "INSERT OR REPLACE INTO pending_discards(image_id, client_key, action, client_id, due, queued_at, due_at) "
           "VALUES(?,?,'merge',?,0,?,0)");
    q.Bind(1, imageId).Bind(2, clientKey).Bind(3, clientId).Bind(4, now).Run();
    tx.Commit();
}

int Store::MarkMergesDue(int64_t clientId, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "UPDATE pending_discards SET due=1, due_at=? WHERE action='merge' AND due=0 AND client_id=?");
    st.Bind(1, now).Bind(2, clientId).Run();
    return sqlite3_changes(db_);
}

void Store::MarkMergeDue(int64_t imageId, const std::string& clientKey, int64_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(
        db_,
        "UPDATE pending_discards SET due=1, due_at=? WHERE action='merge' AND due=0 AND image_id=? AND client_key=?");
    st.Bind(1, now).Bind(2, imageId).Bind(3, clientKey).Run();
}

void Store::DropQueuedDiscard(int64_t imageId, const std::string& clientKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, "DELETE FROM pending_discards WHERE image_id=? AND client_key=?");
    st.Bind(1, imageId).Bind(2, clientKey).Run();
}

namespace {
constexpr const char* kActionCols = "image_id, client_key, action, client_id, due, queued_at, due_at";
Store::LayerAction ReadAction(auto& st) {
    Store::LayerAction a;
    a.imageId = st.Int(0);
    a.clientKey = st.Text(1);
    a.action = st.Text(2);
    a.clientId = st.OptInt(3);
    a.due = st.Int(4) != 0;
    a.queuedAt = st.Int(5);
    a.dueAt = st.Int(6);
    return a;
}
}  // namespace

std::vector<Store::LayerAction> Store::QueuedActions() {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, (std::string("SELECT ") + kActionCols + " FROM pending_discards ORDER BY rowid").c_str());
    std::vector<LayerAction> out;
    while (st.Step()) out.push_back(ReadAction(st));
    return out;
}

std::vector<Store::LayerAction> Store::QueuedMerges(std::optional<int64_t> imageId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt st(db_, (std::string("SELECT ") + kActionCols +
                  " FROM pending_discards WHERE action='merge' AND (? IS NULL OR image_id=?) ORDER BY rowid")
                     .c_str());
    st.Bind(1, imageId).Bind(2, imageId);
    std::vector<LayerAction> out;
    while (st.Step()) out.push_back(ReadAction(st));
    return out;
}

}  // namespace zelko::mgmtd
