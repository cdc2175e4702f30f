// A sensor service stand-in run by the real service control manager:
//   KxSensorService.exe --name <service> [--ignore-stop] [--no-ipc] [--journal <file>]
// It reports RUNNING and, unless told not to, serves the sensor client's IPC
// destination while it runs. --ignore-stop acknowledges SERVICE_CONTROL_STOP
// but keeps running, so callers' stop timeouts can be seen; the user control
// kForceStopControl always stops it, so a test can clean up after itself.
#include <windows.h>

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
    bool ignoreStop = false;
    bool serveIpc = true;
};

Options g_options;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
HANDLE g_forceStopEvent = nullptr;

std::wstring ForceStopEventName(const std::wstring& service) {
    return L"Global\\KxSensorServiceForceStop_" + service;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--name" && i + 1 < argc) {
            options.name = argv[++i];
        } else if (arg == L"--journal" && i + 1 < argc) {
            options.journal = argv[++i];
        } else if (arg == L"--ignore-stop") {
            options.ignoreStop = true;
        } else if (arg == L"--no-ipc") {
            options.serveIpc = false;
        } else {
            return false;
        }
    }
    return !options.name.empty();
}

void Report(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    ::SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            if (!g_options.ignoreStop) ::SetEvent(g_stopEvent);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_options.name.c_str(), Handler, nullptr);
    if (!g_statusHandle) return;
    Report(SERVICE_START_PENDING);
    {
#ifdef KXSENSOR_SERVES_IPC
        std::unique_ptr<testbed::IpcEndpoint> endpoint;
        if (g_options.serveIpc) {
            endpoint =
                std::make_unique<testbed::IpcEndpoint>(kSensorClientDestination, g_options.journal);
        }
#endif
        Report(SERVICE_RUNNING);
        const HANDLE events[] = {g_stopEvent, g_forceStopEvent};
        ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        Report(SERVICE_STOP_PENDING);
    }
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!ParseOptions(argc, argv, g_options)) return ERROR_INVALID_PARAMETER;
    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_forceStopEvent =
        ::CreateEventW(nullptr, TRUE, FALSE, ForceStopEventName(g_options.name).c_str());
    if (!g_stopEvent || !g_forceStopEvent) return static_cast<int>(::GetLastError());
    ::ResetEvent(g_forceStopEvent);  // a request left over from an earlier instance
    std::wstring name = g_options.name;
    SERVICE_TABLE_ENTRYW table[] = {{&name[0], ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) return static_cast<int>(::GetLastError());
    return 0;
}
