#include "service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "auth.h"
#include "util.h"
#include "zelko_common/link.h"
#include "zelko_common/prepare_disk.h"
#include "zelko_common/random.h"

namespace zelko::mgmtd {
namespace {

constexpr uint64_t kMinImageBytes = 1ull << 20;
constexpr uint64_t kMaxImageBytes = 64ull << 40;

void CheckImageSize(uint64_t size) {
    if (size < kMinImageBytes || size > kMaxImageBytes || size % 512 != 0)
        throw ServiceError(400, "镜像大小必须是 512 的整数倍，且在 1 MiB 到 64 TiB 之间");
}

void CheckPath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.size() > 1024 ||
        path.find_first_of(std::string("\0\n\r", 3)) != std::string::npos)
        throw ServiceError(400, "镜像文件路径必须是绝对路径");
}

// A new image file is sparse: 50 GiB of nothing costs no disk space until written. Group
// read-write: in the installed package the disk server runs as a user of its own in the shared
// group and merges super-user layers into the image (the umask decides what is left of it).
void CreateSparseFile(const std::string& path, uint64_t size) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0) throw ServiceError(500, "无法创建镜像文件 " + path + ": " + std::strerror(errno));
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0 && fsync(fd) == 0;
    int err = errno;
    close(fd);
    if (!ok) {
        unlink(path.c_str());
        throw ServiceError(500, "无法创建镜像文件 " + path + ": " + std::strerror(err));
    }
}

std::string StoreConflictText(const StoreError& e, const char* what) {
    std::string m = e.what();
    if (m.find("mac") != std::string::npos) return "MAC 地址已被其他客户机使用";
    if (m.find("ip") != std::string::npos) return "IP 地址已被其他客户机使用";
    if (m.find("path") != std::string::npos) return "该镜像文件已被其他镜像使用";
    if (m.find("username") != std::string::npos) return "用户名已存在";
    return std::string(what) + "名称已被使用";
}

}  // namespace

std::shared_ptr<std::mutex> Service::ImageLock(int64_t imageId) {
    std::lock_guard<std::mutex> lock(locksMutex_);
    auto& m = imageLocks_[imageId];
    if (!m) m = std::make_shared<std::mutex>();
    return m;
}

// ---- users --------------------------------------------------------------------------------

User Service::AddUser(const std::string& name, const std::string& password, bool isAdmin) {
    if (!ValidName(name)) throw ServiceError(400, "用户名必须是 1 到 64 字节的可见字符");
    if (password.size() < 8 || password.size() > 1024) throw ServiceError(400, "密码长度必须在 8 到 1024 字节之间");
    try {
        return store_.AddUser(name, HashPassword(password), isAdmin);
    } catch (const StoreError& e) {
        if (e.kind == StoreError::Conflict) throw ServiceError(409, "用户名已存在");
        throw;
    }
}

void Service::SetPassword(const std::string& name, const std::string& password) {
    if (password.size() < 8 || password.size() > 1024) throw ServiceError(400, "密码长度必须在 8 到 1024 字节之间");
    try {
        store_.SetPassword(name, HashPassword(password));
    } catch (const StoreError& e) {
        if (e.kind == StoreError::NotFound) throw ServiceError(404, "用户不存在");
        throw;
    }
}

void Service::RemoveUser(const std::string& name) {
    auto users = store_.ListUsers();
    int admins = 0;
    bool target = false, targetAdmin = false;
    for (auto& u : users) {
        admins += u.isAdmin;
        if (u.username == name) target = true, targetAdmin = u.isAdmin;
    }
    if (!target) throw ServiceError(404, "用户不存在");
    if (targetAdmin && admins == 1) throw ServiceError(409, "不能删除最后一个管理员");
    store_.RemoveUser(name);
}

// ---- images -------------------------------------------------------------------------------

Image Service::GetImage(int64_t id) {
    auto im = store_.GetImage(id);
    if (!im) throw ServiceError(404, "镜像不存在");
    return *im;
}

Image Service::AddImage(const std::string& name, uint64_t sizeBytes, const std::string& path, bool readOnly,
                        bool create) {
    if (!ValidName(name)) throw ServiceError(400, "镜像名称必须是 1 到 64 字节的可见字符");
    if (!path.empty()) CheckPath(path);
    struct stat st {};
    bool exists = !path.empty() && stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) throw ServiceError(400, path + " 不是普通文件");
    if (sizeBytes == 0) {
        if (!exists) throw ServiceError(400, "需要给出镜像大小");
        sizeBytes = static_cast<uint64_t>(st.st_size);
    } else if (exists && static_cast<uint64_t>(st.st_size) != sizeBytes) {
        throw ServiceError(409, "镜像文件已存在，大小为 " + std::to_string(st.st_size) + " 字节");
    }
    CheckImageSize(sizeBytes);
    Image im;
    try {
        im = store_.AddImage(name, path, config_.ImageDir(), sizeBytes, readOnly);
    } catch (const StoreError& e) {
        if (e.kind == StoreError::Conflict) throw ServiceError(409, StoreConflictText(e, "镜像"));
        throw;
    }
    if (create && access(im.path.c_str(), F_OK) != 0) {
        try {
            CreateSparseFile(im.path, sizeBytes);
        } catch (...) {
            store_.RemoveImage(im.id);
            throw;
        }
    }
    LogInfo("image " + std::to_string(im.id) + " \"" + im.name + "\" added: " + im.path + ", " +
            std::to_string(im.sizeBytes) + " bytes" + (im.readOnly ? ", read-only" : ""));
    NotifyImagesChanged();
    return im;
}

Image Service::UpdateImage(int64_t id, const ImagePatch& patch) {
    auto lock = ImageLock(id);
    std::lock_guard<std::mutex> hold(*lock);
    Image im = GetImage(id);
    if (patch.name) {
        if (!ValidName(*patch.name)) throw ServiceError(400, "镜像名称必须是 1 到 64 字节的可见字符");
        im.name = *patch.name;
    }
    if (patch.path) {
        CheckPath(*patch.path);
        im.path = *patch.path;
    }
    if (patch.sizeBytes) {
        CheckImageSize(*patch.sizeBytes);
        im.sizeBytes = *patch.sizeBytes;
    }
    if (patch.readOnly) {
        if (*patch.readOnly && !store_.SuperClientsOnImage(id).empty())
            throw ServiceError(409, "有客户机在该镜像上处于超级用户模式，不能设为只读");
        if (*patch.readOnly && diskd_.Configured() && !store_.QueuedMerges(id).empty())
            throw ServiceError(409, "超级用户模式下的修改尚未合并到该镜像，暂不能设为只读");
        im.readOnly = *patch.readOnly;
    }
    try {
        store_.UpdateImage(im);
    } catch (const StoreError& e) {
        if (e.kind == StoreError::Conflict) throw ServiceError(409, StoreConflictText(e, "镜像"));
        throw;
    }
    NotifyImagesChanged();
    return im;
}

void Service::RemoveImage(int64_t id) {
    auto lock = ImageLock(id);
    std::lock_guard<std::mutex> hold(*lock);
    GetImage(id);
    if (!store_.SuperClientsOnImage(id).empty())
        throw ServiceError(409, "有客户机在该镜像上处于超级用户模式，请先退出超级用户模式");
    if (!store_.OpenUploads(NowSeconds(), id).empty()) throw ServiceError(409, "该镜像有未结束的上传会话");
    if (diskd_.Configured() && !store_.QueuedMerges(id).empty())
        throw ServiceError(409, "超级用户模式下的修改尚未合并到该镜像，请等待客户机重启后再删除");
    store_.RemoveImage(id);
    LogInfo("image " + std::to_string(id) + " removed (its file is kept)");
    NotifyImagesChanged();
}

void Service::NotifyImagesChanged() {
    if (!diskd_.Configured()) return;
    auto r = diskd_.Reload();
    if (r.status != 200) LogWarn("disk server reload failed: " + r.Message());
}

// ---- clients ------------------------------------------------------------------------------

Client Service::GetClient(int64_t id) {
    auto c = store_.GetClient(id);
    if (!c) throw ServiceError(404, "客户机不存在");
    return *c;
}

Client Service::AddClient(const std::string& mac, const std::string& name, const std::optional<std::string>& ip,
                          std::optional<int64_t> imageId) {
    Client c;
    auto m = NormalizeMac(mac);
    if (!m) throw ServiceError(400, "MAC 地址格式无效");
    c.mac = *m;
    if (!ValidName(name)) throw ServiceError(400, "客户机名称必须是 1 到 64 字节的可见字符");
    c.name = name;
    if (ip) {
        auto n = NormalizeIpv4(*ip);
        if (!n) throw ServiceError(400, "IP 地址格式无效");
        c.ip = *n;
    }
    if (imageId) {
        GetImage(*imageId);
        c.imageId = imageId;
    }
    try {
        c = store_.AddClient(c);
    } catch (const StoreError& e) {
        if (e.kind == StoreError::Conflict) throw ServiceError(409, StoreConflictText(e, "客户机"));
        throw;
    }
    LogInfo("client " + std::to_string(c.id) + " \"" + c.name + "\" added: " + DisplayMac(c.mac));
    return c;
}

Client Service::UpdateClient(int64_t id, const ClientPatch& patch) {
    Client c = GetClient(id);
    if (patch.mac) {
        auto m = NormalizeMac(*patch.mac);
        if (!m) throw ServiceError(400, "MAC 地址格式无效");
        c.mac = *m;
    }
    if (patch.name) {
        if (!ValidName(*patch.name)) throw ServiceError(400, "客户机名称必须是 1 到 64 字节的可见字符");
        c.name = *patch.name;
    }
    if (patch.ip) {
        if (*patch.ip) {
            auto n = NormalizeIpv4(**patch.ip);
            if (!n) throw ServiceError(400, "IP 地址格式无效");
            c.ip = *n;
        } else {
            if (c.isSuper) throw ServiceError(409, "客户机处于超级用户模式，不能删除其 IP 地址");
            c.ip.reset();
        }
    }
    if (patch.imageId && *patch.imageId != c.imageId) {
        if (c.isSuper) throw ServiceError(409, "客户机处于超级用户模式，请先退出超级用户模式再更换镜像");
        if (*patch.imageId) GetImage(**patch.imageId);
        c.imageId = *patch.imageId;
    }
    try {
        store_.UpdateClient(c);
    } catch (const StoreError& e) {
        if (e.kind == StoreError::Conflict) throw ServiceError(409, StoreConflictText(e, "客户机"));
        if (e.kind == StoreError::NotFound) throw ServiceError(404, "客户机不存在");
        throw;
    }
    return c;
}

void Service::RemoveClient(int64_t id) {
    Client c = GetClient(id);
    store_.RemoveClient(id);
    if (c.isSuper && c.imageId) DiscardLayer(*c.imageId, ClientKey(c.id));
    // A layer the PC left behind when it was switched out stays committed: that was the
    // operator's word. No boot signal of this PC can come any more, so it is due now (the
    // disk server still refuses while a session is attached to it).
    if (store_.MarkMergesDue(id, NowSeconds()) > 0) WakeFlush();
    LogInfo("client " + std::to_string(id) + " removed");
}

void Service::DiscardLayer(int64_t imageId, const std::string& clientKey) {
    store_.QueueDiscard(imageId, clientKey);
    // In the server the housekeeping thread sends it: a merge that is running there (it may
    // take minutes) must not hold up the request that queued this.
    if (waker_)
        WakeFlush();
    else if (online_)
        FlushLayerActions();
}

void Service::WakeFlush() {
    if (waker_) waker_();
}

void Service::OnBoot(int64_t clientId) {
    int n = store_.MarkMergesDue(clientId, NowSeconds());
    if (n == 0) return;
    LogInfo("client " + std::to_string(clientId) + " booted: its super-user layer is merged now");
    WakeFlush();
}

void Service::CommitLayer(int64_t clientId) {
    Client c = GetClient(clientId);
    if (c.isSuper) c = SetSuper(clientId, false);
    if (store_.MarkMergesDue(clientId, NowSeconds()) == 0)
        throw ServiceError(404, "该客户机没有待提交的超级用户层");
    LogInfo("client " + std::to_string(clientId) + ": commit of its super-user layer requested from the console");
    WakeFlush();
}

void Service::DiscardClientLayer(int64_t clientId) {
    Client c = GetClient(clientId);
    std::vector<Store::LayerAction> merges;
    for (auto& a : store_.QueuedMerges(std::nullopt))
        if (a.clientId == clientId) merges.push_back(a);
    if (!c.isSuper && merges.empty()) throw ServiceError(404, "该客户机没有可丢弃的超级用户层");
    // The token goes first, so the PC can write no more into the layer being thrown away.
    if (c.isSuper) {
        store_.SetSuper(clientId, false, "");
        if (c.imageId) DiscardLayer(*c.imageId, ClientKey(clientId));
    }
    for (auto& a : merges) DiscardLayer(a.imageId, a.clientKey);  // replaces the queued merge
    LogInfo("client " + std::to_string(clientId) + ": its super-user layer is discarded (console)");
}

void Service::NoteHandshake(int64_t clientId, const std::string& peer, bool superUser) {
    std::lock_guard<std::mutex> lk(seenMutex_);
    seen_[clientId] = Seen{NowSeconds(), peer, superUser};
}

std::map<int64_t, Service::Seen> Service::LastHandshakes() {
    std::lock_guard<std::mutex> lk(seenMutex_);
    return seen_;
}

bool Service::MergeHoldsBoot(int64_t clientId) {
    if (!diskd_.Configured()) return false;  // nobody here could send the merge
    int64_t now = NowSeconds();
    for (auto& a : store_.QueuedMerges(std::nullopt))
        if (a.clientId == clientId && a.due && now - a.dueAt < kMergeHoldSeconds) return true;
    return false;
}

bool Service::FlushMerge(const Store::LayerAction& a) {
    std::string iqn = common::ImageIqn(a.imageId);
    std::string what = "layer " + a.clientKey + " of image " + std::to_string(a.imageId);
    if (!store_.GetImage(a.imageId)) {
        // Removed where no disk server was configured (the admin command line without one):
        // the disk server stops serving it and keeps its files; nothing can be merged.
        LogWarn(what + " cannot be merged: the image no longer exists");
        return true;
    }
    // The disk server's view of the layer first: a layer it does not hold has nothing to
    // merge, and one without a session for long enough is merged even without a boot signal
    // (the PC may boot without asking us, or never come back).
    DiskdLink::Reply st = diskd_.ImageInfo(iqn);
    if (st.status != 200 || !st.body.is_object() || !st.body.contains("superLayers") ||
        !st.body["superLayers"].is_array()) {
        // 404 included: a disk server that has just started may not know the image yet.
        LogWarn("cannot see " + what + " on the disk server (will retry): " + st.Message());
        return false;
    }
    const nlohmann::json* layer = nullptr;
    for (auto& l : st.body["superLayers"])
        if (l.is_object() && l.value("clientKey", std::string()) == a.clientKey) layer = &l;
    if (!layer) {
        LogInfo(what + " is not on the disk server: nothing to merge");
        return true;
    }
    int64_t sessions = layer->value("sessions", int64_t{0});
    int64_t idle = layer->value("idleSeconds", int64_t{0});
    if (!a.due) {
        if (sessions > 0 || idle < config_.superMergeQuiet) return false;
        LogInfo(what + " has had no connection for " + std::to_string(idle) + " s: merging it without a boot signal");
        store_.MarkMergeDue(a.imageId, a.clientKey, NowSeconds());
    }
    DiskdLink::Reply r = diskd_.MergeLayer(iqn, a.clientKey);
    if (r.status == 200 && r.Code() == 0) {
        LogInfo("disk server merged " + what + ": " + std::to_string(r.body.value("blocks", int64_t{0})) +
                " blocks, image version " + std::to_string(r.body.value("version", int64_t{0})));
        return true;
    }
    // 409: the PC is still connected on the layer (or a merge of it is running); 404 after a
    // successful look: gone meanwhile, which the next look confirms.
    LogWarn("disk server did not merge " + what + " (will retry): " + r.Message());
    return false;
}

void Service::FlushLayerActions() {
    if (!diskd_.Configured()) return;
    std::lock_guard<std::mutex> lock(flushMutex_);
    for (auto& a : store_.QueuedActions()) {
        // One action that fails in an unforeseen way must not hold up the others queued behind
        // it: they are independent, and this runs again in a few seconds.
        try {
            FlushAction(a);
        } catch (const std::exception& e) {
#ifdef ZELKO_FUZZING
            throw;  // the fuzz targets must see what the server would log and survive
#endif
            LogWarn("layer " + a.clientKey + " of image " + std::to_string(a.imageId) + ": " + a.action +
                    " failed (will retry): " + e.what());
        }
    }
}

void Service::FlushAction(const Store::LayerAction& a) {
    if (a.action == "merge") {
        if (FlushMerge(a)) store_.DropQueuedDiscard(a.imageId, a.clientKey);
        return;
    }
    auto r = diskd_.DiscardLayer(common::ImageIqn(a.imageId), a.clientKey);
    // 404: the disk server has no such layer (or image) — nothing left to throw away.
    if (r.status == 200 || r.status == 404) {
        store_.DropQueuedDiscard(a.imageId, a.clientKey);
        if (r.status == 200)
            LogInfo("disk server discarded layer " + a.clientKey + " of image " + std::to_string(a.imageId));
    } else {
        LogWarn("disk server did not discard layer " + a.clientKey + " of image " + std::to_string(a.imageId) +
                " (will retry): " + r.Message());
    }
}

Client Service::SetSuper(int64_t id, bool on) {
    Client c = GetClient(id);
    if (!on) {
        if (!c.isSuper) return c;
        // What the operator installed in super-user mode lives in the PC's layer (nothing
        // sends the driver's ExitSuperUser in this flow), so leaving the mode commits it. Not
        // now: the PC restarts a few seconds after the switch and flushes its file system on
        // the way down. The merge waits for its next boot signal (or a quiet layer).
        if (c.imageId) {
            store_.LeaveSuperWithMerge(id, *c.imageId, ClientKey(c.id), NowSeconds());
            LogInfo("client " + std::to_string(id) + " left super-user mode; its layer is merged into image " +
                    std::to_string(*c.imageId) + " at its next boot");
        } else {
            store_.SetSuper(id, false, "");
            LogInfo("client " + std::to_string(id) + " left super-user mode");
        }
        c.isSuper = false;
        c.superToken.clear();
        return c;
    }
    if (!c.imageId) throw ServiceError(409, "客户机未分配镜像，不能进入超级用户模式");
    if (!c.ip) throw ServiceError(409, "客户机未登记 IP 地址，超级用户令牌只下发给登记的地址");
    auto lock = ImageLock(*c.imageId);
    std::lock_guard<std::mutex> hold(*lock);
    Image im = GetImage(*c.imageId);
    if (im.readOnly) throw ServiceError(409, "镜像为只读，不能进入超级用户模式");
    if (c.isSuper) return c;  // keep the token the driver may already hold
    // An old layer of this PC still waiting to be thrown away would otherwise be discarded
    // under the new session's feet; one waiting to be merged is simply worked on further.
    store_.DropQueuedDiscard(im.id, ClientKey(id));
    // 48 hex characters: well inside the 63 the driver keeps.
    std::string token = common::RandomHexToken(24);
    store_.SetSuper(id, true, token);
    LogInfo("client " + std::to_string(id) + " entered super-user mode on image " + std::to_string(im.id));
    c.isSuper = true;
    c.superToken = token;
    return c;
}

// ---- prepare-disk and upload sessions -------------------------------------------------------

int64_t Service::PrepareDisk(int64_t imageId) {
    auto lock = ImageLock(imageId);
    std::lock_guard<std::mutex> hold(*lock);
    Image im = GetImage(imageId);
    auto supers = store_.SuperClientsOnImage(imageId);
    if (!supers.empty())
        throw ServiceError(
            15, "客户机 " + supers[0].name + " 正在该镜像上使用超级用户模式，请先退出超级用户模式再初始化磁盘");
    auto uploads = store_.OpenUploads(NowSeconds(), imageId);
    if (!uploads.empty())
        throw ServiceError(15, "该镜像有未结束的上传会话（#" + std::to_string(uploads[0].id) +
                                   "），请等待上传结束或关闭会话后再初始化磁盘");
    if (im.readOnly) throw ServiceError(409, "镜像为只读，不能初始化");
    FlushLayerActions();  // layers of ended uploads and super-user sessions must be gone first
    std::string iqn = common::ImageIqn(imageId);
    if (!diskd_.Configured()) {
        common::PrepareDiskOptions opt;
        opt.sizeBytes = im.sizeBytes;
        std::string error;
        if (!common::PrepareNtfsDisk(im.path, opt, nullptr, &error)) {
            LogError("prepare-disk of image " + std::to_string(imageId) + " failed: " + error);
            throw ServiceError(5, "初始化磁盘失败: " + error);
        }
        int64_t v = store_.BumpImageVersion(imageId);
        LogInfo("image " + std::to_string(imageId) + " prepared (MBR + NTFS), version " + std::to_string(v));
        return v;
    }
    if (!store_.QueuedMerges(imageId).empty())
        throw ServiceError(15,
                           "客户机退出超级用户模式后留下的修改尚未合并到该镜像（等待客户机重启），请稍后再初始化磁盘");
    DiskdLink::Reply r = diskd_.PrepareDisk(iqn);
    // A disk server that has not polled since the image was added does not know it yet.
    for (int attempt = 0; r.status == 404 && attempt < 3; ++attempt) {
        diskd_.Reload();
        std::this_thread::sleep_for(std::chrono::milliseconds(500 * (attempt + 1)));
        r = diskd_.PrepareDisk(iqn);
    }
    if (r.status == 200 && r.Code() == 0 && r.body.contains("version") && r.body["version"].is_number_integer()) {
        int64_t v = r.body["version"].get<int64_t>();
        LogInfo("image " + std::to_string(imageId) + " prepared by the disk server, version " + std::to_string(v));
        return v;
    }
    if (r.status == 0) throw ServiceError(502, "无法连接磁盘服务器: " + r.error);
    if (r.status == 409) throw ServiceError(15, "磁盘服务器拒绝初始化: " + r.Message());
    if (r.status == 404) throw ServiceError(404, "磁盘服务器不认识该镜像: " + r.Message());
    LogError("disk server prepare-disk of image " + std::to_string(imageId) + " failed: " + r.Message());
    throw ServiceError(5, "磁盘服务器初始化磁盘失败: " + r.Message());
}

Service::NewUpload Service::OpenUpload(int64_t imageId, int64_t userId) {
    auto lock = ImageLock(imageId);
    std::lock_guard<std::mutex> hold(*lock);
    Image im = GetImage(imageId);
    if (im.readOnly) throw ServiceError(409, "镜像为只读，不能上传");
    NewUpload out;
    out.image = im;
    out.token = common::RandomHexToken(24);
    int64_t now = NowSeconds();
    std::vector<UploadSession> closed;
    out.session = store_.AddUpload(imageId, Sha256Hex(out.token), userId, now, now + config_.uploadTtl, &closed);
    for (auto& old : closed) {
        // The client program starts every upload from scratch; what an earlier, unfinished
        // upload wrote is of no use and would only block prepare-disk.
        LogInfo("upload session " + std::to_string(old.id) + " replaced by " + std::to_string(out.session.id));
        DiscardLayer(old.imageId, UploadKey(old.id));
    }
    LogInfo("upload session " + std::to_string(out.session.id) + " opened for image " + std::to_string(imageId));
    return out;
}

void Service::CloseUpload(int64_t id) {
    auto closed = store_.CloseUpload(id);
    if (!closed) throw ServiceError(404, "上传会话不存在或已结束");
    LogInfo("upload session " + std::to_string(id) + " closed");
    // A finished upload's layer was merged by ExitSuperUser and is gone already; an abandoned
    // one is thrown away.
    DiscardLayer(closed->imageId, UploadKey(id));
}

}  // namespace zelko::mgmtd
