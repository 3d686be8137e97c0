// The client's JSON reader (api/Json.cpp) over bytes a hostile management server could send:
// every lookup the client makes, at every key it uses, plus the properties the reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/Json.h"

namespace {

const char* const kKeys[] = {"code",   "message", "accessToken", "id",         "isSuperClient",
                             "items",  "name",    "uploadToken", "data",       "server_url",
                             "serverIp", "serverPort", "timeout_sec", "ServerIp", "k"};

void Check(bool ok) {
  if (!ok) abort();
}

}  // namespace

// The first byte picks the key (one key per run keeps the target fast); the rest is the document.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* key = kKeys[data[0] % (sizeof kKeys / sizeof kKeys[0])];
  std::string doc(reinterpret_cast<const char*>(data + 1), size - 1);
  {
    std::string s = "preset";
    bool b = false;
    int32_t i = -1;
    int64_t l = -1;
    if (!JsonGetString(doc, key, s)) Check(s == "preset");  // a miss leaves the output alone
    // A string value is cut from the document and only ever shrinks when unescaped.
    else Check(s.size() <= doc.size());
    JsonGetBool(doc, key, b);
    if (!JsonGetInt(doc, key, i)) Check(i == -1);
    if (!JsonGetInt64(doc, key, l)) Check(l == -1);
    size_t total = 0;
    for (const std::string& item : JsonGetObjectArray(doc, key)) {
      Check(!item.empty() && item[0] == '{');
      total += item.size();
    }
    Check(total <= doc.size());  // elements are disjoint pieces of the document
  }

  // Unescaping never grows a text: every escape is at least as long as what it stands for.
  Check(JsonUnescape(doc).size() <= doc.size());

  // What we write, we read back unchanged, whatever the bytes (config files, request bodies).
  std::string quoted = JsonQuote(doc);
  std::string back;
  Check(JsonGetString("{\"k\":" + quoted + "}", "k", back));
  Check(back == doc);
  return 0;
}
