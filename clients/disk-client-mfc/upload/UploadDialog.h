// The upload start: driver check, confirmation, progress dialog (template 110), worker thread.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "UploadEngine.h"

constexpr UINT WM_UPLOAD_PROGRESS = WM_USER + 201;  // lParam: a heap ProgressInfo, the receiver's
constexpr UINT WM_UPLOAD_FINISHED = WM_USER + 202;  // the result text is in the UploadParams

// What the worker runs: the upload engine, or a stand-in in the dialog's own tests.
using UploadRunner =
    std::function<std::string(const UploadParams&, const ProgressCallback&, const std::atomic<bool>&)>;

// The main dialog's upload button with the selected image id in decimal: checks the driver
// through `io`, asks, shows the progress dialog and pumps messages until the upload is over and
// the dialog is gone. The parameters are freed only after the worker has ended.
void RunUpload(HWND mainWindow, const std::string& imageIdText, DeviceIo& io, const UploadRunner& runner);

INT_PTR CALLBACK UploadProgressDialogProc(HWND, UINT, WPARAM, LPARAM);
