// The upload start and its progress dialog, driven through window messages from a second
// thread as an operator would, with a scripted engine on the worker. RunUpload runs on the test
// thread, which is the dialog thread.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>

#include "FakeDevices.h"
#include "api/Settings.h"
#include "api/Text.h"
#include "res/resource.h"
#include "upload/UploadDialog.h"

namespace {

std::wstring Text(HWND w) {
  wchar_t buf[1024] = {};
  DWORD_PTR n = 0;
  SendMessageTimeoutW(w, WM_GETTEXT, 1024, (LPARAM)buf, SMTO_ABORTIFHUNG, 2000, &n);
  return buf;
}

HWND WaitDialog(const wchar_t* caption, int ms = 10000) {
  for (int t = 0; t < ms; t += 20) {
    HWND w = FindWindowW(L"#32770", caption);
    if (w && IsWindowVisible(w)) return w;
    Sleep(20);
  }
  return nullptr;
}

bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
  for (int t = 0; t < ms; t += 10) {
    if (cond()) return true;
    Sleep(10);
  }
  return cond();
}

int ProgressPos(HWND dlg) {
  DWORD_PTR pos = 0;
  SendMessageTimeoutW(GetDlgItem(dlg, IDC_UP_PROGRESS), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &pos);
  return (int)pos;
}

void Press(HWND dlg, int id) { PostMessageW(GetDlgItem(dlg, id), BM_CLICK, 0, 0); }

class UploadDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    Settings().instance = GetModuleHandleW(nullptr);
    Settings().serverHost = L"127.0.0.1";
    Settings().apiPort = 5123;
    Settings().userName = "operator";
    main_ = CreateWindowExW(0, L"STATIC", L"upload-test-main", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                            nullptr, nullptr, nullptr);
  }
  void TearDown() override { DestroyWindow(main_); }

  // Runs RunUpload on this thread and `operate` on another; failures of the operator thread
  // are collected and reported here.
  void Run(const UploadRunner& runner, const std::function<void()>& operate) {
    std::thread op([&] { operate(); });
    RunUpload(main_, "7", dev_, runner);
    returned_ = GetTickCount64();
    op.join();
    for (const auto& f : failures_) ADD_FAILURE() << f;
  }
  void Check(bool ok, const std::string& what) {
    if (ok) return;
    std::lock_guard<std::mutex> lk(mu_);
    failures_.push_back(what);
  }
  // Answers the confirmation and returns the progress dialog.
  HWND Confirm() {
    HWND box = WaitDialog(L"确认上传");
    Check(box != nullptr, "no confirmation box");
    if (!box) return nullptr;
    std::wstring t = Text(GetDlgItem(box, 0xFFFF));
    Check(t.find(L"即将上传 PhysicalDrive0 到镜像 ID=7\n服务器: 127.0.0.1:9501 (ZelkoProtocol 直写通道)") == 0,
          "confirmation text: " + WideToUtf8(t));
    Press(box, IDYES);
    HWND dlg = WaitDialog(L"系统上传进度");
    Check(dlg != nullptr, "no progress dialog");
    return dlg;
  }

  HWND main_ = nullptr;
  FakeDevices dev_;
  std::mutex mu_;
  std::vector<std::string> failures_;
  ULONGLONG returned_ = 0;
};

TEST_F(UploadDialogTest, MissingDriverOrRightsAreReportedAndNothingElseHappens) {
  bool ran = false;
  auto runner = [&](const UploadParams&, const ProgressCallback&, const std::atomic<bool>&) {
    ran = true;
    return std::string();
  };
  dev_.controlOpenError = ERROR_FILE_NOT_FOUND;
  Run(runner, [&] {
    HWND box = WaitDialog(L"驱动未就绪");
    Check(box != nullptr, "no driver box");
    if (!box) return;
    Check(Text(GetDlgItem(box, 0xFFFF)) ==
              L"ZelkoVd 驱动未安装或未运行！\n\n请先运行 DriverInstaller\\install-zelko-client 安装客户端驱动，\n"
              L"并确保 testsigning 模式已开启，然后重启计算机。",
          "driver box text");
    Press(box, IDOK);
  });
  // The control device admits administrators only: a refused open is not a missing driver.
  dev_.controlOpenError = ERROR_ACCESS_DENIED;
  Run(runner, [&] {
    HWND box = WaitDialog(L"错误");
    Check(box != nullptr, "no rights box");
    if (!box) return;
    Check(Text(GetDlgItem(box, 0xFFFF)) == L"请以管理员身份运行客户端。", "rights box text");
    Press(box, IDOK);
  });
  EXPECT_FALSE(ran);
  EXPECT_EQ(FindWindowW(L"#32770", L"系统上传进度"), nullptr);
}

TEST_F(UploadDialogTest, AnsweringNoChangesNothing) {
  bool ran = false;
  Run([&](const UploadParams&, const ProgressCallback&, const std::atomic<bool>&) {
        ran = true;
        return std::string();
      },
      [&] {
        HWND box = WaitDialog(L"确认上传");
        Check(box != nullptr, "no confirmation box");
        if (box) Press(box, IDNO);
      });
  EXPECT_FALSE(ran);
  EXPECT_EQ(FindWindowW(L"#32770", L"系统上传进度"), nullptr);
  EXPECT_EQ(dev_.openHandles, 0);
}

// Phase records (total 0) move the bar and the status only; full records fill the detail lines;
// the finished upload offers "关闭", which closes the dialog and ends the start. Meanwhile the
// main window keeps answering.
TEST_F(UploadDialogTest, ProgressRecordsAndSuccess) {
  std::atomic<int> step{0};
  UploadParams seen;
  auto runner = [&](const UploadParams& p, const ProgressCallback& cb, const std::atomic<bool>&) {
    seen.imageId = p.imageId;
    seen.clientId = p.clientId;
    seen.serverHost = p.serverHost;
    seen.serverPort = p.serverPort;
    seen.apiHost = p.apiHost;
    seen.apiPort = p.apiPort;
    seen.physicalDiskPath = p.physicalDiskPath;
    seen.sparseUpload = p.sparseUpload;
    seen.systemPartitionOnly = p.systemPartitionOnly;
    ProgressInfo phase;
    phase.status = "正在申请上传会话...";
    phase.percent = 3.9;
    cb(phase);
    while (step < 1) Sleep(5);
    ProgressInfo full;
    full.doneBlocks = 48;
    full.totalBlocks = 96;
    full.bytesUploaded = 3 * 1048576 + 524288;
    full.bytesSkipped = 1048576;
    full.percent = 50.7;
    full.speed = 12.34;
    full.elapsed = 4;
    full.remaining = 3;
    full.status = "正在上传... 48/96 块";
    cb(full);
    while (step < 2) Sleep(5);
    return std::string();
  };
  Run(runner, [&] {
    HWND dlg = Confirm();
    if (!dlg) return;
    HWND status = GetDlgItem(dlg, IDC_UP_STATUS), detail = GetDlgItem(dlg, IDC_UP_DETAIL);
    HWND button = GetDlgItem(dlg, IDC_UP_CANCEL);
    Check(WaitFor([&] { return Text(status) == L"正在申请上传会话..."; }), "phase status");
    Check(ProgressPos(dlg) == 3, "bar at the phase's percent");
    Check(Text(detail).empty(), "detail lines stay empty for total 0");
    Check(IsWindowEnabled(button) && Text(button) == L"取消上传", "cancel button enabled");
    // The dialog thread pumps the main window's messages too.
    DWORD_PTR r = 0;
    Check(SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &r) != 0, "main window answers");
    step = 1;
    Check(WaitFor([&] { return Text(status) == L"正在上传... 48/96 块"; }), "loop status");
    Check(ProgressPos(dlg) == 50, "bar truncated to 50");
    Check(Text(detail) == L"已上传: 3.50 MB / 速度: 12.3 MB/s / 已用: 4 秒 / 剩余: 3 秒\n块进度: 48 / 96  (跳过零块: 1.00 MB)",
          "detail lines: " + WideToUtf8(Text(detail)));
    step = 2;
    Check(WaitFor([&] { return Text(status) == L"系统上传完成！"; }), "success status");
    Check(WaitFor([&] { return Text(button) == L"关闭" && IsWindowEnabled(button); }), "close button");
    Press(dlg, IDC_UP_CANCEL);
    Check(WaitFor([&] { return !IsWindow(dlg); }), "dialog closed");
  });
  EXPECT_EQ(seen.imageId, "7");
  EXPECT_EQ(seen.clientId, "operator");
  EXPECT_EQ(seen.serverHost, "127.0.0.1");
  EXPECT_EQ(seen.serverPort, 9501u);
  EXPECT_EQ(seen.apiHost, "127.0.0.1");
  EXPECT_EQ(seen.apiPort, 5123);
  EXPECT_EQ(seen.physicalDiskPath, L"\\\\.\\PhysicalDrive0");
  EXPECT_TRUE(seen.sparseUpload && seen.systemPartitionOnly);
}

TEST_F(UploadDialogTest, CancelButtonStopsTheUploadAndShowsItsText) {
  auto runner = [&](const UploadParams&, const ProgressCallback& cb, const std::atomic<bool>& cancel) {
    ProgressInfo p;
    for (int i = 0; !cancel; ++i) {
      p.doneBlocks = i;
      p.totalBlocks = 1000000;
      p.status = "正在上传...";
      cb(p);  // a flood of progress must not starve the dialog's input
      Sleep(1);
    }
    Sleep(100);
    return std::string("上传已取消");
  };
  Run(runner, [&] {
    HWND dlg = Confirm();
    if (!dlg) return;
    HWND status = GetDlgItem(dlg, IDC_UP_STATUS), button = GetDlgItem(dlg, IDC_UP_CANCEL);
    Check(WaitFor([&] { return Text(status) == L"正在上传..."; }), "uploading");
    Press(dlg, IDC_UP_CANCEL);
    Check(WaitFor([&] { return !IsWindowEnabled(button); }), "button disabled while cancelling");
    Check(WaitFor([&] { return Text(status) == L"上传失败:\n上传已取消"; }), "cancel text: " + WideToUtf8(Text(status)));
    Check(Text(button) == L"关闭" && IsWindowEnabled(button), "close button after cancel");
    Press(dlg, IDC_UP_CANCEL);
    Check(WaitFor([&] { return !IsWindow(dlg); }), "dialog closed");
  });
}

// The close box cancels; the start keeps the parameters until the worker has ended, although
// the dialog is gone long before.
TEST_F(UploadDialogTest, CloseBoxDuringAnUploadWaitsForTheWorker) {
  std::atomic<ULONGLONG> workerEnd{0};
  std::atomic<bool> dialogGoneFirst{false};
  HWND dlgSeen = nullptr;
  auto runner = [&](const UploadParams& p, const ProgressCallback& cb, const std::atomic<bool>& cancel) {
    ProgressInfo info;
    info.status = "正在上传...";
    while (!cancel) {
      cb(info);
      Sleep(5);
    }
    Sleep(400);  // the engine finishes its current block
    for (int i = 0; i < 20; ++i) cb(info);  // posts to a dialog that is gone: dropped, not leaked
    dialogGoneFirst = !IsWindow(p.progressWindow);
    workerEnd = GetTickCount64();
    return std::string("上传已取消");
  };
  Run(runner, [&] {
    HWND dlg = Confirm();
    if (!dlg) return;
    dlgSeen = dlg;
    Check(WaitFor([&] { return Text(GetDlgItem(dlg, IDC_UP_STATUS)) == L"正在上传..."; }), "uploading");
    PostMessageW(dlg, WM_CLOSE, 0, 0);
    Check(WaitFor([&] { return !IsWindow(dlg); }), "dialog destroyed by the close box");
  });
  EXPECT_TRUE(dialogGoneFirst);
  EXPECT_NE(workerEnd.load(), 0u);
  EXPECT_GE(returned_, workerEnd.load());
}

}  // namespace
