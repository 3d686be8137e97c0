// The web console's static files, compiled into the server (see console/embed.cmake).
#pragma once

#include <string_view>
#include <vector>

namespace zelko::mgmtd {

struct ConsoleAsset {
    std::string_view name;  // file name under /console/
    std::string_view contentType;
    std::string_view data;
};

const std::vector<ConsoleAsset>& ConsoleAssets();

}  // namespace zelko::mgmtd
