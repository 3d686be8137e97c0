// A minimal HTTP/1.1 GET from kernel mode, for the management API's by-MAC query during boot.
//
// It runs long before any user-mode HTTP stack exists, on the TCP client's WSK registration, and
// every socket call goes through the same bounded wait as the disk connection (WskCall.h): wait,
// cancel, wait 5 s more, abandon. An abandoned packet owns its receive memory and frees itself
// when the provider finally completes it, so nothing here can be written after we returned. The
// one buffer a late send still reads, the request, lives in pool memory and is given up only
// when the close has come back (a close completes after every request on its socket).
//
// The answer is not interpreted beyond finding the end of the header block: the caller reads
// the body with its own key search, and the HTTP status, Content-Length and transfer coding are
// ignored; the body is whatever came before the server closed, the buffer filled up or the
// receive phase ran out of time.
//
// Anyone on the café's LAN can pose as the management server, so nothing the answer says sizes
// anything here: the caller's buffer bounds the bytes, and one limit bounds the whole receive
// phase. Without that limit, a server dripping one byte every 14 s would hold the boot for a day
// (each single receive is allowed 15 s).
#include "Activation.h"
#include "ZvLog.h"
#include "../protocol/ZelkoProtocol.h"


#define ZV_TAG_HTTP_REQUEST 0x7148765Au  // "ZvHq" the request text a send describes

#define HTTP_LIMIT_SETUP_MS 10000
#define HTTP_LIMIT_SEND_MS 30000
#define HTTP_LIMIT_RECEIVE_MS 15000
#define HTTP_LIMIT_RECEIVE_TOTAL_MS 30000
#define HTTP_LIMIT_CLOSE_MS 5000
#define HTTP_RECEIVE_CHUNK 4096u
// The request line up to the path stays below this, and the request up to the host text below
// the next: what is left of the 512 bytes carries the fixed tail.
#define HTTP_REQUEST_LINE_LIMIT 448u
#define HTTP_HOST_LIMIT 480u
// Address texts live in 64-character buffers (terminator included).
#define HTTP_ADDRESS_CHARS 64

// The socket and what its calls share: one pool of packets for this GET alone.
typedef struct _HTTP_GET {
    WSK_CALL_POOL pool;
    const WSK_PROVIDER_NPI* provider;
    PWSK_SOCKET socket;
} HTTP_GET, *PHTTP_GET;

static const WSK_PROVIDER_CONNECTION_DISPATCH* HttpConn(PWSK_SOCKET s) {
    return (const WSK_PROVIDER_CONNECTION_DISPATCH*)s->Dispatch;
}

// A setup or send step: a wait that ran out is a failure, never the success-valued
// STATUS_TIMEOUT, unless the packet came back with its own result while we cancelled it.
static NTSTATUS HttpStepStatus(const WSK_CALL_RESULT* r) {
    if (r->abandoned) return STATUS_IO_TIMEOUT;
    NTSTATUS st = r->status;
    return st == STATUS_CANCELLED || st == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : st;
}

// Closes the socket with its bounded wait. TRUE when the close came back, which means every
// request on the socket has completed too.
static BOOLEAN HttpClose(PHTTP_GET g) {
    PWSK_SOCKET s = g->socket;
    g->socket = NULL;
    if (s == NULL) return TRUE;
    PWSK_CALL c = WskCallGet(&g->pool);
    if (c == NULL) return FALSE;
    NTSTATUS st = HttpConn(s)->Basic.WskCloseSocket(s, WskCallIrp(c));
    WSK_CALL_RESULT r;
    (VOID)WskCallWait(c, st, HTTP_LIMIT_CLOSE_MS, &r);
    return !r.abandoned;
}

static USHORT HttpHtons(USHORT v) { return (USHORT)((v >> 8) | (v << 8)); }

// Exactly four dot-separated decimal numbers, each present and at most 255, nothing else.
static NTSTATUS HttpParseIpv4(PCWSTR text, PULONG addrNetworkOrder) {
    UCHAR bytes[4];
    ULONG parts = 0, value = 0, digits = 0;
    for (ULONG i = 0; i < HTTP_ADDRESS_CHARS; i++) {
        WCHAR ch = text[i];
        if (ch >= L'0' && ch <= L'9') {
            value = value * 10 + (ULONG)(ch - L'0');
            digits++;
            if (value > 255) return STATUS_INVALID_PARAMETER;
        } else if (ch == L'.' || ch == L'\0') {
            if (digits == 0 || parts == 4) return STATUS_INVALID_PARAMETER;
            bytes[parts++] = (UCHAR)value;
            value = 0;
            digits = 0;
            if (ch == L'\0') break;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (parts != 4) return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(addrNetworkOrder, bytes, 4);
    return STATUS_SUCCESS;
}

// Socket, wildcard bind, connect. On failure the socket is closed again.
static NTSTATUS HttpConnect(PHTTP_GET g, PCWSTR ServerIp, USHORT Port) {
    WSK_CALL_RESULT r;
    FileLogWrite("[HTTP] WskSocket 开始\n");
    PWSK_CALL c = WskCallGet(&g->pool);
    if (c == NULL) {
        FileLogWrite("[HTTP] WskSocket 失败 0x%08X\n", (ULONG)STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WskCallCreatesSocket(c);
    NTSTATUS st = g->provider->Dispatch->WskSocket(g->provider->Client, AF_INET, SOCK_STREAM, IPPROTO_TCP,
                                                   WSK_FLAG_CONNECTION_SOCKET, NULL, NULL, NULL, NULL, NULL,
                                                   WskCallIrp(c));
    (VOID)WskCallWait(c, st, HTTP_LIMIT_SETUP_MS, &r);
    st = HttpStepStatus(&r);
    if (NT_SUCCESS(st) && r.information == 0) st = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[HTTP] WskSocket 失败 0x%08X\n", (ULONG)st);
        return st;
    }
    g->socket = (PWSK_SOCKET)r.information;
    FileLogWrite("[HTTP] WskSocket 成功\n");

    c = WskCallGet(&g->pool);
    if (c == NULL) {
        st = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PSOCKADDR_IN any = (PSOCKADDR_IN)WskCallAddress(c);
        any->sin_family = AF_INET;
        st = HttpConn(g->socket)->WskBind(g->socket, (PSOCKADDR)any, 0, WskCallIrp(c));
        (VOID)WskCallWait(c, st, HTTP_LIMIT_SETUP_MS, &r);
        st = HttpStepStatus(&r);
    }
    FileLogWrite("[HTTP] WskBind 0x%08X\n", (ULONG)st);
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[HTTP] WskBind 失败，关闭 socket\n");
        HttpClose(g);
        return st;
    }

    ULONG ip;
    st = HttpParseIpv4(ServerIp, &ip);
    if (!NT_SUCCESS(st)) {
        HttpClose(g);
        return st;
    }

    FileLogWrite("[HTTP] WskConnect -> %ws:%u\n", ServerIp, (ULONG)Port);
    c = WskCallGet(&g->pool);
    if (c == NULL) {
        st = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        PSOCKADDR_IN to = (PSOCKADDR_IN)WskCallAddress(c);
        to->sin_family = AF_INET;
        to->sin_port = HttpHtons(Port);
        to->sin_addr.S_un.S_addr = ip;
        st = HttpConn(g->socket)->WskConnect(g->socket, (PSOCKADDR)to, 0, WskCallIrp(c));
        (VOID)WskCallWait(c, st, HTTP_LIMIT_SETUP_MS, &r);
        st = HttpStepStatus(&r);
    }
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[HTTP] WskConnect 失败 0x%08X (server=%ws:%u)\n", (ULONG)st, ServerIp, (ULONG)Port);
        HttpClose(g);
        return st;
    }
    FileLogWrite("[HTTP] WskConnect 成功\n");
    return STATUS_SUCCESS;
}

// "GET <path> HTTP/1.1\r\nHost: <server>\r\nConnection: close\r\n\r\n" into Request (512 bytes).
static NTSTATUS HttpBuildRequest(PCHAR Request, PCWSTR ServerIp, PCSTR Path, PULONG Length) {
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, ServerIp);
    ANSI_STRING host;
    NTSTATUS st = RtlUnicodeStringToAnsiString(&host, &wide, TRUE);
    if (!NT_SUCCESS(st)) return st;

    size_t used = 0;
    st = RtlStringCbPrintfA(Request, ZV_HTTP_REQUEST_BYTES, "GET %s", Path);
    if (NT_SUCCESS(st)) st = RtlStringCbLengthA(Request, ZV_HTTP_REQUEST_BYTES, &used);
    if (NT_SUCCESS(st) && used >= HTTP_REQUEST_LINE_LIMIT) st = STATUS_BUFFER_OVERFLOW;
    if (NT_SUCCESS(st)) st = RtlStringCbCatA(Request, ZV_HTTP_REQUEST_BYTES, " HTTP/1.1\r\nHost: ");
    if (NT_SUCCESS(st)) st = RtlStringCbCatNA(Request, ZV_HTTP_REQUEST_BYTES, host.Buffer, host.Length);
    if (NT_SUCCESS(st)) st = RtlStringCbLengthA(Request, ZV_HTTP_REQUEST_BYTES, &used);
    if (NT_SUCCESS(st) && used >= HTTP_HOST_LIMIT) st = STATUS_BUFFER_OVERFLOW;
    if (NT_SUCCESS(st)) st = RtlStringCbCatA(Request, ZV_HTTP_REQUEST_BYTES, "\r\nConnection: close\r\n\r\n");
    if (NT_SUCCESS(st)) st = RtlStringCbLengthA(Request, ZV_HTTP_REQUEST_BYTES, &used);
    RtlFreeAnsiString(&host);
    // A request that does not fit is never sent cut short.
    if (!NT_SUCCESS(st)) return STATUS_BUFFER_OVERFLOW;
    *Length = (ULONG)used;
    return STATUS_SUCCESS;
}

// One send of the whole request. *Abandoned tells the caller the provider may still read it.
static NTSTATUS HttpSend(PHTTP_GET g, PCHAR Request, ULONG Length, PBOOLEAN Abandoned) {
    *Abandoned = FALSE;
    PWSK_CALL c = WskCallGet(&g->pool);
    if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PVOID buffers[1] = {Request};
    ULONG lengths[1] = {Length};
    PWSK_BUF buf;
    NTSTATUS st = WskCallSendBuffers(c, buffers, lengths, 1, TRUE, &buf);
    if (!NT_SUCCESS(st)) {
        WskCallPut(c);
        return st;
    }
    st = HttpConn(g->socket)->WskSend(g->socket, buf, 0, WskCallIrp(c));
    WSK_CALL_RESULT r;
    (VOID)WskCallWait(c, st, HTTP_LIMIT_SEND_MS, &r);
    *Abandoned = r.abandoned;
    st = HttpStepStatus(&r);
    if (NT_SUCCESS(st) && r.information != Length) st = STATUS_UNSUCCESSFUL;
    return st;
}

// One receive of at most Length bytes into Destination. STATUS_TIMEOUT (success-valued) when
// nothing arrived within LimitMs; the caller ends its loop on that as on a failure.
static NTSTATUS HttpReceive(PHTTP_GET g, PCHAR Destination, ULONG Length, ULONG LimitMs, PULONG Got) {
    *Got = 0;
    PWSK_CALL c = WskCallGet(&g->pool);
    if (c == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    PWSK_BUF buf;
    NTSTATUS st = WskCallReceiveBuffer(c, Destination, Length, &buf);
    if (!NT_SUCCESS(st)) {
        WskCallPut(c);
        return st;
    }
    st = HttpConn(g->socket)->WskReceive(g->socket, buf, 0, WskCallIrp(c));
    WSK_CALL_RESULT r;
    st = WskCallWait(c, st, LimitMs, &r);
    if (NT_SUCCESS(st) && st != STATUS_TIMEOUT) *Got = (ULONG)r.information;
    return st;
}

// Milliseconds since Start (a KeQueryInterruptTime value).
static ULONGLONG HttpElapsedMs(ULONGLONG Start) { return (KeQueryInterruptTime() - Start) / 10000; }

// Index of the first CR LF CR LF in Data[0..Held) that starts at From or later, or -1. The
// caller passes where its previous search could no longer look: searching every receive from
// the start again would let a server that sends a byte at a time cost 33 million comparisons.
static LONG HttpFindHeaderEnd(const CHAR* Data, ULONG From, ULONG Held) {
    for (ULONG i = From; i + 3 < Held; i++)
        if (Data[i] == '\r' && Data[i + 1] == '\n' && Data[i + 2] == '\r' && Data[i + 3] == '\n') return (LONG)i;
    return -1;
}

NTSTATUS WskHttpGet(PCWSTR ServerIp, USHORT Port, PCSTR Path, PCHAR Response, ULONG ResponseSize,
                    PULONG BodyLength) {
    PAGED_CODE();
    if (BodyLength != NULL) *BodyLength = 0;
    if (ServerIp == NULL || Path == NULL || Response == NULL || ResponseSize == 0) return STATUS_INVALID_PARAMETER;
    Response[0] = 0;
    FileLogWrite("[HTTP] 开始 GET http://%ws:%u%s\n", ServerIp, (ULONG)Port, Path);

    NTSTATUS st;
    if (!InterlockedCompareExchange(&g_wskInited, 0, 0)) {
        st = WskClient_Initialize();
        if (!NT_SUCCESS(st)) {
            FileLogWrite("[HTTP] WSK provider 初始化失败 0x%08X\n", (ULONG)st);
            return st;
        }
    }
    HTTP_GET g;
    RtlZeroMemory(&g, sizeof(g));
    g.provider = WskClient_Provider();
    if (g.provider == NULL) {
        FileLogWrite("[HTTP] WSK provider 初始化失败 0x%08X\n", (ULONG)STATUS_NOINTERFACE);
        return STATUS_NOINTERFACE;
    }
    WskCallPoolInit(&g.pool, NULL);

    PCHAR request = NULL;
    BOOLEAN sendAbandoned = FALSE;
    ULONG held = 0;
    LONG headerEnd = -1;
    ULONG searched = 0;
    ULONGLONG receiveStart;
    st = HttpConnect(&g, ServerIp, Port);
    if (!NT_SUCCESS(st)) goto done;

    request = (PCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, ZV_HTTP_REQUEST_BYTES, ZV_TAG_HTTP_REQUEST);
    ULONG requestLength;
    st = request != NULL ? HttpBuildRequest(request, ServerIp, Path, &requestLength) : STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(st)) goto close;

    FileLogWrite("[HTTP] WskSend %d 字节\n", (int)requestLength);
    st = HttpSend(&g, request, requestLength, &sendAbandoned);
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[HTTP] WskSend 失败 0x%08X\n", (ULONG)st);
        goto close;
    }
    FileLogWrite("[HTTP] WskSend 成功\n");

    FileLogWrite("[HTTP] WskReceive 开始\n");
    receiveStart = KeQueryInterruptTime();
    while (held < ResponseSize - 1) {
        ULONG room = ResponseSize - 1 - held;
        ULONG got = 0;
        ULONGLONG elapsed = HttpElapsedMs(receiveStart);
        if (elapsed >= HTTP_LIMIT_RECEIVE_TOTAL_MS) {
            FileLogWrite("[HTTP] WskReceive 总时限 %u ms 已到，停止接收 (recv=%u)\n", (ULONG)HTTP_LIMIT_RECEIVE_TOTAL_MS,
                         held);
            break;
        }
        ULONG left = (ULONG)(HTTP_LIMIT_RECEIVE_TOTAL_MS - elapsed);
        NTSTATUS rs = HttpReceive(&g, Response + held, room < HTTP_RECEIVE_CHUNK ? room : HTTP_RECEIVE_CHUNK,
                                  left < HTTP_LIMIT_RECEIVE_MS ? left : HTTP_LIMIT_RECEIVE_MS, &got);
        if (!NT_SUCCESS(rs) || rs == STATUS_TIMEOUT || got == 0) {
            FileLogWrite("[HTTP] WskReceive 结束 status=0x%08X recv=%u\n", (ULONG)rs, got);
            break;
        }
        held += got;
        if (headerEnd < 0 && held > 3) {
            headerEnd = HttpFindHeaderEnd(Response, searched, held);
            searched = held - 3;   // a match must start at held - 3 or later from now on
        }
    }
    Response[held] = 0;
    st = STATUS_SUCCESS;

close:
    if (!HttpClose(&g) && sendAbandoned) {
        // Neither the send nor the close came back: the provider may still read the request, so
        // it is left to it rather than freed under a pending send.
        FileLogWrite("[HTTP] 请求缓冲留给未完成的 WskSend（socket 关闭未完成）\n");
        request = NULL;
    }
    if (request != NULL) ExFreePoolWithTag(request, ZV_TAG_HTTP_REQUEST);
    if (!NT_SUCCESS(st)) goto done;

    if (headerEnd >= 0 && (ULONG)headerEnd + 4 < held) {
        ULONG body = held - ((ULONG)headerEnd + 4);
        RtlMoveMemory(Response, Response + headerEnd + 4, body);
        Response[body] = 0;
        if (BodyLength != NULL) *BodyLength = body;
        FileLogWrite("[HTTP] 成功 body=%u 字节\n", body);
        st = STATUS_SUCCESS;
    } else {
        FileLogWrite("[HTTP] 响应未包含完整 HTTP header (recv=%u)\n", held);
        st = STATUS_INVALID_NETWORK_RESPONSE;
    }

done:
    WskCallPoolDestroy(&g.pool);
    return st;
}
