// `zelko-mgmtd admin`: the administration command line, working on the database directly
// (the server may be running; SQLite serialises the two).
#pragma once

#include <string>
#include <vector>

namespace zelko::mgmtd {

// The arguments after "admin"; returns the exit code (0 done, 1 failed, 2 usage error).
int AdminMain(std::vector<std::string> args);
// The admin part of the usage text.
std::string AdminUsage();

}  // namespace zelko::mgmtd
