// Installing and removing the sensor with the real installer stand-in: the
// package unpacked under the Windows temp folder, the installer driven over
// IPC, the sensor's services, registry and folders it leaves, the kept logs.
// Runs with IKX_TIME_DIVISOR=100 (set by ctest): the installer's work must fit
// in the scaled 20 minutes even on a busy machine.
#include <fstream>
#include <regex>
#include <thread>

#include "install_world.h"
#include "ipc_endpoint.h"

using namespace testsupport;

namespace {

TEST_F(InstallFlow, FreshInstallLeavesARunningSensorAndUninstallRemovesIt) {
    ClearRestartDeletes();
    const std::wstring package = Package();
    std::ofstream(fs::path(StagingFolder())) << "a file named Sensor is in the way";
    EXPECT_EQ(InstallFrom(package)["result_code"], 0);
    EXPECT_FALSE(PathExists(StagingFolder()));
    const auto installed = KeptLogs(L"Install");
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_TRUE(Has(installed[0], "received command 0x5001")) << installed[0];
    // The installer unpacked into a folder of its own, not the shared temp
    // folder, gone with the run; its path held the system folders only.
    const std::string run = Narrow(WindowsTemp()) + "\\KXE_Private.";
    const std::string temp = installed[0].substr(5, installed[0].find('|') - 5);
    EXPECT_TRUE(temp.rfind(run, 0) == 0 && Has(installed[0], "|TMP=" + temp + "|")) << installed[0];
    EXPECT_TRUE(Has(installed[0],
                    "|PATH=C:\\windows\\system32;C:\\windows;C:\\windows\\system32\\Wbem;"
                    "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\|TEMP folder present=1"))
        << installed[0];
    EXPECT_FALSE(PathExists(Widen(temp)));
    EXPECT_EQ(Query("VORN_ONQUERY_SERVICE_STATUS")["status_code"], 1);
    EXPECT_EQ(Query("VORN_ONQUERY_PRODUCT_VERSION")["product_version"], "3.2.1.4321");
    const Json::Value components =
        Query("VORN_ONQUERY_COMPONENT_INFO", "VORN_RUNTIME_COMPONENT_INFO");
    ASSERT_EQ(components.size(), 3u);
    EXPECT_EQ(components[0]["version"], "130100 0 0");
    EXPECT_EQ(components[1]["version"], "2147 0 0");
    EXPECT_EQ(components[2]["version"], "163 0 0");
    const bool wow64 = Wow64Answer();
    EXPECT_EQ(StandInJournal(VcRedistFor(wow64)).size(), 1u);
    EXPECT_TRUE(StandInJournal(VcRedistFor(!wow64)).empty());

    const std::wstring folder = DefaultInstallFolder(agent);
    log.Clear();
    EXPECT_EQ(Uninstall()["result_code"], 0);
    EXPECT_EQ(Query("VORN_ONQUERY_SERVICE_STATUS")["status_code"], 4);
    EXPECT_FALSE(ReadServiceConfig(L"QVKXC").exists || ReadServiceConfig(L"QVKXE").exists);
    EXPECT_FALSE(PathExists(folder) || PathExists(StagingFolder()));
    const auto removed = KeptLogs(L"Uninstall");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_TRUE(Has(removed[0], "received command 0x5002")) << removed[0];
    EXPECT_TRUE(Has(removed[0], "\\Sensor\\Backup")) << "run from the backup copy";
    // What went went at once: nothing is left to delete at the next restart.
    EXPECT_TRUE(RestartDeletes().empty()) << Narrow(RestartDeletes().front());
}

TEST_F(InstallFlow, InstallOverAnOldInstallationUnregistersItAndClearsItsTraces) {
    const std::wstring package = Package(), newFolder = DefaultInstallFolder(agent);
    const std::wstring oldFolder = TempDir(L"old") + L"Corvask\\KXE";
    std::wstring sameFolder = newFolder + L"sub\\..";
    ::CharUpperW(&sameFolder[0]);
    // Folders whose removal would take the new installation or a whole drive with it.
    const std::wstring parentFolder =
        newFolder.substr(0, newFolder.rfind(L'\\', newFolder.size() - 2));
    const std::wstring driveFolder = TempDir(L"drive");
    std::unique_ptr<ScratchDrive> drive;
    const std::string holds =
        ") holds the new installation, the host agent or a system folder, skip delete.";
    const std::wstring tooLong = L"C:\\" + std::wstring(256, L'a');  // 260 units with its backslash
    // The host agent's folder, and the one above it, which holds the new
    // installation only while the sensor goes below the agent's parent.
    const std::wstring agentFolder = agent.Folder().substr(0, agent.Folder().size() - 1);
    const std::wstring aboveAgent = agentFolder.substr(0, agentFolder.rfind(L'\\'));
    const std::wstring elsewhere = WindowsTemp() + L"\\KXE elsewhere\\";
    const std::string guid = OldInstallation::kAgentGuid, key = OldInstallation::kApiKey;
    const bool wow64 = Wow64Answer();
    const struct {
        const char* name;
        std::wstring folder, installPath;
        std::function<void()> arrange;
        const char* code;
        std::string unregister;  // arguments the client was run with; "" not run
        bool oldKept;
        std::string message;  // "" none in particular
    } rows[] = {
        {"own folder", oldFolder, oldFolder, [] {}, "0x5003",
         "-c=Unregister -Agent_guid=" + guid + " -API_Key=" + key, false,
         "Try to unregister QVKX to server"},
        {"new folder spelled otherwise", newFolder, sameFolder, [] {}, "0x5003",
         "-c=Unregister -Agent_guid=" + guid + " -API_Key=" + key, true,
         "The old install folder is same as the new one, skip delete."},
        {"no agent id", oldFolder, oldFolder, [] { RegDeleteValue(kKxcKey, L"Agent GUID"); },
         "0x5003", "-c=Unregister -Agent_guid= -API_Key=", false, "Get QVKX agent GUID failed."},
        {"key of another type", oldFolder, oldFolder,
         [&] { RegSetString(kKxcKey, L"API Key", Widen(key), REG_EXPAND_SZ); }, "0x5003",
         "-c=Unregister -Agent_guid=" + guid + " -API_Key=", false, "Get QVKX API key failed."},
        {"path of another type", oldFolder, oldFolder,
         [&] { RegSetString(kKxcKey, L"InstallPath", oldFolder, REG_EXPAND_SZ); }, "0x5003", "",
         true, "Unregister To Server failed"},
        {"parent of the new folder", parentFolder, parentFolder, [] {}, "0x5003",
         "-c=Unregister -Agent_guid=" + guid + " -API_Key=" + key, true,
         "The old install folder (" + Narrow(parentFolder) + "\\" + holds},
        {"a drive", driveFolder, L"Q:",
         [&] { drive = std::make_unique<ScratchDrive>(L'Q', driveFolder); }, "0x5003",
         "-c=Unregister -Agent_guid=" + guid + " -API_Key=" + key, true,
         "The old install folder (Q:\\" + holds},
        {"the host agent's folder", oldFolder, agentFolder, [] {}, "0x5003", "", true,
         "The old install folder (" + Narrow(agentFolder) + "\\" + holds},
        {"above the host agent, new installation elsewhere", oldFolder, aboveAgent,
         [&] { RegSetString(kKxeKey, L"InstallDir", elsewhere); }, "0x5003", "", true,
         "The old install folder (" + Narrow(aboveAgent) + "\\" + holds},
        {"too long to normalise", oldFolder, tooLong, [] {}, "0x5003", "", true,
         "Can't normalize the install folder. (Error: 206)"},
        {"client of version 3", oldFolder, oldFolder,
         [] { RegSetString(kKxcKey, L"Version", L"3.0.0"); }, "0x5001", "", true, ""},
        // Without a client service the engine's version decides.
        {"engine service only, 2.x", oldFolder, oldFolder,
         [] { RemoveServiceIfPresent(L"KXClient"); }, "0x5003",
         "-c=Unregister -Agent_guid=" + guid + " -API_Key=" + key, false,
         "Try to unregister QVKX to server"},
        {"engine service only, 3.x", oldFolder, oldFolder,
         [] {
             RemoveServiceIfPresent(L"KXClient");
             RegSetString(kKxeKey, L"Version", L"3.0.0");
         },
         "0x5001", "", true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CleanInstallWorld(agent);
        RemoveTree(elsewhere);
        {
            OldInstallation old(row.folder, row.installPath);
            row.arrange();
            log.Clear();
            EXPECT_EQ(InstallFrom(package.substr(0, package.size() - 1))["result_code"], 0);
            EXPECT_TRUE(Has(KeptLogs(L"Install").at(0), row.code));
            const auto journal = StandInJournal(L"KXClient.exe");
            if (row.unregister.empty()) {
                EXPECT_TRUE(journal.empty());
            } else {
                EXPECT_EQ(journal, std::vector<std::string>{"\"" + Narrow(row.installPath) +
                                                            "\\KXClient.exe\" " + row.unregister});
            }
            EXPECT_TRUE(row.message.empty() || Logged(row.message)) << row.message;
            for (const auto& text : log.Texts()) EXPECT_FALSE(Has(text, key)) << text;
            // The registration of the product that fits the answer goes; the
            // other product's stays, but for the component key both share.
            const bool removed = std::string(row.code) == "0x5003";
            const auto taken = OldInstallation::MsiKeys(wow64);
            const auto other = OldInstallation::MsiKeys(!wow64);
            for (size_t i = 0; i < taken.size(); ++i) {
                EXPECT_EQ(OldInstallation::KeyExists(taken[i].first, taken[i].second), !removed)
                    << Narrow(taken[i].second);
                if (other[i] == taken[i]) continue;
                EXPECT_TRUE(OldInstallation::KeyExists(other[i].first, other[i].second))
                    << Narrow(other[i].second);
            }
            EXPECT_EQ(StandInJournal(VcRedistFor(wow64)).size(), 1u);
            EXPECT_EQ(PathExists(row.folder + L"\\KXClient.ini"), row.oldKept);
            EXPECT_TRUE(PathExists(agent.Folder() + L"VornAgent.dll"));
        }
        drive.reset();
    }
    CleanInstallWorld(agent);
    RemoveTree(elsewhere);
}

TEST_F(InstallTest, BadRequestsAndPackagesFailBeforeTheInstallerAndLeaveNothingBehind) {
    using Damage = PackageOptions::Damage;
    const auto at = [&](const PackageOptions& options) { return Data(Narrow(Package(options))); };
    Json::Value noPath = Data(Json::Value());
    noPath.removeMember("PkgPath");
    const std::string good = Narrow(Package());
    const Json::Value values[] = {Json::Value(),
                                  5,
                                  true,
                                  Json::Value(Json::arrayValue),
                                  Json::Value(Json::objectValue),
                                  std::string(70000, 'p'),
                                  good + "instupg_iKX.zip"};
    std::unique_ptr<HeldFile> held;
    const std::wstring victim = TempDir(L"victim");
    WriteBytes(victim + L"keep.txt", "keep");
    const struct {
        const char* name;
        Json::Value data;
        int code;
        std::string message;
        std::function<void()> arrange;
    } rows[] = {
        {"no PkgPath", noPath, 2, "Can't find install package.", [] {}},
        {"command_data not an object", Json::Value(good), 2, "Can't find install package.", [] {}},
        {"not a zip", at(With([](PackageOptions& s) { s.damage = Damage::kNotZip; })), 1,
         "Decompress KX install package failed.", [] {}},
        {"truncated", at(With([](PackageOptions& s) { s.damage = Damage::kTruncated; })), 1,
         "Decompress KX install package failed.", [] {}},
        {"entry outside", at(With([](PackageOptions& s) { s.extraOuterEntry = "../escaped.txt"; })),
         1, "Decompress KX install package failed.", [] {}},
        {"no core", at(With([](PackageOptions& s) { s.coreArchive = false; })), 1,
         "The install package is invalid.", [] {}},
        {"no engine", at(With([](PackageOptions& s) { s.engineArchive = false; })), 1,
         "The install package is invalid.", [] {}},
        {"engine not a zip", at(With([](PackageOptions& s) { s.damage = Damage::kEngineNotZip; })),
         1, "Decompress KX Engine pack failed.", [] {}},
        {"core not a zip", at(With([](PackageOptions& s) { s.damage = Damage::kCoreNotZip; })), 1,
         "Decompress KX Core pack failed.", [] {}},
        {"no IPC library", Data(good), 1, "Init NIPC failed",
         [&] { agent.Remove(L"PlmPIPC.dll"); }},
        {"staging held open", Data(good), 1,
         "Sensor folder (" + Narrow(StagingFolder()) + "\\) is not empty.\n",
         [&] {
             fs::create_directories(StagingFolder());
             held = std::make_unique<HeldFile>(StagingFolder() + L"\\held.txt");
         }},
        {"file Sensor held open", Data(good), 1, "Clear Sensor folder failed, error: 32",
         [&] { held = std::make_unique<HeldFile>(StagingFolder()); }},
        // Wine cannot remove a link as a link: the install stops without touching its target.
        {"link as Sensor", Data(good), 1, "Clear Sensor folder failed, error: 4395",
         [&] { PlantDirectoryLink(StagingFolder(), victim); }},
    };
    std::vector<Json::Value> data;
    for (const Json::Value& value : values) data.push_back(Data(value));
    for (const auto& row : rows) data.push_back(row.data);
    for (size_t i = 0; i < data.size(); ++i) {
        const auto& row = rows[i < std::size(values) ? 0 : i - std::size(values)];
        SCOPED_TRACE(row.name + std::string(" ") + data[i].toStyledString().substr(0, 200));
        log.Clear();
        row.arrange();
        EXPECT_EQ(Install(data[i])["result_code"], row.code);
        log.ExpectRecord(row.message, 4, "OnCommandInstall");
        EXPECT_EQ(PathExists(StagingFolder()), held != nullptr || IsLink(StagingFolder()));
        held.reset();
        EXPECT_TRUE(KeptLogs(L"Install").empty());
        agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
        if (IsLink(StagingFolder())) RemoveDirectoryLink(StagingFolder());
        fs::remove_all(StagingFolder());
    }
    EXPECT_FALSE(PathExists(WindowsTemp() + L"\\escaped.txt"));
    EXPECT_EQ(ReadBytes(victim + L"keep.txt"), "keep");
    EXPECT_FALSE(PathExists(victim + L"Package"));
}

// Each way an installer can fail ends install and uninstall alike: result 1,
// the failure records, the installer's log kept, the staging folder removed.
TEST_F(InstallTest, FailingInstallerFailsInstallAndUninstallAlike) {
    const std::wstring package = Package();
    InstalledSensor sensor;  // what the uninstall rows try to remove, and keep
    ASSERT_EQ(sensor.exitCode, 0x20ff0000u);
    const std::wstring clientJournal = DefaultInstallFolder(agent) + L"KXC_ipc_journal.txt";
    const std::string module = " vornExt_iKX_OnCommand.cpp";
    const struct {
        const char* script;
        const char* kept;  // in the kept log of every run
        bool kill;
    } rows[] = {{"exit-before-ack", "script 'exit-before-ack'", false},
                {"never-ack", "refused command", false},
                {"ack-exit-0", "exit code 0", false},
                {"hang", "received command", false},
                {"hang", "received command", true}};
    for (const auto& row : rows) {
        for (const bool install : {true, false}) {
            SCOPED_TRACE(std::string(row.script) + (row.kill ? " killed" : "") +
                         (install ? " install" : " uninstall"));
            log.Clear();
            Script(row.script);
            // Killed only once it has the command, so its log says so.
            const std::wstring installerLog = StagingFolder() +
                                              (install ? L"\\Setup\\" : L"\\Backup\\") +
                                              L"debug\\KXC_debug.log.0";
            const bool hang = std::string(row.script) == "hang";
            ikx::UniqueHandle installer;  // held while it runs, for its exit time
            std::thread watcher([&] {
                if (!hang) return;
                if (!row.kill) {
                    installer = OpenLoggedInstaller(installerLog);
                    return;
                }
                if (log.WaitFor("Wait for KXInstaller to finish.", std::chrono::minutes(1)) &&
                    WaitUntil([&] { return Has(ReadBytes(installerLog), "received"); },
                              std::chrono::minutes(1)))
                    KillProcesses(L"KXInstaller.exe");
            });
            EXPECT_EQ((install ? InstallFrom(package) : Uninstall())["result_code"], 1);
            watcher.join();
            if (install) {
                EXPECT_EQ(log.Sites("Trigger installer failed"),
                          (std::vector<std::string>{"warn InstallIKX" + module,
                                                    "trace OnCommandInstall" + module}));
            } else {
                EXPECT_EQ(log.Sites("Trigger uninstallI failed"),
                          std::vector<std::string>{"warn UninstallIKX" + module});
                EXPECT_EQ(log.Sites("Trigger uninstall failed"),
                          std::vector<std::string>{"trace OnCommandUninstall" + module});
            }
            const auto kept = KeptLogs(install ? L"Install" : L"Uninstall");
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_TRUE(Has(kept[0], row.kept)) << kept[0];
            // A hang is given the whole 20 minutes (12 s at IKX_TIME_DIVISOR=100),
            // less one tick of the coarsest system clock the two times may come
            // from. Measured by the installer's own times, which enclose the wait.
            if (hang && !row.kill) {
                EXPECT_GE(MsFromCommandToEnd(installer.get(), kept[0]), 12000 - 16) << kept[0];
            }
            if (std::string(row.script) == "never-ack") {
                // Sent again after each refusal, for as long as the installer ran.
                const std::string refused =
                    install ? "refused command 0x5001" : "refused command 0x5002";
                const std::regex pattern(refused);
                EXPECT_EQ(
                    std::distance(std::sregex_iterator(kept[0].begin(), kept[0].end(), pattern),
                                  std::sregex_iterator()),
                    3)
                    << kept[0];
                log.ExpectRecord("SendNIPCTOKXInstaller failed, need to try.", 6,
                                 "TriggerInstaller");
            }
            EXPECT_FALSE(PathExists(StagingFolder()));
            fs::remove_all(WindowsTemp() + L"\\KXE_Debug");
        }
    }
    size_t notices = 0;
    for (const auto& command : testbed::ReadIpcJournal(clientJournal)) {
        notices += command.code == 0x6002 && command.type == 1 && command.data.empty();
    }
    EXPECT_EQ(notices, std::size(rows));
}

TEST_F(InstallTest, UninstallStopsWhereItCannotBackTheSensorUp) {
    std::vector<std::unique_ptr<ScopedService>> services;
    std::unique_ptr<HeldFile> held;
    const auto engine = [&] { services.push_back(SensorService(L"QVKXE")); };
    const std::wstring victim = TempDir(L"victim");
    WriteBytes(victim + L"keep.txt", "keep");
    const struct {
        const char* name;
        std::function<void()> arrange;
        int code;
        std::string message;
        int level;
        bool bound;  // got as far as binding the IPC library
    } rows[] = {
        {"old client only",
         [&] {
             services.push_back(SensorService(L"KXClient"));
             RegSetString(kKxcKey, L"Version", L"2.9.10");
         },
         0, "[iKX] KXC has not been installed.", 6, false},
        {"no IPC library", [&] { engine(), agent.Remove(L"PlmPIPC.dll"); }, 1, "Init NIPC failed",
         4, false},
        {"file Sensor held open",
         [&] { engine(), held = std::make_unique<HeldFile>(StagingFolder()); }, 1,
         "Clear Sensor folder failed, error: 32", 4, true},
        {"old backup held open",
         [&] {
             engine();
             fs::create_directories(StagingFolder() + L"\\Backup");
             held = std::make_unique<HeldFile>(StagingFolder() + L"\\Backup\\held.txt");
         },
         1, "Create backup folder failed, error: 183", 4, true},
        {"no install folder", engine, 1, "Backup KXE directory failed. (Error: 3)", 4, true},
        // Followed, the link would be emptied, given a backup and an installer to run.
        {"link as Sensor", [&] { engine(), PlantDirectoryLink(StagingFolder(), victim); }, 1,
         "Clear Sensor folder failed, error: 4395", 4, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log.Clear();
        row.arrange();
        EXPECT_EQ(Uninstall()["result_code"], row.code);
        log.ExpectRecord(row.message, row.level, "OnCommandUninstall");
        EXPECT_EQ(log.Contains("Success to init NPIC for CLI!"), row.bound);
        EXPECT_TRUE(KeptLogs(L"Uninstall").empty());
        held.reset();
        services.clear();
        agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll");
        if (IsLink(StagingFolder())) RemoveDirectoryLink(StagingFolder());
        fs::remove_all(StagingFolder());
    }
    EXPECT_EQ(ReadBytes(victim + L"keep.txt"), "keep");
    EXPECT_FALSE(PathExists(victim + L"Backup"));
}

}  // namespace
