// Stands in for the system's shutdown.exe beside the client under test: appends its command
// line to shutdown-record.txt in its own directory and exits, so the test sees the restart
// command without anything being restarted.
#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p = path;
  p = p.substr(0, p.find_last_of(L"\\/") + 1) + L"shutdown-record.txt";
  FILE* f = _wfopen(p.c_str(), L"ab");
  if (!f) return 1;
  // The part after the program name, as the client passed it.
  std::wstring cmd = GetCommandLineW();
  fprintf(f, "%ls\n", cmd.c_str());
  fclose(f);
  return 0;
}
