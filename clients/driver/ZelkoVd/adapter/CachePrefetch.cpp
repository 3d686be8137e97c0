// Boot prefetch: right after activation the boot area of the disk (MBR, the NTFS boot sector of
// the boot partition, the start of its $MFT and $MFTMirr) is read through the cache once, so
// the first thing Windows' boot path asks for is already local.
#include "CacheInternal.h"

#define PREFETCH_BUFFER 8192

static BOOLEAN IsBootPartitionType(UCHAR type) {
    switch (type) {
    case 0x06: case 0x07: case 0x0B: case 0x0C: case 0x0E: case 0x17: case 0x87:
        return TRUE;
    default:
        return FALSE;
    }
}

static ULONG GetLe32(const UCHAR* p) { return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24); }
static ULONGLONG GetLe64(const UCHAR* p) { return (ULONGLONG)GetLe32(p) | ((ULONGLONG)GetLe32(p + 4) << 32); }

static NTSTATUS ReadAt(LuExt* lu, ULONGLONG offset, ULONG length, PVOID buffer, PULONG got) {
    return CacheRead(lu, offset, length, buffer, got);
}

// The NTFS steps for the chosen partition; returns the last read status.
static NTSTATUS PrefetchNtfs(LuExt* lu, PUCHAR buf, ULONGLONG bootOffset) {
    ULONG got = 0;
    NTSTATUS st = ReadAt(lu, bootOffset, PREFETCH_BUFFER, buf, &got);
    if (!NT_SUCCESS(st) || got < PREFETCH_BUFFER) {
        ZvLogWarning("PrefetchBoot: 读 $Boot 失败 0x%08X offset=%lld\n", (ULONG)st, (LONGLONG)bootOffset);
        return st;
    }
    if (!(buf[3] == 'N' && buf[4] == 'T' && buf[5] == 'F' && buf[6] == 'S')) {
        ZvLogInfo("PrefetchBoot: 非 NTFS 分区 (OEM=%.8s)\n", (PCSTR)buf + 3);
        return st;
    }
    ULONG spc = buf[13];
    ULONGLONG mft = GetLe64(buf + 0x30);
    ULONGLONG mirr = GetLe64(buf + 0x38);
    ULONGLONG diskSectors = LuTargetSize(lu) / ZV_SECTOR_SIZE;
    if (spc == 0 || (spc & (spc - 1)) != 0 || mft == 0 || mft >= diskSectors) {
        ZvLogWarning("PrefetchBoot: NTFS BPB 参数异常 spc=%u mftClu=%llu diskSec=%llu\n", spc, mft, diskSectors);
        return st;
    }
    ULONGLONG mftOffset = bootOffset + (ULONGLONG)spc * mft * ZV_SECTOR_SIZE;
    st = ReadAt(lu, mftOffset, PREFETCH_BUFFER, buf, &got);
    ZvLogInfo("PrefetchBoot: 预读 $MFT offset=%lld status=0x%08X\n", (LONGLONG)mftOffset, (ULONG)st);
    if (mirr != 0 && mirr < diskSectors)
        st = ReadAt(lu, bootOffset + (ULONGLONG)spc * mirr * ZV_SECTOR_SIZE, 2048, buf, &got);
    return st;
}

NTSTATUS PrefetchBoot(LuExt* Lu) {
    if (Lu == NULL || !LuHandshakeDone(Lu)) return STATUS_DEVICE_NOT_READY;
    if (InterlockedExchange(&Lu->cache.prefetchStarted, 1) != 0) return (NTSTATUS)0xFF;

    PUCHAR buf = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, PREFETCH_BUFFER, ZV_TAG_PREFETCH);
    if (buf == NULL) {
        ZvLogWarning("PrefetchBoot: 临时缓冲分配失败\n");
        InterlockedExchange(&Lu->cache.prefetchDone, 1);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG got = 0;
    NTSTATUS st = ReadAt(Lu, 0, ZV_SECTOR_SIZE, buf, &got);
    BOOLEAN readStart = FALSE;
    if (!NT_SUCCESS(st) || got < ZV_SECTOR_SIZE) {
        ZvLogWarning("PrefetchBoot: 读 MBR 失败 0x%08X got=%zu\n", (ULONG)st, (SIZE_T)got);
        readStart = TRUE;
    } else if (buf[510] != 0x55 || buf[511] != 0xAA) {
        ZvLogWarning("PrefetchBoot: MBR 签名无效\n");
    } else {
        int chosen = -1;
        UCHAR type = 0;
        ULONG startLba = 0;
        for (int i = 0; i < 4 && chosen < 0; i++) {
            const UCHAR* e = buf + 446 + 16 * i;
            if (IsBootPartitionType(e[4]) && GetLe32(e + 8) != 0) {
                chosen = i;
                type = e[4];
                startLba = GetLe32(e + 8);
            }
        }
        if (chosen >= 0) {
            ZvLogInfo("PrefetchBoot: 分区 %d type=0x%02X 起始LBA=%u\n", chosen, (ULONG)type, startLba);
            st = PrefetchNtfs(Lu, buf, (ULONGLONG)startLba * ZV_SECTOR_SIZE);
        } else {
            ZvLogInfo("PrefetchBoot: 无 MBR 分区表，预读 LBA 0-15\n");
            readStart = TRUE;
        }
    }
    if (readStart) st = ReadAt(Lu, 0, PREFETCH_BUFFER, buf, &got);

    ExFreePoolWithTag(buf, ZV_TAG_PREFETCH);
    InterlockedExchange(&Lu->cache.prefetchDone, 1);
    ZvLogInfo("PrefetchBoot: 完成 status=0x%08X (MBR+$Boot+$MFT 已在缓存)\n", (ULONG)st);
    return st;
}
