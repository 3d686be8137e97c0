// The adapter's life cycle as the port driver drives it: found (boot LUN 0 created, the
// auto-activation thread started), initialised (bounce lists and the work-item pool), reset,
// stopped (thread stopped, workers drained, LUNs marked removing, sockets closed), and its
// resources freed (LUNs deleted, pools freed, the control device deleted).
#include "ScsiCdb.h"

PVOID volatile ActivationThreadObject = NULL;
volatile LONG ActivationThreadRunning = 0;
volatile LONG ActivationSucceeded = 0;
PKSTART_ROUTINE volatile g_ActivationThreadRoutine = ZvActivationThread;

static VOID CopyParameter(PWCHAR dst, ULONG chars, PCWSTR src) {
    if (src[0] == 0) return;
    ULONG n = 0;
    while (n + 1 < chars && src[n] != 0) {
        dst[n] = src[n];
        n++;
    }
    dst[n] = 0;
}

static VOID StartActivationThread(AdapterExt* adapter) {
    if (!(g_Parameters.AutoActivate || g_Parameters.AutoActivateViaApi)) return;
    if (InterlockedCompareExchange(&ActivationSucceeded, 0, 0) != 0) return;
    if (InterlockedCompareExchange(&ActivationThreadRunning, 1, 0) != 0) return;

    PKSTART_ROUTINE routine = (PKSTART_ROUTINE)InterlockedCompareExchangePointer(
        (PVOID volatile*)&g_ActivationThreadRoutine, NULL, NULL);
    HANDLE handle = NULL;
    NTSTATUS st = routine != NULL
                      ? PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, adapter)
                      : STATUS_NOT_IMPLEMENTED;
    if (!NT_SUCCESS(st)) {
        InterlockedExchange(&ActivationThreadRunning, 0);
        ZvLogPlain("PsCreateSystemThread 失败 0x%08X\n", (ULONG)st);
        return;
    }
    PVOID thread = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, NULL)))
        InterlockedExchangePointer(&ActivationThreadObject, thread);
    ZwClose(handle);
    ZvLogPlain("自激活线程已在 FindAdapter 中启动（无 DelayedWorkQueue 延迟）\n");
}

BOOLEAN ZvStopActivationThread(ULONG TimeoutMs) {
    InterlockedExchange(&ActivationThreadRunning, 0);
    ZvActivationWake();
    PVOID thread = InterlockedCompareExchangePointer(&ActivationThreadObject, NULL, NULL);
    if (thread == NULL) return TRUE;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)TimeoutMs * 10000;
    NTSTATUS st = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, TimeoutMs != 0 ? &timeout : NULL);
    if (st == STATUS_TIMEOUT) return FALSE;
    // Whoever clears the pointer drops the reference (several stoppers may race).
    if (InterlockedCompareExchangePointer(&ActivationThreadObject, NULL, thread) == thread)
        ObDereferenceObject(thread);
    return TRUE;
}

ULONG VirtualHwFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation, PVOID LowerDevice,
                           PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again) {
    UNREFERENCED_PARAMETER(HwContext);
    UNREFERENCED_PARAMETER(BusInformation);
    UNREFERENCED_PARAMETER(LowerDevice);
    UNREFERENCED_PARAMETER(ArgumentString);
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    ZvLogPlain("VirtualHwFindAdapter ENTER (ext=%p, IRQL=%d)\n", adapter, (int)KeGetCurrentIrql());
    *Again = FALSE;

    RtlZeroMemory(adapter, sizeof *adapter);
    adapter->controlDevice = (PDEVICE_OBJECT)InterlockedCompareExchangePointer((PVOID volatile*)&ControlDevice, NULL, NULL);
    KeInitializeSpinLock(&adapter->lunTableLock);
    adapter->lunCreationCounter = 0;
    adapter->unloading = 0;
    InitializeSListHead(&adapter->workItemPool.freeList);
    if (adapter->controlDevice != NULL) {
        PZV_CONTROL_EXTENSION cx = (PZV_CONTROL_EXTENSION)adapter->controlDevice->DeviceExtension;
        InterlockedExchangePointer((PVOID volatile*)&cx->adapter, adapter);
    }

    ConfigInfo->VirtualDevice = TRUE;
    ConfigInfo->AdapterInterfaceType = Internal;
    ConfigInfo->NumberOfBuses = 1;
    ConfigInfo->MaximumNumberOfTargets = 1;
    ConfigInfo->MaximumNumberOfLogicalUnits = ZV_MAX_LUNS;
    ConfigInfo->MaximumTransferLength = ZV_MAX_TRANSFER;
    ConfigInfo->NumberOfPhysicalBreaks = 32;
    ConfigInfo->AlignmentMask = 1;
    ConfigInfo->TaggedQueuing = TRUE;
    ConfigInfo->AutoRequestSense = TRUE;
    ConfigInfo->MultipleRequestPerLu = TRUE;
    ConfigInfo->MaxNumberOfIO = ZV_MAX_IOS;
    ConfigInfo->InterruptMode = (KINTERRUPT_MODE)0;
    ConfigInfo->ResetTargetSupported = FALSE;
    (VOID)StorPortSetAdapterBusType(adapter, BusTypeVirtual);
    ZvLogPlain("Set BusType=BusTypeVirtual\n");

    InterlockedExchangePointer((PVOID volatile*)&g_AdapterExt, adapter);
    adapter->parametersCopied = 1;
    CopyParameter(adapter->serverIp, ZV_ADDRESS_CHARS, g_Parameters.ServerIp);
    adapter->serverPort = g_Parameters.ServerPort;
    CopyParameter(adapter->targetIqn, ZV_IQN_CHARS, g_Parameters.TargetIqn);
    CopyParameter(adapter->clientId, ZV_CLIENT_ID_CHARS, g_Parameters.ClientId);

    LuExt* lun0 = NULL;
    NTSTATUS st = CreateLun(adapter, 0, NULL, &lun0);
    if (NT_SUCCESS(st) && lun0 != NULL)
        ZvLogPlain("Boot LUN 0 已创建 (LuExt=%p, AutoActivate=%d, Server=%ws:%u)\n", lun0,
                   (int)g_Parameters.AutoActivate, lun0->session.serverIp, (ULONG)lun0->session.serverPort);
    else
        ZvLogPlain("Boot LUN 0 创建失败 0x%08X\n", (ULONG)st);

    StartActivationThread(adapter);

    ZvLogPlain("VirtualHwFindAdapter SUCCESS (g_AdapterExt=%p)\n", adapter);
    return SP_RETURN_FOUND;
}

BOOLEAN HwStorInitialize(PVOID DeviceExtension) {
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    ZvLogPlain("HwStorInitialize ENTER (ext=%p, IRQL=%d)\n", adapter, (int)KeGetCurrentIrql());
    InterlockedIncrement(&adapter->diag.initializeCalls);

    ExInitializeNPagedLookasideList(&adapter->bounce16k, NULL, NULL, POOL_NX_ALLOCATION, ZV_BOUNCE_16K_SIZE,
                                    ZV_TAG_BOUNCE_16K, 0);
    ExInitializeNPagedLookasideList(&adapter->bounce64k, NULL, NULL, POOL_NX_ALLOCATION, ZV_BOUNCE_64K_SIZE,
                                    ZV_TAG_BOUNCE_64K, 0);
    ExInitializeNPagedLookasideList(&adapter->bounce256k, NULL, NULL, POOL_NX_ALLOCATION, ZV_BOUNCE_256K_SIZE,
                                    ZV_TAG_BOUNCE_256K, 0);
    adapter->listsInitialized = TRUE;
    InterlockedExchange(&adapter->outstandingWorkers, 0);
    InterlockedExchange(&adapter->workItemPool.hits, 0);
    InterlockedExchange(&adapter->workItemPool.misses, 0);
    InitializeSListHead(&adapter->workItemPool.freeList);

    // The only fallible step; a shortfall only makes the pool smaller.
    if (adapter->controlDevice != NULL) WorkItemPoolFill(adapter);

    ZvLogPlain("HwStorInitialize SUCCESS\n");
    return TRUE;
}

BOOLEAN HwResetBus(PVOID DeviceExtension, ULONG PathId) {
    UNREFERENCED_PARAMETER(PathId);
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    InterlockedIncrement(&adapter->diag.resetBusCalls);
    // A reset gives every transport another chance: the failure marks would otherwise keep a
    // recovered path out of use.
    KIRQL irql;
    KeAcquireSpinLock(&adapter->lunTableLock, &irql);
    for (ULONG i = 0; i < ZV_MAX_LUNS; i++) {
        LuExt* lu = adapter->lunTable[i].present ? adapter->lunTable[i].luExt : NULL;
        if (lu == NULL) continue;
        ProtocolSession_ResetTransportFailures(&lu->session);
    }
    KeReleaseSpinLock(&adapter->lunTableLock, irql);
    return TRUE;
}

static VOID StopAdapter(AdapterExt* adapter) {
    if (!ZvStopActivationThread(2000)) ZvLogPlain("自激活线程 2 秒内未退出，强制继续卸载\n");
    ZvDrainWorkers(adapter);

    // Mark every LUN removing (workers now answer BUSY) and close the sockets.
    for (UCHAR i = 0; i < ZV_MAX_LUNS; i++) {
        LuExt* lu = LunReference(adapter, i);
        if (lu == NULL) continue;
        if (!lu->fileBacked) CacheShutdown(lu);   // written blocks out while the socket is open
        WpSetFlag(&lu->session.removing, TRUE);
        if (!lu->fileBacked) WskClient_Disconnect(&lu->session);
        LunDereference(lu);
    }
    WskUdp_Disconnect();
    WskUdp_Cleanup();
}

SCSI_ADAPTER_CONTROL_STATUS HwStorAdapterControl(PVOID DeviceExtension, SCSI_ADAPTER_CONTROL_TYPE ControlType,
                                                 PVOID Parameters) {
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    ZvLogPlain("HwStorAdapterControl ENTER (ControlType=%d)\n", (int)ControlType);
    InterlockedIncrement(&adapter->diag.adapterControlCalls);
    switch (ControlType) {
    case ScsiQuerySupportedControlTypes: {
        // Listing stop adapter is what makes the port deliver it, and with it the orderly stop
        // of the activation thread and the workers before the resources go.
        PSCSI_SUPPORTED_CONTROL_TYPE_LIST list = (PSCSI_SUPPORTED_CONTROL_TYPE_LIST)Parameters;
        if (list != NULL) {
            for (ULONG i = 0; i < list->MaxControlType; i++)
                list->SupportedTypeList[i] = (i == ScsiQuerySupportedControlTypes || i == ScsiStopAdapter);
        }
        return ScsiAdapterControlSuccess;
    }
    case ScsiStopAdapter:
        StopAdapter(adapter);
        return ScsiAdapterControlSuccess;
    default:
        return ScsiAdapterControlSuccess;
    }
}

VOID HwFreeAdapterResources(PVOID DeviceExtension) {
    AdapterExt* adapter = (AdapterExt*)DeviceExtension;
    ZvLogPlain("HwFreeAdapterResources ENTER (ext=%p)\n", adapter);
    if (adapter == NULL) return;
    adapter->unloading = 1;

    if (!ZvStopActivationThread(2000)) {
        ZvLogPlain("HwFreeAdapterResources - 自激活线程 2 秒内未退出\n");
        // The thread still uses this extension and LUN 0: they stay until it has really ended
        // (its sleeps and network calls are all bounded).
        (VOID)ZvStopActivationThread(0);
    }

    for (ULONG i = 0; i < ZV_MAX_LUNS; i++) {
        if (adapter->lunTable[i].present) (VOID)DeleteLun(adapter, i);
    }
    // DeleteLun waited for every request that used a LUN; what may remain of a worker is its
    // last few steps (returning the work item), which must not meet a freed pool.
    while (InterlockedCompareExchange(&adapter->outstandingWorkers, 0, 0) != 0) {
        LARGE_INTEGER t;
        t.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &t);
    }

    if (adapter->listsInitialized) {
        ExDeleteNPagedLookasideList(&adapter->bounce16k);
        ExDeleteNPagedLookasideList(&adapter->bounce64k);
        ExDeleteNPagedLookasideList(&adapter->bounce256k);
        adapter->listsInitialized = FALSE;
    }
    ZvLogPlain("WORKITEM 池统计 hit=%ld miss=%ld\n", (long)adapter->workItemPool.hits,
               (long)adapter->workItemPool.misses);
    WorkItemPoolFree(adapter);

    InterlockedCompareExchangePointer((PVOID volatile*)&g_AdapterExt, NULL, adapter);
    PDEVICE_OBJECT cd = (PDEVICE_OBJECT)InterlockedCompareExchangePointer((PVOID volatile*)&ControlDevice, NULL, NULL);
    if (cd != NULL) {
        PZV_CONTROL_EXTENSION cx = (PZV_CONTROL_EXTENSION)cd->DeviceExtension;
        InterlockedCompareExchangePointer((PVOID volatile*)&cx->adapter, NULL, adapter);
    }
    WskUdp_Disconnect();
    WskUdp_Cleanup();
    ZelkoDeleteControlDevice();
}
