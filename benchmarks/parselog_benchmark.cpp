// Detection log intake through vornExt_ParseLog beside its floor, measured in
// the same process on the same files:
//   floor         open the file, read it whole, parse it with JsonCpp;
//   floor + call  the same plus what every call of the export must also do:
//                 the gate's signer check of the loading process and one
//                 failed log-pipe open per record (no log service listens).
// Throughput for 1 KB, 64 KB and 8 MB records, and files per second over a
// folder of 10,000 1 KB records; the ratios are medians of per-round ratios,
// printed with their spread.
// Run: IKX_BUILD_DIR=... scripts/wine-run build/x86_64-test/bin/parselog_benchmark.exe
#include <windows.h>

#include <json/json.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "detection_logs.h"
#include "files.h"
#include "log_pipe.h"
#include "process.h"
#include "registry_world.h"
#include "services.h"
#include "timing.h"

using namespace testsupport;
using namespace benchtiming;

namespace {

const wchar_t kLogPipe[] = L"\\\\.\\pipe\\Log_ServerNamePipe";
// ">>>", "strTemp.length = %d" and "<<<" for a valid record, then ">>>" and
// "<<<" of vornExt_Free giving the buffer back.
constexpr int kRecordsPerValidLog = 5;
using VerifyFn = int(__cdecl*)(const wchar_t*);

bool Floor(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file, &size);
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    const bool read = ::ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr);
    ::CloseHandle(file);
    Json::Value value;
    return read && Json::Reader().parse(text.data(), text.data() + got, value, true);
}

void FailedLogOpens(int records) {
    for (int i = 0; i < records; ++i) {
        HANDLE pipe = ::CreateFileW(kLogPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) ::CloseHandle(pipe);
    }
}

void CallOverhead(VerifyFn verify) {
    verify(L"Corvask, Inc.");
    FailedLogOpens(kRecordsPerValidLog);
}

// Microseconds per call of `call`, over `count` calls.
double MicrosPerCall(int count, const std::function<void()>& call) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

bool Export(ProductDll& dll, const std::wstring& path) {
    wchar_t type[64];
    char* data = nullptr;
    uint32_t length = 0;
    const bool ok = dll.ParseLog(path.c_str(), 64, type, &data, &length) == 0 && data;
    dll.Free(data);
    return ok;
}

// Seconds each of the three ways took over all the files, round by round.
// The ways run back to back on each file, each in turn first, so that a
// round's three sums come from the same stretch of time: bursts of load from
// elsewhere, or a log pipe that changes speed, fall on all of them alike.
struct Times {
    std::vector<double> floor, floorCall, product;
};
Times Measure(const std::vector<std::wstring>& files, int rounds, ProductDll& dll, VerifyFn verify,
              bool& ok) {
    const std::function<bool(const std::wstring&)> ways[] = {
        Floor,
        [&](const std::wstring& file) {
            CallOverhead(verify);
            return Floor(file);
        },
        [&](const std::wstring& file) { return Export(dll, file); }};
    Times t;
    for (int round = 0; round < rounds; ++round) {
        std::array<double, 3> sums = {};
        for (size_t i = 0; i < files.size(); ++i) {
            for (size_t k = 0; k < 3; ++k) {
                const size_t way = (k + i + static_cast<size_t>(round)) % 3;
                const auto start = Clock::now();
                ok = ways[way](files[i]) && ok;
                sums[way] += std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
        t.floor.push_back(sums[0]);
        t.floorCall.push_back(sums[1]);
        t.product.push_back(sums[2]);
    }
    return t;
}

// Throughputs from the median rounds; the ratios are the medians of the
// rounds' own (export throughput over the floor's: above 1 is faster).
void Report(const char* label, const Times& t, double units, const char* unit) {
    const Ratio floor = RoundRatios(t.floor, t.product);
    const Ratio floorCall = RoundRatios(t.floorCall, t.product);
    std::printf(
        "%-22s floor %10.1f %s   floor+call %10.1f %s   export %10.1f %s   "
        "export/floor %.2fx   export/(floor+call) %.2fx (%s)\n",
        label, units / Median(t.floor), unit, units / Median(t.floorCall), unit,
        units / Median(t.product), unit, floor.median, floorCall.median, Spread(floorCall).c_str());
}

std::vector<std::wstring> WriteRecords(const std::wstring& folder, size_t count, size_t bytes) {
    std::vector<std::wstring> files;
    for (size_t i = 0; i < count; ++i) {
        files.push_back(folder + L"record_" + std::to_wstring(i) + L".json");
        detlog::WriteBytes(files.back(), detlog::Record({bytes, {}, false, unsigned(i)}));
    }
    return files;
}

}  // namespace

int main() {
    HostAgent agent;
    const std::wstring install = TempDir(L"bench_kx");
    RegSetString(L"SOFTWARE\\Corvask\\KXE", L"InstallDir", install);
    ProductDll dll;
    if (!dll.module) {
        std::printf("cannot load vornExt_iKXClient.dll\n");
        return 1;
    }
    dll.Init();
    const auto verify = reinterpret_cast<VerifyFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW((agent.Folder() + L"VornAgent.dll").c_str()),
                         "vornCnt_VerifyLoaderProcessSign")));
    bool ok = verify != nullptr;
    if (!ok) {
        std::printf("the host agent's signer check is not there\n");
        return 1;
    }
    std::printf(
        "per call of the export: signer check %.0f us, failed log-pipe open %.0f us (x%d)\n",
        MicrosPerCall(300, [&] { verify(L"Corvask, Inc."); }),
        MicrosPerCall(300, [] { FailedLogOpens(1); }), kRecordsPerValidLog);
    const struct {
        const char* label;
        size_t bytes, files;
        int rounds;
    } sizes[] = {{"1 KB records", 1024, 400, 9},
                 {"64 KB records", 64 * 1024, 100, 9},
                 {"8 MB records", 8u << 20, 3, 7}};
    for (const auto& size : sizes) {
        const auto files = WriteRecords(TempDir(L"bench_logs"), size.files, size.bytes);
        const Times t = Measure(files, size.rounds, dll, verify, ok);
        Report(size.label, t, double(size.bytes) * size.files / (1 << 20), "MB/s");
    }
    const std::wstring folder = TempDir(L"bench_folder");
    WriteRecords(folder, 10000, 1024);
    std::vector<std::wstring> files;  // as a collector lists the folder
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder + L"*.json").c_str(), &entry);
    do {
        files.push_back(folder + entry.cFileName);
    } while (find != INVALID_HANDLE_VALUE && ::FindNextFileW(find, &entry));
    ::FindClose(find);
    Report("folder of 10,000 1 KB", Measure(files, 5, dll, verify, ok), double(files.size()),
           "files/s");
    dll.Deinit();
    RegDeleteTree(L"SOFTWARE\\Corvask\\KXE");
    if (!ok) std::printf("some file was not read or not accepted\n");
    return ok ? 0 : 1;
}
