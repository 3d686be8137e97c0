// The kernel HTTP GET and the API query on top of it, fed by a server that says anything: the
// input is what the "management server" sends before it closes. The bytes travel through the
// host kernel's real WSK provider (joined to a socketpair, hk_wsk_join.h), so the driver's whole
// receive loop, buffer accounting, header search and body hand-over run as in a boot.
//
// Input: byte 0 chooses what runs.
//   bit 3 set:   the connection is reset once the driver received N bytes, N = the next two
//                bytes (little-endian, 0 taken as 1): an answer broken off mid-way.
//   bit 0 clear: QueryClientConfigViaApi (8192-byte buffer, MAC from the adapter class key);
//                bits 1-2 as for the answer fuzzer (configured ClientId, old super-user token).
//   bit 0 set:   WskHttpGet alone into a buffer of 1 + byte 1 * 33 bytes (1 to 8416), checked
//                against a model: the held bytes are the first size - 1 sent (or the first N),
//                the body is what follows the first CR LF CR LF in them, and at least one body
//                byte is needed.
// Both check the request sent byte for byte, that no socket or pool block outlives the input,
// and that a failed query changed nothing.
#include "FuzzMachine.h"

#include "protocol/ZelkoProtocol.h"

#include <hk_wsk_join.h>
#include <hk_wsk_test.h>

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

using namespace fuzzact;

namespace {

const char kClass[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0000";
// Nothing listens there: should the join ever not happen, the connect is refused, not answered
// by some other test's server.
const USHORT kPort = 1;

void Cleanup() { WskClient_Cleanup(); }

// The peer's end of a socketpair joined to the driver's next connect, with the answer already
// written and the write side shut (the server's orderly close).
class ScriptedServer {
public:
    ScriptedServer(const uint8_t* bytes, size_t size) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv_) != 0) Fail("socketpair", strerror(errno));
        int buf = 1 << 20;
        setsockopt(sv_[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
        for (size_t at = 0; at < size;) {
            ssize_t n = send(sv_[1], bytes + at, size - at, MSG_NOSIGNAL);
            if (n <= 0) Fail("socketpair send", strerror(errno));
            at += (size_t)n;
        }
        shutdown(sv_[1], SHUT_WR);
        HkWskTestJoinNextConnect(sv_[0]);   // the provider owns that end now
    }
    ~ScriptedServer() {
        HkWskTestJoinNextConnect(-1);
        close(sv_[1]);
    }
    // What the driver sent (its socket is closed by now, so this ends).
    std::string Request() {
        std::string out;
        char b[1024];
        for (;;) {
            ssize_t n = recv(sv_[1], b, sizeof b, MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(b, (size_t)n);
        }
        return out;
    }

private:
    int sv_[2];
};

void CheckSocketsClosed() { Check(HkWskTestOpenSockets() == 0, "a socket outlived the GET"); }

void RunGet(const uint8_t* bytes, size_t size, ULONG bufferSize, size_t resetAfter) {
    std::vector<char> buffer(bufferSize);
    ULONG bodyLength = 0xFFFFFFFF;
    NTSTATUS st;
    std::string request;
    {
        Round round;
        ScriptedServer server(bytes, size);
        st = WskHttpGet(L"127.0.0.1", kPort, "/x", buffer.data(), bufferSize, &bodyLength);
        request = server.Request();
        CheckSocketsClosed();
    }
    Check(request == "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", "request bytes");

    // The model: everything was available at once, so exactly the first size - 1 bytes are held.
    size_t held = size < bufferSize - 1 ? size : bufferSize - 1;
    if (resetAfter && resetAfter < held) held = resetAfter;
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

void RunQuery(uint8_t mode, const uint8_t* bytes, size_t size) {
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
        ScriptedServer server(bytes, size);
        st = QueryClientConfigViaApi();
        request = server.Request();
        CheckSocketsClosed();
    }
    Check(request == "GET /api/disk/clients/by-mac/001a2b3c4d5e HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Connection: close\r\n\r\n",
          "query request bytes");
    CheckParametersTerminated();
    if (!NT_SUCCESS(st)) {
        Check(st == STATUS_INVALID_NETWORK_RESPONSE || st == STATUS_REQUEST_NOT_ACCEPTED || st == STATUS_DATA_ERROR,
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
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    data++, size--;
    size_t resetAfter = 0;
    if (mode & 8) {
        if (size < 2) return 0;
        resetAfter = (size_t)(data[0] | (data[1] << 8));
        if (resetAfter == 0) resetAfter = 1;
        data += 2, size -= 2;
        HkWskTestResetAfterBytes(resetAfter, 0);
    }
    if (mode & 1) {
        if (size >= 1) RunGet(data + 1, size - 1, 1 + (ULONG)data[0] * 33, resetAfter);
    } else {
        RunQuery(mode, data, size);
    }
    HkWskTestReset();   // an armed reset the input never reached is not left to the next one
    return 0;
}
