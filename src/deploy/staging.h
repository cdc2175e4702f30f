#pragma once
// The staging area under the Windows temp folder that install, uninstall and
// the staged upgrade share: its folders, preparing it, unpacking a sensor
// package into it, the installer's setup files, and keeping the installer's
// logs. Callers log their own records; these helpers only report.
#include <windows.h>

#include <string>

#include "workfolders/work_folders.h"

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

// Makes the staging folder an empty directory of our own and holds it in
// `staging`, after sweeping what earlier work left in private folders. A
// folder of ours is emptied in place through its handle (kNotEmptied when
// that fails: it stays held). Anything else there (a file, a link, a folder someone
// else made or may write to) is moved aside, never walked, and the folder is
// made anew with the protected DACL; so is a folder of ours that an emptying
// reported empty but is not. When that fails the step is kNotCleared.
struct StagingPrep {
    enum Step { kReady, kNotEmptied, kNotCleared } step = kReady;
    DWORD error = 0;  // CleanDirectory's result, or the error of the move or creation
};
StagingPrep PrepareStagingFolder(const std::wstring& folder, WorkFolder& staging);

// Removes the staging folder at the end of a deployment: the held folder
// through its own handle, or whatever is at `path` when none is held. What
// cannot go now is deleted at the next restart, from the private folder.
void RemoveStagingFolder(WorkFolder& staging, const std::wstring& path);

// Install, uninstall and a staged update each use the staging folder alone:
// a holder claims it before the first change and releases it when done. A
// claim by another holder while one holds it fails; a holder may claim again.
bool ClaimStagingFolder(const void* holder);
void ReleaseStagingFolder(const void* holder);
// Whether `holder` holds the claim now; claims nothing.
bool HoldsStagingFolder(const void* holder);

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
// Where an installer's log is kept from: the folder `below` the held staging
// folder (e.g. "Setup\debug"), which records name as `shown`.
struct KeptLogSource {
    const wchar_t* below;
    std::wstring shown;
};
// Copies the source folder's `file` into the kept-log folder under
// KeptLogName, always as a new file, with retries. It is read only through
// the held staging folder, a name at a time and never through a link; when
// the staging folder is not held there is nothing to read. The kept-log
// folder is used only as a folder of ours: one that is not (open to users,
// owned by someone else, a link or a file) is renamed aside with what it
// holds and made anew; otherwise logs why not.
void KeepLog(const WorkFolder& staging, const KeptLogSource& source, const wchar_t* file,
             const wchar_t* stem, const wchar_t* operation, const SYSTEMTIME& local);

}  // namespace ikx
