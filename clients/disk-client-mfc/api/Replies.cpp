#include "Replies.h"

#include "Json.h"
#include "ZelkoControl.h"

namespace {

// Server texts end up in message boxes; a hostile server could otherwise fill the screen.
constexpr size_t kMaxServerTextBytes = 1024;

// An id is positive; the lookup saturates a number too large for 64 bits to INT64_MAX, which is
// then not the id the server wrote and would address some other record.
bool UsableId(int64_t id) { return id >= 1 && id < INT64_MAX; }

}  // namespace

bool ReplyOk(const std::string& body, const char* defaultText, std::string& error) {
  int32_t code = -1;
  JsonGetInt(body, "code", code);
  if (code == 0) return true;
  std::string message;
  if (JsonGetString(body, "message", message) && !message.empty())
    error = OperatorText(message, kMaxServerTextBytes);
  else
    error = defaultText;
  return false;
}

bool IsSafeToken(const std::string& token, size_t maxChars) {
  if (token.empty() || token.size() > maxChars) return false;
  for (unsigned char c : token)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

std::string OperatorText(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t cut = maxBytes;
  // Step back over continuation bytes so the cut never splits a character.
  while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "…";
}

bool DecodeLoginReply(const std::string& body, std::string& accessToken, std::string& error) {
  if (!ReplyOk(body, "登录失败", error)) return false;
  std::string token;
  if (!JsonGetString(body, "accessToken", token) || token.empty()) {
    error = "响应中缺少 accessToken";
    return false;
  }
  if (!IsSafeToken(token, kMaxAccessTokenChars)) {
    error = "响应中的 accessToken 无效";
    return false;
  }
  accessToken = token;
  return true;
}

bool DecodeClientReply(const std::string& body, int64_t& clientId, bool& isSuperClient,
                       std::string& error) {
  if (!ReplyOk(body, "客户机未在服务端注册", error)) return false;
  int64_t id = 0;
  if (!JsonGetInt64(body, "id", id) || !UsableId(id)) {
    error = "客户机响应中缺少 id";
    return false;
  }
  bool super = false;
  JsonGetBool(body, "isSuperClient", super);
  clientId = id;
  isSuperClient = super;
  return true;
}

bool DecodeImageList(const std::string& body, std::vector<ImageEntry>& images, std::string& error) {
  if (!ReplyOk(body, "未知错误", error)) return false;
  std::vector<ImageEntry> list;
  for (const std::string& item : JsonGetObjectArray(body, "items")) {
    int64_t id = 0;
    std::string name;
    if (!JsonGetInt64(item, "id", id) || !UsableId(id)) continue;
    if (!JsonGetString(item, "name", name) || name.empty()) continue;
    list.push_back({id, name});
  }
  images = std::move(list);
  return true;
}

bool DecodeUploadSessionReply(const std::string& body, std::string& uploadToken,
                              std::string& error) {
  std::string token;
  if (!JsonGetString(body, "uploadToken", token)) {
    std::vector<std::string> data = JsonGetObjectArray(body, "data");
    if (!data.empty()) JsonGetString(data[0], "uploadToken", token);
  }
  // The token travels to the driver in a fixed field and from there to the disk server: one
  // that does not fit whole, or carries control bytes, is refused rather than cut.
  if (!IsSafeToken(token, zelko::control::kAddressChars - 1)) {
    error = "解析上传令牌失败，响应: " + OperatorText(body, kMaxServerTextBytes);
    return false;
  }
  uploadToken = token;
  return true;
}
