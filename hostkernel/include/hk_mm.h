// Memory manager: mapping of physical memory. The host kernel emulates the low 1 MiB of
// physical memory (where the network boot loader leaves its boot-information block at
// 0x80000) as a buffer that tests fill; MmMapIoSpace returns a pointer into it.
#pragma once

#include "hk_base.h"

HK_BEGIN_DECLS

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

#define PAGE_NOACCESS          0x01
#define PAGE_READONLY          0x02
#define PAGE_READWRITE         0x04
#define PAGE_NOCACHE           0x200

PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
PVOID NTAPI MmMapIoSpaceEx(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, ULONG Protect);
VOID NTAPI MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);
BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);

// The start of the system address range. Every pool block lies at or above it, so driver code
// that accepts only kernel pointers compares against MM_SYSTEM_RANGE_START (never against the
// Windows value 0xFFFF8000'00000000 as a literal): in the host kernel it is the lowest address
// Linux ever maps (64 KiB), which the pool checks for every block it hands out.
extern PVOID MmSystemRangeStart;
#define MM_SYSTEM_RANGE_START MmSystemRangeStart

// Resolves the name of a routine the host kernel exports (the ones a driver may look up at run
// time, e.g. "KeGetPreviousMode", "ExGetPreviousMode", "PsGetCurrentProcessId"); NULL otherwise.
PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

HK_END_DECLS
