// Window-driving helpers shared by the end-to-end drivers of ZelkoMfcClient.exe (DialogDriver,
// UploadDriver): start the client, find its dialogs, read and set their controls, wait for them
// to close, and take part in the screenshot hand-shake.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/Text.h"

inline HANDLE g_client = nullptr;
inline DWORD g_clientPid = 0;
inline int g_failures = 0;
inline std::wstring g_appDir;

[[noreturn]] inline void Fatal(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "FATAL: ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
  if (g_client) TerminateProcess(g_client, 99);
  exit(1);
}

inline std::string U8(const std::wstring& w) { return WideToUtf8(w); }

inline std::wstring TextOf(HWND h) {
  wchar_t buf[2048] = {};
  DWORD_PTR n = 0;
  SendMessageTimeoutW(h, WM_GETTEXT, 2048, (LPARAM)buf, SMTO_ABORTIFHUNG, 5000, &n);
  return buf;
}
inline std::wstring ItemText(HWND dlg, int id) { return TextOf(GetDlgItem(dlg, id)); }

struct Found {
  DWORD pid;
  const wchar_t* caption;
  HWND owner;
  HWND hwnd;
};

inline BOOL CALLBACK FindProc(HWND h, LPARAM lp) {
  auto* f = reinterpret_cast<Found*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != f->pid || !IsWindowVisible(h)) return TRUE;
  wchar_t cls[32] = {}, title[256] = {};
  GetClassNameW(h, cls, 32);
  if (wcscmp(cls, L"#32770") != 0) return TRUE;
  GetWindowTextW(h, title, 256);
  if (wcscmp(title, f->caption) != 0) return TRUE;
  if (f->owner && GetWindow(h, GW_OWNER) != f->owner) return TRUE;
  f->hwnd = h;
  return FALSE;
}

inline HWND FindDialog(const wchar_t* caption, HWND owner = nullptr) {
  Found f = {g_clientPid, caption, owner, nullptr};
  EnumWindows(FindProc, (LPARAM)&f);
  return f.hwnd;
}

inline HWND WaitDialog(const wchar_t* caption, HWND owner = nullptr, DWORD ms = 30000) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (HWND h = FindDialog(caption, owner)) return h;
    if (WaitForSingleObject(g_client, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(g_client, &code);
      Fatal("client exited (code 0x%lx) while waiting for \"%s\"", code, U8(caption).c_str());
    }
    Sleep(50);
  }
  EnumWindows(
      [](HWND h, LPARAM) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        wchar_t title[256] = {};
        GetWindowTextW(h, title, 256);
        if (pid == g_clientPid && IsWindowVisible(h))
          fprintf(stderr, "  visible: \"%s\" owner %p text \"%s\"\n", U8(title).c_str(),
                  (void*)GetWindow(h, GW_OWNER), U8(ItemText(h, 0xFFFF)).c_str());
        return TRUE;
      },
      0);
  Fatal("no window \"%s\" appeared", U8(caption).c_str());
}

inline void WaitGone(HWND h, DWORD ms = 30000) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (!IsWindow(h) || !IsWindowVisible(h)) return;
    Sleep(50);
  }
  Fatal("window did not close");
}

inline void SetItem(HWND dlg, int id, const std::wstring& text) {
  DWORD_PTR r;
  if (!SendMessageTimeoutW(GetDlgItem(dlg, id), WM_SETTEXT, 0, (LPARAM)text.c_str(),
                           SMTO_ABORTIFHUNG, 5000, &r))
    Fatal("cannot set control %d", id);
}

// Posted, not sent: the click may open a modal box, which would block a sent message.
inline void Click(HWND dlg, int id) {
  HWND b = GetDlgItem(dlg, id);
  if (!b) Fatal("no control %d", id);
  PostMessageW(b, BM_CLICK, 0, 0);
}

inline void StartClient() {
  std::wstring exe = g_appDir + L"\\ZelkoMfcClient.exe";
  std::wstring cmd = L"\"" + exe + L"\"";
  STARTUPINFOW si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      g_appDir.c_str(), &si, &pi))
    Fatal("cannot start %s (error %lu)", U8(exe).c_str(), GetLastError());
  CloseHandle(pi.hThread);
  g_client = pi.hProcess;
  g_clientPid = pi.dwProcessId;
}

inline std::string ReadFileText(const std::wstring& path) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (!f) return "<missing>";
  std::string s;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// Screenshot mode (scripts/screenshots.sh): shows each dialog in a presentable state, announces
// it with <app>\shot-NAME.ready and waits for the script to answer with shot-NAME.done.
inline void Shot(const wchar_t* name) {
  std::wstring ready = g_appDir + L"\\shot-" + name + L".ready";
  std::wstring done = g_appDir + L"\\shot-" + name + L".done";
  Sleep(400);  // let the dialog finish painting
  FILE* f = _wfopen(ready.c_str(), L"wb");
  if (f) fclose(f);
  for (int i = 0; i < 600 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}
