// Calls from the management server to zelko-diskd's admin listener (servers/LINK.md).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace zelko::mgmtd {

class DiskdLink {
public:
    DiskdLink(std::string baseUrl, std::string secret) : url_(std::move(baseUrl)), secret_(std::move(secret)) {}
    virtual ~DiskdLink() = default;
    bool Configured() const { return !url_.empty(); }
    const std::string& Url() const { return url_; }

    struct Reply {
        int status = 0;       // HTTP status; 0 when the disk server could not be reached
        nlohmann::json body;  // the parsed reply, or null
        std::string error;    // transport error, when status is 0
        int Code() const {
            return body.is_object() && body.contains("code") && body["code"].is_number_integer()
                       ? body["code"].get<int>()
                       : -1;
        }
        std::string Message() const {
            if (body.is_object() && body.contains("message") && body["message"].is_string()) return body["message"];
            return status && error.empty() ? "HTTP " + std::to_string(status) : error;
        }
    };

    // What came back over HTTP, before it is decoded.
    struct Exchanged {
        bool reached = false;
        int status = 0;
        std::string body;
        std::string error;
    };
    // The reply as the callers may read it. The disk server is a peer like any other: a body
    // whose fields do not have the types the link defines (servers/LINK.md) is not handed on
    // half-read; it becomes a failed reply (status kMalformed, body null, `error` saying which
    // field), so every caller's "did it work" test fails and it retries or reports.
    static Reply Decode(const std::string& method, const std::string& path, const Exchanged& x);
    static constexpr int kMalformed = 502;

    Reply ImageInfo(const std::string& iqn);
    // The protocol sessions the disk server holds now (GET /admin/v1/sessions).
    Reply Sessions();
    Reply PrepareDisk(const std::string& iqn);  // may take minutes on a large image
    Reply DiscardLayer(const std::string& iqn, const std::string& clientKey);
    Reply MergeLayer(const std::string& iqn, const std::string& clientKey);  // may take minutes
    Reply Reload();

protected:
    // The HTTP call itself; the fuzz target of the link's replies stands in here.
    virtual Exchanged Exchange(const std::string& method, const std::string& path, int readTimeoutSec);

private:
    Reply Call(const std::string& method, const std::string& path, int readTimeoutSec);
    std::string url_;
    std::string secret_;
};

}  // namespace zelko::mgmtd
