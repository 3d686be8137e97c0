// The client's only door to device control: opening a device path, sending it one control
// request, closing it. Everything the upload does with the driver, the physical disk and the C:
// volume goes through here, so the one call of DeviceIoControl lives in DeviceIo.cpp and the
// engine's tests can stand a scripted device in for the system.
#pragma once
#include <windows.h>

class DeviceIo {
 public:
  virtual ~DeviceIo() = default;
  // CreateFileW with open-existing; INVALID_HANDLE_VALUE and the last error on failure.
  virtual HANDLE Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags) = 0;
  // One synchronous request (no OVERLAPPED); false with the last error set on failure.
  virtual bool Control(HANDLE h, DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen,
                       DWORD* returned) = 0;
  virtual void Close(HANDLE h) = 0;
};

// The system's CreateFileW / DeviceIoControl / CloseHandle.
DeviceIo& SystemDeviceIo();
