#include "api_support.h"

#include "service.h"
#include "util.h"
#include "zelko_common/link.h"

namespace zelko::mgmtd::api {

namespace {
constexpr const char* kJsonType = "application/json; charset=utf-8";

int HttpStatusFor(int code) {
    if (code == 15) return 409;
    if (code == 5) return 500;
    if (code >= 400 && code <= 599) return code;
    return 500;
}
}  // namespace

void Send(Response& res, int status, const ojson& body) {
    res.status = status;
    // "replace": a stored name can never make the reply throw.
    res.Set(body.dump(-1, ' ', false, ojson::error_handler_t::replace), kJsonType);
}

void SendOk(Response& res, ojson body) {
    ojson out = {{"code", 0}};
    for (auto& [k, v] : body.items()) out[k] = v;
    Send(res, 200, out);
}

void Refuse(Response& res, int code, const std::string& message, bool inBody) {
    Send(res, inBody ? 200 : HttpStatusFor(code), ojson{{"code", code}, {"message", message}});
}

void Guarded(Response& res, bool inBody, const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ServiceError& e) {
        Refuse(res, e.code, e.what(), inBody);
    } catch (const std::exception& e) {
        LogError(std::string("request failed: ") + e.what());
        Refuse(res, 500, "服务器内部错误", inBody);
    }
}

std::string Remote(const Request& req) {
    auto ip = NormalizeIpv4(req.remoteAddr);
    return ip ? *ip : req.remoteAddr;
}

std::optional<nlohmann::json> BodyObject(const Request& req, bool emptyOk) {
    if (req.body.empty() && emptyOk) return nlohmann::json::object();
    auto j = nlohmann::json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return j;
}

std::optional<int64_t> PathId(const Request& req) {
    if (req.matches.size() < 2) return std::nullopt;
    return ParseId(req.matches[1]);
}

ojson ImageJson(const Image& im, bool withPath) {
    ojson j{{"id", im.id},
            {"name", im.name},
            {"iqn", common::ImageIqn(im.id)},
            {"sizeBytes", im.sizeBytes},
            {"readOnly", im.readOnly}};
    if (withPath) j["path"] = im.path;
    return j;
}

ojson ClientJson(const Client& c) {
    return ojson{{"id", c.id},
                 {"name", c.name},
                 {"macAddress", DisplayMac(c.mac)},
                 {"ipAddress", c.ip ? ojson(*c.ip) : ojson(nullptr)},
                 {"imageId", c.imageId ? ojson(*c.imageId) : ojson(nullptr)},
                 {"imageIqn", c.imageId ? ojson(common::ImageIqn(*c.imageId)) : ojson("")},
                 {"isSuperClient", c.isSuper},
                 {"bootId", c.bootId}};
}

std::optional<std::string> Fields::Str(const char* k, size_t maxLen) {
    if (!j.contains(k) || j[k].is_null()) return std::nullopt;
    if (!j[k].is_string() || j[k].get_ref<const std::string&>().size() > maxLen) {
        error = std::string("字段 ") + k + " 必须是字符串";
        return std::nullopt;
    }
    return j[k].get<std::string>();
}

std::optional<int64_t> Fields::Int(const char* k) {
    if (!j.contains(k) || j[k].is_null()) return std::nullopt;
    if (!j[k].is_number_integer()) {
        error = std::string("字段 ") + k + " 必须是整数";
        return std::nullopt;
    }
    return j[k].get<int64_t>();
}

std::optional<bool> Fields::Bool(const char* k) {
    if (!j.contains(k) || j[k].is_null()) return std::nullopt;
    if (!j[k].is_boolean()) {
        error = std::string("字段 ") + k + " 必须是布尔值";
        return std::nullopt;
    }
    return j[k].get<bool>();
}

bool Paging(const Request& req, Response& res, int64_t* page, int64_t* pageSize, bool inBody) {
    *page = 1;
    *pageSize = 100;
    if (req.HasParam("page")) {
        auto v = ParseId(req.Param("page"));
        if (!v || *v > 1000000) return Refuse(res, 400, "page 必须是正整数", inBody), false;
        *page = *v;
    }
    if (req.HasParam("pageSize")) {
        auto v = ParseId(req.Param("pageSize"));
        if (!v || *v > 1000) return Refuse(res, 400, "pageSize 必须在 1 到 1000 之间", inBody), false;
        *pageSize = *v;
    }
    return true;
}

std::string CsrfToken(const std::string& sessionToken) { return Sha256Hex("zelko-console-csrf\n" + sessionToken); }

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < b.size(); ++i)
        diff |= static_cast<unsigned char>(i < a.size() ? a[i] : 0) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

}  // namespace zelko::mgmtd::api
