// Zw file services over host files. \??\X:\path (also \DosDevices\ and \GLOBAL??\) names
// <host dir of X:>/path; names are matched case-insensitively component by component, as NTFS
// would, and ".." is refused so that a path cannot leave the mapped directory. All I/O is
// synchronous; sharing modes are enforced between open handles of the same file.
#include "hk_internal.h"
#include "hostkernel_test.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using hk::Fatal;

namespace hk {
namespace {

struct Drive {
    std::string dir;
    bool readOnly;
};

struct OpenEntry {
    void* file;
    std::string path;
    ACCESS_MASK access;
    ULONG share;
};

struct MappedObject {
    std::string hostPath;
    bool readOnly;
};

struct FileSystem {
    std::mutex lock;
    std::map<char, Drive> drives;
    std::map<std::u16string, MappedObject> objects;   // key: upper-cased name after "\??\" 
    std::vector<OpenEntry> open;
};

FileSystem& FS() {
    static auto* f = new FileSystem;
    return *f;
}

struct FileObject {
    int fd;
    ACCESS_MASK access;
    ULONG options;
    int64_t position;
    // Windows serialises the requests on a synchronous file object (and its current position);
    // so does this lock, taken for every request on such a handle.
    std::mutex syncLock;
    bool appendOnly;
    bool directory;
    bool deleteOnClose;
    char* path;   // malloc'ed host path
};

NTSTATUS FromErrno(int e) {
    switch (e) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case ENOSPC:
    case EDQUOT: return STATUS_DISK_FULL;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case EMFILE:
    case ENFILE:
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    case EIO: return STATUS_IO_DEVICE_ERROR;
    default: return STATUS_UNSUCCESSFUL;
    }
}

void DestroyFile(void* body) {
    auto* f = (FileObject*)body;
    {
        std::lock_guard<std::mutex> g(FS().lock);
        auto& v = FS().open;
        for (size_t i = 0; i < v.size(); i++)
            if (v[i].file == f) {
                v.erase(v.begin() + (long)i);
                break;
            }
    }
    if (f->fd >= 0) close(f->fd);
    if (f->deleteOnClose && f->path) {
        if (f->directory) rmdir(f->path);
        else unlink(f->path);
    }
    free(f->path);
    f->syncLock.~mutex();
}

bool StartsWithNoCase(const std::u16string& s, const char16_t* prefix, size_t* len) {
    size_t n = Wcslen(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; i++)
        if (Upcase(s[i]) != Upcase(prefix[i])) return false;
    *len = n;
    return true;
}

// Finds `name` in directory `dir`, exactly or case-insensitively; returns the host name.
std::string MatchComponent(const std::string& dir, const std::string& name) {
    struct stat st;
    std::string exact = dir + "/" + name;
    if (lstat(exact.c_str(), &st) == 0) return name;
    DIR* d = opendir(dir.c_str());
    if (!d) return name;
    std::string found = name;
    while (struct dirent* e = readdir(d)) {
        if (strcasecmp(e->d_name, name.c_str()) == 0) {
            found = e->d_name;
            break;
        }
    }
    closedir(d);
    return found;
}

// Translates an NT path to a host path. *parentExists tells whether the parent directory exists.
NTSTATUS Translate(POBJECT_ATTRIBUTES oa, std::string* hostPath, bool* readOnly, bool* parentExists) {
    if (!oa || !oa->ObjectName || !oa->ObjectName->Buffer) return STATUS_INVALID_PARAMETER;
    if (oa->RootDirectory) return STATUS_OBJECT_PATH_SYNTAX_BAD;   // relative opens are not offered
    std::u16string name((const char16_t*)oa->ObjectName->Buffer, oa->ObjectName->Length / 2);
    size_t skip = 0;
    if (!StartsWithNoCase(name, u"\\??\\", &skip) && !StartsWithNoCase(name, u"\\DosDevices\\", &skip) &&
        !StartsWithNoCase(name, u"\\GLOBAL??\\", &skip))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    name = name.substr(skip);
    {
        std::u16string key = name;
        for (auto& c : key) c = Upcase(c);
        std::lock_guard<std::mutex> g(FS().lock);
        auto it = FS().objects.find(key);
        if (it != FS().objects.end()) {
            *hostPath = it->second.hostPath;
            *readOnly = it->second.readOnly;
            *parentExists = true;
            return STATUS_SUCCESS;
        }
    }
    if (name.size() < 2 || name[1] != u':') return STATUS_OBJECT_PATH_NOT_FOUND;
    char letter = (char)Upcase(name[0]);
    if (letter < 'A' || letter > 'Z') return STATUS_OBJECT_NAME_INVALID;
    Drive drive;
    {
        std::lock_guard<std::mutex> g(FS().lock);
        auto it = FS().drives.find(letter);
        if (it == FS().drives.end()) return STATUS_OBJECT_PATH_NOT_FOUND;
        drive = it->second;
    }
    std::u16string rest = name.substr(2);
    if (!rest.empty() && rest[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    std::vector<std::string> parts;
    std::u16string cur;
    for (size_t i = 0; i <= rest.size(); i++) {
        if (i == rest.size() || rest[i] == u'\\') {
            if (!cur.empty()) {
                std::string c = ToUtf8(cur.data(), cur.size());
                if (c == "..") return STATUS_OBJECT_NAME_INVALID;
                if (c != ".") parts.push_back(c);
            }
            cur.clear();
            continue;
        }
        char16_t ch = rest[i];
        if (ch == u'/' || ch == 0 || ch == u'<' || ch == u'>' || ch == u'"' || ch == u'|' || ch == u'*' || ch == u'?' ||
            ch == u':')
            return STATUS_OBJECT_NAME_INVALID;
        cur.push_back(ch);
    }
    std::string path = drive.dir;
    *parentExists = true;
    for (size_t i = 0; i < parts.size(); i++) {
        std::string comp = MatchComponent(path, parts[i]);
        path += "/" + comp;
        if (i + 1 < parts.size()) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) *parentExists = false;
        }
    }
    *hostPath = path;
    *readOnly = drive.readOnly;
    return STATUS_SUCCESS;
}

ACCESS_MASK MapGeneric(ACCESS_MASK a) {
    if (a & GENERIC_READ) a |= FILE_GENERIC_READ;
    if (a & GENERIC_WRITE) a |= FILE_GENERIC_WRITE;
    if (a & GENERIC_EXECUTE) a |= FILE_GENERIC_EXECUTE;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) a |= FILE_ALL_ACCESS;
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

bool WantsRead(ACCESS_MASK a) { return (a & (FILE_READ_DATA | FILE_EXECUTE)) != 0; }
bool WantsWrite(ACCESS_MASK a) { return (a & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0; }
bool WantsDelete(ACCESS_MASK a) { return (a & DELETE) != 0; }

bool ShareConflict(const OpenEntry& e, ACCESS_MASK access, ULONG share) {
    if (WantsRead(access) && !(e.share & FILE_SHARE_READ)) return true;
    if (WantsWrite(access) && !(e.share & FILE_SHARE_WRITE)) return true;
    if (WantsDelete(access) && !(e.share & FILE_SHARE_DELETE)) return true;
    if (WantsRead(e.access) && !(share & FILE_SHARE_READ)) return true;
    if (WantsWrite(e.access) && !(share & FILE_SHARE_WRITE)) return true;
    if (WantsDelete(e.access) && !(share & FILE_SHARE_DELETE)) return true;
    return false;
}

FileObject* Ref(HANDLE h, NTSTATUS* st) { return (FileObject*)HandleReference(h, ObjectKind::File, st); }

}  // namespace
}  // namespace hk

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
    if (!FileHandle || !IoStatusBlock) Fatal("ZwCreateFile without a handle or I/O status block pointer");
    IoStatusBlock->Information = 0;
    auto done = [&](NTSTATUS s) {
        IoStatusBlock->Status = s;
        return s;
    };
    if (CreateDisposition > FILE_MAXIMUM_DISPOSITION || (ShareAccess & ~FILE_SHARE_VALID_FLAGS))
        return done(STATUS_INVALID_PARAMETER);
    if ((CreateOptions & FILE_DIRECTORY_FILE) && (CreateOptions & FILE_NON_DIRECTORY_FILE))
        return done(STATUS_INVALID_PARAMETER);
    if ((CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) && !(DesiredAccess & SYNCHRONIZE))
        return done(STATUS_INVALID_PARAMETER);
    std::string path;
    bool readOnly = false, parentExists = true;
    NTSTATUS st = hk::Translate(ObjectAttributes, &path, &readOnly, &parentExists);
    if (!NT_SUCCESS(st)) return done(st);
    if (!parentExists) return done(STATUS_OBJECT_PATH_NOT_FOUND);
    ACCESS_MASK access = hk::MapGeneric(DesiredAccess);
    bool write = hk::WantsWrite(access);
    bool creates = CreateDisposition != FILE_OPEN;
    // One open at a time: the existence check, the sharing check and the creation must not race
    // (two FILE_OPEN_IF opens of a new file must both succeed).
    std::lock_guard<std::mutex> g(hk::FS().lock);
    struct stat sb;
    bool exists = stat(path.c_str(), &sb) == 0;
    bool isDir = exists && S_ISDIR(sb.st_mode);
    if (readOnly && (write || (access & DELETE) || (creates && !(exists && (CreateDisposition == FILE_OPEN_IF))) ||
                     (CreateOptions & FILE_DELETE_ON_CLOSE)))
        return done(STATUS_MEDIA_WRITE_PROTECTED);
    if (exists && isDir && (CreateOptions & FILE_NON_DIRECTORY_FILE)) return done(STATUS_FILE_IS_A_DIRECTORY);
    if (exists && !isDir && (CreateOptions & FILE_DIRECTORY_FILE)) return done(STATUS_NOT_A_DIRECTORY);

    ULONG info = FILE_OPENED;
    bool truncate = false, create = false;
    switch (CreateDisposition) {
    case FILE_OPEN:
        if (!exists) return done(STATUS_OBJECT_NAME_NOT_FOUND);
        break;
    case FILE_CREATE:
        if (exists) return done(STATUS_OBJECT_NAME_COLLISION);
        create = true;
        info = FILE_CREATED;
        break;
    case FILE_OPEN_IF:
        if (!exists) {
            create = true;
            info = FILE_CREATED;
        }
        break;
    case FILE_OVERWRITE:
        if (!exists) return done(STATUS_OBJECT_NAME_NOT_FOUND);
        truncate = true;
        info = FILE_OVERWRITTEN;
        break;
    case FILE_OVERWRITE_IF:
    case FILE_SUPERSEDE:
        if (exists) {
            truncate = true;
            info = CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        } else {
            create = true;
            info = FILE_CREATED;
        }
        break;
    }
    bool directory = isDir || (create && (CreateOptions & FILE_DIRECTORY_FILE));
    if (directory && (truncate || write)) return done(STATUS_INVALID_PARAMETER);

    if (exists) {
        for (auto& e : hk::FS().open)
            if (e.path == path && hk::ShareConflict(e, access, ShareAccess)) return done(STATUS_SHARING_VIOLATION);
    }
    int fd;
    if (directory) {
        if (create && mkdir(path.c_str(), 0777) != 0) return done(hk::FromErrno(errno));
        fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        bool appendOnly = (access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA);
        int flags = O_CLOEXEC;
        bool read = hk::WantsRead(access);
        if (write || truncate) flags |= read ? O_RDWR : O_WRONLY;
        else flags |= O_RDONLY;
        if (appendOnly) flags |= O_APPEND;
        if (create) flags |= O_CREAT | O_EXCL;
        if (truncate) flags |= O_TRUNC;
        fd = open(path.c_str(), flags, (FileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666);
    }
    if (fd < 0) return done(hk::FromErrno(errno));
    auto* f = (hk::FileObject*)hk::ObjectCreate(hk::ObjectKind::File, sizeof(hk::FileObject), hk::DestroyFile);
    f->fd = fd;
    f->access = access;
    f->options = CreateOptions;
    new (&f->syncLock) std::mutex();
    f->position = 0;
    f->appendOnly = (access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA);
    f->directory = directory;
    f->deleteOnClose = (CreateOptions & FILE_DELETE_ON_CLOSE) != 0;
    f->path = strdup(path.c_str());
    hk::FS().open.push_back(hk::OpenEntry{f, path, access, ShareAccess});
    *FileHandle = hk::HandleCreate(f);
    IoStatusBlock->Information = info;
    return done(STATUS_SUCCESS);
}

NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                          PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions) {
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

static bool UseFilePointer(PLARGE_INTEGER off) {
    return !off || (off->HighPart == -1 && off->LowPart == FILE_USE_FILE_POINTER_POSITION);
}

static bool Synchronous(hk::FileObject* f) {
    return (f->options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          PULONG Key) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwReadFile");
    if (!IoStatusBlock) Fatal("ZwReadFile without an I/O status block");
    if (Event || ApcRoutine) Fatal("ZwReadFile with an event or APC: the host kernel offers synchronous file I/O only");
    NTSTATUS st;
    hk::FileObject* f = hk::Ref(FileHandle, &st);
    IoStatusBlock->Information = 0;
    if (!f) return IoStatusBlock->Status = st;
    NTSTATUS result = STATUS_SUCCESS;
    if (f->directory) result = STATUS_INVALID_DEVICE_REQUEST;
    else if (!(f->access & FILE_READ_DATA)) result = STATUS_ACCESS_DENIED;
    else if (UseFilePointer(ByteOffset) && !Synchronous(f)) result = STATUS_INVALID_PARAMETER;
    else if (ByteOffset && !UseFilePointer(ByteOffset) && ByteOffset->QuadPart < 0) result = STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> serial(f->syncLock, std::defer_lock);
    if (Synchronous(f)) serial.lock();
    if (NT_SUCCESS(result)) {
        int64_t off = UseFilePointer(ByteOffset) ? f->position : ByteOffset->QuadPart;
        size_t got = 0;
        while (got < Length) {
            ssize_t n = pread(f->fd, (char*)Buffer + got, Length - got, (off_t)(off + (int64_t)got));
            if (n < 0) {
                if (errno == EINTR) continue;
                result = hk::FromErrno(errno);
                break;
            }
            if (n == 0) break;
            got += (size_t)n;
        }
        if (NT_SUCCESS(result)) {
            if (got == 0 && Length > 0) result = STATUS_END_OF_FILE;
            IoStatusBlock->Information = got;
            if (Synchronous(f)) f->position = off + (int64_t)got;
        }
    }
    IoStatusBlock->Status = result;
    ObfDereferenceObject(f);
    return result;
}

NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PULONG Key) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwWriteFile");
    if (!IoStatusBlock) Fatal("ZwWriteFile without an I/O status block");
    if (Event || ApcRoutine) Fatal("ZwWriteFile with an event or APC: the host kernel offers synchronous file I/O only");
    NTSTATUS st;
    hk::FileObject* f = hk::Ref(FileHandle, &st);
    IoStatusBlock->Information = 0;
    if (!f) return IoStatusBlock->Status = st;
    NTSTATUS result = STATUS_SUCCESS;
    bool toEnd = ByteOffset && ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE;
    if (f->directory) result = STATUS_INVALID_DEVICE_REQUEST;
    else if (!(f->access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) result = STATUS_ACCESS_DENIED;
    else if (!f->appendOnly && !toEnd && UseFilePointer(ByteOffset) && !Synchronous(f)) result = STATUS_INVALID_PARAMETER;
    std::unique_lock<std::mutex> serial(f->syncLock, std::defer_lock);
    if (Synchronous(f)) serial.lock();
    if (NT_SUCCESS(result)) {
        size_t put = 0;
        // An append-only handle writes at the end whatever offset is given.
        bool append = f->appendOnly || toEnd;
        int64_t off = 0;
        if (append) {
            struct stat sb;
            fstat(f->fd, &sb);
            off = sb.st_size;
        } else {
            off = UseFilePointer(ByteOffset) ? f->position : ByteOffset->QuadPart;
            if (off < 0) result = STATUS_INVALID_PARAMETER;
        }
        while (NT_SUCCESS(result) && put < Length) {
            ssize_t n = f->appendOnly ? write(f->fd, (const char*)Buffer + put, Length - put)
                                      : pwrite(f->fd, (const char*)Buffer + put, Length - put, (off_t)(off + (int64_t)put));
            if (n < 0) {
                if (errno == EINTR) continue;
                result = hk::FromErrno(errno);
                break;
            }
            put += (size_t)n;
        }
        IoStatusBlock->Information = put;
        if (Synchronous(f)) f->position = off + (int64_t)put;
    }
    IoStatusBlock->Status = result;
    ObfDereferenceObject(f);
    return result;
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile");
    if (!IoStatusBlock) Fatal("ZwQueryInformationFile without an I/O status block");
    NTSTATUS st;
    hk::FileObject* f = hk::Ref(FileHandle, &st);
    IoStatusBlock->Information = 0;
    if (!f) return IoStatusBlock->Status = st;
    struct stat sb;
    NTSTATUS result = STATUS_SUCCESS;
    ULONG size = 0;
    if (fstat(f->fd, &sb) != 0) result = hk::FromErrno(errno);
    auto ntTime = [](const struct timespec& ts) -> LONGLONG {
        return 116444736000000000LL + (LONGLONG)ts.tv_sec * 10000000LL + ts.tv_nsec / 100;
    };
    if (NT_SUCCESS(result)) {
        ULONG attrs = S_ISDIR(sb.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                                          : ((sb.st_mode & 0222) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY);
        switch (FileInformationClass) {
        case FileStandardInformation: {
            size = sizeof(FILE_STANDARD_INFORMATION);
            if (Length < size) { result = STATUS_INFO_LENGTH_MISMATCH; break; }
            auto* i = (PFILE_STANDARD_INFORMATION)FileInformation;
            i->AllocationSize.QuadPart = (LONGLONG)sb.st_blocks * 512;
            i->EndOfFile.QuadPart = S_ISDIR(sb.st_mode) ? 0 : (LONGLONG)sb.st_size;
            i->NumberOfLinks = (ULONG)sb.st_nlink;
            i->DeletePending = f->deleteOnClose ? TRUE : FALSE;
            i->Directory = S_ISDIR(sb.st_mode) ? TRUE : FALSE;
            break;
        }
        case FilePositionInformation: {
            size = sizeof(FILE_POSITION_INFORMATION);
            if (Length < size) { result = STATUS_INFO_LENGTH_MISMATCH; break; }
            std::lock_guard<std::mutex> serial(f->syncLock);
            ((PFILE_POSITION_INFORMATION)FileInformation)->CurrentByteOffset.QuadPart = f->position;
            break;
        }
        case FileBasicInformation: {
            size = sizeof(FILE_BASIC_INFORMATION);
            if (Length < size) { result = STATUS_INFO_LENGTH_MISMATCH; break; }
            auto* i = (PFILE_BASIC_INFORMATION)FileInformation;
            i->CreationTime.QuadPart = ntTime(sb.st_mtim);
            i->LastAccessTime.QuadPart = ntTime(sb.st_atim);
            i->LastWriteTime.QuadPart = ntTime(sb.st_mtim);
            i->ChangeTime.QuadPart = ntTime(sb.st_ctim);
            i->FileAttributes = attrs;
            break;
        }
        case FileNetworkOpenInformation: {
            size = sizeof(FILE_NETWORK_OPEN_INFORMATION);
            if (Length < size) { result = STATUS_INFO_LENGTH_MISMATCH; break; }
            auto* i = (PFILE_NETWORK_OPEN_INFORMATION)FileInformation;
            i->CreationTime.QuadPart = ntTime(sb.st_mtim);
            i->LastAccessTime.QuadPart = ntTime(sb.st_atim);
            i->LastWriteTime.QuadPart = ntTime(sb.st_mtim);
            i->ChangeTime.QuadPart = ntTime(sb.st_ctim);
            i->AllocationSize.QuadPart = (LONGLONG)sb.st_blocks * 512;
            i->EndOfFile.QuadPart = (LONGLONG)sb.st_size;
            i->FileAttributes = attrs;
            break;
        }
        default:
            result = STATUS_INVALID_INFO_CLASS;
        }
    }
    if (NT_SUCCESS(result)) IoStatusBlock->Information = size;
    IoStatusBlock->Status = result;
    ObfDereferenceObject(f);
    return result;
}

NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetInformationFile");
    if (!IoStatusBlock) Fatal("ZwSetInformationFile without an I/O status block");
    NTSTATUS st;
    hk::FileObject* f = hk::Ref(FileHandle, &st);
    IoStatusBlock->Information = 0;
    if (!f) return IoStatusBlock->Status = st;
    NTSTATUS result = STATUS_SUCCESS;
    switch (FileInformationClass) {
    case FilePositionInformation:
        if (Length < sizeof(FILE_POSITION_INFORMATION)) result = STATUS_INFO_LENGTH_MISMATCH;
        else if (((PFILE_POSITION_INFORMATION)FileInformation)->CurrentByteOffset.QuadPart < 0) result = STATUS_INVALID_PARAMETER;
        else {
            std::lock_guard<std::mutex> serial(f->syncLock);
            f->position = ((PFILE_POSITION_INFORMATION)FileInformation)->CurrentByteOffset.QuadPart;
        }
        break;
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        if (Length < sizeof(FILE_END_OF_FILE_INFORMATION)) result = STATUS_INFO_LENGTH_MISMATCH;
        else if (!(f->access & FILE_WRITE_DATA)) result = STATUS_ACCESS_DENIED;
        else if (FileInformationClass == FileEndOfFileInformation &&
                 ftruncate(f->fd, (off_t)((PFILE_END_OF_FILE_INFORMATION)FileInformation)->EndOfFile.QuadPart) != 0)
            result = hk::FromErrno(errno);
        break;
    case FileDispositionInformation:
        if (Length < sizeof(FILE_DISPOSITION_INFORMATION)) result = STATUS_INFO_LENGTH_MISMATCH;
        else if (!(f->access & DELETE)) result = STATUS_ACCESS_DENIED;
        else f->deleteOnClose = ((PFILE_DISPOSITION_INFORMATION)FileInformation)->DeleteFile != 0;
        break;
    default:
        result = STATUS_INVALID_INFO_CLASS;
    }
    IoStatusBlock->Status = result;
    ObfDereferenceObject(f);
    return result;
}

NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock) {
    hk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwFlushBuffersFile");
    NTSTATUS st;
    hk::FileObject* f = hk::Ref(FileHandle, &st);
    if (!f) return IoStatusBlock->Status = st;
    NTSTATUS result = fsync(f->fd) == 0 ? STATUS_SUCCESS : hk::FromErrno(errno);
    IoStatusBlock->Status = result;
    IoStatusBlock->Information = 0;
    ObfDereferenceObject(f);
    return result;
}

}  // extern "C"

namespace hk {
namespace test {

void MapDrive(char drive, const std::string& hostDir, bool readOnly) {
    char letter = (char)Upcase((char16_t)drive);
    std::lock_guard<std::mutex> g(FS().lock);
    FS().drives[letter] = Drive{hostDir, readOnly};
}

void MapObject(const std::string& ntName, const std::string& hostPath, bool readOnly) {
    std::u16string name = ToU16(ntName.c_str());
    size_t skip = 0;
    if (StartsWithNoCase(name, u"\\??\\", &skip) || StartsWithNoCase(name, u"\\DosDevices\\", &skip) ||
        StartsWithNoCase(name, u"\\GLOBAL??\\", &skip))
        name = name.substr(skip);
    else
        Fatal("MapObject(%s): the name must begin with \\??\\, \\DosDevices\\ or \\GLOBAL??\\", ntName.c_str());
    for (auto& c : name) c = Upcase(c);
    std::lock_guard<std::mutex> g(FS().lock);
    FS().objects[name] = MappedObject{hostPath, readOnly};
}

void UnmapObjects() {
    std::lock_guard<std::mutex> g(FS().lock);
    FS().objects.clear();
}

void UnmapDrive(char drive) {
    char letter = (char)Upcase((char16_t)drive);
    std::lock_guard<std::mutex> g(FS().lock);
    FS().drives.erase(letter);
}

long OpenFiles() {
    std::lock_guard<std::mutex> g(FS().lock);
    return (long)FS().open.size();
}

}  // namespace test
}  // namespace hk
