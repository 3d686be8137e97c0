// The disk server logs through the servers' shared logger (servers/common): one format, with
// every peer-supplied value escaped.
#pragma once

#include "zelko_common/log.h"

namespace zelko::diskd {
using common::Format;
using common::LogEnabled;
using common::LogLevel;
using common::LogLine;
using common::ParseLogLevel;
using common::SetLogLevel;
}  // namespace zelko::diskd
