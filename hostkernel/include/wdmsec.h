// IoCreateDeviceSecure, as the WDK's wdmsec.h declares it (a routine of the wdmsec library that
// drivers link statically; the macro maps the documented name onto it).
//
// The host kernel parses the SDDL string's DACL for the forms drivers use: "D:P" followed by
// (A;;rights;;;SID) and (D;;rights;;;SID) entries, rights GA/GR/GW/GX, FA/FR/FW/FX or 0x hex,
// SIDs SY (LocalSystem), BA (Administrators), BU (Users), AU (Authenticated Users),
// IU (Interactive), WD (Everyone). An open of the device is then checked against it for the
// caller identity the test or the host runner chose (hk_storport_test.h): a plain user's open of
// a device that grants only SY and BA fails with STATUS_ACCESS_DENIED. A string the parser does
// not understand fails the creation with STATUS_INVALID_PARAMETER.
#pragma once

#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS NTAPI WdmlibIoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                          PDEVICE_OBJECT* DeviceObject);
#undef IoCreateDeviceSecure
#define IoCreateDeviceSecure WdmlibIoCreateDeviceSecure

#define SDDL_DEVOBJ_KERNEL_ONLY              L"D:P"
#define SDDL_DEVOBJ_SYS_ALL                  L"D:P(A;;GA;;;SY)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_ALL          L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RX           L"D:P(A;;GA;;;SY)(A;;GRGX;;;BA)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_R  L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_RW L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_RWX_RES_RWX \
    L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGWGX;;;WD)(A;;GRGWGX;;;RC)"

#ifdef __cplusplus
}
#endif
