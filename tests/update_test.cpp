// The staged upgrade through the DLL's seven update exports, against the real
// registry, service manager and folders, with the stand-in installer.
#include <gtest/gtest.h>

#include <cstring>

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
        std::wstring version(32, L'\0');
        DWORD bytes = 64;
        ::RegGetValueW(HKEY_LOCAL_MACHINE, kKxcKey.c_str(), L"Version", RRF_RT_REG_SZ, nullptr,
                       &version[0], &bytes);
        EXPECT_STREQ(version.c_str(), row.version);

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
