// The I/O manager's side of device opens: symbolic links, device security (SDDL), file objects,
// and the request packets it builds for CreateFile, DeviceIoControl, ReadFile, WriteFile and
// CloseHandle of a user-mode caller. Also the previous mode and MmGetSystemRoutineAddress.
//
// Packets are built as Windows builds them (buffer methods, MDLs, stack-location parameters) and
// sent on the caller's thread at PASSIVE_LEVEL. What a dispatch routine must do with them is
// checked as Driver Verifier checks it: a routine that returns without completing the packet and
// without STATUS_PENDING, or returns a status other than the one it completed with, or reports
// more output bytes than the caller's buffer holds, is a fatal error.
#include "hk_internal.h"
#include "hostkernel_test.h"
#include "hk_storport_test.h"
#include <wdmsec.h>

#include <functional>
#include <map>
#include <vector>

using hk::Fatal;

PVOID MmSystemRangeStart = (PVOID)(ULONG_PTR)0x10000;

namespace hk {
namespace {

constexpr ULONG kFileTag = 0x6C694648;    // 'HFil'
constexpr ULONG kBufTag = 0x42494648;     // 'HFIB': system buffers

thread_local bool t_userRequest = false;

struct Ace {
    bool allow;
    ACCESS_MASK mask;
    std::string sid;
};

struct DeviceInfo {
    bool secure = false;        // created by IoCreateDeviceSecure: the DACL below applies
    std::vector<Ace> dacl;
    long opens = 0;
    bool deleted = false;       // IoDeleteDevice ran while files were open
};

struct Link {
    std::u16string name;        // as created
    std::u16string target;
};

struct IoState {
    std::mutex lock;
    std::map<PDEVICE_OBJECT, DeviceInfo> devices;
    std::map<std::u16string, Link> links;   // key: upper-cased "\??\X"
    long openFiles = 0;
};

IoState& S() {
    static auto* s = new IoState;
    return *s;
}

std::u16string Upper(const std::u16string& s) {
    std::u16string r = s;
    for (auto& c : r) c = Upcase(c);
    return r;
}

std::u16string FromUnicode(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return std::u16string();
    return std::u16string((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
}

bool StripPrefix(const std::u16string& s, const char16_t* prefix, std::u16string* rest) {
    std::u16string p(prefix);
    if (s.size() < p.size() || !EqualNoCase(s.substr(0, p.size()), p)) return false;
    *rest = s.substr(p.size());
    return true;
}

// "\DosDevices\X", "\??\X", "\GLOBAL??\X" -> "X"; false for other names.
bool DosName(const std::u16string& name, std::u16string* rest) {
    return StripPrefix(name, u"\\??\\", rest) || StripPrefix(name, u"\\DosDevices\\", rest) ||
           StripPrefix(name, u"\\GLOBAL??\\", rest);
}

ACCESS_MASK MapGenericFile(ACCESS_MASK a) {
    if (a & GENERIC_READ) a |= FILE_GENERIC_READ;
    if (a & GENERIC_WRITE) a |= FILE_GENERIC_WRITE;
    if (a & GENERIC_EXECUTE) a |= FILE_GENERIC_EXECUTE;
    if (a & GENERIC_ALL) a |= FILE_ALL_ACCESS;
    return a & ~(ACCESS_MASK)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

bool ParseRights(const std::string& text, ACCESS_MASK* mask) {
    *mask = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        char* end = nullptr;
        unsigned long v = strtoul(text.c_str() + 2, &end, 16);
        if (!end || *end) return false;
        *mask = (ACCESS_MASK)v;
        return true;
    }
    if (text.empty() || text.size() % 2) return false;
    static const struct { const char* code; ACCESS_MASK mask; } kRights[] = {
        {"GA", GENERIC_ALL}, {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE}, {"GX", GENERIC_EXECUTE},
        {"FA", FILE_ALL_ACCESS}, {"FR", FILE_GENERIC_READ}, {"FW", FILE_GENERIC_WRITE},
        {"FX", FILE_GENERIC_EXECUTE}, {"RC", READ_CONTROL}, {"SD", DELETE}, {"WD", WRITE_DAC},
        {"WO", WRITE_OWNER}, {"RP", 0x10}, {"WP", 0x20}, {"CC", 0x1}, {"DC", 0x2}, {"LC", 0x4},
        {"SW", 0x8}, {"LO", 0x80}, {"DT", 0x40}, {"CR", 0x100}};
    for (size_t i = 0; i < text.size(); i += 2) {
        bool found = false;
        for (auto& r : kRights)
            if (text.compare(i, 2, r.code) == 0) {
                *mask |= r.mask;
                found = true;
            }
        if (!found) return false;
    }
    return true;
}

bool KnownSid(const std::string& sid) {
    static const char* kSids[] = {"SY", "BA", "BU", "AU", "IU", "WD", "RC", "LS", "NS", "SU", "BG"};
    for (auto* s : kSids)
        if (sid == s) return true;
    return false;
}

// Parses the DACL of an SDDL string ("D:P(A;;GA;;;SY)(A;;GA;;;BA)"). Owner and group parts are
// accepted and ignored; a SACL or anything else is refused.
bool ParseSddl(const std::string& sddl, std::vector<Ace>* dacl) {
    size_t i = 0;
    auto skipSid = [&](void) {
        while (i < sddl.size() && sddl[i] != ':' ) i++;
    };
    while (i + 1 < sddl.size() && (sddl[i] == 'O' || sddl[i] == 'G') && sddl[i + 1] == ':') {
        i += 2;
        size_t start = i;
        while (i < sddl.size() && sddl[i] != 'D' && sddl[i] != 'G') i++;
        if (i == start) return false;
    }
    (void)skipSid;
    if (sddl.compare(i, 2, "D:") != 0) return false;
    i += 2;
    while (i < sddl.size() && sddl[i] != '(') {
        if (sddl.compare(i, 2, "AI") == 0 || sddl.compare(i, 2, "AR") == 0) i += 2;
        else if (sddl[i] == 'P') i++;
        else return false;
    }
    while (i < sddl.size()) {
        if (sddl[i] != '(') return false;
        size_t close = sddl.find(')', i);
        if (close == std::string::npos) return false;
        std::string body = sddl.substr(i + 1, close - i - 1);
        std::vector<std::string> f;
        size_t s = 0;
        for (;;) {
            size_t semi = body.find(';', s);
            f.push_back(body.substr(s, semi == std::string::npos ? std::string::npos : semi - s));
            if (semi == std::string::npos) break;
            s = semi + 1;
        }
        if (f.size() != 6) return false;
        Ace ace;
        if (f[0] == "A") ace.allow = true;
        else if (f[0] == "D") ace.allow = false;
        else return false;
        if (!f[1].empty() || !f[3].empty() || !f[4].empty()) return false;
        if (!ParseRights(f[2], &ace.mask)) return false;
        if (!KnownSid(f[5])) return false;
        ace.sid = f[5];
        dacl->push_back(ace);
        i = close + 1;
    }
    return true;
}

bool CallerHas(HkCaller caller, const std::string& sid) {
    if (sid == "WD" || sid == "AU") return true;
    switch (caller) {
    case HkCaller::System: return sid == "SY" || sid == "BA";
    case HkCaller::Admin: return sid == "BA" || sid == "BU" || sid == "IU";
    case HkCaller::User: return sid == "BU" || sid == "IU";
    }
    return false;
}

// The access check of an open: ACEs in order, a deny entry for any bit still wanted refuses.
bool AccessAllowed(const std::vector<Ace>& dacl, HkCaller caller, ACCESS_MASK desired) {
    ACCESS_MASK remaining = MapGenericFile(desired);
    for (const Ace& ace : dacl) {
        if (remaining == 0) break;
        if (!CallerHas(caller, ace.sid)) continue;
        ACCESS_MASK m = MapGenericFile(ace.mask);
        if (!ace.allow) {
            if (m & remaining) return false;
        } else {
            remaining &= ~m;
        }
    }
    return remaining == 0;
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

bool IoDeviceDeleted(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(S().lock);
    auto it = S().devices.find(device);
    if (it == S().devices.end()) return false;
    if (it->second.opens > 0) {
        it->second.deleted = true;
        return true;
    }
    S().devices.erase(it);
    return false;
}

PDRIVER_DISPATCH InvalidDeviceRequestRoutine() { return InvalidDeviceRequest; }

std::vector<std::string> IoLinkNames() {
    std::lock_guard<std::mutex> g(S().lock);
    std::vector<std::string> r;
    for (auto& l : S().links) r.push_back(ToUtf8(l.second.name.data(), l.second.name.size()));
    return r;
}

long IoOpenFileCount() {
    std::lock_guard<std::mutex> g(S().lock);
    return S().openFiles;
}

}  // namespace hk

// ---------------------------------------------------------------------------------------------
// Kernel-facing routines

extern "C" {

KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID) { return hk::t_userRequest ? UserMode : KernelMode; }
KPROCESSOR_MODE NTAPI KeGetPreviousMode(VOID) { return ExGetPreviousMode(); }

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string name = hk::FromUnicode(SymbolicLinkName), rest;
    std::u16string target = hk::FromUnicode(DeviceName);
    if (name.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!hk::DosName(name, &rest) || rest.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string key = hk::Upper(u"\\??\\" + rest);
    std::lock_guard<std::mutex> g(hk::S().lock);
    if (hk::S().links.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    hk::S().links[key] = hk::Link{name, target};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::u16string name = hk::FromUnicode(SymbolicLinkName), rest;
    if (!hk::DosName(name, &rest) || rest.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    std::lock_guard<std::mutex> g(hk::S().lock);
    return hk::S().links.erase(hk::Upper(u"\\??\\" + rest)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI WdmlibIoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                          PDEVICE_OBJECT* DeviceObject) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDeviceSecure");
    if (!DefaultSDDLString || !DefaultSDDLString->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string w = hk::FromUnicode(DefaultSDDLString);
    std::string sddl = hk::ToUtf8(w.data(), w.size());
    std::vector<hk::Ace> dacl;
    if (!hk::ParseSddl(sddl, &dacl)) return STATUS_INVALID_PARAMETER;
    NTSTATUS st = IoCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                                 Exclusive, DeviceObject);
    if (!NT_SUCCESS(st)) return st;
    std::lock_guard<std::mutex> g(hk::S().lock);
    hk::DeviceInfo& info = hk::S().devices[*DeviceObject];
    info.secure = true;
    info.dacl = dacl;
    return st;
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "MmGetSystemRoutineAddress");
    std::u16string w = hk::FromUnicode(SystemRoutineName);
    std::string name = hk::ToUtf8(w.data(), w.size());
    static const struct { const char* name; PVOID address; } kExports[] = {
        {"KeGetPreviousMode", (PVOID)&KeGetPreviousMode},
        {"ExGetPreviousMode", (PVOID)&ExGetPreviousMode},
        {"PsGetCurrentProcessId", (PVOID)&PsGetCurrentProcessId},
        {"PsGetCurrentThreadId", (PVOID)&PsGetCurrentThreadId},
        {"KeQueryInterruptTime", (PVOID)&KeQueryInterruptTime},
        {"KeQueryTimeIncrement", (PVOID)&KeQueryTimeIncrement},
        {"ExAllocatePool2", (PVOID)&ExAllocatePool2},
        {"ExAllocatePoolWithTag", (PVOID)&ExAllocatePoolWithTag},
        {"ExFreePoolWithTag", (PVOID)&ExFreePoolWithTag},
        {"IoCreateDevice", (PVOID)&IoCreateDevice},
        {"MmGetSystemRoutineAddress", (PVOID)&MmGetSystemRoutineAddress},
    };
    for (auto& e : kExports)
        if (name == e.name) return e.address;   // export names are case-sensitive
    return nullptr;
}

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// User-mode side (test hooks)

struct HkFile {
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT device;
    ACCESS_MASK granted;
    HkCaller caller;
};

bool HkParseCaller(const std::string& text, HkCaller* caller) {
    if (text == "system") *caller = HkCaller::System;
    else if (text == "admin") *caller = HkCaller::Admin;
    else if (text == "user") *caller = HkCaller::User;
    else return false;
    return true;
}

namespace {

// Resolves a user-visible name to a device object.
PDEVICE_OBJECT Resolve(const std::string& utf8, NTSTATUS* status) {
    std::u16string name = hk::ToU16(utf8.c_str()), rest;
    if (hk::StripPrefix(name, u"\\\\.\\", &rest)) name = u"\\??\\" + rest;
    if (hk::DosName(name, &rest)) {
        std::lock_guard<std::mutex> g(hk::S().lock);
        auto it = hk::S().links.find(hk::Upper(u"\\??\\" + rest));
        if (it == hk::S().links.end()) {
            *status = STATUS_OBJECT_NAME_NOT_FOUND;
            return nullptr;
        }
        name = it->second.target;
    }
    PDEVICE_OBJECT dev = hk::IoFindDevice(name);
    if (!dev) *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return dev;
}

struct UserScope {
    UserScope() { hk::t_userRequest = true; }
    ~UserScope() { hk::t_userRequest = false; }
};

// Builds the packet's frame, sends it and waits for it; returns the final status block.
IO_STATUS_BLOCK Send(HkFile* f, UCHAR major, const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill) {
    hk::RequireIrqlExactly(PASSIVE_LEVEL, "a user-mode request");
    PDEVICE_OBJECT dev = f->device;
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    if (!irp) Fatal("I/O manager: no memory for a request packet");
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserIosb = &iosb;
    irp->UserEvent = &done;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = f->fileObject;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Flags |= IRP_SYNCHRONOUS_API;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = f->fileObject;
    fill(irp, sp);
    NTSTATUS st;
    {
        UserScope user;
        st = IoCallDriver(dev, irp);
    }
    if (st == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else {
        if (KeReadStateEvent(&done) == 0)
            Fatal("dispatch routine of device %p (major function 0x%02X) returned 0x%08X without completing the IRP "
                  "(and without STATUS_PENDING)",
                  (void*)dev, major, (unsigned)st);
        if (st != iosb.Status)
            Fatal("dispatch routine of device %p (major function 0x%02X) returned 0x%08X but completed the IRP with "
                  "0x%08X",
                  (void*)dev, major, (unsigned)st, (unsigned)iosb.Status);
    }
    return iosb;
}

PMDL LockedMdl(PIRP irp, void* buffer, ULONG length, LOCK_OPERATION op) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (!mdl) Fatal("I/O manager: no memory for an MDL");
    MmProbeAndLockPages(mdl, UserMode, op);
    return mdl;
}

void ReleaseMdl(PMDL mdl) {
    if (!mdl) return;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

}  // namespace

NTSTATUS HkOpenDevice(const std::string& name, HkCaller caller, HkFile** file, ACCESS_MASK desiredAccess) {
    *file = nullptr;
    NTSTATUS st = STATUS_SUCCESS;
    PDEVICE_OBJECT dev = Resolve(name, &st);
    if (!dev) return st;
    {
        std::lock_guard<std::mutex> g(hk::S().lock);
        hk::DeviceInfo& info = hk::S().devices[dev];
        if (dev->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
        if (info.secure && !hk::AccessAllowed(info.dacl, caller, desiredAccess)) return STATUS_ACCESS_DENIED;
        if ((dev->Flags & DO_EXCLUSIVE) && info.opens > 0) return STATUS_ACCESS_DENIED;
        info.opens++;
        hk::S().openFiles++;
    }
    auto* fo = (PFILE_OBJECT)ExAllocatePoolZero(NonPagedPoolNx, sizeof(FILE_OBJECT), hk::kFileTag);
    fo->Type = IO_TYPE_FILE;
    fo->Size = (CSHORT)sizeof(FILE_OBJECT);
    fo->DeviceObject = dev;
    ACCESS_MASK granted = hk::MapGenericFile(desiredAccess);
    fo->ReadAccess = (granted & FILE_READ_DATA) != 0;
    fo->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    fo->SharedRead = TRUE;
    fo->SharedWrite = TRUE;
    KeInitializeEvent(&fo->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&fo->Event, NotificationEvent, FALSE);
    InitializeListHead(&fo->IrpList);
    auto* f = new HkFile{fo, dev, granted, caller};
    IO_SECURITY_CONTEXT sec = {};
    sec.DesiredAccess = granted;
    IO_STATUS_BLOCK iosb = Send(f, IRP_MJ_CREATE, [&](PIRP, PIO_STACK_LOCATION sp) {
        sp->Parameters.Create.SecurityContext = &sec;
        sp->Parameters.Create.Options = (FILE_OPEN << 24) | FILE_SYNCHRONOUS_IO_NONALERT;
        sp->Parameters.Create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        sp->Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    });
    if (!NT_SUCCESS(iosb.Status)) {
        // A failed create never sees a close, as on Windows.
        ExFreePoolWithTag(fo, hk::kFileTag);
        delete f;
        bool freeDev = false;
        {
            std::lock_guard<std::mutex> g(hk::S().lock);
            hk::DeviceInfo& info = hk::S().devices[dev];
            info.opens--;
            hk::S().openFiles--;
            if (info.deleted && info.opens == 0) {
                hk::S().devices.erase(dev);
                freeDev = true;
            }
        }
        if (freeDev) hk::IoFreeDeletedDevice(dev);
        return iosb.Status;
    }
    *file = f;
    return iosb.Status;
}

NTSTATUS HkCloseFile(HkFile* f) {
    if (!f) return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT dev = f->device;
    // The status of cleanup and close is not reported to CloseHandle's caller on Windows either.
    // A device its driver already deleted (and perhaps unloaded with) gets no more packets here.
    if (hk::IoDeviceLive(dev)) {
        Send(f, IRP_MJ_CLEANUP, [](PIRP, PIO_STACK_LOCATION) {});
        Send(f, IRP_MJ_CLOSE, [](PIRP, PIO_STACK_LOCATION) {});
    }
    ExFreePoolWithTag(f->fileObject, hk::kFileTag);
    delete f;
    bool freeDev = false;
    {
        std::lock_guard<std::mutex> g(hk::S().lock);
        hk::DeviceInfo& info = hk::S().devices[dev];
        info.opens--;
        hk::S().openFiles--;
        if (info.deleted && info.opens == 0) {
            hk::S().devices.erase(dev);
            freeDev = true;
        }
    }
    if (freeDev) hk::IoFreeDeletedDevice(dev);
    return STATUS_SUCCESS;
}

HkIoResult HkDeviceIoControl(HkFile* f, ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
    HkIoResult r;
    ULONG access = (code >> 14) & 3;
    if (((access & FILE_READ_ACCESS) && !(f->granted & FILE_READ_DATA)) ||
        ((access & FILE_WRITE_ACCESS) && !(f->granted & FILE_WRITE_DATA))) {
        r.status = STATUS_ACCESS_DENIED;
        return r;
    }
    ULONG method = METHOD_FROM_CTL_CODE(code);
    ULONG inLen = (ULONG)input.size();
    std::vector<uint8_t> userIn(input), userOut(outputLength);
    PVOID sysbuf = nullptr;
    PMDL mdl = nullptr;
    ULONG sysLen = 0;
    if (method == METHOD_BUFFERED) sysLen = inLen > outputLength ? inLen : outputLength;
    else if (method != METHOD_NEITHER) sysLen = inLen;
    if (sysLen) {
        sysbuf = ExAllocatePoolWithTag(NonPagedPoolNx, sysLen, hk::kBufTag);
        if (inLen) memcpy(sysbuf, userIn.data(), inLen);
    }
    IO_STATUS_BLOCK iosb = Send(f, IRP_MJ_DEVICE_CONTROL, [&](PIRP irp, PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        sp->Parameters.DeviceIoControl.InputBufferLength = inLen;
        sp->Parameters.DeviceIoControl.IoControlCode = code;
        sp->Parameters.DeviceIoControl.Type3InputBuffer = inLen ? userIn.data() : nullptr;
        irp->UserBuffer = outputLength ? userOut.data() : nullptr;
        irp->AssociatedIrp.SystemBuffer = sysbuf;
        if (sysbuf) irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (method == METHOD_BUFFERED && outputLength) irp->Flags |= IRP_INPUT_OPERATION;
        if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && outputLength)
            mdl = LockedMdl(irp, userOut.data(), outputLength,
                            method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    });
    r.status = iosb.Status;
    r.information = iosb.Information;
    if (!NT_ERROR(iosb.Status)) {
        // Windows copies a buffered answer back only when the caller gave an output buffer
        // (IRP_INPUT_OPERATION); without one, Information is just reported (a count of bytes
        // written, say). With one, reporting more than it holds would overrun it.
        if (outputLength && iosb.Information > outputLength && method != METHOD_NEITHER && method != METHOD_IN_DIRECT)
            Fatal("IOCTL 0x%08X completed with Information %llu, more than the %u-byte output buffer", (unsigned)code,
                  (unsigned long long)iosb.Information, (unsigned)outputLength);
        if (method == METHOD_BUFFERED && outputLength && iosb.Information)
            memcpy(userOut.data(), sysbuf, iosb.Information);
        size_t n = iosb.Information < outputLength ? iosb.Information : outputLength;
        r.data.assign(userOut.begin(), userOut.begin() + (long)n);
    }
    ReleaseMdl(mdl);
    if (sysbuf) ExFreePoolWithTag(sysbuf, hk::kBufTag);
    return r;
}

namespace {

HkIoResult ReadWrite(HkFile* f, bool write, int64_t offset, std::vector<uint8_t>& user) {
    HkIoResult r;
    if (!(f->granted & (write ? FILE_WRITE_DATA : FILE_READ_DATA))) {
        r.status = STATUS_ACCESS_DENIED;
        return r;
    }
    ULONG length = (ULONG)user.size();
    PDEVICE_OBJECT dev = f->device;
    PVOID sysbuf = nullptr;
    PMDL mdl = nullptr;
    IO_STATUS_BLOCK iosb = Send(f, write ? IRP_MJ_WRITE : IRP_MJ_READ, [&](PIRP irp, PIO_STACK_LOCATION sp) {
        if (write) {
            sp->Parameters.Write.Length = length;
            sp->Parameters.Write.ByteOffset.QuadPart = offset;
        } else {
            sp->Parameters.Read.Length = length;
            sp->Parameters.Read.ByteOffset.QuadPart = offset;
        }
        irp->Flags |= write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION;
        if (length == 0) return;   // no buffer description for an empty transfer
        if (dev->Flags & DO_BUFFERED_IO) {
            sysbuf = ExAllocatePoolWithTag(NonPagedPoolNx, length, hk::kBufTag);
            if (write) memcpy(sysbuf, user.data(), length);
            irp->AssociatedIrp.SystemBuffer = sysbuf;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (write ? 0 : IRP_INPUT_OPERATION);
        } else if (dev->Flags & DO_DIRECT_IO) {
            mdl = LockedMdl(irp, user.data(), length, write ? IoReadAccess : IoWriteAccess);
        } else {
            irp->UserBuffer = user.data();
        }
    });
    r.status = iosb.Status;
    r.information = iosb.Information;
    if (!NT_ERROR(iosb.Status) && iosb.Information > length)
        Fatal("%s of %u bytes completed with Information %llu", write ? "write" : "read", (unsigned)length,
              (unsigned long long)iosb.Information);
    if (!write && !NT_ERROR(iosb.Status)) {
        if (sysbuf && iosb.Information) memcpy(user.data(), sysbuf, iosb.Information);
        r.data.assign(user.begin(), user.begin() + (long)iosb.Information);
    }
    ReleaseMdl(mdl);
    if (sysbuf) ExFreePoolWithTag(sysbuf, hk::kBufTag);
    return r;
}

}  // namespace

HkIoResult HkReadFile(HkFile* f, int64_t offset, ULONG length) {
    std::vector<uint8_t> user(length);
    return ReadWrite(f, false, offset, user);
}

HkIoResult HkWriteFile(HkFile* f, int64_t offset, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> user(data);
    return ReadWrite(f, true, offset, user);
}
