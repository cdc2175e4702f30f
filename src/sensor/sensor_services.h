#pragma once
// The sensor's services: their names, their states, starting the client, and
// whether a current installation is present.
#include <windows.h>

#include <cstdint>

namespace ikx {

constexpr wchar_t kClientService[] = L"QVKXC";
constexpr wchar_t kOldClientService[] = L"KXClient";
constexpr wchar_t kEngineService[] = L"QVKXE";
constexpr wchar_t kOldEngineService[] = L"KXE";

// Starts the client service (QVKXC), waiting for it to run.
int32_t scStartKxcService();

// Which pair of sensor service names is in force, chosen afresh on each call.
enum class KxServiceGeneration { kCurrent, kOld, kNone };
KxServiceGeneration GetKxServiceGeneration();

// State queries: `state` is set to 0 first and stays 0 on failure.
void QueryIKxclientServiceStatus(DWORD& state);
void QueryOldKxclientServiceStatus(DWORD& state);
void QueryKxeServiceStatus(DWORD& state);
void QueryOldKxeServiceStatus(DWORD& state);

bool IsIKxInstalled();

}  // namespace ikx
