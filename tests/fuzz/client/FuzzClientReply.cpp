// Decoding of the management server's replies (api/Replies.cpp) as each operation of the client
// does it, and the login dialog's reading of the resulting error texts (api/ErrorText.cpp), over
// bodies a server on the café LAN could send. What gets through must be safe to use: tokens fit
// for a header line and the driver, positive ids, named images, bounded texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/ErrorText.h"
#include "api/Replies.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

// The operator-facing texts are a fixed prefix plus at most 1024 bytes of server text.
constexpr size_t kMaxErrorBytes = 1200;

// A failure carries a bounded text.
void CheckFailure(bool ok, const std::string& error) {
  if (!ok) Check(!error.empty() && error.size() <= kMaxErrorBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  std::string error;

  std::string token = "preset";
  bool ok = DecodeLoginReply(body, token, error);
  CheckFailure(ok, error);
  if (ok) Check(IsSafeToken(token, kMaxAccessTokenChars));
  else Check(token == "preset" && !DescribeConnectError(error, L"10.0.0.1", 5000).empty());

  int64_t id = -7;
  bool super = false;
  error.clear();
  ok = DecodeClientReply(body, id, super, error);
  CheckFailure(ok, error);
  Check(ok ? (id >= 1 && id < INT64_MAX) : id == -7);

  std::vector<ImageEntry> images;
  error.clear();
  ok = DecodeImageList(body, images, error);
  CheckFailure(ok, error);
  for (const ImageEntry& e : images) Check(e.id >= 1 && e.id < INT64_MAX && !e.name.empty());

  std::string upload = "preset";
  error.clear();
  ok = DecodeUploadSessionReply(body, upload, error);
  CheckFailure(ok, error);
  if (ok) Check(IsSafeToken(upload, 63));

  error.clear();
  CheckFailure(ReplyOk(body, "x", error), error);

  // The login dialog reads an error code out of a text the server may have written.
  if (!body.empty()) Check(!DescribeConnectError(body, L"h", 1).empty());

  // A cut text never ends inside a UTF-8 character that was whole before the cut.
  std::string cut = OperatorText(body, 16);
  Check(cut.size() <= body.size() + 3);
  return 0;
}
