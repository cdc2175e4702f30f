#pragma once
// Client end of a message-mode named pipe, written in chunks of 1024 bytes.
#include <windows.h>

#include <cstdint>

namespace ikx {

class CNamedPipeClient {
  public:
    CNamedPipeClient() = default;
    ~CNamedPipeClient() { Close(); }
    CNamedPipeClient(const CNamedPipeClient&) = delete;
    CNamedPipeClient& operator=(const CNamedPipeClient&) = delete;

    bool Connect(const wchar_t* name);
    bool Write(const void* data, uint32_t& length);
    void Close();

    static constexpr uint32_t kChunkBytes = 1024;
    static constexpr DWORD kBusyWaitMs = 20000;

  private:
    HANDLE pipe_ = nullptr;
    wchar_t path_[MAX_PATH] = {};
};

}  // namespace ikx
