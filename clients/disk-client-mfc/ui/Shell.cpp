// Program entry: settings, login dialog, write-back, main dialog.
#include <windows.h>
#include <commctrl.h>

#include "../api/Settings.h"
#include "../res/resource.h"
#include "App.h"

void ShowWarning(HWND owner, const std::wstring& text) {
  MessageBoxW(owner, text.c_str(), L"提示", MB_OK | MB_ICONWARNING);
}

void ShowInfo(HWND owner, const std::wstring& text, const wchar_t* caption) {
  MessageBoxW(owner, text.c_str(), caption, MB_OK | MB_ICONINFORMATION);
}

void ShowError(HWND owner, const std::wstring& text, const wchar_t* caption) {
  MessageBoxW(owner, text.c_str(), caption, MB_OK | MB_ICONERROR);
}

std::wstring GetItemText(HWND dlg, int id, int maxChars) {
  std::wstring buf((size_t)maxChars + 1, L'\0');
  int n = GetDlgItemTextW(dlg, id, buf.data(), maxChars + 1);
  buf.resize(n > 0 ? (size_t)n : 0);
  return buf;
}

void RestartComputer() {
  wchar_t cmd[] = L"shutdown /r /t 5";  // CreateProcessW may write into its command line
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION pi = {};
  if (CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                     &si, &pi)) {
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
}

namespace {

// An unhandled exception ends the program with the exception code as exit status at once,
// instead of leaving a crash dialog on a café PC (or a zero exit status under Wine).
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  TerminateProcess(GetCurrentProcess(), info && info->ExceptionRecord
                                            ? info->ExceptionRecord->ExceptionCode
                                            : 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  SetUnhandledExceptionFilter(OnUnhandledException);
  AppSettings& s = Settings();
  s.instance = instance;
  s.exeDir = GetExeDirectory();

  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES |
                                              ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);

  ClientConfig loaded = LoadStartupSettings();

  LoginContext ctx;
  ctx.serverHost = s.serverHost;
  ctx.apiPort = s.apiPort;
  if (DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LOGIN), nullptr, LoginDialogProc,
                      (LPARAM)&ctx) != IDOK)
    return 0;

  s.sessionToken = ctx.accessToken;
  s.userName = ctx.userName;
  WriteBackAfterLogin(ctx.serverHost, ctx.apiPort, loaded);

  LoginContext mainCtx = ctx;
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, (LPARAM)&mainCtx);
  return 0;
}
