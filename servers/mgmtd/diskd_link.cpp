#include "diskd_link.h"

#include <httplib.h>

#include "util.h"
#include "zelko_common/link.h"

namespace zelko::mgmtd {

namespace {

using nlohmann::json;

// The types of the reply fields the management server reads (servers/LINK.md). A field may be
// missing unless the reply cannot be used without it, but it is never of another type: the
// callers read them with defaults, and nlohmann's value() throws on a wrong type.
enum class Kind { Int, Count, Bool, Str, Array, Object, ObjectOrNull };

const char* KindName(Kind k) {
    switch (k) {
        case Kind::Int: return "an integer";
        case Kind::Count: return "a non-negative integer";
        case Kind::Bool: return "a boolean";
        case Kind::Str: return "a string";
        case Kind::Array: return "an array";
        case Kind::Object: return "an object";
        case Kind::ObjectOrNull: return "an object or null";
    }
    return "?";
}

bool IsKind(const json& v, Kind k) {
    switch (k) {
        case Kind::Int: return v.is_number_integer();
        case Kind::Count: return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
        case Kind::Bool: return v.is_boolean();
        case Kind::Str: return v.is_string();
        case Kind::Array: return v.is_array();
        case Kind::Object: return v.is_object();
        case Kind::ObjectOrNull: return v.is_object() || v.is_null();
    }
    return false;
}

struct Field {
    const char* name;
    Kind kind;
};

// Fields that may appear at the top of any reply, and in each entry of `superLayers`.
constexpr Field kTopFields[] = {{"code", Kind::Int},          {"message", Kind::Str},
                                {"version", Kind::Count},     {"blocks", Kind::Count},
                                {"bytes", Kind::Count},       {"sizeBytes", Kind::Count},
                                {"readOnly", Kind::Bool},     {"normalOverlays", Kind::Count},
                                {"snapshots", Kind::Count},   {"mergePending", Kind::Bool},
                                {"superLayers", Kind::Array}, {"merge", Kind::ObjectOrNull},
                                {"items", Kind::Array}};
constexpr Field kLayerFields[] = {{"clientKey", Kind::Str},   {"blocks", Kind::Count},
                                  {"bytes", Kind::Count},     {"sessions", Kind::Count},
                                  {"idleSeconds", Kind::Count}, {"merging", Kind::Bool},
                                  {"upload", Kind::Bool},     {"writtenBytes", Kind::Count},
                                  {"writtenEnd", Kind::Count}};
// What an entry of `superLayers` cannot do without: whose layer, and whether it is in use.
constexpr const char* kLayerNeeds[] = {"clientKey", "sessions", "idleSeconds"};

template <size_t N>
std::string CheckTypes(const json& obj, const Field (&fields)[N], const std::string& where) {
    for (const Field& f : fields) {
        auto it = obj.find(f.name);
        if (it != obj.end() && !IsKind(*it, f.kind)) return where + f.name + " is not " + KindName(f.kind);
    }
    return {};
}

std::string Needs(const json& obj, std::initializer_list<const char*> names, const std::string& where) {
    for (const char* n : names)
        if (!obj.contains(n)) return where + n + " is missing";
    return {};
}

bool EndsWith(const std::string& s, const char* tail) {
    size_t n = std::char_traits<char>::length(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Empty when the body may be handed to the callers; else what is wrong with it.
std::string ShapeError(const std::string& method, const std::string& path, int status, const json& body) {
    if (!body.is_object()) return status == 200 ? "the body is not a JSON object" : std::string();
    if (std::string e = CheckTypes(body, kTopFields, ""); !e.empty()) return e;
    if (auto it = body.find("superLayers"); it != body.end()) {
        size_t i = 0;
        for (const json& l : *it) {
            std::string where = "superLayers[" + std::to_string(i++) + "].";
            if (!l.is_object()) return where.substr(0, where.size() - 1) + " is not an object";
            if (std::string e = CheckTypes(l, kLayerFields, where); !e.empty()) return e;
            for (const char* n : kLayerNeeds)
                if (!l.contains(n)) return where + n + " is missing";
        }
    }
    // A success must carry what its caller acts on.
    if (status != 200 || body.value("code", -1) != 0) return {};
    if (method == "GET" && path.rfind("/admin/v1/images/", 0) == 0) return Needs(body, {"version", "superLayers"}, "");
    if (EndsWith(path, "/merge")) return Needs(body, {"blocks", "version"}, "");
    if (EndsWith(path, "/prepare-disk")) return Needs(body, {"version"}, "");
    return {};
}

}  // namespace

DiskdLink::Reply DiskdLink::Decode(const std::string& method, const std::string& path, const Exchanged& x) {
    Reply r;
    if (!x.reached) {
        r.error = x.error;
        return r;
    }
    r.status = x.status;
    r.body = json::parse(x.body, nullptr, false);
    if (r.body.is_discarded()) r.body = nullptr;
    std::string wrong = ShapeError(method, path, r.status, r.body);
    if (!wrong.empty()) {
        r.error = "malformed reply from the disk server (HTTP " + std::to_string(r.status) + "): " + wrong;
        LogWarn(r.error + " [" + method + " " + path + "]");
        r.status = kMalformed;
        r.body = nullptr;
    }
    return r;
}

DiskdLink::Exchanged DiskdLink::Exchange(const std::string& method, const std::string& path, int readTimeoutSec) {
    Exchanged x;
    httplib::Client cli(url_);
    cli.set_connection_timeout(5, 0);
    cli.set_read_timeout(readTimeoutSec, 0);
    cli.set_write_timeout(10, 0);
    httplib::Headers headers = {{common::kLinkSecretHeader, secret_}};
    httplib::Result res =
        method == "GET" ? cli.Get(path.c_str(), headers) : cli.Post(path.c_str(), headers, "{}", "application/json");
    if (!res) {
        x.error = "cannot reach disk server " + url_ + ": " + httplib::to_string(res.error());
        return x;
    }
    x.reached = true;
    x.status = res->status;
    x.body = std::move(res->body);
    return x;
}

DiskdLink::Reply DiskdLink::Call(const std::string& method, const std::string& path, int readTimeoutSec) {
    if (url_.empty()) {
        Reply r;
        r.error = "no disk server configured";
        return r;
    }
    return Decode(method, path, Exchange(method, path, readTimeoutSec));
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
