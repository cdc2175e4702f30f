#pragma once
// The sensor's services: their names, their states and starting the client.
#include <windows.h>

#include <cstdint>

namespace ikx {

constexpr wchar_t kClientService[] = L"QVKXC";
constexpr wchar_t kOldClientService[] = L"KXClient";
constexpr wchar_t kEngineService[] = L"QVKXE";
constexpr wchar_t kOldEngineService[] = L"KXE";

// Starts the client service (QVKXC), waiting for it to run.
int32_t scStartKxcService();

// State queries: `state` is set to 0 first and stays 0 on failure.
void QueryIKxclientServiceStatus(DWORD& state);
void QueryOldKxclientServiceStatus(DWORD& state);
void QueryKxeServiceStatus(DWORD& state);
void QueryOldKxeServiceStatus(DWORD& state);

}  // namespace ikx
