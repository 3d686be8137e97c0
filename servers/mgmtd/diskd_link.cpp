#include "diskd_link.h"

#include <httplib.h>

#include "zelko_common/link.h"

namespace zelko::mgmtd {

DiskdLink::Reply DiskdLink::Call(const std::string& method, const std::string& path, int readTimeoutSec) {
    Reply r;
    if (url_.empty()) {
        r.error = "no disk server configured";
        return r;
    }
    httplib::Client cli(url_);
    cli.set_connection_timeout(5, 0);
    cli.set_read_timeout(readTimeoutSec, 0);
    cli.set_write_timeout(10, 0);
    httplib::Headers headers = {{common::kLinkSecretHeader, secret_}};
    httplib::Result res =
        method == "GET" ? cli.Get(path.c_str(), headers) : cli.Post(path.c_str(), headers, "{}", "application/json");
    if (!res) {
        r.error = "cannot reach disk server " + url_ + ": " + httplib::to_string(res.error());
        return r;
    }
    r.status = res->status;
    r.body = nlohmann::json::parse(res->body, nullptr, false);
    if (r.body.is_discarded()) r.body = nullptr;
    return r;
}

DiskdLink::Reply DiskdLink::ImageInfo(const std::string& iqn) { return Call("GET", "/admin/v1/images/" + iqn, 10); }
DiskdLink::Reply DiskdLink::Sessions() { return Call("GET", "/admin/v1/sessions", 10); }
DiskdLink::Reply DiskdLink::PrepareDisk(const std::string& iqn) {
    return Call("POST", "/admin/v1/images/" + iqn + "/prepare-disk", 900);
}
DiskdLink::Reply DiskdLink::DiscardLayer(const std::string& iqn, const std::string& clientKey) {
    return Call("POST", "/admin/v1/images/" + iqn + "/layers/" + clientKey + "/discard", 60);
}
DiskdLink::Reply DiskdLink::MergeLayer(const std::string& iqn, const std::string& clientKey) {
    return Call("POST", "/admin/v1/images/" + iqn + "/layers/" + clientKey + "/merge", 900);
}
DiskdLink::Reply DiskdLink::Reload() { return Call("POST", "/admin/v1/reload", 10); }

}  // namespace zelko::mgmtd
