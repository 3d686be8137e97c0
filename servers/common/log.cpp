#include "zelko_common/log.h"

#include <sys/time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace zelko::common {

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

void AppendHex(std::string& out, unsigned char c) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
}

// Length of the valid UTF-8 sequence at s[i] (2 to 4), or 0.
size_t Utf8Length(std::string_view s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0)
        n = 2, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
        n = 3, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
        n = 4, cp = c & 0x07;
    else
        return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    if (cp >= 0x80 && cp <= 0x9F) return 0;  // C1 controls: escaped like C0
    return n;
}
}  // namespace

void SetLogLevel(LogLevel level) { g_level.store(static_cast<int>(level)); }

bool ParseLogLevel(const std::string& text, LogLevel* level) {
    if (text == "debug")
        *level = LogLevel::Debug;
    else if (text == "info")
        *level = LogLevel::Info;
    else if (text == "warn")
        *level = LogLevel::Warn;
    else if (text == "error")
        *level = LogLevel::Error;
    else
        return false;
    return true;
}

bool LogEnabled(LogLevel level) { return static_cast<int>(level) >= g_level.load(std::memory_order_relaxed); }

std::string LogEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (size_t n = c >= 0x80 ? Utf8Length(text, i) : 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            AppendHex(out, c);
            ++i;
        }
    }
    return out;
}

void LogText(LogLevel level, const char* component, std::string_view text) {
    if (!LogEnabled(level)) return;
    std::string msg = LogEscape(text);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    gmtime_r(&tv.tv_sec, &tm);
    char ts[32];
    strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &tm);
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::fprintf(stderr, "%s.%03dZ %s [%s] %s\n", ts, static_cast<int>(tv.tv_usec / 1000), LevelName(level), component,
                 msg.c_str());
    std::fflush(stderr);
}

void LogLine(LogLevel level, const char* component, const char* fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    LogText(level, component, std::string_view(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1)));
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

}  // namespace zelko::common
