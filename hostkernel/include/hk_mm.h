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

HK_END_DECLS
