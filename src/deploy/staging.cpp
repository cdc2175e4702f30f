#include "deploy/staging.h"

#include <shlwapi.h>

#include <atomic>
#include <cwchar>

#include "deploy/decompress.h"
#include "win32/file_ops.h"
#include "win32/folder_rules.h"
#include "hostagent/host_agent.h"
#include "sensor/sensor_registry.h"
#include "log/log.h"
#include "platform/links.h"

namespace ikx {
namespace {

constexpr size_t kNameChars = 128;

// The installer and the libraries it loads, copied in this order.
constexpr const wchar_t* kInstallerFiles[] = {kInstallerName, L"log4c.dll", L"logging.xml",
                                              L"libDebugLogWriter.dll"};
constexpr const wchar_t* kHostAgentLibraries[] = {L"vornAgent.dll", L"PlmPIPC.dll"};

bool Exists(const std::wstring& path) {
    return ::PathFileExistsW(path.c_str()) != FALSE;
}

}  // namespace

StagingPaths GetStagingPaths() {
    StagingPaths paths;
    GetWindowsTempFolder(paths.temp);
    paths.sensor = paths.temp + L"\\Sensor\\";
    paths.package = paths.sensor + L"\\Package\\";
    paths.setup = paths.sensor + L"\\Setup\\";
    paths.backup = paths.sensor + L"\\Backup\\";
    paths.keptLogs = paths.temp + L"\\KXE_Debug\\";
    paths.sensorData = paths.temp + L"\\SensorData\\";
    return paths;
}

PathKind GetPathKind(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(WithoutTrailingBackslash(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kFile;
}

namespace {

// A folder of ours, emptied in place as far as it goes.
StagingPrep EmptyHeldFolder(const std::wstring& folder) {
    StagingPrep prep;
    prep.error = CleanDirectory(folder.c_str(), false, false);
    if (prep.error != 0) prep.step = StagingPrep::kNotEmptied;
    return prep;
}

}  // namespace

StagingPrep PrepareStagingFolder(const std::wstring& folder, WorkFolder& staging) {
    StagingPrep prep;
    const FolderTrust found = HoldTrustedFolder(folder, staging);
    if (found == FolderTrust::kTrusted) {
        prep = EmptyHeldFolder(folder);
        if (prep.step != StagingPrep::kReady || staging.IsEmpty()) return prep;
        // Reported emptied, yet something stayed: a fresh folder is empty by
        // construction, so this one goes aside like any other.
        staging.Release();
        prep.error = MoveAside(folder, Aside::kDelete);
        if (prep.error != 0) {
            prep.step = StagingPrep::kNotEmptied;
            return prep;
        }
    } else if (found != FolderTrust::kMissing) {
        prep.error = MoveAside(folder, Aside::kDelete);
    }
    if (prep.error == 0) prep.error = MakeWorkFolder(folder, staging);
    if (prep.error != 0) prep.step = StagingPrep::kNotCleared;
    return prep;
}

void RemoveStagingFolder(WorkFolder& staging, const std::wstring& path) {
    if (staging.Held()) {
        RemoveWorkFolder(staging);
    } else {
        MoveAside(path, Aside::kDelete);
    }
}

ExtractStep ExtractSensorPackage(const std::wstring& packageFile, const StagingPaths& paths,
                                 bool requireBothArchives) {
    const std::wstring core = paths.sensor + L"\\" + kCoreArchive;
    const std::wstring engine = paths.sensor + L"\\" + kEngineArchive;
    if (!DecompressFile(packageFile, paths.sensor)) return ExtractStep::kPackage;
    if (requireBothArchives && !(Exists(core) && Exists(engine))) {
        return ExtractStep::kArchivesMissing;
    }
    if (!DecompressFile(engine, paths.sensor)) return ExtractStep::kEngine;
    if (!DecompressFile(core, paths.package)) return ExtractStep::kCore;
    return ExtractStep::kDone;
}

namespace {

const char* TextOf(ExtractStep step, const ExtractStepTexts& texts) {
    switch (step) {
        case ExtractStep::kPackage:
            return texts.package;
        case ExtractStep::kArchivesMissing:
            return texts.archivesMissing;
        case ExtractStep::kEngine:
            return texts.engine;
        case ExtractStep::kCore:
            return texts.core;
        case ExtractStep::kDone:
            break;
    }
    return nullptr;
}

}  // namespace

bool ExtractStepSucceeded(ExtractStep step, const ExtractStepTexts& texts, const char* logFile,
                          const char* function) {
    const char* text = TextOf(step, texts);
    if (!text) return true;
    WriteDebugLog(kLogTag, kWarn, logFile, __LINE__, function, "%s", text);
    return false;
}

void CopySetupFiles(const StagingPaths& paths, bool hostAgentLibraries) {
    for (const wchar_t* name : kInstallerFiles) {
        CopyReplacingName(paths.package + name, paths.setup + name);
    }
    if (!hostAgentLibraries) return;
    for (const wchar_t* name : kHostAgentLibraries) {
        CopyReplacingName(paths.package + L"Pelmo\\" + name, paths.setup + name);
    }
}

std::wstring KeptLogName(const wchar_t* stem, const wchar_t* operation, const SYSTEMTIME& local) {
    wchar_t name[kNameChars] = {};
    _snwprintf_s(name, kNameChars, _TRUNCATE, L"%ls_%ls_%04d_%02d_%02d_%02d_%02d_%02d_%03d.log",
                 stem, operation, local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                 local.wSecond, local.wMilliseconds);
    return name;
}

void KeepLog(const std::wstring& debugFolder, const wchar_t* file, const wchar_t* stem,
             const wchar_t* operation, const SYSTEMTIME& local) {
    const std::wstring keptLogs = GetStagingPaths().keptLogs;
    WorkFolder folder;
    FolderTrust found = FolderTrust::kMissing;
    if (const DWORD error = TakeWorkFolder(keptLogs, Aside::kKeep, folder, found)) {
        LOG_WARN("Kept-log folder (%ws) is not a safe directory, log not kept. (Error: %d)",
                 keptLogs.c_str(), static_cast<int>(error));
        return;
    }
    const std::wstring keptName = KeptLogName(stem, operation, local);
    TryCopyFile(debugFolder.c_str(), keptLogs.c_str(), file, keptName.c_str(),
                CopyTarget::kNewFile);
}

namespace {
// The one deployment that may use the staging folder now; null when none does.
std::atomic<const void*> stagingHolder{nullptr};
}  // namespace

bool ClaimStagingFolder(const void* holder) {
    const void* expected = nullptr;
    return stagingHolder.compare_exchange_strong(expected, holder) || expected == holder;
}

void ReleaseStagingFolder(const void* holder) {
    const void* expected = holder;
    stagingHolder.compare_exchange_strong(expected, nullptr);
}

bool HoldsStagingFolder(const void* holder) {
    return holder && stagingHolder.load() == holder;
}

bool HoldsWhatMustStay(const std::wstring& folder) {
    if (IsSystemFolder(folder)) return true;
    std::wstring hostAgent, install, folderFull, installFull;
    if (GetPelmoClientInsallPath(hostAgent) && FolderContains(folder, hostAgent)) return true;
    // Above the install folder, not the install folder itself: a rollback empties that.
    return GetKxInstallFolder(install) && NormalizeFolder(folder, folderFull) &&
           NormalizeFolder(install, installFull) && folderFull.size() < installFull.size() &&
           FolderContains(folderFull, installFull);
}

}  // namespace ikx
