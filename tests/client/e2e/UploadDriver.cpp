// End-to-end test of the system disk upload: starts the real ZelkoMfcClient.exe, logs in,
// selects an image, presses the upload button, answers the confirmation and follows the
// progress dialog to its end: "success" waits for the completed upload, "cancel" presses
// 取消上传 once the block loop runs. What reached the server is checked by upload-e2e.sh.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/Text.h"

namespace {

HANDLE g_client = nullptr;
DWORD g_clientPid = 0;
int g_failures = 0;
std::wstring g_appDir;

[[noreturn]] void Fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "FATAL: ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
  if (g_client) TerminateProcess(g_client, 99);
  exit(1);
}

std::string U8(const std::wstring& w) { return WideToUtf8(w); }

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

std::wstring TextOf(HWND h) {
  wchar_t buf[2048] = {};
  DWORD_PTR n = 0;
  SendMessageTimeoutW(h, WM_GETTEXT, 2048, (LPARAM)buf, SMTO_ABORTIFHUNG, 5000, &n);
  return buf;
}
std::wstring ItemText(HWND dlg, int id) { return TextOf(GetDlgItem(dlg, id)); }

struct Found {
  const wchar_t* caption;
  HWND owner;
  HWND hwnd;
};

HWND FindDialog(const wchar_t* caption, HWND owner) {
  Found f = {caption, owner, nullptr};
  EnumWindows(
      [](HWND h, LPARAM lp) -> BOOL {
        auto* f = reinterpret_cast<Found*>(lp);
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        wchar_t cls[32] = {}, title[256] = {};
        GetClassNameW(h, cls, 32);
        GetWindowTextW(h, title, 256);
        if (pid == g_clientPid && IsWindowVisible(h) && !wcscmp(cls, L"#32770") && !wcscmp(title, f->caption) &&
            (!f->owner || GetWindow(h, GW_OWNER) == f->owner)) {
          f->hwnd = h;
          return FALSE;
        }
        return TRUE;
      },
      (LPARAM)&f);
  return f.hwnd;
}

HWND WaitDialog(const wchar_t* caption, HWND owner = nullptr, DWORD ms = 30000) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (HWND h = FindDialog(caption, owner)) return h;
    if (WaitForSingleObject(g_client, 0) == WAIT_OBJECT_0) Fatal("client exited while waiting for \"%s\"", U8(caption).c_str());
    Sleep(50);
  }
  Fatal("no window \"%s\" appeared", U8(caption).c_str());
}

bool WaitText(HWND dlg, int id, const std::wstring& prefix, DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 20) {
    if (ItemText(dlg, id).compare(0, prefix.size(), prefix) == 0) return true;
    Sleep(20);
  }
  return false;
}

void WaitGone(HWND h) {
  for (int i = 0; i < 600; ++i) {
    if (!IsWindow(h) || !IsWindowVisible(h)) return;
    Sleep(50);
  }
  Fatal("window did not close");
}

void Click(HWND dlg, int id) { PostMessageW(GetDlgItem(dlg, id), BM_CLICK, 0, 0); }

void SetItem(HWND dlg, int id, const std::wstring& text) {
  DWORD_PTR r;
  SendMessageTimeoutW(GetDlgItem(dlg, id), WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_ABORTIFHUNG, 5000, &r);
}

void StartClient() {
  std::wstring exe = g_appDir + L"\\ZelkoMfcClient.exe";
  std::wstring cmd = L"\"" + exe + L"\"";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, g_appDir.c_str(), &si, &pi))
    Fatal("cannot start %s (error %lu)", U8(exe).c_str(), GetLastError());
  CloseHandle(pi.hThread);
  g_client = pi.hProcess;
  g_clientPid = pi.dwProcessId;
}

std::string ReadLog() {
  char dir[MAX_PATH + 1] = {};
  GetTempPathA(MAX_PATH + 1, dir);
  FILE* f = fopen((std::string(dir) + "zelko_upload.log").c_str(), "rb");
  if (!f) return "";
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

void Shot(const wchar_t* name) {
  std::wstring ready = g_appDir + L"\\shot-" + name + L".ready", done = g_appDir + L"\\shot-" + name + L".done";
  Sleep(300);
  if (FILE* f = _wfopen(ready.c_str(), L"wb")) fclose(f);
  for (int i = 0; i < 600 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
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
