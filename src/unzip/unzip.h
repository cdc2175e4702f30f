#pragma once
// Walks a zip archive through libZipUnZipDll.dll, bound at run time from the
// host executable's folder, and writes its entries below a target folder.
// Minizip errors are results; errors of the written files are exceptions.
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/bound_library.h"
#include "unzip/minizip_api.h"

namespace ikx {

constexpr int kUnzipNotReady = -1;         // library not bound or no archive open
constexpr int kUnzipNoFolder = -102;       // no target folder given
constexpr int kUnzipOutsideTarget = -103;  // entry name would leave the target folder

// Creates every missing folder of `path`: 0 or a Windows error code.
int CreateDirectoryTree(const char* path);

class CUnzip {
  public:
    CUnzip() = default;
    virtual ~CUnzip();
    CUnzip(const CUnzip&) = delete;
    CUnzip& operator=(const CUnzip&) = delete;

    // Load the library from this folder instead of the host executable's.
    void SetLibraryFolder(const char* folder) { m_libraryFolder = folder ? folder : ""; }

    bool Init();
    int OpenZip(const char* path);
    int ExtractAll(const char* folder);
    int ExtractCurrentFile(const char* folder);

  private:
    bool Bound() const { return m_library.bound(); }
    void CloseZip();
    void Unbind();

    unzFile m_zipFile = nullptr;
    char m_zipPath[MAX_PATH + 1] = {};
    uint64_t m_writeBudget = 0;  // bytes the open archive may still have written
    BoundLibrary<MinizipEntryPoints> m_library;
    std::string m_libraryFolder;
};

}  // namespace ikx
