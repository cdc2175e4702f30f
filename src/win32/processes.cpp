#include "win32/processes.h"

#include <windows.h>
#include <msi.h>

#include <cwchar>
#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "platform/test_seams.h"

namespace ikx {
namespace {

constexpr DWORD kLaunchWaitMs = 20 * 60 * 1000;

constexpr wchar_t kVcRuntime64ProductCode[] = L"{7D0B74C2-C3F8-4AF1-940F-CD79AB4B2DCE}";
constexpr wchar_t kVcRuntime32ProductCode[] = L"{0FA68574-690B-4B00-89AA-B28946231449}";
constexpr wchar_t kVersionMajorProperty[] = L"VersionMajor";
constexpr wchar_t kVcRedist64[] = L"vcredist_x64.exe";
constexpr wchar_t kVcRedist32[] = L"vcredist_x86.exe";
constexpr wchar_t kVcRedistArguments[] = L"/q /norestart";

bool IsVcRuntimeInstalled(bool is64Bit) {
    // Only whether the product is known matters, so no value buffer is given.
    DWORD size = 0;
    const UINT result =
        ::MsiGetProductInfoW(is64Bit ? kVcRuntime64ProductCode : kVcRuntime32ProductCode,
                             kVersionMajorProperty, nullptr, &size);
    return result == ERROR_SUCCESS || result == ERROR_MORE_DATA;
}

}  // namespace

bool LaunchCmd(const wchar_t* program, const wchar_t* arguments, ChildSetup& child) {
    if (!program || !*program) {
        LOG_WARN("Invalid program name.");
        return false;
    }
    // Quoted, so a path with blanks is never split into program and arguments.
    // The arguments may carry a credential: the line is built in one buffer,
    // without temporaries, and wiped once the process has it.
    std::vector<wchar_t> commandLine;
    commandLine.reserve(wcslen(program) + (arguments ? wcslen(arguments) : 0) + 4);
    commandLine.push_back(L'"');
    commandLine.insert(commandLine.end(), program, program + wcslen(program));
    commandLine.push_back(L'"');
    if (arguments) {
        commandLine.push_back(L' ');
        commandLine.insert(commandLine.end(), arguments, arguments + wcslen(arguments));
    }
    commandLine.push_back(L'\0');  // CreateProcessW may write into its command line

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    DWORD error = child.Prepare();
    // Started in its run folder: nothing it looks for beside itself comes
    // from this process's current folder.
    const BOOL created =
        error == 0 && ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                       CREATE_UNICODE_ENVIRONMENT, child.Block(), child.Folder(),
                                       &startup, &info);
    if (error == 0) error = ::GetLastError();
    ::SecureZeroMemory(commandLine.data(), commandLine.size() * sizeof(wchar_t));
    if (!created) {
        LOG_WARN("Create process failed. error:%d", static_cast<int>(error));
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    thread.reset();  // only the process is waited for
    return ::WaitForSingleObject(process.get(), ScaledMs(kLaunchWaitMs)) != WAIT_TIMEOUT;
}

bool CheckAndInstallVcRedistributable(const std::wstring& setupFolder, bool is64Bit,
                                      ChildSetup& child) {
    if (IsVcRuntimeInstalled(is64Bit)) {
        LOG_INFO("VC runtime installed");
        return false;
    }
    LOG_INFO("Start to install VC runtime");
    const std::wstring installer = setupFolder + (is64Bit ? kVcRedist64 : kVcRedist32);
    const bool launched = LaunchCmd(installer.c_str(), kVcRedistArguments, child);
    if (!launched) LOG_WARN("Fail to install VC runtime");
    return launched;
}

bool IsWow64() {
    const int answer = TestWow64Answer();
    if (answer >= 0) return answer == 1;
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    // Looked up by name: older systems lack it, and then there is no WOW64.
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    const auto isWow64Process = kernel ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(
                                             ::GetProcAddress(kernel, "IsWow64Process")))
                                       : nullptr;
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace ikx
