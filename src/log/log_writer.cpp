#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/text.h"
#include "log/log.h"
#include "log/log_record.h"
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

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units are 16 bits on Windows");
// Where the conversion calls write UTF-16 units that the record then reads.
wchar_t* AsWide(char16_t* units) {
    return reinterpret_cast<wchar_t*>(units);
}

// What _time64 gives, read straight from the system clock: the CRT call took
// over half of the time a record takes to build.
int64_t SecondsSince1970() {
    constexpr int64_t kUnitsPerSecond = 10000000;       // FILETIME counts 100 ns
    constexpr int64_t kFrom1601To1970 = 11644473600LL;  // seconds
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    const int64_t units =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return units / kUnitsPerSecond - kFrom1601To1970;
}

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

// printf-style on purpose: every record's format is a literal at its call
// site, the same text the product's records have always carried.
// NOLINTNEXTLINE(cert-dcl50-cpp)
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

std::u16string BuildLogRecord(const char* tag, int level, const char* file, int line,
                              const char* function, const char* message) {
    // The record and the text's UTF-16 units are the only heap blocks: this
    // runs for every record of every call.
    char text[kLogTextBytes];
    const int textBytes = static_cast<int>(LogRecordText(tag, function, message, text)) + 1;
    // An ANSI code page never gives more UTF-16 units than it has bytes.
    std::unique_ptr<char16_t[]> wideText(new (std::nothrow) char16_t[textBytes]);
    if (!wideText) return {};
    const int textUnits =
        ::MultiByteToWideChar(CP_ACP, 0, text, textBytes, AsWide(wideText.get()), textBytes);

    // Module file names are the build's own and fit a path buffer; a longer
    // name is converted on the heap instead.
    char16_t wideFile[MAX_PATH];
    const int fileUnits =
        ::MultiByteToWideChar(CP_ACP, 0, file ? file : "", -1, AsWide(wideFile), MAX_PATH);
    const std::u16string longFile =
        fileUnits > 0 ? std::u16string() : Utf16Of(MultiByteToWide(file, kCodePageAnsi));

    LogRecord fields;
    fields.time = static_cast<int32_t>(SecondsSince1970());
    fields.processId = static_cast<uint32_t>(::GetCurrentProcessId());
    fields.threadId = static_cast<uint32_t>(::GetCurrentThreadId());
    fields.level = level;
    fields.file = fileUnits > 0 ? std::u16string_view(wideFile, fileUnits - 1) : longFile;
    fields.line = line;
    if (textUnits > 0) fields.text = std::u16string_view(wideText.get(), textUnits - 1);
    return EncodeLogRecord(fields);
}

void SendLogToServer(const char* tag, int level, const char* file, int line, const char* function,
                     const char* message) {
    const std::u16string record = BuildLogRecord(tag, level, file, line, function, message);
    if (record.empty()) return;
    CNamedPipeClient pipe;
    if (pipe.Connect(kLogPipeName)) {
        uint32_t bytes = static_cast<uint32_t>((record.size() + 1) * sizeof(char16_t));
        pipe.Write(record.c_str(), bytes);
    }
    pipe.Close();
}

}  // namespace ikx
