// The management API's answer body as the driver judges it (ZvApplyApiAnswer: result code, IQN or
// image id, MAC check, token), with any bytes a server in the café's LAN may send.
//
// Input: byte 0 chooses the parameter set the answer meets (bit 0: a configured ClientId, bit 1:
// super-user mode with an old token, bit 2: no ApiServerIp); the rest is the body.
// Checked: a refused answer changes nothing in the parameter set; an accepted one leaves a
// non-empty IQN without control characters, super-user mode exactly when a token came, and every
// text terminated; nothing leaks. And what was accepted visibly ended in the body, so no answer
// cut short or overflowing 64 bits slips through: the first "code" is a run of zeros with a
// character after it, and the IQN is either a string of the body followed by its closing quote
// (or at least 255 characters of one) or the image prefix and a whole number of the body.
#include "FuzzMachine.h"

using namespace fuzzact;

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// The first "code" holds an integer zero with something after it.
bool CodeIsVisiblyZero(const std::string& body) {
    size_t at = body.find("\"code\"");
    if (at == std::string::npos) return false;
    at += 6;
    while (at < body.size() && (body[at] == ' ' || body[at] == '\t' || body[at] == ':')) at++;
    if (at < body.size() && body[at] == '-') at++;
    size_t digits = 0;
    for (; at < body.size() && Digit(body[at]); at++, digits++)
        if (body[at] != '0') return false;
    return digits > 0 && at < body.size();
}

// The stored IQN came from the body whole: as a quoted string (cut only at its 255-character
// limit) or as the image prefix and a number that stands alone in the body.
bool IqnIsVisiblyWhole(const std::string& body, const std::string& iqn) {
    std::string quoted = "\"" + iqn;
    for (size_t at = body.find(quoted); at != std::string::npos; at = body.find(quoted, at + 1)) {
        size_t end = at + quoted.size();
        if (iqn.size() >= ZV_API_IQN_BYTES - 1 || (end < body.size() && body[end] == '"')) return true;
    }
    const std::string prefix = ZELKO_IQN_IMAGE_PREFIX;
    if (iqn.compare(0, prefix.size(), prefix) != 0) return false;
    std::string number = iqn.substr(prefix.size());
    for (size_t at = body.find(number); at != std::string::npos; at = body.find(number, at + 1)) {
        size_t end = at + number.size(), start = at;
        while (start > 0 && body[start - 1] == '0') start--;   // leading zeros are allowed
        if ((start == 0 || !Digit(body[start - 1])) && end < body.size() && !Digit(body[end])) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const char* body = (const char*)data + 1;
    const ULONG length = (ULONG)(size - 1);
    if (length > ZV_API_RESPONSE_BYTES - 1) return 0;   // WskHttpGet never hands over more

    InitializeDriverParameters();
    if (!(mode & 4)) SetW(g_Parameters.ApiServerIp, ZV_ADDRESS_CHARS, "10.1.2.3");
    if (mode & 1) SetW(g_Parameters.ClientId, ZV_CLIENT_ID_CHARS, "pc-17");
    if (mode & 2) {
        g_Parameters.SuperUser = TRUE;
        SetW(g_Parameters.SuperUserToken, ZV_TOKEN_CHARS, "old-token-0123456789");
    }
    SetW(g_Parameters.TargetIqn, ZV_IQN_CHARS, "iqn.before");
    const ZV_PARAMETERS before = g_Parameters;

    // The body exactly as the GET leaves it: in a buffer of its own size plus the terminator, so
    // AddressSanitizer sees any read past its end.
    char* copy = (char*)malloc(length + 1);
    memcpy(copy, body, length);
    copy[length] = 0;
    NTSTATUS st;
    {
        Round round;
        st = ZvApplyApiAnswer(copy, length, L"001a2b3c4d5e", "001a2b3c4d5e");
    }
    free(copy);

    CheckParametersTerminated();
    if (!NT_SUCCESS(st)) {
        Check(st == STATUS_REQUEST_NOT_ACCEPTED || st == STATUS_DATA_ERROR, "unexpected failure status");
        Check(memcmp(&before, &g_Parameters, sizeof before) == 0, "a refused answer changed the parameters");
        return 0;
    }
    Check(st == STATUS_SUCCESS, "success other than STATUS_SUCCESS");
    const ZV_PARAMETERS& p = g_Parameters;
    Check(p.TargetIqn[0] != 0, "accepted answer left an empty IQN");
    for (ULONG i = 0; p.TargetIqn[i] != 0; i++) Check(p.TargetIqn[i] >= 0x20, "control character in the IQN");
    for (ULONG i = 0; p.SuperUserToken[i] != 0; i++) Check(p.SuperUserToken[i] >= 0x20, "control character in the token");
    Check(p.SuperUser == (p.SuperUserToken[0] != 0), "super-user mode without a token or a token without it");
    Check(memcmp(p.ServerIp, (mode & 4) ? before.ServerIp : before.ApiServerIp, sizeof p.ServerIp) == 0,
          "ServerIp is not the API server");
    Check(p.ServerPort == before.ServerPort && p.ApiServerPort == before.ApiServerPort, "a port changed");
    Check(p.ClientId[0] != 0, "ClientId left empty");
    const std::string text(body, length);
    Check(CodeIsVisiblyZero(text), "accepted without a whole result code 0");
    std::string iqn;
    for (ULONG i = 0; p.TargetIqn[i] != 0; i++) iqn += (char)p.TargetIqn[i];
    Check(IqnIsVisiblyWhole(text, iqn), "the IQN is not a whole value of the body");
    return 0;
}
