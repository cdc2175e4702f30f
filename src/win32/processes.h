#pragma once
// Child processes: run a program and wait for it, and the vcredist runtime
// step of installs and updates.
#include <string>

namespace ikx {

// True if the program was started and ended within 20 minutes; a program
// still running then is left running.
bool LaunchCmd(const wchar_t* program, const wchar_t* arguments);

// Runs the runtime installer from `setupFolder` (ending with a backslash)
// when Windows Installer does not know the runtime; false when it was present.
bool CheckAndInstallVcRedistributable(const std::wstring& setupFolder, bool is64Bit);

}  // namespace ikx
