// Update: the installer from the setup folder, handed the upgrade command.
#include "deploy/installer_run.h"
#include "win32/processes.h"
#include "workfolders/child_environment.h"
#include "deploy/staging.h"
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {
namespace {

// The install command's installer run with the upgrade code, told as a result code.
int32_t TriggerUpgrade(const std::wstring& installer, const std::wstring& workingFolder,
                       NipcObject& ipc) {
    InstallerRun run;
    run.installer = installer;
    run.workingFolder = workingFolder;
    run.ipc = &ipc;
    run.code = kInstallerCmdInstallOverOld;
    run.creationFlags = 0;  // unlike the commands, the upgrade's installer may show a window
    run.logFile = IKX_LOG_FILE;
    run.function = __func__;
    run.announceWait = false;
    const InstallerResult result = RunInstaller(run);
    switch (result.outcome) {
        case InstallerResult::kStartFailed:
            return kInstallerNotStarted;
        case InstallerResult::kEndedBeforeAck:
            return kIpcFailed;
        case InstallerResult::kTimedOut:
            return kInstallerTimedOut;
        case InstallerResult::kExitCodeUnreadable:
            return kClearFailed;
        case InstallerResult::kExited:
            break;
    }
    return result.Succeeded() ? 0 : kInstallerFailed;
}

}  // namespace

int32_t vornExt_DoUpdate(const void* options, void* context) {
    if (const int32_t refused = CheckStageEntry(__func__, options, context)) return refused;
    auto& update = *static_cast<UpdateContext*>(context);
    // The setup folder holds what the claiming context staged: no other
    // context may run that installer. The one that staged it may run it
    // again after a run that failed or succeeded, as long as it holds it.
    if (!update.staging.Held() || !HoldsStagingFolder(&update)) {
        LOG_WARN("The context has not staged the package, update refused.");
        return kInvalidArgument;
    }
    update.state = kInstalling;
    const StagingPaths paths = GetStagingPaths();
    // The package brings the runtime installers; whether one ran does not matter.
    ChildEnvironment runtime;
    CheckAndInstallVcRedistributable(paths.setup, IsWow64(), runtime);
    const int32_t result = TriggerUpgrade(paths.setup + kInstallerName, paths.setup, update.ipc);
    if (result != 0) {
        LOG_WARN("Trigger installer failed");
        return result;
    }
    update.state = kInstalled;
    return 0;
}

}  // namespace ikx::update
