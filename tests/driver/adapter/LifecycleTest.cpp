// Driver entry, the control device and its access rule, the auto-activation thread's start and
// stop, bus reset, and a clean unload.
#include "AdapterTestSupport.h"

using namespace adaptertest;

namespace {

const char kParametersKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\ZelkoVd\\Parameters";

std::atomic<int> g_threadStarts{0};
std::atomic<int> g_ignoreStopMs{0};
std::atomic<void*> g_threadContext{nullptr};

VOID NTAPI TestActivationThread(PVOID context) {
    g_threadStarts++;
    g_threadContext = context;
    LARGE_INTEGER t;
    t.QuadPart = -10 * 10000;
    while (InterlockedCompareExchange(&ActivationThreadRunning, 0, 0) != 0) KeDelayExecutionThread(KernelMode, FALSE, &t);
    if (g_ignoreStopMs > 0) {
        LARGE_INTEGER late;
        late.QuadPart = -(LONGLONG)g_ignoreStopMs * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &late);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

class LifecycleTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        g_threadStarts = 0;
        g_ignoreStopMs = 0;
        g_threadContext = nullptr;
        InterlockedExchangePointer((PVOID volatile*)&g_ActivationThreadRoutine, (PVOID)TestActivationThread);
    }
};

TEST_F(LifecycleTest, EntryRegistersAndUnloadLeavesNothing) {
    Load();
    EXPECT_TRUE(LogHas("ZelkoVd: DriverEntry START (StorPort v3.0)\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: CreateControlDevice SUCCESS (ext size="));
    EXPECT_TRUE(LogHas("ZelkoVd: 已安装包装分发函数（控制设备 IOCTL 路由就绪）\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: Boot LUN 0 已创建"));
    EXPECT_TRUE(LogHas("ZelkoVd: IO_WORKITEM 池初始化完成（128 条目）\n"));
    EXPECT_EQ(HkPortStats().busType, (ULONG)BusTypeVirtual);
    ASSERT_NE(Lun(0), nullptr);
    EXPECT_EQ(Lun(0)->lunId, 1u);
    // No parameters: LUN 0 takes the defaults.
    EXPECT_EQ(Lun(0)->session.serverIp[0], (WCHAR)'1');
    EXPECT_EQ(Lun(0)->session.serverPort, 9501);
    EXPECT_EQ(g_threadStarts.load(), 0) << "no AutoActivate: no thread";

    HkUnloadReport r = Unload();
    for (const auto& l : r.leaks) ADD_FAILURE() << l;
    EXPECT_TRUE(LogHas("ZelkoVd: WORKITEM 池统计 hit=0 miss=0\n"));
    EXPECT_TRUE(LogHas("ZelkoVd: ControlDevice deleted\n"));
    EXPECT_EQ(InterlockedCompareExchangePointer((PVOID volatile*)&g_AdapterExt, nullptr, nullptr), nullptr);
}

TEST_F(LifecycleTest, OnlySystemAndAdministratorsOpenTheControlDevice) {
    Load();
    HkFile* f = nullptr;
    EXPECT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::User, &f), STATUS_ACCESS_DENIED);
    ASSERT_EQ(HkOpenDevice("\\\\.\\ZelkoVd", HkCaller::Admin, &f), STATUS_SUCCESS);
    EXPECT_EQ(HkCloseFile(f), STATUS_SUCCESS);
    ASSERT_EQ(HkOpenDevice("\\Device\\ZelkoVd", HkCaller::System, &f), STATUS_SUCCESS);
    // An unknown code reaches the control device's own dispatcher, not the port.
    HkIoResult io = HkDeviceIoControl(f, 0x8100203C, {}, 0);
    EXPECT_EQ(io.status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(HkCloseFile(f), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, ActivationThreadStartsOnceAndStopsWithTheAdapter) {
    hk::test::RegSetDword(kParametersKey, "AutoActivate", 1);
    Load();
    for (int i = 0; i < 200 && g_threadStarts == 0; i++) SleepMs(5);
    EXPECT_EQ(g_threadStarts.load(), 1);
    EXPECT_EQ(g_threadContext.load(), (void*)Adapter());
    EXPECT_TRUE(LogHas("ZelkoVd: 自激活线程已在 FindAdapter 中启动（无 DelayedWorkQueue 延迟）\n"));
    HkUnloadReport r = Unload();
    for (const auto& l : r.leaks) ADD_FAILURE() << l;
    EXPECT_FALSE(LogHas("2 秒内未退出"));
    EXPECT_EQ(ActivationThreadObject, nullptr);
}

TEST_F(LifecycleTest, AThreadThatOutlivesTheStopIsWaitedForBeforeTheLunsGo) {
    hk::test::RegSetDword(kParametersKey, "AutoActivateViaApi", 1);
    hk::test::SetClockRate(20);
    g_ignoreStopMs = 3000;
    // This thread's own thread object (made at its first kernel wait, inside the unload) lives
    // as long as the thread: make it now so the count below is the driver's alone.
    (VOID)KeGetCurrentThread();
    long objects = hk::test::LiveObjects();
    Load();
    for (int i = 0; i < 200 && g_threadStarts == 0; i++) SleepMs(5);
    ASSERT_EQ(g_threadStarts.load(), 1);
    HkUnloadReport r = Unload();
    for (const auto& l : r.leaks) ADD_FAILURE() << l;
    EXPECT_TRUE(LogHas("ZelkoVd: 自激活线程 2 秒内未退出，强制继续卸载\n"));
    // The thread ended before the unload returned and its object was released.
    EXPECT_EQ(ActivationThreadObject, nullptr);
    // (The host kernel lets go of an ended thread's own reference a moment after it ended.)
    for (int i = 0; i < 200 && hk::test::LiveObjects() != objects; i++) SleepMs(5);
    EXPECT_EQ(hk::test::LiveObjects(), objects);
}

TEST_F(LifecycleTest, NoThreadWithoutARoutineOrAfterSuccess) {
    InterlockedExchangePointer((PVOID volatile*)&g_ActivationThreadRoutine, nullptr);
    hk::test::RegSetDword(kParametersKey, "AutoActivate", 1);
    Load();
    EXPECT_TRUE(LogHas("ZelkoVd: PsCreateSystemThread 失败 0x"));
    EXPECT_EQ(InterlockedCompareExchange(&ActivationThreadRunning, 0, 0), 0);
}

TEST_F(LifecycleTest, BusResetGivesEveryTransportAnotherChance) {
    Load();
    LuExt* lu = Lun(0);
    lu->session.tcpFailed = TRUE;
    lu->session.udpFailed = TRUE;
    EXPECT_TRUE(HkBusReset());
    // The reset runs at DISPATCH_LEVEL; the marks are cleared by the next transport choice,
    // which holds the session's transport lock.
    SelectTransport(&lu->session);
    EXPECT_FALSE(lu->session.tcpFailed);
    EXPECT_FALSE(lu->session.udpFailed);
}

TEST_F(LifecycleTest, FileBackedLunsWaitForTheImageLayer) {
    Load();
    CreateLunRecord rec = {};
    const char* path = "\\??\\C:\\disk.img";
    for (int i = 0; path[i]; i++) rec.imagePath[i] = (WCHAR)path[i];
    LuExt* lu = nullptr;
    PZV_FILE_LUN_OPEN saved = g_FileLunOpen;
    g_FileLunOpen = nullptr;
    EXPECT_EQ(CreateLun(Adapter(), 4, &rec, &lu), STATUS_NOT_SUPPORTED);
    g_FileLunOpen = saved;
    EXPECT_EQ(lu, nullptr);
    EXPECT_EQ(GetLun(Adapter(), 0, 0, 4), nullptr);
}

}  // namespace
