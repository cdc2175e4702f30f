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
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "entry/dispatch.h"
#include "entry/exports.h"
#include "hostagent/host_agent.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"
#include "log/named_pipe_client.h"
#include "platform/text.h"
#include "request/request_keys.h"
#include "request/request_text.h"
#include "sensor/sensor_registry.h"
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
const wchar_t kSigner[] = L"Corvask, Inc.";
using VerifyFn = int(__cdecl*)(const wchar_t*);

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

// The formatting WriteDebugLog does before it builds a record, made alone.
volatile char g_formatted = 0;
void FormatOnly(const char* format, ...) {
    char message[4096] = {};
    va_list args;
    va_start(args, format);
    _vsnprintf_s(message, sizeof message - 1, _TRUNCATE, format, args);
    va_end(args);
    g_formatted = message[0];
}

// The parts of one record, each made alone with a short message, as the
// records of a call are: formatting, building, and the pipe client's attempt
// to connect while no log service listens.
const char kShortMessage[] = "Execute query data succeed";
void BuildOnly() {
    const std::u16string record =
        ikx::BuildLogRecord(ikx::kLogTag, ikx::kTrace, "vornExt_iKX_dllMain.cpp", 86,
                            "vornExt_OnQueryData", kShortMessage);
    g_formatted = static_cast<char>(record.size());
}
void ConnectOnly() {
    ikx::CNamedPipeClient pipe;
    g_formatted = pipe.Connect(L"Log_ServerNamePipe") ? 1 : 0;
}

// The parts of one query's call, each made on its own through the product's
// own code (the static core this benchmark links, bound to the same host
// agent library as the DLL), and the share of the floor each part stands for.
volatile bool g_found = false;  // keeps a measured lookup from being optimised away
struct QueryParts {
    std::function<void()> inProcess;  // the export's body, as the DLL runs it
    std::function<void()> parse;      // request text, parse, keys, dispatch row
    std::function<void()> handler;    // the handler, no records
    std::function<void()> serialise;  // the styled answer into a caller's buffer
};

QueryParts PartsOf(const std::string& request) {
    const auto size = static_cast<uint32_t>(request.size());
    const auto dispatch = [request, size] {
        const Json::Value parsed = ikx::ParseRequest(ikx::RequestText(request.c_str(), size));
        const ikx::RequestKeys keys = ikx::ReadRequestKeys(parsed, ikx::RequestKind::kQuery);
        return ikx::FindHandler(ikx::QueryDispatchMap(),
                                ikx::MultiByteToWide(keys.id, ikx::kCodePageUtf8),
                                ikx::MultiByteToWide(keys.type, ikx::kCodePageUtf8));
    };
    const ikx::RequestHandler handler = dispatch();
    auto parsed = std::make_shared<Json::Value>(ikx::ParseRequest(request));
    auto answer = std::make_shared<Json::Value>();
    handler(*parsed, *answer);
    (*answer)["product_id"] = ikx::kProductIkx;
    const auto silently = [](const std::function<void()>& call) {
        ikx::DestroyLogWriter();
        call();
        ikx::CreateLogWriter();
    };
    const auto inProcess = [request, size] {
        uint32_t length = 0;
        char* response = nullptr;
        ikx::exports::vornExt_OnQueryData(size, request.c_str(), &length, &response);
        ikx::exports::vornExt_Free(response);
    };
    QueryParts parts;
    parts.inProcess = inProcess;
    parts.parse = [dispatch] { g_found = dispatch() != nullptr; };
    parts.handler = [silently, handler, parsed] {
        silently([&] {
            Json::Value response;
            handler(*parsed, response);
        });
    };
    parts.serialise = [answer] {
        const std::string text = answer->toStyledString();
        char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
        if (buffer) std::memcpy(buffer, text.c_str(), text.size() + 1);
        std::free(buffer);
    };
    return parts;
}

void PrintPart(const char* name, double product, double floor) {
    std::printf("    %-34s %9.1f %9.1f %9.1f\n", name, product, floor, product - floor);
}

// Export, floor and floor + gate, and the parts of the call, all measured in
// turns over `rounds` rounds of `calls` calls each; medians of the rounds.
void QueryLatency(ProductDll& dll, const char* name, const std::string& request,
                  const std::function<void()>& floor, VerifyFn verify, int rounds, int calls) {
    const int records = RecordsPerCall(dll, request);
    const QueryParts parts = PartsOf(request);
    std::vector<Side> sides = {
        {"export", [&] { dll.Query(request); }},
        {"floor",
         [&] {
             floor();
             FailedLogOpens(records);
         }},
        {"floor + gate",
         [&] {
             verify(kSigner);
             floor();
             FailedLogOpens(records);
         }},
        {"in process", parts.inProcess},
        {"gate", [&] { verify(kSigner); }},
        {"parse", parts.parse},
        {"handler", parts.handler},
        {"floor calls", floor},
        {"serialise", parts.serialise},
        {"two records", [] { ikx::exports::vornExt_Free(nullptr); }},
        {"two failed log opens", [] { FailedLogOpens(2); }},
        {"format", [] { FormatOnly("%s", kShortMessage); }},
        {"build", BuildOnly},
        {"client's failed connect", ConnectOnly},
    };
    Alternate(sides, rounds, calls, 3);  // export, floor and floor + gate call by call
    const Side &product = sides[0], &bare = sides[1], &gated = sides[2];
    std::printf(
        "%s (%d records per call incl. vornExt_Free, no log server, %d rounds of %d calls)\n", name,
        records, rounds, calls);
    std::printf("  export          median %9.1f us   p99 %9.1f us\n", product.MedianUs(),
                product.P99Us());
    for (const Side* under : {&bare, &gated}) {
        const Ratio ratio = RoundRatio(product, *under);
        std::printf("  %-15s median %9.1f us   p99 %9.1f us   ratio %.2fx (%s; p99 %.2fx)\n",
                    under->name.c_str(), under->MedianUs(), under->P99Us(), ratio.median,
                    Spread(ratio).c_str(), product.P99Us() / under->P99Us());
    }
    const auto us = [&](const char* part) {
        for (const Side& side : sides) {
            if (side.name == part) return side.MedianUs();
        }
        return 0.0;
    };
    // One record of vornExt_Free (">>>" and "<<<" around a free) stands for
    // each record of the call.
    const double perRecord = us("two records") / 2, openFloor = us("two failed log opens") / 2;
    const double recordsUs = records * perRecord, opensUs = records * openFloor;
    const double format = us("format"), build = us("build"),
                 connect = us("client's failed connect");
    std::printf("  where the time goes (us per call, medians)   product     floor  beyond\n");
    PrintPart("gate: signer of the loading process", us("gate"), us("gate"));
    PrintPart("parse, keys, dispatch row", us("parse"), 0);
    PrintPart("handler: registry/service calls, answer", us("handler"), us("floor calls"));
    PrintPart("response serialisation and buffer", us("serialise"), 0);
    PrintPart("records: format, build, failed opens", recordsUs, opensUs);
    PrintPart("  each: formatting the message", format, 0);
    PrintPart("  each: building the record", build, 0);
    PrintPart("  each: pipe client's failed connect", connect, openFloor);
    PrintPart("  each: the rest of the log call", perRecord - format - build - connect, 0);
    PrintPart("sum of the parts",
              us("gate") + us("parse") + us("handler") + us("serialise") + recordsUs,
              us("gate") + us("floor calls") + opensUs);
    PrintPart("the export's body in this process", us("in process"), gated.MedianUs());
    PrintPart("the export through the DLL", product.MedianUs(), gated.MedianUs());
    // The same export with a log service taking every record.
    Stats listened;
    {
        testbed::LogPipeServer server([](const testbed::LogRecord&) {}, 4);
        listened = Measure(calls, [&] { dll.Query(request); });
    }
    std::printf(
        "  with log server mean %9.1f us   p99 %9.1f us   records take %.0f%% of the call\n",
        listened.meanUs, listened.p99Us,
        100.0 * (listened.meanUs - product.MedianUs()) / listened.meanUs);
}

// Records per second through the log call into a listening server, beside
// raw connect-write-close of the same record, and the parts of the log call
// on their own: formatting, building the record, and the product's pipe
// client sending a record built beforehand. Each round runs the log call and
// the raw writes back to back (which goes first alternates) and takes their
// ratio: Wine's pipes change speed between rounds, and a ratio of two
// medians could divide a fast round by a slow one. The median of the rounds'
// ratios is reported with its spread.
void LogThroughput() {
    constexpr int kRounds = 31, kCount = 300;
    constexpr char kFormat[] = "iKX Current State: KXClient - %d, KXE - %d";
    // When the server took each record: a round ends at its last record, not
    // at the poll that noticed it (polls sleep for milliseconds, the length
    // of a whole round's tail).
    std::atomic<int> received{0};
    std::atomic<Clock::rep> lastTaken{0};
    testbed::LogPipeServer server(
        [&](const testbed::LogRecord&) {
            lastTaken = Clock::now().time_since_epoch().count();
            ++received;
        },
        4);
    ikx::CreateLogWriter();
    const auto logOnce = [&] {
        ikx::WriteDebugLog(ikx::kLogTag, ikx::kInfo, "vornExt_OnQueryData.cpp", 42, "QueryLatency",
                           kFormat, 4, 4);
    };
    // The record the log call sends, terminating NUL included: the raw side
    // sends these very bytes, so that the server does the same work for both.
    const std::u16string built =
        ikx::BuildLogRecord(ikx::kLogTag, ikx::kInfo, "vornExt_OnQueryData.cpp", 42, "QueryLatency",
                            "iKX Current State: KXClient - 4, KXE - 4");
    const auto recordBytes = static_cast<DWORD>((built.size() + 1) * sizeof(char16_t));
    const auto rawOnce = [&] {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        while ((pipe = ::CreateFileW(kLogPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr)) == INVALID_HANDLE_VALUE) {
            if (::GetLastError() != ERROR_PIPE_BUSY || !::WaitNamedPipeW(kLogPipe, 20000)) return;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
        DWORD written = 0;
        ::WriteFile(pipe, built.c_str(), recordBytes, &written, nullptr);
        ::CloseHandle(pipe);
    };
    const auto clientOnce = [&] {
        ikx::CNamedPipeClient pipe;
        if (pipe.Connect(L"Log_ServerNamePipe")) {
            uint32_t bytes = recordBytes;
            pipe.Write(built.c_str(), bytes);
        }
    };
    const auto buildOnce = [] {
        const std::u16string text =
            ikx::BuildLogRecord(ikx::kLogTag, ikx::kInfo, "vornExt_OnQueryData.cpp", 42,
                                "QueryLatency", "iKX Current State: KXClient - 4, KXE - 4");
        g_formatted = static_cast<char>(text.size());
    };
    // Microseconds per record of one side's round; a side that sends waits
    // until the server has them all.
    int lost = 0;
    const auto sending = [&](const std::function<void()>& once) {
        received = 0;
        const auto start = Clock::now();
        for (int i = 0; i < kCount; ++i) once();
        WaitUntil([&] { return received.load() >= kCount; }, std::chrono::seconds(120));
        const Clock::time_point last{Clock::duration(lastTaken.load())};
        const double us = std::chrono::duration<double, std::micro>(last - start).count();
        lost += kCount - received.load();
        return us / std::max(1, received.load());
    };
    const auto local = [&](const std::function<void()>& once) {
        const auto start = Clock::now();
        for (int i = 0; i < kCount; ++i) once();
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kCount;
    };
    // The pair first, back to back; then the parts of the breakdown.
    const std::vector<std::function<double()>> sides = {
        [&] { return sending(logOnce); },
        [&] { return sending(rawOnce); },
        [&] { return sending(clientOnce); },
        [&] { return local([&] { FormatOnly(kFormat, 4, 4); }); },
        [&] { return local(buildOnce); },
    };
    sending(logOnce), sending(rawOnce);  // warm both paths
    std::vector<std::vector<double>> us(sides.size());
    for (int round = 0; round < kRounds; ++round) {
        const size_t first = round % 2;
        us[first].push_back(sides[first]());
        us[1 - first].push_back(sides[1 - first]());
        for (size_t k = 2; k < sides.size(); ++k) us[k].push_back(sides[k]());
        std::printf("  round %2d: WriteDebugLog %6.0f records/s, raw pipe %6.0f records/s (%.2f)\n",
                    round, 1e6 / us[0].back(), 1e6 / us[1].back(), us[0].back() / us[1].back());
    }
    ikx::DestroyLogWriter();
    const double logUs = Median(us[0]), rawUs = Median(us[1]), clientUs = Median(us[2]);
    const double formatUs = Median(us[3]), buildUs = Median(us[4]);
    const Ratio ratio = RoundRatios(us[0], us[1]);
    const Ratio client = RoundRatios(us[2], us[1]);
    std::printf("log throughput (%lu-byte records, 4 server instances, %d rounds of %d, %d lost)\n",
                static_cast<unsigned long>(recordBytes), kRounds, kCount, lost);
    std::printf("  WriteDebugLog   %9.0f records/s (median)\n", 1e6 / logUs);
    std::printf("  raw pipe        %9.0f records/s (median)\n", 1e6 / rawUs);
    std::printf("  ratio raw/log   %.2fx (%s)\n", ratio.median, Spread(ratio).c_str());
    std::printf("  where a record's time goes (us per record, medians)\n");
    std::printf("    WriteDebugLog into the server         %8.2f\n", logUs);
    std::printf("    raw connect-write-close (floor)       %8.2f\n", rawUs);
    std::printf("    beyond the floor                      %8.2f\n", logUs - rawUs);
    std::printf("      formatting the message              %8.2f\n", formatUs);
    std::printf("      building the record                 %8.2f\n", buildUs);
    std::printf("      pipe client beyond raw calls        %8.2f   (client %.2f, %.2fx raw)\n",
                clientUs - rawUs, clientUs, client.median);
    std::printf("      rest                                %8.2f\n",
                logUs - rawUs - formatUs - buildUs - (clientUs - rawUs));
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
        const auto verify = reinterpret_cast<VerifyFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW((agent.Folder() + L"VornAgent.dll").c_str()),
                             "vornCnt_VerifyLoaderProcessSign")));
        const std::string status =
            R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_SERVICE_STATUS"})";
        // The static core's own copy of the binding and the log switch, for
        // the parts of a call made in this process.
        const bool coreBound = ikx::InitVornAgentObj() && ikx::CreateLogWriter();
        if (!verify || !coreBound ||
            dll.Query(status).find("\"status_code\" : 1") == std::string::npos) {
            std::printf("the product is not bound or the sensor does not show as running\n");
            result = 1;
        } else {
            // Many short turns: on a shared machine the load changes within a
            // second, and short turns spread each change over every side.
            QueryLatency(dll, "VORN_ONQUERY_SERVICE_STATUS", status, ServiceStatusFloor, verify, 25,
                         10);
            QueryLatency(
                dll, "VORN_ONQUERY_PRODUCT_VERSION",
                R"({"product_id":"VORN_IPRODUCT_IKX","query_id":"VORN_ONQUERY_PRODUCT_VERSION"})",
                ProductVersionFloor, verify, 101, 20);
        }
        ikx::DestroyLogWriter();
        ikx::ReleaseVornAgentObj();
        dll.Deinit();
    }
    LogThroughput();
    services.clear();
    RegDeleteTree(kKxcKey);
    RegDeleteTree(kKxeKey);
    return result;
}
