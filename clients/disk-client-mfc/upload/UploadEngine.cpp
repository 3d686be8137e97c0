#include "UploadEngine.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "../api/Operations.h"
#include "../api/Text.h"
#include "DeviceIo.h"
#include "ZelkoDevice.h"

namespace {

constexpr int64_t kBlock = kUploadBlockSize;
constexpr double kMiB = 1048576.0;
constexpr double kGiB = 1073741824.0;

std::string Format(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

std::string Hex(int64_t v) { return Format("%llX", (unsigned long long)v); }
std::string Dec(unsigned long v) { return std::to_string(v); }

bool AllZero(const uint8_t* p, size_t n) {
  // Word-wise: most blocks of a fresh install are either all zero or clearly not.
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    if (w) return false;
  }
  for (; i < n; ++i)
    if (p[i]) return false;
  return true;
}

class Reporter {
 public:
  Reporter(const ProgressCallback& cb) : cb_(cb), start_(GetTickCount64()) {}

  void Phase(const std::string& text) const {
    ProgressInfo p;
    p.status = text;
    if (cb_) cb_(p);
  }

  ProgressInfo Full(int64_t done, int64_t total, int64_t uploaded, int64_t skipped) const {
    ProgressInfo p;
    p.doneBlocks = done;
    p.totalBlocks = total;
    p.bytesUploaded = uploaded;
    p.bytesSkipped = skipped;
    p.percent = total > 0 ? (double)done * 100.0 / (double)total : 0.0;
    p.elapsed = (int32_t)((GetTickCount64() - start_) / 1000);
    if (p.elapsed > 0 && uploaded > 0) {
      p.speed = (double)uploaded / kMiB / p.elapsed;
      if (p.percent > 0 && p.percent < 100) p.remaining = (int32_t)((100 - p.percent) * p.elapsed / p.percent);
    }
    p.status = "正在上传... " + std::to_string(done) + "/" + std::to_string(total) + " 块";
    return p;
  }

  void Report(const ProgressInfo& p) const {
    if (cb_) cb_(p);
  }

 private:
  const ProgressCallback& cb_;
  ULONGLONG start_;
};

}  // namespace

std::string UploadLogPath() {
  char dir[MAX_PATH + 1] = {};
  DWORD n = GetTempPathA(MAX_PATH + 1, dir);
  std::string path = n > 0 && n <= MAX_PATH ? std::string(dir, n) : std::string();
  return path + "zelko_upload.log";
}

void UploadLog(const char* format, ...) {
  char msg[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(msg, sizeof msg, format, ap);
  va_end(ap);
  time_t now = time(nullptr);
  struct tm tmNow;
  localtime_s(&tmNow, &now);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmNow);
  // Opened and closed per line: the log must hold everything up to a crash or a forced exit.
  FILE* f = fopen(UploadLogPath().c_str(), "ab");
  if (!f) return;
  fprintf(f, "[%s] %s\n", stamp, msg);
  fclose(f);
}

UploadRange SystemPartitionRange(int64_t cStart, int64_t cSize) {
  UploadRange r;
  r.uploadSize = cStart + cSize;
  r.totalBlocks = (r.uploadSize + kBlock - 1) / kBlock;
  r.headerEndBlock = (cStart + kBlock - 1) / kBlock;
  return r;
}

UploadRange WholeDiskRange(int64_t diskSize) {
  UploadRange r;
  r.uploadSize = diskSize;
  r.totalBlocks = (diskSize + kBlock - 1) / kBlock;
  r.headerEndBlock = 0;
  return r;
}

std::string UploadSystem(const UploadParams& params, const ProgressCallback& progress,
                         const std::atomic<bool>& cancel, DeviceIo& io) {
  Reporter rep(progress);
  const std::string diskPath = WideToUtf8(params.physicalDiskPath);
  UploadLog("========== UploadSystem 开始 ==========");
  UploadLog("imageId=%s, clientId=%s, serverIp=%s:%d", params.imageId.c_str(), params.clientId.c_str(),
            params.serverHost.c_str(), (int)params.serverPort);
  UploadLog("physicalDiskPath=%s", diskPath.c_str());
  UploadLog("systemPartitionOnly=%d, sparseUpload=%d", params.systemPartitionOnly ? 1 : 0,
            params.sparseUpload ? 1 : 0);

  rep.Phase("正在申请上传会话...");
  std::string token, error;
  if (!RequestUploadSession(Utf8ToWide(params.apiHost), params.apiPort,
                            _strtoi64(params.imageId.c_str(), nullptr, 10), token, error))
    return error;

  rep.Phase("正在打开 ZelkoVd 驱动...");
  ZelkoDevice dev(io);  // closes the handle on every return
  if (!dev.Open())
    return "打开 \\\\.\\ZelkoVd 失败 (错误码=" + Dec(GetLastError()) + ")。请确认驱动已安装且正在运行。";

  rep.Phase("正在配置驱动（超管模式）...");
  ZelkoUploadConfig cfg;
  cfg.serverHost = params.serverHost;
  cfg.serverPort = (uint16_t)params.serverPort;
  cfg.imageId = params.imageId;
  cfg.clientId = params.clientId;
  cfg.token = token;
  if (!dev.SetConfig(cfg)) return "SetConfig 失败 (错误码=" + Dec(GetLastError()) + ")";

  rep.Phase("正在连接服务器 " + params.serverHost + ":" + std::to_string(params.serverPort) + "...");
  if (!dev.Connect())
    return "Connect 失败 (错误码=" + Dec(GetLastError()) +
           ")。TCP 预检已通过但驱动 WSK 连接失败，可能是 NETIO/WSK 子系统问题。"
           "请检查客户端 ZelkoVd 驱动状态 (sc query ZelkoVd)。";

  rep.Phase("正在 ZelkoProtocol 握手...");
  if (!dev.Handshake())
    return "Handshake 失败 (错误码=" + Dec(GetLastError()) + ")。可能是 UploadToken 已过期或 IQN 不匹配。";

  rep.Phase("正在获取磁盘信息...");
  int64_t physicalSize = GetPhysicalDiskSize(io, params.physicalDiskPath);
  DWORD sizeError = physicalSize > 0 ? 0 : GetLastError();
  UploadLog("PhysicalDiskSize=%lld bytes (%.2f GB)", (long long)physicalSize, physicalSize / kGiB);

  UploadRange range;
  int64_t cStart = 0, cSize = 0;
  if (params.systemPartitionOnly) {
    if (!GetCDriveExtent(io, params.physicalDiskPath, &cStart, &cSize)) {
      DWORD err = GetLastError();
      UploadLog("ERROR: GetCDriveExtent 失败, err=%lu", err);
      return "无法获取 C 盘分区位置 (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 失败，错误码=" + Dec(err) +
             ")。请以管理员身份运行客户端。";
    }
    range = SystemPartitionRange(cStart, cSize);
    UploadLog("GetCDriveExtent: cStart=%lld bytes (%.2f MB), cSize=%lld bytes (%.2f MB)", (long long)cStart,
              cStart / kMiB, (long long)cSize, cSize / kMiB);
    UploadLog("uploadSize=cStart+cSize=%lld bytes (%.2f GB)", (long long)range.uploadSize, range.uploadSize / kGiB);
    if (physicalSize > 0) {
      double ratio = (double)range.uploadSize * 100.0 / (double)physicalSize;
      UploadLog("uploadSize / physicalDiskSize = %.1f%%", ratio);
      if (ratio > 95.0) UploadLog("WARNING: uploadSize 接近物理磁盘大小! C盘可能占满了整个磁盘");
    }
    char text[512];
    snprintf(text, sizeof text, "C 盘范围: 起始=%.0fMB 大小=%.0fMB 上传范围=%.2fGB 磁盘大小=%.2fGB",
             cStart / kMiB, cSize / kMiB, range.uploadSize / kGiB, physicalSize / kGiB);
    rep.Phase(text);
  } else {
    if (physicalSize <= 0) {
      UploadLog("ERROR: GetPhysicalDiskSize 失败, err=%lu", sizeError);
      return "无法获取物理磁盘大小: " + diskPath + " (错误码=" + Dec(sizeError) + ")。请以管理员身份运行客户端。";
    }
    range = WholeDiskRange(physicalSize);
    UploadLog("整盘模式: uploadSize=%lld bytes (%.2f GB)", (long long)range.uploadSize, range.uploadSize / kGiB);
  }

  const int64_t total = range.totalBlocks;
  UploadLog("上传参数: totalBlocks=%lld, BLOCK_SIZE=%d, headerEndBlock=%lld, uploadSize=%lld", (long long)total,
            (int)kBlock, (long long)range.headerEndBlock, (long long)range.uploadSize);
  UploadLog("上传范围: [0, %lld bytes] = [0, %.2f GB]", (long long)range.uploadSize, range.uploadSize / kGiB);
  if (params.systemPartitionOnly)
    UploadLog("C盘结束块=%lld (offset=%lld bytes), 超过此块即为越界上传", (long long)((cStart + cSize) / kBlock),
              (long long)(cStart + cSize));

  std::unique_ptr<uint8_t[]> buf(new uint8_t[kBlock]);
  int64_t done = 0, uploaded = 0, skipped = 0, zeroBlocks = 0;
  for (int64_t i = 0; i < total; ++i) {
    const int64_t offset = i * kBlock;
    const uint32_t length = (uint32_t)(range.uploadSize - offset < kBlock ? range.uploadSize - offset : kBlock);
    if (cancel.load()) return "上传已取消";

    uint32_t got = dev.ReadLocal(params.physicalDiskPath, (uint64_t)offset, buf.get(), length);
    if (got == 0) {
      if (i <= range.headerEndBlock)
        return "读取磁盘头部失败 (offset=0x" + Hex(offset) + ", 错误码=" + Dec(GetLastError()) +
               ")。MBR/GPT 分区表必须成功读取。";
      // A block left out would keep whatever the image held there: one more try, then give up.
      got = dev.ReadLocal(params.physicalDiskPath, (uint64_t)offset, buf.get(), length);
      if (got == 0)
        return "读取磁盘数据失败 (offset=0x" + Hex(offset) + ", 错误码=" + Dec(GetLastError()) + ")。";
    }

    if (params.sparseUpload && i > range.headerEndBlock && AllZero(buf.get(), got)) {
      ++done;
      skipped += got;
      ++zeroBlocks;
      if (done % 16 == 0) rep.Report(rep.Full(done, total, uploaded, skipped));
      continue;
    }

    uint32_t written = dev.WriteDisk(offset, buf.get(), got);
    if (written != got) return "Write 失败 (offset=0x" + Hex(offset) + ", 错误码=" + Dec(GetLastError()) + ")";
    ++done;
    uploaded += written;
    if (done % 16 == 0) rep.Report(rep.Full(done, total, uploaded, skipped));
    if (done % 256 == 0)
      UploadLog("进度: block %lld/%lld, offset=%.2f GB, uploaded=%.2f GB, skipped=%.2f GB", (long long)done,
                (long long)total, offset / kGiB, uploaded / kGiB, skipped / kGiB);
  }
  buf.reset();
  rep.Report(rep.Full(done, total, uploaded, skipped));
  UploadLog("上传循环完成: doneBlocks=%lld, bytesUploaded=%lld (%.2f GB), bytesSkipped=%lld (%.2f GB), zeroBlocks=%lld",
            (long long)done, (long long)uploaded, uploaded / kGiB, (long long)skipped, skipped / kGiB,
            (long long)zeroBlocks);
  UploadLog("实际上传范围: [0, %lld bytes] = [0, %.2f GB]", (long long)range.uploadSize, range.uploadSize / kGiB);
  if (physicalSize > 0)
    UploadLog("物理磁盘大小: %.2f GB, 上传范围占比: %.1f%%", physicalSize / kGiB,
              (double)range.uploadSize * 100.0 / (double)physicalSize);

  rep.Phase("正在刷盘...");
  if (!dev.Flush()) return "Flush 失败 (错误码=" + Dec(GetLastError()) + ")";

  rep.Phase("正在提交更改（合并 COW 层）...");
  uint64_t mergedBlocks = 0, mergedBytes = 0;
  if (!dev.ExitSuperUser(true, &mergedBlocks, &mergedBytes))
    return "ExitSuperUser 失败 (错误码=" + Dec(GetLastError()) + ")";

  ProgressInfo fin = rep.Full(done, total, uploaded, skipped);
  fin.percent = 100;
  fin.remaining = 0;
  fin.status = std::string(params.systemPartitionOnly ? "上传完成！分区表 + C 盘已上传，合并 "
                                                      : "上传完成！整盘已上传，合并 ") +
               std::to_string(mergedBlocks) + " 块 (" + std::to_string(mergedBytes / 1048576) + " MB)";
  rep.Report(fin);
  UploadLog("========== UploadSystem 完成 ==========");
  UploadLog("mergedBlocks=%lld, mergedBytes=%lld", (long long)mergedBlocks, (long long)mergedBytes);
  return "";
}
