// Plain, greppable log lines on stderr:
//   2026-12-08T01:02:03.456Z INFO  [tcp] handshake ok sid=3 iqn=... peer=10.0.0.5:50122
// One line per event, key=value pairs for everything an operator may want to grep for.
#pragma once

#include <cstdarg>
#include <string>

namespace zelko::diskd {

enum class LogLevel { Debug = 0, Info = 1, Warn = 2, Error = 3 };

void SetLogLevel(LogLevel level);
bool ParseLogLevel(const std::string& text, LogLevel* level);
bool LogEnabled(LogLevel level);
void LogLine(LogLevel level, const char* component, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zelko::diskd

#define ZLOG(level, comp, ...)                                                   \
    do {                                                                         \
        if (::zelko::diskd::LogEnabled(::zelko::diskd::LogLevel::level))         \
            ::zelko::diskd::LogLine(::zelko::diskd::LogLevel::level, comp, __VA_ARGS__); \
    } while (0)
