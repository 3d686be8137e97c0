// Helpers for the link between zelko-mgmtd and zelko-diskd (see servers/LINK.md): the shared
// secret header, its constant-time check, and the IQN naming both servers agree on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelko::common {

constexpr const char* kLinkSecretHeader = "X-Zelko-Link-Secret";
constexpr const char* kLinkSecretMismatchBody = "{\"code\":401,\"message\":\"link secret mismatch\"}";

// Compares the presented secret with the configured one in time that depends only on the
// lengths, so the secret cannot be guessed byte by byte from response times. An empty
// configured secret never matches.
bool LinkSecretEquals(std::string_view presented, std::string_view configured);

// "iqn.2024-01.net.zelko:image." + id in decimal.
std::string ImageIqn(int64_t imageId);
// The image id of an IQN made by ImageIqn, or nothing for any other text.
std::optional<int64_t> ImageIdFromIqn(std::string_view iqn);

}  // namespace zelko::common
