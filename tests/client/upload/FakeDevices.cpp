#include "FakeDevices.h"

#include <winioctl.h>

#include <cstring>

using namespace zelko::control;

namespace {
HANDLE const kControl = reinterpret_cast<HANDLE>(0x1001);
HANDLE const kDisk = reinterpret_cast<HANDLE>(0x1002);
HANDLE const kVolume = reinterpret_cast<HANDLE>(0x1003);
}  // namespace

int FakeDevices::Count(DWORD code) const {
  int n = 0;
  for (DWORD c : codes) n += c == code;
  return n;
}

HANDLE FakeDevices::Open(const wchar_t* path, DWORD, DWORD, DWORD) {
  std::wstring p = path;
  if (p == L"\\\\.\\ZelkoVd") {
    ++opensOfControl;
    if (controlOpenError) {
      SetLastError(controlOpenError);
      return INVALID_HANDLE_VALUE;
    }
    ++openHandles;
    return kControl;
  }
  if (p == L"\\\\.\\PhysicalDrive0") {
    ++openHandles;
    return kDisk;
  }
  if (p == L"\\\\.\\C:") {
    ++openHandles;
    return kVolume;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

void FakeDevices::Close(HANDLE) { --openHandles; }

bool FakeDevices::Control(HANDLE h, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                          DWORD* returned) {
  *returned = 0;
  if (h == kControl) return Zelko(code, in, inLen, out, outLen, returned);
  if (h == kDisk) {
    if (code == IOCTL_DISK_GET_LENGTH_INFO && diskSize <= 0) return Fail(ERROR_INVALID_FUNCTION);
    if (code == IOCTL_DISK_GET_LENGTH_INFO && outLen >= 8) {
      memcpy(out, &diskSize, 8);
      *returned = 8;
      return true;
    }
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER && outLen >= sizeof(STORAGE_DEVICE_NUMBER)) {
      STORAGE_DEVICE_NUMBER d = {FILE_DEVICE_DISK, diskNumber, 0};
      memcpy(out, &d, sizeof d);
      *returned = sizeof d;
      return true;
    }
    return Fail(ERROR_INVALID_FUNCTION);
  }
  if (h == kVolume && code == IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) {
    if (volumeFails) return Fail(volumeError);
    if (outLen < sizeof(VOLUME_DISK_EXTENTS)) return Fail(ERROR_MORE_DATA);
    VOLUME_DISK_EXTENTS e = {};
    e.NumberOfDiskExtents = 1;
    e.Extents[0].DiskNumber = volumeDiskNumber;
    e.Extents[0].StartingOffset.QuadPart = cStart;
    e.Extents[0].ExtentLength.QuadPart = cSize;
    memcpy(out, &e, sizeof e);
    *returned = sizeof e;
    return true;
  }
  return Fail(ERROR_INVALID_FUNCTION);
}

bool FakeDevices::Zelko(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                        DWORD* returned) {
  codes.push_back(code);
  auto f = failCode.find(code);
  if (f != failCode.end()) return Fail(f->second);
  switch (code) {
    case IOCTL_ZELKO_SET_CONFIG:
      if (inLen < sizeof config) return Fail(ERROR_INSUFFICIENT_BUFFER);
      memcpy(&config, in, sizeof config);
      return true;
    case IOCTL_ZELKO_CONNECT:
    case IOCTL_ZELKO_HANDSHAKE:
    case IOCTL_ZELKO_FLUSH:
      return true;
    case IOCTL_ZELKO_READ_LOCAL: {
      if (inLen < sizeof(ReadLocalRecord)) return Fail(ERROR_INSUFFICIENT_BUFFER);
      ReadLocalRecord r;
      memcpy(&r, in, sizeof r);
      if (outLen < ReadLocalOutputSize(r.length) || r.length > kMaxTransfer) return Fail(ERROR_INSUFFICIENT_BUFFER);
      readPath = r.objectPath;
      reads.push_back({r.offset, r.length});
      if (cancelAfter && (int)reads.size() == cancelAfterReads) *cancelAfter = true;
      auto* o = static_cast<uint8_t*>(out);
      ReadLocalReply reply = {};
      auto rf = readFailures.find((int64_t)r.offset);
      if (rf != readFailures.end() && rf->second > 0) {
        --rf->second;  // the kernel's read failed: the request itself succeeds with 0 bytes
      } else if ((int64_t)r.offset < diskSize) {
        uint64_t n = std::min<uint64_t>(r.length, diskSize - r.offset);
        memset(o + sizeof reply, 0, n);
        for (uint64_t done = 0; done < n;) {
          int64_t pos = r.offset + done;
          int64_t block = pos >> 20;
          uint64_t inBlock = pos & ((1 << 20) - 1);
          uint64_t take = std::min<uint64_t>(n - done, (1 << 20) - inBlock);
          auto b = diskBlocks.find(block);
          if (b != diskBlocks.end() && inBlock < b->second.size())
            memcpy(o + sizeof reply + done, b->second.data() + inBlock,
                   std::min<uint64_t>(take, b->second.size() - inBlock));
          done += take;
        }
        reply.bytesRead = (uint32_t)n;
      }
      memcpy(o, &reply, sizeof reply);
      *returned = ReadLocalOutputSize(r.length);
      return true;
    }
    case IOCTL_ZELKO_WRITE_DISK: {
      WriteDiskRecord r;
      if (inLen < sizeof r) return Fail(ERROR_INSUFFICIENT_BUFFER);
      memcpy(&r, in, sizeof r);
      if (r.length == 0 || r.length > kMaxTransfer) return Fail(ERROR_INVALID_PARAMETER);
      if (inLen < WriteDiskInputSize(r.length)) return Fail(ERROR_INSUFFICIENT_BUFFER);
      const auto* d = static_cast<const uint8_t*>(in) + sizeof r;
      written[r.offset] = std::vector<uint8_t>(d, d + r.length);
      *returned = ++writeCalls_ == shortWriteAt ? r.length - 1 : r.length;
      return true;
    }
    case IOCTL_ZELKO_EXIT_SUPER_USER: {
      if (inLen < 1 || outLen < sizeof(ExitSuperUserRecord)) return Fail(ERROR_INSUFFICIENT_BUFFER);
      if (static_cast<const uint8_t*>(in)[0] != 1) return Fail(ERROR_INVALID_PARAMETER);
      ExitSuperUserRecord r = {};
      for (auto& [off, data] : written) r.mergedBytes += data.size();
      r.mergedBlocks = r.mergedBytes / 4096;
      memcpy(out, &r, sizeof r);
      *returned = sizeof r;
      return true;
    }
  }
  return Fail(ERROR_INVALID_FUNCTION);
}
