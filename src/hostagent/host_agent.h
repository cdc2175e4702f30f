#pragma once
// Where the host agent lives: its registry key, folder, parent folder and GUID.
#include <string>

namespace ikx {

constexpr wchar_t kHostAgentKey[] = L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion";

// The "Application Path" value as stored (ends with a backslash).
bool GetPelmoClientInsallPath(std::wstring& folder);
// The folder above the host agent folder, ending with a backslash (or empty).
bool GetIProductParentPath(std::wstring& folder);
// The host agent GUID in the ANSI code page.
bool GetPelmoClientGUID(std::string& guid);

}  // namespace ikx
