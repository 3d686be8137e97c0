// IoCreateDeviceSecure for the mingw-w64 build. With the WDK it comes from the static library
// wdmsec.lib, which mingw-w64 does not ship; this is the same routine built from what
// ntoskrnl.exe exports: create the device, then give it a security descriptor with a protected
// DACL made from the SDDL text, through a kernel handle to the new device object.
//
// SDDL supported: "D:P" followed by allow ACEs "(A;;<rights>;;;<trustee>)", rights a sequence of
// GA, GR, GW, GX, trustees SY (LocalSystem), BA (Administrators), WD (Everyone), RC (Restricted
// Code) — the forms of the SDDL_DEVOBJ_* strings. Anything else is refused with
// STATUS_INVALID_PARAMETER before a device is created. Windows build only.
#include <ntddk.h>
#include <wdmsec.h>

extern "C" {
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, PACCESS_STATE PassedAccessState,
                                              ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PHANDLE Handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);
}

#define ZV_TAG_SDDL 0x6453765Au   // "ZvSd"
#define ZV_MAX_ACES 8

namespace {

// SIDs in their binary form: revision, sub-authority count, authority (6 bytes, big-endian),
// sub-authorities (little-endian ULONGs).
struct BinarySid {
    UCHAR revision;
    UCHAR count;
    UCHAR authority[6];
    ULONG sub[2];
};
const BinarySid kLocalSystem = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
const BinarySid kAdministrators = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};
const BinarySid kEveryone = {1, 1, {0, 0, 0, 0, 0, 1}, {0, 0}};
const BinarySid kRestricted = {1, 1, {0, 0, 0, 0, 0, 5}, {12, 0}};

struct Ace {
    ACCESS_MASK mask;
    const BinarySid* sid;
};

BOOLEAN Match(PCWSTR& p, PCWSTR end, PCWSTR text) {
    PCWSTR q = p;
    for (; *text; text++, q++)
        if (q >= end || *q != *text) return FALSE;
    p = q;
    return TRUE;
}

// Parses the supported SDDL subset into at most ZV_MAX_ACES ACEs.
NTSTATUS ParseSddl(PCUNICODE_STRING sddl, Ace* aces, ULONG* count) {
    if (sddl == NULL || sddl->Buffer == NULL) return STATUS_INVALID_PARAMETER;
    PCWSTR p = sddl->Buffer;
    PCWSTR end = p + sddl->Length / sizeof(WCHAR);
    if (!Match(p, end, L"D:P")) return STATUS_INVALID_PARAMETER;
    *count = 0;
    while (p < end) {
        if (*count == ZV_MAX_ACES || !Match(p, end, L"(A;;")) return STATUS_INVALID_PARAMETER;
        ACCESS_MASK mask = 0;
        for (;;) {
            if (Match(p, end, L"GA")) mask |= GENERIC_ALL;
            else if (Match(p, end, L"GR")) mask |= GENERIC_READ;
            else if (Match(p, end, L"GW")) mask |= GENERIC_WRITE;
            else if (Match(p, end, L"GX")) mask |= GENERIC_EXECUTE;
            else break;
        }
        if (mask == 0 || !Match(p, end, L";;;")) return STATUS_INVALID_PARAMETER;
        const BinarySid* sid;
        if (Match(p, end, L"SY")) sid = &kLocalSystem;
        else if (Match(p, end, L"BA")) sid = &kAdministrators;
        else if (Match(p, end, L"WD")) sid = &kEveryone;
        else if (Match(p, end, L"RC")) sid = &kRestricted;
        else return STATUS_INVALID_PARAMETER;
        if (!Match(p, end, L")")) return STATUS_INVALID_PARAMETER;
        aces[*count].mask = mask;
        aces[*count].sid = sid;
        (*count)++;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ApplyDacl(PDEVICE_OBJECT device, const Ace* aces, ULONG count) {
    ULONG aclLength = sizeof(ACL);
    for (ULONG i = 0; i < count; i++)
        aclLength += 8 + RtlLengthSid((PSID)aces[i].sid);   // ACE header, mask, SID
    PACL acl = (PACL)ExAllocatePoolWithTag(NonPagedPoolNx, aclLength, ZV_TAG_SDDL);
    if (acl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS st = RtlCreateAcl(acl, aclLength, ACL_REVISION);
    for (ULONG i = 0; NT_SUCCESS(st) && i < count; i++)
        st = RtlAddAccessAllowedAce(acl, ACL_REVISION, aces[i].mask, (PSID)aces[i].sid);

    // An absolute security descriptor (40 bytes on x64; the WDK's SECURITY_DESCRIPTOR lives in
    // ntifs.h, which cannot be included beside ntddk.h with mingw-w64).
    ULONGLONG sd[8] = {0};
    if (NT_SUCCESS(st)) st = RtlCreateSecurityDescriptor((PSECURITY_DESCRIPTOR)sd, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(st)) st = RtlSetDaclSecurityDescriptor((PSECURITY_DESCRIPTOR)sd, TRUE, acl, FALSE);
    if (NT_SUCCESS(st)) {
        HANDLE handle = NULL;
        st = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
        if (NT_SUCCESS(st)) {
            // "P": the DACL does not inherit from the object directory.
            st = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                     (PSECURITY_DESCRIPTOR)sd);
            ZwClose(handle);
        }
    }
    ExFreePoolWithTag(acl, ZV_TAG_SDDL);
    return st;
}

}  // namespace

extern "C" NTSTATUS WdmlibIoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                               PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                               ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                               PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                               PDEVICE_OBJECT* DeviceObject) {
    UNREFERENCED_PARAMETER(DeviceClassGuid);
    *DeviceObject = NULL;
    Ace aces[ZV_MAX_ACES];
    ULONG count = 0;
    NTSTATUS st = ParseSddl(DefaultSDDLString, aces, &count);
    if (!NT_SUCCESS(st)) return st;
    PDEVICE_OBJECT device = NULL;
    st = IoCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics, Exclusive,
                        &device);
    if (!NT_SUCCESS(st)) return st;
    st = ApplyDacl(device, aces, count);
    if (!NT_SUCCESS(st)) {
        // A device nobody can protect must not exist at all.
        IoDeleteDevice(device);
        return st;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}
