// Repeated use of the host services returns the process to the handles and
// modules it began with: every key, service handle, file, mapping, pipe and
// library is released on success and failure paths alike.
#include "deploy/decompress.h"
#include "win32/file_ops.h"
#include "sensor/sensor_registry.h"
#include "sensor/components.h"
#include "sensor/policy_values.h"
#include "sensor/installed.h"
#include "win32/services.h"
#include "in_process.h"
#include "platform/handles.h"

using namespace testsupport;

namespace {

// True when the command reached the running client service and was answered.
bool UseHostServicesOnce(const std::wstring& scratch) {
    DWORD state = 0;
    ikx::scIsServiceInstalled(L"QVKXC");
    ikx::scQueryServiceStatus(L"QVKXC", state);
    ikx::scQueryServiceStatus(L"NoSuchService", state);
    ikx::GetKxServiceGeneration();
    ikx::IsIKxInstalled();
    std::vector<ikx::AgentComponent> rows;
    ikx::GetKxAgentComponentList(rows);
    uint32_t setting = 0;
    ikx::GetPolicySetting(setting);

    bool sent = false;
    ikx::NipcObject ipc;
    if (ikx::InitNIPC(&ipc)) {
        uint32_t reply = 1;
        sent = ikx::SendNIPCCmdToKxAgent(&ipc, ikx::kNipcTypeReply, ikx::kKxCmdSelfProtection,
                                         &reply, sizeof reply, &reply) &&
               reply == 0;
        ikx::SendNIPCTOKXInstaller(&ipc, ikx::kInstallerCmdInstall);  // nobody serves 21
    }
    ikx::DeInitNIPC(&ipc);

    ikx::DecompressFile(scratch + L"missing.zip", scratch + L"out");
    ikx::DecompressFile(scratch + L"corrupt.zip", scratch + L"out");
    ::CreateDirectoryW((scratch + L"tree").c_str(), nullptr);
    WriteBytes(scratch + L"tree\\f.txt", "x");
    ikx::CopyDirectory((scratch + L"tree").c_str(), (scratch + L"copy").c_str());
    ikx::CleanDirectory((scratch + L"copy").c_str(), true, true);
    return sent;
}

TEST(HostServices, RepeatedUseLeavesNoHandleOrModuleBehind) {
    HostAgent agent;
    ScopedService client(L"QVKXC", L"\"" + BinDir() + L"KxSensorService.exe\" --name QVKXC");
    ASSERT_TRUE(client.Start());
    RegSetString(kKxcKey, L"Version", L"3.0.1308");
    ASSERT_TRUE(ikx::InitVornAgentObj());
    const std::wstring scratch = TempDir(L"leak");
    WriteBytes(scratch + L"corrupt.zip", "PK\x03\x04 not really an archive");

    // The first use loads what stays loaded for the process's life.
    // The stand-in IPC library (its C++ runtime linked in) leaves about 4 KB
    // behind each time Wine unloads it: a reference held here keeps it loaded
    // while the extension's own use is measured. Dropping it then shows that
    // the extension released every reference it took.
    ikx::UniqueModule held(::LoadLibraryW((agent.Folder() + L"PlmPIPC.dll").c_str()));
    int answered = 0;
    ExpectFlatUsage([&] { answered += UseHostServicesOnce(scratch); }, 1, 20);
    held.reset();
    EXPECT_EQ(::GetModuleHandleW(L"PlmPIPC.dll"), nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"libZipUnZipDll.dll"), nullptr);
    EXPECT_EQ(answered, 21);
    // Service handles are not kernel handles: one left open keeps the deleted service.
    EXPECT_TRUE(RemoveServiceIfPresent(L"QVKXC"));

    ikx::ReleaseVornAgentObj();
    RegDeleteTree(kKxcKey);
}

}  // namespace
