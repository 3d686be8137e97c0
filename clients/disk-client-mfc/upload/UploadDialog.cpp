#include "UploadDialog.h"

#include <commctrl.h>

#include <cstdio>
#include <memory>

#include "../api/Settings.h"
#include "../api/Text.h"
#include "../res/resource.h"
#include "DeviceIo.h"

namespace {

// Lives in RunUpload's frame, which outlasts both the dialog and the worker.
struct UploadRun {
  std::unique_ptr<UploadParams> params;
  UploadRunner runner;
  bool finished = false;  // dialog thread only: WM_UPLOAD_FINISHED has arrived
};

DWORD WINAPI UploadWorker(LPVOID arg) {
  auto* run = static_cast<UploadRun*>(arg);
  UploadParams& p = *run->params;
  const HWND window = p.progressWindow;
  auto onProgress = [window](const ProgressInfo& info) {
    auto* copy = new ProgressInfo(info);
    // The dialog may be gone already (closed with the close box): then nobody owns the copy.
    if (!PostMessageW(window, WM_UPLOAD_PROGRESS, 0, (LPARAM)copy)) delete copy;
  };
  std::string result = run->runner(p, onProgress, p.cancel);
  p.result = result;
  PostMessageW(window, WM_UPLOAD_FINISHED, 0, 0);
  return 0;
}

void SetText(HWND dlg, int id, const std::string& utf8) {
  SetDlgItemTextW(dlg, id, Utf8ToWide(utf8).c_str());
}

}  // namespace

INT_PTR CALLBACK UploadProgressDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* run = reinterpret_cast<UploadRun*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dlg, DWLP_USER, lp);
      SendDlgItemMessageW(dlg, IDC_UP_PROGRESS, PBM_SETRANGE32, 0, 100);
      SendDlgItemMessageW(dlg, IDC_UP_PROGRESS, PBM_SETPOS, 0, 0);
      EnableWindow(GetDlgItem(dlg, IDC_UP_CANCEL), TRUE);
      return TRUE;
    case WM_UPLOAD_PROGRESS: {
      std::unique_ptr<ProgressInfo> p(reinterpret_cast<ProgressInfo*>(lp));
      SendDlgItemMessageW(dlg, IDC_UP_PROGRESS, PBM_SETPOS, (WPARAM)(int)p->percent, 0);
      SetText(dlg, IDC_UP_STATUS, p->status);
      if (p->totalBlocks > 0) {
        wchar_t text[512];
        _snwprintf(text, 512,
                   L"已上传: %.2f MB / 速度: %.1f MB/s / 已用: %d 秒 / 剩余: %d 秒\n"
                   L"块进度: %lld / %lld  (跳过零块: %.2f MB)",
                   p->bytesUploaded / 1048576.0, p->speed, (int)p->elapsed, (int)p->remaining,
                   (long long)p->doneBlocks, (long long)p->totalBlocks, p->bytesSkipped / 1048576.0);
        text[511] = 0;
        SetDlgItemTextW(dlg, IDC_UP_DETAIL, text);
      }
      return TRUE;
    }
    case WM_UPLOAD_FINISHED:
      if (!run) return TRUE;
      run->finished = true;
      if (run->params->result.empty())
        SetDlgItemTextW(dlg, IDC_UP_STATUS, L"系统上传完成！");
      else
        SetText(dlg, IDC_UP_STATUS, "上传失败:\n" + run->params->result);
      SetDlgItemTextW(dlg, IDC_UP_CANCEL, L"关闭");
      EnableWindow(GetDlgItem(dlg, IDC_UP_CANCEL), TRUE);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDC_UP_CANCEL && run) {
        if (run->finished) {
          DestroyWindow(dlg);
        } else {
          run->params->cancel = true;
          SetDlgItemTextW(dlg, IDC_UP_STATUS, L"正在取消上传...");
          EnableWindow(GetDlgItem(dlg, IDC_UP_CANCEL), FALSE);
        }
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      if (run) run->params->cancel = true;
      SendDlgItemMessageW(dlg, IDC_UP_PROGRESS, PBM_SETPOS, 100, 0);
      DestroyWindow(dlg);
      return TRUE;
  }
  return FALSE;
}

void RunUpload(HWND mainWindow, const std::string& imageIdText, DeviceIo& io, const UploadRunner& runner) {
  HANDLE h = io.Open(L"\\\\.\\ZelkoVd", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (h == INVALID_HANDLE_VALUE) {
    // The control device admits administrators only: a refused open means the driver is there.
    if (GetLastError() == ERROR_ACCESS_DENIED)
      MessageBoxW(mainWindow, L"请以管理员身份运行客户端。", L"错误", MB_OK | MB_ICONERROR);
    else
      MessageBoxW(mainWindow,
                  L"ZelkoVd 驱动未安装或未运行！\n\n请先运行 DriverInstaller\\install-zelko-client 安装客户端驱动，\n"
                  L"并确保 testsigning 模式已开启，然后重启计算机。",
                  L"驱动未就绪", MB_OK | MB_ICONERROR);
    return;
  }
  io.Close(h);

  const AppSettings& s = Settings();
  wchar_t confirm[769];
  _snwprintf(confirm, 769,
             L"即将上传 PhysicalDrive0 到镜像 ID=%ls\n服务器: %ls:%d (ZelkoProtocol 直写通道)\n"
             L"上传模式: 系统分区 + 稀疏上传\n\n说明:\n- 读取本地物理磁盘数据，通过 ZelkoVd 驱动直写到服务器镜像\n"
             L"- 无需挂载虚拟磁盘\n- 全零块自动跳过以加速\n- 上传期间请不要关闭程序\n\n确认开始上传？",
             Utf8ToWide(imageIdText).c_str(), s.serverHost.c_str(), 9501);
  confirm[768] = 0;
  if (MessageBoxW(mainWindow, confirm, L"确认上传", MB_YESNO | MB_ICONQUESTION) != IDYES) return;

  UploadRun run;
  run.runner = runner;
  run.params.reset(new UploadParams);
  UploadParams& p = *run.params;
  p.physicalDiskPath = L"\\\\.\\PhysicalDrive0";
  p.imageId = imageIdText;
  p.clientId = s.userName;
  p.serverHost = WideToUtf8(s.serverHost);
  p.serverPort = 9501;
  p.apiHost = WideToUtf8(s.serverHost);
  p.apiPort = s.apiPort;
  p.sparseUpload = true;
  p.systemPartitionOnly = true;

  HWND dlg = CreateDialogParamW(s.instance, MAKEINTRESOURCEW(IDD_UPLOAD_PROGRESS), mainWindow,
                                UploadProgressDialogProc, (LPARAM)&run);
  if (!dlg) {
    run.params.reset();
    MessageBoxW(mainWindow, L"创建进度对话框失败", L"错误", MB_OK | MB_ICONERROR);
    return;
  }
  p.progressWindow = dlg;
  ShowWindow(dlg, SW_SHOW);

  HANDLE worker = CreateThread(nullptr, 0, UploadWorker, &run, 0, nullptr);
  if (!worker) {
    // Without a worker nothing will ever finish the dialog: say so and let the operator close it.
    p.result = "无法启动上传线程 (错误码=" + std::to_string(GetLastError()) + ")";
    SendMessageW(dlg, WM_UPLOAD_FINISHED, 0, 0);
  }

  // The worker's handle is kept to learn when it has ended: once the dialog is gone the
  // worker's last message has no window to go to, so the wait itself must wake this loop.
  bool workerDone = worker == nullptr;
  bool quit = false;
  WPARAM quitCode = 0;
  for (;;) {
    if (workerDone && (quit || !IsWindow(dlg))) break;
    if (!workerDone) {
      DWORD w = MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      if (w == WAIT_OBJECT_0) {
        workerDone = true;
        continue;
      }
    } else if (!quit) {
      WaitMessage();
    }
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        // The program is ending: stop the upload, but keep the parameters until the worker is out.
        quit = true;
        quitCode = m.wParam;
        p.cancel = true;
        break;
      }
      if (!IsWindow(dlg) && m.hwnd == dlg) {
        if (m.message == WM_UPLOAD_PROGRESS) delete reinterpret_cast<ProgressInfo*>(m.lParam);
        continue;
      }
      if (IsWindow(dlg) && IsDialogMessageW(dlg, &m)) continue;
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    if (quit && !workerDone) {
      WaitForSingleObject(worker, INFINITE);
      workerDone = true;
    }
  }
  if (worker) CloseHandle(worker);
  if (IsWindow(dlg)) DestroyWindow(dlg);
  // Progress copies still queued for the dialog were never delivered: drop them with it.
  MSG m;
  while (PeekMessageW(&m, nullptr, WM_UPLOAD_PROGRESS, WM_UPLOAD_PROGRESS, PM_REMOVE))
    delete reinterpret_cast<ProgressInfo*>(m.lParam);
  run.params.reset();
  if (quit) PostQuitMessage((int)quitCode);
}
