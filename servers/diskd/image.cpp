#include "image.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "ZelkoWire.h"
#include "log.h"

#ifdef ZELKO_HAVE_PREPARE_DISK
#include "zelko_common/prepare_disk.h"
#endif

namespace zelko::diskd {

using nlohmann::json;
namespace wire = zelko::wire;

namespace {

int64_t NowUnix() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    return false;
}

std::vector<std::string> ListDir(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(n.substr(0, n.size() - suffix.size()));
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

const char* KindDir(OverlayKind k) { return k == OverlayKind::Super ? "super" : "normal"; }

}  // namespace

std::string EncodeName(const std::string& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (isalnum(c) || c == '.' || c == '_' || c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (out.empty()) out = "%00";
    // File names are limited to 255 bytes; a long, escaped key keeps a readable prefix and a
    // hash of the whole key (the metadata file holds the key itself).
    if (out.size() > 160) {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
        char tail[24];
        snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
        out = out.substr(0, 120) + tail;
    }
    return out;
}

std::string DecodeName(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size()) {
            int v = std::stoi(name.substr(i + 1, 2), nullptr, 16);
            if (v) out.push_back(static_cast<char>(v));
            i += 2;
        } else {
            out.push_back(name[i]);
        }
    }
    return out;
}

bool MergeHook::Parse(const std::string& text) {
    if (text.empty()) return true;
    auto colon = text.find(':');
    phase = text.substr(0, colon);
    if (colon != std::string::npos) after = std::stoull(text.substr(colon + 1));
    return phase == "snapshot" || phase == "apply" || phase == "synced" || phase == "versioned";
}

void Image::PauseIf(const char* phase, uint64_t count) {
    if (hook_.phase != phase || count < hook_.after) return;
    ZLOG(Warn, "merge", "test hook: merge paused phase=%s count=%llu iqn=%s", phase,
         static_cast<unsigned long long>(count), entry_.iqn.c_str());
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(3600));
}

std::string Image::OverlayStem(OverlayKind kind, const std::string& key) const {
    return stateDir_ + "/" + KindDir(kind) + "/" + EncodeName(key);
}

std::shared_ptr<Image> Image::Open(const ImageEntry& entry, const std::string& stateDir,
                                   const MergeHook& hook, std::string* error) {
    std::shared_ptr<Image> img(new Image());
    img->entry_ = entry;
    img->stateDir_ = stateDir;
    img->hook_ = hook;
    img->readOnly_ = entry.readOnly;
    if (!MakeDir(stateDir) || !MakeDir(stateDir + "/super") || !MakeDir(stateDir + "/normal") ||
        !MakeDir(stateDir + "/snap")) {
        *error = "cannot create state directory " + stateDir + ": " + strerror(errno);
        return nullptr;
    }
    int fd = open(entry.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open(entry.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && entry.sizeBytes > 0) {
        // A new image announced with a size: start with a sparse, all-zero file.
        fd = open(entry.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0 && ftruncate(fd, static_cast<off_t>(entry.sizeBytes)) != 0) {
            close(fd);
            fd = -1;
        }
        if (fd >= 0) ZLOG(Info, "image", "created sparse image file path=%s size=%llu", entry.path.c_str(),
                          static_cast<unsigned long long>(entry.sizeBytes));
    }
    if (fd < 0) {
        *error = "cannot open image " + entry.path + ": " + strerror(errno);
        return nullptr;
    }
    struct stat st;
    fstat(fd, &st);
    img->baseFd_ = fd;
    img->size_ = entry.sizeBytes ? entry.sizeBytes : static_cast<uint64_t>(st.st_size);
    if (img->size_ == 0) {
        *error = "image " + entry.path + " is empty";
        return nullptr;
    }
    if (!img->Recover(error)) return nullptr;
    img->MapBaseLocked();
    return img;
}

Image::~Image() {
    UnmapBaseLocked();
    if (baseFd_ >= 0) close(baseFd_);
}

void Image::MapBaseLocked() {
    UnmapBaseLocked();
    struct stat st;
    if (fstat(baseFd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
    size_t len = static_cast<size_t>(std::min<uint64_t>(size_, static_cast<uint64_t>(st.st_size)));
    if (len == 0) return;
    void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, baseFd_, 0);
    if (p == MAP_FAILED) {
        ZLOG(Warn, "image", "cannot map image iqn=%s (reads take pread): %s", entry_.iqn.c_str(), strerror(errno));
        return;
    }
    baseMap_ = static_cast<const uint8_t*>(p);
    baseMapLen_ = len;
}

void Image::UnmapBaseLocked() {
    if (baseMap_) munmap(const_cast<uint8_t*>(baseMap_), baseMapLen_);
    baseMap_ = nullptr;
    baseMapLen_ = 0;
}

bool Image::SaveVersion(uint32_t v) {
    std::string err;
    json j = {{"iqn", entry_.iqn}, {"version", v}};
    if (!WriteFileAtomic(stateDir_ + "/meta.json", j.dump() + "\n", &err)) {
        ZLOG(Error, "image", "cannot save version iqn=%s: %s", entry_.iqn.c_str(), err.c_str());
        return false;
    }
    return true;
}

bool Image::SaveOverlayMeta(const Overlay& o) {
    json j = {{"kind", o.kind == OverlayKind::Super ? "super" : "normal"},
              {"clientKey", o.clientKey},
              {"pinnedVersion", o.pinnedVersion},
              {"bootId", o.bootId},
              {"lastSeen", o.lastSeen.load()}};
    if (o.upload) j["upload"] = true;
    std::string err;
    if (!WriteFileAtomic(o.metaPath, j.dump() + "\n", &err)) {
        ZLOG(Error, "image", "cannot save layer metadata: %s", err.c_str());
        return false;
    }
    return true;
}

void Image::DropOverlayFiles(Overlay& o) {
    o.dead = true;
    // The metadata goes first: a crash in between leaves orphan data files, never a layer
    // description without its blocks.
    unlink(o.metaPath.c_str());
    if (o.layer) o.layer->Remove();
    auto slash = o.metaPath.rfind('/');
    FsyncDir(o.metaPath.substr(0, slash));
}

bool Image::LoadOverlays(OverlayKind kind) {
    std::string dir = stateDir_ + "/" + KindDir(kind);
    int64_t now = NowUnix();
    for (const auto& name : ListDir(dir, ".json")) {
        std::string stem = dir + "/" + name;
        std::string text;
        json j;
        try {
            if (!ReadWholeFile(stem + ".json", &text)) continue;
            j = json::parse(text);
        } catch (const std::exception& e) {
            ZLOG(Warn, "image", "ignoring unreadable layer metadata %s.json: %s", stem.c_str(), e.what());
            continue;
        }
        auto o = std::make_shared<Overlay>();
        o->kind = kind;
        try {
            o->clientKey = j.value("clientKey", DecodeName(name));
            o->pinnedVersion = j.value("pinnedVersion", version_.load());
            o->bootId = j.value("bootId", 0ull);
            o->upload = j.value("upload", false);
            // A server restart is not a client reboot: clients that were running come back
            // within the idle time, so the idle clock restarts now.
            o->lastSeen = std::max<int64_t>(j.value("lastSeen", 0ll), now);
        } catch (const std::exception& e) {
            ZLOG(Warn, "image", "ignoring layer metadata with wrong types %s.json: %s", stem.c_str(), e.what());
            if (kind == OverlayKind::Super) return false;
            continue;
        }
        o->metaPath = stem + ".json";
        std::string err;
        o->layer = Layer::Open(stem, size_, false, &err);
        if (!o->layer) {
            ZLOG(Error, "image", "cannot open layer %s: %s", stem.c_str(), err.c_str());
            if (kind == OverlayKind::Super) return false;  // never silently lose super-user work
            continue;
        }
        auto& m = kind == OverlayKind::Super ? super_ : normal_;
        m[o->clientKey] = o;
        ZLOG(Info, "image", "loaded %s layer iqn=%s client=%s blocks=%llu pinned=%u", KindDir(kind),
             entry_.iqn.c_str(), o->clientKey.c_str(), static_cast<unsigned long long>(o->layer->present()),
             o->pinnedVersion);
    }
    return true;
}

bool Image::ApplyLayer(Layer& layer, uint64_t* blocks, std::string* error) {
    std::vector<uint8_t> buf(1 << 20);
    uint64_t done = 0;
    bool ok = true;
    // With the test hook armed, go block by block so that a pause lands inside the merge.
    uint64_t chunk = hook_.phase.empty() ? buf.size() / kLayerBlock : 1;
    layer.ForEachRun([&](uint64_t first, uint64_t count) {
        while (count > 0 && ok) {
            uint64_t n = std::min<uint64_t>(count, chunk);
            uint64_t off = first * kLayerBlock;
            uint64_t len = n * kLayerBlock;
            if (off + len > size_) len = size_ - off;
            if (!layer.ReadData(off, buf.data(), len) || !PwriteFull(baseFd_, buf.data(), len, off)) {
                *error = std::string("merge I/O error: ") + strerror(errno);
                ok = false;
                return;
            }
            mergeDone_.fetch_add(n, std::memory_order_relaxed);
            for (uint64_t k = 0; k < n; ++k) PauseIf("apply", ++done);
            first += n;
            count -= n;
        }
    });
    if (ok && fdatasync(baseFd_) != 0) {
        *error = std::string("fsync of base failed: ") + strerror(errno);
        ok = false;
    }
    *blocks = done;
    return ok;
}

bool Image::Recover(std::string* error) {
    std::string text;
    if (ReadWholeFile(stateDir_ + "/meta.json", &text)) {
        try {
            version_ = json::parse(text).value("version", 1u);
        } catch (const std::exception& e) {
            *error = "unreadable " + stateDir_ + "/meta.json: " + e.what();
            return false;
        }
    } else if (!SaveVersion(1)) {
        *error = "cannot write " + stateDir_ + "/meta.json";
        return false;
    }

    std::string journal = stateDir_ + "/merge.json";
    if (ReadWholeFile(journal, &text)) {
        json j;
        try {
            j = json::parse(text);
        } catch (const std::exception& e) {
            // The journal is written atomically, so this is foreign damage; refusing to serve
            // is safer than guessing which base is valid.
            *error = "unreadable merge journal " + journal + ": " + e.what();
            return false;
        }
        std::string phase, layerRel;
        uint32_t from = 0;
        bool hadSnapshot = false;
        try {
            phase = j.value("phase", "");
            from = j.value("fromVersion", 0u);
            layerRel = j.value("layer", "");
            hadSnapshot = j.value("snapshot", false);
        } catch (const std::exception& e) {
            *error = "malformed merge journal " + journal + ": " + e.what();
            return false;
        }
        if (layerRel.empty() || layerRel.find("..") != std::string::npos || (phase != "snapshot" && phase != "apply")) {
            *error = "malformed merge journal " + journal;
            return false;
        }
        std::string stem = stateDir_ + "/" + layerRel;
        std::string snapStem = stateDir_ + "/snap/" + std::to_string(from);
        if (phase == "snapshot") {
            if (hadSnapshot) {
                unlink((snapStem + ".data").c_str());
                unlink((snapStem + ".map").c_str());
            }
            ZLOG(Warn, "merge", "interrupted merge rolled back, layer kept pending iqn=%s layer=%s version=%u",
                 entry_.iqn.c_str(), layerRel.c_str(), version_.load());
        } else if (phase == "apply") {
            if (version_ <= from) {
                std::string err;
                auto layer = Layer::Open(stem, size_, false, &err);
                uint64_t blocks = 0;
                if (!layer || !ApplyLayer(*layer, &blocks, &err)) {
                    *error = "cannot complete interrupted merge of " + stem + ": " + err;
                    return false;
                }
                version_ = from + 1;
                if (!SaveVersion(version_)) {
                    *error = "cannot save version after merge";
                    return false;
                }
                ZLOG(Warn, "merge", "interrupted merge completed iqn=%s blocks=%llu version=%u", entry_.iqn.c_str(),
                     static_cast<unsigned long long>(blocks), version_.load());
            }
            unlink((stem + ".json").c_str());
            unlink((stem + ".data").c_str());
            unlink((stem + ".map").c_str());
            FsyncDir(stateDir_ + "/super");
        }
        unlink(journal.c_str());
        FsyncDir(stateDir_);
    }

    for (const auto& name : ListDir(stateDir_ + "/snap", ".map")) {
        std::string err;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name.size() > 9) continue;
        uint32_t v = static_cast<uint32_t>(std::stoul(name));
        auto s = Layer::Open(stateDir_ + "/snap/" + name, size_, false, &err);
        if (s) snapshots_[v] = std::shared_ptr<Layer>(s.release());
    }
    if (!LoadOverlays(OverlayKind::Super)) {
        *error = "cannot load super-user layers of " + entry_.iqn;
        return false;
    }
    LoadOverlays(OverlayKind::Normal);
    std::lock_guard<std::mutex> lk(layersMutex_);
    CollectSnapshotsLocked();
    return true;
}

uint32_t Image::MinPinLocked() const {
    uint32_t m = UINT32_MAX;
    for (const auto& [k, o] : super_) m = std::min(m, o->pinnedVersion);
    for (const auto& [k, o] : normal_) m = std::min(m, o->pinnedVersion);
    for (const auto& [v, n] : pins_)
        if (n > 0) m = std::min(m, v);
    return m;
}

void Image::CollectSnapshotsLocked() {
    uint32_t minPin = MinPinLocked();
    std::vector<std::shared_ptr<Layer>> drop;
    {
        std::unique_lock<std::shared_mutex> bl(baseLock_);
        for (auto it = snapshots_.begin(); it != snapshots_.end();) {
            // S_v is read by sessions pinned at p <= v.
            if (it->first < minPin) {
                drop.push_back(it->second);
                it = snapshots_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : drop) {
        ZLOG(Info, "image", "snapshot no longer needed, removed iqn=%s stem=%s", entry_.iqn.c_str(),
             s->stem().c_str());
        s->Remove();
    }
}

std::shared_ptr<Overlay> Image::CreateOverlay(OverlayKind kind, const std::string& clientKey,
                                              uint64_t bootId, bool fromZero, std::string* error) {
    auto o = std::make_shared<Overlay>();
    o->kind = kind;
    o->clientKey = clientKey;
    o->bootId = bootId;
    o->upload = fromZero;
    // During a merge new sessions already see its result (they read through the merging layer).
    o->pinnedVersion = pendingMerge_ ? pendingVersion_ : version_.load();
    o->lastSeen = NowUnix();
    std::string stem = OverlayStem(kind, clientKey);
    o->metaPath = stem + ".json";
    // Leftovers of a layer whose metadata was already gone must not leak into the new one.
    unlink((stem + ".data").c_str());
    unlink((stem + ".map").c_str());
    o->layer = Layer::Open(stem, size_, true, error);
    // An upload brings a whole disk and skips the blocks that are zero on it, so whatever the
    // image held there must not survive: the layer covers every block from the start, and its
    // sparse data file reads as zero wherever the upload writes nothing. The merge then
    // replaces the image as a whole, through the same journal as any merge. The bits are set
    // before the metadata exists, so a crash in between leaves no half-covering layer behind.
    if (o->layer && fromZero) o->layer->Mark(0, o->layer->blockCount());
    if (!o->layer || !SaveOverlayMeta(*o)) {
        if (o->layer) o->layer->Remove();
        if (error->empty()) *error = "cannot save layer metadata";
        return nullptr;
    }
    return o;
}

std::shared_ptr<Overlay> Image::AttachSuper(const std::string& clientKey, bool upload, std::string* error) {
    std::lock_guard<std::mutex> lk(layersMutex_);
    auto it = super_.find(clientKey);
    std::shared_ptr<Overlay> o;
    if (it != super_.end() && !it->second->dead && it->second->merging) {
        // The management server is committing this layer: a session that attached now
        // would write into blocks that are being merged. The driver retries "busy".
        *error = "the layer is being merged (pending)";
        return nullptr;
    } else if (it != super_.end() && !it->second->dead) {
        o = it->second;
    } else if (it != super_.end() && pendingMerge_ == it->second) {
        *error = "a failed merge of this client's layer is pending; it is redone at the next start";
        return nullptr;
    } else {
        o = CreateOverlay(OverlayKind::Super, clientKey, 0, upload, error);
        if (!o) return nullptr;
        super_[clientKey] = o;
        ZLOG(Info, "image", "super-user layer created iqn=%s client=%s pinned=%u%s", entry_.iqn.c_str(),
             clientKey.c_str(), o->pinnedVersion, upload ? " (upload: starts from an all-zero disk)" : "");
    }
    o->sessions++;
    o->lastSeen = NowUnix();
    return o;
}

std::shared_ptr<Overlay> Image::AttachNormal(const std::string& clientKey, uint64_t bootId,
                                             int64_t idleSeconds, std::string* error) {
    std::lock_guard<std::mutex> lk(layersMutex_);
    auto it = normal_.find(clientKey);
    std::shared_ptr<Overlay> o;
    if (it != normal_.end()) {
        o = it->second;
        int64_t idle = NowUnix() - o->lastSeen.load();
        bool reboot = false;
        const char* why = "";
        if (bootId != 0 && o->bootId != 0) {
            reboot = bootId != o->bootId;
            why = "new boot id";
        } else if (o->sessions.load() == 0 && idle >= idleSeconds) {
            reboot = true;
            why = "idle";
        }
        if (reboot) {
            ZLOG(Info, "image", "restore on reboot: overlay discarded iqn=%s client=%s reason=%s blocks=%llu "
                 "oldBoot=%llu newBoot=%llu idle=%llds", entry_.iqn.c_str(), clientKey.c_str(), why,
                 static_cast<unsigned long long>(o->layer->present()), static_cast<unsigned long long>(o->bootId),
                 static_cast<unsigned long long>(bootId), static_cast<long long>(idle));
            DropOverlayFiles(*o);
            normal_.erase(it);
            o.reset();
        } else if (bootId != 0 && o->bootId == 0) {
            o->bootId = bootId;
            SaveOverlayMeta(*o);
        }
    }
    if (!o) {
        o = CreateOverlay(OverlayKind::Normal, clientKey, bootId, false, error);
        if (!o) return nullptr;
        normal_[clientKey] = o;
        CollectSnapshotsLocked();
    }
    o->sessions++;
    o->lastSeen = NowUnix();
    return o;
}

void Image::Detach(const std::shared_ptr<Overlay>& o) {
    if (!o) return;
    std::lock_guard<std::mutex> lk(layersMutex_);
    o->sessions--;
    o->lastSeen = NowUnix();
    if (!o->dead) SaveOverlayMeta(*o);
}

uint32_t Image::PinCurrent() {
    std::lock_guard<std::mutex> lk(layersMutex_);
    uint32_t v = pendingMerge_ ? pendingVersion_ : version_.load();
    pins_[v]++;
    return v;
}

void Image::Unpin(uint32_t v) {
    std::lock_guard<std::mutex> lk(layersMutex_);
    auto it = pins_.find(v);
    if (it != pins_.end() && --it->second <= 0) pins_.erase(it);
    CollectSnapshotsLocked();
}

void Image::SourcesLocked(const Overlay* overlay, uint32_t pin, std::vector<const Layer*>* src) const {
    src->clear();
    if (overlay && overlay->layer->present()) src->push_back(overlay->layer.get());
    if (pendingMerge_ && pin >= pendingVersion_ && pendingMerge_->layer->present())
        src->push_back(pendingMerge_->layer.get());
    for (auto it = snapshots_.lower_bound(pin); it != snapshots_.end(); ++it)
        if (it->second->present()) src->push_back(it->second.get());
}

bool Image::ViewBase(const Overlay* overlay, uint32_t pin, uint64_t offset, size_t len, BaseView* view) {
    std::shared_lock<std::shared_mutex> lk(baseLock_);
    if (!baseMap_ || len == 0 || offset > baseMapLen_ || len > baseMapLen_ - offset) return false;
    thread_local std::vector<const Layer*> src;
    SourcesLocked(overlay, pin, &src);
    if (!src.empty()) {
        uint64_t last = (offset + len - 1) / kLayerBlock;
        for (uint64_t b = offset / kLayerBlock; b <= last; ++b)
            for (const Layer* l : src)
                if (l->Has(b)) return false;
    }
    view->lock = std::move(lk);
    view->data = baseMap_ + offset;
    view->fd = baseFd_;
    return true;
}

bool Image::Read(const Overlay* overlay, uint32_t pin, uint64_t offset, size_t len, uint8_t* buf) {
    std::shared_lock<std::shared_mutex> lk(baseLock_);
    // Sources in the order they win; usually none or one, so the common read is one pread.
    thread_local std::vector<const Layer*> src;
    SourcesLocked(overlay, pin, &src);
    const int n = static_cast<int>(src.size());
    if (n == 0) return PreadFull(baseFd_, buf, len, offset);

    auto sourceOf = [&](uint64_t block) -> int {
        for (int i = 0; i < n; ++i)
            if (src[i]->Has(block)) return i;
        return -1;
    };
    uint64_t pos = offset, end = offset + len;
    while (pos < end) {
        uint64_t b = pos / kLayerBlock;
        int s = sourceOf(b);
        uint64_t runEnd = std::min((b + 1) * kLayerBlock, end);
        while (runEnd < end && sourceOf(runEnd / kLayerBlock) == s)
            runEnd = std::min((runEnd / kLayerBlock + 1) * kLayerBlock, end);
        uint8_t* dst = buf + (pos - offset);
        bool ok = s < 0 ? PreadFull(baseFd_, dst, runEnd - pos, pos) : src[s]->ReadData(pos, dst, runEnd - pos);
        if (!ok) return false;
        pos = runEnd;
    }
    return true;
}

uint32_t Image::Write(Overlay* o, uint32_t pin, uint64_t offset, const uint8_t* data, size_t len) {
    // Checked before the lock so that no thread (a UDP receiver above all) ever waits behind a
    // merge that may run for minutes.
    if (o->merging) return wire::ErrBusy;
    std::lock_guard<std::mutex> lk(o->writeMutex);
    if (o->dead) return wire::ErrWriteProtected;
    Layer& L = *o->layer;
    if (offset + len > L.size()) return wire::ErrInvalidParameter;
    uint64_t pos = offset, end = offset + len;
    std::vector<uint8_t> block;
    while (pos < end) {
        uint64_t b = pos / kLayerBlock;
        uint64_t bStart = b * kLayerBlock;
        uint64_t bEnd = bStart + kLayerBlock;
        if (pos == bStart && end >= bEnd) {
            // Whole blocks: one write for the full run, then their bits.
            uint64_t runEnd = end / kLayerBlock * kLayerBlock;
            if (!L.WriteData(pos, data + (pos - offset), runEnd - pos)) return wire::ErrIoDevice5;
            L.Mark(b, (runEnd - pos) / kLayerBlock);
            pos = runEnd;
            continue;
        }
        uint64_t pieceEnd = std::min(bEnd, end);
        if (!L.Has(b)) {
            // Copy-up: the layer holds whole blocks, so a partial write first takes the rest of
            // the block from what this session currently sees.
            block.resize(kLayerBlock);
            if (!Read(o, pin, bStart, kLayerBlock, block.data())) return wire::ErrIoDevice5;
            memcpy(block.data() + (pos - bStart), data + (pos - offset), pieceEnd - pos);
            if (!L.WriteData(bStart, block.data(), kLayerBlock)) return wire::ErrIoDevice5;
            L.Mark(b, 1);
        } else if (!L.WriteData(pos, data + (pos - offset), pieceEnd - pos)) {
            return wire::ErrIoDevice5;
        }
        pos = pieceEnd;
    }
    if (o->upload && len > 0) NoteUploadWrite(*o, offset, len);
    return wire::ErrNone;
}

void Image::NoteUploadWrite(Overlay& o, uint64_t offset, uint64_t len) {
    uint64_t first = offset / kLayerBlock, last = (offset + len - 1) / kLayerBlock;
    if (o.writtenMap.size() * 64 <= last) {
        uint64_t blocks = o.layer->blockCount();
        o.writtenMap.resize((blocks + 63) / 64, 0);
    }
    uint64_t added = 0;
    for (uint64_t b = first; b <= last && b / 64 < o.writtenMap.size(); ++b) {
        uint64_t bit = uint64_t{1} << (b % 64);
        uint64_t& word = o.writtenMap[b / 64];
        if (!(word & bit)) {
            word |= bit;
            ++added;
        }
    }
    if (added) o.writtenBlocks.fetch_add(added, std::memory_order_relaxed);
    uint64_t end = offset + len;
    if (end > o.writtenEnd.load(std::memory_order_relaxed)) o.writtenEnd.store(end, std::memory_order_relaxed);
}

void Image::SetMergePhase(const std::string& key, const char* phase, uint64_t total) {
    std::lock_guard<std::mutex> lk(progressMutex_);
    mergeKey_ = key;
    mergePhase_ = phase;
    mergeDone_ = 0;
    mergeTotal_ = total;
}

MergeOutcome Image::Merge(const std::shared_ptr<Overlay>& o) {
    MergeOutcome out;
    o->merging = true;
    struct Unflag {
        Overlay* o;
        ~Unflag() { o->merging = false; }
    } unflag{o.get()};
    std::lock_guard<std::mutex> ml(mergeMutex_);
    std::lock_guard<std::mutex> wl(o->writeMutex);
    if (o->dead) {
        out.error = "layer already merged or discarded";
        return out;
    }
    Layer& L = *o->layer;
    if (L.present() == 0) {
        // Nothing was written: the base does not change and neither does its version.
        std::lock_guard<std::mutex> lk(layersMutex_);
        DropOverlayFiles(*o);
        super_.erase(o->clientKey);
        CollectSnapshotsLocked();
        out.ok = true;
        out.newVersion = version_.load();
        return out;
    }
    // "sync": the layer is made durable and the journal written, before the base is touched.
    SetMergePhase(o->clientKey, "sync", L.present());
    merging_ = true;
    uint32_t from = version_.load();
    bool needSnapshot = false;
    {
        std::lock_guard<std::mutex> lk(layersMutex_);
        for (const auto& [k, x] : super_)
            if (x != o && x->pinnedVersion <= from) needSnapshot = true;
        for (const auto& [k, x] : normal_)
            if (x->pinnedVersion <= from) needSnapshot = true;
        for (const auto& [v, c] : pins_)
            if (c > 0 && v <= from) needSnapshot = true;
        std::unique_lock<std::shared_mutex> bl(baseLock_);
        pendingMerge_ = o;
        pendingVersion_ = from + 1;
    }
    auto finish = [&](bool ok) {
        std::lock_guard<std::mutex> lk(layersMutex_);
        {
            std::unique_lock<std::shared_mutex> bl(baseLock_);
            if (ok) pendingMerge_.reset();
        }
        if (ok) {
            super_.erase(o->clientKey);
            CollectSnapshotsLocked();
        }
        merging_ = false;
    };

    std::string err;
    std::string layerRel = std::string("super/") + EncodeName(o->clientKey);
    json journal = {{"layer", layerRel}, {"fromVersion", from}, {"phase", "snapshot"}, {"snapshot", needSnapshot}};
    if (!L.Sync() || !WriteFileAtomic(stateDir_ + "/merge.json", journal.dump() + "\n", &err)) {
        out.error = "cannot make layer durable: " + (err.empty() ? std::string(strerror(errno)) : err);
        // Nothing touched the base: the layer stays as it was and no session pins the target.
        std::lock_guard<std::mutex> lk(layersMutex_);
        std::unique_lock<std::shared_mutex> bl(baseLock_);
        pendingMerge_.reset();
        merging_ = false;
        unlink((stateDir_ + "/merge.json").c_str());
        return out;
    }
    ZLOG(Info, "merge", "merge started iqn=%s client=%s blocks=%llu from=%u snapshot=%d", entry_.iqn.c_str(),
         o->clientKey.c_str(), static_cast<unsigned long long>(L.present()), from, needSnapshot ? 1 : 0);

    std::shared_ptr<Layer> snap;
    if (needSnapshot) SetMergePhase(o->clientKey, "snapshot", L.present());
    if (needSnapshot) {
        std::string snapStem = stateDir_ + "/snap/" + std::to_string(from);
        unlink((snapStem + ".data").c_str());
        unlink((snapStem + ".map").c_str());
        snap = std::shared_ptr<Layer>(Layer::Open(snapStem, size_, true, &err).release());
        bool ok = snap != nullptr;
        std::vector<uint8_t> buf(1 << 20);
        uint64_t done = 0;
        if (ok) L.ForEachRun([&](uint64_t first, uint64_t count) {
            while (count > 0 && ok) {
                uint64_t nb = std::min<uint64_t>(count, hook_.phase.empty() ? buf.size() / kLayerBlock : 1);
                uint64_t off = first * kLayerBlock, blen = nb * kLayerBlock;
                ok = PreadFull(baseFd_, buf.data(), blen, off) && snap->WriteData(off, buf.data(), blen);
                if (!ok) break;
                snap->Mark(first, nb);
                mergeDone_.fetch_add(nb, std::memory_order_relaxed);
                for (uint64_t k = 0; k < nb; ++k) PauseIf("snapshot", ++done);
                first += nb;
                count -= nb;
            }
        });
        if (!ok || !snap->Sync()) {
            out.error = "cannot build snapshot: " + (err.empty() ? std::string(strerror(errno)) : err);
            if (snap) snap->Remove();
            unlink((stateDir_ + "/merge.json").c_str());
            std::lock_guard<std::mutex> lk(layersMutex_);
            std::unique_lock<std::shared_mutex> bl(baseLock_);
            pendingMerge_.reset();
            merging_ = false;
            return out;
        }
    }
    journal["phase"] = "apply";
    if (!WriteFileAtomic(stateDir_ + "/merge.json", journal.dump() + "\n", &err)) {
        out.error = "cannot write merge journal: " + err;
        if (snap) snap->Remove();
        std::lock_guard<std::mutex> lk(layersMutex_);
        std::unique_lock<std::shared_mutex> bl(baseLock_);
        pendingMerge_.reset();
        merging_ = false;
        unlink((stateDir_ + "/merge.json").c_str());
        return out;
    }
    if (snap) {
        std::unique_lock<std::shared_mutex> bl(baseLock_);
        snapshots_[from] = snap;
    }

    // From here on the merge can only go forward: the journal says "apply", and a failure
    // leaves it pending to be redone at the next start. Readers are on the snapshot or on the
    // layer for every block being changed.
    uint64_t blocks = 0;
    SetMergePhase(o->clientKey, "apply", L.present());
    if (!ApplyLayer(L, &blocks, &err)) {
        out.error = err + " (merge stays pending and is redone at the next start)";
        ZLOG(Error, "merge", "merge failed iqn=%s client=%s: %s", entry_.iqn.c_str(), o->clientKey.c_str(),
             out.error.c_str());
        o->dead = true;  // the layer belongs to the journal now
        merging_ = false;
        return out;
    }
    PauseIf("synced", 0);
    if (!SaveVersion(from + 1)) {
        out.error = "cannot save new version (merge stays pending)";
        o->dead = true;
        merging_ = false;
        return out;
    }
    version_ = from + 1;
    PauseIf("versioned", 0);
    DropOverlayFiles(*o);
    unlink((stateDir_ + "/merge.json").c_str());
    FsyncDir(stateDir_);
    finish(true);
    out.ok = true;
    out.blocks = blocks;
    uint64_t bytes = blocks * kLayerBlock;
    // The last block of an image whose size is not a multiple of the block size is short.
    if (blocks && L.Has((size_ - 1) / kLayerBlock) && size_ % kLayerBlock) bytes -= kLayerBlock - size_ % kLayerBlock;
    out.bytes = bytes;
    out.newVersion = from + 1;
    ZLOG(Info, "merge", "merge done iqn=%s client=%s blocks=%llu bytes=%llu version=%u", entry_.iqn.c_str(),
         o->clientKey.c_str(), static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(bytes),
         from + 1);
    return out;
}

int Image::MergeDetached(const std::string& clientKey, MergeOutcome* out) {
    std::shared_ptr<Overlay> o;
    {
        // The check and the claim happen under the lock that AttachSuper takes, so no session
        // can slip in between; from here on AttachSuper refuses until the merge has ended.
        std::lock_guard<std::mutex> lk(layersMutex_);
        auto it = super_.find(clientKey);
        if (it == super_.end() || it->second->dead) {
            out->error = it == super_.end() ? "no such layer" : "a failed merge of this layer is pending";
            return it == super_.end() ? 404 : 409;
        }
        o = it->second;
        if (o->sessions.load() > 0) {
            out->error = "a super-user session is connected to this layer";
            return 409;
        }
        if (o->merging.exchange(true)) {
            out->error = "a merge of this layer is running";
            return 409;
        }
    }
    *out = Merge(o);
    if (out->ok) return 0;
    return 500;
}

void Image::Discard(const std::shared_ptr<Overlay>& o) {
    std::lock_guard<std::mutex> wl(o->writeMutex);
    std::lock_guard<std::mutex> lk(layersMutex_);
    if (o->dead) return;
    ZLOG(Info, "image", "%s layer discarded iqn=%s client=%s blocks=%llu", KindDir(o->kind), entry_.iqn.c_str(),
         o->clientKey.c_str(), static_cast<unsigned long long>(o->layer->present()));
    DropOverlayFiles(*o);
    auto& m = o->kind == OverlayKind::Super ? super_ : normal_;
    auto it = m.find(o->clientKey);
    if (it != m.end() && it->second == o) m.erase(it);
    CollectSnapshotsLocked();
}

bool Image::DiscardSuper(const std::string& clientKey) {
    std::shared_ptr<Overlay> o;
    {
        std::lock_guard<std::mutex> lk(layersMutex_);
        auto it = super_.find(clientKey);
        if (it == super_.end()) return false;
        o = it->second;
        if (pendingMerge_ == o) return false;
    }
    Discard(o);
    return true;
}

int Image::PrepareDisk(uint32_t* newVersion, std::string* error) {
    std::lock_guard<std::mutex> ml(mergeMutex_);
    {
        std::lock_guard<std::mutex> lk(layersMutex_);
        if (!super_.empty() || merging_) {
            *error = "image has a super-user layer or a pending merge; commit or discard it first";
            return 409;
        }
    }
#ifdef ZELKO_HAVE_PREPARE_DISK
    zelko::common::PrepareDiskOptions opts;
    opts.sizeBytes = size_;
    zelko::common::PrepareDiskResult res;
    // The routine builds the new content in a temporary file and renames it over the image;
    // readers keep the old descriptor (old content) until we switch below.
    if (!zelko::common::PrepareNtfsDisk(entry_.path, opts, &res, error)) return 500;
    int fd = open(entry_.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot reopen prepared image: ") + strerror(errno);
        return 500;
    }
    std::vector<std::shared_ptr<Overlay>> dropped;
    std::map<uint32_t, std::shared_ptr<Layer>> oldSnaps;
    {
        std::lock_guard<std::mutex> lk(layersMutex_);
        for (auto& [k, o] : normal_) dropped.push_back(o);
        normal_.clear();
        std::unique_lock<std::shared_mutex> bl(baseLock_);
        UnmapBaseLocked();
        close(baseFd_);
        baseFd_ = fd;
        MapBaseLocked();
        oldSnaps.swap(snapshots_);
        uint32_t v = version_.load() + 1;
        SaveVersion(v);
        version_ = v;
    }
    for (auto& o : dropped) {
        std::lock_guard<std::mutex> wl(o->writeMutex);
        DropOverlayFiles(*o);
    }
    for (auto& [v, s] : oldSnaps) s->Remove();
    *newVersion = version_.load();
    ZLOG(Info, "image", "prepare-disk done iqn=%s version=%u overlaysDropped=%zu", entry_.iqn.c_str(), *newVersion,
         dropped.size());
    return 0;
#else
    *error = "prepare-disk is not available in this build";
    return 500;
#endif
}

json Image::Status() {
    std::lock_guard<std::mutex> lk(layersMutex_);
    json layers = json::array();
    int64_t now = NowUnix();
    for (const auto& [k, o] : super_) {
        int n = o->sessions.load();
        // idleSeconds: how long the layer has been without any session (0 while one is
        // attached); the clock restarts with the server, which only errs on the safe side.
        uint64_t blocks = o->layer->present();
        json l = {{"clientKey", k},
                  {"blocks", blocks},
                  {"bytes", std::min<uint64_t>(blocks * kLayerBlock, size_)},
                  {"sessions", n},
                  {"idleSeconds", n > 0 ? 0 : std::max<int64_t>(0, now - o->lastSeen.load())},
                  {"merging", o->merging.load()}};
        if (o->upload) {
            uint64_t w = o->writtenBlocks.load(std::memory_order_relaxed);
            l["upload"] = true;
            l["writtenBlocks"] = w;
            l["writtenBytes"] = std::min<uint64_t>(w * kLayerBlock, size_);
            l["writtenEnd"] = o->writtenEnd.load(std::memory_order_relaxed);
        }
        layers.push_back(std::move(l));
    }
    size_t snapshots = 0;
    {
        std::shared_lock<std::shared_mutex> bl(baseLock_);
        snapshots = snapshots_.size();
    }
    json merge;
    if (merging_.load()) {
        std::lock_guard<std::mutex> pl(progressMutex_);
        if (*mergePhase_)
            merge = {{"clientKey", mergeKey_},
                     {"phase", mergePhase_},
                     {"blocksDone", std::min(mergeDone_.load(), mergeTotal_.load())},
                     {"blocksTotal", mergeTotal_.load()}};
    }
    return {{"code", 0},
            {"iqn", entry_.iqn},
            {"merge", merge},
            {"version", version_.load()},
            {"sizeBytes", size_},
            {"readOnly", readOnly_.load()},
            {"superLayers", layers},
            {"normalOverlays", normal_.size()},
            {"snapshots", snapshots},
            {"mergePending", merging_.load()}};
}

void Image::FlushAll() {
    std::lock_guard<std::mutex> lk(layersMutex_);
    for (auto* m : {&super_, &normal_})
        for (auto& [k, o] : *m) {
            o->layer->Sync();
            SaveOverlayMeta(*o);
        }
}

void Image::SyncSuperLayers() {
    std::vector<std::shared_ptr<Overlay>> layers;
    {
        std::lock_guard<std::mutex> lk(layersMutex_);
        for (auto& [k, o] : super_) layers.push_back(o);
    }
    for (auto& o : layers)
        if (!o->dead && !o->layer->Sync())
            ZLOG(Error, "image", "fsync of super-user layer failed iqn=%s client=%s", entry_.iqn.c_str(),
                 o->clientKey.c_str());
}

void Image::TouchAttached() {
    std::lock_guard<std::mutex> lk(layersMutex_);
    int64_t now = NowUnix();
    for (auto& [k, o] : normal_)
        if (o->sessions > 0) o->lastSeen = now;
}

void Image::ExpireOverlays(int64_t seconds) {
    std::vector<std::shared_ptr<Overlay>> expired;
    {
        std::lock_guard<std::mutex> lk(layersMutex_);
        int64_t now = NowUnix();
        for (auto it = normal_.begin(); it != normal_.end();) {
            auto& o = it->second;
            if (o->sessions.load() == 0 && now - o->lastSeen.load() >= seconds) {
                expired.push_back(o);
                it = normal_.erase(it);
            } else {
                ++it;
            }
        }
        if (!expired.empty()) CollectSnapshotsLocked();
    }
    for (auto& o : expired) {
        std::lock_guard<std::mutex> wl(o->writeMutex);
        ZLOG(Info, "image", "overlay of absent client expired iqn=%s client=%s blocks=%llu", entry_.iqn.c_str(),
             o->clientKey.c_str(), static_cast<unsigned long long>(o->layer->present()));
        DropOverlayFiles(*o);
    }
}

}  // namespace zelko::diskd
