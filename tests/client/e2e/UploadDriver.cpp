// End-to-end test of the system disk upload: starts the real ZelkoMfcClient.exe, logs in,
// selects an image, presses the upload button, answers the confirmation and follows the
// progress dialog to its end: "success" waits for the completed upload, "cancel" presses
// 取消上传 once the block loop runs. What reached the server is checked by upload-e2e.sh.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "WindowDriver.h"

namespace {

void Expect(bool ok, const char* what, const std::wstring& got = L"") {
  if (ok) return;
  ++g_failures;
  fprintf(stderr, "expected %s (got \"%s\")\n", what, U8(got).c_str());
}

std::wstring Env(const wchar_t* name, bool required = true) {
  const wchar_t* v = _wgetenv(name);
  if ((!v || !*v) && required) Fatal("environment variable %s missing", U8(name).c_str());
  return v ? v : L"";
}

bool WaitText(HWND dlg, int id, const std::wstring& prefix, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 20) {
    if (ItemText(dlg, id).compare(0, prefix.size(), prefix) == 0) return true;
    Sleep(20);
  }
  return false;
}

std::string ReadLog() {
  wchar_t dir[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, dir);
  return ReadFileText(std::wstring(dir) + L"zelko_upload.log");
}

}  // namespace

int wmain() {
  SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG {
    if (g_client) TerminateProcess(g_client, 98);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
  });
  g_appDir = Env(L"ZELKO_TEST_APP_DIR");
  const std::wstring mode = Env(L"ZELKO_TEST_MODE"), host = Env(L"ZELKO_TEST_HOST");
  const int imageIndex = _wtoi(Env(L"ZELKO_TEST_IMAGE_INDEX").c_str());
  const bool shots = Env(L"ZELKO_TEST_SHOTS", false) == L"1";
  char dir[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH + 1, dir);
  DeleteFileA((std::string(dir) + "zelko_upload.log").c_str());

  StartClient();
  HWND login = WaitDialog(L"Zelko无盘 - 登录");
  SetItem(login, 1003, Env(L"ZELKO_TEST_USER"));
  SetItem(login, 1004, Env(L"ZELKO_TEST_PASSWORD"));
  Click(login, 1005);
  // This PC is not registered with the server: the main dialog warns once before it shows.
  HWND main = nullptr;
  for (int i = 0; i < 600 && !main; ++i) {
    if (HWND warn = FindDialog(L"提示", nullptr)) {
      Click(warn, IDOK);
      WaitGone(warn);
    }
    main = FindDialog(L"Zelko无盘客户端", nullptr);
    Sleep(50);
  }
  if (!main) Fatal("main dialog did not appear");
  HWND combo = GetDlgItem(main, 1044);
  SendMessageW(combo, CB_SETCURSEL, imageIndex, 0);
  Click(main, 1050);

  HWND box = WaitDialog(L"确认上传", main);
  std::wstring confirm = ItemText(box, 0xFFFF);
  Expect(confirm.find(L"服务器: " + host + L":9501 (ZelkoProtocol 直写通道)") != std::wstring::npos, "the server in the confirmation", confirm);
  Click(box, IDYES);
  HWND dlg = WaitDialog(L"系统上传进度", main);
  HWND button = GetDlgItem(dlg, 1041);

  if (mode == L"success") {
    bool looped = WaitText(dlg, 1039, L"正在上传... ", 120000);
    Expect(looped, "the block loop's status", ItemText(dlg, 1039));
    if (shots) Shot(L"upload");
    Expect(ItemText(dlg, 1040).compare(0, 5, L"已上传: ") == 0, "detail lines", ItemText(dlg, 1040));
    bool done = WaitText(dlg, 1039, L"系统上传完成！", 180000);
    Expect(done, "系统上传完成！", ItemText(dlg, 1039));
    Expect(ItemText(dlg, 1039) == L"系统上传完成！", "exactly 系统上传完成！", ItemText(dlg, 1039));
    DWORD_PTR pos = 0;
    SendMessageTimeoutW(GetDlgItem(dlg, 1038), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000, &pos);
    Expect(pos == 100, "the bar at 100");
    std::string log = ReadLog();
    Expect(log.find("========== UploadSystem 完成 ==========") != std::string::npos, "the log's end line");
    size_t m = log.find("mergedBlocks=");
    Expect(m != std::string::npos, "the merge in the log");
    if (m != std::string::npos) printf("merge reported: %s", log.substr(m, log.find('\n', m) - m + 1).c_str());
  } else {
    bool looped = WaitText(dlg, 1039, L"正在上传... ", 120000);
    Expect(looped, "the block loop's status before cancelling", ItemText(dlg, 1039));
    Click(dlg, 1041);
    Expect(WaitText(dlg, 1039, L"正在取消上传...", 5000) || WaitText(dlg, 1039, L"上传失败", 1), "正在取消上传...",
           ItemText(dlg, 1039));
    Expect(!IsWindowEnabled(button) || ItemText(dlg, 1041) == L"关闭", "the button disabled while cancelling");
    Expect(WaitText(dlg, 1039, L"上传失败:\n上传已取消", 60000), "the cancellation text", ItemText(dlg, 1039));
    std::string log = ReadLog();
    Expect(log.find("UploadSystem 完成") == std::string::npos, "no completed upload in the log");
  }
  for (int i = 0; i < 100 && ItemText(dlg, 1041) != L"关闭"; ++i) Sleep(50);
  Expect(ItemText(dlg, 1041) == L"关闭" && IsWindowEnabled(button), "the close button", ItemText(dlg, 1041));
  Click(dlg, 1041);
  WaitGone(dlg);
  PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
  if (WaitForSingleObject(g_client, 15000) != WAIT_OBJECT_0) Fatal("client did not exit");
  DWORD code = 1;
  GetExitCodeProcess(g_client, &code);
  Expect(code == 0, "client exit code 0");
  printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}
