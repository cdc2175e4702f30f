// Pre-update and rollback through the DLL's exports, each beside a floor of
// the same file work done plainly in the same run:
//  - pre-update of a ~50 MB package (the testbed's sensor package with bulk
//    pattern data) with a ~50 MB install folder, beside the
//    package's three extractions through DecompressFile plus a plain
//    recursive copy of the install folder (the IPC binding, which the floor
//    lacks, is timed on its own);
//  - rollback after that pre-update (the install folder emptied, the backup
//    copied back, the staging folder removed), beside the same three steps
//    done with std::filesystem;
//  - each stage of the two exports on its own (the backup copy with its digest,
//    the rollback's check of the backup, the restore, the comparison, the
//    removal through handles), beside the plain step where there is one.
// Run: IKX_BUILD_DIR=... scripts/wine-run build/x86_64-test/bin/update_benchmark.exe
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "deploy/backup_manifest.h"
#include "deploy/backup_restore.h"
#include "deploy/decompress.h"
#include "platform/handles.h"
#include "win32/file_ops.h"
#include "workfolders/work_folders.h"
#include "update_world.h"
#include "timing.h"

using namespace testsupport;
namespace fs = std::filesystem;

using namespace benchtiming;

namespace {

constexpr int kInstalledFiles = 2000;  // 25 KB each: ~50 MB
constexpr size_t kFileBytes = 25 * 1024;
constexpr size_t kPackageBulkBytes = 84u << 20;  // compresses to ~50 MB
constexpr int kRounds = 7;

// Half the files compress well (text-like), half hardly at all.
std::string FileData(int index) {
    std::string data(kFileBytes, '\0');
    unsigned seed = 2166136261u ^ static_cast<unsigned>(index);
    for (size_t i = 0; i < data.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] =
            index % 2 ? static_cast<char>(seed >> 16) : static_cast<char>('a' + (seed >> 16) % 8);
    }
    return data;
}

void WriteInstallFolder(const std::wstring& folder) {
    for (int i = 0; i < kInstalledFiles; ++i) {
        const std::wstring dir = folder + L"bin" + std::to_wstring(i / 100);
        ::CreateDirectoryW(dir.c_str(), nullptr);
        WriteFileText(dir + L"\\f" + std::to_wstring(i), FileData(i));
    }
}

double Time(const std::function<bool()>& work) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = work();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return ok ? elapsed.count() : -1.0;
}

// The ratio is the median of the rounds' own ratios: a round's export and
// floor ran back to back, so a change of the machine's speed between rounds
// falls on both.
void Report(const char* what, const std::vector<double>& ours, const std::vector<double>& floor) {
    const Ratio ratio = RoundRatios(ours, floor);
    std::printf("%s: export %.3f s, floor %.3f s, ratio %.2f (%s)\n", what, Median(ours),
                Median(floor), ratio.median, Spread(ratio).c_str());
}

// Where the exports' time goes beyond the floor: each stage of theirs timed on
// its own over the same install folder, beside the plain step it stands for.
struct Stages {
    std::vector<double> copy, plainCopy, verify, restore, compare, removal, plainRemoval;
};

void TimeStages(const std::wstring& install, const std::wstring& work, Stages& stages) {
    const std::wstring ours = work + L"stage_ours", plain = work + L"stage_plain";
    ikx::BackupManifest manifest, read, listed;
    stages.copy.push_back(Time([&] {
        ::CreateDirectoryW(ours.c_str(), nullptr);
        const ikx::UniqueFile into(::CreateFileW(ours.c_str(), FILE_LIST_DIRECTORY, 0, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                                 nullptr));
        return ikx::CopyInstallFolder(install, ours, into.get(), manifest) == 0;
    }));
    stages.plainCopy.push_back(Time([&] {
        fs::copy(fs::path(install.substr(0, install.size() - 1)), fs::path(plain),
                 fs::copy_options::recursive);
        return true;
    }));
    stages.verify.push_back(Time([&] { return ikx::ReadManifest(ours, read) == 0; }));
    stages.restore.push_back(
        Time([&] { return ikx::RestoreBackup(ours + L"\\", install, manifest).empty(); }));
    stages.compare.push_back(
        Time([&] { return ikx::ReadManifest(install, listed, ikx::ManifestDepth::kSizes) == 0; }));
    stages.removal.push_back(Time([&] { return ikx::MoveAside(ours, ikx::Aside::kDelete) == 0; }));
    stages.plainRemoval.push_back(Time([&] { return fs::remove_all(fs::path(plain)) > 0; }));
}

void ReportStages(const Stages& stages) {
    std::printf(
        "stages (medians): backup copy with its digest %.3f s beside a plain copy "
        "%.3f s; rollback's check of the backup %.3f s; restore over the folder %.3f s; "
        "comparison by listing %.3f s; removal through handles %.3f s beside a plain "
        "removal %.3f s\n",
        Median(stages.copy), Median(stages.plainCopy), Median(stages.verify),
        Median(stages.restore), Median(stages.compare), Median(stages.removal),
        Median(stages.plainRemoval));
    const Ratio copy = RoundRatios(stages.copy, stages.plainCopy);
    const Ratio removal = RoundRatios(stages.removal, stages.plainRemoval);
    std::printf(
        "stage ratios: backup copy with its digest / plain copy %.2f (%s); removal %.2f (%s)\n",
        copy.median, Spread(copy).c_str(), removal.median, Spread(removal).c_str());
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // rounds show as they finish
    const std::wstring work = TempDir(L"update_benchmark");
    const std::wstring install = work + L"KXE\\", packageFolder = work + L"download\\";
    const std::wstring staging = WindowsTemp() + L"\\Sensor\\";
    ::CreateDirectoryW(install.c_str(), nullptr);
    ::CreateDirectoryW(packageFolder.c_str(), nullptr);
    testbed::SensorPackageOptions packageOptions;
    packageOptions.bulkBytes = kPackageBulkBytes;
    std::string reason;
    if (!testbed::BuildSensorPackage(packageFolder, BinDir(), packageOptions, &reason)) {
        return std::printf("cannot build the package: %s\n", reason.c_str()), 1;
    }
    WriteInstallFolder(install);
    std::printf("package %.1f MB, install folder %.1f MB\n",
                fs::file_size(fs::path(packageFolder + L"instupg_iKX.zip")) / 1048576.0,
                kInstalledFiles * kFileBytes / 1048576.0);

    HostAgent agent;
    ProductDll dll;
    UpdateExports up(dll.module);
    dll.Init();
    RegSetString(L"SOFTWARE\\Corvask\\KXE", L"InstallDir", install);
    const auto options = OptionsRecord(0, packageFolder + L"instupg_iKX.zip");
    const FileTree installed = ReadTree(install);

    std::vector<double> preUpdate, preFloor, rollback, rollbackFloor, binding;
    Stages stages;
    const auto exports = [&] {
        void* context = nullptr;
        up.CreateContext(&context);
        RemovePath(WindowsTemp() + L"\\Sensor");
        preUpdate.push_back(Time([&] { return up.PreUpdate(options.data(), context) == 0; }));
        rollback.push_back(Time([&] { return up.Rollback(options.data(), context) == 0; }));
        up.ReleaseContext(context);
    };
    const auto floor = [&] {
        preFloor.push_back(Time([&] {
            return ikx::DecompressFile(packageFolder + L"instupg_iKX.zip", staging) &&
                   ikx::DecompressFile(staging + L"\\KXEngineWin32.zip", staging) &&
                   ikx::DecompressFile(staging + L"\\KXCoreWin32.zip", staging + L"\\Package\\") &&
                   (fs::copy(fs::path(work + L"KXE"), fs::path(staging + L"Backup"),
                             fs::copy_options::recursive),
                    true);
        }));
        rollbackFloor.push_back(Time([&] {
            fs::remove_all(work + L"KXE");
            fs::copy(fs::path(staging + L"Backup"), fs::path(work + L"KXE"),
                     fs::copy_options::recursive);
            return fs::remove_all(WindowsTemp() + L"\\Sensor") > 0;
        }));
    };
    for (int round = 0; round < kRounds; ++round) {
        // Removing a folder tree schedules each removed subfolder for deletion
        // at restart, and each scheduling rewrites this one value: start every
        // round as after a restart, not with what earlier runs left.
        RegDeleteValue(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                       L"PendingFileRenameOperations");
        // Alternate who goes first so cache warmth does not favour one side.
        if (round % 2 == 0)
            exports(), floor();
        else
            floor(), exports();
        if (preUpdate.back() < 0 || rollback.back() < 0 || ReadTree(install) != installed) {
            return std::printf("round %d: an export failed or the restore differs\n", round), 1;
        }
        std::printf(
            "round %d: pre-update %.3f / floor %.3f s (%.2f), rollback %.3f / floor %.3f s "
            "(%.2f)\n",
            round, preUpdate.back(), preFloor.back(), preUpdate.back() / preFloor.back(),
            rollback.back(), rollbackFloor.back(), rollback.back() / rollbackFloor.back());
        TimeStages(install, work, stages);
        // The fixed part of pre-update the floor lacks: the IPC binding (the
        // stage then stops at a file path without a backslash).
        void* context = nullptr;
        up.CreateContext(&context);
        const auto noPath = OptionsRecord(0, L"x");
        binding.push_back(Time([&] { return up.PreUpdate(noPath.data(), context) != 0; }));
        up.ReleaseContext(context);
    }
    Report("pre-update", preUpdate, preFloor);
    Report("rollback  ", rollback, rollbackFloor);
    std::printf("of pre-update, the IPC binding: %.3f s\n", Median(binding));
    ReportStages(stages);
    dll.Deinit();
    RegDeleteTree(L"SOFTWARE\\Corvask\\KXE");
    RemovePath(WindowsTemp() + L"\\Sensor");
    RemovePath(work);
    return 0;
}
