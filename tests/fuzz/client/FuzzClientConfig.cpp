// The client's configuration readers (api/ConfigText.cpp, with api/Text.cpp and api/Json.cpp)
// over arbitrary file contents: config.json, hotel-server.json and the server texts an operator
// types, which the installer or anyone with access to the program's folder may have written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/ConfigText.h"
#include "api/Text.h"

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

bool IsUtf16Units(const std::wstring& w) {
  for (wchar_t c : w)
    if ((uint32_t)c > 0xFFFF) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string doc(reinterpret_cast<const char*>(data), size);

  ClientConfig cfg = ParseClientConfig(doc);
  // Start-up relies on these being positive (they become time-outs and timer periods).
  Check(cfg.timeoutSec > 0 && cfg.refreshSec > 0);
  Check(IsUtf16Units(cfg.serverUrl) && IsUtf16Units(cfg.serverHost));

  HotelServerConfig hotel = ParseHotelServerConfig(doc);
  Check(hotel.apiPort >= 0);
  Check(IsUtf16Units(hotel.serverHost));

  std::wstring text = Utf8ToWide(doc);
  Check(IsUtf16Units(text));
  std::wstring host;
  int port = -1;
  ParseServerUrl(text, host, port);
  Check(host.size() <= text.size() || host == L"127.0.0.1");
  int n = ParseLeadingInt(text);
  (void)n;
  // Conversion back to UTF-8 never fails for what the conversion to UTF-16 produced.
  if (!text.empty()) Check(!WideToUtf8(text).empty());
  return 0;
}
