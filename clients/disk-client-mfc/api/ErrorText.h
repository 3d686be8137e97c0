// The text the login dialog shows for a failed request. The error text may carry a message the
// server wrote, so this also runs under the fuzzers of the Linux build.
#pragma once
#include <string>

// A WinHTTP error code after "错误码:" in `errorText` becomes an explanation naming host:port;
// any other text is shown as it is.
std::wstring DescribeConnectError(const std::string& errorText, const std::wstring& host, int port);
