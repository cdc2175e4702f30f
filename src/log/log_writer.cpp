#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/text.h"
#include "log/cmd_protocol.h"
#include "log/log.h"
#include "log/named_pipe_client.h"

namespace ikx {
namespace {

// The writer holds no state the log call reads: its existence is the switch
// that turns logging on between process attach and detach.
class CPelmoDebugLogWriter {
  public:
    virtual ~CPelmoDebugLogWriter() = default;
};

CPelmoDebugLogWriter* g_logWriter = nullptr;

constexpr size_t kMessageBytes = 4096;
constexpr size_t kTextBytes = 8192;
constexpr wchar_t kLogPipeName[] = L"Log_ServerNamePipe";

}  // namespace

bool CreateLogWriter() {
    if (g_logWriter) return true;
    g_logWriter = new (std::nothrow) CPelmoDebugLogWriter();
    if (g_logWriter) return true;
    wchar_t message[4096] = {};
    _snwprintf_s(message, 4096, _TRUNCATE, L"Create LogWriter failed, error = %d\r\n",
                 static_cast<int>(::GetLastError()));
    ::OutputDebugStringW(message);
    return false;
}

void DestroyLogWriter() {
    delete g_logWriter;
    g_logWriter = nullptr;
}

void WriteDebugLog(const char* tag, int level, const char* file, int line, const char* function,
                   const char* format, ...) {
    if (!g_logWriter || !format) return;
    char message[kMessageBytes] = {};
    va_list args;
    va_start(args, format);
    _vsnprintf_s(message, kMessageBytes - 1, _TRUNCATE, format, args);
    va_end(args);
    SendLogToServer(tag, level, file, line, function, message);
}

void SendLogToServer(const char* tag, int level, const char* file, int line, const char* function,
                     const char* message) {
    CCmdProtocol record(L"\t", 1024);
    char text[kTextBytes] = {};
    _snprintf_s(text, kTextBytes - 1, _TRUNCATE, "[%s][%s][%s]%s", "-iKXClient-", tag ? tag : "",
                function ? function : "", message ? message : "");
    const std::wstring wideFile = MultiByteToWide(file ? file : "", kCodePageAnsi);
    record.Append(L"LOG_WRITE")
        .Append(static_cast<int32_t>(_time64(nullptr)))
        .Append(static_cast<uint32_t>(::GetCurrentProcessId()))
        .Append(static_cast<uint32_t>(::GetCurrentThreadId()))
        .Append(static_cast<int32_t>(static_cast<signed char>(level)))
        .Append(wideFile.c_str());
    record.Append(static_cast<int32_t>(line));

    const int textLength = static_cast<int>(std::strlen(text));
    std::unique_ptr<wchar_t[]> wideText(new (std::nothrow) wchar_t[textLength + 1]());
    if (!wideText) return;
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, wideText.get(), textLength + 1);
    record.Append(wideText.get());

    CNamedPipeClient pipe;
    if (pipe.Connect(kLogPipeName)) {
        uint32_t bytes = static_cast<uint32_t>((record.Text().size() + 1) * sizeof(wchar_t));
        pipe.Write(record.Text().c_str(), bytes);
    }
    pipe.Close();
}

}  // namespace ikx
