// The calls the client makes to the management server's HTTP API. Each returns true or false
// and, on false, a UTF-8 error text for the operator; none throws.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "Replies.h"

bool Login(const std::wstring& host, int port, const std::string& user, const std::string& password,
           std::string& accessToken, std::string& error);
bool GetClientByMac(const std::string& mac, int64_t& clientId, bool& isSuperClient,
                    std::string& error);
bool LoadImageList(std::vector<ImageEntry>& images, std::string& error);
bool SetSuperClient(int64_t clientId, bool on, std::string& error);
bool PrepareDisk(int64_t imageId, std::string& error);
bool RequestUploadSession(const std::wstring& host, int port, int64_t imageId,
                          std::string& uploadToken, std::string& error);

// "AA-BB-CC-DD-EE-FF" of the first adapter with a six-byte, non-zero address; empty if none.
std::string GetMacAddress();
// The same rule over an adapter list the caller already has (walked in list order).
struct _IP_ADAPTER_INFO;
std::string MacFromAdapterList(const _IP_ADAPTER_INFO* list);
