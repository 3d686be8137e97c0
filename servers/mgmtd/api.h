// The HTTP API of the management server. Both listeners serve the same routes; who may call
// what is decided per route, for three audiences:
//   boot     the driver during boot and the client program on the PC (api_boot.cpp)
//   console  the café's operators; reading is for every operator, changes are for
//            administrators (api_console.cpp)
//   link     zelko-diskd, with the link secret (api_link.cpp; the secret is checked before
//            routing, see main.cpp)
#pragma once

#include <optional>

#include "auth.h"
#include "http_server.h"
#include "service.h"

namespace zelko::mgmtd {

class Api {
public:
    using Request = http::Request;
    using Response = http::Response;

    explicit Api(Service& service) : service_(service) {}
    void Register(http::Server& server);

private:
    // boot
    void Login(const Request& req, Response& res);
    void Logout(const Request& req, Response& res);
    void ClientByMac(const Request& req, Response& res);
    void ListImagesForClient(const Request& req, Response& res);
    void SetSuper(const Request& req, Response& res);
    void PrepareDisk(const Request& req, Response& res);
    void OpenUpload(const Request& req, Response& res);
    void Health(const Request& req, Response& res);
    // console
    void ListClients(const Request& req, Response& res);
    void AddClient(const Request& req, Response& res);
    void GetClient(const Request& req, Response& res);
    void UpdateClient(const Request& req, Response& res);
    void RemoveClient(const Request& req, Response& res);
    void AddImage(const Request& req, Response& res);
    void GetImage(const Request& req, Response& res);
    void UpdateImage(const Request& req, Response& res);
    void RemoveImage(const Request& req, Response& res);
    void ListUsers(const Request& req, Response& res);
    void AddUser(const Request& req, Response& res);
    void RemoveUser(const Request& req, Response& res);
    void ChangeOwnPassword(const Request& req, Response& res);
    void CommitLayer(const Request& req, Response& res);
    void DiscardLayer(const Request& req, Response& res);
    void ConsoleState(const Request& req, Response& res);
    void CloseUpload(const Request& req, Response& res);
    // the web console: its files, and a login that keeps the token in a cookie (api_web.cpp)
    void ConsolePage(const Request& req, Response& res);
    void ConsoleLogin(const Request& req, Response& res);
    void ConsoleSession(const Request& req, Response& res);
    void ConsoleLogout(const Request& req, Response& res);
    // link
    void LinkImages(const Request& req, Response& res);
    void LinkSessionCheck(const Request& req, Response& res);

    // The session of the request's bearer token or console cookie, or a 401 reply. A change
    // made with the cookie (anything but GET and HEAD) needs the session's anti-CSRF token
    // in X-CSRF-Token too, else 403: a browser sends the cookie along by itself.
    std::optional<User> Authed(const Request& req, Response& res);
    // The same, and a 403 reply for an operator who is not an administrator.
    std::optional<User> AdminOnly(const Request& req, Response& res);

    // The token of the console cookie in a request, or "".
    static std::string CookieToken(const Request& req);

    Service& service_;
    LoginLimiter perUserAddress_{5};  // one source trying one user name
    LoginLimiter perAddress_{20};     // one source trying many names
};

}  // namespace zelko::mgmtd
