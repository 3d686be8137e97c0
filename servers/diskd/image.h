// One served image: the raw base file, its version, the copy-on-write layers of its clients and
// the snapshots that keep running clients on the content they booted with.
//
// Reading model. Every session is pinned to the image version it started on. A merge that moves
// the base from version v to v+1 first copies the old content of every block it is about to
// change into the snapshot S_v, so a session pinned at p reads a block from, in order: its own
// layer, the merge in progress (only sessions pinned at its target version), the oldest snapshot
// S_v with v >= p that holds the block, and finally the base. Snapshots nobody pins any more are
// deleted; a merge with no other session on the image builds none.
//
// Crash safety of merges. The super-user layer is fsync'ed and a journal (merge.json) names it
// before the base is touched; the base is written only from that durable layer, so a merge
// interrupted at any point is redone from the journal at the next start (roll forward) before
// anything is served, and a merge interrupted before the base was touched is rolled back to
// "pending" (the layer stays authoritative). Readers never see a half-merged base: until the
// new version is in place they are served from the snapshot or from the layer itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "layer.h"

namespace zelko::diskd {

enum class OverlayKind { Super, Normal };

struct Overlay {
    OverlayKind kind = OverlayKind::Normal;
    std::string clientKey;
    uint32_t pinnedVersion = 0;
    uint64_t bootId = 0;
    std::string metaPath;
    std::unique_ptr<Layer> layer;
    std::mutex writeMutex;            // one writer at a time; copy-ups must not interleave
    std::atomic<int64_t> lastSeen{0};  // unix seconds of the last attach/detach
    std::atomic<int> sessions{0};
    std::atomic<bool> dead{false};     // discarded or merged: writes are refused
    std::atomic<bool> merging{false};  // a merge owns the layer: writes are refused, not queued
    // An upload's layer covers the whole disk from its creation, so its block count says
    // nothing about how far the upload has come. What the upload has actually written is
    // counted apart, in 4 KiB blocks (each counted once, however often it is rewritten), with
    // the end of the furthest write: the upload writes its disk front to back. Kept in memory
    // only: after a restart of the disk server the count starts again from zero.
    bool upload = false;
    std::vector<uint64_t> writtenMap;  // one bit per block, grown on first use; under writeMutex
    std::atomic<uint64_t> writtenBlocks{0};
    std::atomic<uint64_t> writtenEnd{0};
};

struct ImageEntry {
    std::string iqn;
    std::string path;
    bool readOnly = false;
    uint64_t sizeBytes = 0;  // 0: the file's size
};

// Test hook: "phase:N" pauses a merge forever after N blocks of phase "snapshot" or "apply",
// or at the points "synced" (base written and fsync'ed, version not yet raised) and
// "versioned" (version raised, journal and layer not yet removed).
struct MergeHook {
    std::string phase;
    uint64_t after = 0;
    bool Parse(const std::string& text);
};

struct MergeOutcome {
    bool ok = false;
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    uint32_t newVersion = 0;
    std::string error;
};

class Image {
public:
    static std::shared_ptr<Image> Open(const ImageEntry& entry, const std::string& stateDir,
                                       const MergeHook& hook, std::string* error);
    ~Image();

    const std::string& iqn() const { return entry_.iqn; }
    uint64_t size() const { return size_; }
    uint32_t version() const { return version_.load(); }
    bool readOnly() const { return readOnly_.load(); }
    void SetReadOnly(bool ro) { readOnly_.store(ro); }
    const std::string& path() const { return entry_.path; }

    // Binds a super-user session: the client's existing layer (kept across reconnects and
    // restarts) or a new one pinned at the current version. An upload's new layer starts from
    // an all-zero disk instead of the image (see CreateOverlay).
    std::shared_ptr<Overlay> AttachSuper(const std::string& clientKey, bool upload, std::string* error);
    // Binds a normal session to its overlay. The overlay of the previous run is discarded when
    // the boot id changed (bootId != 0) or, without a boot id, when the client had no session
    // for `idleSeconds`.
    std::shared_ptr<Overlay> AttachNormal(const std::string& clientKey, uint64_t bootId,
                                          int64_t idleSeconds, std::string* error);
    void Detach(const std::shared_ptr<Overlay>& overlay);
    // Sessions without a layer (read-only ones) pin the version they read.
    uint32_t PinCurrent();
    void Unpin(uint32_t version);

    // Reads what a session with this layer and pin sees. False on an I/O error.
    bool Read(const Overlay* overlay, uint32_t pin, uint64_t offset, size_t len, uint8_t* buf);

    // A range that the session sees straight from the base file, readable in place through the
    // file's mapping, so that the kernel can copy it from the page cache into a socket without a
    // copy into a buffer first. Valid only while `lock` is held: a merge re-routes the readers
    // of the blocks it is about to overwrite, and prepare-disk swaps the base file, under the
    // exclusive lock only. The mapping is meant for the kernel (send): a file truncated behind
    // the server's back turns a kernel copy into EFAULT, but a user-space read into SIGBUS.
    struct BaseView {
        std::shared_lock<std::shared_mutex> lock;
        const uint8_t* data = nullptr;
        int fd = -1;  // the base file, for a pread of the same range under the same lock
    };
    // False when any block of the range comes from a layer or snapshot, or lies beyond the
    // mapped file; the caller then takes Read.
    bool ViewBase(const Overlay* overlay, uint32_t pin, uint64_t offset, size_t len, BaseView* view);
    // Writes into the layer; returns a ServerError code (0 = success).
    uint32_t Write(Overlay* overlay, uint32_t pin, uint64_t offset, const uint8_t* data, size_t len);

    MergeOutcome Merge(const std::shared_ptr<Overlay>& overlay);
    // The management server's commit of a super-user layer whose PC has left super-user mode:
    // the same merge as ExitSuperUser with commit, but only while no session is attached to
    // the layer (a PC still running on it could be writing). Returns an HTTP-style result:
    // 0 merged, 404 no such layer, 409 a session is attached or a merge owns the layer,
    // 500 the merge failed (*out holds the details either way).
    int MergeDetached(const std::string& clientKey, MergeOutcome* out);
    void Discard(const std::shared_ptr<Overlay>& overlay);
    bool DiscardSuper(const std::string& clientKey);
    // Formats the image (MBR + NTFS). Returns an HTTP-style result: 0 ok, 409 busy, 500 failed.
    int PrepareDisk(uint32_t* newVersion, std::string* error);

    bool merging() const { return merging_.load(); }
    nlohmann::json Status();
    // fsync of every layer (graceful shutdown) and a lastSeen refresh of attached overlays.
    void FlushAll();
    void TouchAttached();
    // fsync of the super-user layers: bounds what a power loss can take from a running
    // super-user session (a crash of the server process alone loses nothing).
    void SyncSuperLayers();
    // Deletes normal overlays of clients that have not been connected for `seconds` (a PC that
    // never came back must not keep its overlay, and the snapshots it pins, for ever).
    void ExpireOverlays(int64_t seconds);

private:
    Image() = default;
    bool Recover(std::string* error);
    bool LoadOverlays(OverlayKind kind);
    static void NoteUploadWrite(Overlay& o, uint64_t offset, uint64_t len);  // needs o.writeMutex
    std::shared_ptr<Overlay> CreateOverlay(OverlayKind kind, const std::string& clientKey,
                                           uint64_t bootId, bool fromZero, std::string* error);
    bool SaveOverlayMeta(const Overlay& o);
    void DropOverlayFiles(Overlay& o);
    bool SaveVersion(uint32_t v);
    bool ApplyLayer(Layer& layer, uint64_t* blocks, std::string* error);
    void CollectSnapshotsLocked();  // needs layersMutex_
    // The layers a reader with this layer and pin consults before the base, in the order they
    // win; needs baseLock_.
    void SourcesLocked(const Overlay* overlay, uint32_t pin, std::vector<const Layer*>* src) const;
    // Maps baseFd_ read-only (as far as the file and the image reach); without a mapping every
    // read takes pread. Needs baseLock_ exclusively (or no other thread yet).
    void MapBaseLocked();
    void UnmapBaseLocked();
    uint32_t MinPinLocked() const;
    void PauseIf(const char* phase, uint64_t count);
    std::string OverlayStem(OverlayKind kind, const std::string& key) const;

    ImageEntry entry_;
    std::string stateDir_;
    MergeHook hook_;
    uint64_t size_ = 0;
    std::atomic<uint32_t> version_{1};
    std::atomic<bool> readOnly_{false};
    std::atomic<bool> merging_{false};

    // baseLock_ guards baseFd_, snapshots_ and the merge in progress for readers (shared);
    // they change only under the exclusive lock.
    std::shared_mutex baseLock_;
    int baseFd_ = -1;
    const uint8_t* baseMap_ = nullptr;
    size_t baseMapLen_ = 0;
    std::map<uint32_t, std::shared_ptr<Layer>> snapshots_;  // by the version they preserve
    std::shared_ptr<Overlay> pendingMerge_;
    uint32_t pendingVersion_ = 0;

    // layersMutex_ guards the overlay maps and pins; taken before baseLock_ when both are needed.
    mutable std::mutex layersMutex_;
    std::map<std::string, std::shared_ptr<Overlay>> super_;
    std::map<std::string, std::shared_ptr<Overlay>> normal_;
    std::map<uint32_t, int> pins_;

    std::mutex mergeMutex_;  // one merge or prepare-disk at a time

    // How far the running merge has come, for the image status: its layer's key, its phase
    // ("snapshot": old content saved for running sessions, "apply": the layer written into
    // the base) and the blocks done of the phase's total. Written by the merge only.
    std::mutex progressMutex_;
    std::string mergeKey_;
    const char* mergePhase_ = "";
    std::atomic<uint64_t> mergeDone_{0};
    std::atomic<uint64_t> mergeTotal_{0};
    void SetMergePhase(const std::string& key, const char* phase, uint64_t total);
};

// File-name-safe form of an IQN or client key (%XX for everything outside [A-Za-z0-9._-]).
std::string EncodeName(const std::string& name);
std::string DecodeName(const std::string& name);

}  // namespace zelko::diskd
