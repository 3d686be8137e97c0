// The kernel HTTP GET and the API query on top of it, fed by a server that says anything: the
// input is what the "management server" sends before it closes. The bytes travel through the
// host kernel's WSK provider to its scripted stream peer (hk_wsk_script.h), so the driver's whole
// socket sequence, receive loop, buffer accounting, header search and body hand-over run as in a
// boot, deterministically and without a network.
//
// Input: byte 0 chooses what runs; byte 1 times 16 is the most bytes one receive returns (0 = as
// many as asked for), so the answer arrives in pieces of the fuzzer's choosing. (Pieces of a
// single byte would cost 8000 receives an input; with 16-byte steps and headers of any length,
// the pieces still end at every offset of a header end.)
//   bit 0 clear: QueryClientConfigViaApi (8192-byte buffer, MAC from the adapter class key);
//                bits 1-2 as for the answer fuzzer (configured ClientId, old super-user token).
//   bit 0 set:   WskHttpGet alone into a buffer of 1 + byte 2 * 33 bytes (1 to 8416), checked
//                against a model that does not depend on the pieces: the held bytes are the
//                first size - 1 sent, the body is what follows the first CR LF CR LF in them, and
//                at least one body byte is needed.
// Both check the request sent byte for byte, that no socket or pool block outlives the input,
// and that a failed query changed nothing.
#include "FuzzMachine.h"

#include "protocol/ZelkoProtocol.h"

#include <hk_wsk_script.h>
#include <hk_wsk_test.h>

#include <vector>

using namespace fuzzact;

namespace {

const char kClass[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
// Nothing listens there: should the script ever not be armed, the connect is refused, not
// answered by some other test's server.
const USHORT kPort = 1;

void Cleanup() { WskClient_Cleanup(); }

// The management server's side for one input: the answer, armed as the script, and what the
// driver sent.
class ScriptedServer {
public:
    ScriptedServer(const uint8_t* bytes, size_t size, ULONG receiveLimit) { HkWskScriptArm(bytes, size, receiveLimit); }
    ~ScriptedServer() { HkWskScriptDisarm(); }
    std::string Request() {
        char b[1024];
        // Asked for the total first: copying from a script that received nothing hands memcpy a
        // null source (wsk_script.cpp), which UBSan reports.
        if (HkWskScriptSent(nullptr, 0) == 0) return std::string();
        SIZE_T n = HkWskScriptSent(b, sizeof b);
        return std::string(b, n < sizeof b ? n : sizeof b);
    }
};

void CheckSocketsClosed() { Check(HkWskTestOpenSockets() == 0, "a socket outlived the GET"); }

void RunGet(const uint8_t* bytes, size_t size, ULONG bufferSize, ULONG receiveLimit) {
    std::vector<char> buffer(bufferSize);
    ULONG bodyLength = 0xFFFFFFFF;
    NTSTATUS st;
    std::string request;
    {
        Round round;
        ScriptedServer server(bytes, size, receiveLimit);
        st = WskHttpGet(L"127.0.0.1", kPort, "/x", buffer.data(), bufferSize, &bodyLength);
        request = server.Request();
        CheckSocketsClosed();
    }
    // A script that is used up refuses the connect: the server is not there at all.
    if (size == 0) {
        Check(st == STATUS_CONNECTION_REFUSED && bodyLength == 0, "GET without a server");
        return;
    }
    Check(request == "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", "request bytes");

    // The model: everything was available at once, so exactly the first size - 1 bytes are held.
    size_t held = size < bufferSize - 1 ? size : bufferSize - 1;
    size_t headerEnd = SIZE_MAX;
    for (size_t i = 0; i + 3 < held; i++)
        if (memcmp(bytes + i, "\r\n\r\n", 4) == 0) {
            headerEnd = i;
            break;
        }
    if (headerEnd != SIZE_MAX && headerEnd + 4 < held) {
        size_t body = held - headerEnd - 4;
        Check(st == STATUS_SUCCESS, "a complete answer was refused");
        Check(bodyLength == body, "body length");
        Check(memcmp(buffer.data(), bytes + headerEnd + 4, body) == 0, "body bytes");
        Check(buffer[body] == 0, "body not terminated");
    } else {
        Check(st == STATUS_INVALID_NETWORK_RESPONSE, "an answer without header end or body was accepted");
        Check(bodyLength == 0, "body length of a refused answer");
        Check(memchr(buffer.data(), 0, bufferSize) != nullptr, "buffer not terminated");
    }
}

void RunQuery(uint8_t mode, const uint8_t* bytes, size_t size, ULONG receiveLimit) {
    InitializeDriverParameters();
    SetW(g_Parameters.ApiServerIp, ZV_ADDRESS_CHARS, "127.0.0.1");
    g_Parameters.ApiServerPort = kPort;
    if (mode & 2) SetW(g_Parameters.ClientId, ZV_CLIENT_ID_CHARS, "pc-17");
    if (mode & 4) {
        g_Parameters.SuperUser = TRUE;
        SetW(g_Parameters.SuperUserToken, ZV_TOKEN_CHARS, "old-token-0123456789");
    }
    const ZV_PARAMETERS before = g_Parameters;
    NTSTATUS st;
    std::string request;
    {
        Round round;
        ScriptedServer server(bytes, size, receiveLimit);
        st = QueryClientConfigViaApi();
        request = server.Request();
        CheckSocketsClosed();
    }
    Check(size == 0 || request == "GET /api/disk/clients/by-mac/001a2b3c4d5e HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Connection: close\r\n\r\n",
          "query request bytes");
    CheckParametersTerminated();
    if (!NT_SUCCESS(st)) {
        Check(st == STATUS_INVALID_NETWORK_RESPONSE || st == STATUS_REQUEST_NOT_ACCEPTED || st == STATUS_DATA_ERROR ||
                  (size == 0 && st == STATUS_CONNECTION_REFUSED),
              "unexpected failure status");
        Check(memcmp(&before, &g_Parameters, sizeof before) == 0, "a failed query changed the parameters");
        return;
    }
    Check(g_Parameters.TargetIqn[0] != 0, "accepted answer left an empty IQN");
    Check(g_Parameters.SuperUser == (g_Parameters.SuperUserToken[0] != 0), "super-user flag and token disagree");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartMachine();
    hk::test::RegSetString(kClass, "NetworkAddress", "00-1A-2B-3C-4D-5E");
    HkWskTestReset();
    // The registration lives for the whole run, as in a driver that has activated once.
    if (!NT_SUCCESS(WskClient_Initialize())) Fail("WskClient_Initialize");
    atexit(Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const ULONG receiveLimit = (ULONG)data[1] * 16;
    if (mode & 1) {
        if (size >= 3) RunGet(data + 3, size - 3, 1 + (ULONG)data[2] * 33, receiveLimit);
    } else {
        RunQuery(mode, data + 2, size - 2, receiveLimit);
    }
    return 0;
}
