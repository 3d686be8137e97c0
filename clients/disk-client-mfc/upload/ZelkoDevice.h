// Typed wrappers of the driver's control requests used by the upload, one per request, over the
// records of clients/shared/ZelkoControl.h; and the two local disk queries of the upload. Every
// wrapper returns failure with the system's last error left for the caller's message.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceIo.h"

// What the upload configures LUN 0 with (UTF-8 strings as the upload carries them).
struct ZelkoUploadConfig {
  std::string serverHost;
  uint16_t serverPort = 0;
  std::string imageId;   // decimal; the IQN is built from it
  std::string clientId;
  std::string token;     // the upload token, sent as the super-user token
};

class ZelkoDevice {
 public:
  explicit ZelkoDevice(DeviceIo& io);
  ~ZelkoDevice();
  ZelkoDevice(const ZelkoDevice&) = delete;
  ZelkoDevice& operator=(const ZelkoDevice&) = delete;

  // "\\.\ZelkoVd" for reading and writing, unshared, overlapped flag.
  bool Open();
  void Close();

  bool SetConfig(const ZelkoUploadConfig& cfg);
  bool Connect();
  bool Handshake();
  // Reads up to `length` (at most 1 MiB) bytes at `offset` of a local device through the
  // kernel. Returns the bytes read, copied into `buf`; 0 when the request fails, the length is
  // too large or the driver read nothing (then the last error is ERROR_READ_FAULT).
  uint32_t ReadLocal(const std::wstring& devicePath, uint64_t offset, void* buf, uint32_t length);
  // Writes `length` (1 .. 1 MiB) bytes at `offset` of LUN 0; returns the driver's byte count,
  // 0 on failure or a bad length.
  uint32_t WriteDisk(int64_t offset, const void* data, uint32_t length);
  bool Flush();
  bool ExitSuperUser(bool commit, uint64_t* mergedBlocks, uint64_t* mergedBytes);

 private:
  bool Simple(DWORD code);

  DeviceIo& io_;
  HANDLE h_ = INVALID_HANDLE_VALUE;
  // One request buffer per upload, big enough for a READ_LOCAL answer (the largest record).
  std::vector<uint8_t> request_;
};

// "\\.\X" becomes the kernel object name "\??\X"; other paths stay as they are; cut to 127
// characters (the record's field).
std::wstring KernelObjectPath(const std::wstring& path);
// The IQN of an image: "iqn.2024-01." + naming authority + ":image." + id.
std::string ImageIqn(const std::string& imageId);

// Length of a physical disk in bytes (IOCTL_DISK_GET_LENGTH_INFO); 0 on any failure.
int64_t GetPhysicalDiskSize(DeviceIo& io, const std::wstring& physicalDiskPath);
// Start and length of volume C: on `physicalDiskPath`. False when the extents cannot be read,
// report none, or the first extent lies on another disk than the one being uploaded (then the
// last error is ERROR_NOT_SAME_DEVICE): reading another disk's offsets would upload garbage.
bool GetCDriveExtent(DeviceIo& io, const std::wstring& physicalDiskPath, int64_t* start,
                     int64_t* length);
