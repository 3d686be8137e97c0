// Pool allocator with tag tracking, in the manner of Driver Verifier's special pool checks.
//
// Each block is a separate host allocation: [header][caller's bytes][guard]. The header records
// tag, size and pool type; a table of live blocks answers "was this allocated and not yet
// freed?" without touching freed memory, so a double free is reported as such rather than as
// heap corruption. The guard bytes catch writes past the end when the block is freed.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <map>
#include <stdio.h>
#include <stdlib.h>
#include <unordered_map>

namespace hk {
namespace {

constexpr uint64_t kHeaderMagic = 0x4C4F4F504B48ull;   // "HKPOOL"
constexpr size_t kGuard = 16;
constexpr UCHAR kGuardByte = 0xFD;
constexpr UCHAR kFreshByte = 0xCD;   // uninitialised allocations, so reliance on zero shows

struct alignas(16) BlockHeader {
    uint64_t magic;
    size_t size;
    ULONG tag;
    ULONG poolType;
    uint64_t serial;
};

struct Block {
    size_t size;
    ULONG tag;
    bool paged;
    bool cached;       // held by a look-aside list, not by the driver
    uint64_t serial;
};

// The live-block table is split by address so that allocations and frees of different threads
// rarely meet on one lock; nothing else on the allocation path is shared.
constexpr size_t kShards = 64;

struct Shard {
    std::mutex lock;
    std::unordered_map<uintptr_t, Block> live;
};

struct Pool {
    Shard shards[kShards];
    std::atomic<uint64_t> nextSerial{1};
    std::atomic<bool> failArmed{false};
    std::mutex failLock;
    uint64_t failAfter = 0;       // 0 = no injected failures (failLock)
    ULONG failTag = 0;            // 0 = any tag
    std::atomic<bool> reportAtExit{true};
};

Pool& P() {
    static Pool* p = new Pool;
    return *p;
}

Shard& ShardOf(const void* body) {
    return P().shards[((uintptr_t)body >> 4) * 0x9E3779B97F4A7C15ull >> 58];
}

// Fault injection: true when this allocation is the one to fail.
bool InjectedFailure(ULONG tag) {
    Pool& p = P();
    if (!p.failArmed.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> g(p.failLock);
    if (p.failAfter && (p.failTag == 0 || p.failTag == tag)) {
        if (--p.failAfter == 0) {
            p.failTag = 0;
            p.failArmed = false;
            return true;
        }
    }
    return false;
}

std::string TagText(ULONG tag) {
    char s[5];
    for (int i = 0; i < 4; i++) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        s[i] = (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    s[4] = 0;
    return s;
}

void* Allocate(bool paged, SIZE_T bytes, ULONG tag, bool zero, ULONG poolType, const char* api, bool mayFail = true) {
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, api);
    if (tag == 0) Fatal("%s with pool tag 0 (every allocation needs a tag of the driver's own)", api);
    if (bytes == 0) Fatal("%s of 0 bytes (tag '%s')", api, TagText(tag).c_str());
    if (bytes > ((size_t)1 << 40)) return nullptr;
    if (mayFail && InjectedFailure(tag)) return nullptr;
    auto* h = (BlockHeader*)aligned_alloc(16, (sizeof(BlockHeader) + bytes + kGuard + 15) & ~(size_t)15);
    if (!h) return nullptr;
    h->magic = kHeaderMagic;
    h->size = bytes;
    h->tag = tag;
    h->poolType = poolType;
    void* body = h + 1;
    // Drivers tell kernel pointers from garbage by comparing with MM_SYSTEM_RANGE_START; that
    // only holds while no block lies below it.
    if ((uintptr_t)body < (uintptr_t)MmSystemRangeStart)
        Fatal("pool block %p lies below MmSystemRangeStart %p", body, MmSystemRangeStart);
    memset(body, zero ? 0 : kFreshByte, bytes);
    memset((char*)body + bytes, kGuardByte, kGuard);
    h->serial = P().nextSerial++;
    Shard& sh = ShardOf(body);
    std::lock_guard<std::mutex> g(sh.lock);
    sh.live[(uintptr_t)body] = Block{bytes, tag, paged, false, h->serial};
    return body;
}

void Free(void* body, ULONG tag, bool checkTag, const char* api) {
    if (!body) Fatal("%s(NULL)", api);
    Block b;
    {
        Shard& sh = ShardOf(body);
        std::lock_guard<std::mutex> g(sh.lock);
        auto it = sh.live.find((uintptr_t)body);
        if (it == sh.live.end() || it->second.cached)
            Fatal("BAD_POOL_CALLER: %s(%p): not an allocated pool block (freed twice, or never allocated)", api, body);
        b = it->second;
        RequireIrqlAtMost(b.paged ? APC_LEVEL : DISPATCH_LEVEL, api);
        if (checkTag && b.tag != tag)
            Fatal("BAD_POOL_CALLER: %s(%p) with tag '%s' but the block was allocated with tag '%s'", api, body,
                  TagText(tag).c_str(), TagText(b.tag).c_str());
        sh.live.erase(it);
    }
    auto* h = (BlockHeader*)body - 1;
    const UCHAR* guard = (const UCHAR*)body + b.size;
    for (size_t i = 0; i < kGuard; i++)
        if (guard[i] != kGuardByte)
            Fatal("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: pool block %p (tag '%s', %zu bytes) was written past its end",
                  body, TagText(b.tag).c_str(), b.size);
    // Built without the heap: every free of every request passes here.
    char what[] = "freeing pool block (tag '....')";
    for (int i = 0; i < 4; i++) {
        unsigned char c = (unsigned char)(b.tag >> (8 * i));
        what[25 + i] = (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    CheckNoActiveTimersIn(body, b.size, what);
    CheckNoResourcesIn(body, b.size, what);
    CheckNoWorkItemsIn(body, b.size, what);
    memset(body, 0xDD, b.size);   // freed memory, in case the host allocator hands it back unchanged
    h->magic = 0;
    free(h);
}

// A pool block handed to a look-aside list's cache (Cached true) or taken back out of it. The
// block stays a live pool block of the list's tag all along, so the leak report still names a list
// that was never deleted; what the cache adds is caught here: an entry freed to its list twice,
// one that is not a block of the list's tag, a write past the end.
void MarkCached(void* body, ULONG tag, bool cached, const char* api) {
    Shard& sh = ShardOf(body);
    std::lock_guard<std::mutex> g(sh.lock);
    auto it = sh.live.find((uintptr_t)body);
    if (it == sh.live.end() || it->second.tag != tag)
        Fatal("BAD_POOL_CALLER: %s(%p): not a pool block of the list's tag '%s' (freed twice, or from elsewhere)", api,
              body, TagText(tag).c_str());
    Block& b = it->second;
    if (cached) {
        if (b.cached) Fatal("BAD_POOL_CALLER: %s(%p): entry freed to its look-aside list twice", api, body);
        const UCHAR* guard = (const UCHAR*)body + b.size;
        for (size_t i = 0; i < kGuard; i++)
            if (guard[i] != kGuardByte)
                Fatal("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: look-aside entry %p (tag '%s', %zu bytes) was written past its end",
                      body, TagText(b.tag).c_str(), b.size);
    } else {
        b.serial = P().nextSerial++;   // a reused entry counts as allocated now (PoolLeaksSince)
    }
    b.cached = cached;
}

struct ExitReport {
    ~ExitReport() {
        if (P().reportAtExit) test::ReportPoolLeaks(stderr);
    }
} g_exitReport;

}  // namespace

namespace test {

uint64_t PoolMark() { return P().nextSerial.load(); }

std::string PoolLeaksSince(uint64_t mark, ULONG tag) {
    std::map<ULONG, std::pair<size_t, size_t>> perTag;   // tag -> (blocks, bytes)
    for (Shard& sh : P().shards) {
        std::lock_guard<std::mutex> g(sh.lock);
        for (auto& [addr, b] : sh.live) {
            if (b.serial < mark) continue;
            if (tag != 0 && b.tag != tag) continue;
            auto& e = perTag[b.tag];
            e.first++;
            e.second += b.size;
        }
    }
    std::string out;
    for (auto& [t, e] : perTag) {
        char line[128];
        snprintf(line, sizeof line, "pool tag '%s': %zu block(s), %zu bytes outstanding\n", TagText(t).c_str(),
                 e.first, e.second);
        out += line;
    }
    return out;
}

size_t PoolOutstanding(ULONG tag) {
    size_t n = 0;
    for (Shard& sh : P().shards) {
        std::lock_guard<std::mutex> g(sh.lock);
        for (auto& [addr, b] : sh.live)
            if (tag == 0 || b.tag == tag) n++;
    }
    return n;
}

size_t ReportPoolLeaks(FILE* out) {
    std::string text = PoolLeaksSince(0, 0);
    if (!text.empty() && out) {
        fprintf(out, "*** hostkernel: outstanding pool allocations:\n%s", text.c_str());
        fflush(out);
    }
    return PoolOutstanding(0);
}

void FailPoolAllocation(uint64_t nth, ULONG tag) {
    std::lock_guard<std::mutex> g(P().failLock);
    P().failAfter = nth;
    P().failTag = tag;
    P().failArmed = nth != 0;
}

void SetPoolLeakReportAtExit(bool on) { P().reportAtExit = on; }

}  // namespace test
}  // namespace hk

using hk::Fatal;

extern "C" {

PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    bool paged = (Flags & POOL_FLAG_PAGED) != 0;
    bool nonPaged = (Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE)) != 0;
    if (paged == nonPaged) Fatal("ExAllocatePool2 with flags 0x%llx: exactly one pool type flag is required", (unsigned long long)Flags);
    if (Flags & POOL_FLAG_RAISE_ON_FAILURE) Fatal("ExAllocatePool2 with POOL_FLAG_RAISE_ON_FAILURE (no exceptions here)");
    return hk::Allocate(paged, NumberOfBytes, Tag, !(Flags & POOL_FLAG_UNINITIALIZED),
                        paged ? PagedPool : NonPagedPoolNx, "ExAllocatePool2");
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    bool paged = (PoolType & 1) != 0;
    return hk::Allocate(paged, NumberOfBytes, Tag, false, (ULONG)PoolType, "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    bool paged = (PoolType & 1) != 0;
    return hk::Allocate(paged, NumberOfBytes, Tag, true, (ULONG)PoolType, "ExAllocatePoolZero");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);   // 'None', as Windows tags them
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { hk::Free(P, Tag, true, "ExFreePoolWithTag"); }
VOID NTAPI ExFreePool(PVOID P) { hk::Free(P, 0, false, "ExFreePool"); }

// ---------------------------------------------------------------------------------------------
// Look-aside lists

static const ULONG kLookasideMagic = 0x4B4F4F4C;   // "LOOK"

static void InitLookaside(PGENERAL_LOOKASIDE L, PVOID Allocate, PVOID Free, POOL_TYPE Type, SIZE_T Size, ULONG Tag,
                          bool ex) {
    memset(L, 0, sizeof *L);
    InitializeSListHead(&L->ListHead);
    if (Size == 0) Fatal("look-aside list with entry size 0");
    if (Tag == 0) Fatal("look-aside list with pool tag 0");
    L->Type = Type;
    L->Tag = Tag;
    L->Size = (ULONG)Size;
    L->Allocate = Allocate;
    L->Free = Free;
    L->Depth = 0;
    L->MaximumDepth = 256;
    L->HkMagic = kLookasideMagic;
    L->HkIsEx = ex ? 1 : 0;
}

// A list without allocate and free routines of the driver's keeps up to MaximumDepth freed entries
// and hands them out again, as Windows does: reuse costs no trip to the pool.
static bool LookasideCaches(PGENERAL_LOOKASIDE L) { return L->Allocate == nullptr && L->Free == nullptr; }

static PVOID LookasideAllocate(PGENERAL_LOOKASIDE L, const char* api) {
    if (L->HkMagic != kLookasideMagic) Fatal("%s on a look-aside list that is not initialised (or deleted)", api);
    PVOID p = nullptr;
    InterlockedIncrement((LONG volatile*)&L->TotalAllocates);
    if (LookasideCaches(L)) {
        // Injected failures reach an allocation whether or not the cache could serve it.
        if (hk::InjectedFailure(L->Tag)) {
            InterlockedIncrement((LONG volatile*)&L->AllocateMisses);
            return nullptr;
        }
        p = InterlockedPopEntrySList(&L->ListHead);
        if (p) {
            hk::MarkCached(p, L->Tag, false, api);
        } else {
            InterlockedIncrement((LONG volatile*)&L->AllocateMisses);
            hk::RequireIrqlAtMost((L->Type & 1) ? APC_LEVEL : DISPATCH_LEVEL, api);
            p = hk::Allocate((L->Type & 1) != 0, L->Size, L->Tag, false, (ULONG)L->Type, api, false);
        }
    } else {
        InterlockedIncrement((LONG volatile*)&L->AllocateMisses);
        if (L->Allocate) {
            p = L->HkIsEx ? ((PALLOCATE_FUNCTION_EX)L->Allocate)(L->Type, L->Size, L->Tag, (PLOOKASIDE_LIST_EX)L)
                          : ((PALLOCATE_FUNCTION)L->Allocate)(L->Type, L->Size, L->Tag);
        } else {
            p = ExAllocatePoolWithTag(L->Type, L->Size, L->Tag);
        }
    }
    if (p) InterlockedIncrement(&L->HkOutstanding);
    return p;
}

static VOID LookasideFree(PGENERAL_LOOKASIDE L, PVOID Entry, const char* api) {
    if (L->HkMagic != kLookasideMagic) Fatal("%s on a look-aside list that is not initialised (or deleted)", api);
    if (!Entry) Fatal("%s(NULL)", api);
    InterlockedDecrement(&L->HkOutstanding);
    InterlockedIncrement((LONG volatile*)&L->TotalFrees);
    if (LookasideCaches(L) && QueryDepthSList(&L->ListHead) < L->MaximumDepth) {
        hk::MarkCached(Entry, L->Tag, true, api);
        InterlockedPushEntrySList(&L->ListHead, (PSLIST_ENTRY)Entry);
        return;
    }
    InterlockedIncrement((LONG volatile*)&L->FreeMisses);
    if (L->Free) {
        if (L->HkIsEx) ((PFREE_FUNCTION_EX)L->Free)(Entry, (PLOOKASIDE_LIST_EX)L);
        else ((PFREE_FUNCTION)L->Free)(Entry);
    } else {
        ExFreePoolWithTag(Entry, L->Tag);
    }
}

// Gives the cached entries back to the pool.
static VOID LookasideDrain(PGENERAL_LOOKASIDE L, const char* api) {
    PSLIST_ENTRY e = InterlockedFlushSList(&L->ListHead);
    while (e) {
        PSLIST_ENTRY next = e->Next;
        hk::MarkCached(e, L->Tag, false, api);
        ExFreePoolWithTag(e, L->Tag);
        e = next;
    }
}

static VOID LookasideDelete(PGENERAL_LOOKASIDE L, const char* api) {
    if (L->HkMagic != kLookasideMagic) Fatal("%s on a look-aside list that is not initialised (deleted twice?)", api);
    LookasideDrain(L, api);
    L->HkMagic = 0;
}

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    InitLookaside(&Lookaside->L, (PVOID)Allocate, (PVOID)Free, (Flags & POOL_NX_ALLOCATION) ? NonPagedPoolNx : NonPagedPool,
                  Size, Tag, false);
}
VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    LookasideDelete(&Lookaside->L, "ExDeleteNPagedLookasideList");
}
PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    return LookasideAllocate(&Lookaside->L, "ExAllocateFromNPagedLookasideList");
}
VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    LookasideFree(&Lookaside->L, Entry, "ExFreeToNPagedLookasideList");
}
VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                          PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth) {
    hk::RequireIrqlAtMost(APC_LEVEL, "ExInitializePagedLookasideList");
    InitLookaside(&Lookaside->L, (PVOID)Allocate, (PVOID)Free, PagedPool, Size, Tag, false);
}
VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    LookasideDelete(&Lookaside->L, "ExDeletePagedLookasideList");
}
PVOID NTAPI ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside) {
    hk::RequireIrqlAtMost(APC_LEVEL, "ExAllocateFromPagedLookasideList");
    return LookasideAllocate(&Lookaside->L, "ExAllocateFromPagedLookasideList");
}
VOID NTAPI ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry) {
    hk::RequireIrqlAtMost(APC_LEVEL, "ExFreeToPagedLookasideList");
    LookasideFree(&Lookaside->L, Entry, "ExFreeToPagedLookasideList");
}
NTSTATUS NTAPI ExInitializeLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PALLOCATE_FUNCTION_EX Allocate,
                                           PFREE_FUNCTION_EX Free, POOL_TYPE PoolType, ULONG Flags, SIZE_T Size,
                                           ULONG Tag, USHORT Depth) {
    hk::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeLookasideListEx");
    InitLookaside(&Lookaside->L, (PVOID)Allocate, (PVOID)Free, PoolType, Size, Tag, true);
    return STATUS_SUCCESS;
}
VOID NTAPI ExDeleteLookasideListEx(PLOOKASIDE_LIST_EX Lookaside) { LookasideDelete(&Lookaside->L, "ExDeleteLookasideListEx"); }
PVOID NTAPI ExAllocateFromLookasideListEx(PLOOKASIDE_LIST_EX Lookaside) {
    hk::RequireIrqlAtMost((Lookaside->L.Type & 1) ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocateFromLookasideListEx");
    return LookasideAllocate(&Lookaside->L, "ExAllocateFromLookasideListEx");
}
VOID NTAPI ExFreeToLookasideListEx(PLOOKASIDE_LIST_EX Lookaside, PVOID Entry) {
    hk::RequireIrqlAtMost((Lookaside->L.Type & 1) ? APC_LEVEL : DISPATCH_LEVEL, "ExFreeToLookasideListEx");
    LookasideFree(&Lookaside->L, Entry, "ExFreeToLookasideListEx");
}
VOID NTAPI ExFlushLookasideListEx(PLOOKASIDE_LIST_EX Lookaside) {
    if (Lookaside->L.HkMagic != kLookasideMagic) Fatal("ExFlushLookasideListEx on a look-aside list that is not initialised");
    LookasideDrain(&Lookaside->L, "ExFlushLookasideListEx");
}

}  // extern "C"
