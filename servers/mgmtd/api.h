// The HTTP API of the management server (both listeners serve the same routes).
#pragma once

#include <httplib.h>

#include "auth.h"
#include "service.h"

namespace zelko::mgmtd {

class Api {
public:
    explicit Api(Service& service) : service_(service) {}
    void Register(httplib::Server& server);

private:
    Service& service_;
    LoginLimiter perUserAddress_{5};  // one source trying one user name
    LoginLimiter perAddress_{20};     // one source trying many names
};

}  // namespace zelko::mgmtd
