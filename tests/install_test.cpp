// Installing and removing the sensor with the real installer stand-in: the
// package unpacked under the Windows temp folder, the installer driven over
// IPC, the sensor's services, registry and folders it leaves, the kept logs.
// Runs with IKX_TIME_DIVISOR=100 (set by ctest): the installer's work must fit
// in the scaled 20 minutes even on a busy machine.
#include "install_world.h"

#include "log/log.h"

using namespace testsupport;

namespace {

class InstallFlow : public InstallTest {
  protected:
    Json::Value Query(const std::string& id, const std::string& type = "") {
        return Parse(dll.Query(IkxQuery(id, type)))["result_data"]["content"];
    }
    void SetUp() override {
        InstallTest::SetUp();
        dll.Init();
    }
    void TearDown() override {
        dll.Deinit();
        InstallTest::TearDown();
    }
    ProductDll dll;
};

TEST_F(InstallFlow, FreshInstallLeavesARunningSensorAndUninstallRemovesIt) {
    EXPECT_EQ(InstallFrom(Package())["result_code"], 0);
    EXPECT_FALSE(PathExists(StagingFolder()));
    const auto installed = KeptLogs(L"Install");
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_NE(installed[0].find("received command 0x5001"), std::string::npos) << installed[0];

    EXPECT_EQ(Query("VORN_ONQUERY_SERVICE_STATUS")["status_code"], 1);
    EXPECT_EQ(Query("VORN_ONQUERY_PRODUCT_VERSION")["product_version"], "3.2.1.4321");
    const Json::Value components =
        Query("VORN_ONQUERY_COMPONENT_INFO", "VORN_RUNTIME_COMPONENT_INFO");
    ASSERT_EQ(components.size(), 3u);
    EXPECT_EQ(components[0]["version"], "130100 0 0");
    EXPECT_EQ(components[1]["version"], "2147 0 0");
    EXPECT_EQ(components[2]["version"], "163 0 0");
    const std::wstring folder = DefaultInstallFolder(agent);
    EXPECT_TRUE(PathExists(folder + L"KXInstaller.exe"));

    log.Clear();
    EXPECT_EQ(Uninstall()["result_code"], 0);
    EXPECT_EQ(Query("VORN_ONQUERY_SERVICE_STATUS")["status_code"], 4);
    for (const wchar_t* name : {L"QVKXC", L"QVKXE"}) {
        EXPECT_FALSE(ServiceExists(name)) << Narrow(name);
    }
    EXPECT_FALSE(PathExists(folder));
    EXPECT_FALSE(PathExists(StagingFolder()));
    const auto removed = KeptLogs(L"Uninstall");
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_NE(removed[0].find("received command 0x5002"), std::string::npos) << removed[0];
    ExpectRecord("Enter UninstallIKX", ikx::kTrace, "UninstallIKX");
    ExpectRecord("Wait for KXInstaller to finish.", ikx::kInfo, "TriggerInstaller");
}

}  // namespace
