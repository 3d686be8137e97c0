// The login dialog: banner, host/port/user/password, the login request.
#include <windows.h>

#include "../api/Http.h"
#include "../api/Operations.h"
#include "../api/Settings.h"
#include "../api/Text.h"
#include "../res/resource.h"
#include "App.h"

namespace {

void PaintBanner(const DRAWITEMSTRUCT* di) {
  RECT rc = di->rcItem;
  HDC dc = di->hDC;
  int h = rc.bottom - rc.top;
  if (h < 1) h = 1;

  // A one-pixel-wide column holding the gradient, stretched over the banner.
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = 1;
  bi.bmiHeader.biHeight = -h;  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bmp && bits) {
    auto* px = static_cast<DWORD*>(bits);
    for (int i = 0; i < h; ++i) {
      DWORD r = 30 + 29 * i / h, g = 58 + 72 * i / h, b = 138 + 108 * i / h;
      px[i] = (r << 16) | (g << 8) | b;
    }
    HDC mem = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(mem, bmp);
    StretchBlt(dc, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, mem, 0, 0, 1, h, SRCCOPY);
    SelectObject(mem, old);
    DeleteDC(mem);
  }
  if (bmp) DeleteObject(bmp);

  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  HFONT title = CreateFontW(22, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"微软雅黑");
  HFONT sub = CreateFontW(13, 0, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"微软雅黑");
  RECT r1 = {rc.left + 24, rc.top + 8, rc.right, rc.top + 34};
  HGDIOBJ oldFont = SelectObject(dc, title);
  DrawTextW(dc, L"Zelko无盘管理系统", -1, &r1, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
  RECT r2 = {rc.left + 24, r1.bottom + 2, rc.right, r1.bottom + 18};
  SelectObject(dc, sub);
  DrawTextW(dc, L"管理控制台 · 请登录", -1, &r2, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
  SelectObject(dc, oldFont);
  DeleteObject(title);
  DeleteObject(sub);
}

void FocusItem(HWND dlg, int id) { SetFocus(GetDlgItem(dlg, id)); }

void OnLogin(HWND dlg, LoginContext* ctx) {
  std::wstring host = GetItemText(dlg, IDC_LOGIN_HOST, 256);
  std::wstring portText = GetItemText(dlg, IDC_LOGIN_PORT, 16);
  if (host.empty()) {
    ShowWarning(dlg, L"请输入服务器地址");
    FocusItem(dlg, IDC_LOGIN_HOST);
    return;
  }
  int port = ParseLeadingInt(portText);
  if (port < 1 || port > 65535) {
    ShowWarning(dlg, L"请输入有效的端口号（1-65535）");
    FocusItem(dlg, IDC_LOGIN_PORT);
    return;
  }
  ctx->serverHost = host;
  ctx->apiPort = port;

  std::wstring user = GetItemText(dlg, IDC_LOGIN_USER, 256);
  std::wstring password = GetItemText(dlg, IDC_LOGIN_PASSWORD, 256);
  if (user.empty()) {
    ShowWarning(dlg, L"请输入用户名");
    FocusItem(dlg, IDC_LOGIN_USER);
    return;
  }
  if (password.empty()) {
    ShowWarning(dlg, L"请输入密码");
    FocusItem(dlg, IDC_LOGIN_PASSWORD);
    return;
  }

  SetAllHttpTimeouts(5000);
  EnableWindow(GetDlgItem(dlg, IDC_LOGIN_BUTTON), FALSE);
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  std::string token, error;
  std::string userUtf8 = WideToUtf8(user);
  bool ok = Login(host, port, userUtf8, WideToUtf8(password), token, error);
  SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
  EnableWindow(GetDlgItem(dlg, IDC_LOGIN_BUTTON), TRUE);
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));

  if (ok) {
    Settings().sessionToken = token;
    ctx->accessToken = token;
    ctx->userName = userUtf8;
    EndDialog(dlg, IDOK);
    return;
  }
  ShowError(dlg, DescribeConnectError(error, host, port), L"登录失败");
}

}  // namespace

INT_PTR CALLBACK LoginDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  auto* ctx = reinterpret_cast<LoginContext*>(GetWindowLongPtrW(dlg, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      ctx = reinterpret_cast<LoginContext*>(lp);
      SetWindowLongPtrW(dlg, DWLP_USER, (LONG_PTR)ctx);
      SendMessageW(dlg, WM_SETICON, ICON_BIG,
                   (LPARAM)LoadIconW(Settings().instance, MAKEINTRESOURCEW(IDI_APP)));
      SendMessageW(dlg, WM_SETICON, ICON_SMALL,
                   (LPARAM)LoadIconW(Settings().instance, MAKEINTRESOURCEW(IDI_APP)));
      SetDlgItemTextW(dlg, IDC_LOGIN_HOST, ctx->serverHost.c_str());
      SetDlgItemTextW(dlg, IDC_LOGIN_PORT, std::to_wstring(ctx->apiPort).c_str());
      SetDlgItemTextW(dlg, IDC_LOGIN_USER, L"");
      SetDlgItemTextW(dlg, IDC_LOGIN_PASSWORD, L"");
      FocusItem(dlg, IDC_LOGIN_USER);
      return FALSE;  // we set the focus ourselves
    case WM_DRAWITEM: {
      auto* di = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (wp == IDC_LOGIN_BANNER && di) {
        PaintBanner(di);
        return TRUE;
      }
      break;
    }
    case WM_COMMAND:
      switch (LOWORD(wp)) {
        case IDOK:
        case IDC_LOGIN_BUTTON:
          if (ctx) OnLogin(dlg, ctx);
          return TRUE;
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
      }
      break;
  }
  return FALSE;
}
