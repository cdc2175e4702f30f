#include "deploy/staging.h"

#include <shlwapi.h>

#include <algorithm>
#include <atomic>
#include <vector>
#include <cwchar>

#include "deploy/decompress.h"
#include "platform/clock.h"
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

// A folder of ours, emptied in place through its handle as far as it goes;
// each file that stayed is told as an emptying tells it.
StagingPrep EmptyHeldFolder(const WorkFolder& folder) {
    StagingPrep prep;
    std::vector<Leftover> leftovers;
    prep.error = EmptyThroughHandle(folder.Handle(), folder.Path(), leftovers);
    for (const Leftover& leftover : leftovers) {
        if (leftover.folder) continue;
        LOG_WARN_AS("CleanDirectory", "Delete file: (%ws) failed. (Error: %d)",
                    (folder.Path() + leftover.path).c_str(), static_cast<int>(leftover.error));
    }
    if (prep.error != 0) prep.step = StagingPrep::kNotEmptied;
    return prep;
}

}  // namespace

StagingPrep PrepareStagingFolder(const std::wstring& folder, WorkFolder& staging) {
    StagingPrep prep;
    SweepPrivateFolders();
    const FolderTrust found = HoldTrustedFolder(folder, staging);
    if (found == FolderTrust::kTrusted) {
        prep = EmptyHeldFolder(staging);
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

namespace {

constexpr int kCopyAttempts = 5;
constexpr DWORD kCopyRetryMs = 2000;
constexpr DWORD kCopyChunk = 64 * 1024;

// Opens the folders of `below`, one name at a time below `parent`, never a
// link; a missing or other entry reads as a missing path.
DWORD OpenFoldersBelow(HANDLE parent, const std::wstring& below, UniqueFile& folder) {
    for (size_t start = 0; start < below.size();) {
        const size_t end = std::min(below.find(L'\\', start), below.size());
        const std::wstring name = below.substr(start, end - start);
        start = end + 1;
        if (name.empty()) continue;
        UniqueFile next;
        DWORD attributes = 0;
        DWORD error = OpenBelow(folder ? folder.get() : parent, name,
                                FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, next);
        if (error == 0) error = AttributesOf(next.get(), attributes);
        if (error == ERROR_FILE_NOT_FOUND || IsReparsePoint(attributes) ||
            (error == 0 && !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            return ERROR_PATH_NOT_FOUND;
        }
        if (error != 0) return error;
        folder = std::move(next);
    }
    return folder ? 0 : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
}

// Copies the bytes of `file` below `from` into a new file `name` below `to`.
DWORD CopyLogBelow(HANDLE from, const wchar_t* file, HANDLE to, const std::wstring& name) {
    UniqueFile source, target;
    DWORD attributes = 0;
    DWORD error = OpenBelow(from, file, GENERIC_READ, source);
    if (error == 0) error = AttributesOf(source.get(), attributes);
    if (error == 0 && (IsReparsePoint(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
        error = ERROR_FILE_NOT_FOUND;
    }
    if (error == 0) error = CreateFileBelow(to, name, target);
    if (error == 0) error = CopyBytes(source.get(), target.get(), kCopyChunk);
    return error;
}

// The copy's attempts, recorded as the retrying single-file copy records them.
void CopyKeptLog(HANDLE debug, const std::wstring& shownSource, const wchar_t* file,
                 const WorkFolder& kept, const std::wstring& keptName) {
    const std::wstring shownTarget = WithoutTrailingBackslash(kept.Path()) + L"\\\\" + keptName;
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        const DWORD error = CopyLogBelow(debug, file, kept.Handle(), keptName);
        if (error == 0) return;
        LOG_INFO_AS("TryCopyFile", "[%d]Copy failed \"%ws\" -> \"%ws\". Error code = : %lu",
                    attempt, shownSource.c_str(), shownTarget.c_str(),
                    static_cast<unsigned long>(error));
        // A name that is taken stays taken: waiting would not make the file new.
        if (error == ERROR_FILE_EXISTS) return;
        SleepMs(kCopyRetryMs);
    }
}

}  // namespace

void KeepLog(const WorkFolder& staging, const KeptLogSource& source, const wchar_t* file,
             const wchar_t* stem, const wchar_t* operation, const SYSTEMTIME& local) {
    const std::wstring keptLogs = GetStagingPaths().keptLogs;
    WorkFolder folder;
    FolderTrust found = FolderTrust::kMissing;
    if (const DWORD error = TakeWorkFolder(keptLogs, Aside::kKeep, folder, found)) {
        LOG_WARN("Kept-log folder (%ws) is not a safe directory, log not kept. (Error: %d)",
                 keptLogs.c_str(), static_cast<int>(error));
        return;
    }
    const std::wstring shownSource = source.shown + L"\\" + file;
    UniqueFile debug;
    if (!staging.Held() || OpenFoldersBelow(staging.Handle(), source.below, debug) != 0) {
        LOG_INFO_AS("TryCopyFile", "Cannot copy: \"%ws\" doesn't exist.", shownSource.c_str());
        return;
    }
    CopyKeptLog(debug.get(), shownSource, file, folder, KeptLogName(stem, operation, local));
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
