// What the client takes from the management server's reply bodies, apart from the HTTP exchange:
// plain C++ over bytes, so the same code runs under the fuzzers of the Linux build.
//
// The server may be impersonated by anyone on the café LAN, so nothing read here is trusted: a
// token that goes back out in a header or to the driver must be plain printable ASCII, ids must
// be positive, and texts shown to the operator are bounded.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ImageEntry {
  int64_t id;
  std::string name;  // UTF-8
};

// The common reply convention: integer `code` 0 is success; otherwise `message` when present,
// else `defaultText`. A reply without an integer `code` is a failure.
bool ReplyOk(const std::string& body, const char* defaultText, std::string& error);

// A token we may send back (as "Authorization: Bearer <token>" or to the driver): 1 to
// `maxChars` bytes, each printable ASCII other than the blank (0x21..0x7E). Anything else could
// end the header line and smuggle in headers of the server's choosing.
bool IsSafeToken(const std::string& token, size_t maxChars);

// At most `maxBytes` of a server text for a message box, cut at a UTF-8 character boundary.
std::string OperatorText(const std::string& text, size_t maxBytes);

bool DecodeLoginReply(const std::string& body, std::string& accessToken, std::string& error);
bool DecodeClientReply(const std::string& body, int64_t& clientId, bool& isSuperClient,
                       std::string& error);
bool DecodeImageList(const std::string& body, std::vector<ImageEntry>& images, std::string& error);
bool DecodeUploadSessionReply(const std::string& body, std::string& uploadToken,
                              std::string& error);

// Longest bearer token we accept; the server's tokens are a few hundred bytes at most.
constexpr size_t kMaxAccessTokenChars = 4096;
