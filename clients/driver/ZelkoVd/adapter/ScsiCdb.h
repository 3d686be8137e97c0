// SCSI constants and the pure helpers of the command layer: CDB fields, big-endian numbers and
// the one sense builder. Names follow the WDK's scsi.h/srb.h; they are defined here when the
// port header in use does not carry them (mingw-w64's scsi.h cannot be included beside ntddk.h).
#pragma once

#include "AdapterInternal.h"

// Operation codes
#ifndef SCSIOP_TEST_UNIT_READY
#define SCSIOP_TEST_UNIT_READY     0x00
#define SCSIOP_REQUEST_SENSE       0x03
#define SCSIOP_FORMAT_UNIT         0x04
#define SCSIOP_READ6               0x08
#define SCSIOP_WRITE6              0x0A
#define SCSIOP_INQUIRY             0x12
#define SCSIOP_MODE_SENSE          0x1A
#define SCSIOP_START_STOP_UNIT     0x1B
#define SCSIOP_MEDIUM_REMOVAL      0x1E
#define SCSIOP_READ_CAPACITY       0x25
#define SCSIOP_READ                0x28
#define SCSIOP_WRITE               0x2A
#define SCSIOP_VERIFY              0x2F
#define SCSIOP_SYNCHRONIZE_CACHE   0x35
#define SCSIOP_WRITE_SAME          0x41
#define SCSIOP_UNMAP               0x42
#define SCSIOP_READ_TOC            0x43
#define SCSIOP_MODE_SENSE10        0x5A
#define SCSIOP_READ16              0x88
#define SCSIOP_WRITE16             0x8A
#define SCSIOP_SYNCHRONIZE_CACHE16 0x91
#define SCSIOP_WRITE_SAME16        0x93
#define SCSIOP_SERVICE_ACTION_IN16 0x9E
#define SCSIOP_SERVICE_ACTION_OUT16 0x9F
#define SCSIOP_REPORT_LUNS         0xA0
#define SCSIOP_READ12              0xA8
#define SCSIOP_WRITE12             0xAA
#endif
#ifndef SERVICE_ACTION_READ_CAPACITY16
#define SERVICE_ACTION_READ_CAPACITY16 0x10
#endif

// Sense keys and additional sense codes used by the adapter.
#define ZV_SENSE_NO_SENSE        0x00
#define ZV_SENSE_NOT_READY       0x02
#define ZV_SENSE_MEDIUM_ERROR    0x03
#define ZV_SENSE_HARDWARE_ERROR  0x04
#define ZV_SENSE_ILLEGAL_REQUEST 0x05
#define ZV_SENSE_DATA_PROTECT    0x07

#define ZV_ASC_LUN_NOT_READY         0x04   // ASCQ 0x01: becoming ready
#define ZV_ASC_WRITE_ERROR           0x03   // peripheral device write fault
#define ZV_ASC_WRITE_ERROR_FLUSH     0x0C   // write error (a failed cache flush)
#define ZV_ASC_UNRECOVERED_READ      0x11
#define ZV_ASC_INVALID_OPCODE        0x20
#define ZV_ASC_LBA_OUT_OF_RANGE      0x21
#define ZV_ASC_INVALID_FIELD_IN_CDB  0x24
#define ZV_ASC_WRITE_PROTECTED       0x27
#define ZV_ASC_INTERNAL_TARGET_FAIL  0x44
#define ZV_ASC_INTERNAL_FAILURE      0x40

// SRB statuses and functions
#ifndef SRB_STATUS_SUCCESS
#define SRB_STATUS_PENDING              0x00
#define SRB_STATUS_SUCCESS              0x01
#define SRB_STATUS_ERROR                0x04
#define SRB_STATUS_BUSY                 0x05
#define SRB_STATUS_INVALID_REQUEST      0x06
#define SRB_STATUS_DATA_OVERRUN         0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE  0x13
#define SRB_STATUS_INVALID_LUN          0x20
#endif
#ifndef SRB_FUNCTION_EXECUTE_SCSI
#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_IO_CONTROL   0x02
#define SRB_FUNCTION_SHUTDOWN     0x07
#define SRB_FUNCTION_FLUSH        0x08
#endif
#ifndef SCSISTAT_GOOD
#define SCSISTAT_GOOD             0x00
#define SCSISTAT_CHECK_CONDITION  0x02
#define SCSISTAT_BUSY             0x08
#endif

#define ZV_SENSE_LENGTH 18

FORCEINLINE USHORT ZvGetBe16(const UCHAR* p) { return (USHORT)((p[0] << 8) | p[1]); }
FORCEINLINE ULONG ZvGetBe32(const UCHAR* p) {
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | (ULONG)p[3];
}
FORCEINLINE ULONGLONG ZvGetBe64(const UCHAR* p) {
    return ((ULONGLONG)ZvGetBe32(p) << 32) | (ULONGLONG)ZvGetBe32(p + 4);
}
FORCEINLINE VOID ZvPutBe16(UCHAR* p, USHORT v) {
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}
FORCEINLINE VOID ZvPutBe32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}
FORCEINLINE VOID ZvPutBe64(UCHAR* p, ULONGLONG v) {
    ZvPutBe32(p, (ULONG)(v >> 32));
    ZvPutBe32(p + 4, (ULONG)v);
}

// LBA and block count of a READ/WRITE CDB, chosen by the CDB length (6, 10, 12, 16; any other
// length gives 0). A 6-byte block count of 0 means 256.
ULONGLONG CdbGetLba(const UCHAR* Cdb, ULONG CdbLength);
ULONG CdbGetBlockCount(const UCHAR* Cdb, ULONG CdbLength);
// Force unit access: byte 1 bit 3 for 10-, 12- and 16-byte CDBs, never for 6-byte ones.
BOOLEAN CdbGetForceUnitAccess(const UCHAR* Cdb, ULONG CdbLength);

// Fixed-format sense (18 bytes), written only when the request carries a sense buffer of at
// least 18 bytes.
VOID SetSense(PSCSI_REQUEST_BLOCK Srb, UCHAR SenseKey, UCHAR Asc, UCHAR Ascq);

FORCEINLINE ULONG ZvMin(ULONG a, ULONG b) { return a < b ? a : b; }
