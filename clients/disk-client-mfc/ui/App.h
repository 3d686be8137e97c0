// Shared pieces of the dialog shell.
#pragma once
#include <windows.h>

#include <string>

// Filled by the login dialog and handed on to the main dialog.
struct LoginContext {
  std::wstring serverHost;
  int apiPort = 0;
  std::string accessToken;  // UTF-8
  std::string userName;     // UTF-8
};

INT_PTR CALLBACK LoginDialogProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK MainDialogProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK SettingsDialogProc(HWND, UINT, WPARAM, LPARAM);
INT_PTR CALLBACK AboutDialogProc(HWND, UINT, WPARAM, LPARAM);

// Starts "shutdown /r /t 5"; a failure to start is ignored.
void RestartComputer();
// The main dialog's upload button, with the selected image id in decimal.
void StartUpload(HWND mainWindow, const std::string& imageIdText);

// Message boxes owned by `owner`: warnings and information are captioned "提示" unless told
// otherwise, errors "错误".
void ShowWarning(HWND owner, const std::wstring& text);
void ShowInfo(HWND owner, const std::wstring& text, const wchar_t* caption = L"提示");
void ShowError(HWND owner, const std::wstring& text, const wchar_t* caption = L"错误");

std::wstring GetItemText(HWND dlg, int id, int maxChars);
