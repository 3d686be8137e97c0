#include "log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace zelko::diskd {

namespace {
std::atomic<int> g_level{static_cast<int>(LogLevel::Info)};
std::mutex g_logMutex;

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "DEBUG";
        case LogLevel::Info: return "INFO ";
        case LogLevel::Warn: return "WARN ";
        case LogLevel::Error: return "ERROR";
    }
    return "?    ";
}
}  // namespace

void SetLogLevel(LogLevel level) { g_level.store(static_cast<int>(level)); }

bool ParseLogLevel(const std::string& text, LogLevel* level) {
    if (text == "debug") *level = LogLevel::Debug;
    else if (text == "info") *level = LogLevel::Info;
    else if (text == "warn") *level = LogLevel::Warn;
    else if (text == "error") *level = LogLevel::Error;
    else return false;
    return true;
}

bool LogEnabled(LogLevel level) { return static_cast<int>(level) >= g_level.load(std::memory_order_relaxed); }

void LogLine(LogLevel level, const char* component, const char* fmt, ...) {
    char msg[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    // Control characters from peers (IQNs, client ids) must not break the one-event-per-line
    // property that makes the log greppable.
    for (char* p = msg; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20) *p = '?';

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    gmtime_r(&tv.tv_sec, &tm);
    char ts[32];
    strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &tm);
    std::lock_guard<std::mutex> lock(g_logMutex);
    fprintf(stderr, "%s.%03dZ %s [%s] %s\n", ts, static_cast<int>(tv.tv_usec / 1000), LevelName(level),
            component, msg);
}

std::string Format(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, n);
    std::string out(n, '\0');
    va_start(ap, fmt);
    vsnprintf(out.data(), n + 1, fmt, ap);
    va_end(ap);
    return out;
}

}  // namespace zelko::diskd
