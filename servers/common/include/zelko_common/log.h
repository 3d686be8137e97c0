// The servers' one log format, one event per line on stderr (journald or a file takes it from
// there):
//   2026-12-08T01:02:03.456Z INFO  [tcp] handshake ok sid=3 iqn=... peer=10.0.0.5:50122
// Every value that reaches a line may come from a peer (user names, paths, IQNs, client ids), so
// the line is escaped as a whole before it is written: control characters, bytes that are not
// UTF-8 and the C1 controls a terminal would obey come out as \xHH, and a backslash as \\ so
// that an escape in the log is never ambiguous. A forged line, a line cut by a NUL or an escape
// sequence for the operator's terminal cannot be produced by anything a client sends.
#pragma once

#include <string>
#include <string_view>

namespace zelko::common {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3 };

void SetLogLevel(LogLevel level);
bool ParseLogLevel(const std::string& text, LogLevel* level);
bool LogEnabled(LogLevel level);

// printf-style; the formatted message is escaped.
void LogLine(LogLevel level, const char* component, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// The same for a ready message (which may hold NULs: they are escaped, not cut).
void LogText(LogLevel level, const char* component, std::string_view text);

// What LogText writes for `text`.
std::string LogEscape(std::string_view text);

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zelko::common

#define ZLOG(level, comp, ...)                                                             \
    do {                                                                                   \
        if (::zelko::common::LogEnabled(::zelko::common::LogLevel::level))                 \
            ::zelko::common::LogLine(::zelko::common::LogLevel::level, comp, __VA_ARGS__); \
    } while (0)
