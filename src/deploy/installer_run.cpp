#include "deploy/installer_run.h"

#include <vector>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/handles.h"
#include "workfolders/child_environment.h"

namespace ikx {
namespace {

constexpr DWORD kAckPollMs = 5000;
constexpr DWORD kInstallerRunMs = 20 * 60 * 1000;
constexpr UINT kTerminatedExitCode = 0xFFFFFFFF;
constexpr DWORD kTerminationMs = 30000;

bool StartInstaller(const InstallerRun& run, ChildEnvironment& environment, UniqueHandle& process) {
    const std::wstring quoted = L"\"" + run.installer + L"\"";
    std::vector<wchar_t> commandLine(quoted.begin(), quoted.end());
    commandLine.push_back(L'\0');  // CreateProcessW may write into its command line
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (environment.Prepare() != 0 ||
        !::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                          run.creationFlags | CREATE_UNICODE_ENVIRONMENT, environment.Block(),
                          run.workingFolder.c_str(), &startup, &info)) {
        return false;
    }
    process.reset(info.hProcess);
    UniqueHandle thread(info.hThread);  // only the process is waited for
    return true;
}

// Sends the code while the installer runs; true once a send succeeded,
// false when the installer ended first.
bool HandOverCode(const InstallerRun& run, HANDLE process) {
    while (::WaitForSingleObject(process, ScaledMs(kAckPollMs)) == WAIT_TIMEOUT) {
        if (SendNIPCTOKXInstaller(run.ipc, run.code)) return true;
        WriteDebugLog(kLogTag, kInfo, run.logFile, __LINE__, run.function,
                      "SendNIPCTOKXInstaller failed, need to try.");
    }
    return false;
}

}  // namespace

InstallerResult RunInstaller(const InstallerRun& run) {
    InstallerResult result;
    // Declared first: its folder is removed only once the installer has ended.
    ChildEnvironment environment;
    UniqueHandle process;
    if (!StartInstaller(run, environment, process)) return result;
    if (!HandOverCode(run, process.get())) {
        result.outcome = InstallerResult::kEndedBeforeAck;
        return result;
    }
    if (run.announceWait) {
        WriteDebugLog(kLogTag, kInfo, run.logFile, __LINE__, run.function,
                      "Wait for KXInstaller to finish.");
    }
    if (::WaitForSingleObject(process.get(), ScaledMs(kInstallerRunMs)) == WAIT_TIMEOUT) {
        ::TerminateProcess(process.get(), kTerminatedExitCode);
        // Termination completes asynchronously; until it has, the installer's
        // image and logs cannot be removed with the staging folder.
        ::WaitForSingleObject(process.get(), ScaledMs(kTerminationMs));
        result.outcome = InstallerResult::kTimedOut;
        return result;
    }
    result.outcome = ::GetExitCodeProcess(process.get(), &result.exitCode)
                         ? InstallerResult::kExited
                         : InstallerResult::kExitCodeUnreadable;
    return result;
}

}  // namespace ikx
