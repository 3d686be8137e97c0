// The auto-activation thread: brings the boot disk (LUN 0) online by itself during boot.
//
// Windows starts this driver long before anything in user mode runs and already sends READs to
// LUN 0, which are held (PendingReads.cpp). The thread waits for LUN 0, asks the management API
// for the image and token when the parameters lack them, connects and handshakes with bounded
// retries, brings up UDP, pins the boot adapter's IP settings, announces the disk to the port
// driver, prefetches the boot blocks and releases the held READs. When it gives up, the held
// READs fail as not ready and the control device can still activate the disk by hand.
//
// Stopping: whoever clears ActivationThreadRunning also calls ZvActivationWake, so every sleep
// here ends at once and the stopping party's wait (2 s) is never outlasted by a sleep. The thread
// holds a reference on LUN 0 while it uses it, and treats LUN 0 being removed like a stop.
#include "Activation.h"
#include "../adapter/AdapterInternal.h"

#define ACT_MAX_ATTEMPTS 24
#define ACT_MAX_REJECTIONS 3
#define ACT_LUN_WAIT_ROUNDS 300
#define ACT_LUN_WAIT_MS 1000
#define ACT_RETRY_REFUSED_MS 2000
#define ACT_RETRY_OTHER_MS 5000
#define ACT_JITTER_MODULO 1000
#define ACT_LAST_BUS_CHANGE_MS 1000
// A sleep re-checks the stop conditions this often; the stop event ends it sooner.
#define ACT_SLEEP_SLICE_MS 100

// Set by ZvActivationWake. Initialised by the first thread before it marks it ready; a wake
// before that finds nothing to wake and the thread sees the cleared running flag instead.
static KEVENT g_ActivationStopEvent;
static volatile LONG g_ActivationStopEventReady = 0;

VOID ZvActivationWake(VOID) {
    if (InterlockedCompareExchange(&g_ActivationStopEventReady, 0, 0) != 0)
        KeSetEvent(&g_ActivationStopEvent, IO_NO_INCREMENT, FALSE);
}

static BOOLEAN StopRequested(LuExt* Lu) {
    return InterlockedCompareExchange(&ActivationThreadRunning, 0, 0) == 0 || (Lu != NULL && LuRemoving(Lu));
}

// Sleeps Ms milliseconds unless a stop is requested first. FALSE when stopped.
static BOOLEAN ActivationSleep(LuExt* Lu, ULONG Ms) {
    LARGE_INTEGER start;
    KeQueryTickCount(&start);
    const ULONGLONG increment = KeQueryTimeIncrement();
    for (;;) {
        if (StopRequested(Lu)) return FALSE;
        LARGE_INTEGER now;
        KeQueryTickCount(&now);
        ULONGLONG elapsed = (ULONGLONG)(now.QuadPart - start.QuadPart) * increment / 10000;
        if (elapsed >= Ms) return TRUE;
        ULONGLONG left = Ms - elapsed;
        LARGE_INTEGER t;
        t.QuadPart = -(LONGLONG)(left < ACT_SLEEP_SLICE_MS ? left : ACT_SLEEP_SLICE_MS) * 10000;
        (VOID)KeWaitForSingleObject(&g_ActivationStopEvent, Executive, KernelMode, FALSE, &t);
    }
}

static ULONG UptimeMs(VOID) {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return (ULONG)((ULONGLONG)ticks.QuadPart * KeQueryTimeIncrement() / 10000);
}

static ULONGLONG ElapsedMs(LARGE_INTEGER Start, LARGE_INTEGER Frequency) {
    LARGE_INTEGER now = KeQueryPerformanceCounter(NULL);
    return Frequency.QuadPart ? (ULONGLONG)(now.QuadPart - Start.QuadPart) * 1000 / (ULONGLONG)Frequency.QuadPart : 0;
}

static VOID CopyText(PWCHAR Dst, ULONG Chars, PCWSTR Src) {
    ULONG n = 0;
    while (n + 1 < Chars && Src[n] != 0) {
        Dst[n] = Src[n];
        n++;
    }
    Dst[n] = 0;
}

static USHORT NegotiatedUdpPort(PPROTOCOL_SESSION s) {
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&s->transportLock);
    USHORT port = s->udpPort;
    ExReleaseFastMutexUnsafe(&s->transportLock);
    KeLeaveCriticalRegion();
    return port;
}

static VOID SetLunSuperUser(LuExt* Lu) {
    CopyText(Lu->session.superUserToken, ZV_TOKEN_CHARS, g_Parameters.SuperUserToken);
    WpSetFlag(&Lu->session.superUser, TRUE);
}

// The parameter set into LUN 0, before every connection attempt.
static VOID CopyParametersToLun(LuExt* Lu) {
    const ZV_PARAMETERS* p = &g_Parameters;
    PPROTOCOL_SESSION s = &Lu->session;
    if (p->ServerIp[0] != 0) CopyText(s->serverIp, PROTO_SERVER_IP_UNITS, p->ServerIp);
    if (p->ServerPort != 0) s->serverPort = p->ServerPort;
    if (p->TargetIqn[0] != 0) CopyText(s->targetIqn, PROTO_IQN_UNITS, p->TargetIqn);
    if (p->ClientId[0] != 0) CopyText(s->clientId, PROTO_CLIENT_ID_UNITS, p->ClientId);
    if (p->SuperUser && p->SuperUserToken[0] != 0) {
        SetLunSuperUser(Lu);
        CHAR masked[ZV_MASKED_TOKEN_BYTES];
        ZvMaskTokenW(p->SuperUserToken, masked, sizeof(masked));
        FileLogWrite("[Thread] 超管模式: superUser=TRUE token=%s\n", masked);
    } else {
        WpSetFlag(&s->superUser, FALSE);
    }
}

// Parameters: the API fallback and the first query (before any attempt).
static VOID PrepareParameters(VOID) {
    ZV_PARAMETERS* p = &g_Parameters;
    if (p->ApiServerIp[0] == 0 && p->ServerIp[0] != 0) {
        CopyText(p->ApiServerIp, ZV_ADDRESS_CHARS, p->ServerIp);
        p->ApiServerPort = ZV_DEFAULT_API_SERVER_PORT;
        FileLogWrite("[Thread] ApiServerIp 为空，回退使用 ServerIp=%ws:%u\n", p->ApiServerIp, (ULONG)p->ApiServerPort);
    }
    if (p->AutoActivateViaApi && p->ApiServerIp[0] != 0) {
        ZvLogPlain("ServerIp 为空/127.0.0.1 或 TargetIqn 为空，通过 API 查询客户机配置...\n");
        FileLogWrite("[Thread] 需要查 API: ServerIp=%ws TargetIqn=%ws\n", p->ServerIp, p->TargetIqn);
        NTSTATUS st = QueryClientConfigViaApi();
        FileLogWrite("[Thread] API 查询结果 0x%08X ServerIp=%ws TargetIqn=%ws\n", (ULONG)st, p->ServerIp, p->TargetIqn);
        if (!NT_SUCCESS(st)) ZvLogPlain("API 参数查询失败 0x%08X，继续尝试用现有参数\n", (ULONG)st);
    } else {
        FileLogWrite("[Thread] 无需查 API，直接用注册表参数\n");
    }
}

// No image yet: ask the API again before this attempt's connect.
static VOID RetryQueryForIqn(LuExt* Lu, int Attempt) {
    ZV_PARAMETERS* p = &g_Parameters;
    FileLogWrite("[Thread] IQN 为空，重试 API 查询 (attempt %d/24)...\n", Attempt);
    NTSTATUS st = QueryClientConfigViaApi();
    FileLogWrite("[Thread] API 查询结果 0x%08X Iqn=%ws Super=%d\n", (ULONG)st, p->TargetIqn, (int)p->SuperUser);
    if (!NT_SUCCESS(st) || p->TargetIqn[0] == 0) return;
    CopyText(Lu->session.targetIqn, PROTO_IQN_UNITS, p->TargetIqn);
    // The query also named the server; connecting to the old one would waste this attempt.
    if (p->ServerIp[0] != 0) CopyText(Lu->session.serverIp, PROTO_SERVER_IP_UNITS, p->ServerIp);
    if (p->SuperUser && p->SuperUserToken[0] != 0) {
        SetLunSuperUser(Lu);
        CHAR masked[ZV_MASKED_TOKEN_BYTES];
        ZvMaskTokenW(p->SuperUserToken, masked, sizeof(masked));
        FileLogWrite("[Thread] 重试后设置超管 TOKEN=%s\n", masked);
    }
}

static VOID LogConnectFailure(NTSTATUS st) {
    ZvLogPlain("自激活 Connect 失败 0x%08X\n", (ULONG)st);
    if (st == STATUS_CONNECTION_REFUSED)
        FileLogWrite("[Thread] Connect 失败 0x%08X (服务端未监听，2s 快重试)\n", (ULONG)st);
    else if (st == STATUS_NETWORK_UNREACHABLE)
        FileLogWrite("[Thread] Connect 失败 0x%08X (网络不可达，等待DHCP分配IP)\n", (ULONG)st);
    else
        FileLogWrite("[Thread] Connect 失败 0x%08X\n", (ULONG)st);
}

enum ATTEMPT_OUTCOME { AttemptSucceeded, AttemptsExhausted, AttemptsStopped };

// The attempt loop: at most 24 attempts, three rejections in a row end it early.
static ATTEMPT_OUTCOME RunAttempts(LuExt* Lu) {
    ZV_PARAMETERS* p = &g_Parameters;
    NTSTATUS last = STATUS_UNSUCCESSFUL;
    int rejections = 0;
    for (int attempt = 1; attempt <= ACT_MAX_ATTEMPTS; attempt++) {
        if (StopRequested(Lu)) return AttemptsExhausted;
        FileLogWrite("[Thread] 尝试 %d/24 开始\n", attempt);
        if (attempt > 1) {
            ULONG delay = (last == STATUS_CONNECTION_REFUSED ? ACT_RETRY_REFUSED_MS : ACT_RETRY_OTHER_MS) +
                          UptimeMs() % ACT_JITTER_MODULO;
            if (!ActivationSleep(Lu, delay)) return AttemptsStopped;
        }
        NTSTATUS st;
        if (!LuConnected(Lu)) {
            ZvLogPlain("[自激活线程] 调用 WskClient_Initialize（attempt=%d/24）\n", attempt);
            st = WskClient_Initialize();
            if (!NT_SUCCESS(st)) {
                last = st;
                ZvLogPlain("[自激活线程] WskClient_Initialize 失败 0x%08X（NETIO 未就绪？）\n", (ULONG)st);
                FileLogWrite("[Thread] WskClient_Initialize 失败 0x%08X\n", (ULONG)st);
                continue;
            }
            FileLogWrite("[Thread] WskClient_Initialize 成功\n");
        }
        CopyParametersToLun(Lu);
        if (p->TargetIqn[0] == 0 && p->ApiServerIp[0] != 0) RetryQueryForIqn(Lu, attempt);

        FileLogWrite("[Thread] Connect ServerIp=%ws:%u Iqn=%ws\n", p->ServerIp, (ULONG)p->ServerPort, p->TargetIqn);
        st = WskClient_Connect(&Lu->session);
        if (!NT_SUCCESS(st)) {
            last = st;
            LogConnectFailure(st);
            continue;
        }
        FileLogWrite("[Thread] Connect 成功\n");

        st = ProtocolClient_Handshake(&Lu->session);
        if (NT_SUCCESS(st)) return AttemptSucceeded;
        last = st;
        ZvLogPlain("自激活 Handshake 失败 0x%08X\n", (ULONG)st);
        FileLogWrite("[Thread] Handshake 失败 0x%08X\n", (ULONG)st);
        WskClient_Disconnect(&Lu->session);
        if (st != STATUS_ACCESS_DENIED) {
            rejections = 0;
            continue;
        }
        if (++rejections >= ACT_MAX_REJECTIONS) {
            FileLogWrite("[Thread] 连续 3 次握手被拒，停止重试（等待手动激活）\n");
            return AttemptsExhausted;
        }
        if (p->ApiServerIp[0] != 0) {
            // A rejection usually means a stale super-user token: the API hands out the current one.
            FileLogWrite("[Thread] 握手被拒绝(%d/3)，重新查询 API 刷新 TOKEN (attempt %d/24)...\n", rejections, attempt);
            st = QueryClientConfigViaApi();
            CHAR masked[ZV_MASKED_TOKEN_BYTES];
            ZvMaskTokenW(p->SuperUser ? p->SuperUserToken : L"", masked, sizeof(masked));
            FileLogWrite("[Thread] API 刷新结果 0x%08X Super=%d TOKEN=%s\n", (ULONG)st, (int)p->SuperUser, masked);
        }
    }
    return AttemptsExhausted;
}

// TransportNegotiate and the UDP channel; TCP carries the I/O whatever happens here.
static VOID StartUdp(LuExt* Lu) {
    PPROTOCOL_SESSION s = &Lu->session;
    NTSTATUS st = ProtocolClient_TransportNegotiate(s, PROTO_TRANSPORT_TCP | PROTO_TRANSPORT_UDP);
    USHORT port = NT_SUCCESS(st) ? NegotiatedUdpPort(s) : 0;
    FileLogWrite("[Thread] TransportNegotiate 0x%08X udpPort=%u\n", (ULONG)st, (ULONG)port);
    if (!NT_SUCCESS(st) || port == 0) return;
    st = WskUdp_Connect(s->serverIp, port);
    if (NT_SUCCESS(st)) {
        FileLogWrite("[Thread] UDP 通道已激活 端口=%u\n", (ULONG)port);
        if (s->pushBlockRegisterRoutine != NULL) s->pushBlockRegisterRoutine(s, s->pushBlockRegisterContext);
        return;
    }
    FileLogWrite("[Thread] WskUdp_Connect 失败 0x%08X（回退 TCP）\n", (ULONG)st);
    if (!WpFlag(&s->retryArmed)) {
        UdpRetryStart(s);
        FileLogWrite("[Thread] UDP 重试定时器已启动（间隔 %u ms）\n", (ULONG)UDP_RETRY_PERIOD_MS);
    }
}

static VOID CompleteActivation(AdapterExt* Adapter, LuExt* Lu) {
    FileLogWrite("[Thread] Handshake 成功 targetSize=%llu readOnly=%d superUser=%d\n", LuTargetSize(Lu),
                 (int)LuReadOnly(Lu), (int)LuSuperUser(Lu));
    InterlockedExchange(&ActivationSucceeded, 1);

    StartUdp(Lu);
    if (g_Parameters.BootInfoValid) MaintainBootNicIp();

    ZvNotifyBusChange(Adapter);
    FileLogWrite("[Thread] BusChangeDetected #1 已通知（握手后立即）\n");

    if (!Lu->fileBacked && LuTargetSize(Lu) > 0) {
        LARGE_INTEGER frequency;
        LARGE_INTEGER start = KeQueryPerformanceCounter(&frequency);
        NTSTATUS st = PrefetchBoot(Lu);
        FileLogWrite("[Thread] 预取完成 status=0x%08X 耗时=%ums\n", (ULONG)st, (ULONG)ElapsedMs(start, frequency));
    }

    (VOID)ZvCancelPendingReadTimer(Lu);
    WakeupPendingReads(Lu);
    FileLogWrite("[Thread] 已唤醒挂起的 READ SRB\n");

    ZvNotifyBusChange(Adapter);
    FileLogWrite("[Thread] BusChangeDetected #2 已通知（预取后）\n");

    // The last notification catches a rescan that raced the second one; a stop skips it.
    if (!ActivationSleep(Lu, ACT_LAST_BUS_CHANGE_MS)) return;
    ZvNotifyBusChange(Adapter);
    FileLogWrite("[Thread] BusChangeDetected #3 已通知（1秒后兜底）\n");
}

// Up to 300 s for LUN 0 to exist; returns it referenced, or NULL.
static LuExt* WaitForLun0(AdapterExt* Adapter) {
    LuExt* lu = LunReference(Adapter, 0);
    for (ULONG round = 0; lu == NULL && round < ACT_LUN_WAIT_ROUNDS; round++) {
        if (!ActivationSleep(NULL, ACT_LUN_WAIT_MS)) break;
        lu = LunReference(Adapter, 0);
    }
    return lu;
}

VOID ZvActivationThread(PVOID Context) {
    PAGED_CODE();
    AdapterExt* adapter = (AdapterExt*)Context;
    // Only one activation thread exists at a time, so the first one sets the event up alone.
    if (InterlockedCompareExchange(&g_ActivationStopEventReady, 0, 0) == 0) {
        KeInitializeEvent(&g_ActivationStopEvent, NotificationEvent, FALSE);
        InterlockedExchange(&g_ActivationStopEventReady, 1);
    }
    // A wake left over from an earlier stop must not cut this thread's sleeps short; a stop that
    // comes after this point is seen through the running flag before any wait.
    KeClearEvent(&g_ActivationStopEvent);
    ZvLogPlain("v3.1 自激活线程启动（无固定延迟，直接等待 LUN 0 就绪）\n");
    FileLogWrite("[Thread] 启动，等待 LUN 0 就绪\n");

    LuExt* lu = WaitForLun0(adapter);
    if (lu == NULL) {
        ZvLogPlain("自激活 - LUN 0 未就绪，放弃\n");
        FileLogWrite("[Thread] LUN 0 未就绪，放弃\n");
    } else {
        FileLogWrite("[Thread] LUN 0 已就绪\n");
        PrepareParameters();
        ATTEMPT_OUTCOME outcome = RunAttempts(lu);
        if (outcome == AttemptSucceeded) {
            CompleteActivation(adapter, lu);
        } else if (outcome == AttemptsExhausted) {
            ZvLogPlain("自激活失败（重试耗尽或连续被拒），等待用户态手动激活\n");
            FileLogWrite("[Thread] 自激活失败，放弃（等待手动激活）\n");
            FailPendingReads(lu);
        }
        LunDereference(lu);
    }

    FileLogWrite("[Thread] 退出\n");
    InterlockedExchange(&ActivationThreadRunning, 0);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
