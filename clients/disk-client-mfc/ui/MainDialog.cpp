// The main dialog: super-user state and switch, image list, initialise disk, settings, about.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "../api/Operations.h"
#include "../api/Settings.h"
#include "../api/Text.h"
#include "../res/resource.h"
#include "App.h"

namespace {

struct MainDialogState {
  bool superShown = false;
  int64_t clientId = 0;
  bool clientIdKnown = false;
  bool serverSuperFlag = false;
};

MainDialogState* StateOf(HWND dlg) {
  return reinterpret_cast<MainDialogState*>(GetWindowLongPtrW(dlg, DWLP_USER));
}

void UpdateStatusLine(HWND dlg, const MainDialogState* st) {
  SetDlgItemTextW(dlg, IDC_SUPER_STATUS,
                  st->superShown ? L"● 已进入超级用户模式（可写）" : L"● 未进入超级用户模式");
  // The colour comes from WM_CTLCOLORSTATIC, which runs only when the control repaints.
  InvalidateRect(GetDlgItem(dlg, IDC_SUPER_STATUS), nullptr, TRUE);
}

void FillLoggedInLabel(HWND dlg) {
  const AppSettings& s = Settings();
  std::wstring user = s.userName.empty() ? L"-" : Utf8ToWide(s.userName);
  std::wstring text = L"已登录: " + user + L" @ " + s.serverHost + L":" + std::to_wstring(s.apiPort);
  SetDlgItemTextW(dlg, IDC_LOGGED_IN, text.c_str());
}

void AddComboItem(HWND combo, const std::wstring& text, LPARAM data) {
  LRESULT i = SendMessageW(combo, CB_ADDSTRING, 0, (LPARAM)text.c_str());
  if (i >= 0) SendMessageW(combo, CB_SETITEMDATA, (WPARAM)i, data);
}

void FillImageList(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_IMAGE_COMBO);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  AddComboItem(combo, L"加载中...", 0);
  std::vector<ImageEntry> images;
  std::string error;
  if (!LoadImageList(images, error)) {
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    AddComboItem(combo, L"(加载失败)", 0);
    ShowError(dlg, L"获取镜像列表失败:\n" + Utf8ToWide(error));
    return;
  }
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  if (images.empty()) {
    AddComboItem(combo, L"(无可用镜像)", 0);
    return;
  }
  for (const ImageEntry& img : images) AddComboItem(combo, Utf8ToWide(img.name), (LPARAM)img.id);
  SendMessageW(combo, CB_SETCURSEL, 0, 0);
}

// The selected image's id in decimal, or empty after warning the operator.
std::string SelectedImageId(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_IMAGE_COMBO);
  LRESULT sel = SendMessageW(combo, CB_GETCURSEL, 0, 0);
  LRESULT data = sel == CB_ERR ? 0 : SendMessageW(combo, CB_GETITEMDATA, (WPARAM)sel, 0);
  if (sel == CB_ERR || data == CB_ERR || data < 1) {
    ShowWarning(dlg, L"请先选择目标镜像");
    return {};
  }
  return std::to_string((long long)data);
}

void SwitchSuperUser(HWND dlg, MainDialogState* st, bool on) {
  if (!st->clientIdKnown) {
    ShowWarning(dlg, on ? L"客户机 ID 未获取，无法切换超级用户模式" : L"客户机 ID 未获取，无法退出超级用户模式");
    return;
  }
  if (MessageBoxW(dlg,
                  on ? L"即将切换到超级用户模式，切换后需要重启计算机生效。确认切换？"
                     : L"即将退出超级用户模式，切换后需要重启计算机生效。确认退出？",
                  on ? L"确认切换" : L"确认退出", MB_YESNO | MB_ICONQUESTION) != IDYES)
    return;
  std::string error;
  if (!SetSuperClient(st->clientId, on, error)) {
    ShowError(dlg, (on ? L"切换失败:\n" : L"退出失败:\n") + Utf8ToWide(error));
    return;
  }
  st->superShown = on;
  UpdateStatusLine(dlg, st);
  ShowInfo(dlg, on ? L"已切换到超级用户模式，计算机将在 5 秒后重启" : L"已退出超级用户模式，计算机将在 5 秒后重启");
  RestartComputer();
}

void InitialiseDisk(HWND dlg) {
  std::string id = SelectedImageId(dlg);
  if (id.empty()) return;
  if (MessageBoxW(dlg,
                  L"将对此镜像执行 MBR 分区 + NTFS 格式化 + 设置活动分区标记。\n镜像已有数据将被清除！\n\n确认继续？",
                  L"确认初始化磁盘", MB_YESNO | MB_ICONWARNING) != IDYES)
    return;
  HWND button = GetDlgItem(dlg, IDC_PREPARE_DISK);
  EnableWindow(button, FALSE);
  SetWindowTextW(button, L"初始化中...");
  std::string error;
  bool ok = PrepareDisk(std::stoll(id), error);
  EnableWindow(button, TRUE);
  SetWindowTextW(button, L"初始化磁盘");
  if (ok)
    ShowInfo(dlg, L"磁盘初始化并格式化完成\n（MBR + NTFS + active 标记已就绪，PXE 可引导）", L"成功");
  else
    ShowError(dlg, L"初始化磁盘失败:\n" + Utf8ToWide(error));
}

void OnInitDialog(HWND dlg) {
  auto* st = new MainDialogState;
  SetWindowLongPtrW(dlg, DWLP_USER, (LONG_PTR)st);
  HICON icon = LoadIconW(Settings().instance, MAKEINTRESOURCEW(IDI_APP));
  SendMessageW(dlg, WM_SETICON, ICON_BIG, (LPARAM)icon);
  SendMessageW(dlg, WM_SETICON, ICON_SMALL, (LPARAM)icon);
  SetWindowTextW(dlg, L"Zelko无盘客户端");
  UpdateStatusLine(dlg, st);
  FillLoggedInLabel(dlg);

  std::string mac = GetMacAddress();
  if (mac.empty()) {
    ShowWarning(dlg, L"无法获取本机网卡 MAC 地址，超级用户模式将不可用");
  } else {
    int64_t id = 0;
    bool super = false;
    std::string error;
    if (GetClientByMac(mac, id, super, error)) {
      st->clientId = id;
      st->clientIdKnown = true;
      st->serverSuperFlag = super;
      if (super) {
        st->superShown = true;
        UpdateStatusLine(dlg, st);
      }
    } else {
      ShowWarning(dlg, L"客户机未在服务端注册，请联系管理员添加客户机\n\nMAC: " + Utf8ToWide(mac) +
                           L"\n错误: " + Utf8ToWide(error));
    }
  }
  FillImageList(dlg);
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  MainDialogState* st = StateOf(dlg);
  switch (msg) {
    case WM_INITDIALOG:
      OnInitDialog(dlg);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      if (st && (HWND)lp == GetDlgItem(dlg, IDC_SUPER_STATUS)) {
        HDC dc = (HDC)wp;
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, st->superShown ? RGB(0, 140, 60) : RGB(120, 120, 120));
        return (INT_PTR)GetSysColorBrush(COLOR_BTNFACE);
      }
      break;
    case WM_COMMAND:
      if (!st) break;
      switch (LOWORD(wp)) {
        case IDC_IMAGE_REFRESH: FillImageList(dlg); return TRUE;
        case IDC_SUPER_ON: SwitchSuperUser(dlg, st, true); return TRUE;
        case IDC_SUPER_OFF: SwitchSuperUser(dlg, st, false); return TRUE;
        case IDC_UPLOAD: {
          std::string id = SelectedImageId(dlg);
          if (!id.empty()) StartUpload(dlg, id);
          return TRUE;
        }
        case IDC_PREPARE_DISK: InitialiseDisk(dlg); return TRUE;
        case IDC_SETTINGS_BUTTON:
          if (DialogBoxParamW(Settings().instance, MAKEINTRESOURCEW(IDD_SETTINGS), dlg,
                              SettingsDialogProc, 0) == IDOK)
            FillLoggedInLabel(dlg);
          return TRUE;
        case IDC_ABOUT_BUTTON:
          DialogBoxParamW(Settings().instance, MAKEINTRESOURCEW(IDD_ABOUT), dlg, AboutDialogProc, 0);
          return TRUE;
        case IDCANCEL: EndDialog(dlg, IDCANCEL); return TRUE;
      }
      break;
    case WM_DESTROY:
      delete st;
      SetWindowLongPtrW(dlg, DWLP_USER, 0);
      break;
  }
  return FALSE;
}
