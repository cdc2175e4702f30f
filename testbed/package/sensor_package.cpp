#include "sensor_package.h"

#include <windows.h>
#include <minizip/zip.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ipc_wire.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;
constexpr size_t kBulkFileBytes = 1024 * 1024;

struct Entry {
    std::string name;
    std::string data;
    int level;  // 0 stores, e.g. an archive inside the package
};

bool ReadFile(const fs::path& path, std::string& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteFile(const fs::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

bool WriteZip(const fs::path& path, const std::vector<Entry>& entries) {
    zipFile zip = zipOpen64(path.string().c_str(), APPEND_STATUS_CREATE);
    if (!zip) return false;
    bool ok = true;
    for (const Entry& entry : entries) {
        zip_fileinfo info = {};
        info.tmz_date = {0, 0, 12, 1, 4, 2024};
        ok = ok &&
             zipOpenNewFileInZip64(zip, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   entry.level ? Z_DEFLATED : 0, entry.level, 1) == ZIP_OK &&
             zipWriteInFileInZip(zip, entry.data.data(),
                                 static_cast<unsigned>(entry.data.size())) == ZIP_OK &&
             zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

// Bytes that compress about as well as real pattern files.
std::string Bulk(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = (i / 64) % 2 ? static_cast<char>(seed >> 16) : static_cast<char>('a' + i % 23);
    }
    return data;
}

std::string Manifest(const SensorPackageOptions& options) {
    std::string text = "Version=" + options.version + "\nAgentGuid=" + options.agentGuid +
                       "\nApiKey=" + options.apiKey + "\n";
    for (const auto& value : options.components) text += value.first + "=" + value.second + "\n";
    return text;
}

// Entries taken from stand-in files: archive name, file in binDir.
bool AddFiles(const fs::path& binDir, const std::vector<std::pair<std::string, std::string>>& files,
              std::vector<Entry>& entries, std::string* reason) {
    for (const auto& file : files) {
        Entry entry{file.first, {}, 6};
        if (!ReadFile(binDir / file.second, entry.data)) {
            if (reason) *reason = "cannot read " + (binDir / file.second).string();
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool EngineEntries(const fs::path& binDir, std::vector<Entry>& entries, std::string* reason) {
    return AddFiles(binDir,
                    {{"Setup/vcredist_x64.exe", "vcredist_x64.exe"},
                     {"Setup/vcredist_x86.exe", "vcredist_x86.exe"},
                     {"Package/KXEServiceShell.exe", "KxSensorService.exe"},
                     {"Package/KXEFrameworkHost.exe", "KxSensorService.exe"}},
                    entries, reason);
}

bool CoreEntries(const fs::path& binDir, const SensorPackageOptions& options,
                 std::vector<Entry>& entries, std::string* reason) {
    if (!AddFiles(binDir,
                  {{"KXInstaller.exe", "KXInstaller.exe"},
                   {"Pelmo/vornAgent.dll", "VornAgent.dll"},
                   {"Pelmo/PlmPIPC.dll", "PlmPIPC.dll"},
                   {"KXClient.exe", "KxSensorService.exe"}},
                  entries, reason)) {
        return false;
    }
    // The installer's own libraries: it checks they are beside it, nothing more.
    for (const char* name : {"log4c.dll", "libDebugLogWriter.dll"}) {
        entries.push_back({name, std::string("testbed stand-in for ") + name, 6});
    }
    entries.push_back({"logging.xml", "<logging level=\"debug\"/>\n", 6});
    entries.push_back({"KXSensor.manifest", Manifest(options), 6});
    for (size_t done = 0, n = 0; done < options.bulkBytes; done += kBulkFileBytes, ++n) {
        entries.push_back(
            {"Pattern/data_" + std::to_string(n) + ".bin",
             Bulk(std::min(kBulkFileBytes, options.bulkBytes - done), static_cast<unsigned>(n)),
             6});
    }
    return true;
}

// The inner archive as bytes, or garbage when it is to be damaged.
bool InnerArchive(const fs::path& path, const std::vector<Entry>& entries, bool damaged,
                  std::string& data) {
    if (damaged) {
        data = "this is not a zip archive";
        return true;
    }
    const bool ok = WriteZip(path, entries) && ReadFile(path, data);
    fs::remove(path);
    return ok;
}

bool WriteEntries(const fs::path& root, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        const fs::path path = root / fs::path(entry.name).make_preferred();
        std::error_code error;
        fs::create_directories(path.parent_path(), error);
        if (!WriteFile(path, entry.data)) return false;
    }
    return true;
}

// One command to the installer's pipe; true when it answered with success.
bool SendToInstaller(uint32_t code) {
    using namespace ipcwire;
    HANDLE pipe = ::CreateFileW(PipePath(21).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_MESSAGE, done = 0;
    const RequestHeader request = {kRequestMagic, 21, 3, code, 0};
    ReplyHeader reply = {};
    const bool ok = ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) &&
                    ::WriteFile(pipe, &request, sizeof request, &done, nullptr) &&
                    ::ReadFile(pipe, &reply, sizeof reply, &done, nullptr) &&
                    done == sizeof reply && reply.magic == kReplyMagic && reply.hasReply &&
                    reply.replyCode == 0x20ff0000;
    ::CloseHandle(pipe);
    return ok;
}

}  // namespace

bool StageSensorPackage(const std::wstring& root, const std::wstring& binDir,
                        const SensorPackageOptions& options, std::string* reason) {
    std::vector<Entry> engine, core;
    if (!EngineEntries(binDir, engine, reason) || !CoreEntries(binDir, options, core, reason)) {
        return false;
    }
    const fs::path base(root);
    if (!WriteEntries(base, engine) || !WriteEntries(base / "Package", core)) {
        if (reason) *reason = "cannot write below " + base.string();
        return false;
    }
    for (const char* name : {"KXInstaller.exe", "log4c.dll", "logging.xml", "libDebugLogWriter.dll",
                             "Pelmo/vornAgent.dll", "Pelmo/PlmPIPC.dll"}) {
        const fs::path from = base / "Package" / fs::path(name).make_preferred();
        std::error_code error;
        fs::copy_file(from, base / "Setup" / from.filename(), fs::copy_options::overwrite_existing,
                      error);
    }
    return true;
}

DWORD RunInstallerDirectly(const std::wstring& installer, uint32_t code) {
    const std::wstring folder = fs::path(installer).parent_path().wstring();
    std::wstring commandLine = L"\"" + installer + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, folder.c_str(), &startup, &info)) {
        return 0xFFFFFFFF;
    }
    ::CloseHandle(info.hThread);
    while (::WaitForSingleObject(info.hProcess, 5) == WAIT_TIMEOUT && !SendToInstaller(code)) {
    }
    DWORD exitCode = 0xFFFFFFFF;
    if (::WaitForSingleObject(info.hProcess, 5 * 60 * 1000) == WAIT_TIMEOUT) {
        ::TerminateProcess(info.hProcess, exitCode);
    } else {
        ::GetExitCodeProcess(info.hProcess, &exitCode);
    }
    ::CloseHandle(info.hProcess);
    return exitCode;
}

bool BuildSensorPackage(const std::wstring& folder, const std::wstring& binDir,
                        const SensorPackageOptions& options, std::string* reason) {
    using Damage = SensorPackageOptions::Damage;
    const fs::path out = fs::path(folder) / "instupg_iKX.zip";
    std::vector<Entry> engine, core, outer;
    if (!EngineEntries(binDir, engine, reason) || !CoreEntries(binDir, options, core, reason)) {
        return false;
    }
    Entry engineZip{"KXEngineWin32.zip", {}, 0}, coreZip{"KXCoreWin32.zip", {}, 0};
    if (!InnerArchive(out.string() + ".engine", engine, options.damage == Damage::kEngineNotZip,
                      engineZip.data) ||
        !InnerArchive(out.string() + ".core", core, options.damage == Damage::kCoreNotZip,
                      coreZip.data)) {
        if (reason) *reason = "cannot write the inner archives";
        return false;
    }
    if (options.engineArchive) outer.push_back(std::move(engineZip));
    if (options.coreArchive) outer.push_back(std::move(coreZip));
    if (!options.extraOuterEntry.empty()) outer.push_back({options.extraOuterEntry, "outside", 6});

    bool ok =
        options.damage == Damage::kNotZip ? WriteFile(out, Bulk(4096, 7)) : WriteZip(out, outer);
    // Cut before the first end-of-archive record: the stored inner archives
    // carry their own, and a reader searching backwards must find none.
    std::string written;
    if (ok && options.damage == Damage::kTruncated && ReadFile(out, written)) {
        fs::resize_file(out, std::min(written.find("PK\x05\x06"), written.size()) / 2);
    }
    if (!ok && reason) *reason = "cannot write " + out.string();
    return ok;
}

}  // namespace testbed
