// The link with zelko-diskd (servers/LINK.md). The link secret has been checked before routing.
#include "api.h"
#include "api_support.h"
#include "util.h"
#include "zelko_common/link.h"

namespace zelko::mgmtd {

using namespace api;

void Api::LinkImages(const Request&, Response& res) {
    Guarded(res, false, [&] {
        ojson items = ojson::array();
        for (auto& im : service_.store().ListImages(0, INT64_MAX))
            items.push_back(ojson{{"id", im.id},
                                  {"iqn", common::ImageIqn(im.id)},
                                  {"name", im.name},
                                  {"path", im.path},
                                  {"sizeBytes", im.sizeBytes},
                                  {"readOnly", im.readOnly}});
        SendOk(res, ojson{{"items", items}});
    });
}

// May this connection of the disk server open this image, and as whom?
void Api::LinkSessionCheck(const Request& req, Response& res) {
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "body must be a JSON object", false);
    Fields f{*body, {}};
    auto iqn = f.Str("iqn", 255), clientId = f.Str("clientId", 255), peerIp = f.Str("peerIp", 64),
         token = f.Str("token", 255);
    if (!f.error.empty() || !iqn)
        return Refuse(res, 400, "iqn (string) required; clientId, peerIp, token must be strings", false);
    Guarded(res, false, [&] {
        Store& store = service_.store();
        ojson out{{"code", 0},       {"allowed", false}, {"superUser", false}, {"tokenKind", ""},
                  {"clientKey", ""}, {"bootId", 0},      {"readOnly", false}};
        auto imageId = common::ImageIdFromIqn(*iqn);
        auto image = imageId ? store.GetImage(*imageId) : std::nullopt;
        if (!image) {
            out["reason"] = "unknown image";
            return Send(res, 200, out);
        }
        out["readOnly"] = image->readOnly;
        std::optional<std::string> peer = peerIp ? NormalizeIpv4(*peerIp) : std::nullopt;
        // Which PC is this: by its registered address, else by the client id the driver
        // sends (its MAC, or a name).
        std::optional<Client> client;
        if (peer) client = store.FindClientByIp(*peer);
        if (!client && clientId && !clientId->empty()) {
            std::string digits;
            for (char ch : *clientId)
                if (ch != '-' && ch != ':') digits.push_back(ch);
            if (auto mac = NormalizeMac(digits)) client = store.FindClientByMac(*mac);
            if (!client) client = store.FindClientByName(*clientId);
        }
        if (client) {
            out["clientKey"] = Service::ClientKey(client->id);
            out["bootId"] = client->bootId;
        }
        if (!token || token->empty()) {
            // The first boot after leaving super-user mode waits ("busy", which the driver
            // retries) while its layer is merged, so it comes up on the new base.
            if (client && service_.MergeHoldsBoot(client->id))
                return Send(res, 200, ojson{{"code", 15}, {"message", "the PC's super-user layer is being merged"}});
            out["allowed"] = true;
            if (client) service_.NoteHandshake(client->id, peer.value_or(""), false);
            return Send(res, 200, out);
        }
        // A super-user token counts only for its own PC's image, from its own address.
        if (auto owner = store.FindClientBySuperToken(*token)) {
            bool sameImage = owner->imageId && *owner->imageId == image->id;
            bool sameAddress = owner->ip && peer && *owner->ip == *peer;
            if (sameImage && sameAddress && !image->readOnly) {
                out["allowed"] = true;
                out["superUser"] = true;
                out["tokenKind"] = "super";
                out["clientKey"] = Service::ClientKey(owner->id);
                out["bootId"] = owner->bootId;
                service_.NoteHandshake(owner->id, *peer, true);
                return Send(res, 200, out);
            }
            out["reason"] =
                sameImage ? "super-user token presented from another address" : "token is for another image";
            LogWarn("super-user token of client " + std::to_string(owner->id) + " refused for " + *iqn +
                    (peer ? " from " + *peer : std::string()));
            return Send(res, 200, out);
        }
        if (auto up = store.FindUpload(Sha256Hex(*token), NowSeconds())) {
            if (up->imageId == image->id && !image->readOnly) {
                out["allowed"] = true;
                out["superUser"] = true;
                out["tokenKind"] = "upload";
                out["clientKey"] = Service::UploadKey(up->id);
                return Send(res, 200, out);
            }
            out["reason"] = "token is for another image";
            return Send(res, 200, out);
        }
        out["reason"] = "unknown, revoked or expired token";
        Send(res, 200, out);
    });
}

}  // namespace zelko::mgmtd
