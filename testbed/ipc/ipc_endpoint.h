#pragma once
// The receiving end of one IPC destination: serves its named pipe (see
// ipc_wire.h), journals every command and answers with scripted reply codes.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testbed {

struct ReceivedCommand {
    uint32_t destination = 0;
    uint32_t type = 0;
    uint32_t code = 0;
    std::vector<uint8_t> data;
    // System time (FILETIME units) when it arrived, before it was answered;
    // 0 when read back from a journal.
    uint64_t arrived = 0;
};

class IpcEndpoint {
  public:
    // Replies default to 0 for the sensor client (20) and 0x20ff0000 for the
    // installer (21). With a journal path each command also appends a line.
    // `replies` are in force before the first command can arrive.
    explicit IpcEndpoint(uint32_t destination, std::wstring journalPath = L"",
                         std::map<uint32_t, uint32_t> replies = {});
    ~IpcEndpoint();
    IpcEndpoint(const IpcEndpoint&) = delete;
    IpcEndpoint& operator=(const IpcEndpoint&) = delete;

    void SetReply(uint32_t code, uint32_t replyCode);
    // Answer `code` without reply data (the record's reply pointer stays null).
    void SetNoReply(uint32_t code);
    // Holds the answer to `code` (after journaling it) until `release` is set,
    // at most a minute, so a test can act while the sender waits.
    void HoldReply(uint32_t code, HANDLE release);
    std::vector<ReceivedCommand> Received();
    // Waits (bounded) until at least `count` commands have arrived.
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout);

  private:
    void Serve(HANDLE pipe);
    void Handle(HANDLE pipe, const std::vector<uint8_t>& message);
    void Journal(const ReceivedCommand& command);

    uint32_t destination_;
    std::wstring journalPath_;
    uint32_t defaultReply_;
    HANDLE stop_ = nullptr;  // manual-reset event that ends every instance
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> replies_;
    std::set<uint32_t> noReply_;
    std::map<uint32_t, HANDLE> held_;
    std::vector<ReceivedCommand> received_;
    std::vector<std::thread> threads_;
};

// Parses an endpoint journal file (the format of ipc_wire.h).
std::vector<ReceivedCommand> ReadIpcJournal(const std::wstring& path);

}  // namespace testbed
