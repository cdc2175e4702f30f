// Query latency through the export beside its floor, and log records per
// second beside raw pipe writes, each measured in the same process.
//
// Floor of a query: the registry and service-manager calls its algorithm
// requires (every probe, open, query and close), plus one failed attempt to
// open the log pipe per record the call logs, all made directly. The record
// count is taken from a real call with a log server listening. A second floor
// adds the host agent's signature check of the loading process, which the
// gate runs on every call.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostagent/host_agent.h"
#include "sensor/sensor_registry.h"
#include "log/log.h"
#include "files.h"
#include "log_pipe.h"
#include "process.h"
#include "registry_world.h"
#include "services.h"
#include "timing.h"

using namespace testsupport;

using namespace benchtiming;

namespace {

using ikx::kKxcKey;
using ikx::kKxeKey;
const wchar_t* const kAgentKey = ikx::kHostAgentKey;
const wchar_t kLogPipe[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

// --- the operations the algorithms are made of, made directly ---

void ProbeService(const wchar_t* name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
    SC_HANDLE service = ::OpenServiceW(manager, name, SERVICE_CHANGE_CONFIG);
    SERVICE_DESCRIPTIONW description = {};
    ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
}

void QueryState(const wchar_t* name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    SC_HANDLE service = ::OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    ::QueryServiceStatus(service, &status);
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
}

void ReadWide(const wchar_t* subkey, const wchar_t* value, DWORD bytes) {
    HKEY key = nullptr;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key);
    std::vector<wchar_t> buffer(bytes / 2 + 1);
    DWORD size = bytes;
    ::RegQueryValueExW(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    ::RegCloseKey(key);
}

void ReadAnsi(const wchar_t* subkey, const char* value, DWORD bytes) {
    HKEY key = nullptr;
    ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key);
    std::vector<char> buffer(bytes + 1);
    DWORD size = bytes;
    ::RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    ::RegCloseKey(key);
}

void FailedLogOpens(int records) {
    for (int i = 0; i < records; ++i) {
        HANDLE pipe = ::CreateFileW(kLogPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) ::CloseHandle(pipe);
    }
}

// Service status of a current sensor whose two services run: the installed
// check (client probe and version), the generation (the same again), and the
// two state queries.
void ServiceStatusFloor() {
    ProbeService(L"QVKXC");
    ReadWide(kKxcKey, L"Version", 520);
    ProbeService(L"QVKXC");
    ReadWide(kKxcKey, L"Version", 520);
    QueryState(L"QVKXC");
    QueryState(L"QVKXE");
}

// Product version: the 8-bit version text and the host agent GUID.
void ProductVersionFloor() {
    ReadAnsi(kKxcKey, "Version", 260);
    ReadWide(kAgentKey, L"GUID", 128);
}

// Records that one query and its release send, counted at a real log server.
int RecordsPerCall(ProductDll& dll, const std::string& request) {
    std::atomic<int> records{0};
    {
        testbed::LogPipeServer server([&](const testbed::LogRecord&) { ++records; }, 4);
        dll.Query(request);
        dll.Free(nullptr);  // marker: two records
        const int expectedAtLeast = 2;
        WaitUntil([&] { return records.load() >= expectedAtLeast; }, std::chrono::seconds(5));
        // Records of one thread are sent one after another; give stragglers a bounded chance.
        int last = -1;
        while (last != records.load()) {
            last = records.load();
            WaitUntil([&] { return records.load() != last; }, std::chrono::milliseconds(200));
        }
    }
    return records.load() - 2;
}

void QueryLatency(ProductDll& dll, const char* name, const std::string& request,
                  const std::function<void()>& floor, int (*verify)(const wchar_t*), int calls) {
    const int records = RecordsPerCall(dll, request);
    const Stats product = Measure(calls, [&] { dll.Query(request); });
    const Stats bare = Measure(calls, [&] {
        floor();
        FailedLogOpens(records);
    });
    const Stats gated = Measure(calls, [&] {
        verify(L"Corvask, Inc.");
        floor();
        FailedLogOpens(records);
    });
    std::printf("%s (%d records per call incl. vornExt_Free, no log server, %d calls)\n", name,
                records, calls);
    std::printf("  export          mean %9.1f us   p99 %9.1f us\n", product.meanUs, product.p99Us);
    std::printf("  floor           mean %9.1f us   p99 %9.1f us   ratio %.2fx (p99 %.2fx)\n",
                bare.meanUs, bare.p99Us, product.meanUs / bare.meanUs, product.p99Us / bare.p99Us);
    std::printf("  floor + gate    mean %9.1f us   p99 %9.1f us   ratio %.2fx (p99 %.2fx)\n",
                gated.meanUs, gated.p99Us, product.meanUs / gated.meanUs,
                product.p99Us / gated.p99Us);
    // The same export with a log service taking every record.
    Stats listened;
    {
        testbed::LogPipeServer server([](const testbed::LogRecord&) {}, 4);
        listened = Measure(calls, [&] { dll.Query(request); });
    }
    std::printf(
        "  with log server mean %9.1f us   p99 %9.1f us   records take %.0f%% of the call\n",
        listened.meanUs, listened.p99Us,
        100.0 * (listened.meanUs - product.meanUs) / listened.meanUs);
}

// Records per second through the log call into a listening server, beside
// raw connect-write-close of records of the same size. The two sides take
// turns over several rounds (which goes first alternates), so that a slow
// moment of the machine does not fall on one side only; medians are reported.
void LogThroughput() {
    constexpr int kRounds = 7, kCount = 1000;
    std::atomic<int> received{0};
    std::atomic<size_t> recordBytes{0};
    testbed::LogPipeServer server(
        [&](const testbed::LogRecord& record) {
            recordBytes = record.raw.size() * sizeof(wchar_t);
            ++received;
        },
        4);
    ikx::CreateLogWriter();
    const auto logOnce = [] {
        ikx::WriteDebugLog(ikx::kLogTag, ikx::kInfo, "vornExt_OnQueryData.cpp", 42, "QueryLatency",
                           "iKX Current State: KXClient - %d, KXE - %d", 4, 4);
    };
    logOnce();  // learns the record's size for the raw side
    WaitUntil([&] { return received.load() >= 1; }, std::chrono::seconds(20));
    const std::vector<char> record(recordBytes.load(), 'x');
    const auto rawOnce = [&] {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        while ((pipe = ::CreateFileW(kLogPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr)) == INVALID_HANDLE_VALUE) {
            if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(kLogPipe, 20)) return;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
        DWORD written = 0;
        ::WriteFile(pipe, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
        ::CloseHandle(pipe);
    };
    // Records per second of one side's round; `arrived` counts what the server got.
    int lost = 0;
    const auto side = [&](const std::function<void()>& once) {
        received = 0;
        const auto start = Clock::now();
        for (int i = 0; i < kCount; ++i) once();
        WaitUntil([&] { return received.load() >= kCount; }, std::chrono::seconds(120));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        lost += kCount - received.load();
        return received.load() / seconds;
    };
    std::vector<double> logRates, rawRates;
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
            logRates.push_back(side(logOnce));
            rawRates.push_back(side(rawOnce));
        } else {
            rawRates.push_back(side(rawOnce));
            logRates.push_back(side(logOnce));
        }
        std::printf("  round %d: WriteDebugLog %6.0f records/s, raw pipe %6.0f records/s\n", round,
                    logRates.back(), rawRates.back());
    }
    ikx::DestroyLogWriter();
    const double logMedian = Median(logRates), rawMedian = Median(rawRates);
    std::printf("log throughput (%zu-byte records, 4 server instances, %d rounds of %d, %d lost)\n",
                record.size(), kRounds, kCount, lost);
    std::printf("  WriteDebugLog   %9.0f records/s (median)\n", logMedian);
    std::printf("  raw pipe        %9.0f records/s (median)\n", rawMedian);
    std::printf("  ratio raw/log   %.2fx\n", rawMedian / logMedian);
}

}  // namespace

int main() {
    // A current sensor with both services running, and the host agent.
    RegSetString(kKxcKey, L"Version", L"3.6.1.2000");
    RegSetString(kKxeKey, L"Version", L"3.6.1.2000");
    HostAgent agent;
    std::vector<std::unique_ptr<ScopedService>> services;
    for (const wchar_t* name : {L"QVKXC", L"QVKXE"}) {
        services.push_back(std::make_unique<ScopedService>(
            name, L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + L" --no-ipc"));
        if (!services.back()->Start()) {
            std::printf("cannot start the %ls service stand-in\n", name);
            return 1;
        }
    }
    int result = 0;
    {
        ProductDll dll;
        if (!dll.module) {
            std::printf("cannot load vornExt_iKXClient.dll\n");
            return 1;
        }
        dll.Init();
        using VerifyFn = int(__cdecl*)(const wchar_t*);
        const auto verify = reinterpret_cast<VerifyFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW((agent.Folder() + L"VornAgent.dll").c_str()),
                             "vornCnt_VerifyLoaderProcessSign")));
        const std::string status =
            R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_SERVICE_STATUS"})";
        if (!verify || dll.Query(status).find("\"status_code\" : 1") == std::string::npos) {
            std::printf("the product is not bound or the sensor does not show as running\n");
            result = 1;
        } else {
            QueryLatency(dll, "VORN_ONQUERY_SERVICE_STATUS", status, ServiceStatusFloor, verify,
                         300);
            QueryLatency(
                dll, "VORN_ONQUERY_PRODUCT_VERSION",
                R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION"})",
                ProductVersionFloor, verify, 2000);
        }
        dll.Deinit();
    }
    LogThroughput();
    services.clear();
    RegDeleteTree(kKxcKey);
    RegDeleteTree(kKxeKey);
    return result;
}
