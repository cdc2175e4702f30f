#pragma once
// Test fixtures: the sensor and host agent world (registry, folders, real
// services), an in-process log service, and loading the product DLL.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log_pipe_server.h"

namespace testsupport {

// Folder of the running test executable, where the build puts every stand-in.
std::wstring BinDir();
std::wstring TempDir(const std::wstring& name);  // fresh, empty folder under %TEMP%
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// Registry under HKLM in the build's default view.
void RegSetString(const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
                  DWORD type = REG_SZ);
void RegSetDword(const std::wstring& subkey, const std::wstring& name, DWORD value);
void RegSetBinary(const std::wstring& subkey, const std::wstring& name, const void* data,
                  DWORD size, DWORD type);
void RegDeleteValue(const std::wstring& subkey, const std::wstring& name);
void RegDeleteTree(const std::wstring& subkey);
bool RegReadQword(const std::wstring& subkey, const std::wstring& name, uint64_t& value);

// Collects every record sent to the log pipe while it lives. One pipe
// instance serves clients in turn, so a marker record sent by the reading
// calls proves that every earlier record has been collected.
class LogCollector {
  public:
    explicit LogCollector(int instances = 1);
    std::vector<testbed::LogRecord> Records();
    std::vector<std::string> Texts();           // message part of each record
    bool Contains(const std::string& message);  // a record whose message equals it
    int Count(const std::string& message);
    // Waits (bounded) until a record with this message arrived.
    bool WaitFor(const std::string& message, std::chrono::milliseconds timeout);
    void Clear();

  private:
    void Sync();
    std::mutex mutex_;
    std::vector<testbed::LogRecord> records_;
    bool ordered_;
    std::unique_ptr<testbed::LogPipeServer> server_;
};
// The message part of a record's text: after "[-iKXClient-][tag][function]".
std::string MessageOf(const testbed::LogRecord& record);

// A host agent folder with the chosen VornAgent.dll variant (a file name in
// BinDir, for example "VornAgent.dll" or "VornAgent.unsigned.dll") and the
// other stand-ins, registered under the host agent's registry key.
class HostAgent {
  public:
    explicit HostAgent(const std::wstring& agentVariant = L"VornAgent.dll");
    ~HostAgent();
    const std::wstring& Folder() const { return folder_; }  // ends with a backslash
    void Place(const std::wstring& binFile, const std::wstring& asName);
    void Remove(const std::wstring& name);

  private:
    std::wstring folder_;
};

// The product DLL loaded with LoadLibrary, its exports resolved.
struct ProductDll {
    ProductDll();
    ~ProductDll();
    HMODULE module = nullptr;
    int32_t (*Init)() = nullptr;
    int32_t (*Deinit)() = nullptr;
    int32_t (*Free)(void*) = nullptr;
    int32_t (*OnQueryData)(int32_t, uint32_t, const char*, uint32_t*, char**) = nullptr;
    int32_t (*OnCommand)(int32_t, uint32_t, const char*) = nullptr;
    int32_t (*OnNotify)(int32_t, uint32_t, const char*) = nullptr;
    int32_t (*ParseLog)(const wchar_t*, uint32_t, wchar_t*, char**, uint32_t*) = nullptr;
    // Sends a query; returns the response text ("" when none was written).
    std::string Query(const std::string& request, int32_t* result = nullptr);
};

// A real service under the service control manager, deleted at the end.
class ScopedService {
  public:
    ScopedService(const std::wstring& name, const std::wstring& commandLine,
                  DWORD startType = SERVICE_DEMAND_START);
    ~ScopedService();
    bool Start();
    bool Stop();
    DWORD State();
    bool WaitState(DWORD state, std::chrono::milliseconds timeout);

  private:
    std::wstring name_;
};
// Deletes a service left by an earlier run, waiting until it is gone.
void RemoveServiceIfPresent(const std::wstring& name);

// Polls `condition` until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace testsupport
