#include "unzip/win_file.h"

#include "unzip/zip_exceptions.h"

namespace ikx {

namespace {
constexpr int32_t kClosedFile = -1;

[[noreturn]] void ThrowLastError() {
    throw CWinFileException(static_cast<int32_t>(::GetLastError()));
}
}  // namespace

void CWinFile::ThrowIfClosed() const {
    if (!m_file) throw CWinFileException(kClosedFile);
}

void CWinFile::Open(const char* path, DWORD creationDisposition) {
    m_file.reset();
    // No sharing: nobody reads a half-written file.
    m_file.reset(::CreateFileA(path, GENERIC_WRITE, 0, nullptr, creationDisposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file) ThrowLastError();
}

void CWinFile::Write(const void* buffer, DWORD count) {
    ThrowIfClosed();
    DWORD written = 0;
    if (!::WriteFile(m_file.get(), buffer, count, &written, nullptr) || written != count) {
        ThrowLastError();
    }
}

void CWinFile::Flush() {
    ThrowIfClosed();
    if (!::FlushFileBuffers(m_file.get())) ThrowLastError();
}

void CWinFile::SetTime(const FILETIME* creation, const FILETIME* lastAccess,
                       const FILETIME* lastWrite) {
    ThrowIfClosed();
    if (!::SetFileTime(m_file.get(), creation, lastAccess, lastWrite)) ThrowLastError();
}

}  // namespace ikx
