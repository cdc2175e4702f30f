// Programs started by the product (the vcredist runtime installers, the
// sensor client's command line KXClient.exe and a program that outlives any
// wait). Each appends one line to a journal beside itself, "<own path>.journal"
// (or "<IKX_STANDIN_JOURNAL_DIR>\<own name>.journal" when that variable is
// set, for a program whose folder does not outlive the test): its process id,
// a tab and its command line exactly as received. The exit code is read from
// IKX_STANDIN_EXIT_CODE (default 0). Built with STANDIN_SLEEPS the program
// then sleeps for two minutes, unscaled, so only a test that kills it ends it
// early. Beside the journal, "<journal>.environment" gets TEMP, TMP and PATH
// as the program received them.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "environment_line.h"

namespace {

std::string ToUtf8(const wchar_t* text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

void Journal() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = std::wstring(self) + L".journal";
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"IKX_STANDIN_JOURNAL_DIR", folder, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const std::wstring name = path.substr(path.rfind(L'\\') + 1);
        path = std::wstring(folder) + L"\\" + name;
    }
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line =
        std::to_string(::GetCurrentProcessId()) + "\t" + ToUtf8(::GetCommandLineW()) + "\n";
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
    // The environment beside it, "<journal>.environment", a line per run.
    const std::string environment = testbed::EnvironmentLine() + "\n";
    file = ::CreateFileW((path + L".environment").c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    ::WriteFile(file, environment.data(), static_cast<DWORD>(environment.size()), &written,
                nullptr);
    ::CloseHandle(file);
}

}  // namespace

int main() {
    Journal();
#ifdef STANDIN_SLEEPS
    ::Sleep(120000);
#endif
    const char* code = std::getenv("IKX_STANDIN_EXIT_CODE");
    return code ? std::atoi(code) : 0;
}
