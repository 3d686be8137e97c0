// The system disk upload: reads this PC's physical disk through the driver and writes it into a
// server image through the driver, then makes the disk server merge it.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class DeviceIo;

// One record per upload, built by the upload start and read by the engine.
struct UploadParams {
  std::wstring physicalDiskPath = L"\\\\.\\PhysicalDrive0";
  std::string imageId;      // decimal, UTF-8
  std::string clientId;     // UTF-8
  std::string serverHost;   // disk server, UTF-8
  uint32_t serverPort = 9501;
  std::string apiHost;      // management server, UTF-8
  int apiPort = 0;
  bool sparseUpload = true;
  bool systemPartitionOnly = true;
  HWND progressWindow = nullptr;
  std::atomic<bool> cancel{false};  // set by the progress dialog, polled by the engine
  std::string result;               // written by the worker: empty on success
};

struct ProgressInfo {
  int64_t doneBlocks = 0;
  int64_t totalBlocks = 0;
  int64_t bytesUploaded = 0;
  int64_t bytesSkipped = 0;
  double percent = 0;
  double speed = 0;    // MB/s
  int32_t elapsed = 0;    // seconds
  int32_t remaining = 0;  // seconds
  std::string status;     // UTF-8, shown verbatim
};

using ProgressCallback = std::function<void(const ProgressInfo&)>;

constexpr uint32_t kUploadBlockSize = 0x100000;

// Runs the whole upload on the calling thread. Returns "" on success, else the operator's
// error text (UTF-8), "上传已取消" when `cancel` was set. `io` is the door to the devices.
std::string UploadSystem(const UploadParams& params, const ProgressCallback& progress,
                         const std::atomic<bool>& cancel, DeviceIo& io);

// The upload's range on the disk, from C:'s extent (system-partition-only) or the disk's length.
struct UploadRange {
  int64_t uploadSize = 0;
  int64_t totalBlocks = 0;
  int64_t headerEndBlock = 0;  // blocks 0..headerEndBlock are read and written unconditionally
};
UploadRange SystemPartitionRange(int64_t cStart, int64_t cSize);
UploadRange WholeDiskRange(int64_t diskSize);

// "zelko_upload.log" in the temporary directory; one line per call, opened and closed each time.
std::string UploadLogPath();
void UploadLog(const char* format, ...);
