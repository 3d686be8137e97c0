#include "util.h"

#include <arpa/inet.h>

#include <charconv>
#include <chrono>

namespace zelko::mgmtd {

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<std::string> NormalizeMac(std::string_view text) {
    std::string out;
    if (text.size() == 12) {
        for (char c : text) {
            if (HexValue(c) < 0) return std::nullopt;
            out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
        return out;
    }
    if (text.size() != 17) return std::nullopt;
    char sep = text[2];
    if (sep != '-' && sep != ':') return std::nullopt;
    for (size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2) {
            if (text[i] != sep) return std::nullopt;
            continue;
        }
        if (HexValue(text[i]) < 0) return std::nullopt;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))));
    }
    return out;
}

bool IsDriverMacForm(std::string_view text) {
    if (text.size() != 12) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string DisplayMac(const std::string& canonical) {
    std::string out;
    for (size_t i = 0; i < canonical.size(); ++i) {
        if (i && i % 2 == 0) out.push_back('-');
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(canonical[i]))));
    }
    return out;
}

std::optional<std::string> NormalizeIpv4(std::string_view text) {
    if (text.substr(0, 7) == "::ffff:") text.remove_prefix(7);
    if (text.empty() || text.size() > 15) return std::nullopt;
    std::string s(text);
    in_addr addr{};
    // inet_pton accepts only the strict dotted-quad form (no octal, no short forms).
    if (inet_pton(AF_INET, s.c_str(), &addr) != 1) return std::nullopt;
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return std::string(buf);
}

std::optional<uint64_t> ParseSize(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t mult = 1;
    char last = text.back();
    switch (last) {
        case 'K':
        case 'k': mult = 1ull << 10; break;
        case 'M':
        case 'm': mult = 1ull << 20; break;
        case 'G':
        case 'g': mult = 1ull << 30; break;
        case 'T':
        case 't': mult = 1ull << 40; break;
        default: break;
    }
    if (mult != 1) text.remove_suffix(1);
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || text.empty()) return std::nullopt;
    if (v > UINT64_MAX / mult) return std::nullopt;
    return v * mult;
}

std::optional<int64_t> ParseId(std::string_view text) {
    if (text.empty() || text.size() > 18 || text[0] == '0') return std::nullopt;
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || v < 1) return std::nullopt;
    return v;
}

bool ValidName(std::string_view text) {
    if (text.empty() || text.size() > 64) return false;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return false;
        size_t extra;
        if (c < 0x80)
            extra = 0;
        else if ((c & 0xE0) == 0xC0 && c >= 0xC2)
            extra = 1;
        else if ((c & 0xF0) == 0xE0)
            extra = 2;
        else if ((c & 0xF8) == 0xF0 && c <= 0xF4)
            extra = 3;
        else
            return false;
        if (i + extra >= text.size() && extra > 0) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += 1 + extra;
    }
    return true;
}

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace zelko::mgmtd
