// Internals of the host kernel, shared by its source files (and by the I/O manager and socket
// provider parts). Never included by driver code.
//
// Conventions:
//  - hk::Fatal() is the host's bug check: it prints "*** hostkernel: <message>" to stderr and
//    aborts. Tests catch it with death tests matching the message.
//  - Every thread that runs kernel code has a hk::ThreadState (IRQL, critical-region count,
//    spin locks held). Host threads (test main threads, the socket reactor) get one lazily at
//    PASSIVE_LEVEL; use hk::IrqlScope to run a callback at DISPATCH_LEVEL from such a thread,
//    as Windows runs I/O completion at DISPATCH_LEVEL.
//  - All dispatcher state (signal states, timers, DPC queue, waits) is guarded by the one
//    dispatcher lock; hk::WaitLocked waits on it against the host kernel's virtual clock.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace hk {

[[noreturn]] void Fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void RequireIrqlAtMost(KIRQL max, const char* api);
void RequireIrqlExactly(KIRQL irql, const char* api);

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int criticalRegions = 0;      // KeEnterCriticalRegion nesting
    int guardedRegions = 0;       // KeEnterGuardedRegion nesting
    int spinLocksHeld = 0;
    int resourcesHeld = 0;        // ERESOURCE acquisitions outstanding
    int fastMutexesHeld = 0;
    bool systemThread = false;    // created by PsCreateSystemThread
    bool dpcThread = false;
    struct _KTHREAD* thread = nullptr;  // lazily created thread object
    void* exitJump = nullptr;     // jmp_buf* of a system thread's trampoline
    // ERESOURCEs this thread holds shared, with their recursion counts. Kept by the thread itself
    // so that a shared acquisition needs no lock of the resource's; the lock is for the rare
    // release on behalf of another thread (ExReleaseResourceForThreadLite).
    std::mutex sharedLock;
    std::vector<std::pair<const void*, int>> sharedHeld;
};
ThreadState& Current();

// Runs the scope at a given IRQL (raising or lowering as needed) and restores the previous
// IRQL at the end; the IRQL must be the scope's IRQL again when it ends.
class IrqlScope {
public:
    explicit IrqlScope(KIRQL irql);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;
private:
    KIRQL old_;
    KIRQL irql_;
};

// ---------------------------------------------------------------------------------------------
// Clock: virtual interrupt time in 100 ns units since the host kernel started. Runs at
// `rate` times real time (tests may speed it up) and can be advanced in steps.
int64_t InterruptTime();
int64_t SystemTimeAt(int64_t interruptTime);   // 100 ns since 1601
int64_t InterruptTimeOfSystemTime(int64_t systemTime);
// Converts a WDK timeout (NULL = forever, negative = relative, positive = absolute system time)
// into an absolute interrupt-time deadline; kForever for none.
constexpr int64_t kForever = INT64_MAX;
int64_t DeadlineFromTimeout(const LARGE_INTEGER* timeout);

// ---------------------------------------------------------------------------------------------
// Dispatcher
std::mutex& DispatcherLock();
// Wakes every waiting thread (dispatcher lock held): for changes no key names (the clock).
void DispatcherBroadcast();
// Wakes the threads that wait with `key` among their wait keys, and those that wait for any
// change (dispatcher lock held). Call after every state change of the object `key` names.
void DispatcherWake(const void* key);
// One wait step: blocks until woken or until `deadline` (interrupt time). Returns false once the
// deadline has passed. Call with the dispatcher lock held (via lk). WaitStep wakes on every
// change; WaitStepOn only on a change of one of `keys` (count of them), or on every change with
// `any`. A clock change wakes both.
bool WaitStep(std::unique_lock<std::mutex>& lk, int64_t deadline);
bool WaitStepOn(std::unique_lock<std::mutex>& lk, int64_t deadline, const void* const* keys, ULONG count, bool any);
template <class Pred>
bool WaitLocked(std::unique_lock<std::mutex>& lk, int64_t deadline, Pred pred) {
    while (!pred()) {
        if (!WaitStep(lk, deadline)) return pred();
    }
    return true;
}
template <class Pred>
bool WaitLockedOn(std::unique_lock<std::mutex>& lk, int64_t deadline, const void* const* keys, ULONG count, Pred pred) {
    while (!pred()) {
        if (!WaitStepOn(lk, deadline, keys, count, false)) return pred();
    }
    return true;
}
// Signals a dispatcher object (event-like), for object kinds the I/O part defines.
void SignalObjectLocked(DISPATCHER_HEADER* header, LONG state);

// Called by pool free with the block's range: fatal if it holds a queued timer or DPC.
void CheckNoActiveTimersIn(const void* start, size_t size, const char* what);
void CheckNoResourcesIn(const void* start, size_t size, const char* what);
void CheckNoWorkItemsIn(const void* start, size_t size, const char* what);

// ---------------------------------------------------------------------------------------------
// Objects and handles. Objects have a header before the body (as on Windows) with a reference
// count; the body is what ObReferenceObjectByHandle hands out.
enum class ObjectKind : uint32_t { Thread = 1, Key, File, Event, Device, Driver, Other };
using ObjectDestroy = void (*)(void* body);
void* ObjectCreate(ObjectKind kind, size_t bodySize, ObjectDestroy destroy);
bool IsObject(const void* body);
ObjectKind KindOf(const void* body);
HANDLE HandleCreate(void* body);    // takes over one reference
// Looks a handle up and returns the referenced body, or nullptr with a status.
void* HandleReference(HANDLE handle, ObjectKind kind, NTSTATUS* status);
long LiveObjectCount();
long OpenHandleCount();

// ---------------------------------------------------------------------------------------------
// Work queue used for work items and by other parts that need PASSIVE_LEVEL callbacks.
void QueueWork(void (*routine)(void*), void* context);
// Number of queued or running work items whose device object is `device`.
long WorkItemsPendingFor(PDEVICE_OBJECT device);

// I/O manager: devices by name (case-insensitive, as given to IoCreateDevice); whether a device
// object is still live. IoDeviceDeleted is called by IoDeleteDevice after the device left the
// driver's list: it returns true when open file objects keep it alive, in which case the I/O
// manager frees it (IoFreeDeletedDevice) at the last close.
PDEVICE_OBJECT IoFindDevice(const std::u16string& name);
bool IoDeviceLive(PDEVICE_OBJECT device);
bool IoDeviceDeleted(PDEVICE_OBJECT device);
void IoFreeDeletedDevice(PDEVICE_OBJECT device);
// The I/O manager's routine for major functions a driver did not set (completes with
// STATUS_INVALID_DEVICE_REQUEST); names of live symbolic links; file objects still open.
PDRIVER_DISPATCH InvalidDeviceRequestRoutine();
std::vector<std::string> IoLinkNames();
long IoOpenFileCount();

// Formatting (shared by DbgPrint and ntstrsafe).
// Formats into dst (capacity `cap` characters including the terminator). Returns the length
// the full text would have; sets *truncated when it did not fit. cap may be 0 (measure only).
size_t FormatA(char* dst, size_t cap, const char* fmt, va_list ap, bool* truncated);
size_t FormatW(char16_t* dst, size_t cap, const char16_t* fmt, va_list ap, bool* truncated);

// UTF-16 helpers (the host build never uses std::wstring or libc wide functions).
size_t Wcslen(const char16_t* s);
std::u16string ToU16(const char* utf8);
std::string ToUtf8(const char16_t* s, size_t n);
char16_t Upcase(char16_t c);
bool EqualNoCase(const std::u16string& a, const std::u16string& b);

}  // namespace hk

// The thread object behind PETHREAD/PKTHREAD.
struct _KTHREAD {
    DISPATCHER_HEADER Header;   // signalled when the thread has terminated
    NTSTATUS ExitStatus;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    uint64_t Id;
    bool System;
    std::atomic<bool> Terminated;
};
