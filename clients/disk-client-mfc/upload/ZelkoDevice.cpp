#include "ZelkoDevice.h"

#include <winioctl.h>

#include <cstring>

#include "../api/Text.h"
#include "ZelkoControl.h"
#include "ZelkoNaming.h"

using namespace zelko::control;

namespace {

// A UTF-16 copy cut to `chars` - 1 characters and terminated.
void CopyField(ControlWchar* field, size_t chars, const std::wstring& text) {
  size_t n = text.size() < chars - 1 ? text.size() : chars - 1;
  memcpy(field, text.data(), n * sizeof(ControlWchar));
  field[n] = 0;
}

}  // namespace

ZelkoDevice::ZelkoDevice(DeviceIo& io) : io_(io) {}

ZelkoDevice::~ZelkoDevice() { Close(); }

bool ZelkoDevice::Open() {
  h_ = io_.Open(ZELKO_CONTROL_DEVICE_PATH_W, GENERIC_READ | GENERIC_WRITE, 0, FILE_FLAG_OVERLAPPED);
  if (h_ == INVALID_HANDLE_VALUE) return false;
  request_.assign(ReadLocalOutputSize(kMaxTransfer) + sizeof(ReadLocalRecord), 0);
  return true;
}

void ZelkoDevice::Close() {
  if (h_ != INVALID_HANDLE_VALUE) io_.Close(h_);
  h_ = INVALID_HANDLE_VALUE;
}

bool ZelkoDevice::Simple(DWORD code) {
  DWORD n = 0;
  return io_.Control(h_, code, nullptr, 0, nullptr, 0, &n);
}

bool ZelkoDevice::SetConfig(const ZelkoUploadConfig& cfg) {
  SetConfigRecord r;
  memset(&r, 0, sizeof r);
  CopyField(r.serverIp, kAddressChars, Utf8ToWide(cfg.serverHost));
  r.serverPort = cfg.serverPort;
  CopyField(r.targetIqn, kIqnChars, Utf8ToWide(ImageIqn(cfg.imageId)));
  CopyField(r.clientId, kAddressChars, Utf8ToWide(cfg.clientId));
  r.cacheSizeMb = 256;
  r.readOnly = 0;
  r.superUser = 1;
  CopyField(r.superUserToken, kAddressChars, Utf8ToWide(cfg.token));
  DWORD n = 0;
  return io_.Control(h_, IOCTL_ZELKO_SET_CONFIG, &r, sizeof r, nullptr, 0, &n);
}

bool ZelkoDevice::Connect() { return Simple(IOCTL_ZELKO_CONNECT); }
bool ZelkoDevice::Handshake() { return Simple(IOCTL_ZELKO_HANDSHAKE); }
bool ZelkoDevice::Flush() { return Simple(IOCTL_ZELKO_FLUSH); }

uint32_t ZelkoDevice::ReadLocal(const std::wstring& devicePath, uint64_t offset, void* buf,
                                uint32_t length) {
  if (length > kMaxTransfer) return 0;
  ReadLocalRecord r;
  memset(&r, 0, sizeof r);
  CopyField(r.objectPath, kObjectPathChars, KernelObjectPath(devicePath));
  r.offset = offset;
  r.length = length;
  memcpy(request_.data(), &r, sizeof r);
  DWORD n = 0;
  // METHOD_BUFFERED: the answer overwrites the record in the same buffer.
  if (!io_.Control(h_, IOCTL_ZELKO_READ_LOCAL, request_.data(), sizeof r, request_.data(),
                   ReadLocalOutputSize(kMaxTransfer) + sizeof r, &n))
    return 0;
  ReadLocalReply reply;
  memcpy(&reply, request_.data(), sizeof reply);
  if (reply.bytesRead == 0 || reply.bytesRead > length || n < sizeof reply + reply.bytesRead) {
    // The request went through but the kernel's read did not: name that, not a stale error.
    SetLastError(ERROR_READ_FAULT);
    return 0;
  }
  memcpy(buf, request_.data() + sizeof reply, reply.bytesRead);
  return reply.bytesRead;
}

uint32_t ZelkoDevice::WriteDisk(int64_t offset, const void* data, uint32_t length) {
  if (length == 0 || length > kMaxTransfer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WriteDiskRecord r;
  memset(&r, 0, sizeof r);
  r.offset = offset;
  r.length = length;
  memcpy(request_.data(), &r, sizeof r);
  memcpy(request_.data() + sizeof r, data, length);
  DWORD n = 0;
  if (!io_.Control(h_, IOCTL_ZELKO_WRITE_DISK, request_.data(), WriteDiskInputSize(length), nullptr,
                   0, &n))
    return 0;
  // A short count with a successful request: name it rather than leave a stale error behind.
  if (n != length) SetLastError(ERROR_WRITE_FAULT);
  return n;
}

bool ZelkoDevice::ExitSuperUser(bool commit, uint64_t* mergedBlocks, uint64_t* mergedBytes) {
  uint8_t buf[sizeof(ExitSuperUserRecord)] = {};
  buf[0] = commit ? 1 : 0;
  DWORD n = 0;
  if (!io_.Control(h_, IOCTL_ZELKO_EXIT_SUPER_USER, buf, sizeof(ExitSuperUserRequest), buf,
                   sizeof buf, &n))
    return false;
  if (n < sizeof(ExitSuperUserRecord)) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  ExitSuperUserRecord r;
  memcpy(&r, buf, sizeof r);
  *mergedBlocks = r.mergedBlocks;
  *mergedBytes = r.mergedBytes;
  return true;
}

std::wstring KernelObjectPath(const std::wstring& path) {
  std::wstring p = path;
  if (p.compare(0, 4, L"\\\\.\\") == 0) p = L"\\??\\" + p.substr(4);
  if (p.size() > kObjectPathChars - 1) p.resize(kObjectPathChars - 1);
  return p;
}

std::string ImageIqn(const std::string& imageId) { return ZELKO_IQN_IMAGE_PREFIX + imageId; }

int64_t GetPhysicalDiskSize(DeviceIo& io, const std::wstring& physicalDiskPath) {
  HANDLE h = io.Open(physicalDiskPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return 0;
  GET_LENGTH_INFORMATION info = {};
  DWORD n = 0;
  bool ok = io.Control(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &n) &&
            n >= sizeof info;
  DWORD err = GetLastError();
  io.Close(h);
  SetLastError(err);
  return ok ? info.Length.QuadPart : 0;
}

namespace {

bool DeviceNumberOf(DeviceIo& io, const std::wstring& path, DWORD* number) {
  HANDLE h = io.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  STORAGE_DEVICE_NUMBER d = {};
  DWORD n = 0;
  bool ok = io.Control(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &d, sizeof d, &n) &&
            n >= sizeof d;
  DWORD err = GetLastError();
  io.Close(h);
  SetLastError(err);
  if (ok) *number = d.DeviceNumber;
  return ok;
}

}  // namespace

bool GetCDriveExtent(DeviceIo& io, const std::wstring& physicalDiskPath, int64_t* start,
                     int64_t* length) {
  HANDLE h = io.Open(L"\\\\.\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) return false;
  // Room for the header and a few extents (a spanned volume has more than one).
  alignas(8) uint8_t out[128] = {};
  DWORD n = 0;
  bool ok = io.Control(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, out, sizeof out, &n);
  DWORD err = GetLastError();
  io.Close(h);
  if (!ok) {
    SetLastError(err);
    return false;
  }
  auto* e = reinterpret_cast<VOLUME_DISK_EXTENTS*>(out);
  if (n < sizeof(VOLUME_DISK_EXTENTS) || e->NumberOfDiskExtents == 0) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  DWORD disk = 0;
  if (!DeviceNumberOf(io, physicalDiskPath, &disk)) return false;
  if (disk != e->Extents[0].DiskNumber) {
    SetLastError(ERROR_NOT_SAME_DEVICE);
    return false;
  }
  *start = e->Extents[0].StartingOffset.QuadPart;
  *length = e->Extents[0].ExtentLength.QuadPart;
  return true;
}
