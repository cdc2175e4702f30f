// One notification through the export beside its floor, measured in the same
// process against the same running sensor client service (QVKXC).
//
// Floor: the calls the relay requires, made directly — the verified load of
// PlmPIPC.dll through the host agent's loader, NIPC_Init, one command
// (create, copy, send, free), NIPC_DeInit and the unload. A second floor adds
// what the entry point does around the relay: the gate's signer check of the
// loading process, the installed check (service probe and version value) and
// one failed log-pipe open per record the call logs.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hostagent/host_agent.h"
#include "hostagent/ipc.h"
#include "sensor/sensor_registry.h"
#include "sensor_world.h"
#include "timing.h"

using namespace testsupport;

using namespace benchtiming;

namespace {

const wchar_t kLogPipe[] = L"\\\\.\\pipe\\Log_ServerNamePipe";
const std::string kProxyNotification =
    R"({"product_id":"VORN_IPRODUCT_IKX","notify_id":"VORN_ONNOTIFY_ADMIN_CFG_CHANGE",)"
    R"("notify_data":{"notify_type":"VORN_TYPE_PROXY","notify_content":{"ie_proxy":{"use_proxy":true}}}})";

using LoadFn = HMODULE(__cdecl*)(const wchar_t*, const wchar_t*);
using VerifyFn = int(__cdecl*)(const wchar_t*);

// The relay's calls: one verified load, one bound channel, one command.
void RelayFloor(LoadFn load, const std::wstring& pipcPath, const std::wstring& text) {
    HMODULE module = load(L"Corvask, Inc.", pipcPath.c_str());
    if (!module) return;
    const auto init = ExportOf<ikx::NipcInitFn>(module, "NIPC_Init");
    const auto deinit = ExportOf<ikx::NipcDeInitFn>(module, "NIPC_DeInit");
    const auto create = ExportOf<ikx::NipcCreateCommandFn>(module, "NIPC_CreateCommand");
    const auto copy = ExportOf<ikx::NipcCmdDataCopyFn>(module, "NIPC_CmdDataCopy");
    const auto send = ExportOf<ikx::NipcSendDataFn>(module, "NIPC_SendData");
    const auto release = ExportOf<ikx::NipcFreeCommandFn>(module, "NIPC_FreeCommand");
    uint32_t handle = init(0, 0, "IKX");
    ikx::NipcCommand record = {};
    const auto bytes = static_cast<uint32_t>(text.size() * sizeof(wchar_t));
    create(&record, 1, 0x5012, bytes, handle);
    copy(&record, text.c_str(), handle);
    send(&record, 20, handle);
    release(&record, handle);
    deinit(&handle);
    ::FreeLibrary(module);
}

// What the entry point adds: the gate, the installed check, the records.
void FrameFloor(VerifyFn verify, int records) {
    verify(L"Corvask, Inc.");
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    SC_HANDLE service = ::OpenServiceW(manager, L"QVKXC", SERVICE_CHANGE_CONFIG);
    SERVICE_DESCRIPTIONW description = {};
    ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    HKEY key = nullptr;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ikx::kKxcKey, 0, KEY_READ, &key);
    wchar_t version[261] = {};
    DWORD size = 520;
    ::RegQueryValueExW(key, L"Version", nullptr, nullptr, reinterpret_cast<BYTE*>(version), &size);
    ::RegCloseKey(key);
    for (int i = 0; i < records; ++i) {
        HANDLE pipe = ::CreateFileW(kLogPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) ::CloseHandle(pipe);
    }
}

// Records one notification sends, counted at a real log server.
int RecordsPerNotification(ProductDll& dll) {
    std::atomic<int> records{0};
    testbed::LogPipeServer server([&](const testbed::LogRecord&) { ++records; }, 4);
    Send(dll.OnNotify, kProxyNotification);
    // Records of one thread go one after another; give stragglers a bounded chance.
    int last = -1;
    while (last != records.load()) {
        last = records.load();
        WaitUntil([&] { return records.load() != last; }, std::chrono::milliseconds(300));
    }
    return records.load();
}

void Report(const char* name, const Side& floor, const Side& product) {
    const Ratio ratio = RoundRatio(product, floor);
    std::printf("  %-28s mean %9.1f us   p99 %9.1f us   export/floor %.2fx (%s; p99 %.2fx)\n", name,
                floor.MedianUs(), floor.P99Us(), ratio.median, Spread(ratio).c_str(),
                product.P99Us() / floor.P99Us());
}

}  // namespace

int main() {
    RegisterSensor();
    HostAgent agent;
    ScopedService client(L"QVKXC", L"\"" + BinDir() + L"KxSensorService.exe\" --name QVKXC");
    if (!client.Start()) {
        std::printf("cannot start the QVKXC service stand-in\n");
        return 1;
    }
    int result = 0;
    {
        ProductDll dll;
        if (!dll.module) {
            std::printf("cannot load vornExt_iKXClient.dll\n");
            return 1;
        }
        dll.Init();
        const HMODULE vornAgent = ::GetModuleHandleW((agent.Folder() + L"VornAgent.dll").c_str());
        const auto load = ExportOf<LoadFn>(vornAgent, "vornCnt_LoadLibraryWithSignCheck");
        const auto verify = ExportOf<VerifyFn>(vornAgent, "vornCnt_VerifyLoaderProcessSign");
        const int records = RecordsPerNotification(dll);
        if (!load || !verify || records < 10) {
            std::printf("the product is not bound or the notification did not run\n");
            result = 1;
        } else {
            const std::wstring pipc = agent.Folder() + L"PlmPIPC.dll";
            const std::wstring text = L"-UseProxy=1";
            // Call by call in turns, so that a slow moment of the machine or of
            // the pipe falls on every side alike.
            constexpr int kRounds = 9, kCalls = 50;
            std::vector<Side> sides = {{"export", [&] { Send(dll.OnNotify, kProxyNotification); }},
                                       {"relay", [&] { RelayFloor(load, pipc, text); }},
                                       {"frame", [&] {
                                            RelayFloor(load, pipc, text);
                                            FrameFloor(verify, records);
                                        }}};
            Alternate(sides, kRounds, kCalls, sides.size());
            const Side &product = sides[0], &relay = sides[1], &frame = sides[2];
            std::printf(
                "VORN_TYPE_PROXY notification to a running QVKXC (%d records per call, "
                "no log server, %d rounds of %d calls per side, medians of round means)\n",
                records, kRounds, kCalls);
            std::printf("  %-28s mean %9.1f us   p99 %9.1f us   %.0f notifications/s\n",
                        "export vornExt_OnNotify", product.MedianUs(), product.P99Us(),
                        1e6 / product.MedianUs());
            Report("floor: relay calls", relay, product);
            Report("floor: + gate, check, logs", frame, product);
        }
        dll.Deinit();
    }
    RegDeleteTree(kKxcKey);
    RegDeleteTree(kKxeKey);
    return result;
}
