// End-to-end test of ZelkoMfcClient.exe: starts the real program (prepared by with-mgmtd.sh in
// a directory with config.json pointing at a loopback zelko-mgmtd and a recording shutdown.exe),
// drives its dialogs through window messages as an operator would, and checks what the dialogs
// show, what the server's state becomes and that the restart command was started.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/Http.h"
#include "api/Json.h"
#include "api/Operations.h"
#include "api/Settings.h"
#include "api/Text.h"
#include "WindowDriver.h"

namespace {

#define EXPECT_EQ_W(actual, expected)                                                         \
  do {                                                                                        \
    std::wstring a_ = (actual), e_ = (expected);                                              \
    if (a_ != e_) {                                                                           \
      ++g_failures;                                                                           \
      fprintf(stderr, "%s:%d: expected \"%s\", got \"%s\"\n", __FILE__, __LINE__, U8(e_).c_str(), \
              U8(a_).c_str());                                                                \
    }                                                                                         \
  } while (0)
#define EXPECT_TRUE(cond)                                                   \
  do {                                                                      \
    if (!(cond)) {                                                          \
      ++g_failures;                                                         \
      fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond);  \
    }                                                                       \
  } while (0)

// Wide, because the narrow environment of a Windows process is in the ANSI code page.
std::string Env(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  if (!v || !*v) Fatal("environment variable %s missing (run through with-mgmtd.sh --app)", U8(name).c_str());
  return U8(v);
}

// Waits for a message box owned by `owner`, checks caption and text, answers with `button`.
void Answer(HWND owner, const wchar_t* caption, const std::wstring& text, int button, bool prefix = false) {
  HWND box = WaitDialog(caption, owner);
  std::wstring got = ItemText(box, 0xFFFF);
  if (prefix) EXPECT_EQ_W(got.substr(0, text.size()), text);
  else EXPECT_EQ_W(got, text);
  Click(box, button);
  WaitGone(box);
}

// Whether the keyboard focus in dlg's thread settles on `want` within 2 s. The dialog moves the
// focus after a message box closes; a machine under load may still show the box's old focus for
// a moment, so a single look would race with it.
bool FocusBecomes(HWND dlg, HWND want) {
  GUITHREADINFO gi = {sizeof gi};
  for (int i = 0; i < 80; ++i) {
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &gi) && gi.hwndFocus == want) return true;
    Sleep(25);
  }
  return false;
}

// The client must end by itself with exit status 0: anything else is a crash or a hang.
void ExpectClientExit() {
  if (WaitForSingleObject(g_client, 15000) != WAIT_OBJECT_0) Fatal("client did not exit");
  DWORD code = 1;
  GetExitCodeProcess(g_client, &code);
  if (code != 0) Fatal("client exited with 0x%lx", code);
  CloseHandle(g_client);
  g_client = nullptr;
}

bool ServerSuper(const std::string& mac) {
  int64_t id;
  bool super = false;
  std::string error;
  if (!GetClientByMac(mac, id, super, error)) Fatal("lookup failed: %s", error.c_str());
  return super;
}

std::wstring Wide(const std::string& s) { return Utf8ToWide(s); }

HWND Login(const std::wstring& user, const std::wstring& password) {
  HWND login = WaitDialog(L"Zelko无盘 - 登录");
  SetItem(login, 1003, user);
  SetItem(login, 1004, password);
  Click(login, 1005);
  WaitGone(login);
  return WaitDialog(L"Zelko无盘客户端");
}

int Shots(const std::wstring& user, const std::wstring& password) {
  StartClient();
  HWND login = WaitDialog(L"Zelko无盘 - 登录");
  SetItem(login, 1003, user);
  SetItem(login, 1004, password);
  Shot(L"login");
  Click(login, 1005);
  WaitGone(login);
  HWND main = WaitDialog(L"Zelko无盘客户端");
  Shot(L"main");
  Click(main, 40002);
  HWND settings = WaitDialog(L"设置", main);
  Shot(L"settings");
  Click(settings, IDCANCEL);
  WaitGone(settings);
  Click(main, 40003);
  HWND about = WaitDialog(L"关于", main);
  Shot(L"about");
  Click(about, IDOK);
  WaitGone(about);
  PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
  ExpectClientExit();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG {
    if (g_client) TerminateProcess(g_client, 98);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
  });
  g_appDir = Wide(Env(L"ZELKO_TEST_APP_DIR"));
  const int port = atoi(Env(L"ZELKO_TEST_API_PORT").c_str());
  const std::wstring user = Wide(Env(L"ZELKO_TEST_USER")), password = Wide(Env(L"ZELKO_TEST_PASSWORD"));
  const std::wstring portText = std::to_wstring(port);
  const bool shots = argc > 1 && wcscmp(argv[1], L"--shots") == 0;

  // Our own view of the server, for setting it up and checking its state.
  Settings().serverHost = L"127.0.0.1";
  Settings().apiPort = port;
  SetAllHttpTimeouts(5000);
  std::string error;
  if (!::Login(L"127.0.0.1", port, U8(user), U8(password), Settings().sessionToken, error))
    Fatal("login failed: %s", error.c_str());
  // The client finds its PC by the same adapter rule; register that MAC with loopback as IP.
  const std::string mac = GetMacAddress();
  if (mac.empty()) Fatal("this machine shows no network adapter address to Wine");
  if (shots) return Shots(user, password);
  const std::string configBefore = ReadFileText(g_appDir + L"\\config.json");
  const std::wstring record = g_appDir + L"\\shutdown-record.txt";

  // 1. The login dialog's checks; none of them may write anything.
  StartClient();
  HWND login = WaitDialog(L"Zelko无盘 - 登录");
  EXPECT_EQ_W(ItemText(login, 1001), L"127.0.0.1");
  EXPECT_EQ_W(ItemText(login, 1002), portText);
  EXPECT_TRUE(FocusBecomes(login, GetDlgItem(login, 1003)));

  SetItem(login, 1001, L"");
  Click(login, 1005);
  Answer(login, L"提示", L"请输入服务器地址", IDOK);
  EXPECT_TRUE(FocusBecomes(login, GetDlgItem(login, 1001)));
  SetItem(login, 1001, L"127.0.0.1");
  for (const wchar_t* bad : {L"0", L"65536", L"abc"}) {
    SetItem(login, 1002, bad);
    Click(login, 1005);
    Answer(login, L"提示", L"请输入有效的端口号（1-65535）", IDOK);
    EXPECT_TRUE(FocusBecomes(login, GetDlgItem(login, 1002)));
  }
  SetItem(login, 1002, portText);
  Click(login, 1005);
  Answer(login, L"提示", L"请输入用户名", IDOK);
  EXPECT_TRUE(FocusBecomes(login, GetDlgItem(login, 1003)));
  SetItem(login, 1003, user);
  Click(login, 1005);
  Answer(login, L"提示", L"请输入密码", IDOK);
  EXPECT_TRUE(FocusBecomes(login, GetDlgItem(login, 1004)));

  SetItem(login, 1004, L"wrong-password");
  Click(login, 1005);
  HWND failed = WaitDialog(L"登录失败", login);
  std::wstring refusal = ItemText(failed, 0xFFFF);
  EXPECT_TRUE(!refusal.empty() && refusal.find(L"HTTP") == std::wstring::npos);
  Click(failed, IDOK);
  WaitGone(failed);
  EXPECT_EQ_W(ItemText(login, 1003), user);  // the dialog stays open with what was typed

  // A port where nothing listens: the operator's connect message naming host and port.
  SetItem(login, 1002, L"1");
  SetItem(login, 1004, password);
  Click(login, 1005);
  Answer(login, L"登录失败", L"无法连接到服务器 127.0.0.1:1\n\n请检查：", IDOK, true);
  EXPECT_TRUE(ReadFileText(g_appDir + L"\\config.json") == configBefore);
  EXPECT_TRUE(ReadFileText(g_appDir + L"\\hotel-server.json") == "<missing>");

  // 2. Log in while the server does not know this PC: a warning naming the MAC, and both
  // super-user buttons refuse.
  SetItem(login, 1002, portText);
  Click(login, 1005);
  WaitGone(login);
  HWND unknown = WaitDialog(L"提示");  // shown before the main dialog becomes visible
  std::wstring warning = ItemText(unknown, 0xFFFF);
  const std::wstring expected = L"客户机未在服务端注册，请联系管理员添加客户机\n\nMAC: " + Wide(mac) + L"\n错误: ";
  EXPECT_EQ_W(warning.substr(0, expected.size()), expected);
  EXPECT_TRUE(warning.size() > expected.size());  // followed by the server's reason
  Click(unknown, IDOK);
  HWND main = WaitDialog(L"Zelko无盘客户端");
  Click(main, 1046);
  Answer(main, L"提示", L"客户机 ID 未获取，无法切换超级用户模式", IDOK);
  Click(main, 1047);
  Answer(main, L"提示", L"客户机 ID 未获取，无法退出超级用户模式", IDOK);
  PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
  ExpectClientExit();

  // 3. Register the PC; the main dialog shows the state read from the server.
  HttpResponse r = HttpPostJson(L"127.0.0.1", port, L"/api/disk/clients",
                                "{\"macAddress\":\"" + mac + "\",\"name\":\"e2e-pc\",\"ipAddress\":\"127.0.0.1\",\"imageId\":1}");
  if (!r.ok) Fatal("cannot register the PC: %s %s", r.error.c_str(), r.body.c_str());
  StartClient();
  main = Login(user, password);
  if (HWND box = FindDialog(L"提示", main)) Fatal("unexpected box: %s", U8(ItemText(box, 0xFFFF)).c_str());
  EXPECT_EQ_W(ItemText(main, 1048), L"● 未进入超级用户模式");
  EXPECT_EQ_W(ItemText(main, 1049), L"已登录: " + user + L" @ 127.0.0.1:" + portText);
  HWND combo = GetDlgItem(main, 1044);
  std::wstring names;
  LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    wchar_t item[256] = {};
    SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)item);
    names += (i ? L"|" : L"") + std::wstring(item);
    EXPECT_TRUE(SendMessageW(combo, CB_GETITEMDATA, i, 0) >= 1);
  }
  EXPECT_EQ_W(names, Wide(Env(L"ZELKO_TEST_IMAGES")));
  EXPECT_TRUE(SendMessageW(combo, CB_GETCURSEL, 0, 0) == 0);
  // The write-back after login: both files and the driver's parameters.
  EXPECT_TRUE(ReadFileText(g_appDir + L"\\config.json").find("\"server_url\": \"http://127.0.0.1:" +
                                                             std::to_string(port) + "\"") != std::string::npos);
  EXPECT_TRUE(ReadFileText(g_appDir + L"\\hotel-server.json").find("\"ApiPort\": " + std::to_string(port)) !=
              std::string::npos);
  DWORD apiPort = 0, size = sizeof apiPort;
  RegGetValueW(HKEY_LOCAL_MACHINE, g_driverParametersKey, L"ApiServerPort", RRF_RT_REG_DWORD, nullptr,
               &apiPort, &size);
  EXPECT_TRUE(apiPort == (DWORD)port);

  // 4. Super-user switch: confirmation, server state, information box, then the restart.
  Click(main, 1046);
  Answer(main, L"确认切换", L"即将切换到超级用户模式，切换后需要重启计算机生效。确认切换？", IDYES);
  HWND info = WaitDialog(L"提示", main);
  EXPECT_EQ_W(ItemText(info, 0xFFFF), L"已切换到超级用户模式，计算机将在 5 秒后重启");
  EXPECT_EQ_W(ItemText(main, 1048), L"● 已进入超级用户模式（可写）");
  EXPECT_TRUE(ServerSuper(mac));
  EXPECT_TRUE(ReadFileText(record) == "<missing>");  // not before the box is closed
  Click(info, IDOK);
  WaitGone(info);
  for (int i = 0; i < 200 && ReadFileText(record) == "<missing>"; ++i) Sleep(50);
  EXPECT_TRUE(ReadFileText(record).find("shutdown /r /t 5") != std::string::npos);

  // Answering No changes nothing; Yes leaves super-user mode and restarts again.
  Click(main, 1047);
  Answer(main, L"确认退出", L"即将退出超级用户模式，切换后需要重启计算机生效。确认退出？", IDNO);
  EXPECT_TRUE(ServerSuper(mac));
  Click(main, 1047);
  Answer(main, L"确认退出", L"即将退出超级用户模式，切换后需要重启计算机生效。确认退出？", IDYES);
  Answer(main, L"提示", L"已退出超级用户模式，计算机将在 5 秒后重启", IDOK);
  EXPECT_TRUE(!ServerSuper(mac));
  EXPECT_EQ_W(ItemText(main, 1048), L"● 未进入超级用户模式");
  std::string lines;
  for (int i = 0; i < 200; ++i) {
    lines = ReadFileText(record);
    if (lines.find('\n') != lines.rfind('\n')) break;
    Sleep(50);
  }
  EXPECT_TRUE(lines.find('\n') != lines.rfind('\n'));

  // 5. Image buttons: no selection, the upload's driver check, initialise disk.
  Click(main, 1045);
  Sleep(300);
  EXPECT_TRUE(SendMessageW(combo, CB_GETCOUNT, 0, 0) == count);
  SendMessageW(combo, CB_SETCURSEL, (WPARAM)-1, 0);
  Click(main, 1051);
  Answer(main, L"提示", L"请先选择目标镜像", IDOK);
  Click(main, 1050);
  Answer(main, L"提示", L"请先选择目标镜像", IDOK);
  SendMessageW(combo, CB_SETCURSEL, 1, 0);
  Click(main, 1050);
  Answer(main, L"驱动未就绪", L"ZelkoVd 驱动未安装或未运行！", IDOK, true);
  Click(main, 1051);
  Answer(main, L"确认初始化磁盘", L"将对此镜像执行 MBR 分区 + NTFS 格式化 + 设置活动分区标记。", IDYES, true);
  Answer(main, L"成功", L"磁盘初始化并格式化完成\n（MBR + NTFS + active 标记已就绪，PXE 可引导）", IDOK);
  EXPECT_EQ_W(ItemText(main, 1051), L"初始化磁盘");

  // 6. Settings: an empty host keeps the previous one; about opens and closes.
  Click(main, 40002);
  HWND settings = WaitDialog(L"设置", main);
  EXPECT_EQ_W(ItemText(settings, 1032), L"127.0.0.1");
  EXPECT_EQ_W(ItemText(settings, 1033), portText);
  EXPECT_EQ_W(ItemText(settings, 1034), L"5");
  EXPECT_EQ_W(ItemText(settings, 1035), L"5");
  SetItem(settings, 1032, L"");
  SetItem(settings, 1035, L"9");
  Click(settings, IDOK);
  WaitGone(settings);
  EXPECT_EQ_W(ItemText(main, 1049), L"已登录: " + user + L" @ 127.0.0.1:" + portText);
  EXPECT_TRUE(ReadFileText(g_appDir + L"\\config.json").find("\"auto_refresh_sec\": 9") != std::string::npos);
  Click(main, 40003);
  HWND about = WaitDialog(L"关于", main);
  Click(about, IDOK);
  WaitGone(about);

  PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
  ExpectClientExit();

  // 7. A PC the server already has in super-user mode shows the green status at once.
  int64_t id;
  bool super;
  if (!GetClientByMac(mac, id, super, error) || !SetSuperClient(id, true, error)) Fatal("%s", error.c_str());
  StartClient();
  main = Login(user, password);
  EXPECT_EQ_W(ItemText(main, 1048), L"● 已进入超级用户模式（可写）");
  PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
  ExpectClientExit();

  // 8. Cancelling the login ends the program without a request or a write.
  DeleteFileW((g_appDir + L"\\hotel-server.json").c_str());
  StartClient();
  login = WaitDialog(L"Zelko无盘 - 登录");
  PostMessageW(login, WM_COMMAND, IDCANCEL, 0);
  ExpectClientExit();
  EXPECT_TRUE(ReadFileText(g_appDir + L"\\hotel-server.json") == "<missing>");

  printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "PASSED", g_failures);
  return g_failures ? 1 : 0;
}
