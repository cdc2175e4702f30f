#pragma once
// Child processes: run a program and wait for it, and the vcredist runtime
// step of installs and updates.
#include <windows.h>

#include <string>

namespace ikx {

// What a program started as SYSTEM is given: an environment block (for
// CREATE_UNICODE_ENVIRONMENT) and a folder to start in, both made by Prepare
// (a Windows error, 0 on success). The folders it makes are held-folder
// work, which lives in a room above this one.
class ChildSetup {
  public:
    virtual ~ChildSetup() = default;
    virtual DWORD Prepare() = 0;
    virtual void* Block() = 0;
    virtual const wchar_t* Folder() const = 0;
};

// True if the program was started, in the environment and folder `child`
// prepares, and ended within 20 minutes; a program still running then is
// left running.
bool LaunchCmd(const wchar_t* program, const wchar_t* arguments, ChildSetup& child);

// Runs the runtime installer from `setupFolder` (ending with a backslash),
// set up by `child`, when Windows Installer does not know the runtime; false
// when it was present.
bool CheckAndInstallVcRedistributable(const std::wstring& setupFolder, bool is64Bit,
                                      ChildSetup& child);

// True on 64-bit Windows as seen from this process: IsWow64Process, looked up
// at run time (false when kernel32 lacks it). The shipping 32-bit DLL answers
// true on 64-bit Windows; the 64-bit test build answers false unless told
// otherwise (platform/test_seams).
bool IsWow64();

}  // namespace ikx
