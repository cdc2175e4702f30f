// Stand-in for the host agent's IPC library: the NIPC_ exports, carrying each
// command record to the endpoint that serves its destination (ipc_wire.h).
// Opt-in gate, so a test can act while a caller is binding: when the variable
// IKX_PIPC_INIT_GATE names an event, NIPC_Init sets the event "<name>.entered"
// and waits (60 s at most) for the named event before it returns.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ipc_wire.h"

namespace {

using testbed::ipcwire::kReplyMagic;
using testbed::ipcwire::kRequestMagic;
using testbed::ipcwire::PipePath;
using testbed::ipcwire::ReplyHeader;
using testbed::ipcwire::RequestHeader;

constexpr uint32_t kRecordMagic = 0x4E495043;  // "CPIN": set by NIPC_CreateCommand
constexpr DWORD kBusyWaitMs = 10000;
constexpr DWORD kGateWaitMs = 60000;

// Our view of the caller's 68-byte record (grown by the pointer widths on
// 64-bit); the caller knows only the reply pointer at offset 48.
struct Record {
    uint32_t magic;
    uint32_t handle;
    uint32_t type;
    uint32_t code;
    uint32_t dataLength;
    uint32_t copied;
    uint8_t* data;
    uint8_t reserved[48 - 24 - sizeof(void*)];
    uint32_t* reply;
    uint8_t tail[16];
};
static_assert(offsetof(Record, data) == 24, "data pointer follows six words");
static_assert(offsetof(Record, reply) == 48, "reply pointer at byte 48");
static_assert(sizeof(Record) == 52 + 16 + (sizeof(void*) - 4), "68 bytes plus the wider pointer");

std::mutex g_mutex;
std::set<uint32_t> g_handles;
[[maybe_unused]] uint32_t g_nextHandle = 0x00A10001;
std::atomic<int> g_liveCommands{0};

[[maybe_unused]] bool IsLiveHandle(uint32_t handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_handles.count(handle) != 0;
}

struct PipeCloser {
    HANDLE pipe;
    ~PipeCloser() { ::CloseHandle(pipe); }
};

// Opens the destination's pipe, waiting while every instance is busy; a
// destination nobody serves fails at once with ERROR_FILE_NOT_FOUND.
DWORD OpenDestination(uint32_t destination, HANDLE* pipe) {
    const std::wstring path = PipePath(destination);
    const DWORD start = ::GetTickCount();
    for (;;) {
        *pipe = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
        if (*pipe != INVALID_HANDLE_VALUE) return 0;
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY || ::GetTickCount() - start > kBusyWaitMs) return error;
        ::WaitNamedPipeW(path.c_str(), 500);
    }
}

[[maybe_unused]] DWORD Transact(Record* record, uint32_t destination, ReplyHeader* reply) {
    HANDLE raw = INVALID_HANDLE_VALUE;
    if (const DWORD error = OpenDestination(destination, &raw)) return error;
    PipeCloser pipe{raw};
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.pipe, &mode, nullptr, nullptr)) return ::GetLastError();

    const uint32_t length = record->data ? record->dataLength : 0;
    const RequestHeader header = {kRequestMagic, destination, record->type, record->code, length};
    std::vector<uint8_t> message(sizeof header + length);
    std::memcpy(message.data(), &header, sizeof header);
    if (length) std::memcpy(message.data() + sizeof header, record->data, length);
    DWORD done = 0;
    if (!::WriteFile(pipe.pipe, message.data(), static_cast<DWORD>(message.size()), &done,
                     nullptr)) {
        return ::GetLastError();
    }
    if (!::ReadFile(pipe.pipe, reply, sizeof *reply, &done, nullptr)) return ::GetLastError();
    if (done != sizeof *reply || reply->magic != kReplyMagic) return ERROR_INVALID_DATA;
    return 0;
}

// The gate of the header comment; without the variable, nothing happens.
[[maybe_unused]] void PassInitGate() {
    wchar_t name[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"IKX_PIPC_INIT_GATE", name, MAX_PATH - 16);
    if (length == 0 || length >= MAX_PATH - 16) return;
    const std::wstring gate(name);
    HANDLE entered = ::CreateEventW(nullptr, TRUE, FALSE, (gate + L".entered").c_str());
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, gate.c_str());
    if (entered) ::SetEvent(entered);
    if (release) ::WaitForSingleObject(release, kGateWaitMs);
    if (release) ::CloseHandle(release);
    if (entered) ::CloseHandle(entered);
}

}  // namespace

extern "C" {

__declspec(dllexport) uint32_t __cdecl NIPC_Init(uint32_t, uint32_t, const char* name) {
#ifdef PLMPIPC_INIT_FAILS
    (void)name;
    ::SetLastError(ERROR_NOT_READY);
    return 0;
#else
    if (!name || !*name) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    PassInitGate();
    std::lock_guard<std::mutex> lock(g_mutex);
    const uint32_t handle = g_nextHandle++;
    g_handles.insert(handle);
    return handle;
#endif
}

__declspec(dllexport) void __cdecl NIPC_DeInit(uint32_t* handle) {
    if (!handle) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handles.erase(*handle);
    *handle = 0;
}

__declspec(dllexport) void __cdecl NIPC_CreateCommand(void* block, uint32_t type, uint32_t code,
                                                      uint32_t length, uint32_t handle) {
    auto* record = static_cast<Record*>(block);
    std::memset(record, 0, sizeof *record);
    record->magic = kRecordMagic;
    record->handle = handle;
    record->type = type;
    record->code = code;
    record->dataLength = length;
    ++g_liveCommands;
}

__declspec(dllexport) void __cdecl NIPC_CmdDataCopy(void* block, const void* data, uint32_t) {
    auto* record = static_cast<Record*>(block);
    if (record->magic != kRecordMagic) return;
    if (data && record->dataLength) {
        delete[] record->data;
        record->data = new uint8_t[record->dataLength];
        std::memcpy(record->data, data, record->dataLength);
    }
    record->copied = 1;
}

#ifndef PLMPIPC_NO_SEND_DATA
__declspec(dllexport) uint32_t
    __cdecl NIPC_SendData(void* block, uint32_t destination, uint32_t handle) {
    auto* record = static_cast<Record*>(block);
    if (record->magic != kRecordMagic || record->handle != handle || !IsLiveHandle(handle)) {
        return ERROR_INVALID_HANDLE;
    }
    if (!record->copied) return ERROR_INVALID_DATA;  // data must be copied in first
    ReplyHeader reply = {};
    if (const DWORD error = Transact(record, destination, &reply)) return error;
    delete record->reply;
    record->reply = reply.hasReply ? new uint32_t(reply.replyCode) : nullptr;
    return 0;
}
#endif

__declspec(dllexport) void __cdecl NIPC_FreeCommand(void* block, uint32_t) {
    auto* record = static_cast<Record*>(block);
    if (record->magic != kRecordMagic) return;
    delete[] record->data;
    delete record->reply;
    std::memset(record, 0, sizeof *record);
    --g_liveCommands;
}

#ifndef PLMPIPC_NO_RECEIVE_START
__declspec(dllexport) int __cdecl NIPC_ReceiveStart(uint32_t) {
    return 0;
}
#endif
__declspec(dllexport) int __cdecl NIPC_ReceiveStop(uint32_t) {
    return 0;
}

// For tests: records created and not yet freed, and handles not released.
__declspec(dllexport) int __cdecl PlmPIPC_LiveCommands() {
    return g_liveCommands.load();
}
__declspec(dllexport) int __cdecl PlmPIPC_LiveHandles() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_handles.size());
}

}  // extern "C"
