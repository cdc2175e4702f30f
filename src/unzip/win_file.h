#pragma once
// A write handle for one extracted file. Every failure throws
// CWinFileException; the handle is closed by the owner whatever happens.
#include <windows.h>

#include "platform/handles.h"

namespace ikx {

class CWinFile {
  public:
    CWinFile() = default;
    virtual ~CWinFile() = default;
    CWinFile(const CWinFile&) = delete;
    CWinFile& operator=(const CWinFile&) = delete;

    void Open(const char* path, DWORD creationDisposition);
    void Write(const void* buffer, DWORD count);
    void Flush();
    void SetTime(const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
    void Close() { m_file.reset(); }
    bool IsOpen() const { return m_file.valid(); }

  private:
    void ThrowIfClosed() const;
    UniqueFile m_file;
};

}  // namespace ikx
