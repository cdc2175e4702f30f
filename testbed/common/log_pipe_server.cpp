#include "log_pipe_server.h"

#include <cstdio>

namespace testbed {

const std::wstring& LogRecord::Field(size_t i) const {
    static const std::wstring empty;
    return i < fields.size() ? fields[i] : empty;
}

std::string LogRecord::Text() const {
    const std::wstring& text = Field(7);
    if (text.empty()) return {};
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

std::string LogRecord::Function() const {
    // "[-iKXClient-][TAG][function]message"
    const std::string text = Text();
    size_t start = 0;
    for (int i = 0; i < 2; ++i) start = text.find('[', start + 1);
    if (start == std::string::npos) return {};
    const size_t end = text.find(']', start);
    return end == std::string::npos ? std::string() : text.substr(start + 1, end - start - 1);
}

int LogRecord::Level() const {
    return _wtoi(Field(4).c_str());
}

std::string LevelName(int level) {
    static const char* const names[] = {"fatal",  "alert", "crit",  "error", "warn",
                                        "notice", "info",  "debug", "trace"};
    return level >= 0 && level <= 8 ? names[level] : std::to_string(level);
}

std::string FormatRecord(const LogRecord& r) {
    const long long seconds = _wtoi64(r.Field(1).c_str());
    char when[32] = "?";
    const time_t t = static_cast<time_t>(seconds);
    if (const tm* utc = gmtime(&t)) strftime(when, sizeof when, "%H:%M:%S", utc);
    std::string file(r.Field(5).begin(), r.Field(5).end());
    char line[256];
    std::snprintf(line, sizeof line, "%s %-6s %5ls/%-5ls %s:%ls  ", when,
                  LevelName(r.Level()).c_str(), r.Field(2).c_str(), r.Field(3).c_str(),
                  file.c_str(), r.Field(6).c_str());
    return line + r.Text();
}

LogPipeServer::LogPipeServer(Sink sink, int instances, const wchar_t* pipeName)
    : sink_(std::move(sink)),
      path_(std::wstring(L"\\\\.\\pipe\\") + (pipeName ? pipeName : L"Log_ServerNamePipe")) {
    for (int i = 0; i < instances; ++i) threads_.emplace_back([this] { Serve(); });
    // Wait until an instance exists, so a client never meets "no pipe". On a
    // busy machine the threads can take more than a second to get there.
    const DWORD start = ::GetTickCount();
    while (!::WaitNamedPipeW(path_.c_str(), 1) && ::GetTickCount() - start < 20000) ::Sleep(2);
}

LogPipeServer::~LogPipeServer() {
    stopping_ = true;
    for (size_t i = 0; i < threads_.size() * 2; ++i) {
        // Wake each instance blocked in ConnectNamedPipe.
        HANDLE h =
            ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
    for (auto& t : threads_) t.join();
}

// Reads one client's record, message by message, until the message that ends
// with the record's terminating NUL or until the client closes its end. Not
// waiting for the close means a client that never closes its handle leaks
// that handle instead of holding this instance.
static bool ReadRecord(HANDLE pipe, LogRecord& record) {
    std::vector<char> bytes;
    char chunk[4096];
    for (;;) {
        DWORD read = 0;
        const BOOL ok = ::ReadFile(pipe, chunk, sizeof chunk, &read, nullptr);
        if (!ok && ::GetLastError() != ERROR_MORE_DATA) break;
        record.messageSizes.push_back(read);
        bytes.insert(bytes.end(), chunk, chunk + read);
        const bool terminated = ok && bytes.size() % 2 == 0 && bytes.size() >= 2 && !bytes.back() &&
                                !bytes[bytes.size() - 2];
        if (terminated) break;
    }
    if (bytes.empty()) return false;
    record.raw.assign(reinterpret_cast<const wchar_t*>(bytes.data()),
                      bytes.size() / sizeof(wchar_t));
    std::wstring text = record.raw;
    if (!text.empty() && text.back() == L'\0') text.pop_back();
    size_t start = 0;
    // Seven separators; the message (field 8) may hold tabs of its own.
    for (size_t tab;
         record.fields.size() < 7 && (tab = text.find(L'\t', start)) != std::wstring::npos;
         start = tab + 1) {
        record.fields.push_back(text.substr(start, tab - start));
    }
    record.fields.push_back(text.substr(start));
    return true;
}

void LogPipeServer::Serve() {
    // The instance is kept for the server's life: closing and re-creating it
    // would leave moments with no instance, when clients find no pipe at all.
    HANDLE pipe = ::CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_INBOUND,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 0, 64 * 1024, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return;
    while (!stopping_) {
        // A client can connect, write and close before this thread gets here
        // (ERROR_NO_DATA): its record is still in the pipe, to be read.
        const BOOL connected = ::ConnectNamedPipe(pipe, nullptr) ||
                               ::GetLastError() == ERROR_PIPE_CONNECTED ||
                               ::GetLastError() == ERROR_NO_DATA;
        LogRecord record;
        if (connected && !stopping_ && ReadRecord(pipe, record)) sink_(record);
        ::DisconnectNamedPipe(pipe);
    }
    ::CloseHandle(pipe);
}

}  // namespace testbed
