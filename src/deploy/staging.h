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

// Makes the staging folder an empty directory of our own. A directory we
// trust is emptied (kNotEmptied when that fails). A file or a link of that
// name is removed, a directory someone else made or may write to is emptied
// and removed, and the folder is made anew with the protected DACL; when any
// of that fails the step is kNotCleared.
struct StagingPrep {
    enum Step { kReady, kNotEmptied, kNotCleared } step = kReady;
    DWORD error = 0;  // CleanDirectory's result, or the error of the removal or creation
};
StagingPrep PrepareStagingFolder(const std::wstring& folder);

// The kept-log folder, ready to take a log: made with the protected DACL when
// missing, a link removed first, a folder others may write to protected; a
// file, or a folder owned by someone else, is refused (kNotCleared).
StagingPrep PrepareKeptLogFolder(const std::wstring& folder);

// Install, uninstall and a staged update each use the staging folder alone:
// a holder claims it before the first change and releases it when done. A
// claim by another holder while one holds it fails; a holder may claim again.
bool ClaimStagingFolder(const void* holder);
void ReleaseStagingFolder(const void* holder);

// A command's claim for the length of its run.
class StagingClaim {
  public:
    StagingClaim() : held_(ClaimStagingFolder(this)) {}
    ~StagingClaim() {
        if (held_) ReleaseStagingFolder(this);
    }
    StagingClaim(const StagingClaim&) = delete;
    StagingClaim& operator=(const StagingClaim&) = delete;
    bool Held() const { return held_; }

  private:
    bool held_;
};

// Whether removing or emptying `folder` would take what must stay with it: a
// root or system folder, the host agent's folder or one above it, or a folder
// above the sensor's current install folder.
bool HoldsWhatMustStay(const std::wstring& folder);

// The three extractions of a package: the package into the staging folder,
// then its engine archive into the staging folder and its core archive into
// the package folder. With `requireBothArchives`, both inner archives must be
// present before either is unpacked. Returns the step that failed.
enum class ExtractStep { kDone, kPackage, kArchivesMissing, kEngine, kCore };
ExtractStep ExtractSensorPackage(const std::wstring& packageFile, const StagingPaths& paths,
                                 bool requireBothArchives);

// The warning text each failed step puts on its record; the install and the
// update word them differently.
struct ExtractStepTexts {
    const char* package;
    const char* archivesMissing;
    const char* engine;
    const char* core;
};
// True for kDone; any other step is recorded at warning level under the
// caller's module and function.
bool ExtractStepSucceeded(ExtractStep step, const ExtractStepTexts& texts, const char* logFile,
                          const char* function);

// Copies the installer and its libraries from the package folder into the
// setup folder (overwriting, failures ignored); with `hostAgentLibraries` also
// the host agent's two libraries from the package's "Pelmo" folder.
void CopySetupFiles(const StagingPaths& paths, bool hostAgentLibraries);

// "<stem>_<operation>_YYYY_MM_DD_hh_mm_ss_mmm.log" from a local time, e.g.
// KXC_debug_Install_2024_05_01_13_02_03_004.log.
std::wstring KeptLogName(const wchar_t* stem, const wchar_t* operation, const SYSTEMTIME& local);
// Copies debugFolder\file into the kept-log folder under KeptLogName, once
// that folder is one of our own (see PrepareKeptLogFolder); otherwise logs why not.
void KeepLog(const std::wstring& debugFolder, const wchar_t* file, const wchar_t* stem,
             const wchar_t* operation, const SYSTEMTIME& local);

// True on 64-bit Windows as seen from this process: IsWow64Process, looked up
// at run time (false when kernel32 lacks it). The 32-bit DLL answers true on
// 64-bit Windows; the 64-bit test build answers false.
bool IsWow64();

}  // namespace ikx
