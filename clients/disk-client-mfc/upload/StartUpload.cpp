// The main dialog's upload button: the real engine behind the real devices.
#include "../ui/App.h"
#include "DeviceIo.h"
#include "UploadDialog.h"

void StartUpload(HWND mainWindow, const std::string& imageIdText) {
  RunUpload(mainWindow, imageIdText, SystemDeviceIo(),
            [](const UploadParams& p, const ProgressCallback& cb, const std::atomic<bool>& cancel) {
              return UploadSystem(p, cb, cancel, SystemDeviceIo());
            });
}
