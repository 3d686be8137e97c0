#include "zelko_common/link.h"

#include <charconv>

#include "ZelkoNaming.h"

namespace zelko::common {

bool LinkSecretEquals(std::string_view presented, std::string_view configured) {
    if (configured.empty()) return false;
    // Walk the configured secret completely whatever the presented one holds; the length
    // difference is folded into the result instead of returning early.
    unsigned diff = presented.size() == configured.size() ? 0u : 1u;
    for (size_t i = 0; i < configured.size(); ++i) {
        unsigned char a = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        diff |= a ^ static_cast<unsigned char>(configured[i]);
    }
    return diff == 0;
}

std::string ImageIqn(int64_t imageId) { return std::string(ZELKO_IQN_IMAGE_PREFIX) + std::to_string(imageId); }

std::optional<int64_t> ImageIdFromIqn(std::string_view iqn) {
    std::string_view prefix(ZELKO_IQN_IMAGE_PREFIX);
    if (iqn.size() <= prefix.size() || iqn.substr(0, prefix.size()) != prefix) return std::nullopt;
    std::string_view digits = iqn.substr(prefix.size());
    if (digits.size() > 18 || digits[0] == '0') return std::nullopt;
    int64_t id = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || id < 1) return std::nullopt;
    return id;
}

}  // namespace zelko::common
