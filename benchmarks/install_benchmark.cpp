// Install and uninstall of a ~50 MB package through the export, each beside
// its floor measured in the same run, in rounds that alternate which side
// goes first.
//
// Install floor: the same three extractions through DecompressFile, the same
// setup-file copies, and the installer stand-in's own run when started
// directly and handed 0x5001. Uninstall floor: the copy of the install folder
// into a backup folder and the installer's run from there with 0x5002. Both
// floors then remove the staging folder, which the commands must do as well.
// The runtime packages are registered first, so neither side runs a vcredist.
// Run: IKX_BUILD_DIR=... scripts/wine-run build/x86_64-test/bin/install_benchmark.exe
#include <windows.h>
#include <msi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "win32/file_ops.h"
#include "deploy/staging.h"
#include "install_world.h"
#include "platform/clock.h"
#include "timing.h"

using namespace testsupport;

using namespace benchtiming;

namespace {

constexpr size_t kBulkBytes = 48u * 1024 * 1024;
constexpr int kRounds = 5;
constexpr DWORD kInstallerSuccess = 0x20ff0000;

double Seconds(const std::function<bool()>& run, bool& ok) {
    const auto start = Clock::now();
    ok = run() && ok;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Command(ProductDll& dll, const std::string& type, const std::wstring& package) {
    Json::Value request;
    request["command_id"] = "VORN_ONCOMMAND_INSTALLATION";
    request["command_data"]["command_type"] = type;
    if (!package.empty()) request["command_data"]["PkgPath"] = Narrow(package);
    Send(dll.OnCommand, Json::FastWriter().write(request));
    return ReadServiceConfig(L"QVKXC").exists == (type == "VORN_IAGENT_INSTALL");
}

bool FloorInstall(const std::wstring& package) {
    const ikx::StagingPaths paths = ikx::GetStagingPaths();
    const bool unpacked = ikx::ExtractSensorPackage(package + L"instupg_iKX.zip", paths, true) ==
                          ikx::ExtractStep::kDone;
    ikx::CopySetupFiles(paths, true);
    const bool installed =
        unpacked && testbed::RunInstallerDirectly(paths.setup + L"KXInstaller.exe", 0x5001) ==
                        kInstallerSuccess;
    return ikx::CleanDirectory(paths.sensor.c_str(), true, true) == 0 && installed;
}

bool FloorUninstall(const std::wstring& installFolder) {
    const ikx::StagingPaths paths = ikx::GetStagingPaths();
    ::CreateDirectoryW(paths.sensor.c_str(), nullptr);
    ::CreateDirectoryW(paths.backup.c_str(), nullptr);
    const bool removed = ikx::CopyDirectory(installFolder.c_str(), paths.backup.c_str()) == 0 &&
                         testbed::RunInstallerDirectly(paths.backup + L"KXInstaller.exe", 0x5002) ==
                             kInstallerSuccess;
    return ikx::CleanDirectory(paths.sensor.c_str(), true, true) == 0 && removed;
}

// Medians of both sides, and the ratio round by round (a round's two sides
// ran back to back): its median and range.
void ReportRatio(const char* name, const std::vector<double>& side,
                 const std::vector<double>& floor) {
    const Ratio ratio = RoundRatios(side, floor);
    std::printf("%s median %.3f s, floor %.3f s, ratio %.3f (%s)\n", name, Median(side),
                Median(floor), ratio.median, Spread(ratio).c_str());
}

}  // namespace

int main() {
    HostAgent agent;
    CleanInstallWorld(agent);
    ::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    for (const wchar_t* msi : {L"vcruntime_x64.msi", L"vcruntime_x86.msi"}) {
        ::MsiInstallProductW((BinDir() + msi).c_str(), L"");
    }
    const std::wstring package = TempDir(L"bench_package");
    testbed::SensorPackageOptions options;
    options.bulkBytes = kBulkBytes;
    std::string reason;
    if (!testbed::BuildSensorPackage(package, BinDir(), options, &reason)) {
        std::printf("cannot build the package: %s\n", reason.c_str());
        return 1;
    }
    ProductDll dll;
    dll.Init();
    const std::wstring installFolder = DefaultInstallFolder(agent);
    std::vector<double> install, installFloor, uninstall, uninstallFloor;
    bool ok = true;
    const auto exports = [&] {
        install.push_back(
            Seconds([&] { return Command(dll, "VORN_IAGENT_INSTALL", package); }, ok));
        uninstall.push_back(
            Seconds([&] { return Command(dll, "VORN_IAGENT_UNINSTALL", L""); }, ok));
    };
    const auto floors = [&] {
        installFloor.push_back(Seconds([&] { return FloorInstall(package); }, ok));
        uninstallFloor.push_back(Seconds([&] { return FloorUninstall(installFolder); }, ok));
    };
    for (int round = 0; round < kRounds; ++round) {
        // Who goes first alternates, so that cache warmth favours neither side.
        if (round % 2 == 0) {
            exports(), floors();
        } else {
            floors(), exports();
        }
    }
    dll.Deinit();
    CleanInstallWorld(agent);
    std::printf("package %.1f MB, %d rounds, time divisor %lu (10 s pause after 0x6002: %lu ms)\n",
                kBulkBytes / 1048576.0, kRounds, 10000ul / ikx::ScaledMs(10000),
                static_cast<unsigned long>(ikx::ScaledMs(10000)));
    ReportRatio("install  ", install, installFloor);
    ReportRatio("uninstall", uninstall, uninstallFloor);
    if (!ok) std::printf("some runs did not install or remove the sensor\n");
    return ok ? 0 : 1;
}
