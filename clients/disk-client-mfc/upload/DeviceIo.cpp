#include "DeviceIo.h"

namespace {

class SystemIo final : public DeviceIo {
 public:
  HANDLE Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags) override {
    return CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  bool Control(HANDLE h, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
               DWORD* returned) override {
    DWORD n = 0;
    // The driver completes every request before returning, so even on a handle opened with
    // FILE_FLAG_OVERLAPPED no OVERLAPPED is needed (the records are the caller's to keep).
    BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inLen, out, outLen, &n, nullptr);
    if (returned) *returned = n;
    return ok != FALSE;
  }
  void Close(HANDLE h) override { CloseHandle(h); }
};

}  // namespace

DeviceIo& SystemDeviceIo() {
  static SystemIo io;
  return io;
}
