#include "ipc_endpoint.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "ipc_wire.h"

namespace testbed {

namespace {

constexpr int kInstances = 4;
constexpr uint32_t kClientSuccess = 0;
constexpr uint32_t kInstallerSuccess = 0x20ff0000;

enum class Io { kDone, kMoreData, kFailed, kStopped };

// Waits for an overlapped pipe operation that `ok` started, or for `stop`.
// A stopped operation is cancelled before its OVERLAPPED goes out of use.
Io Finish(HANDLE pipe, OVERLAPPED* ov, BOOL ok, HANDLE stop, DWORD* bytes) {
    if (!ok) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return Io::kFailed;
    }
    HANDLE events[2] = {ov->hEvent, stop};
    if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIo(pipe);
        ::GetOverlappedResult(pipe, ov, bytes, TRUE);
        return Io::kStopped;
    }
    if (::GetOverlappedResult(pipe, ov, bytes, FALSE)) return Io::kDone;
    return ::GetLastError() == ERROR_MORE_DATA ? Io::kMoreData : Io::kFailed;
}

Io Connect(HANDLE pipe, OVERLAPPED* ov, HANDLE stop) {
    ::ResetEvent(ov->hEvent);
    const BOOL ok = ::ConnectNamedPipe(pipe, ov);
    if (!ok && ::GetLastError() == ERROR_PIPE_CONNECTED) return Io::kDone;
    DWORD unused = 0;
    return Finish(pipe, ov, ok, stop, &unused);
}

// Reads one whole message; false when the client went away or we stop.
bool ReadMessage(HANDLE pipe, OVERLAPPED* ov, HANDLE stop, std::vector<uint8_t>& message) {
    uint8_t chunk[4096];
    for (;;) {
        ::ResetEvent(ov->hEvent);
        DWORD read = 0;
        const BOOL ok = ::ReadFile(pipe, chunk, sizeof chunk, &read, ov);
        const Io io = Finish(pipe, ov, ok, stop, &read);
        if (io == Io::kFailed || io == Io::kStopped) return false;
        message.insert(message.end(), chunk, chunk + read);
        if (io == Io::kDone) return true;
        if (message.size() > ipcwire::kMaxDataLength + sizeof(ipcwire::RequestHeader)) return false;
    }
}

bool WriteMessage(HANDLE pipe, OVERLAPPED* ov, HANDLE stop, const void* data, DWORD size) {
    ::ResetEvent(ov->hEvent);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(pipe, data, size, &written, ov);
    return Finish(pipe, ov, ok, stop, &written) == Io::kDone && written == size;
}

// Lets the client read the reply before the instance is disconnected, which
// would discard unread data: waits until the client closes its end.
void WaitForClientClose(HANDLE pipe, OVERLAPPED* ov, HANDLE stop) {
    std::vector<uint8_t> ignored;
    while (ReadMessage(pipe, ov, stop, ignored)) ignored.clear();
}

std::string Hex(const std::vector<uint8_t>& data) {
    if (data.empty()) return "-";
    std::string text;
    char byte[3];
    for (uint8_t b : data) {
        std::snprintf(byte, sizeof byte, "%02x", b);
        text += byte;
    }
    return text;
}

std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> data;
    if (text == "-") return data;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        data.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return data;
}

}  // namespace

IpcEndpoint::IpcEndpoint(uint32_t destination, std::wstring journalPath,
                         std::map<uint32_t, uint32_t> replies)
    : destination_(destination),
      journalPath_(std::move(journalPath)),
      defaultReply_(destination == 21 ? kInstallerSuccess : kClientSuccess),
      stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      replies_(std::move(replies)) {
    // A null DACL lets a client of any account reach a service's endpoint.
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    const std::wstring path = ipcwire::PipePath(destination);
    // Instances exist before the constructor returns, so a client never meets
    // "no endpoint" while this object lives.
    for (int i = 0; i < kInstances; ++i) {
        HANDLE pipe =
            ::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                               PIPE_UNLIMITED_INSTANCES, 64 * 1024, 64 * 1024, 0, &attributes);
        if (pipe == INVALID_HANDLE_VALUE) continue;
        threads_.emplace_back([this, pipe] { Serve(pipe); });
    }
}

IpcEndpoint::~IpcEndpoint() {
    ::SetEvent(stop_);
    for (auto& thread : threads_) thread.join();
    ::CloseHandle(stop_);
}

void IpcEndpoint::SetReply(uint32_t code, uint32_t replyCode) {
    std::lock_guard<std::mutex> lock(mutex_);
    noReply_.erase(code);
    replies_[code] = replyCode;
}

void IpcEndpoint::SetNoReply(uint32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    noReply_.insert(code);
}

void IpcEndpoint::HoldReply(uint32_t code, HANDLE release) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_[code] = release;
}

std::vector<ReceivedCommand> IpcEndpoint::Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

bool IpcEndpoint::WaitForCommands(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (received_.size() >= count) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::Sleep(5);
    }
}

void IpcEndpoint::Serve(HANDLE pipe) {
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (::WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
        const Io connected = Connect(pipe, &ov, stop_);
        if (connected == Io::kStopped) break;
        std::vector<uint8_t> message;
        if (connected == Io::kDone && ReadMessage(pipe, &ov, stop_, message)) {
            Handle(pipe, message);
            WaitForClientClose(pipe, &ov, stop_);
        }
        ::DisconnectNamedPipe(pipe);
    }
    ::CloseHandle(ov.hEvent);
    ::CloseHandle(pipe);
}

void IpcEndpoint::Handle(HANDLE pipe, const std::vector<uint8_t>& message) {
    ipcwire::RequestHeader header;
    if (message.size() < sizeof header) return;
    std::memcpy(&header, message.data(), sizeof header);
    if (header.magic != ipcwire::kRequestMagic ||
        message.size() != sizeof header + static_cast<size_t>(header.dataLength)) {
        return;  // not ours: the client sees a broken pipe instead of a reply
    }
    ReceivedCommand command;
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    command.arrived = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    command.destination = header.destination;
    command.type = header.type;
    command.code = header.code;
    command.data.assign(message.begin() + sizeof header, message.end());

    ipcwire::ReplyHeader reply = {ipcwire::kReplyMagic, 1, defaultReply_};
    HANDLE release = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Journaled before the reply, so a sender that got its answer can
        // rely on finding the command recorded.
        Journal(command);
        received_.push_back(command);
        if (noReply_.count(command.code)) reply.hasReply = 0;
        const auto scripted = replies_.find(command.code);
        if (scripted != replies_.end()) reply.replyCode = scripted->second;
        const auto held = held_.find(command.code);
        if (held != held_.end()) release = held->second;
    }
    if (release) {
        const HANDLE events[] = {release, stop_};
        ::WaitForMultipleObjects(2, events, FALSE, 60000);
    }
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WriteMessage(pipe, &ov, stop_, &reply, sizeof reply);
    ::CloseHandle(ov.hEvent);
}

void IpcEndpoint::Journal(const ReceivedCommand& command) {
    if (journalPath_.empty()) return;
    char head[64];
    std::snprintf(head, sizeof head, "%u %u 0x%04X %u ", static_cast<unsigned>(command.destination),
                  static_cast<unsigned>(command.type), static_cast<unsigned>(command.code),
                  static_cast<unsigned>(command.data.size()));
    const std::string line = head + Hex(command.data) + "\n";
    // Opened per line with full sharing so readers see each command at once.
    HANDLE file = ::CreateFileW(journalPath_.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::vector<ReceivedCommand> ReadIpcJournal(const std::wstring& path) {
    std::vector<ReceivedCommand> commands;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return commands;
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        text.append(chunk, read);
    ::CloseHandle(file);

    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        ReceivedCommand command;
        std::string code;
        size_t length = 0;
        std::string data;
        if (!(fields >> command.destination >> command.type >> code >> length >> data)) continue;
        try {
            command.code = static_cast<uint32_t>(std::stoul(code, nullptr, 16));
            command.data = FromHex(data);
        } catch (const std::exception&) {
            continue;  // a torn or foreign line
        }
        if (command.data.size() == length) commands.push_back(std::move(command));
    }
    return commands;
}

}  // namespace testbed
