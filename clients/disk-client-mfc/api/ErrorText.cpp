#include "ErrorText.h"

#include <cstring>

#include "Text.h"

std::wstring DescribeConnectError(const std::string& errorText, const std::wstring& host, int port) {
  std::wstring endpoint = host + L":" + std::to_wstring(port);
  unsigned long code = 0;
  size_t pos = errorText.find("错误码:");
  if (pos != std::string::npos) {
    size_t i = pos + strlen("错误码:");
    while (i < errorText.size() && (errorText[i] == ' ' || errorText[i] == '\t')) ++i;
    unsigned long long v = 0;
    for (; i < errorText.size() && errorText[i] >= '0' && errorText[i] <= '9'; ++i) {
      v = v * 10 + (unsigned)(errorText[i] - '0');
      if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
    }
    code = (unsigned long)v;
  }
  switch (code) {
    case 0: return Utf8ToWide(errorText);
    case 12002:
      return L"连接服务器 " + endpoint + L" 超时\n请检查网络连接或服务器是否响应";
    case 12005: return L"服务器地址格式无效: " + endpoint;
    case 12007: return L"无法解析服务器地址 " + host + L"\n请检查服务器地址是否正确";
    case 12029:
      return L"无法连接到服务器 " + endpoint +
             L"\n\n请检查：\n1. 服务器地址和端口是否正确\n2. 服务端程序是否正在运行\n3. 防火墙是否放行该端口";
    case 12030: return L"与服务器 " + endpoint + L" 的连接已断开\n请确认服务端运行正常";
    default:
      return L"网络请求失败（错误码 " + std::to_wstring(code) + L"）\n服务器: " + endpoint;
  }
}
