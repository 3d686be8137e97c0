// A scripted stand-in for the three devices the upload talks to: the driver's control device
// (which records every request and keeps the "server image" the upload writes), the physical
// disk (sparse: blocks not given read as zero) and the C: volume.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ZelkoControl.h"
#include "upload/DeviceIo.h"

class FakeDevices : public DeviceIo {
 public:
  // Physical disk
  int64_t diskSize = 64 << 20;
  DWORD diskNumber = 0;
  std::map<int64_t, std::vector<uint8_t>> diskBlocks;  // by 1 MiB block index, full blocks
  std::map<int64_t, int> readFailures;                 // READ_LOCAL at this offset fails N times
  // C: volume (its first extent)
  bool volumeFails = false;
  DWORD volumeError = ERROR_INVALID_FUNCTION;
  DWORD volumeDiskNumber = 0;
  int64_t cStart = 1 << 20, cSize = 32 << 20;
  // Control device
  DWORD controlOpenError = 0;                  // non-zero: opening "\\.\ZelkoVd" fails with it
  std::map<DWORD, DWORD> failCode;             // request code -> last error it fails with
  uint32_t shortWriteAt = UINT32_MAX;          // WRITE_DISK n-th call answers one byte less
  std::atomic<bool>* cancelAfter = nullptr;    // set after `cancelAfterReads` READ_LOCALs
  int cancelAfterReads = 0;

  // What the upload did
  std::vector<DWORD> codes;                    // every control-device request, in order
  zelko::control::SetConfigRecord config = {};
  std::vector<std::pair<uint64_t, uint32_t>> reads;  // offset, length
  std::wstring readPath;
  std::map<int64_t, std::vector<uint8_t>> written;   // offset -> data
  int opensOfControl = 0;
  int openHandles = 0;

  void SetBlock(int64_t index, uint8_t fill, size_t len = 1 << 20) {
    diskBlocks[index] = std::vector<uint8_t>(len, fill);
  }
  int Count(DWORD code) const;

  HANDLE Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override;
  bool Control(HANDLE h, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
               DWORD* returned) override;
  void Close(HANDLE h) override;

 private:
  bool Fail(DWORD error) {
    SetLastError(error);
    return false;
  }
  bool Zelko(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned);
  uint32_t writeCalls_ = 0;
};
