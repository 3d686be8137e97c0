// Pure helpers of the SCSI layer: CDB decoding and the sense builder.
#include "ScsiCdb.h"

ULONGLONG CdbGetLba(const UCHAR* Cdb, ULONG CdbLength) {
    switch (CdbLength) {
    case 6:
        // All eight bits of byte 1 are taken: the LUN bits of SCSI-2 are long gone.
        return ((ULONGLONG)Cdb[1] << 16) | ((ULONGLONG)Cdb[2] << 8) | Cdb[3];
    case 10:
    case 12:
        return ZvGetBe32(Cdb + 2);
    case 16:
        return ZvGetBe64(Cdb + 2);
    default:
        return 0;
    }
}

ULONG CdbGetBlockCount(const UCHAR* Cdb, ULONG CdbLength) {
    switch (CdbLength) {
    case 6:
        return Cdb[4] == 0 ? 256u : Cdb[4];
    case 10:
        return ZvGetBe16(Cdb + 7);
    case 12:
        return ZvGetBe32(Cdb + 6);
    case 16:
        return ZvGetBe32(Cdb + 10);
    default:
        return 0;
    }
}

BOOLEAN CdbGetForceUnitAccess(const UCHAR* Cdb, ULONG CdbLength) {
    if (CdbLength != 10 && CdbLength != 12 && CdbLength != 16) return FALSE;
    return (Cdb[1] & 0x08) != 0;
}

VOID SetSense(PSCSI_REQUEST_BLOCK Srb, UCHAR SenseKey, UCHAR Asc, UCHAR Ascq) {
    if (Srb->SenseInfoBuffer == NULL || Srb->SenseInfoBufferLength < ZV_SENSE_LENGTH) return;
    PUCHAR s = (PUCHAR)Srb->SenseInfoBuffer;
    RtlZeroMemory(s, ZV_SENSE_LENGTH);
    s[0] = 0x70;            // current error, fixed format
    s[2] = SenseKey;
    s[7] = 0x0A;            // additional sense length
    s[12] = Asc;
    s[13] = Ascq;
}
