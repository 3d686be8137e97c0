// The driver-wide parameter set: what the registry's Parameters key and the network boot
// loader's boot-information block say about the disk server, the image and the management API.
//
// Filled at driver entry (ReadRegistryParameters, then ReadBootInfo, whose values win), changed
// afterwards only by the auto-activation thread. One static instance, no lock: see the header
// comment of ZvParameters.cpp.
#pragma once

#include "../platform.h"
#include "ZelkoNaming.h"

// Text buffers, in WCHARs including the terminator.
#define ZV_ADDRESS_CHARS 64
#define ZV_IQN_CHARS 256
#define ZV_CLIENT_ID_CHARS 64
#define ZV_TOKEN_CHARS 64

#define ZV_DEFAULT_SERVER_PORT 9501
#define ZV_DEFAULT_API_SERVER_PORT 9500

// What LUN 0 falls back to when the parameter set leaves a text empty.
#define ZV_DEFAULT_SERVER_IP L"127.0.0.1"
#define ZV_DEFAULT_TARGET_IQN ZELKO_DEFAULT_IQN_W
#define ZV_DEFAULT_CLIENT_ID L"zelko-client"

// The boot-information block the network boot loader leaves at physical address 0x80000.
// Integers are little-endian; addresses are in network order (first octet first).
#define ZV_BOOT_INFO_ADDRESS 0x80000ull
#define ZV_BOOT_INFO_MAGIC 0x5452424Bu   // the bytes "KBRT"
#define ZV_BOOT_INFO_VERSION 1
#define ZV_BOOT_INFO_FLAG_VALID 0x0001

typedef struct _ZV_BOOT_INFO {
    ULONG magic;
    USHORT version;
    USHORT flags;
    UCHAR serverIp[4];
    UCHAR clientIp[4];
    UCHAR subnetMask[4];
    UCHAR gateway[4];
    UCHAR dnsPrimary[4];
    UCHAR dnsSecondary[4];
    UCHAR mac[6];
    USHORT reserved1;
    USHORT apiPort;
    USHORT serverPort;
    UCHAR reserved2[20];
} ZV_BOOT_INFO, *PZV_BOOT_INFO;

static_assert(sizeof(ZV_BOOT_INFO) == 64, "boot-information block is 64 bytes");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, serverIp) == 0x08, "serverIp");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, clientIp) == 0x0C, "clientIp");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, subnetMask) == 0x10, "subnetMask");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, gateway) == 0x14, "gateway");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, dnsPrimary) == 0x18, "dnsPrimary");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, dnsSecondary) == 0x1C, "dnsSecondary");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, mac) == 0x20, "mac");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, apiPort) == 0x28, "apiPort");
static_assert(FIELD_OFFSET(ZV_BOOT_INFO, serverPort) == 0x2A, "serverPort");

typedef struct _ZV_PARAMETERS {
    BOOLEAN AutoActivate;
    BOOLEAN AutoActivateViaApi;
    WCHAR ServerIp[ZV_ADDRESS_CHARS];
    USHORT ServerPort;
    WCHAR TargetIqn[ZV_IQN_CHARS];
    WCHAR ClientId[ZV_CLIENT_ID_CHARS];
    WCHAR ApiServerIp[ZV_ADDRESS_CHARS];
    USHORT ApiServerPort;
    BOOLEAN SuperUser;
    WCHAR SuperUserToken[ZV_TOKEN_CHARS];
    BOOLEAN BootInfoValid;
    ZV_BOOT_INFO BootInfo;
} ZV_PARAMETERS, *PZV_PARAMETERS;

extern ZV_PARAMETERS g_Parameters;

// Puts every field back to its initial value (false, empty, ports 9501 and 9500, zero block).
VOID InitializeDriverParameters(VOID);

// Reads "<RegistryPath>\Parameters". Returns the status of opening the key (the values read
// or not read are reported in the log, never as a failure); driver entry goes on either way.
NTSTATUS ReadRegistryParameters(PCUNICODE_STRING RegistryPath);

// Reads and validates the boot-information block; on success it replaces ServerIp and
// ApiServerIp (and the ports it names). Returns STATUS_NOT_FOUND, STATUS_REVISION_MISMATCH or
// STATUS_INVALID_PARAMETER with nothing changed when there is no valid block.
NTSTATUS ReadBootInfo(VOID);
