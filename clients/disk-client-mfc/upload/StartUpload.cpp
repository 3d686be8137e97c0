// The main dialog's upload button. The upload engine and its progress dialog come with the
// driver's control device; until then the button checks for the driver, which is what an
// operator on a PC without it must see first.
#include <windows.h>

#include "../ui/App.h"

void StartUpload(HWND mainWindow, const std::string& imageIdText) {
  HANDLE h = CreateFileW(L"\\\\.\\ZelkoVd", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    ShowError(mainWindow,
              L"ZelkoVd 驱动未安装或未运行！\n\n请先运行 DriverInstaller\\install-zelko-client 安装客户端驱动，\n"
              L"并确保 testsigning 模式已开启，然后重启计算机。",
              L"驱动未就绪");
    return;
  }
  CloseHandle(h);
  (void)imageIdText;
  ShowError(mainWindow, L"此版本尚未包含系统上传功能");
}
