// The IPC channel: binding PlmPIPC.dll through the agent's verified loader and
// sending command records to the sensor client (20) and the installer (21).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/host_agent.h"
#include "common/ipc.h"
#include "common/verified_loading.h"
#include "ipc_endpoint.h"
#include "log/log.h"
#include "support.h"

using namespace testsupport;

namespace {

constexpr auto kLogWait = std::chrono::seconds(5);

bool PlmPipcLoaded() {
    return ::GetModuleHandleW(L"PlmPIPC.dll") != nullptr;
}

// The stand-in's own counters, read while the object still holds the module.
int StandInCounter(const ikx::NipcObject& object, const char* name) {
    auto counter = reinterpret_cast<int(__cdecl*)()>(
        reinterpret_cast<void*>(::GetProcAddress(object.module, name)));
    return counter ? counter() : -1;
}

bool IsEmpty(const ikx::NipcObject& o) {
    return !o.NIPC_Init && !o.NIPC_SendData && !o.NIPC_DeInit && !o.NIPC_CreateCommand &&
           !o.NIPC_CmdDataCopy && !o.NIPC_FreeCommand && !o.NIPC_ReceiveStart &&
           !o.NIPC_ReceiveStop && !o.module && o.handle == 0;
}

class Ipc : public ::testing::Test {
  protected:
    void SetUp() override {
        ikx::CreateLogWriter();
        ASSERT_TRUE(ikx::InitVornAgentObj());
    }
    void TearDown() override {
        ikx::DeInitNIPC(&nipc);
        ikx::ReleaseVornAgentObj();
        ikx::DestroyLogWriter();
    }
    // The record named `message`, once it has arrived; checks where it came from.
    void ExpectLogged(const std::string& message, int level, const char* function) {
        ASSERT_TRUE(log.WaitFor(message, kLogWait)) << message;
        for (const auto& record : log.Records()) {
            if (MessageOf(record) != message) continue;
            EXPECT_EQ(record.Level(), level) << message;
            EXPECT_EQ(record.Function(), function) << message;
            EXPECT_EQ(record.Field(5), L"vornExt_iKX_Common.cpp") << message;
        }
    }
    // Records sent before this marker have arrived once it has.
    void Flush() {
        const std::string marker = "flush " + std::to_string(++flushes_);
        ikx::WriteDebugLog(ikx::kLogTag, ikx::kInfo, "ipc_test", __LINE__, "Flush", "%s",
                           marker.c_str());
        ASSERT_TRUE(log.WaitFor(marker, kLogWait));
    }
    void Bind() {
        ASSERT_TRUE(ikx::InitNIPC(&nipc));
        ASSERT_NE(nipc.handle, 0u);
    }

    LogCollector log;
    HostAgent agent;
    ikx::NipcObject nipc;
    int flushes_ = 0;
};

TEST_F(Ipc, BindsSignedLibraryAndUnloadsItOnRelease) {
    EXPECT_TRUE(ikx::InitNIPC(&nipc));
    EXPECT_TRUE(PlmPipcLoaded());
    EXPECT_NE(nipc.NIPC_ReceiveStart, nullptr);
    EXPECT_NE(nipc.NIPC_ReceiveStop, nullptr);
    ExpectLogged("Success to init NPIC for CLI!", ikx::kInfo, "InitNIPC");
    ikx::DeInitNIPC(&nipc);
    EXPECT_TRUE(IsEmpty(nipc));
    EXPECT_FALSE(PlmPipcLoaded());
}

TEST_F(Ipc, EachBindingHoldsItsOwnHandleAndModuleReference) {
    ikx::NipcObject second;
    Bind();
    ASSERT_TRUE(ikx::InitNIPC(&second));
    EXPECT_NE(second.handle, nipc.handle);
    EXPECT_EQ(StandInCounter(second, "PlmPIPC_LiveHandles"), 2);
    ikx::DeInitNIPC(&nipc);
    // The first release handed its handle back and left the second usable.
    EXPECT_EQ(StandInCounter(second, "PlmPIPC_LiveHandles"), 1);
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&second, 1, ikx::kKxCmdDisable, nullptr, 0, nullptr));
    ikx::DeInitNIPC(&second);
    EXPECT_FALSE(PlmPipcLoaded());
}

TEST_F(Ipc, ClientReplyCodeIsHandedBackAsItCame) {
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    client.SetReply(ikx::kKxCmdSelfProtection, 1460);
    Bind();
    const uint32_t word = 1;
    uint32_t reply = 0xDEADBEEF;
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdSelfProtection, &word, 4, &reply));
    EXPECT_EQ(reply, 1460u);
    ExpectLogged("Send command to KXClient", ikx::kInfo, "SendNIPCCmdToKxAgent");
    ExpectLogged("KXClient reply code: 1460.", ikx::kInfo, "SendNIPCCmdToKxAgent");

    reply = 0xDEADBEEF;
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdEnablePolicy, nullptr, 0, &reply));
    EXPECT_EQ(reply, 0u);  // the client's default answer

    const auto received = client.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].destination, 20u);
    EXPECT_EQ(received[0].type, 3u);
    EXPECT_EQ(received[0].code, 0x4002u);
    EXPECT_EQ(received[0].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(received[1].code, 0x4004u);
    EXPECT_TRUE(received[1].data.empty());
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

TEST_F(Ipc, DataBytesArriveIntact) {
    const std::wstring journal = TempDir(L"ipc journal") + L"client.log";
    testbed::IpcEndpoint client(ikx::kNipcKxClient, journal);
    Bind();
    const int64_t policyId = -2;
    std::vector<uint8_t> large(100000);  // beyond one pipe read
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    uint32_t reply = 1;
    EXPECT_TRUE(
        ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdEnableOrNewTask, &policyId, 8, &reply));
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&nipc, 1, ikx::kKxCmdComponentUpdate, large.data(),
                                          static_cast<uint32_t>(large.size()), nullptr));

    const auto received = client.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].data,
              (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(received[1].type, 1u);
    EXPECT_EQ(received[1].code, 0x5006u);
    EXPECT_EQ(received[1].data, large);
    const auto journaled = testbed::ReadIpcJournal(journal);
    ASSERT_EQ(journaled.size(), 2u);
    EXPECT_EQ(journaled[0].code, 0x4001u);
    EXPECT_EQ(journaled[0].data, received[0].data);
    EXPECT_EQ(journaled[1].data, large);
}

TEST_F(Ipc, TypeOneReportsTrueWhateverTheReply) {
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    client.SetReply(ikx::kKxCmdDisable, 5);
    client.SetNoReply(ikx::kKxCmdUninstallNotice);
    Bind();
    uint32_t reply = 77;
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&nipc, 1, ikx::kKxCmdDisable, nullptr, 0, &reply));
    EXPECT_TRUE(
        ikx::SendNIPCCmdToKxAgent(&nipc, 1, ikx::kKxCmdUninstallNotice, nullptr, 0, &reply));
    EXPECT_EQ(reply, 77u);  // not read for type 1
    EXPECT_EQ(client.Received().size(), 2u);
    Flush();
    EXPECT_EQ(log.Count("Send command to KXClient"), 2);
    EXPECT_FALSE(log.Contains("Replied data is NULL."));
    EXPECT_FALSE(log.Contains("KXClient reply code: 5."));
}

TEST_F(Ipc, MissingReplyFailsOnlyWhenTheReplyCodeIsAskedFor) {
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    client.SetNoReply(ikx::kKxCmdEnableOrNewTask);
    client.SetNoReply(ikx::kKxCmdTrustedPrograms);
    Bind();
    uint32_t reply = 9;
    EXPECT_FALSE(
        ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdEnableOrNewTask, nullptr, 0, &reply));
    EXPECT_EQ(reply, 9u);
    ExpectLogged("Replied data is NULL.", ikx::kWarn, "SendNIPCCmdToKxAgent");
    const wchar_t list[] = L"a.exe|b.exe";
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdTrustedPrograms, list,
                                          sizeof list - sizeof(wchar_t), nullptr));
    EXPECT_EQ(client.Received().size(), 2u);
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

TEST_F(Ipc, InstallerSuccessReplyCountsAsSuccess) {
    testbed::IpcEndpoint installer(ikx::kNipcKxInstaller);
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    Bind();
    EXPECT_TRUE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    ExpectLogged("Sent NIPC Command.", ikx::kInfo, "SendNIPCTOKXInstaller");
    ExpectLogged("KXClient reply code: 553582592.", ikx::kInfo, "SendNIPCTOKXInstaller");
    const auto received = installer.Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].destination, 21u);
    EXPECT_EQ(received[0].type, 3u);
    EXPECT_EQ(received[0].code, 0x5001u);
    EXPECT_TRUE(received[0].data.empty());
    EXPECT_TRUE(client.Received().empty());
}

TEST_F(Ipc, InstallerOtherRepliesFail) {
    testbed::IpcEndpoint installer(ikx::kNipcKxInstaller);
    installer.SetReply(ikx::kInstallerCmdUninstall,
                       0);  // the client's success is not the installer's
    installer.SetReply(ikx::kInstallerCmdInstallOverOld, 1603);
    Bind();
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdUninstall));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstallOverOld));
    ExpectLogged("Notify KXInstaller failed (error: 0).", ikx::kInfo, "SendNIPCTOKXInstaller");
    ExpectLogged("Notify KXInstaller failed (error: 1603).", ikx::kInfo, "SendNIPCTOKXInstaller");
    EXPECT_EQ(installer.Received().size(), 2u);
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

TEST_F(Ipc, InstallerAnswerWithoutReplyDataFails) {
    testbed::IpcEndpoint installer(ikx::kNipcKxInstaller);
    installer.SetNoReply(ikx::kInstallerCmdInstall);
    Bind();
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    ExpectLogged("Replied data is NULL.", ikx::kWarn, "SendNIPCTOKXInstaller");
}

TEST_F(Ipc, NoEndpointFailsTheSend) {
    Bind();
    uint32_t reply = 0;
    EXPECT_FALSE(ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdEnablePolicy, nullptr, 0, &reply));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    const std::string failed = "Send NIPC Command failed (error: 2).";  // no such pipe
    ASSERT_TRUE(WaitUntil([&] { return log.Count(failed) == 2; }, kLogWait));
    std::vector<std::string> functions;
    for (const auto& record : log.Records()) {
        if (MessageOf(record) == failed) functions.push_back(record.Function());
    }
    std::sort(functions.begin(), functions.end());
    EXPECT_EQ(functions,
              (std::vector<std::string>{"SendNIPCCmdToKxAgent", "SendNIPCTOKXInstaller"}));
    Flush();
    EXPECT_FALSE(log.Contains("Sent NIPC Command."));
    EXPECT_EQ(StandInCounter(nipc, "PlmPIPC_LiveCommands"), 0);
}

TEST_F(Ipc, SendsOnUnboundObjectsAreRefused) {
    uint32_t reply = 0;
    EXPECT_FALSE(ikx::SendNIPCCmdToKxAgent(nullptr, 1, ikx::kKxCmdDisable, nullptr, 0, nullptr));
    EXPECT_FALSE(ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdDisable, nullptr, 0, &reply));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(&nipc, ikx::kInstallerCmdInstall));
    EXPECT_FALSE(ikx::SendNIPCTOKXInstaller(nullptr, ikx::kInstallerCmdInstall));
    ExpectLogged("Invalid NIPC object", ikx::kWarn, "SendNIPCCmdToKxAgent");
    ExpectLogged("IPC haven't init", ikx::kWarn, "SendNIPCTOKXInstaller");
}

TEST_F(Ipc, ConcurrentHandlersEachBindTheirOwnChannel) {
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    constexpr int kThreads = 8;
    constexpr int kSends = 15;
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ikx::NipcObject own;
            if (!ikx::InitNIPC(&own)) return;
            for (int i = 0; i < kSends; ++i) {
                const uint32_t word = static_cast<uint32_t>(t * 1000 + i);
                uint32_t reply = 1;
                if (ikx::SendNIPCCmdToKxAgent(&own, 3, ikx::kKxCmdSelfProtection, &word, 4,
                                              &reply) &&
                    reply == 0) {
                    ++succeeded;
                }
            }
            ikx::DeInitNIPC(&own);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(succeeded.load(), kThreads * kSends);
    std::set<uint32_t> words;
    for (const auto& command : client.Received()) {
        uint32_t word = 0;
        ASSERT_EQ(command.data.size(), 4u);
        std::memcpy(&word, command.data.data(), 4);
        words.insert(word);
    }
    EXPECT_EQ(words.size(), static_cast<size_t>(kThreads * kSends));  // each arrived once
    EXPECT_FALSE(PlmPipcLoaded());
}

// A refused binding leaves the object empty and the library unloaded, and a
// release afterwards is harmless.
class IpcRefused : public Ipc {
  protected:
    void ExpectRefused(const std::string& message) {
        EXPECT_FALSE(ikx::InitNIPC(&nipc));
        ExpectLogged(message, ikx::kWarn, "InitNIPC");
        EXPECT_TRUE(IsEmpty(nipc));
        EXPECT_FALSE(PlmPipcLoaded());
        ikx::DeInitNIPC(&nipc);
        ikx::DeInitNIPC(&nipc);
        EXPECT_TRUE(IsEmpty(nipc));
        Flush();
        EXPECT_FALSE(log.Contains("Success to init NPIC for CLI!"));
    }
    const std::string notLoaded =
        "Load NIPC DLL failed (error: " + std::to_string(static_cast<int>(TRUST_E_NOSIGNATURE)) +
        ").";
};

TEST_F(IpcRefused, MissingLibrary) {
    agent.Remove(L"PlmPIPC.dll");
    ExpectRefused(notLoaded);
}

TEST_F(IpcRefused, OtherSigner) {
    agent.Place(L"PlmPIPC.other.dll", L"PlmPIPC.dll");
    ExpectRefused(notLoaded);
}

TEST_F(IpcRefused, Unsigned) {
    agent.Place(L"PlmPIPC.unsigned.dll", L"PlmPIPC.dll");
    ExpectRefused(notLoaded);
}

TEST_F(IpcRefused, MissingSendData) {
    agent.Place(L"PlmPIPC.nosend.dll", L"PlmPIPC.dll");
    ExpectRefused("GetProcAddress failed (error: 127).");
}

TEST_F(IpcRefused, InitReturnsZero) {
    agent.Place(L"PlmPIPC.initfail.dll", L"PlmPIPC.dll");
    ExpectRefused("Fail to init NPIC for CLI! Last Error: 21");
}

TEST_F(IpcRefused, HostAgentFolderUnreadable) {
    RegDeleteValue(ikx::kHostAgentKey, L"Application Path");
    ExpectRefused("Cannot get Pelmo folder.");
    EXPECT_FALSE(log.Contains(notLoaded));
    EXPECT_FALSE(log.Contains("Vorn Agent object is invalid"));
}

TEST_F(IpcRefused, AgentNotBound) {
    ikx::ReleaseVornAgentObj();
    ExpectRefused("Vorn Agent object is invalid");
}

TEST_F(Ipc, LibraryWithoutReceiveStartStillBindsAndSends) {
    agent.Place(L"PlmPIPC.noreceive.dll", L"PlmPIPC.dll");
    testbed::IpcEndpoint client(ikx::kNipcKxClient);
    Bind();
    EXPECT_EQ(nipc.NIPC_ReceiveStart, nullptr);
    EXPECT_NE(nipc.NIPC_ReceiveStop, nullptr);
    uint32_t reply = 1;
    EXPECT_TRUE(ikx::SendNIPCCmdToKxAgent(&nipc, 3, ikx::kKxCmdEnablePolicy, nullptr, 0, &reply));
    EXPECT_EQ(reply, 0u);
    ikx::DeInitNIPC(&nipc);
    EXPECT_FALSE(PlmPipcLoaded());
}

}  // namespace
