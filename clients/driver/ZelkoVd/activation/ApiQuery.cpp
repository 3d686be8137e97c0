// The management API's answer for this PC: which image it boots and, in super-user mode, the
// token that unlocks writing. Asked from kernel mode during boot, by MAC address, with one GET.
//
// The answer is read with a flat key search, not a JSON parser: the first occurrence of a quoted
// key anywhere in the body, then its integer or its string up to the next double quote. That is
// all the by-MAC reply needs (the server puts the members we read first), and it cannot be led
// astray into recursion or allocation by a hostile body. A query that fails changes nothing in
// the parameter set: the result code and the IQN are checked before anything is stored.
//
// Anyone on the LAN can answer in the server's place, and an answer can arrive cut short (the
// server closed early, the receive ran out of time, the 8191-byte cut). So a value only counts
// when it visibly ended: an integer needs a character after its digits and must fit 64 bits, a
// string needs its closing quote and may hold no control character (JSON allows none raw). A
// cut "image.12" must never be read as "image.1", nor a 20-digit code wrap round to 0.
//
// The super-user token is a credential. Logs show it masked (ZvMaskToken*), never in clear,
// including inside the response body the file log keeps.
#include "Activation.h"
#include "ZvLog.h"
#include "ZvParameters.h"

#define API_PATH_BYTES 256
#define API_KEY_BYTES 128
#define API_MAC_CHARS 16
#define API_LOGGED_BODY 500
#define API_PATH_PREFIX "/api/disk/clients/by-mac/"

// ---------------------------------------------------------------------------------------------
// Masking

static VOID MaskToken(const VOID* Token, BOOLEAN Wide, PCHAR Out, ULONG OutBytes) {
    if (Out == NULL || OutBytes == 0) return;
    SIZE_T length = 0;
    if (Token != NULL) {
        if (Wide) {
            while (((PCWSTR)Token)[length] != 0) length++;
        } else {
            while (((PCSTR)Token)[length] != 0) length++;
        }
    }
    if (length == 0) {
        (VOID)RtlStringCbCopyA(Out, OutBytes, "(none)");
        return;
    }
    // Four characters identify a token among a few without giving much of it away; a short
    // token would be mostly given away, so it shows none.
    CHAR head[5] = {0};
    if (length >= 8) {
        for (ULONG i = 0; i < 4; i++) {
            ULONG ch = Wide ? (ULONG)((PCWSTR)Token)[i] : (ULONG)(UCHAR)((PCSTR)Token)[i];
            head[i] = ch >= 0x20 && ch < 0x7F ? (CHAR)ch : '?';
        }
    }
    (VOID)RtlStringCbPrintfA(Out, OutBytes, "%s\xE2\x80\xA6(%Iu)", head, length);
}

VOID ZvMaskTokenA(PCSTR Token, PCHAR Out, ULONG OutBytes) { MaskToken(Token, FALSE, Out, OutBytes); }
VOID ZvMaskTokenW(PCWSTR Token, PCHAR Out, ULONG OutBytes) { MaskToken(Token, TRUE, Out, OutBytes); }

// ---------------------------------------------------------------------------------------------
// Key extraction

// Where the value of the first "Key" in Body starts (blanks, tabs and colons after the quoted key
// skipped), or NULL when the key does not occur.
static PCSTR FindValue(PCSTR Body, ULONG Length, PCSTR Key) {
    CHAR quoted[API_KEY_BYTES];
    if (!NT_SUCCESS(RtlStringCbPrintfA(quoted, sizeof(quoted), "\"%s\"", Key))) return NULL;
    SIZE_T keyLength = 0;
    (VOID)RtlStringCbLengthA(quoted, sizeof(quoted), &keyLength);
    if (keyLength > Length) return NULL;
    for (ULONG i = 0; i + keyLength <= Length; i++) {
        if (RtlCompareMemory(Body + i, quoted, keyLength) != keyLength) continue;
        ULONG at = i + (ULONG)keyLength;
        while (at < Length && (Body[at] == ' ' || Body[at] == '\t' || Body[at] == ':')) at++;
        return Body + at;
    }
    return NULL;
}

// An optional "-" and at least one digit, within the signed 64-bit range and followed by some
// other character. FALSE when the key is missing or holds no such integer.
static BOOLEAN ExtractInt(PCSTR Body, ULONG Length, PCSTR Key, LONGLONG* Value) {
    PCSTR v = FindValue(Body, Length, Key);
    if (v == NULL) return FALSE;
    PCSTR end = Body + Length;
    BOOLEAN negative = FALSE;
    if (v < end && *v == '-') {
        negative = TRUE;
        v++;
    }
    if (v >= end || *v < '0' || *v > '9') return FALSE;
    // The magnitude may reach 2^63 for a negative number, 2^63 - 1 otherwise.
    const ULONGLONG limit = negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
    ULONGLONG n = 0;
    while (v < end && *v >= '0' && *v <= '9') {
        ULONG digit = (ULONG)(*v++ - '0');
        if (n > (limit - digit) / 10) return FALSE;
        n = n * 10 + digit;
    }
    if (v >= end) return FALSE;   // the digits ran into the end of the body: maybe cut short
    *Value = negative ? (LONGLONG)(0 - n) : (LONGLONG)n;
    return TRUE;
}

// The characters after the opening quote up to the closing quote, at most OutBytes - 1 of them
// (a longer value is cut there); escapes are not decoded. Returns the length; 0 = missing,
// empty, unterminated within the body, or holding a control character.
static ULONG ExtractString(PCSTR Body, ULONG Length, PCSTR Key, PCHAR Out, ULONG OutBytes) {
    Out[0] = 0;
    PCSTR v = FindValue(Body, Length, Key);
    PCSTR end = Body + Length;
    if (v == NULL || v >= end || *v != '"') return 0;
    v++;
    ULONG n = 0;
    PCSTR at = v;
    for (; at < end && *at != '"'; at++) {
        if ((UCHAR)*at < 0x20) break;
        if (n + 1 < OutBytes) Out[n++] = *at;
    }
    if (at >= end || *at != '"') {
        Out[0] = 0;
        return 0;
    }
    Out[n] = 0;
    return n;
}

// A body byte as the file log shows it: control characters (line ends, NULs) as ".", so that
// whoever answered cannot cut the line short or forge log lines of its own.
static CHAR LoggedByte(CHAR Ch) { return (UCHAR)Ch < 0x20 || Ch == 0x7F ? '.' : Ch; }

// The first 500 characters of the body as the file log keeps them: every "superUserToken"
// string value replaced by its masked form, control characters shown as ".".
static VOID BodyForLog(PCSTR Body, ULONG Length, PCHAR Out, ULONG OutBytes) {
    static const CHAR key[] = "\"superUserToken\"";
    const ULONG keyLength = sizeof(key) - 1;
    ULONG o = 0, i = 0;
    while (i < Length && o < API_LOGGED_BODY && o + 1 < OutBytes) {
        if (i + keyLength <= Length && RtlCompareMemory(Body + i, key, keyLength) == keyLength) {
            PCSTR v = FindValue(Body + i, Length - i, "superUserToken");
            ULONG start = (ULONG)(v - Body);
            for (; i < start && o < API_LOGGED_BODY && o + 1 < OutBytes; i++) Out[o++] = LoggedByte(Body[i]);
            if (i < start || start >= Length || Body[start] != '"') continue;
            if (o < API_LOGGED_BODY && o + 1 < OutBytes) Out[o++] = Body[i++];
            CHAR token[ZV_API_TOKEN_BYTES];
            ULONG t = 0;
            while (i < Length && Body[i] != '"') {
                if (t + 1 < sizeof(token)) token[t++] = Body[i];
                i++;
            }
            token[t] = 0;
            CHAR masked[ZV_MASKED_TOKEN_BYTES];
            ZvMaskTokenA(token, masked, sizeof(masked));
            for (ULONG m = 0; masked[m] != 0 && o < API_LOGGED_BODY && o + 1 < OutBytes; m++) Out[o++] = masked[m];
            continue;
        }
        Out[o++] = LoggedByte(Body[i++]);
    }
    Out[o] = 0;
}

// Blanks, "-" and ":" skipped, "A".."F" lowered, at most 12 characters kept.
static VOID NormaliseMac(PCSTR In, PCHAR Out) {
    ULONG n = 0;
    for (ULONG i = 0; In[i] != 0 && n < 12; i++) {
        CHAR ch = In[i];
        if (ch == ' ' || ch == '-' || ch == ':') continue;
        if (ch >= 'A' && ch <= 'F') ch = (CHAR)(ch - 'A' + 'a');
        Out[n++] = ch;
    }
    Out[n] = 0;
}

static VOID WidenInto(PWCHAR Out, ULONG Chars, PCSTR In) {
    ULONG n = 0;
    while (In[n] != 0 && n + 1 < Chars) {
        Out[n] = (WCHAR)(UCHAR)In[n];
        n++;
    }
    Out[n] = 0;
}

// ---------------------------------------------------------------------------------------------
// The query

// This PC's MAC text: the adapter's configured address, else the start of ClientId.
static NTSTATUS QueryMac(PWCHAR Mac) {
    NTSTATUS st = GetLocalMacAddress(Mac, API_MAC_CHARS);
    if (NT_SUCCESS(st)) return st;
    ZvLogPlain("获取 MAC 失败 0x%08X，回退使用注册表 ClientId\n", (ULONG)st);
    FileLogWrite("[API] 获取 MAC 失败 0x%08X，回退 ClientId=%ws\n", (ULONG)st, g_Parameters.ClientId);
    if (g_Parameters.ClientId[0] == 0) {
        FileLogWrite("[API] ClientId 也为空，无法查询\n");
        return st;
    }
    ULONG n = 0;
    for (; n < 12 && g_Parameters.ClientId[n] != 0; n++) {
        WCHAR ch = g_Parameters.ClientId[n];
        Mac[n] = ch >= L'A' && ch <= L'F' ? (WCHAR)(ch - L'A' + L'a') : ch;
    }
    Mac[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS QueryClientConfigViaApi(VOID) {
    PAGED_CODE();
    ZV_PARAMETERS* p = &g_Parameters;
    if (p->ApiServerIp[0] == 0) {
        ZvLogPlain("API 自激活失败 - ApiServerIp 未配置\n");
        FileLogWrite("[API] ApiServerIp 未配置\n");
        return STATUS_INVALID_PARAMETER;
    }

    WCHAR mac[API_MAC_CHARS];
    NTSTATUS st = QueryMac(mac);
    if (!NT_SUCCESS(st)) return st;
    FileLogWrite("[API] 使用 MAC=%ws 查询 %ws:%u\n", mac, p->ApiServerIp, (ULONG)p->ApiServerPort);

    UNICODE_STRING wideMac;
    RtlInitUnicodeString(&wideMac, mac);
    ANSI_STRING macA;
    st = RtlUnicodeStringToAnsiString(&macA, &wideMac, TRUE);
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[API] MAC ANSI 转换失败 0x%08X\n", (ULONG)st);
        return st;
    }
    CHAR localMac[API_MAC_CHARS] = {0};
    CHAR path[API_PATH_BYTES];
    (VOID)RtlStringCbCopyNA(localMac, sizeof(localMac), macA.Buffer, macA.Length);
    st = RtlStringCbPrintfA(path, sizeof(path), API_PATH_PREFIX "%s", localMac);
    RtlFreeAnsiString(&macA);
    if (!NT_SUCCESS(st)) return st;

    FileLogWrite("[API] HTTP GET http://%ws:%u%s\n", p->ApiServerIp, (ULONG)p->ApiServerPort, path);
    CHAR body[ZV_API_RESPONSE_BYTES];
    ULONG length = 0;
    st = WskHttpGet(p->ApiServerIp, p->ApiServerPort, path, body, sizeof(body), &length);
    if (!NT_SUCCESS(st)) {
        FileLogWrite("[API] WskHttpGet 失败 0x%08X\n", (ULONG)st);
        return st;
    }
    st = ZvApplyApiAnswer(body, length, mac, localMac);
    // The body may carry the token, whatever became of the answer.
    RtlSecureZeroMemory(body, sizeof(body));
    return st;
}

NTSTATUS ZvApplyApiAnswer(PCSTR body, ULONG length, PCWSTR mac, PCSTR localMac) {
    PAGED_CODE();
    ZV_PARAMETERS* p = &g_Parameters;
    {
        CHAR logged[API_LOGGED_BODY + ZV_MASKED_TOKEN_BYTES + 1];
        BodyForLog(body, length, logged, sizeof(logged));
        FileLogWrite("[API] 响应 %u 字节: %.500s\n", length, logged);
    }

    LONGLONG code = 0;
    if (!ExtractInt(body, length, "code", &code) || code != 0) {
        FileLogWrite("[API] API 返回错误 code=%lld\n", code);
        return STATUS_REQUEST_NOT_ACCEPTED;
    }

    CHAR iqn[ZV_API_IQN_BYTES];
    if (ExtractString(body, length, "imageIqn", iqn, sizeof(iqn)) > 0) {
        FileLogWrite("[API] 提取到 imageIqn=%s\n", iqn);
    } else {
        LONGLONG imageId = 0;
        if (!ExtractInt(body, length, "imageId", &imageId) || imageId <= 0) {
            FileLogWrite("[API] 响应中未找到 imageIqn 或有效 imageId\n");
            return STATUS_DATA_ERROR;
        }
        (VOID)RtlStringCbPrintfA(iqn, sizeof(iqn), ZELKO_IQN_IMAGE_PREFIX "%lld", imageId);
        FileLogWrite("[API] 旧版服务端，用 imageId=%lld 构造 IQN=%s\n", imageId, iqn);
    }
    ZvLogPlain("API 返回 IQN: %s\n", iqn);

    CHAR apiMac[ZV_API_MAC_BYTES];
    if (ExtractString(body, length, "macAddress", apiMac, sizeof(apiMac)) > 0) {
        CHAR normal[16] = {0};
        NormaliseMac(apiMac, normal);
        // A different answer is reported, not refused: the server found this PC by that MAC.
        if (RtlCompareMemory(normal, localMac, 12) != 12)
            ZvLogPlain("MAC 不匹配 (本地=%s, API=%s)，继续\n", localMac, normal);
    }

    if (p->ApiServerIp[0] != 0) {
        RtlCopyMemory(p->ServerIp, p->ApiServerIp, sizeof(p->ServerIp));
        FileLogWrite("[API] 用 ApiServerIp 覆盖 ServerIp=%ws\n", p->ServerIp);
    }
    if (p->ClientId[0] == 0) (VOID)RtlStringCchCopyW(p->ClientId, ZV_CLIENT_ID_CHARS, mac);
    WidenInto(p->TargetIqn, ZV_IQN_CHARS, iqn);

    CHAR token[ZV_API_TOKEN_BYTES];
    SIZE_T tokenLength = ExtractString(body, length, "superUserToken", token, sizeof(token));
    if (tokenLength > 0) {
        WidenInto(p->SuperUserToken, ZV_TOKEN_CHARS, token);
        p->SuperUser = TRUE;
        CHAR masked[ZV_MASKED_TOKEN_BYTES];
        ZvMaskTokenA(token, masked, sizeof(masked));
        FileLogWrite("[API] 超管 TOKEN 已获取 len=%zu token=%s\n", tokenLength, masked);
    } else {
        p->SuperUser = FALSE;
        RtlZeroMemory(p->SuperUserToken, sizeof(p->SuperUserToken));
        FileLogWrite("[API] 非超管或 TOKEN 未下发（IP 不匹配？）\n");
    }
    // The token's copy in this frame is a credential too.
    RtlSecureZeroMemory(token, sizeof(token));

    ZvLogPlain("API 自激活参数: ServerIp=%ws, Port=%u, Iqn=%ws, ClientId=%ws, Super=%d\n", p->ServerIp,
               (ULONG)p->ServerPort, p->TargetIqn, p->ClientId, (int)p->SuperUser);
    FileLogWrite("[API] 成功 ServerIp=%ws Port=%u Iqn=%ws ClientId=%ws Super=%d\n", p->ServerIp, (ULONG)p->ServerPort,
                 p->TargetIqn, p->ClientId, (int)p->SuperUser);
    return STATUS_SUCCESS;
}
