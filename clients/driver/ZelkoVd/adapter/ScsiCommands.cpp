// ExecuteScsi and every command answered at once from memory: identity (INQUIRY and its VPD
// pages), capacity, mode pages, REPORT LUNS, sense. One function per command, one per VPD page.
// Nothing is ever written beyond the request's data transfer length.
#include "ScsiCdb.h"

static const CHAR kVendor[8] = {'Z', 'e', 'l', 'k', 'o', 'V', 'd', ' '};
static const CHAR kProduct[16] = {'V', 'i', 'r', 't', 'u', 'a', 'l', ' ', 'D', 'i', 's', 'k', ' ', ' ', ' ', ' '};
static const CHAR kRevision[4] = {'3', '.', '0', ' '};

static BOOLEAN Done(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, ULONG length) {
    ZvCompleteSrb(a, srb, SRB_STATUS_SUCCESS, SCSISTAT_GOOD, length);
    return TRUE;
}

static BOOLEAN Status(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, UCHAR srbStatus) {
    ZvCompleteSrb(a, srb, srbStatus, SCSISTAT_GOOD, 0);
    return TRUE;
}

static BOOLEAN Check(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, UCHAR srbStatus, UCHAR key, UCHAR asc, UCHAR ascq) {
    ZvCompleteCheckCondition(a, srb, srbStatus, key, asc, ascq);
    return TRUE;
}

static BOOLEAN NotReady(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    return Check(a, srb, SRB_STATUS_ERROR, ZV_SENSE_NOT_READY, ZV_ASC_LUN_NOT_READY, 0x01);
}

static BOOLEAN InvalidOpcode(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    return Check(a, srb, SRB_STATUS_INVALID_REQUEST, ZV_SENSE_ILLEGAL_REQUEST, ZV_ASC_INVALID_OPCODE, 0x00);
}

// Copies an answer built in full into the request, cut at n bytes.
static BOOLEAN Answer(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, const UCHAR* data, ULONG n) {
    RtlCopyMemory(srb->DataBuffer, data, n);
    return Done(a, srb, n);
}

// ---------------------------------------------------------------------------------------------
// INQUIRY

VOID ScsiInquiryNoDevice(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb) {
    ULONG alloc = ZvGetBe16(&Srb->Cdb[3]);
    if (alloc == 0) alloc = 255;
    ULONG n = 0;
    if (Srb->DataBuffer != NULL) {
        n = ZvMin(ZvMin(alloc, Srb->DataTransferLength), 5);
        UCHAR answer[5] = {0x3F, 0, 0, 0, 0};   // qualifier 1: no device here; type 0x1F
        RtlCopyMemory(Srb->DataBuffer, answer, n);
    }
    ZvCompleteSrb(Adapter, Srb, SRB_STATUS_SUCCESS, SCSISTAT_GOOD, n);
}

static BOOLEAN InquiryStandard(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, ULONG len) {
    UCHAR d[59] = {0};
    d[0] = 0x00;   // direct-access block device
    d[2] = 0x05;   // SPC-3
    d[3] = 0x02;   // response data format
    d[4] = 0x1F;   // 36 bytes of standard data
    d[7] = 0x02;   // CMDQUE
    RtlCopyMemory(d + 8, kVendor, 8);
    RtlCopyMemory(d + 16, kProduct, 16);
    RtlCopyMemory(d + 32, kRevision, 4);
    return Answer(a, srb, d, ZvMin(len, sizeof d));
}

static BOOLEAN VpdSupportedPages(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, ULONG len) {
    static const UCHAR d[9] = {0x00, 0x00, 0x00, 0x05, 0x00, 0x80, 0x83, 0xB0, 0xB1};
    return Answer(a, srb, d, ZvMin(len, sizeof d));
}

static BOOLEAN VpdSerialNumber(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu, ULONG len) {
    UCHAR d[12] = {0x00, 0x80, 0x00, 0x08};
    LunSerial(lu, (CHAR*)d + 4);
    return Answer(a, srb, d, ZvMin(len, sizeof d));
}

static BOOLEAN VpdDeviceIdentification(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu, ULONG len) {
    UCHAR d[48] = {0x00, 0x83, 0x00, 0x2C,
                   0x02, 0x03, 0x00, 0x28};   // ASCII, association 0, designator type 3, 40 bytes
    // Each text goes in only when the whole field fits.
    if (len >= 16) RtlCopyMemory(d + 8, kVendor, 8);
    if (len >= 32) RtlCopyMemory(d + 16, kProduct, 16);
    if (len >= 40) LunSerial(lu, (CHAR*)d + 32);
    return Answer(a, srb, d, ZvMin(len, sizeof d));
}

static BOOLEAN VpdBlockLimits(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, ULONG len) {
    UCHAR d[64] = {0x00, 0xB0, 0x00, 0x3C};
    if (len >= 12) {
        ZvPutBe16(d + 6, 0x0100);       // optimal transfer length granularity: 256 blocks
        ZvPutBe32(d + 8, 0x00008000);   // maximum transfer length: 32768 blocks
    }
    return Answer(a, srb, d, ZvMin(len, sizeof d));
}

static BOOLEAN VpdBlockCharacteristics(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, ULONG len) {
    static const UCHAR d[8] = {0x00, 0xB1, 0x00, 0x04};
    return Answer(a, srb, d, ZvMin(len, sizeof d));
}

static BOOLEAN ScsiInquiry(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu) {
    const UCHAR* cdb = srb->Cdb;
    ULONG alloc = ZvGetBe16(cdb + 3);
    if (alloc == 0) alloc = 255;
    if (srb->DataBuffer == NULL) return Status(a, srb, SRB_STATUS_INVALID_REQUEST);
    ULONG len = ZvMin(srb->DataTransferLength, alloc);

    if (lu == NULL) {
        ULONG n = ZvMin(len, 5);
        UCHAR answer[5] = {0x3F, 0, 0, 0, 0};
        return Answer(a, srb, answer, n);
    }
    if (cdb[1] & 0x02)   // CMDDT
        return Check(a, srb, SRB_STATUS_ERROR, ZV_SENSE_ILLEGAL_REQUEST, ZV_ASC_INVALID_FIELD_IN_CDB, 0x00);
    if (!(cdb[1] & 0x01)) return InquiryStandard(a, srb, len);

    RtlZeroMemory(srb->DataBuffer, len);
    switch (cdb[2]) {
    case 0x00: return VpdSupportedPages(a, srb, len);
    case 0x80: return VpdSerialNumber(a, srb, lu, len);
    case 0x83: return VpdDeviceIdentification(a, srb, lu, len);
    case 0xB0: return VpdBlockLimits(a, srb, len);
    case 0xB1: return VpdBlockCharacteristics(a, srb, len);
    default:
        return Check(a, srb, SRB_STATUS_ERROR, ZV_SENSE_ILLEGAL_REQUEST, ZV_ASC_INVALID_FIELD_IN_CDB, 0x01);
    }
}

// ---------------------------------------------------------------------------------------------
// Capacity

static ULONGLONG LastLba(LuExt* lu) {
    ULONGLONG blocks = LuTargetSize(lu) / ZV_SECTOR_SIZE;
    return blocks == 0 ? 0 : blocks - 1;
}

static BOOLEAN ScsiReadCapacity10(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu) {
    if (srb->DataTransferLength < 8) return Status(a, srb, SRB_STATUS_DATA_OVERRUN);
    if (srb->DataBuffer == NULL) return Status(a, srb, SRB_STATUS_INVALID_REQUEST);
    PUCHAR d = (PUCHAR)srb->DataBuffer;
    RtlZeroMemory(d, 8);
    if (LuTargetSize(lu) == 0) return NotReady(a, srb);
    ULONGLONG last = LastLba(lu);
    ZvPutBe32(d, last > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)last);
    ZvPutBe32(d + 4, ZV_SECTOR_SIZE);
    return Done(a, srb, 8);
}

static BOOLEAN ScsiReadCapacity16(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu) {
    if (srb->DataTransferLength < 32) return Status(a, srb, SRB_STATUS_DATA_OVERRUN);
    if (srb->DataBuffer == NULL) return Status(a, srb, SRB_STATUS_INVALID_REQUEST);
    PUCHAR d = (PUCHAR)srb->DataBuffer;
    RtlZeroMemory(d, 32);
    if (LuTargetSize(lu) == 0) return NotReady(a, srb);
    ZvPutBe64(d, LastLba(lu));
    ZvPutBe32(d + 8, ZV_SECTOR_SIZE);
    return Done(a, srb, 32);
}

// ---------------------------------------------------------------------------------------------
// MODE SENSE(6) and (10)

static BOOLEAN ScsiModeSense(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu, BOOLEAN ten) {
    const UCHAR* cdb = srb->Cdb;
    BOOLEAN dbd = (cdb[1] & 0x08) != 0;
    ULONG descLen = dbd ? 0 : 8;
    ULONG alloc = ten ? ZvGetBe16(cdb + 7) : cdb[4];
    if (alloc == 0) alloc = 255;
    ULONG header = ten ? 8 : 4;
    UCHAR page = cdb[2] & 0x3F;
    BOOLEAN caching = page == 0x3F || page == 0x08;
    BOOLEAN exceptions = page == 0x3F || page == 0x1C;
    ULONG total = header + descLen + (caching ? 20 : 0) + (exceptions ? 12 : 0);
    ULONG n = ZvMin(ZvMin(total, alloc), srb->DataTransferLength);
    if (srb->DataBuffer == NULL) return Status(a, srb, SRB_STATUS_INVALID_REQUEST);

    UCHAR d[8 + 8 + 20 + 12] = {0};
    UCHAR deviceSpecific = LuWriteProtected(lu) ? 0x80 : 0x00;   // WP
    if (ten) {
        ZvPutBe16(d, (USHORT)(n >= 2 ? n - 2 : 0));
        d[3] = deviceSpecific;
        ZvPutBe16(d + 6, (USHORT)descLen);
    } else {
        d[0] = (UCHAR)(n >= 1 ? n - 1 : 0);
        d[2] = deviceSpecific;
        d[3] = (UCHAR)descLen;
    }
    ULONG pos = header;
    if (descLen != 0 && pos + 8 <= n) {
        ULONGLONG blocks = LuTargetSize(lu) / ZV_SECTOR_SIZE;
        ULONG count = blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : (ULONG)blocks;
        d[pos + 1] = (UCHAR)(count >> 16);
        d[pos + 2] = (UCHAR)(count >> 8);
        d[pos + 3] = (UCHAR)count;
        d[pos + 5] = (UCHAR)(ZV_SECTOR_SIZE >> 16);
        d[pos + 6] = (UCHAR)(ZV_SECTOR_SIZE >> 8);
        d[pos + 7] = (UCHAR)ZV_SECTOR_SIZE;
        pos += 8;
    }
    if (caching && pos + 20 <= n) {
        d[pos] = 0x08;
        d[pos + 1] = 0x12;
        d[pos + 2] = (!lu->fileBacked && lu->writeCacheEnabled) ? 0x04 : 0x00;   // WCE
        pos += 20;
    }
    if (exceptions && pos + 12 <= n) {
        d[pos] = 0x1C;
        d[pos + 1] = 0x0A;
        d[pos + 2] = 0x08;   // DEXCPT
        pos += 12;
    }
    return Answer(a, srb, d, n);
}

// ---------------------------------------------------------------------------------------------
// REPORT LUNS, REQUEST SENSE, TEST UNIT READY, service actions

BOOLEAN ScsiReportLuns(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb) {
    if (Srb->DataBuffer == NULL) return Status(Adapter, Srb, SRB_STATUS_INVALID_REQUEST);
    ULONG alloc = ZvGetBe32(&Srb->Cdb[6]);
    if (alloc == 0 || alloc > Srb->DataTransferLength) alloc = Srb->DataTransferLength;
    PUCHAR d = (PUCHAR)Srb->DataBuffer;

    UCHAR luns[ZV_MAX_LUNS];
    ULONG count = 0;
    KIRQL irql;
    KeAcquireSpinLock(&Adapter->lunTableLock, &irql);
    for (ULONG i = 0; i < ZV_MAX_LUNS; i++)
        if (Adapter->lunTable[i].present) luns[count++] = (UCHAR)i;
    KeReleaseSpinLock(&Adapter->lunTableLock, irql);

    if (alloc < 8) {
        RtlZeroMemory(d, Srb->DataTransferLength);
        return Status(Adapter, Srb, SRB_STATUS_DATA_OVERRUN);
    }
    ULONG n = ZvMin(8 + 8 * count, alloc);
    RtlZeroMemory(d, n);
    ZvPutBe32(d, 8 * count);
    for (ULONG i = 0; i < count && 8 + 8 * (i + 1) <= n; i++) d[8 + 8 * i + 1] = luns[i];
    return Done(Adapter, Srb, n);
}

static BOOLEAN ScsiRequestSense(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    ULONG n = ZvMin(srb->DataTransferLength, ZV_SENSE_LENGTH);
    if (srb->DataBuffer == NULL) return Status(a, srb, SRB_STATUS_INVALID_REQUEST);
    UCHAR d[ZV_SENSE_LENGTH] = {0x70};
    d[7] = 0x0A;   // no sense, and no sense history kept
    return Answer(a, srb, d, n);
}

static BOOLEAN ScsiTestUnitReady(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu) {
    if (lu->fileBacked || LuHandshakeDone(lu)) return Done(a, srb, 0);
    return NotReady(a, srb);
}

static BOOLEAN ScsiServiceActionIn(AdapterExt* a, PSCSI_REQUEST_BLOCK srb, LuExt* lu) {
    if ((srb->Cdb[1] & 0x1F) == SERVICE_ACTION_READ_CAPACITY16) return ScsiReadCapacity16(a, srb, lu);
    return InvalidOpcode(a, srb);
}

static BOOLEAN ScsiServiceActionOut(AdapterExt* a, PSCSI_REQUEST_BLOCK srb) {
    if ((srb->Cdb[1] & 0x1F) == 0x02) return Done(a, srb, 0);
    return InvalidOpcode(a, srb);
}

// ---------------------------------------------------------------------------------------------

BOOLEAN ExecuteScsi(AdapterExt* Adapter, PSCSI_REQUEST_BLOCK Srb, LuExt* Lu) {
    InterlockedIncrement(&Adapter->diag.executeScsiCalls);
    UCHAR op = Srb->Cdb[0];
    // Only INQUIRY and REPORT LUNS reach here without a LUN (HwStorStartIo sees to that).
    if (Lu == NULL) {
        if (op == SCSIOP_INQUIRY) return ScsiInquiry(Adapter, Srb, NULL);
        return ScsiReportLuns(Adapter, Srb);
    }
    switch (op) {
    case SCSIOP_TEST_UNIT_READY: return ScsiTestUnitReady(Adapter, Srb, Lu);
    case SCSIOP_REQUEST_SENSE: return ScsiRequestSense(Adapter, Srb);
    case SCSIOP_FORMAT_UNIT:
        ZvLogPlain("[SCSI] FORMAT_UNIT (0x04) no-op SUCCESS\n");
        return Done(Adapter, Srb, 0);
    case SCSIOP_READ6:
    case SCSIOP_READ:
    case SCSIOP_READ12:
    case SCSIOP_READ16:
        return ScsiRead(Adapter, Srb, Lu);
    case SCSIOP_WRITE6:
    case SCSIOP_WRITE:
    case SCSIOP_WRITE12:
    case SCSIOP_WRITE16:
        return ScsiWrite(Adapter, Srb, Lu);
    case SCSIOP_INQUIRY: return ScsiInquiry(Adapter, Srb, Lu);
    case SCSIOP_MODE_SENSE: return ScsiModeSense(Adapter, Srb, Lu, FALSE);
    case SCSIOP_MODE_SENSE10: return ScsiModeSense(Adapter, Srb, Lu, TRUE);
    case SCSIOP_START_STOP_UNIT:
    case SCSIOP_MEDIUM_REMOVAL:
    case SCSIOP_VERIFY:
    case SCSIOP_UNMAP:
        return Done(Adapter, Srb, 0);
    case SCSIOP_READ_CAPACITY: return ScsiReadCapacity10(Adapter, Srb, Lu);
    case SCSIOP_WRITE_SAME:
    case SCSIOP_WRITE_SAME16:
        return ScsiWriteSame(Adapter, Srb, Lu);
    case SCSIOP_READ_TOC: return InvalidOpcode(Adapter, Srb);
    case SCSIOP_SYNCHRONIZE_CACHE16: return ScsiSynchronizeCache(Adapter, Srb, Lu);
    case SCSIOP_SERVICE_ACTION_IN16: return ScsiServiceActionIn(Adapter, Srb, Lu);
    case SCSIOP_SERVICE_ACTION_OUT16: return ScsiServiceActionOut(Adapter, Srb);
    case SCSIOP_REPORT_LUNS: return ScsiReportLuns(Adapter, Srb);
    default:
        ZvLogPlain("[SCSI] 未处理 opcode=0x%02X CdbLen=%u\n", (ULONG)op, (ULONG)Srb->CdbLength);
        return InvalidOpcode(Adapter, Srb);
    }
}
