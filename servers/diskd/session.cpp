#include "session.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/uio.h>

#include "compress.h"
#include "fault_guard.h"
#include "log.h"

namespace zelko::diskd {

namespace {
std::atomic<uint32_t> g_nextSid{1};

uint16_t NextSid() {
    for (;;) {
        uint16_t s = static_cast<uint16_t>(g_nextSid.fetch_add(1));
        if (s != 0) return s;
    }
}

constexpr uint32_t kSmallPayloadLimit = 64 * 1024;
constexpr uint32_t kHandshakeMaxPayload = 12 + 2 + 255 + 2 + 63 + 2 + 255;
constexpr uint32_t kHandshakeBlockSize = 512;  // the driver does its SCSI arithmetic in 512-byte blocks

template <typename T>
void AppendRecord(Bytes& out, const T& rec) {
    const auto* p = reinterpret_cast<const uint8_t*>(&rec);
    out.insert(out.end(), p, p + sizeof(T));
}

// Text a peer names itself with ends up in JSON (layer metadata, the session check sent to the
// management server), whose writer throws on anything but well-formed UTF-8: such text is
// refused at the handshake. (Control characters are valid text and JSON escapes them.)
bool CleanText(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
        if (len == 0 || (len == 3 && c > 0xEF) || i + len > s.size()) return false;
        auto c1 = static_cast<unsigned char>(s[i + 1]);
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 > 0x8F))
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

const char* OpName(uint8_t op) {
    switch (op) {
        case wire::OpHandshake: return "Handshake";
        case wire::OpRead: return "Read";
        case wire::OpWrite: return "Write";
        case wire::OpBatchRead: return "BatchRead";
        case wire::OpBatchWrite: return "BatchWrite";
        case wire::OpPing: return "Ping";
        case wire::OpExitSuperUser: return "ExitSuperUser";
        case wire::OpMigrationStatus: return "MigrationStatus";
        case wire::OpPushBlockAck: return "PushBlockAck";
        case wire::OpTransportNegotiate: return "TransportNegotiate";
        case wire::OpPathDeregister: return "PathDeregister";
        default: return "unknown";
    }
}
}  // namespace

void UdpRegistry::Register(const std::string& ip, const std::shared_ptr<Session>& s) {
    std::lock_guard<std::mutex> lk(mutex_);
    byIp_[ip] = s;
}

void UdpRegistry::Unregister(const std::string& ip, const Session* s) {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = byIp_.find(ip);
    if (it == byIp_.end()) return;
    auto cur = it->second.lock();
    if (!cur || cur.get() == s) byIp_.erase(it);
}

std::shared_ptr<Session> UdpRegistry::Find(const std::string& ip) {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = byIp_.find(ip);
    return it == byIp_.end() ? nullptr : it->second.lock();
}

FrameCheck RequestPayloadSize(const wire::MessageHeader& h, uint32_t maxIo, uint64_t* payload,
                              uint32_t* error) {
    *error = 0;
    if (h.magic != wire::kMagic) return FrameCheck::Bad;
    if (h.version != wire::kVersion) {
        *error = wire::ErrRevisionMismatch;
        return FrameCheck::Bad;
    }
    *error = wire::ErrInvalidParameter;
    switch (h.opcode) {
        case wire::OpHandshake:
            // The length field is 12 less than the record that follows.
            if (h.length < 4 || h.length + 12ull > kHandshakeMaxPayload) return FrameCheck::Bad;
            *payload = h.length + 12ull;
            break;
        case wire::OpRead:
        case wire::OpPushBlockAck:
            *payload = 0;
            break;
        case wire::OpWrite:
            if (h.length > maxIo) {
                *error = wire::ErrInsufficientResources;
                return FrameCheck::Bad;
            }
            *payload = h.length;
            break;
        case wire::OpBatchRead:
            // A wrong count is answered, not fatal, as long as the table size is believable.
            if (h.length > 4096 * 12) return FrameCheck::Bad;
            *payload = h.length;
            break;
        case wire::OpBatchWrite:
            if (h.offset > 4096 || h.length > maxIo) {
                *error = h.length > maxIo ? wire::ErrInsufficientResources : wire::ErrInvalidParameter;
                return FrameCheck::Bad;
            }
            *payload = h.offset * 12 + h.length;
            break;
        case wire::OpPing:
        case wire::OpExitSuperUser:
        case wire::OpMigrationStatus:
        case wire::OpTransportNegotiate:
        case wire::OpPathDeregister:
            if (h.length > kSmallPayloadLimit) return FrameCheck::Bad;
            *payload = h.length;
            break;
        default:
            return FrameCheck::Bad;  // unknown request: its payload size is unknown too
    }
    *error = 0;
    return FrameCheck::Ready;
}

void AppendHeader(Bytes& out, uint8_t opcode, uint8_t flags, uint32_t seq,
                  uint64_t offset, uint32_t length) {
    wire::MessageHeader r{wire::kMagic, wire::kVersion, opcode, flags, seq, offset, length};
    AppendRecord(out, r);
}

Session::Session(ImageStore& store, const Config& cfg, ServerStats& stats, UdpRegistry& udp,
                 std::string peerIp, uint16_t peerPort)
    : store_(store), cfg_(cfg), stats_(stats), udp_(udp), peerIp_(std::move(peerIp)) {
    peerText_ = peerIp_ + ":" + std::to_string(peerPort);
}

Session::~Session() {
    if (udpRegistered_) udp_.Unregister(peerIp_, this);
    std::unique_lock<std::shared_mutex> lk(stateMutex_);
    Unbind();
}

void Session::Unbind() {
    if (live_) {
        stats_.sessions.Remove(live_);
        live_.reset();
    }
    if (image_) {
        if (overlay_) image_->Detach(overlay_);
        if (pinned_) image_->Unpin(pin_);
    }
    image_.reset();
    overlay_.reset();
    pinned_ = false;
    superUser_ = false;
    readOnly_ = true;
}

void Session::Error(Bytes& out, const wire::MessageHeader& h, uint32_t code, const char* what) {
    stats_.errors++;
    ZLOG(Debug, "proto", "error answer op=%s seq=%u code=%u peer=%s: %s", OpName(h.opcode), h.seq, code,
         peerText_.c_str(), what);
    AppendHeader(out, wire::OpRespError, 0, h.seq, h.offset, code);
}

void Session::CountRead(uint64_t n) {
    stats_.bytesRead += n;
    if (live_) live_->bytesRead.fetch_add(n, std::memory_order_relaxed);
}

void Session::CountWritten(uint64_t n) {
    stats_.bytesWritten += n;
    if (live_) live_->bytesWritten.fetch_add(n, std::memory_order_relaxed);
}

uint32_t Session::CheckRange(uint64_t offset, uint64_t len) const {
    uint64_t size = image_->size();
    if (offset > size || len > size - offset) return wire::ErrInvalidParameter;
    return 0;
}

bool Session::HandleTcp(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out, int sock) {
    stats_.requests++;
    switch (h.opcode) {
        case wire::OpHandshake: Handshake(h, p, n, out); break;
        case wire::OpRead:
            if (sock >= 0 && out.empty()) {
                int r = SendBaseDirect(h, out, sock);
                if (r < 0) return false;
                if (r > 0) break;
            }
            Read(h, out, false);
            break;
        case wire::OpWrite: Write(h, p, n, &out); break;
        case wire::OpBatchRead: BatchRead(h, p, n, out); break;
        case wire::OpBatchWrite: BatchWrite(h, p, n, out); break;
        case wire::OpPing:
            if (n != 0) Error(out, h, wire::ErrInvalidParameter, "ping with payload");
            else AppendHeader(out, wire::OpRespPong, 0, h.seq, 0, 0);
            break;
        case wire::OpExitSuperUser: ExitSuperUser(h, p, n, out); break;
        case wire::OpMigrationStatus: MigrationStatus(h, p, n, out); break;
        case wire::OpTransportNegotiate: TransportNegotiate(h, p, n, out); break;
        case wire::OpPathDeregister: PathDeregister(h, p, n, out); break;
        default: Error(out, h, wire::ErrInvalidParameter, "request not valid on TCP"); break;
    }
    return true;
}

void Session::Handshake(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    // Parse the variable record: fixed 12 bytes, IQN, client id, optional token.
    auto fail = [&](uint32_t code, const std::string& why) {
        ZLOG(Warn, "proto", "handshake refused peer=%s code=%u: %s", peerText_.c_str(), code, why.c_str());
        Error(out, h, code, why.c_str());
    };
    size_t pos = sizeof(wire::HandshakeRequestFixed);
    auto text = [&](std::string* s) -> bool {
        if (pos + 2 > n) return false;
        uint16_t len = static_cast<uint16_t>(p[pos] | (p[pos + 1] << 8));
        pos += 2;
        if (pos + len > n) return false;
        s->assign(reinterpret_cast<const char*>(p + pos), len);
        pos += len;
        return true;
    };
    wire::HandshakeRequestFixed fixed;
    memcpy(&fixed, p, sizeof fixed);
    std::string iqn, clientId, token;
    bool wantSuper = (h.flags & wire::FlagSuperUser) != 0;
    if (!text(&iqn) || !text(&clientId) || (wantSuper && !text(&token)) || pos != n) {
        fail(wire::ErrInvalidParameter, "malformed handshake record");
        return;
    }
    if (fixed.clientVersion != 1) {
        fail(wire::ErrRevisionMismatch, "client protocol version " + std::to_string(fixed.clientVersion));
        return;
    }
    if (iqn.empty() || iqn.size() > wire::kMaxIqnBytes || clientId.size() > wire::kMaxClientIdBytes ||
        token.size() > wire::kMaxTokenUnits) {
        fail(wire::ErrInvalidParameter, "field too long or empty IQN");
        return;
    }
    if (!CleanText(iqn) || !CleanText(clientId) || !CleanText(token)) {
        fail(wire::ErrInvalidParameter, "IQN, client id or token is not valid UTF-8");
        return;
    }
    auto image = store_.FindOrRefresh(iqn);
    if (!image) {
        fail(wire::ErrAccessDenied, "unknown image iqn=" + iqn);
        return;
    }
    AdmitRequest req{iqn, clientId, peerIp_, wantSuper, token};
    AdmitResult adm = store_.Admit(req);
    if (adm.error) {
        fail(adm.error, adm.reason + " iqn=" + iqn + " client=" + clientId);
        return;
    }

    std::unique_lock<std::shared_mutex> lk(stateMutex_);
    Unbind();
    std::string err;
    bool su = false, ro = true;
    std::shared_ptr<Overlay> overlay;
    if (wantSuper && adm.superUser && !image->readOnly()) {
        overlay = image->AttachSuper(adm.clientKey, adm.upload, &err);
        su = ro = false;
        if (overlay) su = true;
    } else {
        if (wantSuper && image->readOnly())
            ZLOG(Warn, "proto", "super-user mode not granted: image is read-only iqn=%s client=%s", iqn.c_str(),
                 clientId.c_str());
        bool wantRo = image->readOnly() || adm.readOnly || !cfg_.normalWritable || (h.flags & wire::FlagReadOnly);
        if (!wantRo) {
            overlay = image->AttachNormal(adm.clientKey, adm.bootId, cfg_.overlayIdleSeconds, &err);
            ro = false;
        }
    }
    if (!ro && !overlay) {
        lk.unlock();
        bool busy = err.find("pending") != std::string::npos;
        if (busy)  // a merge owns the layer; the driver tries again
            ZLOG(Info, "proto", "session not bound yet iqn=%s client=%s: %s", iqn.c_str(), clientId.c_str(), err.c_str());
        else
            ZLOG(Error, "proto", "cannot bind session iqn=%s client=%s: %s", iqn.c_str(), clientId.c_str(), err.c_str());
        Error(out, h, busy ? wire::ErrBusy : wire::ErrIoDevice5, err.c_str());
        return;
    }
    image_ = image;
    overlay_ = overlay;
    if (overlay) {
        pin_ = overlay->pinnedVersion;
    } else {
        pin_ = image->PinCurrent();
        pinned_ = true;
    }
    readOnly_ = ro;
    superUser_ = su;
    sid_ = NextSid();
    clientKey_ = adm.clientKey;
    clientId_ = clientId;
    auto live = std::make_shared<LiveSession>();
    live->sid = sid_;
    live->iqn = iqn;
    live->clientId = clientId;
    live->clientKey = adm.clientKey;
    live->peer = peerText_;
    live->since = static_cast<int64_t>(time(nullptr));
    live->mode = static_cast<int>(su ? (adm.upload ? SessionMode::Upload : SessionMode::Super)
                                     : (ro ? SessionMode::ReadOnly : SessionMode::Normal));
    live->overlay = overlay;
    live_ = stats_.sessions.Add(std::move(live));

    wire::HandshakeResponse r{};
    r.serverVersion = 1;
    r.sid = sid_;
    r.size = image->size();
    r.bs = kHandshakeBlockSize;
    r.flags = (ro ? wire::kHandshakeReadOnly : 0) | (su ? wire::kHandshakeSuperUser : 0);
    r.ver = pin_;
    AppendHeader(out, wire::OpRespOk, 0, h.seq, 0, sizeof r);
    AppendRecord(out, r);
    ZLOG(Info, "proto", "handshake ok sid=%u iqn=%s client=%s key=%s peer=%s ro=%d su=%d ver=%u layerBlocks=%llu",
         sid_, iqn.c_str(), clientId.c_str(), clientKey_.c_str(), peerText_.c_str(), ro ? 1 : 0, su ? 1 : 0, pin_,
         static_cast<unsigned long long>(overlay ? overlay->layer->present() : 0));
}

void Session::Read(const wire::MessageHeader& h, Bytes& out, bool udp) {
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    if (!image_) return Error(out, h, wire::ErrAccessDenied, "no handshake");
    if (uint32_t e = CheckRange(h.offset, h.length)) return Error(out, h, e, "read out of range");
    if (udp) {
        // One answer datagram must hold header and data.
        if (h.length > wire::kMaxUdpDatagram || h.length + sizeof(wire::MessageHeader) > cfg_.udpMtu)
            return Error(out, h, wire::ErrInvalidParameter, "read too large for one datagram");
    } else if (h.length > cfg_.maxIoBytes) {
        return Error(out, h, wire::ErrInsufficientResources, "read larger than max-io");
    }
    size_t base = out.size();
    out.resize(base + sizeof(wire::MessageHeader) + h.length);
    uint8_t* data = out.data() + base + sizeof(wire::MessageHeader);
    if (!image_->Read(overlay_.get(), pin_, h.offset, h.length, data)) {
        out.resize(base);
        ZLOG(Error, "io", "read failed iqn=%s offset=%llu len=%u", image_->iqn().c_str(),
             static_cast<unsigned long long>(h.offset), h.length);
        return Error(out, h, wire::ErrIoDevice5, "read I/O error");
    }
    CountRead(h.length);
    uint8_t flags = wire::FlagData;
    uint32_t len = h.length;
    if (!udp && cfg_.compression && h.length >= 512) {
        // Worth it only when it saves a noticeable share; the bail-out keeps the cost of
        // incompressible data bounded to one pass.
        size_t cap = h.length - h.length / 16;
        thread_local std::vector<uint8_t> tmp;
        if (tmp.size() < cap) tmp.resize(cap);
        size_t c = CompressSequence(data, h.length, tmp.data(), cap);
        if (c > 0) {
            memcpy(data, tmp.data(), c);
            out.resize(base + sizeof(wire::MessageHeader) + c);
            flags |= wire::FlagCompressed;
            len = static_cast<uint32_t>(c);
        }
    }
    wire::MessageHeader r{wire::kMagic, wire::kVersion, wire::OpRespOk, flags, h.seq, h.offset, len};
    memcpy(out.data() + base, &r, sizeof r);
}

int Session::SendBaseDirect(const wire::MessageHeader& h, Bytes& out, int sock) {
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    if (!image_ || h.length == 0 || h.length > cfg_.maxIoBytes || CheckRange(h.offset, h.length)) return 0;
    Image::BaseView view;
    if (!image_->ViewBase(overlay_.get(), pin_, h.offset, h.length, &view)) return 0;
    if (cfg_.compression && h.length >= 512) {
        // The same decision and bytes as Read, but compressed straight from the mapping into
        // the answer, without a copy of the plain data first.
        size_t cap = h.length - h.length / 16;
        out.resize(sizeof(wire::MessageHeader) + cap);
        size_t c = 0;
        if (!RunCatchingBusError([&] { c = CompressSequence(view.data, h.length, out.data() + sizeof(wire::MessageHeader), cap); })) {
            out.clear();
            ZLOG(Warn, "io", "image file shorter than when it was opened iqn=%s offset=%llu", image_->iqn().c_str(),
                 static_cast<unsigned long long>(h.offset));
            return 0;  // Read takes pread, which sees the file as it is now
        }
        if (c > 0) {
            wire::MessageHeader r{wire::kMagic, wire::kVersion, wire::OpRespOk,
                                  static_cast<uint8_t>(wire::FlagData | wire::FlagCompressed), h.seq, h.offset,
                                  static_cast<uint32_t>(c)};
            memcpy(out.data(), &r, sizeof r);
            out.resize(sizeof r + c);
            CountRead(h.length);
            return 1;
        }
        out.clear();
    }
    wire::MessageHeader r{wire::kMagic, wire::kVersion, wire::OpRespOk, wire::FlagData, h.seq, h.offset, h.length};
    iovec iov[2] = {{&r, sizeof r}, {const_cast<uint8_t*>(view.data), h.length}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t sent;
    do {
        sent = sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    // A failed send is left to the normal path, which meets the error again and closes.
    size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
    const size_t total = sizeof r + h.length;
    if (done < total) {
        // What the socket did not take is copied now, while the view holds the base lock:
        // once it is released, a merge may overwrite these very pages with content this
        // session must not see.
        size_t base = out.size();
        out.resize(base + (total - done));
        uint8_t* dst = out.data() + base;
        if (done < sizeof r) {
            memcpy(dst, reinterpret_cast<const uint8_t*>(&r) + done, sizeof r - done);
            dst += sizeof r - done;
            done = sizeof r;
        }
        size_t dataOff = done - sizeof r;
        if (!PreadFull(view.fd, dst, h.length - dataOff, h.offset + dataOff)) {
            out.resize(base);
            ZLOG(Error, "io", "read failed iqn=%s offset=%llu len=%u", image_->iqn().c_str(),
                 static_cast<unsigned long long>(h.offset), h.length);
            if (sent > 0) return -1;  // part of the answer is on the wire: the stream is lost
            Error(out, h, wire::ErrIoDevice5, "read I/O error");
            return 1;
        }
    }
    CountRead(h.length);
    return 1;
}

void Session::Write(const wire::MessageHeader& h, const uint8_t* data, size_t n, Bytes* out) {
    // out == nullptr: a UDP write, which is never answered; errors are only logged.
    Bytes sink;
    Bytes& o = out ? *out : sink;
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    if (!image_) return Error(o, h, wire::ErrAccessDenied, "no handshake");
    if (n != h.length) return Error(o, h, wire::ErrInvalidParameter, "write length does not match its data");
    // A read-only image refuses writes from everyone, also from a super-user session that
    // began before the image was marked read-only.
    if (readOnly_ || !overlay_ || image_->readOnly())
        return Error(o, h, wire::ErrWriteProtected, "session is read-only");
    if (uint32_t e = CheckRange(h.offset, h.length)) return Error(o, h, e, "write out of range");
    uint32_t e = image_->Write(overlay_.get(), pin_, h.offset, data, n);
    if (e) {
        if (!out) ZLOG(Warn, "udp", "datagram write dropped code=%u peer=%s", e, peerText_.c_str());
        return Error(o, h, e, "write failed");
    }
    CountWritten(n);
    if (out) AppendHeader(*out, wire::OpRespOk, 0, h.seq, h.offset, h.length);
}

void Session::BatchRead(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    if (!image_) return Error(out, h, wire::ErrAccessDenied, "no handshake");
    uint64_t count = h.offset;
    if (count < 1 || count > wire::kMaxBatchSegments || n != count * sizeof(wire::BatchSegment))
        return Error(out, h, wire::ErrInvalidParameter, "bad batch segment count");
    std::vector<wire::BatchSegment> segs(count);
    memcpy(segs.data(), p, n);
    uint64_t total = 0;
    // Every segment is checked before the first answer byte: once segment data is on the
    // stream, an error could only end the batch half-way.
    for (const auto& s : segs) {
        if (uint32_t e = CheckRange(s.offset, s.length)) return Error(out, h, e, "batch segment out of range");
        total += s.length;
    }
    if (total > cfg_.maxIoBytes) return Error(out, h, wire::ErrInsufficientResources, "batch larger than max-io");
    size_t base = out.size();
    out.reserve(base + total + (count + 1) * sizeof(wire::MessageHeader));
    for (const auto& s : segs) {
        AppendHeader(out, wire::OpRespOk, wire::FlagData, h.seq, s.offset, s.length);
        size_t at = out.size();
        out.resize(at + s.length);
        if (!image_->Read(overlay_.get(), pin_, s.offset, s.length, out.data() + at)) {
            out.resize(base);
            return Error(out, h, wire::ErrIoDevice5, "batch read I/O error");
        }
    }
    CountRead(total);
    AppendHeader(out, wire::OpRespOk, 0, h.seq, wire::kBatchEndMarker, 0);
}

void Session::BatchWrite(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    if (!image_) return Error(out, h, wire::ErrAccessDenied, "no handshake");
    uint64_t count = h.offset;
    if (count < 1 || count > wire::kMaxBatchSegments)
        return Error(out, h, wire::ErrInvalidParameter, "bad batch segment count");
    if (readOnly_ || !overlay_ || image_->readOnly())
        return Error(out, h, wire::ErrWriteProtected, "session is read-only");
    std::vector<wire::BatchSegment> segs(count);
    memcpy(segs.data(), p, count * sizeof(wire::BatchSegment));
    uint64_t total = 0;
    for (const auto& s : segs) {
        if (uint32_t e = CheckRange(s.offset, s.length)) return Error(out, h, e, "batch segment out of range");
        total += s.length;
    }
    if (total != h.length) return Error(out, h, wire::ErrInvalidParameter, "segment lengths do not add up");
    const uint8_t* data = p + count * sizeof(wire::BatchSegment);
    for (const auto& s : segs) {
        if (uint32_t e = image_->Write(overlay_.get(), pin_, s.offset, data, s.length))
            return Error(out, h, e, "batch write failed");
        data += s.length;
    }
    CountWritten(total);
    AppendHeader(out, wire::OpRespOk, 0, h.seq, h.offset, static_cast<uint32_t>(total));
}

void Session::ExitSuperUser(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    if (n != 1 || p[0] > 1) return Error(out, h, wire::ErrInvalidParameter, "exit payload must be one byte 0 or 1");
    bool commit = p[0] == 1;
    std::shared_ptr<Image> image;
    std::shared_ptr<Overlay> overlay;
    {
        std::shared_lock<std::shared_mutex> lk(stateMutex_);
        if (!image_) return Error(out, h, wire::ErrAccessDenied, "no handshake");
        if (!superUser_ || !overlay_) return Error(out, h, wire::ErrInvalidParameter, "session is not in super-user mode");
        image = image_;
        overlay = overlay_;
    }
    // The merge runs without the session lock: UDP reads of this client go on meanwhile and
    // see the layer, which is exactly the merged result.
    wire::ExitSuperUserResponse r{};
    if (commit && image->readOnly())
        return Error(out, h, wire::ErrWriteProtected, "image was marked read-only; the layer is kept");
    if (commit) {
        MergeOutcome m = image->Merge(overlay);
        if (!m.ok) {
            ZLOG(Error, "merge", "exit with commit failed iqn=%s client=%s: %s", image->iqn().c_str(),
                 clientKey_.c_str(), m.error.c_str());
            return Error(out, h, wire::ErrIoDevice5, "merge failed");
        }
        r.blocks = m.blocks;
        r.bytes = m.bytes;
    } else {
        image->Discard(overlay);
    }
    {
        std::unique_lock<std::shared_mutex> lk(stateMutex_);
        if (overlay_ == overlay) {
            image_->Detach(overlay_);
            overlay_.reset();
            superUser_ = false;
            readOnly_ = true;  // the client restarts next; until then it reads the new base
            if (live_) live_->mode = static_cast<int>(SessionMode::ReadOnly);
            pin_ = image_->PinCurrent();
            pinned_ = true;
        }
    }
    ZLOG(Info, "proto", "exit super-user sid=%u iqn=%s client=%s commit=%d blocks=%llu bytes=%llu version=%u", sid_,
         image->iqn().c_str(), clientKey_.c_str(), commit ? 1 : 0, static_cast<unsigned long long>(r.blocks),
         static_cast<unsigned long long>(r.bytes), image->version());
    AppendHeader(out, wire::OpRespOk, 0, h.seq, 0, sizeof r);
    AppendRecord(out, r);
}

void Session::MigrationStatus(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    if (n != wire::kMigrationKeySize) return Error(out, h, wire::ErrInvalidParameter, "key record must be 32 bytes");
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    if (!image_) return Error(out, h, wire::ErrAccessDenied, "no handshake");
    // What "migration" means here: the state of this client's copy-on-write layer. active is 1
    // while a merge runs on the image; dirty counts the layer's 4 KiB blocks, total the image's.
    wire::MigrationStatusResponse r{};
    r.active = image_->merging() ? 1 : 0;
    r.field4 = image_->version();
    r.field8 = (readOnly_ ? 1u : 0u) | (superUser_ ? 2u : 0u);
    r.dirty = overlay_ ? overlay_->layer->present() : 0;
    r.field24 = r.dirty * kLayerBlock;
    r.total = (image_->size() + kLayerBlock - 1) / kLayerBlock;
    r.field40 = image_->size();
    AppendHeader(out, wire::OpRespOk, 0, h.seq, 0, sizeof r);
    AppendRecord(out, r);
}

void Session::TransportNegotiate(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    if (n != sizeof(wire::TransportNegotiateRequest))
        return Error(out, h, wire::ErrInvalidParameter, "negotiate record must be 16 bytes");
    wire::TransportNegotiateRequest req;
    memcpy(&req, p, sizeof req);
    {
        std::shared_lock<std::shared_mutex> lk(stateMutex_);
        if (!image_) return Error(out, h, wire::ErrAccessDenied, "no handshake");
    }
    uint32_t serverMask = wire::TransportTcp | (udp_.port ? static_cast<uint32_t>(wire::TransportUdp) : 0u);
    uint32_t selected = req.mask & serverMask;
    if (!(selected & wire::TransportTcp)) selected |= wire::TransportTcp;  // TCP is always there
    wire::TransportNegotiateResponse r{};
    r.selected = selected;
    r.udpPort = (selected & wire::TransportUdp) ? udp_.port : 0;
    r.rdmaPort = 0;
    r.mtu = cfg_.udpMtu;
    if (r.udpPort) {
        udp_.Register(peerIp_, shared_from_this());
        udpRegistered_ = true;
    }
    ZLOG(Info, "proto", "transport negotiated sid=%u peer=%s clientMask=0x%X selected=0x%X udpPort=%u", sid_,
         peerText_.c_str(), req.mask, selected, r.udpPort);
    AppendHeader(out, wire::OpRespOk, 0, h.seq, 0, sizeof r);
    AppendRecord(out, r);
}

void Session::PathDeregister(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    if (n != sizeof(wire::PathDeregisterRequest))
        return Error(out, h, wire::ErrInvalidParameter, "path record must be 12 bytes");
    wire::PathDeregisterRequest req;
    memcpy(&req, p, sizeof req);
    ZLOG(Info, "proto", "path deregistered sid=%u peer=%s pathId=%u reason=%u", sid_, peerText_.c_str(), req.pathId,
         req.reason);
    AppendHeader(out, wire::OpRespOk, 0, h.seq, 0, 0);
}

bool Session::BuildPushBlock(uint64_t offset, uint32_t seq, Bytes& out) {
    std::shared_lock<std::shared_mutex> lk(stateMutex_);
    // The client's cache takes only whole, aligned 4 KiB blocks.
    if (!image_ || offset % kLayerBlock || CheckRange(offset, kLayerBlock)) return false;
    out.clear();
    AppendHeader(out, wire::OpPushBlock, wire::FlagData, seq, offset, kLayerBlock);
    out.resize(sizeof(wire::MessageHeader) + kLayerBlock);
    return image_->Read(overlay_.get(), pin_, offset, kLayerBlock, out.data() + sizeof(wire::MessageHeader));
}

void Session::HandleUdp(const wire::MessageHeader& h, const uint8_t* p, size_t n, Bytes& out) {
    stats_.udpRequests++;
    switch (h.opcode) {
        case wire::OpRead:
            if (n != 0) return;
            Read(h, out, true);
            break;
        case wire::OpWrite:
            Write(h, p, n, nullptr);
            break;
        case wire::OpPing:
            AppendHeader(out, wire::OpRespPong, 0, h.seq, 0, 0);
            break;
        case wire::OpPushBlockAck:
            stats_.pushAcks++;
            break;
        default:
            ZLOG(Debug, "udp", "datagram ignored op=0x%02X peer=%s", h.opcode, peerText_.c_str());
            break;
    }
}

}  // namespace zelko::diskd
