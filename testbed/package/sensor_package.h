#pragma once
// Builds the sensor's install package "instupg_iKX.zip" from the testbed's
// stand-ins, the way the sensor's build would:
//   instupg_iKX.zip
//     KXEngineWin32.zip   Setup/vcredist_x64.exe, Setup/vcredist_x86.exe,
//                         Package/KXEServiceShell.exe, Package/KXEFrameworkHost.exe
//     KXCoreWin32.zip     KXInstaller.exe, log4c.dll, logging.xml,
//                         libDebugLogWriter.dll, Pelmo/vornAgent.dll,
//                         Pelmo/PlmPIPC.dll, KXClient.exe, KXSensor.manifest,
//                         Pattern/data_<n>.bin (optional bulk)
// The engine archive unpacks into the staging folder and the core archive
// into its Package folder, so both sets of sensor files meet there.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testbed {

struct SensorPackageOptions {
    std::string version = "3.2.1.4321";
    std::string agentGuid = "{5D1E8A30-7C42-4B9E-A0F6-2B7C9D3E1F48}";
    std::string apiKey = "k3y-7f9c2e41d0b84a6e";
    // Registry value name and value, written by the installer under KXC.
    std::vector<std::pair<std::string, std::string>> components = {
        {"SLF_KernelGlobalVersion", "1.301.00"},
        {"SLF_KernelGlobalDownloadTime", "133500000000000000"},
        {"SLF_ADECorvaskVersion", "2.14.7"},
        {"SLF_ADECorvaskDownloadTime", "133500000000000000"},
        {"XdrFilterVersion", "1.6.3"},
        {"XdrFilterDownloadTime", "133500000000000000"},
    };
    bool engineArchive = true;
    bool coreArchive = true;
    enum class Damage {
        kNone,
        kNotZip,
        kTruncated,
        kEngineNotZip,
        kCoreNotZip
    } damage = Damage::kNone;
    std::string extraOuterEntry;  // e.g. "../escaped.txt": an entry aimed outside
    size_t bulkBytes = 0;         // pattern data in the core archive, in 1 MB files
};

// Writes <folder>instupg_iKX.zip (folder ends with a backslash) from the
// stand-ins in binDir. False, with a reason, when a file could not be read
// or the archive not written.
bool BuildSensorPackage(const std::wstring& folder, const std::wstring& binDir,
                        const SensorPackageOptions& options, std::string* reason = nullptr);

// The same package as it lies after the product unpacked it and copied the
// setup files: <root>Setup\ (installer, its libraries, runtime installers) and
// <root>Package\ (root ends with a backslash).
bool StageSensorPackage(const std::wstring& root, const std::wstring& binDir,
                        const SensorPackageOptions& options, std::string* reason = nullptr);

// Runs an installer directly, the way the product does but without it: starts
// it in its own folder, sends `code` to destination 21 until it is taken, and
// waits for the end. The exit code, or 0xFFFFFFFF when it did not end within
// five minutes (it is then terminated) or could not be started.
DWORD RunInstallerDirectly(const std::wstring& installer, uint32_t code);

}  // namespace testbed
