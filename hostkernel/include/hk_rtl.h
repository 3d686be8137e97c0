// Run-time library: memory and string helpers, doubly and singly linked lists, interlocked
// operations. List helpers are inline as in the WDK; the list-corruption check of the WDK's
// fast-fail build (Flink->Blink == entry) is always on in the host kernel.
#pragma once

#include "hk_base.h"

#ifdef __cplusplus
#include <type_traits>
#endif

HK_BEGIN_DECLS

// ---------------------------------------------------------------------------------------------
// Memory

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
#define RtlSecureZeroMemory(Destination, Length) HkSecureZeroMemory((Destination), (Length))
PVOID NTAPI HkSecureZeroMemory(PVOID Destination, SIZE_T Length);
SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// Strings (Unicode conversions are PASSIVE_LEVEL only, as on Windows)

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
VOID NTAPI RtlCopyString(PSTRING DestinationString, const STRING* SourceString);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                     BOOLEAN CaseInSensitive);
LONG NTAPI RtlCompareString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualString(const STRING* String1, const STRING* String2, BOOLEAN CaseInSensitive);
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
CHAR NTAPI RtlUpperChar(CHAR Character);
NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString,
                                      PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString);
// The ANSI code page of the host kernel is 7-bit: characters outside ASCII become '?', as
// characters missing from the code page do on Windows.
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlUnicodeToUTF8N(PCHAR UTF8StringDestination, ULONG UTF8StringMaxByteCount,
                                 PULONG UTF8StringActualByteCount, PCWCH UnicodeStringSource,
                                 ULONG UnicodeStringByteCount);
NTSTATUS NTAPI RtlUTF8ToUnicodeN(PWSTR UnicodeStringDestination, ULONG UnicodeStringMaxByteCount,
                                 PULONG UnicodeStringActualByteCount, PCCH UTF8StringSource,
                                 ULONG UTF8StringByteCount);
ULONG NTAPI RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString);
ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString);
#define RtlUnicodeStringToAnsiSize(s) RtlxUnicodeStringToAnsiSize(s)
#define RtlAnsiStringToUnicodeSize(s) RtlxAnsiStringToUnicodeSize(s)
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
BOOLEAN NTAPI RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSTATUS NTAPI RtlCharToInteger(PCSZ String, ULONG Base, PULONG Value);
ULONG NTAPI RtlRandomEx(PULONG Seed);
ULONG NTAPI RtlRandom(PULONG Seed);

FORCEINLINE VOID RtlInitEmptyUnicodeString(PUNICODE_STRING UnicodeString, PWCHAR Buffer,
                                           USHORT BufferSize) {
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = BufferSize;
    UnicodeString->Buffer = Buffer;
}
FORCEINLINE VOID RtlInitEmptyAnsiString(PANSI_STRING AnsiString, PCHAR Buffer, USHORT BufferSize) {
    AnsiString->Length = 0;
    AnsiString->MaximumLength = BufferSize;
    AnsiString->Buffer = Buffer;
}

#define RTL_CONSTANT_STRING(s)                                   \
    {                                                            \
        (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), \
            const_cast<std::remove_const_t<std::remove_reference_t<decltype((s)[0])>>*>(s) \
    }
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
    const WCHAR _var##_buffer[] = _string;          \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
    WCHAR _var##_buffer[_size];                  \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}

// ---------------------------------------------------------------------------------------------
// Doubly linked lists

__attribute__((noreturn)) VOID NTAPI HkListCorrupted(PLIST_ENTRY Entry);

FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}
FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = Entry->Flink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Flink->Blink != Entry || Blink->Flink != Entry) HkListCorrupted(Entry);
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}
FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    if (Entry->Blink != ListHead || Flink->Blink != Entry) HkListCorrupted(ListHead);
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}
FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    if (Entry->Flink != ListHead || Blink->Flink != Entry) HkListCorrupted(ListHead);
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}
FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    if (Blink->Flink != ListHead) HkListCorrupted(ListHead);
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}
FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    if (Flink->Blink != ListHead) HkListCorrupted(ListHead);
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}
FORCEINLINE VOID AppendTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListToAppend) {
    PLIST_ENTRY ListEnd = ListHead->Blink;
    ListHead->Blink->Flink = ListToAppend;
    ListHead->Blink = ListToAppend->Blink;
    ListToAppend->Blink->Flink = ListHead;
    ListToAppend->Blink = ListEnd;
}
FORCEINLINE PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
    PSINGLE_LIST_ENTRY FirstEntry = ListHead->Next;
    if (FirstEntry != NULL) ListHead->Next = FirstEntry->Next;
    return FirstEntry;
}
FORCEINLINE VOID PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
    Entry->Next = ListHead->Next;
    ListHead->Next = Entry;
}

// ---------------------------------------------------------------------------------------------
// Interlocked operations (full barriers, as on x64)

#define HK_SEQ __ATOMIC_SEQ_CST
FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, HK_SEQ); }
FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, HK_SEQ); }
FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value) { return __atomic_exchange_n(Target, Value, HK_SEQ); }
FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) { return __atomic_fetch_add(Addend, Value, HK_SEQ); }
FORCEINLINE LONG InterlockedAdd(LONG volatile* Addend, LONG Value) { return __atomic_add_fetch(Addend, Value, HK_SEQ); }
FORCEINLINE LONG InterlockedOr(LONG volatile* Target, LONG Value) { return __atomic_fetch_or(Target, Value, HK_SEQ); }
FORCEINLINE LONG InterlockedAnd(LONG volatile* Target, LONG Value) { return __atomic_fetch_and(Target, Value, HK_SEQ); }
FORCEINLINE LONG InterlockedXor(LONG volatile* Target, LONG Value) { return __atomic_fetch_xor(Target, Value, HK_SEQ); }
FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, HK_SEQ, HK_SEQ);
    return Comparand;
}
FORCEINLINE LONG64 InterlockedIncrement64(LONG64 volatile* Addend) { return __atomic_add_fetch(Addend, 1, HK_SEQ); }
FORCEINLINE LONG64 InterlockedDecrement64(LONG64 volatile* Addend) { return __atomic_sub_fetch(Addend, 1, HK_SEQ); }
FORCEINLINE LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) { return __atomic_exchange_n(Target, Value, HK_SEQ); }
FORCEINLINE LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) { return __atomic_fetch_add(Addend, Value, HK_SEQ); }
FORCEINLINE LONG64 InterlockedAdd64(LONG64 volatile* Addend, LONG64 Value) { return __atomic_add_fetch(Addend, Value, HK_SEQ); }
FORCEINLINE LONG64 InterlockedOr64(LONG64 volatile* Target, LONG64 Value) { return __atomic_fetch_or(Target, Value, HK_SEQ); }
FORCEINLINE LONG64 InterlockedAnd64(LONG64 volatile* Target, LONG64 Value) { return __atomic_fetch_and(Target, Value, HK_SEQ); }
FORCEINLINE LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange, LONG64 Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, HK_SEQ, HK_SEQ);
    return Comparand;
}
FORCEINLINE SHORT InterlockedIncrement16(SHORT volatile* Addend) { return __atomic_add_fetch(Addend, 1, HK_SEQ); }
FORCEINLINE SHORT InterlockedDecrement16(SHORT volatile* Addend) { return __atomic_sub_fetch(Addend, 1, HK_SEQ); }
FORCEINLINE SHORT InterlockedCompareExchange16(SHORT volatile* Destination, SHORT Exchange, SHORT Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, HK_SEQ, HK_SEQ);
    return Comparand;
}
FORCEINLINE CHAR InterlockedExchange8(CHAR volatile* Target, CHAR Value) { return __atomic_exchange_n(Target, Value, HK_SEQ); }
FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) { return __atomic_exchange_n(Target, Value, HK_SEQ); }
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, HK_SEQ, HK_SEQ);
    return Comparand;
}
FORCEINLINE BOOLEAN InterlockedBitTestAndSet(LONG volatile* Base, LONG Bit) {
    return (BOOLEAN)((__atomic_fetch_or(Base + (Bit >> 5), (LONG)(1u << (Bit & 31)), HK_SEQ) >> (Bit & 31)) & 1);
}
FORCEINLINE BOOLEAN InterlockedBitTestAndReset(LONG volatile* Base, LONG Bit) {
    return (BOOLEAN)((__atomic_fetch_and(Base + (Bit >> 5), (LONG)~(1u << (Bit & 31)), HK_SEQ) >> (Bit & 31)) & 1);
}
// Plain reads and writes of shared variables that must not be torn or cached in registers.
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteRelease(LONG volatile* Destination, LONG Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELEASE); }
FORCEINLINE VOID WriteNoFence(LONG volatile* Destination, LONG Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELAXED); }
FORCEINLINE LONG64 ReadNoFence64(LONG64 const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
FORCEINLINE LONG64 ReadAcquire64(LONG64 const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteRelease64(LONG64 volatile* Destination, LONG64 Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELEASE); }
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WritePointerRelease(PVOID volatile* Destination, PVOID Value) { __atomic_store_n(Destination, Value, __ATOMIC_RELEASE); }
FORCEINLINE VOID KeMemoryBarrier(VOID) { __atomic_thread_fence(HK_SEQ); }
#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#define YieldProcessor() __builtin_ia32_pause()

// Singly linked interlocked lists. The host keeps them behind a small lock table rather than a
// 128-bit compare-exchange; the semantics (LIFO, depth, flush) are those of the WDK.
VOID NTAPI InitializeSListHead(PSLIST_HEADER SListHead);
PSLIST_ENTRY NTAPI InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
PSLIST_ENTRY NTAPI InterlockedPopEntrySList(PSLIST_HEADER ListHead);
PSLIST_ENTRY NTAPI InterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT NTAPI QueryDepthSList(PSLIST_HEADER SListHead);
PSLIST_ENTRY NTAPI RtlFirstEntrySList(const SLIST_HEADER* ListHead);
#define ExInterlockedPushEntrySList(Head, Entry, Lock) InterlockedPushEntrySList(Head, Entry)
#define ExInterlockedPopEntrySList(Head, Lock) InterlockedPopEntrySList(Head)
#define ExInterlockedFlushSList(Head) InterlockedFlushSList(Head)
#define ExQueryDepthSList(Head) QueryDepthSList(Head)
#define ExInitializeSListHead(Head) InitializeSListHead(Head)

HK_END_DECLS
