#include "AdapterTestSupport.h"

namespace adaptertest {

MemDisk& Mem() {
    static MemDisk m;
    return m;
}

static NTSTATUS MemRead(LuExt* lu, ULONGLONG offset, ULONG length, PVOID buffer, PULONG done) {
    MemDisk& m = Mem();
    std::unique_lock<std::mutex> g(m.lock);
    m.readsWaiting++;
    m.cv.notify_all();
    m.cv.wait(g, [&] { return m.gateOpen; });
    m.readsWaiting--;
    int delay = m.readDelayMs;
    m.readOffsets.push_back(offset);
    if (offset + length > m.data.size()) return STATUS_END_OF_FILE;
    memcpy(buffer, m.data.data() + offset, length);
    g.unlock();
    if (delay) SleepMs(delay);
    *done = length;
    return STATUS_SUCCESS;
}

static NTSTATUS MemWrite(LuExt* lu, ULONGLONG offset, ULONG length, const VOID* data, PULONG done) {
    MemDisk& m = Mem();
    std::lock_guard<std::mutex> g(m.lock);
    m.writes.push_back({offset, length});
    if (offset + length <= m.data.size()) memcpy(m.data.data() + offset, data, length);
    *done = length;
    return STATUS_SUCCESS;
}

static NTSTATUS MemFlush(LuExt* lu) {
    MemDisk& m = Mem();
    std::lock_guard<std::mutex> g(m.lock);
    m.flushes++;
    return m.flushStatus;
}

const LUN_BACKEND g_MemBackend = {MemRead, MemWrite, MemFlush, nullptr};

void AdapterTest::SetUp() {
    hk::test::ResetMachine();
    HkWskTestReset();
    Mem().Reset(0);
    mark_ = hk::test::PoolMark();
    hk::test::ClearDbgLines();
}

void AdapterTest::TearDown() {
    if (loaded_) {
        HkUnloadReport r = Unload();
        for (const auto& l : r.leaks) ADD_FAILURE() << "unload: " << l;
    }
    Mem().OpenGate();
    InterlockedExchangePointer((PVOID volatile*)&g_ActivationThreadRoutine, nullptr);
    EXPECT_EQ(hk::test::PoolLeaksSince(mark_), "");
    HkWskTestReset();
}

void AdapterTest::Load() {
    ASSERT_EQ(HkDriverLoad(DriverEntry), STATUS_SUCCESS);
    loaded_ = true;
}

HkUnloadReport AdapterTest::Unload() {
    loaded_ = false;
    return HkDriverUnload();
}

void AdapterTest::UseMemDisk(UCHAR i, size_t bytes, bool activated) {
    LuExt* lu = Lun(i);
    ASSERT_NE(lu, nullptr);
    Mem().Reset(bytes);
    lu->backend = &g_MemBackend;
    InterlockedExchange64((volatile LONG64*)&lu->session.targetSize, (LONG64)bytes);
    if (activated) WpSetFlag(&lu->session.handshakeDone, TRUE);
}

bool AdapterTest::LogHas(const std::string& text) { return LogCount(text) > 0; }

int AdapterTest::LogCount(const std::string& text) {
    int n = 0;
    for (const auto& l : hk::test::DbgLines())
        if (l.text.find(text) != std::string::npos) n++;
    return n;
}

}  // namespace adaptertest
