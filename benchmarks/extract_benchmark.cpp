// Package extraction throughput: DecompressFile against deps' miniunz.exe on
// the same ~50 MB archive in the same run, so the machine's speed cancels out.
// Run: IKX_BUILD_DIR=... scripts/wine-run build/x86_64-test/bin/extract_benchmark.exe
#include <windows.h>
#include <minizip/zip.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "deploy/decompress.h"
#include "win32/file_ops.h"
#include "timing.h"

using namespace benchtiming;

namespace {

constexpr int kFolders = 40;
constexpr int kFilesPerFolder = 50;
constexpr size_t kFileBytes = 25 * 1024;
constexpr int kRounds = 5;

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string ExeFolder() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.rfind('\\') + 1);
}

// Half the files compress well (text-like), half hardly at all.
std::string FileData(int index) {
    std::string data(kFileBytes, '\0');
    unsigned seed = 2166136261u ^ static_cast<unsigned>(index);
    const bool text = index % 2 == 0;
    for (size_t i = 0; i < data.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = text ? static_cast<char>('a' + (seed >> 16) % 8) : static_cast<char>(seed >> 16);
    }
    return data;
}

bool BuildPackage(const std::string& path, size_t& totalBytes) {
    zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip) return false;
    totalBytes = 0;
    for (int folder = 0; folder < kFolders; ++folder) {
        for (int file = 0; file < kFilesPerFolder; ++file) {
            const int index = folder * kFilesPerFolder + file;
            const std::string name =
                "pkg/dir" + std::to_string(folder) + "/sub/file" + std::to_string(file) + ".bin";
            const std::string data = FileData(index);
            zip_fileinfo info = {};
            info.tmz_date = {0, 0, 12, 1, 0, 2020};
            if (zipOpenNewFileInZip(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    Z_DEFLATED, 6) != ZIP_OK ||
                zipWriteInFileInZip(zip, data.data(), static_cast<unsigned>(data.size())) !=
                    ZIP_OK ||
                zipCloseFileInZip(zip) != ZIP_OK) {
                zipClose(zip, nullptr);
                return false;
            }
            totalBytes += data.size();
        }
    }
    return zipClose(zip, nullptr) == ZIP_OK;
}

double Seconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

double TimeDecompressFile(const std::string& archive, const std::string& target) {
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    const bool ok = ikx::DecompressFile(Widen(archive), Widen(target));
    ::QueryPerformanceCounter(&end);
    return ok ? Seconds(start, end) : -1.0;
}

double TimeMiniunz(const std::string& archive, const std::string& target) {
    ::CreateDirectoryA(target.c_str(), nullptr);
    std::string command =
        "\"" + ExeFolder() + "miniunz.exe\" -x -o \"" + archive + "\" -d \"" + target + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput =
        ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER start, end;
    ::QueryPerformanceCounter(&start);
    const BOOL created = ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                          nullptr, &startup, &process);
    DWORD exitCode = 1;
    if (created) {
        ::WaitForSingleObject(process.hProcess, INFINITE);
        ::GetExitCodeProcess(process.hProcess, &exitCode);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    ::QueryPerformanceCounter(&end);
    ::CloseHandle(startup.hStdOutput);
    return created && exitCode == 0 ? Seconds(start, end) : -1.0;
}

void Remove(const std::string& folder) {
    ikx::CleanDirectory(Widen(folder).c_str(), true, false);
}

}  // namespace

int main() {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string work = std::string(temp) + "ikx_extract_benchmark";
    Remove(work);
    ::CreateDirectoryA(work.c_str(), nullptr);
    const std::string archive = work + "\\package.zip";

    size_t totalBytes = 0;
    if (!BuildPackage(archive, totalBytes)) {
        std::printf("could not build the package\n");
        return 1;
    }
    const double megabytes = totalBytes / (1024.0 * 1024.0);
    std::printf("package: %d files, %.1f MB uncompressed\n", kFolders * kFilesPerFolder, megabytes);

    std::vector<double> ours, floor;
    for (int round = 0; round < kRounds; ++round) {
        const std::string oursTarget = work + "\\ours" + std::to_string(round);
        const std::string floorTarget = work + "\\miniunz" + std::to_string(round);
        // Alternate who goes first so cache warmth does not favour one side.
        if (round % 2 == 0) {
            ours.push_back(TimeDecompressFile(archive, oursTarget));
            floor.push_back(TimeMiniunz(archive, floorTarget));
        } else {
            floor.push_back(TimeMiniunz(archive, floorTarget));
            ours.push_back(TimeDecompressFile(archive, oursTarget));
        }
        if (ours.back() < 0 || floor.back() < 0) {
            std::printf("extraction failed in round %d (DecompressFile %s, miniunz %s)\n", round,
                        ours.back() < 0 ? "failed" : "ok", floor.back() < 0 ? "failed" : "ok");
            return 1;
        }
        std::printf("round %d: DecompressFile %.3f s, miniunz %.3f s\n", round, ours.back(),
                    floor.back());
        Remove(oursTarget);
        Remove(floorTarget);
    }
    const double oursMedian = Median(ours);
    const double floorMedian = Median(floor);
    std::printf("DecompressFile: %.3f s (%.1f MB/s)\n", oursMedian, megabytes / oursMedian);
    std::printf("miniunz.exe:    %.3f s (%.1f MB/s)\n", floorMedian, megabytes / floorMedian);
    const Ratio ratio = RoundRatios(ours, floor);  // each round's two ran back to back
    std::printf("ratio DecompressFile / miniunz: %.2f (%s)\n", ratio.median, Spread(ratio).c_str());
    Remove(work);
    return 0;
}
