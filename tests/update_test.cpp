// The staged upgrade through the DLL's seven update exports, against the real
// registry, service manager and folders, with the stand-in installer.
#include <algorithm>
#include <cstring>

#include "deploy/staging.h"
#include "platform/handles.h"
#include "update_world.h"

using namespace testsupport;

namespace {

constexpr int32_t kInvalidArgument = 0x1030003, kRollbackRefused = 0x1030008;

TEST_F(UpdateTest, PrerequisiteFillsItsOffsetsAndLeavesTheRestAlone) {
    constexpr uint32_t kKept = 0xABABABAB;
    const struct {
        const wchar_t* version;
        uint32_t major, minor, build;
    } rows[] = {{L"3.0.1200", 3, 0, 1200}, {L"3.2", 3, 2, kKept}, {nullptr, kKept, kKept, kKept}};
    for (const auto& row : rows) {
        RegDeleteTree(kKxcKey);
        if (row.version) RegSetString(kKxcKey, L"Version", row.version);
        uint8_t record[40], expected[40];
        std::memset(record, 0xAB, sizeof record);
        std::memcpy(expected, record, sizeof record);
        const uint32_t fields[] = {512, row.major, row.minor, row.build};
        std::memcpy(expected + 4, fields, sizeof fields);
        expected[21] = 1;
        EXPECT_EQ(up.GetPrerequest(record), 0);
        EXPECT_EQ(0, std::memcmp(record, expected, sizeof record)) << Narrow(row.version ?: L"-");
    }
    EXPECT_TRUE(Logged("Current iKX version is 3.0.1200"));
    EXPECT_TRUE(Logged("set bNoNeedUnzip to true (1)"));
}

TEST_F(UpdateTest, EveryStageRefusesANullContextNullOptionsOrAnOptionAboveTwo) {
    const auto good = OptionsRecord(0, L"C:\\Dl\\pkg.bin");
    const auto three = OptionsRecord(3, L"C:\\Dl\\pkg.bin");
    for (auto* stage : {up.PreUpdate, up.DoUpdate, up.PostUpdate, up.Rollback}) {
        void* context = NewContext();
        EXPECT_EQ(stage(good.data(), nullptr), kInvalidArgument);
        EXPECT_EQ(stage(nullptr, context), kInvalidArgument);
        EXPECT_EQ(stage(three.data(), context), kInvalidArgument);
        EXPECT_EQ(ContextState(context), 0u) << "a refused stage changes nothing";
    }
    EXPECT_EQ(log.Count("Context is invalid."), 4);
    EXPECT_EQ(log.Count("Unkown update option: 3\n"), 4);
    EXPECT_EQ(up.CreateContext(nullptr), kInvalidArgument);
    EXPECT_TRUE(Logged("ppContext is NULL"));
    {
        // A context that could not name the install folder could not restore it.
        const NoInstallFolderFits noFolder(agent);
        void* context = &context;
        EXPECT_EQ(up.CreateContext(&context), 0x1030007);
        EXPECT_EQ(context, &context);
        EXPECT_TRUE(Logged("Create context failed. (Error: 206)"));
    }
    EXPECT_EQ(up.GetPrerequest(nullptr), kInvalidArgument);
    EXPECT_EQ(up.ReleaseContext(nullptr), 0);
}

TEST_F(UpdateTest, RollbackGivesEarly30BuildsTheirOldServiceNamesAndVersionBack) {
    const std::wstring image = L"\"" + BinDir() + L"KxSensorService.exe\" --no-ipc --name ";
    const std::wstring current = L"QVKXC=client;QVKXE=engine;",
                       engine = L"KXE=Corvask Kexaro Engine Wrapper;";
    const struct {
        const wchar_t* version;
        bool oldClientPresent;
        std::wstring services;
    } rows[] = {{L"3.0.1307", false, L"KXClient=Corvask Kexaro Service (Agent);" + engine},
                {L"3.0.1200", true, L"QVKXC=client;KXClient=left alone;" + engine},
                {L"3.0.1308", false, current},
                {L"3.1.0", false, current}};
    for (const auto& row : rows) {
        CleanSensor();
        CreateNamedService(L"QVKXC", L"client", image + L"QVKXC");
        CreateNamedService(L"QVKXE", L"engine", image + L"QVKXE");
        if (row.oldClientPresent) CreateNamedService(L"KXClient", L"left alone", image + L"KXC");
        RegSetString(kKxcKey, L"Version", row.version);
        void* context = NewContext();
        RegSetString(kKxcKey, L"Version", L"3.9.1");  // what the new installer wrote
        log.Clear();
        EXPECT_EQ(up.Rollback(OptionsRecord(2, L"C:\\p").data(), context), 0);
        EXPECT_EQ(ContextState(context), 6u);
        EXPECT_EQ(ClientVersion(), row.version);
        EXPECT_EQ(SensorServices(), row.services) << Narrow(row.version);
        EXPECT_EQ(log.Contains("Need to rollback KXC service name"),
                  row.services.find(L"(Agent)") != std::wstring::npos);
        const bool engineRenamed = row.services.find(L"Wrapper") != std::wstring::npos;
        EXPECT_EQ(ReadServiceConfig(L"KXE").binaryPath, engineRenamed ? image + L"QVKXE" : L"");
    }
}

TEST_F(UpdateTest, EachPreUpdateFailureHasItsResultCodeAndRecord) {
    using Damage = testbed::SensorPackageOptions::Damage;
    using Held = std::shared_ptr<void>;
    const std::wstring install = TempDir(L"KXE");
    RegSetString(kKxeKey, L"InstallDir", install);
    const std::wstring victim = TempDir(L"victim");
    WriteTree(victim, {{L"\\keep.txt", "keep"}});
    const FileTree victimTree = ReadTree(victim);
    auto package = [&](std::function<void(testbed::SensorPackageOptions&)> change) {
        testbed::SensorPackageOptions packageOptions;
        change(packageOptions);
        Package(packageOptions, 1);
        return nullptr;
    };
    const struct {
        const char* label;
        std::function<Held()> arrange;  // returns what must stay held during the stage
        int32_t code;
        std::string message;
    } rows[] = {
        {"locked file as staging folder", [&] { return std::make_shared<LockedFile>(staging); },
         0x1030002, "Clear Sensor folder failed, error: 32"},
        {"locked file in the staging folder",
         [&] { return WriteTree(staging, {}), std::make_shared<LockedFile>(staging + L"\\f"); },
         0x1030013, "Sensor folder (" + Narrow(staging) + "\\) is not empty.\n"},
        {"no IPC library",
         [&] {
             agent.Remove(L"PlmPIPC.dll");
             return Held(nullptr, [&](void*) { agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll"); });
         },
         0x1030017, "Init NIPC failed"},
        {"no backslash", [&] { return options = OptionsRecord(1, L"pkg.bin"), nullptr; },
         kInvalidArgument, "File path invalid! [pkg.bin]"},
        {"package", [&] { return package([](auto& s) { s.damage = Damage::kNotZip; }); }, 0x1030014,
         "Decompress KX install pack failed."},
        {"engine", [&] { return package([](auto& s) { s.damage = Damage::kEngineNotZip; }); },
         0x1030014, "Decompress KX Engine pack failed."},
        {"core", [&] { return package([](auto& s) { s.damage = Damage::kCoreNotZip; }); },
         0x1030014, "Decompress KX Core pack failed."},
        {"file named Backup",
         [&] { return package([](auto& s) { s.extraOuterEntry = "Backup"; }); }, kInvalidArgument,
         "Backup folder exist but not directory"},
        {"backup folder held open",
         [&] {
             package([](auto& s) { s.extraOuterEntry = "Backup/stale.txt"; });
             return std::make_shared<HeldOnArrival>(staging + L"\\Backup\\stale.txt");
         },
         0x1030013, "Backup folder (" + Narrow(staging) + "\\\\Backup\\) is not empty.\n"},
        {"locked installed file",
         [&] { return package([](auto&) {}), std::make_shared<LockedFile>(install + L"x.dll"); },
         0x1030014, "Backup KXE directory failed. (Error: 20)"},
        // Wine cannot move a link as a link: pre-update stops without touching its target.
        {"link as staging folder", [&] { return PlantDirectoryLink(staging, victim), nullptr; },
         0x1030002, "Clear Sensor folder failed, error: 4395"},
        {"plain file as staging folder, no package",
         [&] {
             return WriteFileText(staging, ""), options = OptionsRecord(0, L"C:\\Dl\\p"), nullptr;
         },
         0x1030014, "Decompress KX install pack failed."},
    };
    for (const auto& row : rows) {
        RemovePath(staging);
        options = OptionsRecord(1, install + L"x.bin");
        const Held held = row.arrange();
        void* context = NewContext();
        log.Clear();
        EXPECT_EQ(Run(up.PreUpdate, context), row.code) << row.label;
        EXPECT_TRUE(Logged(row.message)) << row.label;
        EXPECT_EQ(ContextState(context), 0u) << row.label;
    }
    EXPECT_TRUE(Logged("Source file: C:\\Dl\\instupg_iKX.zip"));
    EXPECT_TRUE(IsFolder(staging) && ReadTree(staging).empty())
        << "the plain file was replaced by an empty folder, nothing extracted";
    EXPECT_EQ(ReadTree(victim), victimTree);
}

// SYSTEM works in the temp folder, where every user may create entries. What
// it finds there that is not its own (a folder open to others, a link) is
// moved aside and made anew, never walked or written through; a kept-log
// folder that was open to others goes aside with the logs it holds.
TEST_F(UpdateTest, FoldersOthersCouldPlantAreMovedAsideNeverUsed) {
    RegSetString(kKxeKey, L"InstallDir", TempDir(L"KXE"));
    std::unique_ptr<LockedFile> held;
    const struct {
        const char* label;
        std::function<void()> plant;
    } worlds[] = {
        // Each holds a file its owner keeps open: taken for ours, the folder
        // could not be emptied and the stage would stop.
        {"open to everyone",
         [&] {
             OpenToEveryone(staging);
             held = std::make_unique<LockedFile>(staging + L"\\sub\\p.txt");
         }},
        // A squatter's folder may shut SYSTEM out; moved aside, it stops nothing.
        {"owned by someone else",
         [&] {
             ::SetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", staging.c_str());
             held = std::make_unique<LockedFile>(staging + L"\\sub\\p.txt");
         }},
        // Ours, but a held file listed before a subfolder that empties fine:
        // the emptying reports success, yet the folder is not empty.
        {"ours, emptied but for a held file",
         [&] {
             held = std::make_unique<LockedFile>(staging + L"\\planted.txt");
             for (int i = 0; !FolderListedAfter(staging, L"planted.txt") && i < 64; ++i) {
                 WriteTree(staging, {{L"\\clean" + std::to_wstring(i), "<dir>"}});
             }
             ASSERT_TRUE(FolderListedAfter(staging, L"planted.txt"));
         }},
    };
    void* context = nullptr;
    for (const auto& world : worlds) {
        SCOPED_TRACE(world.label);
        if (context) {  // gives the staging folder up
            EXPECT_EQ(Run(up.Rollback, context), 0);
        }
        RemovePath(staging);
        WriteTree(staging, {{L"\\planted.txt", "x"}, {L"\\sub", "<dir>"}, {L"\\sub\\p.txt", "x"}});
        world.plant();
        Package();
        context = NewContext();
        const int32_t staged = Run(up.PreUpdate, context);
        ::SetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", nullptr);
        held.reset();
        ASSERT_EQ(staged, 0);
        EXPECT_FALSE(OthersMayEnter(staging)) << "made with the protected DACL";
        EXPECT_FALSE(PathExists(staging + L"\\planted.txt") || PathExists(staging + L"\\sub"));
    }
    EXPECT_FALSE(OthersMayEnter(keptLogs));

    const std::wstring victim = TempDir(L"victim");
    WriteTree(victim, {{L"\\keep.txt", "keep"}});
    const FileTree victimTree = ReadTree(victim);
    RemovePath(keptLogs);  // made by the rollbacks above
    PlantDirectoryLink(keptLogs, victim);
    PlantDirectoryLink(sensorData, victim);
    WriteTree(staging + L"\\Setup\\debug", {{L"\\KXC_debug.log.0", "log"}});
    // Wine cannot move a link as a link (a handle on it is its target's), so
    // the links stay; nothing is written or removed through them.
    EXPECT_EQ(Run(up.PostUpdate, context), 0);
    EXPECT_EQ(ReadTree(victim), victimTree);
    EXPECT_EQ(log.CountHaving("is not a safe directory, log not kept. (Error: 4395)", 4), 2);
    RemovePath(keptLogs);
    RemovePath(sensorData);
    WriteTree(keptLogs, {{L"\\earlier.log", "earlier"}});
    OpenToEveryone(keptLogs);
    EXPECT_EQ(Run(up.Rollback, NewContext()), 0);
    EXPECT_FALSE(OthersMayWrite(keptLogs));
    EXPECT_FALSE(PathExists(keptLogs + L"\\earlier.log"));
    bool movedAlong = false;
    for (const std::wstring& aside : FilesStartingWith(WindowsTemp(), L"KXE_Debug.")) {
        movedAlong |= ReadBytes(WindowsTemp() + L"\\" + aside + L"\\earlier.log") == "earlier";
    }
    EXPECT_TRUE(movedAlong);
}

// What a walk could not delete is never left to a restart by path: a user who
// made a folder of that tree can open it by path still, turn it into a link
// by then, and the boot-time pass would delete through it as SYSTEM. Tried
// with Wine's own pass over the pending deletions: the file outside stays.
// The leftovers wait in a private folder for the next deployment's sweep.
TEST_F(UpdateTest, NoRestartDeleteReachesThroughAFolderAUserMade) {
    RegSetString(kKxeKey, L"InstallDir", TempDir(L"KXE"));
    options = OptionsRecord(0, L"C:\\p\\x");
    const std::wstring outside = TempDir(L"outside");
    const struct {
        const char* label;
        std::wstring root;
        std::function<int32_t()> stage;
    } worlds[] = {
        // Every user may write the sensor's data folder: no squatting needed.
        {"sensor data, at post-update", sensorData,
         [&] { return Run(up.PostUpdate, NewContext()); }},
        {"a staging folder someone else owns, at pre-update", staging,
         [&] {
             ::SetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", staging.c_str());
             Package();
             void* context = NewContext();
             const int32_t staged = Run(up.PreUpdate, context);
             ::SetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", nullptr);
             Run(up.Rollback, context);  // gives the staging folder up
             return staged;
         }},
    };
    for (const auto& world : worlds) {
        SCOPED_TRACE(world.label);
        ClearRestartDeletes();
        WriteTree(outside, {{L"\\victim.txt", "the user's target"}});
        RemovePath(world.root);
        WriteTree(world.root, {{L"\\d", "<dir>"}});
        {
            const LockedFile busy(world.root + L"\\d\\victim.txt");
            ASSERT_EQ(world.stage(), 0);
        }
        for (const std::wstring& path : RestartDeletes())
            EXPECT_NE(_wcsnicmp(path.c_str(), WindowsTemp().c_str(), WindowsTemp().size()), 0)
                << Narrow(path);
        // The user finds their folder wherever it went and swaps it for a link.
        std::wstring planted;
        for (const auto& entry : fs::recursive_directory_iterator(WindowsTemp())) {
            if (entry.path().filename() == L"d" && fs::exists(entry.path() / L"victim.txt"))
                planted = entry.path().wstring();
        }
        ASSERT_FALSE(planted.empty());
        ASSERT_TRUE(::MoveFileW(planted.c_str(), (planted + L".old").c_str()));
        PlantDirectoryLink(planted, outside);
        ASSERT_TRUE(RunRestartPass());
        EXPECT_EQ(ReadBytes(outside + L"\\victim.txt"), "the user's target");
        RemoveDirectoryLink(planted);
    }
    // The next deployment sweeps what was left, now that nothing holds it.
    Package();
    ASSERT_EQ(Run(up.PreUpdate, NewContext()), 0);
    EXPECT_TRUE(FilesStartingWith(WindowsTemp(), L"KXE_Private").empty());
}

// Kept logs come only from a staging folder the context holds: after a
// pre-update that failed, whatever lies at the staging folder's name now is
// anyone's, and nothing is read from it.
TEST_F(UpdateTest, KeptLogsComeOnlyFromTheStagingFolderTheContextHolds) {
    RegSetString(kKxeKey, L"InstallDir", TempDir(L"KXE"));
    for (auto* stage : {up.PostUpdate, up.Rollback}) {
        options = OptionsRecord(1, L"C:\\nowhere\\p.bin");
        void* context = NewContext();
        ASSERT_EQ(Run(up.PreUpdate, context), 0x1030014);
        WriteTree(staging, {{L"\\Setup", "<dir>"},
                            {L"\\Setup\\debug", "<dir>"},
                            {L"\\Setup\\debug\\KXC_debug.log.0", "planted"}});
        EXPECT_EQ(Run(stage, context), 0);
        EXPECT_TRUE(KeptLogs(L"Upgrade").empty());
    }
}

// A kept log is always a new file. A kept-log folder of ours may still hold
// names from before it was (a hard link named like the next log, pointing at
// a file of a user's choosing): such a name is never opened for writing.
TEST_F(UpdateTest, KeptLogsNeverWriteThroughANameFoundThere) {
    options = OptionsRecord(0, L"C:\\p\\x");
    EXPECT_EQ(Run(up.Rollback, NewContext()), 0);  // the kept-log folder, made by the product
    ASSERT_TRUE(IsFolder(keptLogs));
    Package();
    void* staged = NewContext();
    ASSERT_EQ(Run(up.PreUpdate, staged), 0);
    const std::wstring victim = TempDir(L"victim") + L"target.txt";
    WriteFileText(victim, "the user's own file");
    WriteTree(staging, {{L"\\Setup", "<dir>"},
                        {L"\\Setup\\debug", "<dir>"},
                        {L"\\Setup\\debug\\KXC_debug.log.0", "installer log"}});
    // Names for every millisecond of a window ahead, all links to one file;
    // planting is slow under Wine, so the window starts once it is planted.
    const auto localNow = [] {
        SYSTEMTIME local = {};
        ::GetLocalTime(&local);
        FILETIME time = {};
        ::SystemTimeToFileTime(&local, &time);
        return ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart / 10000;
    };
    const auto plant = [&](uint64_t ms) {
        const uint64_t ticks = ms * 10000;
        const FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME local = {};
        ::FileTimeToSystemTime(&time, &local);
        const std::wstring name = ikx::KeptLogName(L"KXC_debug", L"Upgrade", local);
        return ::CreateHardLinkW((keptLogs + L"\\" + name).c_str(), victim.c_str(), nullptr) != 0;
    };
    constexpr uint64_t kWindow = 500, kProbe = 40;
    const uint64_t probeStart = localNow();
    for (uint64_t ms = 0; ms < kProbe; ++ms) ASSERT_TRUE(plant(probeStart + 600000 + ms));
    const uint64_t perLink = (localNow() - probeStart) / kProbe + 1;
    // A busy machine may slow planting down: a window overrun is planted
    // again further ahead, with twice the margin.
    uint64_t windowStart = 0;
    for (uint64_t margin = 2; margin <= 16 && localNow() >= windowStart; margin *= 2) {
        windowStart = localNow() + margin * perLink * kWindow + 300;
        for (uint64_t ms = 0; ms < kWindow; ++ms) ASSERT_TRUE(plant(windowStart + ms));
    }
    ASSERT_LT(localNow(), windowStart) << "planting overran the window";
    ASSERT_TRUE(
        WaitUntil([&] { return localNow() >= windowStart + 20; }, std::chrono::seconds(60)));
    log.Clear();
    EXPECT_EQ(Run(up.PostUpdate, staged), 0);
    EXPECT_EQ(ReadBytes(victim), "the user's own file");
    ASSERT_LT(localNow(), windowStart + kWindow) << "the post-update outran the window";
    EXPECT_TRUE(WaitUntil([&] { return log.CountHaving("Error code = : 80", 6) == 1; },
                          std::chrono::seconds(5)))
        << "the name was taken, tried once and left alone";
}

// A rollback restores only a backup known to be whole, and says when what it
// restored differs from it; nothing else may empty the staging folder while
// a staged backup lies there.
TEST_F(UpdateTest, RollbackRestoresOnlyAWholeBackup) {
    const std::wstring install = TempDir(L"KXE");
    RegSetString(kKxeKey, L"InstallDir", install);
    const std::wstring image = L"\"" + BinDir() + L"KxSensorService.exe\" --no-ipc --name QVKXE";
    ikx::UniqueFile reader;  // shares reading only, so the file cannot be deleted
    const std::wstring victim = TempDir(L"victim");
    const std::string bulk((3u << 20) / 2, 'x');  // one and a half reads of the digest
    const auto commandsMeanwhile = [&](void*) {
        // A context made and released meanwhile takes no claim away with it.
        void* passing = nullptr;
        ASSERT_EQ(up.CreateContext(&passing), 0);
        EXPECT_EQ(up.ReleaseContext(passing), 0);
        Command("VORN_IAGENT_INSTALL", Package());
        EXPECT_TRUE(Logged("The Sensor folder is held by a staged update, install refused."));
        CreateNamedService(L"QVKXE", L"engine", image);  // an installed sensor to remove
        Command("VORN_IAGENT_UNINSTALL");
        EXPECT_TRUE(Logged("The Sensor folder is held by a staged update, uninstall refused."));
        EXPECT_EQ(Run(up.PreUpdate, NewContext()), 0x1030013);
        // Nor does another update's rollback take the staged backup away, nor
        // can anyone move the staged folder and put another in its place.
        EXPECT_EQ(Run(up.Rollback, NewContext()), 0);
        EXPECT_FALSE(::MoveFileW(staging.c_str(), (staging + L".moved").c_str()));
    };
    const struct {
        const char* label;
        std::function<void(void*)> between;  // after pre-update, before the rollback
        bool restored;
        std::string record;  // "" none in particular
    } rows[] = {
        {"whole backup", [](void*) {}, true, ""},
        {"commands and a second update meanwhile", commandsMeanwhile, true,
         "The Sensor folder is held by another deployment, pre-update refused."},
        {"a changed backup",
         [&](void*) { WriteFileText(staging + L"\\Backup\\cfg\\a.ini", "changed"); }, false,
         "The backup no longer matches what was backed up (cfg\\a.ini, error 0), the install "
         "folder is left as it is."},
        {"a byte of the backup changed, its size kept",
         [&](void*) { WriteFileText(staging + L"\\Backup\\cfg\\a.ini", "b"); }, false,
         "The backup no longer matches what was backed up (cfg\\a.ini, error 0), the install "
         "folder is left as it is."},
        // A file longer than one read: every read of it counts, the first and the last.
        {"the first byte of a long file changed",
         [&](void*) { WriteFileText(staging + L"\\Backup\\bulk.dat", "y" + bulk.substr(1)); },
         false,
         "The backup no longer matches what was backed up (bulk.dat, error 0), the install "
         "folder is left as it is."},
        {"the last byte of a long file changed",
         [&](void*) {
             WriteFileText(staging + L"\\Backup\\bulk.dat", bulk.substr(0, bulk.size() - 1) + "y");
         },
         false,
         "The backup no longer matches what was backed up (bulk.dat, error 0), the install "
         "folder is left as it is."},
        {"a second pre-update that fails",
         [&](void* context) {
             options = OptionsRecord(1, L"C:\\nowhere\\p.bin");
             EXPECT_EQ(Run(up.PreUpdate, context), 0x1030014);
         },
         false, ""},
        {"a file the restore cannot remove",
         [&](void*) {
             WriteFileText(install + L"extra.dll", "extra");
             reader.reset(::CreateFileW((install + L"extra.dll").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
         },
         true, "The restored install folder does not match the backup (extra.dll, error 0)."},
        // Nothing is put back through a link planted at a folder's name.
        {"a link where a folder was",
         [&](void*) {
             RemovePath(install + L"cfg");
             PlantDirectoryLink(install + L"cfg", victim);
         },
         true, "Could not restore (cfg) from the backup. (Error: 4395)"},
        {"an install folder that holds the host agent",
         [&](void*) { RegSetString(kAgentKey, L"Application Path", install + L"agent\\"); }, false,
         "The install folder (" + Narrow(install) +
             ") holds the host agent or a system folder, the backup is not restored."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        RemovePath(install);
        WriteTree(install, {{L"\\KXClient.exe", "old client"},
                            {L"\\cfg", "<dir>"},
                            {L"\\cfg\\a.ini", "a"},
                            {L"\\bulk.dat", bulk}});
        const FileTree original = ReadTree(install);
        Package();
        void* context = NewContext();
        ASSERT_EQ(Run(up.PreUpdate, context), 0);
        WriteTree(install, {{L"\\KXClient.exe", "half new"}});  // what a failed installer left
        log.Clear();
        row.between(context);
        EXPECT_EQ(Run(up.Rollback, context), 0);
        reader.reset();
        EXPECT_EQ(ReadBytes(install + L"KXClient.exe"), row.restored ? "old client" : "half new");
        if (row.restored && row.record.empty()) {
            EXPECT_EQ(ReadTree(install), original);
        }
        EXPECT_TRUE(row.record.empty() || Logged(row.record)) << row.record;
        RemoveServiceIfPresent(L"QVKXE");
        RegSetString(kAgentKey, L"Application Path", agent.Folder());
    }
    EXPECT_TRUE(ReadTree(victim).empty()) << "nothing was put back through the link";
}

// A reader holding files of the install folder open (a scanner, a backup
// agent, any user) never costs the rest of it: everything else is put back,
// what the backup does not hold goes, and each file not restored is named,
// even one that kept the backup's size. A name found there is replaced, never
// written through, and a hard link leaves its other names as they were.
TEST_F(UpdateTest, RollbackPutsBackAllButTheFilesHeldOpen) {
    const std::wstring install = TempDir(L"KXE");
    RegSetString(kKxeKey, L"InstallDir", install);
    FileTree tree = {{L"\\cfg", "<dir>"},         {L"\\cfg\\a.ini", "a"}, {L"\\lib", "<dir>"},
                     {L"\\lib\\l.dll", "l"},      {L"\\sub", "<dir>"},    {L"\\sub\\b.ini", "b"},
                     {L"\\sub.ini", "beside sub"}};
    FileTree halfNew;
    for (int i = 10; i < 30; ++i) {
        const std::wstring name = L"\\f" + std::to_wstring(i) + L".dll";
        tree[name] = "old " + std::to_string(i);
        halfNew[name] = "new " + std::to_string(i);  // the same size
    }
    halfNew[L"\\sub.ini"] = "new beside";
    WriteTree(install, tree);
    Package();
    void* context = NewContext();
    ASSERT_EQ(Run(up.PreUpdate, context), 0);
    // What a failed installer left: every file changed, a folder gone, one
    // turned into a file, files added at the top and in a folder kept.
    WriteTree(install, halfNew);
    RemovePath(install + L"cfg");
    RemovePath(install + L"sub");
    WriteFileText(install + L"sub", "a file where a folder was");
    WriteFileText(install + L"extra.dll", "extra");
    WriteFileText(install + L"lib\\new.dll", "new");
    // Left read-only, and names made hard links to files elsewhere, one of
    // them read-only and unknown to the backup.
    ::SetFileAttributesW((install + L"f25.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    ::SetFileAttributesW((install + L"extra.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    const std::wstring victims = TempDir(L"victim"), victim = victims + L"victim.dll";
    WriteFileText(victim, "victim");
    RemovePath(install + L"f17.dll");
    ASSERT_TRUE(::CreateHardLinkW((install + L"f17.dll").c_str(), victim.c_str(), nullptr));
    const std::wstring readOnlyVictim = victims + L"readonly.dll";
    WriteFileText(readOnlyVictim, "victim");
    ::SetFileAttributesW(readOnlyVictim.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(
        ::CreateHardLinkW((install + L"linked.dll").c_str(), readOnlyVictim.c_str(), nullptr));
    std::vector<ikx::UniqueFile> readers;
    for (const wchar_t* held : {L"f13.dll", L"f21.dll"}) {
        readers.emplace_back(::CreateFileW((install + held).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(readers.back().valid());
    }
    log.Clear();
    EXPECT_EQ(Run(up.Rollback, context), 0);
    readers.clear();
    for (const auto& [name, bytes] : tree) {
        if (bytes == "<dir>") continue;
        const bool held = name == L"\\f13.dll" || name == L"\\f21.dll";
        const bool belowFile = name == L"\\sub\\b.ini";
        EXPECT_EQ(ReadBytes(install + name), held        ? halfNew[name]
                                             : belowFile ? ""
                                                         : bytes)
            << Narrow(name);
    }
    EXPECT_FALSE(PathExists(install + L"extra.dll") || PathExists(install + L"lib\\new.dll"));
    EXPECT_EQ(ReadBytes(victim), "victim");
    EXPECT_EQ(ReadBytes(readOnlyVictim), "victim");
    EXPECT_TRUE(::GetFileAttributesW(readOnlyVictim.c_str()) & FILE_ATTRIBUTE_READONLY);
    for (const char* held :
         {"f13.dll) from the backup. (Error: 32)", "f21.dll) from the backup. (Error: 32)",
          "sub) from the backup. (Error: 267)", "sub\\b.ini) from the backup. (Error: 3)"}) {
        EXPECT_TRUE(Logged("Could not restore (" + std::string(held))) << held;
    }
    EXPECT_EQ(log.CountStarting("Could not restore ("), 4);
    EXPECT_TRUE(
        Logged("The restored install folder does not match the backup (f13.dll, error 0)."));
}

TEST_F(UpdateTest, PostUpdateCleansUpAndLaterRollbacksAreRefused) {
    const std::wstring install = TempDir(L"KXE");
    RegSetString(kKxeKey, L"InstallDir", install);
    RegSetString(kKxcKey, L"Version", L"3.0.1200");
    WriteTree(install, {{L"\\KXClient.exe", "new client"}, {L"\\cfg", "<dir>"}});
    const FileTree installed = ReadTree(install);
    WriteTree(staging, {{L"\\Backup", "<dir>"}, {L"\\Backup\\KXClient.exe", "old client"}});
    WriteTree(sensorData, {{L"\\data.bin", "data"}});
    const auto options = OptionsRecord(0, L"C:\\p\\x");

    void* context = NewContext();  // no pre-update: rollback has no backup to restore
    RegSetString(kKxcKey, L"Version", L"3.5.0");
    EXPECT_EQ(up.Rollback(options.data(), context), 0);
    EXPECT_EQ(ReadTree(install), installed);
    EXPECT_FALSE(PathExists(staging));
    EXPECT_EQ(ClientVersion(), L"3.0.1200");
    EXPECT_TRUE(PathExists(sensorData)) << "rollback leaves the sensor data folder";
    EXPECT_EQ(up.Rollback(options.data(), context), kRollbackRefused);

    // A file of the sensor's still in use: the folder goes aside all the same,
    // and what is in use waits in a private folder for the next sweep, never
    // for a restart.
    context = NewContext();
    ClearRestartDeletes();
    {
        const LockedFile busy(sensorData + L"\\busy.dat");
        EXPECT_EQ(up.PostUpdate(options.data(), context), 0);
    }
    EXPECT_EQ(ContextState(context), 6u);
    EXPECT_FALSE(PathExists(sensorData));
    EXPECT_TRUE(RestartDeletes().empty());
    const auto left = FilesStartingWith(WindowsTemp(), L"KXE_Private.");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_FALSE(OthersMayEnter(WindowsTemp() + L"\\" + left[0]));
    const auto moved = FilesStartingWith(WindowsTemp() + L"\\" + left[0], L"SensorData.");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(ReadTree(WindowsTemp() + L"\\" + left[0] + L"\\" + moved[0]).size(), 1u)
        << "only the file still in use";
    EXPECT_TRUE(FilesStartingWith(keptLogs, L"").empty()) << "no installer logs to keep";
    RegSetString(kKxcKey, L"Version", L"3.5.0");
    WriteTree(staging, {{L"\\Backup", "<dir>"}, {L"\\Backup\\KXClient.exe", "old client"}});
    EXPECT_EQ(up.Rollback(options.data(), context), kRollbackRefused);
    EXPECT_EQ(log.Count("Already invoke PostUpdate, should not rollback after that."), 2);
    EXPECT_EQ(ReadTree(install), installed);
    EXPECT_TRUE(PathExists(staging + L"\\Backup\\KXClient.exe"))
        << "a refused rollback changes nothing";
    EXPECT_EQ(ClientVersion(), L"3.5.0");
}

TEST_F(UpdateTest, UpgradeRunsTheStagedInstallerAndEndsWithTheNewVersion) {
    InstalledSensor sensor;
    ASSERT_EQ(sensor.exitCode, 0x20ff0000u);
    const FileTree installed = ReadTree(DefaultInstallFolder(agent));
    testbed::SensorPackageOptions packageOptions;
    packageOptions.version = "3.3.0.5000";
    packageOptions.extraOuterEntry = "Backup/stale.txt";  // a non-empty backup folder to be emptied
    Package(packageOptions, 2);
    uint8_t prerequisite[24] = {};
    EXPECT_EQ(up.GetPrerequest(prerequisite), 0);
    EXPECT_EQ(prerequisite[8] | prerequisite[12] << 8 | prerequisite[16] << 16, 0x010203);
    void* context = NewContext();
    EXPECT_EQ(Run(up.PreUpdate, context), 0);
    EXPECT_EQ(ContextState(context), 1u);
    EXPECT_EQ(ReadTree(staging + L"\\Backup"), installed);
    EXPECT_FALSE(PathExists(staging + L"\\Setup\\PlmPIPC.dll")) << "an upgrade copies four files";
    EXPECT_NE(::GetModuleHandleW(L"PlmPIPC.dll"), nullptr);
    // Only the context that staged the package runs its installer: not a
    // fresh one, nor one whose state only says it staged. Run wrongly, the
    // installer leaves its log and ends at once, so a wrong run ends soon.
    Script("exit-before-ack");
    void* other = NewContext();
    EXPECT_EQ(Run(up.DoUpdate, other), kInvalidArgument);
    EXPECT_EQ(ContextState(other), 0u);
    const uint32_t staged = 1;
    std::memcpy(other, &staged, sizeof staged);
    EXPECT_EQ(Run(up.DoUpdate, other), kInvalidArgument);
    EXPECT_EQ(ContextState(other), 1u);
    EXPECT_EQ(log.Count("The context has not staged the package, update refused."), 2);
    EXPECT_FALSE(PathExists(staging + L"\\Setup\\debug")) << "the installer ran";
    Script("");
    EXPECT_EQ(Run(up.DoUpdate, context), 0);
    EXPECT_EQ(ContextState(context), 3u);
    const bool wow64 = Wow64Answer();
    const std::wstring setup = staging + L"\\Setup\\";
    EXPECT_EQ(JournalLines(setup + VcRedistFor(wow64) + L".journal").size(), 1u);
    EXPECT_TRUE(JournalLines(setup + VcRedistFor(!wow64) + L".journal").empty());
    WriteTree(sensorData, {{L"\\cache.bin", "data"}});
    EXPECT_EQ(Run(up.PostUpdate, context), 0);
    EXPECT_EQ(ContextState(context), 6u);
    EXPECT_EQ(::GetModuleHandleW(L"PlmPIPC.dll"), nullptr)
        << "post-update releases the IPC binding";
    EXPECT_FALSE(PathExists(staging) || PathExists(sensorData));
    const auto kept = KeptLogs(L"Upgrade");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(kept[0].find("received command 0x5003"), std::string::npos) << kept[0];
    EXPECT_EQ(FilesStartingWith(keptLogs, L"Torv_Event_Upgrade_").size(), 1u);
    EXPECT_EQ(
        Ask(IkxQuery("VORN_ONQUERY_PRODUCT_VERSION"))["result_data"]["content"]["product_version"],
        "3.3.0.5000");
}

// The framework may call the update again on the context that staged the
// package, after the installer failed or after it succeeded: each call runs
// the staged installer anew, with the results and states of a first call.
TEST_F(UpdateTest, ARetryOnTheStagingContextRunsTheInstallerAgain) {
    const struct {
        const char* first;  // the installer's script for each run
        int32_t firstCode;
        const char* retry;
        int32_t retryCode;
        size_t commandsTaken;  // by the installer, over both runs
    } rows[] = {
        {"fail-after-files", 0x1030015, "", 0, 2},
        {"exit-before-ack", 0x1030017, "", 0, 1},
        {"", 0, "", 0, 2},
        {"", 0, "ack-exit-0", 0x1030015, 2},
    };
    const auto count = [](const std::string& text, const std::string& part) {
        size_t found = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++found;
        return found;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.first) + " then " + row.retry);
        Package();
        void* context = NewContext();
        ASSERT_EQ(Run(up.PreUpdate, context), 0);
        Script(row.first);
        EXPECT_EQ(Run(up.DoUpdate, context), row.firstCode);
        EXPECT_EQ(ContextState(context), row.firstCode ? 2u : 3u);
        Script(row.retry);
        log.Clear();
        EXPECT_EQ(Run(up.DoUpdate, context), row.retryCode);
        Script("");
        EXPECT_EQ(ContextState(context), row.retryCode ? 2u : 3u);
        EXPECT_EQ(log.Count("Trigger installer failed"), row.retryCode ? 1 : 0);
        EXPECT_EQ(log.Count("The context has not staged the package, update refused."), 0);
        const std::string taken = ReadBytes(staging + L"\\Setup\\debug\\KXC_debug.log.0");
        EXPECT_EQ(count(taken, "KXInstaller started in"), 2u) << taken;
        EXPECT_EQ(count(taken, "received command 0x5003"), row.commandsTaken) << taken;
        EXPECT_EQ(Run(up.Rollback, context), 0);
        // Ended, the update holds no staged folder any more: no third run.
        EXPECT_EQ(Run(up.DoUpdate, context), kInvalidArgument);
        EXPECT_EQ(ContextState(context), 6u);
        CleanSensor();
    }
}

TEST_F(UpdateTest, RollbackAfterAFailedInstallerRestoresTheInstallationExactly) {
    const struct {
        const char* script;
        const wchar_t* oldNamesVersion;  // null: the current service names
        const wchar_t* versionAfter;     // written back as major.minor.build
    } rows[] = {{"fail-after-files", nullptr, L"3.2.1"},
                {"fail-after-services", L"3.0.1200", L"3.0.1200"}};
    for (const auto& row : rows) {
        InstalledSensor sensor;
        if (row.oldNamesVersion) GiveOldServiceNames(row.oldNamesVersion);
        const std::wstring install = DefaultInstallFolder(agent);
        const FileTree before = ReadTree(install);
        const std::wstring services = SensorServices(true);
        testbed::SensorPackageOptions packageOptions;
        packageOptions.version = "3.3.0.5000";
        Package(packageOptions);
        Script(row.script);
        void* context = NewContext();
        ASSERT_EQ(Run(up.PreUpdate, context), 0);
        EXPECT_EQ(Run(up.DoUpdate, context), 0x1030015) << row.script;
        Script("");
        EXPECT_EQ(ContextState(context), 2u);
        EXPECT_TRUE(ReadTree(install) != before && ClientVersion() == L"3.3.0.5000")
            << "the installer left damage to repair";
        EXPECT_EQ(Run(up.Rollback, context), 0);
        EXPECT_EQ(ReadTree(install), before) << row.script;
        EXPECT_EQ(ClientVersion(), row.versionAfter);
        EXPECT_EQ(SensorServices(true), services);
        EXPECT_FALSE(KeptLogs(L"Upgrade").empty());
        CleanSensor();
    }
}

TEST_F(UpdateTest, EachInstallerOutcomeHasItsResultCode) {
    const struct {
        const char* script;
        int32_t code;
        const char* record;  // logged under TriggerUpgrade
    } rows[] = {{"ack-exit-0", 0x1030015, nullptr},
                {"exit-before-ack", 0x1030017, nullptr},
                {"never-ack", 0x1030017, "SendNIPCTOKXInstaller failed, need to try."},
                {"hang", 0x1030018, nullptr},
                {"", 0x1030016, nullptr}};  // the installer deleted before it could start
    testbed::SensorPackageOptions notZipOptions;
    notZipOptions.damage = testbed::SensorPackageOptions::Damage::kNotZip;
    const std::wstring notZip = Package(notZipOptions);
    for (const auto& row : rows) {
        Package();
        Script(row.script);
        void* context = NewContext();
        log.Clear();
        ASSERT_EQ(Run(up.PreUpdate, context), 0);
        if (&row == rows) {
            EXPECT_TRUE(Logged("KXE directory does not exist, skip backup."));
        }
        EXPECT_TRUE(IsFolder(staging + L"\\Backup") && ReadTree(staging + L"\\Backup").empty());
        if (!*row.script) RemovePath(staging + L"\\Setup\\KXInstaller.exe");
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(Run(up.DoUpdate, context), row.code) << row.script;
        // A hang is given the whole 20 minutes (12 s at IKX_TIME_DIVISOR=100).
        if (std::string(row.script) == "hang") {
            const auto waited = std::chrono::steady_clock::now() - began;
            EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 12000);
        }
        EXPECT_EQ(ContextState(context), 2u);
        log.ExpectRecord("Trigger installer failed", 4, "vornExt_DoUpdate");
        if (row.record) log.ExpectRecord(row.record, 6, "TriggerUpgrade");
        // The failed upgrade's binding goes with its context.
        EXPECT_NE(::GetModuleHandleW(L"PlmPIPC.dll"), nullptr);
        ASSERT_EQ(contexts.back(), context);
        contexts.pop_back();
        EXPECT_EQ(up.ReleaseContext(context), 0);
        EXPECT_EQ(::GetModuleHandleW(L"PlmPIPC.dll"), nullptr) << row.script;
        // Released unfinished, the context leaves the staging folder to the
        // next deployment: an install gets past the claim to its package.
        Command("VORN_IAGENT_INSTALL", notZip);
        EXPECT_TRUE(Logged("Decompress KX install package failed.")) << row.script;
        EXPECT_FALSE(
            log.Contains("The Sensor folder is held by a staged update, install refused."));
    }
}

}  // namespace
