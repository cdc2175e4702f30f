// The prerequisite answer, the update context's creation and release, and
// the entry checks the stages share.
#include <new>

#include "hostagent/ipc.h"
#include "sensor/sensor_registry.h"
#include "sensor/versions.h"
#include "deploy/staging.h"
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {

bool ReadOptionsFilePath(const void* options, std::wstring& path) {
    const auto* units = static_cast<const uint8_t*>(options) + kOptionsFilePathOffset;
    path.clear();
    for (size_t i = 0; i < kOptionsFilePathUnits; ++i) {
        const auto unit = ReadField<wchar_t>(units, i * sizeof(wchar_t));
        if (unit == L'\0') return true;
        path.push_back(unit);
    }
    return false;
}

int32_t CheckStageEntry(const char* stage, const void* options, const void* context) {
    if (!context) {
        LOG_WARN_AS(stage, "Context is invalid.");
        return kInvalidArgument;
    }
    // The framework always passes an options record; a null one is refused
    // like a bad option, without a record of its own.
    if (!options) return kInvalidArgument;
    const uint32_t option = UpdateOption(options);
    if (option > kHighestUpdateOption) {
        LOG_WARN_AS(stage, "Unkown update option: %d\n", static_cast<int>(option));
        return kInvalidArgument;
    }
    return 0;
}

int32_t vornExt_GetPrerequest(void* prerequisite) {
    if (!prerequisite) {
        LOG_WARN("pPrerequisite is NULL");
        return kInvalidArgument;
    }
    WriteField<uint32_t>(prerequisite, kPrerequisiteFlagsOffset, kPrerequisiteFlags);
    // Version numbers that cannot be read keep what the record held.
    auto major = ReadField<uint32_t>(prerequisite, kPrerequisiteMajorOffset);
    auto minor = ReadField<uint32_t>(prerequisite, kPrerequisiteMinorOffset);
    auto build = ReadField<uint32_t>(prerequisite, kPrerequisiteBuildOffset);
    GetKxcVersion(major, minor, build);
    WriteField(prerequisite, kPrerequisiteMajorOffset, major);
    WriteField(prerequisite, kPrerequisiteMinorOffset, minor);
    WriteField(prerequisite, kPrerequisiteBuildOffset, build);
    LOG_INFO("Current iKX version is %d.%d.%d", static_cast<int>(major), static_cast<int>(minor),
             static_cast<int>(build));
    WriteField<uint8_t>(prerequisite, kPrerequisiteNoNeedUnzipOffset, 1);
    LOG_INFO("set bNoNeedUnzip to true (%d)", 1);
    return 0;
}

int32_t vornExt_CreateContext(void** contextOut) {
    if (!contextOut) {
        LOG_WARN("ppContext is NULL");
        return kInvalidArgument;
    }
    // A context without the install folder could neither back it up nor
    // restore it. LocalAlloc sets the last error on failure, which the record reports.
    std::wstring folder;
    void* memory = nullptr;
    if (!GetKxInstallFolder(folder) || folder.size() >= kInstallFolderUnits) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    } else {
        memory = ::LocalAlloc(LPTR, sizeof(UpdateContext));
    }
    if (!memory) {
        LOG_WARN("Create context failed. (Error: %d)", static_cast<int>(::GetLastError()));
        return kCreateContextFailed;
    }
    auto* context = new (memory) UpdateContext();
    folder.copy(context->installFolder, folder.size());
    context->installFolder[folder.size()] = L'\0';
    GetKxcVersion(context->versionMajor, context->versionMinor, context->versionBuild);
    context->state = kCreated;
    *contextOut = context;
    return 0;
}

int32_t vornExt_ReleaseContext(void* context) {
    if (!context) return 0;
    auto* updateContext = static_cast<UpdateContext*>(context);
    // A binding left by a failed pre-update or a rollback would keep the IPC library loaded.
    DeInitNIPC(&updateContext->ipc);
    // Its staged files may now be cleared by the next install or update.
    ReleaseStagingFolder(updateContext);
    updateContext->~UpdateContext();
    ::LocalFree(context);
    return 0;
}

}  // namespace ikx::update
