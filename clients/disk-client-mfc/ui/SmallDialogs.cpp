// The settings and about dialogs.
#include <windows.h>

#include "../api/Settings.h"
#include "../res/resource.h"
#include "App.h"

INT_PTR CALLBACK SettingsDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  AppSettings& s = Settings();
  switch (msg) {
    case WM_INITDIALOG:
      SetDlgItemTextW(dlg, IDC_SET_HOST, s.serverHost.c_str());
      SetDlgItemTextW(dlg, IDC_SET_PORT, std::to_wstring(s.apiPort).c_str());
      SetDlgItemTextW(dlg, IDC_SET_TIMEOUT, std::to_wstring(s.connectTimeoutSec).c_str());
      SetDlgItemTextW(dlg, IDC_SET_REFRESH, std::to_wstring(s.refreshIntervalSec).c_str());
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDOK: {
          std::wstring host = GetItemText(dlg, IDC_SET_HOST, 128);
          std::wstring port = GetItemText(dlg, IDC_SET_PORT, 16);
          std::wstring timeout = GetItemText(dlg, IDC_SET_TIMEOUT, 16);
          std::wstring refresh = GetItemText(dlg, IDC_SET_REFRESH, 16);
          if (!host.empty()) s.serverHost = host;
          if (!port.empty()) s.apiPort = ParseLeadingInt(port);
          if (!timeout.empty()) s.connectTimeoutSec = ParseLeadingInt(timeout);
          if (!refresh.empty()) s.refreshIntervalSec = ParseLeadingInt(refresh);
          long long ms = (long long)s.connectTimeoutSec * 1000;
          if (ms > 0 && ms <= 0x7FFFFFFF) SetAllHttpTimeouts((int)ms);
          ClientConfig cfg;
          cfg.serverUrl = L"http://" + s.serverHost + L":" + std::to_wstring(s.apiPort);
          cfg.serverHost = s.serverHost;
          cfg.port = s.apiPort;
          cfg.timeoutSec = s.connectTimeoutSec;
          cfg.refreshSec = s.refreshIntervalSec;
          SaveClientConfig(cfg);
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

INT_PTR CALLBACK AboutDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
        EndDialog(dlg, LOWORD(wp));
        return TRUE;
      }
      break;
  }
  return FALSE;
}
