#include "common/staging.h"

#include <shlwapi.h>

#include <cwchar>

#include "common/file_ops.h"

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

// "X\" names nothing when X is a file, so files are looked for as "X".
std::wstring WithoutTrailingBackslash(std::wstring path) {
    while (path.size() > 1 && path.back() == L'\\') path.pop_back();
    return path;
}

void CopyOverwriting(const std::wstring& from, const std::wstring& to) {
    ::CopyFileW(from.c_str(), to.c_str(), FALSE);
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

StagingPrep PrepareStagingFolder(const std::wstring& folder) {
    StagingPrep prep;
    switch (GetPathKind(folder)) {
        case PathKind::kDirectory:
            prep.error = CleanDirectory(folder.c_str(), false, false);
            if (prep.error != 0) prep.step = StagingPrep::kNotEmptied;
            break;
        case PathKind::kFile:
            if (!::DeleteFileW(WithoutTrailingBackslash(folder).c_str())) {
                prep.error = ::GetLastError();
                prep.step = StagingPrep::kFileNotDeleted;
            }
            break;
        case PathKind::kMissing:
            break;
    }
    return prep;
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

void CopySetupFiles(const StagingPaths& paths, bool hostAgentLibraries) {
    for (const wchar_t* name : kInstallerFiles) {
        CopyOverwriting(paths.package + name, paths.setup + name);
    }
    if (!hostAgentLibraries) return;
    for (const wchar_t* name : kHostAgentLibraries) {
        CopyOverwriting(paths.package + L"Pelmo\\" + name, paths.setup + name);
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
    const std::wstring keptName = KeptLogName(stem, operation, local);
    TryCopyFile(debugFolder.c_str(), GetStagingPaths().keptLogs.c_str(), file, keptName.c_str());
}

bool IsWow64() {
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
