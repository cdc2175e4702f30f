// Stand-in for the sibling extension library: the seven vornExt_ exports.
// Every call is appended to the journal named by IKX_IBORDA_JOURNAL, one line
// each. The answer to "VORN_ONQUERY_MDR_STATUS" is scripted:
//   IKX_IBORDA_REPLY_FILE  file whose bytes are handed back as the response;
//                          unset or missing: no response is handed back
//   IKX_IBORDA_RESULT      the value OnQueryData returns (default 0)
//   IKX_IBORDA_COMMAND_RESULTS  comma-separated values that successive
//                          OnCommand calls return, counted in the journal;
//                          the last one repeats (default 0)
// The variables are read on every call, so a test can change them between calls.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer) : std::wstring();
}

// Newlines and backslashes escaped so that each call stays on one line.
std::string OneLine(const char* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            out += "\\n";
        } else if (text[i] == '\\') {
            out += "\\\\";
        } else {
            out += text[i];
        }
    }
    return out;
}

void Journal(const std::string& line) {
    const std::wstring path = Env(L"IKX_IBORDA_JOURNAL");
    if (path.empty()) return;
    // Opened per line and shared, so the test may read it at any time.
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

bool ReadReply(std::string& reply) {
    const std::wstring path = Env(L"IKX_IBORDA_REPLY_FILE");
    if (path.empty()) return false;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        reply.append(chunk, read);
    }
    ::CloseHandle(file);
    return true;
}

// The OnCommand lines journaled so far.
size_t CommandsJournaled() {
    const std::wstring path = Env(L"IKX_IBORDA_JOURNAL");
    HANDLE file =
        path.empty() ? INVALID_HANDLE_VALUE
                     : ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        text.append(chunk, read);
    ::CloseHandle(file);
    size_t count = 0;
    for (size_t at = 0; (at = text.find("OnCommand ", at)) != std::string::npos; ++at) {
        if (at == 0 || text[at - 1] == '\n') ++count;
    }
    return count;
}

// The answer to the OnCommand call numbered `index` (0 = first).
int32_t ScriptedCommandResult(size_t index) {
    const std::wstring list = Env(L"IKX_IBORDA_COMMAND_RESULTS");
    int32_t result = 0;
    size_t at = 0;
    for (size_t i = 0; at <= list.size() && !list.empty(); ++i) {
        result = static_cast<int32_t>(std::wcstol(list.c_str() + at, nullptr, 10));
        const size_t comma = list.find(L',', at);
        if (i == index || comma == std::wstring::npos) break;
        at = comma + 1;
    }
    return result;
}

int32_t ScriptedResult() {
    const std::wstring text = Env(L"IKX_IBORDA_RESULT");
    return text.empty() ? 0 : static_cast<int32_t>(std::wcstol(text.c_str(), nullptr, 10));
}

}  // namespace

extern "C" {

__declspec(dllexport) int32_t __cdecl vornExt_Init() {
    Journal("Init");
    return 0;
}

__declspec(dllexport) int32_t __cdecl vornExt_Deinit() {
    Journal("Deinit");
    return 0;
}

__declspec(dllexport) int32_t
    __cdecl vornExt_OnQueryData(int32_t, uint32_t requestLength, const char* request,
                                uint32_t* responseLength, char** response) {
    Journal("OnQueryData " + std::to_string(requestLength) + " " +
            (request ? OneLine(request, requestLength) : std::string("(null)")));
    std::string reply;
    if (response && responseLength && ReadReply(reply)) {
        char* buffer = static_cast<char*>(std::malloc(reply.size() + 1));
        if (buffer) {
            std::memcpy(buffer, reply.c_str(), reply.size() + 1);
            *response = buffer;
            *responseLength = static_cast<uint32_t>(reply.size());
        }
    }
    return ScriptedResult();
}

__declspec(dllexport) int32_t
    __cdecl vornExt_OnCommand(int32_t, uint32_t requestLength, const char* request) {
    const int32_t result = ScriptedCommandResult(CommandsJournaled());
    Journal("OnCommand " + std::to_string(requestLength) + " " +
            (request ? OneLine(request, requestLength) : std::string("(null)")));
    return result;
}

__declspec(dllexport) int32_t
    __cdecl vornExt_OnNotify(int32_t, uint32_t requestLength, const char* request) {
    Journal("OnNotify " + std::to_string(requestLength) + " " +
            (request ? OneLine(request, requestLength) : std::string("(null)")));
    return 0;
}

#ifndef IBORDA_WITHOUT_PARSELOG
__declspec(dllexport) int32_t
    __cdecl vornExt_ParseLog(const wchar_t*, uint32_t, wchar_t*, char**, uint32_t*) {
    Journal("ParseLog");
    return 0;
}
#endif

__declspec(dllexport) int32_t __cdecl vornExt_Free(void* buffer) {
    Journal(buffer ? "Free" : "Free (null)");
    std::free(buffer);
    return 0;
}

}  // extern "C"
