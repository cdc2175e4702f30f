// Switching the sensor on and off, and one agent policy, through the export,
// each beside a floor of the calls its algorithm requires, made directly in
// the same process with the same waits.
//
//   control_benchmark.exe start-stop   start-to-running and stop-to-stopped
//   control_benchmark.exe policy       a disable policy end to end
//
// start-stop runs the product's clock at 1/20 (a started service needs real
// time to report RUNNING under Wine); policy keeps the divisor scripts/wine-run
// sets. Floors: the service-manager calls with the polls the algorithms make
// at the same scaled intervals, the IPC records through PlmPIPC.dll, the
// registry writes, the sibling call and the HTTP request to the same
// listener, plus one failed log-pipe open per record the product call logs
// (no log service runs while measuring).
#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostagent/http_library.h"
#include "hostagent/ipc.h"
#include "hostagent/sibling_extension.h"
#include "control_world.h"
#include "ipc_endpoint.h"
#include "timing.h"

using namespace testsupport;

using namespace benchtiming;

namespace {

const wchar_t kSigner[] = L"Corvask, Inc.";
DWORD g_divisor = 1000;

DWORD Scaled(DWORD ms) {
    return std::max<DWORD>(1, ms / g_divisor);
}

double TimeMs(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void FailedLogOpens(int records) {
    for (int i = 0; i < records; ++i) {
        HANDLE pipe = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) ::CloseHandle(pipe);
    }
}

// Records one product call sends, counted at a real log server.
int RecordsOf(const std::function<void()>& call) {
    std::atomic<int> records{0};
    testbed::LogPipeServer server([&](const testbed::LogRecord&) { ++records; }, 4);
    call();
    int last = -1;
    while (last != records.load()) {  // records of one thread arrive one after another
        last = records.load();
        WaitUntil([&] { return records.load() != last; }, std::chrono::milliseconds(300));
    }
    return records.load();
}

// --- service manager and registry calls, made directly ---

struct Scm {
    explicit Scm(const wchar_t* name, DWORD managerAccess = SC_MANAGER_ALL_ACCESS,
                 DWORD access = SERVICE_ALL_ACCESS) {
        manager = ::OpenSCManagerW(nullptr, nullptr, managerAccess);
        service = ::OpenServiceW(manager, name, access);
    }
    ~Scm() {
        ::CloseServiceHandle(service);
        ::CloseServiceHandle(manager);
    }
    DWORD State() {
        SERVICE_STATUS status = {};
        return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    }
    SC_HANDLE manager, service;
};

void Probe(const wchar_t* name) {
    Scm scm(name, GENERIC_READ, SERVICE_CHANGE_CONFIG);
    SERVICE_DESCRIPTIONW description = {};
    ::ChangeServiceConfig2W(scm.service, SERVICE_CONFIG_DESCRIPTION, &description);
}

void ReadClientVersion() {
    wchar_t text[260] = {};
    DWORD size = sizeof text;
    ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvask\\KXC", L"Version", RRF_RT_REG_SZ,
                   nullptr, text, &size);
}

// The installed check and the client's state, as start and stop begin.
void InstalledAndState() {
    Probe(L"QVKXC");
    ReadClientVersion();
    Scm(L"QVKXC", SC_MANAGER_ENUMERATE_SERVICE, SERVICE_QUERY_STATUS).State();
}

void ChangeStartType(const wchar_t* name, DWORD startType) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_LOCK lock = ::LockServiceDatabase(manager);
    SC_HANDLE service = ::OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    ::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    ::CloseServiceHandle(service);
    ::UnlockServiceDatabase(lock);
    ::CloseServiceHandle(manager);
}

void PollUntil(Scm& scm, DWORD state, DWORD intervalMs) {
    while (scm.State() != state) ::Sleep(Scaled(intervalMs));
}

void StartFloor() {
    InstalledAndState();
    ChangeStartType(L"QVKXC", SERVICE_DEMAND_START);
    ChangeStartType(L"QVKXE", SERVICE_DEMAND_START);
    for (const wchar_t* driver : kDrivers) {
        Probe(driver);
        ChangeStartType(driver, SERVICE_SYSTEM_START);
    }
    Scm client(L"QVKXC");
    client.State();  // the product's "already running" look
    ::StartServiceW(client.service, 0, nullptr);
    PollUntil(client, SERVICE_RUNNING, 3000);
}

// Stop request, then wait with fresh handles, as the stop primitive does.
void StopOne(const wchar_t* name) {
    {
        Scm scm(name);
        SERVICE_STATUS status = {};
        if (scm.State() == SERVICE_RUNNING)
            ::ControlService(scm.service, SERVICE_CONTROL_STOP, &status);
    }
    Scm scm(name);
    PollUntil(scm, SERVICE_STOPPED, 10000);
}

// --- the IPC library, bound and used directly ---

using LoadFn = HMODULE(__cdecl*)(const wchar_t*, const wchar_t*);

LoadFn AgentLoader(const HostAgent& agent) {
    return reinterpret_cast<LoadFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW((agent.Folder() + L"VornAgent.dll").c_str()),
                         "vornCnt_LoadLibraryWithSignCheck")));
}

struct RawIpc {
    RawIpc(LoadFn load, const std::wstring& folder)
        : module(load(kSigner, (folder + L"PlmPIPC.dll").c_str())) {
        handle = ExportOf<ikx::NipcInitFn>(module, "NIPC_Init")(0, 0, "IKX");
    }
    ~RawIpc() {
        ExportOf<ikx::NipcDeInitFn>(module, "NIPC_DeInit")(&handle);
        ::FreeLibrary(module);
    }
    void Send(uint32_t type, uint32_t code, const void* data, uint32_t length) {
        ikx::NipcCommand record = {};
        ExportOf<ikx::NipcCreateCommandFn>(module, "NIPC_CreateCommand")(&record, type, code,
                                                                         length, handle);
        ExportOf<ikx::NipcCmdDataCopyFn>(module, "NIPC_CmdDataCopy")(&record, data, handle);
        ExportOf<ikx::NipcSendDataFn>(module, "NIPC_SendData")(&record, 20, handle);
        ExportOf<ikx::NipcFreeCommandFn>(module, "NIPC_FreeCommand")(&record, handle);
    }
    HMODULE module;
    uint32_t handle = 0;
};

void StopFloor(LoadFn load, const std::wstring& folder) {
    RawIpc ipc(load, folder);
    InstalledAndState();
    const uint32_t protectionOff = 0;
    ipc.Send(3, 0x4002, &protectionOff, sizeof protectionOff);
    ::Sleep(Scaled(10000));  // the pause before the engine's first attempt
    StopOne(L"QVKXE");
    StopOne(L"QVKXC");
}

std::string Command(const std::string& id, const std::string& type, const std::string& data) {
    return R"({"command_id":")" + id + R"(","command_data":{"command_type":")" + type + "\"" +
           data + "}}";
}

int StartStop(ProductDll& dll, const HostAgent& agent) {
    const std::string start = Command("VORN_ONCOMMAND_IAGT_SERVICE", "VORN_TYPE_IAGT_START", "");
    const std::string stop = Command("VORN_ONCOMMAND_IAGT_SERVICE", "VORN_TYPE_IAGT_STOP", "");
    ScopedService client(L"QVKXC", L"\"" + BinDir() + L"KxSensorService.exe\" --name QVKXC");
    ScopedService engine(L"QVKXE",
                         L"\"" + BinDir() + L"KxSensorService.exe\" --name QVKXE --no-ipc");
    for (const wchar_t* driver : kDrivers) RegisterDriver(driver, SERVICE_DEMAND_START);
    const int startRecords = RecordsOf([&] { Send(dll.OnCommand, start); });
    engine.Start();
    const int stopRecords = RecordsOf([&] { Send(dll.OnCommand, stop); });
    const LoadFn load = AgentLoader(agent);
    std::vector<double> productStart, floorStart, productStop, floorStop;
    bool reached = true;
    for (int round = 0; round < 15; ++round) {
        productStart.push_back(TimeMs([&] { Send(dll.OnCommand, start); }));
        reached &= client.State() == SERVICE_RUNNING && engine.Start();
        productStop.push_back(TimeMs([&] { Send(dll.OnCommand, stop); }));
        reached &= client.State() == SERVICE_STOPPED && engine.State() == SERVICE_STOPPED;
        floorStart.push_back(TimeMs([&] {
            StartFloor();
            FailedLogOpens(startRecords);
        }));
        reached &= client.State() == SERVICE_RUNNING && engine.Start();
        floorStop.push_back(TimeMs([&] {
            StopFloor(load, agent.Folder());
            FailedLogOpens(stopRecords);
        }));
        reached &= client.State() == SERVICE_STOPPED && engine.State() == SERVICE_STOPPED;
    }
    for (const wchar_t* driver : kDrivers) RemoveServiceIfPresent(driver);
    std::printf("start-to-running and stop-to-stopped, clock 1/%lu, median of %zu rounds%s\n",
                g_divisor, productStart.size(), reached ? "" : " (A STATE WAS NOT REACHED)");
    // Ratios round by round: a round's export and floor ran in the same few seconds.
    const Ratio startRatio = RoundRatios(productStart, floorStart);
    const Ratio stopRatio = RoundRatios(productStop, floorStop);
    std::printf("  start  export %8.1f ms   floor %8.1f ms   ratio %.3fx  (%d records; %s)\n",
                Median(productStart), Median(floorStart), startRatio.median, startRecords,
                Spread(startRatio).c_str());
    std::printf("  stop   export %8.1f ms   floor %8.1f ms   ratio %.3fx  (%d records; %s)\n",
                Median(productStop), Median(floorStop), stopRatio.median, stopRecords,
                Spread(stopRatio).c_str());
    return reached ? 0 : 1;
}

// A disable policy for a sensor whose client is already stopped: its IPC
// destination served here, so that the disable notice is delivered.
void PolicyFloor(LoadFn load, const std::wstring& folder, const std::string& forwarded,
                 const std::string& body) {
    RawIpc ipc(load, folder);
    const DWORD setting = 0;
    const int64_t id = 64;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvask\\KXC", L"PolicySetting", REG_DWORD,
                      &setting, sizeof setting);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvask\\KXC", L"PolicyId", REG_QWORD, &id,
                      sizeof id);
    HMODULE sibling = load(kSigner, (folder + L"vornExt_iBordaClient.dll").c_str());
    for (const char* name : {"vornExt_Init", "vornExt_Deinit", "vornExt_OnQueryData",
                             "vornExt_OnNotify", "vornExt_ParseLog", "vornExt_Free"}) {
        ::GetProcAddress(sibling, name);
    }
    ExportOf<ikx::SiblingInitFn>(sibling, "vornExt_Init")(0, 0);
    ExportOf<ikx::SiblingRequestFn>(sibling, "vornExt_OnCommand")(
        0, static_cast<uint32_t>(forwarded.size()), forwarded.c_str());
    ExportOf<ikx::SiblingInitFn>(sibling, "vornExt_Deinit")(0, 0);
    ipc.Send(1, 0x6001, nullptr, 0);
    ::Sleep(Scaled(10000));  // the grace after the disable notice
    InstalledAndState();     // the stop finds the client stopped
    HMODULE qvsock = load(kSigner, (folder + L"QvSock.dll").c_str());
    uint32_t status = 0;
    char* response = nullptr;
    ExportOf<ikx::QvSendHttpFn>(qvsock, "qvSendHttpToPelmoServer")(
        "/palomir_ikxagent/v4/PolicyAck", 0, body.c_str(), static_cast<uint32_t>(body.size()), 0,
        &status, &response, 0);
    ::FreeLibrary(qvsock);
}

int Policy(ProductDll& dll, const HostAgent& agent) {
    testbed::HttpListener server;
    ::SetEnvironmentVariableW(L"IKX_PELMO_SERVER", Widen(server.Address()).c_str());
    ScopedService client(L"QVKXC", L"\"" + BinDir() + L"KxSensorService.exe\" --name QVKXC");
    testbed::IpcEndpoint endpoint(20);
    const std::string policy = Command("VORN_ONCOMMAND_IAGENT_POLICY", "VORN_IAGENT_ISSUE_POLICY",
                                       R"(,"cfg_flag":2,"cfg_data":"ba1")");
    Json::Value forwarded = Parse(policy);
    forwarded["product_id"] = "VORN_IPRODUCT_IBORDA";
    forwarded["command_data"]["command_type"] = "VORN_IAGENT_ISSUE_POLICY_FROM_IKX";
    forwarded["command_data"]["cfg_setting"] = forwarded["command_data"]["cfg_flag"] = 2;
    const std::string text = Json::FastWriter().write(forwarded);
    const std::string body = "policyId=64&enable=0&sessionId=0&iKxErr=0&iBordaErr=0";
    const int records = RecordsOf([&] { Send(dll.OnCommand, policy); });
    const LoadFn load = AgentLoader(agent);
    std::vector<double> product, floor;
    server.Clear();
    const int rounds = 30;
    for (int round = 0; round < rounds; ++round) {
        product.push_back(TimeMs([&] { Send(dll.OnCommand, policy); }));
        floor.push_back(TimeMs([&] {
            PolicyFloor(load, agent.Folder(), text, body);
            FailedLogOpens(records);
        }));
    }
    const bool delivered = server.Requests().size() == 2u * rounds &&
                           server.Requests()[0].body == body &&
                           endpoint.Received().size() == 2u * rounds + 1;
    std::printf("disable policy end to end, clock 1/%lu, median of %d rounds%s\n", g_divisor,
                rounds, delivered ? "" : " (NOT ALL DELIVERED)");
    const Ratio ratio = RoundRatios(product, floor);  // each round's two ran back to back
    std::printf("  policy export %8.2f ms   floor %8.2f ms   ratio %.3fx  (%d records; %s)\n",
                Median(product), Median(floor), ratio.median, records, Spread(ratio).c_str());
    return delivered ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "start-stop" && mode != "policy") {
        std::printf("usage: control_benchmark.exe start-stop | policy\n");
        return 2;
    }
    if (mode == "start-stop") _putenv("IKX_TIME_DIVISOR=20");
    const char* divisor = std::getenv("IKX_TIME_DIVISOR");
    g_divisor = divisor && std::atoi(divisor) > 0 ? static_cast<DWORD>(std::atoi(divisor)) : 1;
    CleanSensor();
    RegisterSensor();
    int result = 1;
    {
        HostAgent agent;
        ProductDll dll;
        if (dll.module) {
            dll.Init();
            result = mode == "policy" ? Policy(dll, agent) : StartStop(dll, agent);
            dll.Deinit();
        } else {
            std::printf("cannot load vornExt_iKXClient.dll\n");
        }
    }
    CleanSensor();
    return result;
}
