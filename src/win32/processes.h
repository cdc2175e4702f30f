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

// True on 64-bit Windows as seen from this process: IsWow64Process, looked up
// at run time (false when kernel32 lacks it). The shipping 32-bit DLL answers
// true on 64-bit Windows; the 64-bit test build answers false unless told
// otherwise (platform/test_seams).
bool IsWow64();

}  // namespace ikx
