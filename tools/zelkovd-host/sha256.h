// The runner's fingerprints use the servers' SHA-256 (servers/common), so one implementation
// serves every program of the project.
#pragma once

#include "zelko_common/sha256.h"

namespace zvhost {
using zelko::common::Sha256;
using zelko::common::Sha256Hex;
}  // namespace zvhost
