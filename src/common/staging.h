#pragma once
// The staging area under the Windows temp folder that install, uninstall and
// the staged upgrade share: its folders, preparing it, unpacking a sensor
// package into it, the installer's setup files, and keeping the installer's
// logs. Callers log their own records; these helpers only report.
#include <windows.h>

#include <string>

namespace ikx {

// Every folder is built by plain concatenation and ends with a backslash; a
// doubled backslash (Temp\Sensor\\Setup\) is accepted by Windows as it is.
struct StagingPaths {
    std::wstring temp;        // C:\Windows\Temp (no trailing backslash)
    std::wstring sensor;      // temp + "\Sensor\": the staging folder
    std::wstring package;     // sensor + "\Package\": the core archive's contents
    std::wstring setup;       // sensor + "\Setup\": where the installer runs
    std::wstring backup;      // sensor + "\Backup\"
    std::wstring keptLogs;    // temp + "\KXE_Debug\"
    std::wstring sensorData;  // temp + "\SensorData\"
};
StagingPaths GetStagingPaths();

constexpr wchar_t kPackageName[] = L"instupg_iKX.zip";
constexpr wchar_t kCoreArchive[] = L"KXCoreWin32.zip";
constexpr wchar_t kEngineArchive[] = L"KXEngineWin32.zip";
constexpr wchar_t kInstallerName[] = L"KXInstaller.exe";
constexpr wchar_t kInstallerLog[] = L"KXC_debug.log.0";

enum class PathKind { kMissing, kFile, kDirectory };
// Looks through a trailing backslash: Windows reports nothing for "X\" when
// X is a file, so the name is probed without it.
PathKind GetPathKind(const std::wstring& path);

// Empties the staging folder when it is a directory and deletes it when it
// is a file; a missing folder is left missing.
struct StagingPrep {
    enum Step { kReady, kNotEmptied, kFileNotDeleted } step = kReady;
    DWORD error = 0;  // CleanDirectory's result, or GetLastError of the delete
};
StagingPrep PrepareStagingFolder(const std::wstring& folder);

// The three extractions of a package: the package into the staging folder,
// then its engine archive into the staging folder and its core archive into
// the package folder. With `requireBothArchives`, both inner archives must be
// present before either is unpacked. Returns the step that failed.
enum class ExtractStep { kDone, kPackage, kArchivesMissing, kEngine, kCore };
ExtractStep ExtractSensorPackage(const std::wstring& packageFile, const StagingPaths& paths,
                                 bool requireBothArchives);

// Copies the installer and its libraries from the package folder into the
// setup folder (overwriting, failures ignored); with `hostAgentLibraries` also
// the host agent's two libraries from the package's "Pelmo" folder.
void CopySetupFiles(const StagingPaths& paths, bool hostAgentLibraries);

// "<stem>_<operation>_YYYY_MM_DD_hh_mm_ss_mmm.log" from a local time, e.g.
// KXC_debug_Install_2024_05_01_13_02_03_004.log.
std::wstring KeptLogName(const wchar_t* stem, const wchar_t* operation, const SYSTEMTIME& local);
// Copies debugFolder\file into the kept-log folder under KeptLogName.
void KeepLog(const std::wstring& debugFolder, const wchar_t* file, const wchar_t* stem,
             const wchar_t* operation, const SYSTEMTIME& local);

// True on 64-bit Windows as seen from this process: IsWow64Process, looked up
// at run time (false when kernel32 lacks it). The 32-bit DLL answers true on
// 64-bit Windows; the 64-bit test build answers false.
bool IsWow64();

}  // namespace ikx
