// A sensor service stand-in run by the real service control manager:
//   KxSensorService.exe --name <service> [--no-ipc] [--journal <file>]
//       [--reply <code>=<value>]... [--ignore-stop]
//       [--start-pending <ms>] [--stop-pending <ms>] [--paused <ms>]
//       [--fail-starts <n> --counter <file>] [--controls <file>]
//       [--start-with <service>]
//       [--hold-reply <code>]
// It serves the sensor client's IPC destination while it runs (unless
// --no-ipc), journals every command to --journal (format of ipc_wire.h) and
// answers the codes given with --reply with those values (numbers in C
// notation, e.g. --reply 0x4002=5). The other options make it difficult:
//   --ignore-stop       acknowledges SERVICE_CONTROL_STOP but keeps running;
//   --start-pending ms  holds START_PENDING that long before RUNNING;
//   --stop-pending ms   holds STOP_PENDING that long before STOPPED;
//   --paused ms         reports PAUSED for that long after starting, then
//                       RUNNING (0: stays PAUSED until stopped);
//   --fail-starts n     the first n starts (counted in the --counter file)
//                       end at once, before the service connects, so the
//                       service manager's StartService fails;
//   --controls file     appends one line per stop request ("stop"), so a
//                       test can count how often it was asked;
//   --start-with name   once running, starts that service too, as the
//                       sensor client starts its engine.
//   --hold-reply code   journals that command at once but answers it only
//                       when the test sets the event named by
//                       ReplyReleaseEventName (at most a minute later).
// The user control kForceStopControl (or the named event) always stops it,
// so a test can clean up after itself. Waits are real time, never scaled.
#include <windows.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#ifdef KXSENSOR_SERVES_IPC
#include "ipc_endpoint.h"
#endif

namespace {

constexpr uint32_t kSensorClientDestination = 20;

struct Options {
    std::wstring name;
    std::wstring journal;
    std::wstring counter;
    std::wstring controls;
    std::wstring startWith;
    uint32_t heldCode = 0;
    std::map<uint32_t, uint32_t> replies;
    bool ignoreStop = false;
    bool serveIpc = true;
    DWORD startPendingMs = 0;
    DWORD stopPendingMs = 0;
    bool paused = false;
    DWORD pausedMs = 0;
    unsigned failStarts = 0;
};

Options g_options;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
HANDLE g_forceStopEvent = nullptr;
HANDLE g_replyRelease = nullptr;

std::wstring ForceStopEventName(const std::wstring& service) {
    return L"Global\\KxSensorServiceForceStop_" + service;
}

std::wstring ReplyReleaseEventName(const std::wstring& service) {
    return L"Global\\KxSensorReplyRelease_" + service;
}

DWORD Number(const wchar_t* text) {
    return static_cast<DWORD>(std::wcstoul(text, nullptr, 0));
}

bool ParseReply(const std::wstring& text, Options& options) {
    const size_t equals = text.find(L'=');
    if (equals == std::wstring::npos) return false;
    options.replies[Number(text.substr(0, equals).c_str())] = Number(text.c_str() + equals + 1);
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--ignore-stop") {
            options.ignoreStop = true;
        } else if (arg == L"--no-ipc") {
            options.serveIpc = false;
        } else if (!hasValue) {
            return false;
        } else if (arg == L"--name") {
            options.name = argv[++i];
        } else if (arg == L"--journal") {
            options.journal = argv[++i];
        } else if (arg == L"--counter") {
            options.counter = argv[++i];
        } else if (arg == L"--hold-reply") {
            options.heldCode = Number(argv[++i]);
        } else if (arg == L"--controls") {
            options.controls = argv[++i];
        } else if (arg == L"--start-with") {
            options.startWith = argv[++i];
        } else if (arg == L"--reply") {
            if (!ParseReply(argv[++i], options)) return false;
        } else if (arg == L"--start-pending") {
            options.startPendingMs = Number(argv[++i]);
        } else if (arg == L"--stop-pending") {
            options.stopPendingMs = Number(argv[++i]);
        } else if (arg == L"--paused") {
            options.paused = true;
            options.pausedMs = Number(argv[++i]);
        } else if (arg == L"--fail-starts") {
            options.failStarts = Number(argv[++i]);
        } else {
            return false;
        }
    }
    return !options.name.empty();
}

// Counts this start in the counter file; true while the start must fail.
bool StartMustFail() {
    if (g_options.failStarts == 0 || g_options.counter.empty()) return false;
    HANDLE file = ::CreateFileW(g_options.counter.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char text[16] = {};
    DWORD read = 0;
    ::ReadFile(file, text, sizeof text - 1, &read, nullptr);
    const unsigned starts = static_cast<unsigned>(std::strtoul(text, nullptr, 10)) + 1;
    const std::string updated = std::to_string(starts);
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    DWORD written = 0;
    ::WriteFile(file, updated.data(), static_cast<DWORD>(updated.size()), &written, nullptr);
    ::SetEndOfFile(file);
    ::CloseHandle(file);
    return starts <= g_options.failStarts;
}

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    const bool steady = state == SERVICE_RUNNING || state == SERVICE_PAUSED;
    status.dwControlsAccepted = steady ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = steady || state == SERVICE_STOPPED ? 0 : 5000;
    ::SetServiceStatus(g_statusHandle, &status);
}

void NoteStopRequest() {
    if (g_options.controls.empty()) return;
    HANDLE file = ::CreateFileW(g_options.controls.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, "stop\n", 5, &written, nullptr);
    ::CloseHandle(file);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            NoteStopRequest();
            if (!g_options.ignoreStop) ::SetEvent(g_stopEvent);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Waits for a stop (ordinary or forced) for up to `ms`; true when one came.
bool WaitForStop(DWORD ms) {
    const HANDLE events[] = {g_stopEvent, g_forceStopEvent};
    return ::WaitForMultipleObjects(2, events, FALSE, ms) != WAIT_TIMEOUT;
}

void StartCompanion(const std::wstring& name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? ::OpenServiceW(manager, name.c_str(), SERVICE_START) : nullptr;
    if (service) ::StartServiceW(service, 0, nullptr);
    if (service) ::CloseServiceHandle(service);
    if (manager) ::CloseServiceHandle(manager);
}

void RunUntilStopped() {
    if (g_options.paused) {
        Report(SERVICE_PAUSED);
        if (WaitForStop(g_options.pausedMs == 0 ? INFINITE : g_options.pausedMs)) return;
    }
    Report(SERVICE_RUNNING);
    if (!g_options.startWith.empty()) StartCompanion(g_options.startWith);
    WaitForStop(INFINITE);
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_options.name.c_str(), Handler, nullptr);
    if (!g_statusHandle) return;
    Report(SERVICE_START_PENDING);
    // The holds end early on a forced stop, so a test can always clean up.
    if (g_options.startPendingMs) ::WaitForSingleObject(g_forceStopEvent, g_options.startPendingMs);
    {
#ifdef KXSENSOR_SERVES_IPC
        std::unique_ptr<testbed::IpcEndpoint> endpoint;
        if (g_options.serveIpc) {
            endpoint =
                std::make_unique<testbed::IpcEndpoint>(kSensorClientDestination, g_options.journal);
            for (const auto& reply : g_options.replies)
                endpoint->SetReply(reply.first, reply.second);
            if (g_options.heldCode) endpoint->HoldReply(g_options.heldCode, g_replyRelease);
        }
#endif
        RunUntilStopped();
        Report(SERVICE_STOP_PENDING);
        if (g_options.stopPendingMs)
            ::WaitForSingleObject(g_forceStopEvent, g_options.stopPendingMs);
    }
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!ParseOptions(argc, argv, g_options)) return ERROR_INVALID_PARAMETER;
    if (StartMustFail()) return ERROR_SERVICE_NO_THREAD;
    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_forceStopEvent =
        ::CreateEventW(nullptr, TRUE, FALSE, ForceStopEventName(g_options.name).c_str());
    if (!g_stopEvent || !g_forceStopEvent) return static_cast<int>(::GetLastError());
    ::ResetEvent(g_forceStopEvent);  // a request left over from an earlier instance
    g_replyRelease =
        ::CreateEventW(nullptr, TRUE, FALSE, ReplyReleaseEventName(g_options.name).c_str());
    if (g_replyRelease) ::ResetEvent(g_replyRelease);
    std::wstring name = g_options.name;
    SERVICE_TABLE_ENTRYW table[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) return static_cast<int>(::GetLastError());
    return 0;
}
