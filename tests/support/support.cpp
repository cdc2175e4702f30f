#include "support.h"

#include <shellapi.h>

#include <thread>

namespace testsupport {

std::wstring BinDir() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.rfind(L'\\') + 1);
}

static void RemoveTree(const std::wstring& dir) {
    std::wstring from = dir;
    if (!from.empty() && from.back() == L'\\') from.pop_back();
    from.push_back(L'\0');  // double-NUL list
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    ::SHFileOperationW(&op);
}

std::wstring TempDir(const std::wstring& name) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + L"ikxtest_" + name + L"\\";
    RemoveTree(dir);
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c < 128 ? c : '?');
    return out;
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

static HKEY CreateKey(const std::wstring& subkey) {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr);
    return key;
}

void RegSetBinary(const std::wstring& subkey, const std::wstring& name, const void* data,
                  DWORD size, DWORD type) {
    HKEY key = CreateKey(subkey);
    ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(key);
}

void RegSetString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
                  DWORD type) {
    RegSetBinary(subkey, name, value.c_str(), static_cast<DWORD>((value.size() + 1) * 2), type);
}

void RegSetDword(const std::wstring& subkey, const std::wstring& name, DWORD value) {
    RegSetBinary(subkey, name, &value, sizeof value, REG_DWORD);
}

void RegDeleteValue(const std::wstring& subkey, const std::wstring& name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_ALL_ACCESS, &key) == 0) {
        ::RegDeleteValueW(key, name.c_str());
        ::RegCloseKey(key);
    }
}

void RegDeleteTree(const std::wstring& subkey) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subkey.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey.c_str());
}

bool RegReadQword(const std::wstring& subkey, const std::wstring& name, uint64_t& value) {
    DWORD size = sizeof value;
    DWORD type = 0;
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, subkey.c_str(), name.c_str(), RRF_RT_ANY, &type,
                          &value, &size) == 0 &&
           type == REG_QWORD;
}

std::string MessageOf(const testbed::LogRecord& record) {
    const std::string text = record.Text();
    size_t pos = 0;
    for (int i = 0; i < 3 && pos != std::string::npos; ++i) pos = text.find(']', pos + (i ? 1 : 0));
    return pos == std::string::npos ? text : text.substr(pos + 1);
}

static const wchar_t kSyncMarker[] = L"\x01ikx-sync";

static bool IsMarker(const testbed::LogRecord& r) {
    return r.raw.rfind(kSyncMarker, 0) == 0;
}

LogCollector::LogCollector(int instances) : ordered_(instances == 1) {
    server_ = std::make_unique<testbed::LogPipeServer>(
        [this](const testbed::LogRecord& r) {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(r);
        },
        instances);
}

void LogCollector::Sync() {
    if (!ordered_) return;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 100 && pipe == INVALID_HANDLE_VALUE; ++tries) {
        pipe = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            ::WaitNamedPipeW(L"\\\\.\\pipe\\Log_ServerNamePipe", 1000);
    }
    if (pipe == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(pipe, kSyncMarker, sizeof kSyncMarker, &written, nullptr);
    ::CloseHandle(pipe);
    WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t i = 0; i < records_.size(); ++i) {
                if (IsMarker(records_[i])) {
                    records_.erase(records_.begin() + static_cast<long>(i));
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(10));
}

std::vector<testbed::LogRecord> LogCollector::Records() {
    Sync();
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::string> LogCollector::Texts() {
    std::vector<std::string> texts;
    for (const auto& r : Records()) texts.push_back(MessageOf(r));
    return texts;
}

int LogCollector::Count(const std::string& message) {
    int n = 0;
    for (const auto& t : Texts()) n += (t == message);
    return n;
}

bool LogCollector::Contains(const std::string& message) {
    return Count(message) > 0;
}

bool LogCollector::WaitFor(const std::string& message, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return Contains(message); }, timeout);
}

void LogCollector::Clear() {
    Sync();
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

static const wchar_t kAgentKey[] = L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion";

HostAgent::HostAgent(const std::wstring& agentVariant) {
    folder_ = TempDir(L"Pelmo Client");
    Place(agentVariant, L"VornAgent.dll");
    for (const wchar_t* name : {L"PlmPIPC.dll", L"QvSock.dll", L"vornExt_iBordaClient.dll"}) {
        if (::GetFileAttributesW((BinDir() + name).c_str()) != INVALID_FILE_ATTRIBUTES) {
            Place(name, name);
        }
    }
    RegSetString(kAgentKey, L"Application Path", folder_);
    RegSetString(kAgentKey, L"GUID", L"{0B3E1D2C-7A41-4C55-9E0F-1A2B3C4D5E6F}");
}

HostAgent::~HostAgent() {
    RegDeleteTree(kAgentKey);
    RemoveTree(folder_);
}

void HostAgent::Place(const std::wstring& binFile, const std::wstring& asName) {
    ::CopyFileW((BinDir() + binFile).c_str(), (folder_ + asName).c_str(), FALSE);
}

void HostAgent::Remove(const std::wstring& name) {
    ::DeleteFileW((folder_ + name).c_str());
}

template <typename Fn>
static void Resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

ProductDll::ProductDll() {
    module = ::LoadLibraryW((BinDir() + L"vornExt_iKXClient.dll").c_str());
    if (!module) return;
    Resolve(module, "vornExt_Init", Init);
    Resolve(module, "vornExt_Deinit", Deinit);
    Resolve(module, "vornExt_Free", Free);
    Resolve(module, "vornExt_OnQueryData", OnQueryData);
    Resolve(module, "vornExt_OnCommand", OnCommand);
    Resolve(module, "vornExt_OnNotify", OnNotify);
    Resolve(module, "vornExt_ParseLog", ParseLog);
}

ProductDll::~ProductDll() {
    if (module) ::FreeLibrary(module);
}

std::string ProductDll::Query(const std::string& request, int32_t* result) {
    uint32_t length = 0;
    char* response = nullptr;
    const int32_t rc =
        OnQueryData(0, static_cast<uint32_t>(request.size()), request.c_str(), &length, &response);
    if (result) *result = rc;
    if (!response) return {};
    std::string text(response, length);
    Free(response);
    return text;
}

ScopedService::ScopedService(const std::wstring& name, const std::wstring& commandLine,
                             DWORD startType)
    : name_(name) {
    RemoveServiceIfPresent(name);
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service =
        ::CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                         commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service) ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
}

ScopedService::~ScopedService() {
    Stop();
    RemoveServiceIfPresent(name_);
}

static SC_HANDLE OpenService(const std::wstring& name, DWORD access, SC_HANDLE& manager) {
    manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    return manager ? ::OpenServiceW(manager, name.c_str(), access) : nullptr;
}

bool ScopedService::Start() {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenService(name_, SERVICE_ALL_ACCESS, manager);
    const bool ok = service && ::StartServiceW(service, 0, nullptr);
    if (service) ::CloseServiceHandle(service);
    if (manager) ::CloseServiceHandle(manager);
    return ok && WaitState(SERVICE_RUNNING, std::chrono::seconds(20));
}

bool ScopedService::Stop() {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenService(name_, SERVICE_ALL_ACCESS, manager);
    SERVICE_STATUS status = {};
    if (service) ::ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (service) ::CloseServiceHandle(service);
    if (manager) ::CloseServiceHandle(manager);
    return WaitState(SERVICE_STOPPED, std::chrono::seconds(20));
}

DWORD ScopedService::State() {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenService(name_, SERVICE_QUERY_STATUS, manager);
    SERVICE_STATUS status = {};
    const DWORD state =
        service && ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    if (service) ::CloseServiceHandle(service);
    if (manager) ::CloseServiceHandle(manager);
    return state;
}

bool ScopedService::WaitState(DWORD state, std::chrono::milliseconds timeout) {
    return WaitUntil([&] { return State() == state; }, timeout);
}

void RemoveServiceIfPresent(const std::wstring& name) {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = OpenService(name, SERVICE_ALL_ACCESS, manager);
    if (service) {
        SERVICE_STATUS status = {};
        ::ControlService(service, SERVICE_CONTROL_STOP, &status);
        ::DeleteService(service);
        ::CloseServiceHandle(service);
    }
    if (manager) ::CloseServiceHandle(manager);
    WaitUntil(
        [&] {
            SC_HANDLE m = nullptr;
            SC_HANDLE s = OpenService(name, SERVICE_QUERY_STATUS, m);
            if (s) ::CloseServiceHandle(s);
            if (m) ::CloseServiceHandle(m);
            return s == nullptr;
        },
        std::chrono::seconds(20));
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
