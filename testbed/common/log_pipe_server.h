#pragma once
// Serves \\.\pipe\Log_ServerNamePipe the way the host agent's log service
// does: several message-mode instances, one record per connection.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testbed {

struct LogRecord {
    std::vector<std::wstring> fields;  // split at TAB, NUL removed
    std::vector<DWORD> messageSizes;   // bytes of each pipe message received
    std::wstring raw;
    const std::wstring& Field(size_t i) const;
    std::string Text() const;      // field 8 as ANSI
    std::string Function() const;  // function name inside field 8
    int Level() const;
};

std::string LevelName(int level);
std::string FormatRecord(const LogRecord& record);  // one readable line

class LogPipeServer {
  public:
    using Sink = std::function<void(const LogRecord&)>;
    explicit LogPipeServer(Sink sink, int instances = 4, const wchar_t* pipeName = nullptr);
    ~LogPipeServer();
    LogPipeServer(const LogPipeServer&) = delete;
    LogPipeServer& operator=(const LogPipeServer&) = delete;

  private:
    void Serve();
    Sink sink_;
    std::wstring path_;
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
};

}  // namespace testbed
