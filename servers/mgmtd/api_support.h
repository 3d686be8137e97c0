// Reply and request helpers shared by the API's route files.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "http_server.h"
#include "store.h"

namespace zelko::mgmtd::api {

using ojson = nlohmann::ordered_json;
using http::Request;
using http::Response;

void Send(Response& res, int status, const ojson& body);
void SendOk(Response& res, ojson body = ojson::object());

// The client program reads `code` from these replies and shows `message`, but turns any status
// outside 200-299 into a bare "HTTP 状态码" text; so calls it reads that way answer refusals
// with 200 (`inBody`), the others with the matching status.
void Refuse(Response& res, int code, const std::string& message, bool inBody);

// Runs an operation; a ServiceError becomes a refusal, anything else a 500 without details
// (they go to the log instead).
void Guarded(Response& res, bool inBody, const std::function<void()>& fn);

// The caller's IPv4 address in canonical form.
std::string Remote(const Request& req);

// Parses a JSON object body; an empty body counts as {} when `emptyOk`.
std::optional<nlohmann::json> BodyObject(const Request& req, bool emptyOk);

// The id in the route's first capture group.
std::optional<int64_t> PathId(const Request& req);

// `path` is where the image lives on this server: administrators need it, nobody else does.
ojson ImageJson(const Image& im, bool withPath);
ojson ClientJson(const Client& c);

// Optional typed members of a request body; a member of the wrong type is an error.
struct Fields {
    const nlohmann::json& j;
    std::string error;
    std::optional<std::string> Str(const char* k, size_t maxLen = 1024);
    std::optional<int64_t> Int(const char* k);
    std::optional<bool> Bool(const char* k);
    bool Null(const char* k) const { return j.contains(k) && j[k].is_null(); }
};

// The anti-CSRF token of a console login: derived from the session's token, so it needs no
// storage and is worthless without the cookie it belongs to (which scripts cannot read).
std::string CsrfToken(const std::string& sessionToken);
bool ConstantTimeEquals(const std::string& a, const std::string& b);

// page and pageSize of a list request, or a refusal.
bool Paging(const Request& req, Response& res, int64_t* page, int64_t* pageSize, bool inBody);

}  // namespace zelko::mgmtd::api
