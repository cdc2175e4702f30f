// The IPC channel: binding PlmPIPC.dll through the agent's verified loader and
// sending command records to the sensor client (20) and the installer (21).
#include "in_process.h"
#include "ipc_endpoint.h"

using namespace testsupport;

namespace {

TEST_F(Ipc, BindingReleasesItsHandleAndNeedsNoReceiveEntryPoints) {
    ASSERT_TRUE(ikx::InitNIPC(&nipc));
    log.ExpectRecord("Success to init NPIC for CLI!", 6, "InitNIPC");
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveHandles"), 1);
    // Released while a second binding keeps the library, so its count is read.
    ikx::NipcObject second;
    ASSERT_TRUE(ikx::InitNIPC(&second));
    EXPECT_EQ(StandInCounter(second, "PlmPIPC_LiveHandles"), 2);
    ikx::DeInitNIPC(&second);
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveHandles"), 1);
    ikx::DeInitNIPC(&nipc);
    EXPECT_TRUE(IsEmpty(nipc));
    EXPECT_FALSE(PlmPipcLoaded());

    // A library without NIPC_ReceiveStart still binds and sends.
    agent.Place(L"PlmPIPC.noreceive.dll", L"PlmPIPC.dll");
    testbed::IpcEndpoint client(20);
    ASSERT_TRUE(ikx::InitNIPC(&nipc));
    EXPECT_EQ(nipc.library->NIPC_ReceiveStart, nullptr);
    EXPECT_TRUE(Send(1, ikx::kKxCmdEnablePolicy));
    EXPECT_EQ(client.Received().size(), 1u);
}

TEST_F(Ipc, ClientCommandsArriveIntactAndReplyCodesComeBackForTypeThree) {
    testbed::IpcEndpoint client(20);
    client.SetReply(ikx::kKxCmdSelfProtection, 1460);
    client.SetReply(ikx::kKxCmdDisable, 5);
    client.SetNoReply(ikx::kKxCmdUninstallNotice);
    client.SetNoReply(ikx::kKxCmdEnableOrNewTask);
    ASSERT_TRUE(ikx::InitNIPC(&nipc));
    const uint32_t word = 1;
    const int64_t policyId = -2;
    Bytes large(100000);  // beyond one pipe read
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    uint32_t reply = 0xDEADBEEF;
    EXPECT_TRUE(Send(3, ikx::kKxCmdSelfProtection, &word, 4, &reply));
    EXPECT_EQ(reply, 1460u);
    EXPECT_TRUE(Send(3, ikx::kKxCmdEnablePolicy, nullptr, 0, &reply));
    EXPECT_EQ(reply, 0u);  // the client's default answer
    reply = 77;            // type 1 never reads the reply
    EXPECT_TRUE(Send(1, ikx::kKxCmdDisable, nullptr, 0, &reply));
    EXPECT_TRUE(Send(1, ikx::kKxCmdUninstallNotice, nullptr, 0, &reply));
    EXPECT_TRUE(Send(1, ikx::kKxCmdComponentUpdate, large.data(), large.size()));
    // No reply data fails only when the reply code is asked for.
    EXPECT_FALSE(Send(3, ikx::kKxCmdEnableOrNewTask, &policyId, 8, &reply));
    EXPECT_TRUE(Send(3, ikx::kKxCmdEnableOrNewTask, &policyId, 8));
    EXPECT_EQ(reply, 77u);
    log.ExpectRecord("KXClient reply code: 1460.", 6, "SendNIPCCmdToKxAgent");
    log.ExpectRecord("Replied data is NULL.", 4, "SendNIPCCmdToKxAgent");
    EXPECT_EQ(log.Count("Replied data is NULL."), 1);
    EXPECT_FALSE(log.Contains("KXClient reply code: 5."));

    const auto received = client.Received();
    ASSERT_EQ(received.size(), 7u);
    const Bytes policyBytes = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes expected[] = {{1, 0, 0, 0}, {}, {}, {}, large, policyBytes, policyBytes};
    const uint32_t codes[] = {0x4002, 0x4004, 0x6001, 0x6002, 0x5006, 0x4001, 0x4001};
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].destination, 20u);
        EXPECT_EQ(received[i].type, i >= 2 && i <= 4 ? 1u : 3u) << i;
        EXPECT_EQ(received[i].code, codes[i]) << i;
        EXPECT_EQ(received[i].data, expected[i]) << i;
    }
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

TEST_F(Ipc, InstallerSucceedsOnlyOnItsSuccessReply) {
    testbed::IpcEndpoint client(20), installer(21);
    installer.SetReply(ikx::kInstallerCmdUninstall, 0);  // the client's success is not its
    installer.SetNoReply(ikx::kInstallerCmdInstallOverOld);
    ASSERT_TRUE(ikx::InitNIPC(&nipc));
    EXPECT_TRUE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdUninstall));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstallOverOld));
    log.ExpectRecord("KXClient reply code: 553582592.", 6, "SendNIPCTOKXInstaller");
    log.ExpectRecord("Notify KXInstaller failed (error: 0).", 6, "SendNIPCTOKXInstaller");
    log.ExpectRecord("Replied data is NULL.", 4, "SendNIPCTOKXInstaller");
    const auto received = installer.Received();
    ASSERT_EQ(received.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(received[i].destination == 21 && received[i].type == 3 &&
                    received[i].code == 0x5001u + i && received[i].data.empty())
            << i;
    }
    EXPECT_TRUE(client.Received().empty());
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

TEST_F(Ipc, SendsFailWithoutEndpointOrBinding) {
    uint32_t reply = 0;
    EXPECT_FALSE(ikx::SendNIPCCmdToKxAgent(nullptr, 1, ikx::kKxCmdDisable, nullptr, 0, nullptr));
    EXPECT_FALSE(Send(3, ikx::kKxCmdDisable, nullptr, 0, &reply));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    log.ExpectRecord("Invalid NIPC object", 4, "SendNIPCCmdToKxAgent");
    log.ExpectRecord("IPC haven't init", 4, "SendNIPCTOKXInstaller");

    ASSERT_TRUE(ikx::InitNIPC(&nipc));
    EXPECT_FALSE(Send(3, ikx::kKxCmdEnablePolicy, nullptr, 0, &reply));
    const std::string failed = "Send NIPC Command failed (error: 2).";  // no such pipe
    log.ExpectRecord(failed, 4, "SendNIPCCmdToKxAgent");
    log.Clear();
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    log.ExpectRecord(failed, 4, "SendNIPCTOKXInstaller");
    EXPECT_FALSE(log.Contains("Sent NIPC Command."));
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

// A refused binding leaves the object empty and the library unloaded, and a
// release afterwards is harmless.
TEST_F(Ipc, RefusedBindingsReleaseTheLibrary) {
    const std::string notLoaded =
        "Load NIPC DLL failed (error: " + std::to_string(int(TRUST_E_NOSIGNATURE)) + ").";
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { agent.Remove(L"PlmPIPC.dll"); }, notLoaded},
        {[&] { agent.Place(L"PlmPIPC.other.dll", L"PlmPIPC.dll"); }, notLoaded},
        {[&] { agent.Place(L"PlmPIPC.unsigned.dll", L"PlmPIPC.dll"); }, notLoaded},
        {[&] { agent.Place(L"PlmPIPC.nosend.dll", L"PlmPIPC.dll"); },
         "GetProcAddress failed (error: 127)."},
        {[&] { agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll"); },
         "Fail to init NPIC for CLI! Last Error: 21"},
        {[&] { ikx::ReleaseVornAgentObj(); }, "Vorn Agent object is invalid"},
        {[&] {
             RegDeleteValue(L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion",
                            L"Application Path");
         },
         "Cannot get Pelmo folder."},
    };
    for (const auto& row : rows) {
        row.first();
        log.Clear();
        EXPECT_FALSE(ikx::InitNIPC(&nipc)) << row.second;
        EXPECT_TRUE(IsEmpty(nipc)) << row.second;
        EXPECT_FALSE(PlmPipcLoaded()) << row.second;
        ikx::DeInitNIPC(&nipc);
        EXPECT_TRUE(IsEmpty(nipc));
        for (const auto& other : rows) {
            EXPECT_EQ(log.Count(other.second), other.second == row.second) << row.second;
        }
        EXPECT_FALSE(log.Contains("Success to init NPIC for CLI!"));
        log.ExpectRecord(row.second, 4, "InitNIPC");
    }
}

}  // namespace
