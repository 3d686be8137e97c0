// The console: PCs, images and operators. Reading is for every operator; changes are for
// administrators (an image's path decides which file prepare-disk overwrites).
#include "api.h"
#include "api_support.h"
#include "util.h"

namespace zelko::mgmtd {

using namespace api;

namespace {

std::string ReadClientPatch(const nlohmann::json& j, ClientPatch* p) {
    Fields f{j, {}};
    p->mac = f.Str("macAddress", 64);
    p->name = f.Str("name", 256);
    if (f.Null("ipAddress"))
        p->ip = std::optional<std::string>();
    else if (auto ip = f.Str("ipAddress", 64))
        p->ip = ip;
    if (f.Null("imageId"))
        p->imageId = std::optional<int64_t>();
    else if (auto im = f.Int("imageId"))
        p->imageId = im;
    return f.error;
}

ojson UserJson(const User& u) { return ojson{{"id", u.id}, {"username", u.username}, {"isAdmin", u.isAdmin}}; }

}  // namespace

// ---- PCs ----

void Api::ListClients(const Request& req, Response& res) {
    if (!Authed(req, res)) return;
    int64_t page, pageSize;
    if (!Paging(req, res, &page, &pageSize, false)) return;
    Guarded(res, false, [&] {
        Store& store = service_.store();
        ojson items = ojson::array();
        for (auto& c : store.ListClients((page - 1) * pageSize, pageSize)) items.push_back(ClientJson(c));
        SendOk(res, ojson{{"items", items}, {"total", store.CountClients()}, {"page", page}, {"pageSize", pageSize}});
    });
}

void Api::AddClient(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    ClientPatch p;
    std::string err = ReadClientPatch(*body, &p);
    if (!err.empty()) return Refuse(res, 400, err, false);
    if (!p.mac || !p.name) return Refuse(res, 400, "需要字段 macAddress 和 name", false);
    Guarded(res, false, [&] {
        Client c =
            service_.AddClient(*p.mac, *p.name, p.ip ? *p.ip : std::nullopt, p.imageId ? *p.imageId : std::nullopt);
        SendOk(res, ClientJson(c));
    });
}

void Api::GetClient(const Request& req, Response& res) {
    if (!Authed(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "客户机 id 无效", false);
    Guarded(res, false, [&] { SendOk(res, ClientJson(service_.GetClient(*id))); });
}

void Api::UpdateClient(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "客户机 id 无效", false);
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    ClientPatch p;
    std::string err = ReadClientPatch(*body, &p);
    if (!err.empty()) return Refuse(res, 400, err, false);
    Guarded(res, false, [&] { SendOk(res, ClientJson(service_.UpdateClient(*id, p))); });
}

void Api::RemoveClient(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "客户机 id 无效", false);
    Guarded(res, false, [&] {
        service_.RemoveClient(*id);
        SendOk(res);
    });
}

// ---- images ----

void Api::AddImage(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    Fields f{*body, {}};
    auto name = f.Str("name", 256);
    auto size = f.Int("sizeBytes");
    auto path = f.Str("path", 2048);
    auto ro = f.Bool("readOnly");
    auto create = f.Bool("createFile");
    if (!f.error.empty()) return Refuse(res, 400, f.error, false);
    if (!name) return Refuse(res, 400, "需要字段 name", false);
    if (size && *size < 0) return Refuse(res, 400, "sizeBytes 不能为负", false);
    Guarded(res, false, [&] {
        Image im = service_.AddImage(*name, size ? static_cast<uint64_t>(*size) : 0, path.value_or(""),
                                     ro.value_or(false), create.value_or(true));
        SendOk(res, ImageJson(im, true));
    });
}

void Api::GetImage(const Request& req, Response& res) {
    auto user = Authed(req, res);
    if (!user) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "镜像 id 无效", false);
    Guarded(res, false, [&] { SendOk(res, ImageJson(service_.GetImage(*id), user->isAdmin)); });
}

void Api::UpdateImage(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "镜像 id 无效", false);
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    Fields f{*body, {}};
    ImagePatch p;
    p.name = f.Str("name", 256);
    p.path = f.Str("path", 2048);
    if (auto s = f.Int("sizeBytes")) {
        if (*s < 0) return Refuse(res, 400, "sizeBytes 不能为负", false);
        p.sizeBytes = static_cast<uint64_t>(*s);
    }
    p.readOnly = f.Bool("readOnly");
    if (!f.error.empty()) return Refuse(res, 400, f.error, false);
    Guarded(res, false, [&] { SendOk(res, ImageJson(service_.UpdateImage(*id, p), true)); });
}

void Api::RemoveImage(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto id = PathId(req);
    if (!id) return Refuse(res, 400, "镜像 id 无效", false);
    Guarded(res, false, [&] {
        service_.RemoveImage(*id);
        SendOk(res);
    });
}

// ---- operators ----

void Api::ListUsers(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    Guarded(res, false, [&] {
        ojson items = ojson::array();
        for (auto& u : service_.store().ListUsers()) items.push_back(UserJson(u));
        SendOk(res, ojson{{"items", items}});
    });
}

void Api::AddUser(const Request& req, Response& res) {
    if (!AdminOnly(req, res)) return;
    auto body = BodyObject(req, false);
    if (!body) return Refuse(res, 400, "请求体必须是 JSON 对象", false);
    Fields f{*body, {}};
    auto name = f.Str("username", 256), password = f.Str("password", 2048);
    auto isAdmin = f.Bool("isAdmin");
    if (!f.error.empty() || !name || !password) return Refuse(res, 400, "需要字符串字段 username 和 password", false);
    Guarded(res, false, [&] {
        User u = service_.AddUser(*name, *password, isAdmin.value_or(false));
        LogInfo("user \"" + u.username + "\" added");
        SendOk(res, UserJson(u));
    });
}

void Api::RemoveUser(const Request& req, Response& res) {
    auto me = AdminOnly(req, res);
    if (!me) return;
    const std::string& name = req.matches[1];
    Guarded(res, false, [&] {
        service_.RemoveUser(name);
        LogInfo("user \"" + name + "\" removed by \"" + me->username + "\"");
        SendOk(res);
    });
}

}  // namespace zelko::mgmtd
