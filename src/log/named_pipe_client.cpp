#include "log/named_pipe_client.h"

#include <cstring>
#include <cwchar>

namespace ikx {

bool CNamedPipeClient::Connect(const wchar_t* name) {
    Close();
    _snwprintf_s(path_, MAX_PATH, _TRUNCATE, L"\\\\.\\pipe\\%ls", name ? name : L"");
    HANDLE pipe = ::CreateFileW(path_, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    while (pipe == INVALID_HANDLE_VALUE) {
        if (::GetLastError() != ERROR_PIPE_BUSY) return false;
        // Not scaled in tests: the wait ends as soon as an instance is free.
        if (!::WaitNamedPipeW(path_, kBusyWaitMs)) return false;
        pipe = ::CreateFileW(path_, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    pipe_ = pipe;
    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr) != FALSE;
}

bool CNamedPipeClient::Write(const void* data, uint32_t& length) {
    if (length == 0) return true;
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint32_t total = 0;
    unsigned char chunk[kChunkBytes];
    while (total < length) {
        const uint32_t size = (length - total < kChunkBytes) ? length - total : kChunkBytes;
        std::memcpy(chunk, bytes + total, size);
        DWORD written = 0;
        if (::WriteFile(pipe_, chunk, size, &written, nullptr)) {
            total += written;
        } else if (::GetLastError() != ERROR_NO_SYSTEM_RESOURCES) {
            return false;
        }
    }
    length = total;
    return true;
}

void CNamedPipeClient::Close() {
    if (pipe_ && pipe_ != INVALID_HANDLE_VALUE) ::CloseHandle(pipe_);
    pipe_ = nullptr;
}

}  // namespace ikx
