// The staged upgrade through the DLL's seven update exports, against the real
// registry, service manager and folders, with the stand-in installer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

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
    EXPECT_EQ(up.GetPrerequest(nullptr), kInvalidArgument);
    EXPECT_EQ(up.ReleaseContext(nullptr), 0);
}

TEST_F(UpdateTest, RollbackGivesEarly30BuildsTheirOldServiceNamesAndVersionBack) {
    const std::wstring image = L"\"" + BinDir() + L"KxSensorService.exe\" --no-ipc --name ";
    const struct {
        const wchar_t* version;
        bool oldClientPresent, clientRenamed, engineRenamed;
    } rows[] = {{L"3.0.1307", false, true, true},
                {L"3.0.1200", true, false, true},
                {L"3.0.1308", false, false, false},
                {L"3.1.0", false, false, false}};
    for (const auto& row : rows) {
        const std::string label = Narrow(row.version);
        CleanSensor();
        CreateNamedService(L"QVKXC", L"iKX client", image + L"QVKXC");
        CreateNamedService(L"QVKXE", L"iKX engine", image + L"QVKXE");
        if (row.oldClientPresent) CreateNamedService(L"KXClient", L"left alone", image + L"KXC");
        RegSetString(kKxcKey, L"Version", row.version);
        void* context = NewContext();
        RegSetString(kKxcKey, L"Version", L"3.9.1");  // what the new installer wrote
        log.Clear();
        EXPECT_EQ(up.Rollback(OptionsRecord(2, L"C:\\p").data(), context), 0) << label;
        EXPECT_EQ(ContextState(context), 6u);
        EXPECT_EQ(ClientVersion(), row.version);

        const ServiceConfig client = ReadServiceConfig(L"KXClient");
        const ServiceConfig engine = ReadServiceConfig(L"KXE");
        EXPECT_EQ(ReadServiceConfig(L"QVKXC").exists, !row.clientRenamed) << label;
        EXPECT_EQ(ReadServiceConfig(L"QVKXE").exists, !row.engineRenamed) << label;
        EXPECT_EQ(client.exists, row.clientRenamed || row.oldClientPresent) << label;
        EXPECT_EQ(engine.exists, row.engineRenamed) << label;
        if (row.clientRenamed) {
            EXPECT_EQ(client.binaryPath, image + L"QVKXC");
            EXPECT_EQ(client.displayName, L"Corvask Kexaro Service (Agent)");
        }
        if (row.oldClientPresent) {
            EXPECT_EQ(client.displayName, L"left alone");
        }
        if (row.engineRenamed) {
            EXPECT_EQ(engine.binaryPath, image + L"QVKXE");
            EXPECT_EQ(engine.displayName, L"Corvask Kexaro Engine Wrapper");
        }
        EXPECT_EQ(log.Contains("Need to rollback KXC service name"), row.clientRenamed) << label;
    }
}

}  // namespace

namespace {

TEST_F(UpdateTest, PreUpdateFailuresBeforeThePackageIsUnpacked) {
    const std::wstring downloads = TempDir(L"downloads");
    const std::wstring sensorFolder = staging + L"\\";
    const struct {
        const char* label;
        std::function<std::shared_ptr<void>()> arrange;
        std::wstring filePath;
        int32_t code;
        std::string message;
    } rows[] = {
        {"locked file in place of the staging folder",
         [&] { return std::make_shared<LockedFile>(staging); }, downloads + L"x.bin", 0x1030002,
         "Clear Sensor folder failed, error: 32"},
        {"locked file in the staging folder",
         [&] {
             ::CreateDirectoryW(staging.c_str(), nullptr);
             return std::make_shared<LockedFile>(staging + L"\\held.txt");
         },
         downloads + L"x.bin", 0x1030013,
         "Sensor folder (" + Narrow(sensorFolder) + ") is not empty.\n"},
        {"no IPC library",
         [&] {
             agent.Remove(L"PlmPIPC.dll");
             return std::shared_ptr<void>(
                 nullptr, [&](void*) { agent.Place(L"PlmPIPC.dll", L"PlmPIPC.dll"); });
         },
         downloads + L"x.bin", 0x1030017, "Init NIPC failed"},
        {"file path without a backslash", [] { return nullptr; }, L"pkg.bin", kInvalidArgument,
         "File path invalid! [pkg.bin]"},
        {"damaged package",
         [&] {
             WriteFileText(downloads + L"instupg_iKX.zip", "PK\3\4 not really a zip");
             return nullptr;
         },
         downloads + L"pkg.bin", 0x1030014, "Decompress KX install pack failed."},
        {"plain file in place of the staging folder, no package",
         [&] {
             WriteFileText(staging, "in the way");
             return nullptr;
         },
         L"C:\\Dl\\pkg.bin", 0x1030014, "Decompress KX install pack failed."},
    };
    for (const auto& row : rows) {
        RemovePath(staging);
        std::shared_ptr<void> held = row.arrange();
        void* context = NewContext();
        log.Clear();
        EXPECT_EQ(up.PreUpdate(OptionsRecord(1, row.filePath).data(), context), row.code)
            << row.label;
        EXPECT_TRUE(Logged(row.message)) << row.label;
        EXPECT_EQ(ContextState(context), 0u) << row.label;
    }
    EXPECT_TRUE(Logged("Source file: C:\\Dl\\instupg_iKX.zip"));
    EXPECT_FALSE(PathExists(staging)) << "the plain file was deleted, nothing extracted";
}

TEST_F(UpdateTest, PostUpdateCleansUpAndLaterRollbacksAreRefused) {
    const std::wstring install = TempDir(L"KXE");
    RegSetString(kKxeKey, L"InstallDir", install);
    RegSetString(kKxcKey, L"Version", L"3.0.1200");
    const FileTree installed = {{L"\\KXClient.exe", "new client"}, {L"\\cfg", "<dir>"}};
    WriteTree(install, installed);
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

    context = NewContext();
    EXPECT_EQ(up.PostUpdate(options.data(), context), 0);
    EXPECT_EQ(ContextState(context), 6u);
    EXPECT_FALSE(PathExists(sensorData));
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

}  // namespace
