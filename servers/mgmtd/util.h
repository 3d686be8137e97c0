// Small helpers of the management server: input parsing (MAC, IPv4, sizes, ids), time, logging.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zelko_common/log.h"
#include "zelko_common/sha256.h"

namespace zelko::mgmtd {

// Accepts "AA-BB-CC-DD-EE-FF", "aa:bb:cc:dd:ee:ff" and 12 hex digits in any case; returns the
// canonical form, 12 lower-case hex digits, or nothing.
std::optional<std::string> NormalizeMac(std::string_view text);
// True for the driver's form: exactly 12 lower-case hexadecimal digits.
bool IsDriverMacForm(std::string_view text);
// 12 lower-case hex digits → "AA-BB-CC-DD-EE-FF".
std::string DisplayMac(const std::string& canonical);

// Dotted IPv4 text (also the IPv4-mapped IPv6 form a dual-stack socket reports) → canonical
// dotted form, or nothing.
std::optional<std::string> NormalizeIpv4(std::string_view text);

// "123", "40G", "512M", "1T" (binary multiples) → bytes.
std::optional<uint64_t> ParseSize(std::string_view text);
// Decimal id of at least 1 without sign, leading zeros or junk.
std::optional<int64_t> ParseId(std::string_view text);

// A display name: 1..64 bytes of valid UTF-8 without control characters.
bool ValidName(std::string_view text);

int64_t NowSeconds();

// One line of the servers' log (servers/common) under the component "mgmtd"; the text is
// escaped there, so values from requests may go in as they are. Callers never pass secrets.
inline void LogInfo(std::string_view t) { common::LogText(common::LogLevel::Info, "mgmtd", t); }
inline void LogWarn(std::string_view t) { common::LogText(common::LogLevel::Warn, "mgmtd", t); }
inline void LogError(std::string_view t) { common::LogText(common::LogLevel::Error, "mgmtd", t); }

// SHA-256 of text as lower-case hex; tokens are stored only in this form.
using common::Sha256Hex;

}  // namespace zelko::mgmtd
