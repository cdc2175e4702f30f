#include "unzip/unzip.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/links.h"
#include "platform/text.h"
#include "unzip/entry_names.h"
#include "unzip/win_file.h"
#include "unzip/zip_exceptions.h"

namespace ikx {

namespace {

constexpr char kUnzipLibrary[] = "libZipUnZipDll.dll";
constexpr uLong kEntryNameBytes = MAX_PATH + 1;
constexpr unsigned kReadChunkBytes = 16383;
constexpr uLong kDirectoryAttribute = 0x10;
static_assert(kMaxEntryPathBytes == MAX_PATH, "entry paths are Windows paths");
// What a hostile archive can make one extraction write. Deflate turns one byte
// into at most 1032 (a 258-byte match coded in two bits) and storing into one,
// so no archive whose entries hold data of their own comes near this; entries
// that share one stream (the overlapping zip bomb), or sizes that lie to a
// library that trusts them, end the extraction here.
constexpr uint64_t kMostBytesPerArchiveByte = 1032;
// The most entries a zip archive holds without zip64 records: the files one
// extraction can create, empty ones included.
constexpr uLong kMostEntries = 65535;

// True when the target folder, or anything that already exists below it on the
// way to `target`, is a reparse point: a write there would land wherever the
// link points. `folderEnd` is the position of the backslash after the folder.
bool CrossesLink(const std::string& target, size_t folderEnd) {
    for (size_t end = folderEnd; end != std::string::npos; end = target.find('\\', end + 1)) {
        const DWORD attributes = ::GetFileAttributesA(target.substr(0, end).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;  // nothing deeper exists yet
        if (IsReparsePoint(attributes)) return true;
    }
    return IsReparsePoint(::GetFileAttributesA(target.c_str()));
}

bool ArchiveBytes(const char* path, uint64_t& bytes) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

void ThrowLastError() {
    throw CWinFileException(static_cast<int32_t>(::GetLastError()));
}

// Creation and last-write time from the entry's DOS stamp (local time),
// last-access time now.
void StampEntryTime(CWinFile& file, uLong dosDate) {
    FILETIME local = {};
    FILETIME entryTime = {};
    FILETIME now = {};
    SYSTEMTIME systemNow = {};
    if (!::DosDateTimeToFileTime(HIWORD(dosDate), LOWORD(dosDate), &local)) ThrowLastError();
    if (!::LocalFileTimeToFileTime(&local, &entryTime)) ThrowLastError();
    ::GetSystemTime(&systemNow);
    if (!::SystemTimeToFileTime(&systemNow, &now)) ThrowLastError();
    file.SetTime(&entryTime, &now, &entryTime);
}

}  // namespace

int CreateDirectoryTree(const char* path) {
    if (!path) return ERROR_PATH_NOT_FOUND;
    const size_t length = std::strlen(path);
    if (length == 0 || length > MAX_PATH) return ERROR_NOT_ENOUGH_MEMORY;
    if (::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return 0;

    const std::string text(path);
    // A UNC path keeps its two leading backslashes in front of the root piece.
    const size_t rootStart = text.compare(0, 2, "\\\\") == 0 ? 2 : 0;
    size_t end = text.find('\\', rootStart);
    if (end == std::string::npos) return 0;
    std::string built = text.substr(0, end + 1);

    int result = 0;
    for (size_t start = end + 1; start < text.size(); start = end + 1) {
        end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        if (end == start) continue;  // doubled backslash: nothing to create
        built += text.substr(start, end - start) + "\\";
        result = 0;
        if (!::CreateDirectoryA(built.c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS) return static_cast<int>(error);
            result = ERROR_ALREADY_EXISTS;
        }
    }
    return result;
}

CUnzip::~CUnzip() {
    Unbind();
}

void CUnzip::CloseZip() {
    if (m_zipFile && Bound()) m_library->unzClose(m_zipFile);
    m_zipFile = nullptr;
    m_zipPath[0] = '\0';
}

void CUnzip::Unbind() {
    CloseZip();
    m_library.reset();
}

bool CUnzip::Init() {
    Unbind();
    std::string path;
    if (!m_libraryFolder.empty()) {
        path = m_libraryFolder + "\\";
    } else {
        // A name cut short, or one the ANSI code page cannot spell, would load
        // the library from another folder.
        wchar_t module[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, module, MAX_PATH - 1);
        std::string host;
        if (length == 0 || length >= MAX_PATH - 1 || !WideToAnsiExactly(module, host)) return false;
        char drive[_MAX_DRIVE] = {};
        char folder[_MAX_DIR] = {};
        if (_splitpath_s(host.c_str(), drive, _MAX_DRIVE, folder, _MAX_DIR, nullptr, 0, nullptr,
                         0) != 0) {
            return false;
        }
        path = std::string(drive) + folder;
    }
    path += kUnzipLibrary;

    // Loaded plainly: this library carries no signature to check.
    return m_library.Bind(UniqueModule(::LoadLibraryA(path.c_str())));
}

int CUnzip::OpenZip(const char* path) {
    if (!Bound() || !path) return kUnzipNotReady;
    CloseZip();
    std::string used(path);
    const char* dot = std::strrchr(path, '.');
    if (!dot || _stricmp(dot + 1, "zip") != 0) used += ".Zip";
    // The name must fit whole: cut short it would open another file.
    if (used.size() > MAX_PATH) return kUnzipNotReady;
    std::memcpy(m_zipPath, used.c_str(), used.size() + 1);
    uint64_t archiveBytes = 0;
    if (ArchiveBytes(m_zipPath, archiveBytes)) m_zipFile = m_library->unzOpen(m_zipPath);
    m_writeBudget = archiveBytes * kMostBytesPerArchiveByte;
    if (!m_zipFile) {
        m_zipPath[0] = '\0';
        return kUnzipNotReady;
    }
    return 0;
}

int CUnzip::ExtractAll(const char* folder) {
    if (!Bound() || !m_zipFile) return kUnzipNotReady;
    if (!folder || !*folder) return kUnzipNoFolder;
    unz_global_info info = {};
    int result = m_library->unzGetGlobalInfo(m_zipFile, &info);
    if (result != UNZ_OK) return result;
    if (info.number_entry > kMostEntries) throw CWinFileException(ERROR_FILE_TOO_LARGE);
    for (uLong entry = 0; entry < info.number_entry; ++entry) {
        result = ExtractCurrentFile(folder);
        if (result != UNZ_OK) return result;
        if (entry + 1 < info.number_entry) {
            result = m_library->unzGoToNextFile(m_zipFile);
            if (result != UNZ_OK) return result;
        }
    }
    return 0;
}

int CUnzip::ExtractCurrentFile(const char* folder) {
    if (!Bound() || !m_zipFile) return kUnzipNotReady;
    if (!folder || !*folder) return kUnzipNoFolder;
    unz_file_info info = {};
    char rawName[kEntryNameBytes + 1] = {};
    int result = m_library->unzGetCurrentFileInfo(m_zipFile, &info, rawName, kEntryNameBytes,
                                                  nullptr, 0, nullptr, 0);
    if (result != UNZ_OK) return result;
    // Folders come into being only as parents of files.
    if (info.external_fa & kDirectoryAttribute) return 0;
    if (info.size_filename >= kEntryNameBytes) throw CWinFileException(ERROR_FILENAME_EXCED_RANGE);

    std::string target;
    size_t folderEnd = 0;
    switch (PlaceEntry(folder, rawName, target, folderEnd)) {
        case EntryPlace::kOutside:
            return kUnzipOutsideTarget;
        case EntryPlace::kTooLong:
            throw CWinFileException(ERROR_FILENAME_EXCED_RANGE);
        case EntryPlace::kInside:
            break;
    }
    if (CrossesLink(target, folderEnd)) throw CWinFileException(kErrorReparsePointEncountered);

    const int created = CreateDirectoryTree(target.substr(0, target.rfind('\\')).c_str());
    if (created != 0) throw CWinFileException(created);

    result = m_library->unzOpenCurrentFile(m_zipFile);
    if (result != UNZ_OK) return result;
    CWinFile file;
    file.Open(target.c_str(), CREATE_ALWAYS);
    std::vector<char> chunk(kReadChunkBytes);
    int read = 0;
    while ((read = m_library->unzReadCurrentFile(m_zipFile, chunk.data(), kReadChunkBytes)) > 0) {
        const auto bytes = static_cast<uint64_t>(read);
        if (bytes > m_writeBudget) throw CWinFileException(ERROR_FILE_TOO_LARGE);
        m_writeBudget -= bytes;
        file.Write(chunk.data(), static_cast<DWORD>(read));
    }
    file.Flush();
    StampEntryTime(file, info.dosDate);
    result = m_library->unzCloseCurrentFile(m_zipFile);
    // A stream that broke off before its end passes the checksum test; its
    // read error still means the entry was not extracted.
    return result != UNZ_OK ? result : (read < 0 ? read : UNZ_OK);
}

}  // namespace ikx
