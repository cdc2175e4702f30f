// KXInstaller.exe: the sensor's installer, for the testbed's sensor.
//
// Started as "<folder>\KXInstaller.exe" (the install's setup folder, or the
// uninstall's backup copy of the install folder). It needs its libraries
// beside it (log4c.dll, logging.xml, libDebugLogWriter.dll) or exits 2; the
// host agent's vornAgent.dll and PlmPIPC.dll, which an install brings and an
// upgrade does not, go into the install folder when they are there. It serves IPC destination 21
// and waits (up to ten minutes, real time) for one command, answering 0x20ff0000:
//   0x5001  install;
//   0x5003  install over an old (2.x) installation, or upgrade a current one
//           (a current one's install folder emptied first, the registry written before
//           the files are copied);
//   0x5002  uninstall.
// It exits 0x20ff0000 when the work is done and 1 when it failed.
//
// Install: the package is "<folder>\..\Package\" (the core archive's
// contents, with the engine's files) and its manifest KXSensor.manifest
// ("Name=Value" lines: Version, AgentGuid, ApiKey and the component values).
// The install folder is the sensor's own rule (KXE "InstallDir", else below
// the host agent's parent folder, else Program Files (x86)), normalised. It
// stops and deletes the services KXClient, KXE, QVKXC and QVKXE that exist,
// creates QVKXC and QVKXE on KxSensorService.exe in the install folder
// (QVKXC with --journal "<install folder>KXC_ipc_journal.txt", QVKXE
// --no-ipc), copies the package and its own files into the install folder,
// writes the registry values (KXC: Version, InstallPath, Agent GUID,
// API Key, components; KXE: Version, InstallDir) and starts both services.
// Uninstall: stops and deletes those services, deletes the KXC and KXE keys
// and the install folder.
//
// Every step is a line in "<folder>\debug\KXC_debug.log.0"; begin and end of
// the work go to "<folder>\debug\Torv_Event.log" as well. The line of the
// command taken ends with the system time (FILETIME units) it arrived, before
// it was answered: a test reads from there how long the installer was given.
//
// Scripted failures, from the environment variable IKX_INSTALLER_SCRIPT:
//   exit-before-ack      exits 0x20ff0000 without serving destination 21;
//   never-ack            answers every command with 1, exits 0x20ff0000 after
//                        the third;
//   ack-exit-0           takes the command, does nothing, exits 0;
//   hang                 takes the command, then sleeps ten minutes;
//   fail-after-services  install: exits 1 once the services were replaced;
//   fail-after-files     install: exits 1 after copying half the files.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sensor/sensor_registry.h"
#include "installer_services.h"
#include "environment_line.h"
#include "ipc_endpoint.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kSuccess = 0x20ff0000;
constexpr DWORD kFailure = 1;
constexpr DWORD kMissingLibrary = 2;
constexpr uint32_t kInstall = 0x5001, kUninstall = 0x5002, kInstallOverOld = 0x5003;
constexpr auto kCommandWait = std::chrono::minutes(10);

const wchar_t* const kOwnFiles[] = {L"KXInstaller.exe", L"log4c.dll", L"logging.xml",
                                    L"libDebugLogWriter.dll"};
const wchar_t* const kHostAgentFiles[] = {L"vornAgent.dll", L"PlmPIPC.dll"};

fs::path g_self;  // the folder this installer runs from

std::string Script() {
    const char* script = std::getenv("IKX_INSTALLER_SCRIPT");
    return script ? script : "";
}

void Append(const wchar_t* file, const std::string& line) {
    std::error_code error;
    fs::create_directories(g_self / L"debug", error);
    std::ofstream(g_self / L"debug" / file, std::ios::app) << line << "\n";
}

void Log(const std::string& line) {
    Append(L"KXC_debug.log.0", line);
}

void Event(const std::string& line) {
    Append(L"Torv_Event.log", line);
    Log(line);
}

std::string Narrow(const std::wstring& text) {
    return fs::path(text).string();
}

std::string Hex(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(code));
    return text;
}

// Waits for the `count`th command; a code of 0 when none came.
testbed::ReceivedCommand TakeCommand(testbed::IpcEndpoint& endpoint, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kCommandWait;
    while (!endpoint.WaitForCommands(count, std::chrono::milliseconds(100))) {
        if (std::chrono::steady_clock::now() > deadline) return {};
    }
    return endpoint.Received()[count - 1];
}

std::map<std::string, std::string> ReadManifest(const fs::path& package) {
    std::map<std::string, std::string> values;
    std::ifstream in(package / L"KXSensor.manifest");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::wstring InstallFolder() {
    std::wstring folder;
    ikx::GetKxInstallFolder(folder);
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? full : folder;
}

// Retries: a service process that was just stopped may still hold its image.
bool CopyRetrying(const fs::path& from, const fs::path& to) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::error_code error;
        fs::create_directories(to.parent_path(), error);
        if (::CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// The major number of the client's registered "Version" (0 when none).
unsigned InstalledMajorVersion() {
    wchar_t text[64] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvask\\KXC", L"Version", RRF_RT_REG_SZ,
                       nullptr, text, &size) != ERROR_SUCCESS) {
        return 0;
    }
    return static_cast<unsigned>(std::wcstoul(text, nullptr, 10));
}

// Removes what the folder holds; a service process just stopped may still hold its image.
void EmptyFolder(const fs::path& folder) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::error_code error;
        std::vector<fs::path> entries;
        for (const auto& entry : fs::directory_iterator(folder, error)) entries.push_back(entry);
        bool left = false;
        for (const auto& entry : entries) left |= fs::remove_all(entry, error) == 0 || bool(error);
        if (!left) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// The package's files and the installer's own, `limit` of them at most.
bool CopyFiles(const fs::path& package, const fs::path& target, size_t limit) {
    std::vector<std::pair<fs::path, fs::path>> copies;
    std::error_code error;
    for (fs::recursive_directory_iterator entry(package, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->is_regular_file(error)) {
            copies.emplace_back(entry->path(), target / entry->path().lexically_relative(package));
        }
    }
    for (const wchar_t* name : kOwnFiles) copies.emplace_back(g_self / name, target / name);
    for (const wchar_t* name : kHostAgentFiles) {
        if (fs::exists(g_self / name)) copies.emplace_back(g_self / name, target / name);
    }
    for (size_t i = 0; i < copies.size() && i < limit; ++i) {
        if (!CopyRetrying(copies[i].first, copies[i].second)) {
            Log("copy failed: " + copies[i].first.string());
            return false;
        }
    }
    return true;
}

void WriteRegistry(const std::map<std::string, std::string>& manifest, const std::wstring& folder) {
    const std::wstring version = fs::path(manifest.at("Version")).wstring();
    std::wstring installPath = folder;
    if (installPath.size() > 3 && installPath.back() == L'\\') installPath.pop_back();
    SetValue(L"SOFTWARE\\Corvask\\KXC", L"Version", version);
    SetValue(L"SOFTWARE\\Corvask\\KXE", L"Version", version);
    SetValue(L"SOFTWARE\\Corvask\\KXE", L"InstallDir", folder);
    SetValue(L"SOFTWARE\\Corvask\\KXC", L"InstallPath", installPath);
    for (const auto& value : manifest) {
        std::wstring name = fs::path(value.first).wstring();
        if (name == L"Version") continue;
        if (name == L"AgentGuid") name = L"Agent GUID";
        if (name == L"ApiKey") name = L"API Key";
        SetValue(L"SOFTWARE\\Corvask\\KXC", name, fs::path(value.second).wstring());
    }
}

DWORD Install(uint32_t code) {
    const fs::path package = (g_self / L".." / L"Package").lexically_normal();
    const auto manifest = ReadManifest(package);
    if (!manifest.count("Version")) {
        Log("no manifest in " + package.string());
        return kFailure;
    }
    const std::wstring folder = InstallFolder();
    Event((code == kInstallOverOld ? "install over old into " : "install into ") + Narrow(folder));
    RemoveSensorServices();
    // An upgrade of a current (3.x) installation replaces it: the old files
    // go, and the new version is on record before the new files are in. Over
    // a 2.x installation the old folder is the product's to clean up.
    if (code == kInstallOverOld && InstalledMajorVersion() >= 3) {
        EmptyFolder(folder);
        WriteRegistry(manifest, folder);
    }
    if (!CreateSensorServices(folder)) return Log("service creation failed"), kFailure;
    if (Script() == "fail-after-services") return Log("scripted failure"), kFailure;
    const bool half = Script() == "fail-after-files";
    if (!CopyFiles(package, folder, half ? 3 : SIZE_MAX)) return kFailure;
    if (half) return Log("scripted failure"), kFailure;
    WriteRegistry(manifest, folder);
    if (!StartSensorServices()) return Log("services did not start"), kFailure;
    Event("installed version " + manifest.at("Version"));
    return kSuccess;
}

DWORD Uninstall() {
    const std::wstring folder = InstallFolder();
    Event("uninstall from " + Narrow(folder));
    RemoveSensorServices();
    DeleteSensorKeys();
    std::error_code error;
    for (int attempt = 0; attempt < 50 && fs::exists(folder); ++attempt) {
        fs::remove_all(folder, error);
        if (error) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fs::exists(folder)) return Log("install folder not removed: " + error.message()), kFailure;
    Event("uninstalled");
    return kSuccess;
}

// Serves destination 21 until the command came, then does what it asks.
DWORD Serve() {
    const bool refuse = Script() == "never-ack";
    std::map<uint32_t, uint32_t> refusals;
    for (uint32_t code : {kInstall, kUninstall, kInstallOverOld}) refusals[code] = 1;
    // Refusals in force from the start, so not even the first command is taken.
    testbed::IpcEndpoint endpoint(21, L"", refuse ? refusals : std::map<uint32_t, uint32_t>{});
    if (refuse) {
        for (size_t count = 1; count <= 3; ++count) {
            Log("refused command " + Hex(TakeCommand(endpoint, count).code));
        }
        return kSuccess;
    }
    const testbed::ReceivedCommand command = TakeCommand(endpoint, 1);
    const uint32_t code = command.code;
    Log("received command " + Hex(code) + " at " + std::to_string(command.arrived));
    if (Script() == "ack-exit-0") return 0;
    if (Script() == "hang") {
        std::this_thread::sleep_for(kCommandWait);
        return kSuccess;
    }
    if (code == kInstall || code == kInstallOverOld) return Install(code);
    if (code == kUninstall) return Uninstall();
    return kFailure;
}

int Run() {
    Log("KXInstaller started in " + g_self.string() + ", pid " +
        std::to_string(::GetCurrentProcessId()) + ", script '" + Script() + "'");
    for (const wchar_t* name : kOwnFiles) {
        if (!fs::exists(g_self / name)) {
            Log("missing " + fs::path(name).string());
            return kMissingLibrary;
        }
    }
    if (Script() == "exit-before-ack") return static_cast<int>(kSuccess);
    const DWORD code = Serve();
    Log("exit code " + std::to_string(code));
    return static_cast<int>(code);
}

}  // namespace

int wmain() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    g_self = fs::path(self).parent_path();
    Log(testbed::EnvironmentLine());
    try {
        return Run();
    } catch (const std::exception& error) {
        Log(std::string("failed: ") + error.what());
        return static_cast<int>(kFailure);
    }
}
