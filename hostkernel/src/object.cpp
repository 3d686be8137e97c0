// Object manager (headers, reference counts, kernel handles) and system threads.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <pthread.h>
#include <setjmp.h>
#include <stdlib.h>
#include <unordered_map>

namespace hk {

void InitThreadHeader(DISPATCHER_HEADER* h);  // dispatcher.cpp

namespace {

constexpr uint32_t kObjectMagic = 0x4A424F48;  // "HOBJ"

struct alignas(16) ObjectHeader {
    uint32_t magic;
    ObjectKind kind;
    std::atomic<long> refs;
    ObjectDestroy destroy;
    uint64_t reserved;
};
static_assert(sizeof(ObjectHeader) % 16 == 0, "body stays 16-byte aligned");

ObjectHeader* HeaderOf(const void* body) { return (ObjectHeader*)((char*)body - sizeof(ObjectHeader)); }

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, void*> handles;
    uintptr_t next = 0;
};
HandleTable& H() {
    static HandleTable* t = new HandleTable;
    return *t;
}

std::atomic<long> g_liveObjects{0};
std::atomic<uint64_t> g_nextThreadId{0x100};

// Kernel handles have the top bit set, like Windows kernel handles.
constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

const char* KindName(ObjectKind k) {
    switch (k) {
    case ObjectKind::Thread: return "thread";
    case ObjectKind::Key: return "registry key";
    case ObjectKind::File: return "file";
    case ObjectKind::Event: return "event";
    case ObjectKind::Device: return "device";
    case ObjectKind::Driver: return "driver";
    default: return "object";
    }
}

}  // namespace

void* ObjectCreate(ObjectKind kind, size_t bodySize, ObjectDestroy destroy) {
    void* mem = aligned_alloc(16, (sizeof(ObjectHeader) + bodySize + 15) & ~(size_t)15);
    if (!mem) return nullptr;
    auto* h = new (mem) ObjectHeader;
    h->magic = kObjectMagic;
    h->kind = kind;
    h->refs = 1;
    h->destroy = destroy;
    h->reserved = 0;
    void* body = h + 1;
    memset(body, 0, bodySize);
    g_liveObjects++;
    return body;
}

bool IsObject(const void* body) { return body && HeaderOf(body)->magic == kObjectMagic; }
ObjectKind KindOf(const void* body) { return HeaderOf(body)->kind; }

static void ObjectRelease(void* body) {
    ObjectHeader* h = HeaderOf(body);
    long left = --h->refs;
    if (left < 0) Fatal("ObDereferenceObject of %s %p whose reference count is already 0", KindName(h->kind), body);
    if (left == 0) {
        if (h->destroy) h->destroy(body);
        h->magic = 0;
        h->~ObjectHeader();
        free(h);
        g_liveObjects--;
    }
}

HANDLE HandleCreate(void* body) {
    HandleTable& t = H();
    std::lock_guard<std::mutex> g(t.lock);
    uintptr_t v = kKernelHandleBase + 4 * (++t.next);
    t.handles[v] = body;
    return (HANDLE)v;
}

void* HandleReference(HANDLE handle, ObjectKind kind, NTSTATUS* status) {
    HandleTable& t = H();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.handles.find((uintptr_t)handle);
    if (it == t.handles.end()) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    ObjectHeader* h = HeaderOf(it->second);
    if (h->kind != kind) {
        *status = STATUS_OBJECT_TYPE_MISMATCH;
        return nullptr;
    }
    h->refs++;
    *status = STATUS_SUCCESS;
    return it->second;
}

long LiveObjectCount() { return g_liveObjects.load(); }
long OpenHandleCount() {
    std::lock_guard<std::mutex> g(H().lock);
    return (long)H().handles.size();
}

// ---------------------------------------------------------------------------------------------
// Threads

namespace {

void ThreadDestroy(void*) {}

PKTHREAD NewThreadObject(bool system) {
    auto* t = (PKTHREAD)ObjectCreate(ObjectKind::Thread, sizeof(KTHREAD), ThreadDestroy);
    if (!t) Fatal("out of memory creating a thread object");
    InitThreadHeader(&t->Header);
    new (&t->Terminated) std::atomic<bool>(false);
    t->Id = g_nextThreadId.fetch_add(4);
    t->System = system;
    return t;
}

void CheckCleanExit(ThreadState& st, const char* how) {
    if (st.irql != PASSIVE_LEVEL) Fatal("system thread %s at IRQL %u (must be PASSIVE_LEVEL)", how, st.irql);
    if (st.spinLocksHeld) Fatal("system thread %s holding %d spin lock(s)", how, st.spinLocksHeld);
    if (st.resourcesHeld) Fatal("system thread %s holding %d executive resource(s)", how, st.resourcesHeld);
    if (st.fastMutexesHeld) Fatal("system thread %s holding %d fast mutex(es)", how, st.fastMutexesHeld);
    if (st.criticalRegions) Fatal("system thread %s inside %d critical region(s)", how, st.criticalRegions);
    if (st.guardedRegions) Fatal("system thread %s inside %d guarded region(s)", how, st.guardedRegions);
}

void MarkTerminated(PKTHREAD t, NTSTATUS status) {
    std::lock_guard<std::mutex> g(DispatcherLock());
    t->ExitStatus = status;
    t->Terminated = true;
    SignalObjectLocked(&t->Header, 1);
}

struct StartBlock {
    PKTHREAD thread;
};

void* SystemThreadMain(void* arg) {
    PKTHREAD t = ((StartBlock*)arg)->thread;
    delete (StartBlock*)arg;
    ThreadState& st = Current();
    st.systemThread = true;
    st.thread = t;   // the running thread's own reference
    jmp_buf exitJump;
    st.exitJump = &exitJump;
    NTSTATUS status = STATUS_SUCCESS;
    if (setjmp(exitJump) == 0) {
        t->StartRoutine(t->StartContext);
        CheckCleanExit(st, "returned");
    } else {
        status = t->ExitStatus;
    }
    st.exitJump = nullptr;
    MarkTerminated(t, status);
    return nullptr;   // the thread_local state drops the thread's reference
}

}  // namespace

void ReleaseThreadObject(ThreadState& st) {
    if (st.thread) {
        PKTHREAD t = st.thread;
        st.thread = nullptr;
        if (!t->System && !t->Terminated) MarkTerminated(t, STATUS_SUCCESS);
        ObjectRelease(t);
    }
}

}  // namespace hk

using hk::Fatal;

extern "C" {

static OBJECT_TYPE* const kThreadType = (OBJECT_TYPE*)(uintptr_t)0x10;
static OBJECT_TYPE* const kProcessType = (OBJECT_TYPE*)(uintptr_t)0x20;
static OBJECT_TYPE* const kEventType = (OBJECT_TYPE*)(uintptr_t)0x30;
static OBJECT_TYPE* const kFileType = (OBJECT_TYPE*)(uintptr_t)0x40;
static OBJECT_TYPE* const kTokenType = (OBJECT_TYPE*)(uintptr_t)0x50;
static OBJECT_TYPE* g_types[5] = {kThreadType, kProcessType, kEventType, kFileType, kTokenType};
POBJECT_TYPE* PsThreadType = &g_types[0];
POBJECT_TYPE* PsProcessType = &g_types[1];
POBJECT_TYPE* ExEventObjectType = &g_types[2];
POBJECT_TYPE* IoFileObjectType = &g_types[3];
POBJECT_TYPE* SeTokenObjectType = &g_types[4];

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes && !(ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) && ProcessHandle == nullptr) {
        // Drivers must ask for a kernel handle, or the handle lands in the calling process.
        Fatal("PsCreateSystemThread without OBJ_KERNEL_HANDLE in the object attributes");
    }
    PKTHREAD t = hk::NewThreadObject(true);
    t->StartRoutine = StartRoutine;
    t->StartContext = StartContext;
    ObfReferenceObject(t);   // one reference for the running thread, one for the handle
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t tid;
    auto* sb = new hk::StartBlock{t};
    int rc = pthread_create(&tid, &attr, hk::SystemThreadMain, sb);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete sb;
        ObfDereferenceObject(t);
        ObfDereferenceObject(t);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)(uintptr_t)4;
        ClientId->UniqueThread = (HANDLE)(uintptr_t)t->Id;
    }
    *ThreadHandle = hk::HandleCreate(t);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    hk::ThreadState& st = hk::Current();
    if (!st.systemThread || !st.exitJump) Fatal("PsTerminateSystemThread called outside a system thread");
    hk::CheckCleanExit(st, "terminated");
    st.thread->ExitStatus = ExitStatus;
    longjmp(*(jmp_buf*)st.exitJump, 1);
}

PKTHREAD NTAPI KeGetCurrentThread(VOID) {
    hk::ThreadState& st = hk::Current();
    if (!st.thread) st.thread = hk::NewThreadObject(false);
    return st.thread;
}

PETHREAD NTAPI PsGetCurrentThread(VOID) { return KeGetCurrentThread(); }
HANDLE NTAPI PsGetCurrentThreadId(VOID) { return (HANDLE)(uintptr_t)KeGetCurrentThread()->Id; }
HANDLE NTAPI PsGetThreadId(PETHREAD Thread) { return (HANDLE)(uintptr_t)Thread->Id; }
HANDLE NTAPI PsGetCurrentProcessId(VOID) { return (HANDLE)(uintptr_t)4; }
PEPROCESS NTAPI PsGetCurrentProcess(VOID) {
    static char systemProcess[64];
    return (PEPROCESS)systemProcess;
}
PEPROCESS NTAPI IoGetCurrentProcess(VOID) { return PsGetCurrentProcess(); }
BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) { return Thread->System ? TRUE : FALSE; }
BOOLEAN NTAPI PsIsThreadTerminating(PETHREAD Thread) { return Thread->Terminated ? TRUE : FALSE; }
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    return 8;   // host threads keep the host's scheduling; the value is accepted and ignored
}
KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) { return 8; }

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    hk::ObjectKind kind;
    if (ObjectType == kThreadType) kind = hk::ObjectKind::Thread;
    else if (ObjectType == kFileType) kind = hk::ObjectKind::File;
    else if (ObjectType == kEventType) kind = hk::ObjectKind::Event;
    else Fatal("ObReferenceObjectByHandle with an object type the host kernel does not know");
    NTSTATUS status;
    void* body = hk::HandleReference(Handle, kind, &status);
    if (!body) return status;
    *Object = body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

LONG_PTR NTAPI ObfReferenceObject(PVOID Object) {
    if (!hk::IsObject(Object)) Fatal("ObReferenceObject(%p): not an object", Object);
    return ++hk::HeaderOf(Object)->refs;
}

LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
    if (!hk::IsObject(Object)) Fatal("ObDereferenceObject(%p): not an object (freed already?)", Object);
    long left = hk::HeaderOf(Object)->refs.load() - 1;
    hk::ObjectRelease(Object);
    return left;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    void* body;
    {
        hk::HandleTable& t = hk::H();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.handles.find((uintptr_t)Handle);
        if (it == t.handles.end()) Fatal("INVALID_KERNEL_HANDLE: ZwClose(%p) of a handle that is not open (closed twice?)", Handle);
        body = it->second;
        t.handles.erase(it);
    }
    hk::ObjectRelease(body);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    NTSTATUS status;
    void* body = hk::HandleReference(Handle, hk::ObjectKind::Thread, &status);
    if (!body) body = hk::HandleReference(Handle, hk::ObjectKind::Event, &status);
    if (!body) return status;
    status = KeWaitForSingleObject(body, Executive, KernelMode, Alertable, Timeout);
    ObfDereferenceObject(body);
    return status;
}

}  // extern "C"
