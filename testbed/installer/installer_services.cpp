#include "installer_services.h"

#include <windows.h>

#include <chrono>
#include <thread>

namespace {

constexpr auto kServiceWait = std::chrono::seconds(60);
const wchar_t* const kAllServices[] = {L"QVKXC", L"QVKXE", L"KXClient", L"KXE"};

struct Manager {
    SC_HANDLE handle = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ~Manager() {
        if (handle) ::CloseServiceHandle(handle);
    }
};

template <typename Condition>
bool WaitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + kServiceWait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool Exists(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE service = ::OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    if (service) ::CloseServiceHandle(service);
    return service != nullptr;
}

void Remove(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE service = ::OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (!service) return;
    SERVICE_STATUS status = {};
    if (::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        WaitFor([&] { return State(service) == SERVICE_STOPPED; });
    }
    ::DeleteService(service);
    ::CloseServiceHandle(service);
    WaitFor([&] { return !Exists(manager, name); });
}

bool Create(SC_HANDLE manager, const wchar_t* name, const std::wstring& commandLine) {
    SC_HANDLE service = ::CreateServiceW(
        manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service) ::CloseServiceHandle(service);
    return service != nullptr;
}

bool Start(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE service = ::OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (!service) return false;
    ::StartServiceW(service, 0, nullptr);
    const bool running = WaitFor([&] { return State(service) == SERVICE_RUNNING; });
    ::CloseServiceHandle(service);
    return running;
}

}  // namespace

void SetValue(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &handle, nullptr) != ERROR_SUCCESS) {
        return;
    }
    ::RegSetValueExW(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(handle);
}

void DeleteSensorKeys() {
    for (const wchar_t* key : {L"SOFTWARE\\Corvask\\KXC", L"SOFTWARE\\Corvask\\KXE"}) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    }
}

void RemoveSensorServices() {
    Manager manager;
    if (!manager.handle) return;
    for (const wchar_t* name : kAllServices) Remove(manager.handle, name);
}

bool CreateSensorServices(const std::wstring& folder) {
    Manager manager;
    return manager.handle &&
           Create(manager.handle, L"QVKXC",
                  L"\"" + folder + L"KXClient.exe\" --name QVKXC --journal \"" + folder +
                      L"KXC_ipc_journal.txt\"") &&
           Create(manager.handle, L"QVKXE",
                  L"\"" + folder + L"KXEServiceShell.exe\" --name QVKXE --no-ipc");
}

bool StartSensorServices() {
    Manager manager;
    return manager.handle && Start(manager.handle, L"QVKXC") && Start(manager.handle, L"QVKXE");
}
