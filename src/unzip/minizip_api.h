#pragma once
// The published minizip unzip interface, as libZipUnZipDll.dll offers it. The
// library is bound by name at run time, so only its types and the table of
// its entry points are declared here.
// minizip's uLong is `unsigned long`: 32 bits on Windows in both builds, which
// the record layouts below depend on.
#include <cstdint>

#include "platform/bound_library.h"

namespace ikx {

using unzFile = void*;
using uLong = unsigned long;
static_assert(sizeof(uLong) == 4, "minizip records use 32-bit uLong on Windows");

constexpr int UNZ_OK = 0;
constexpr int UNZ_END_OF_LIST_OF_FILE = -100;

struct tm_unz {
    int tm_sec;
    int tm_min;
    int tm_hour;
    int tm_mday;
    int tm_mon;
    int tm_year;
};

struct unz_global_info {
    uLong number_entry;
    uLong size_comment;
};

struct unz_file_info {
    uLong version;
    uLong version_needed;
    uLong flag;
    uLong compression_method;
    uLong dosDate;
    uLong crc;
    uLong compressed_size;
    uLong uncompressed_size;
    uLong size_filename;
    uLong size_file_extra;
    uLong size_file_comment;
    uLong disk_num_start;
    uLong internal_fa;
    uLong external_fa;
    tm_unz tmu_date;
};
static_assert(sizeof(unz_file_info) == 14 * 4 + 6 * 4, "unz_file_info layout");

using unzOpenFn = unzFile (*)(const char* path);
using unzCloseFn = int (*)(unzFile file);
using unzGetGlobalInfoFn = int (*)(unzFile file, unz_global_info* info);
using unzGoToNextFileFn = int (*)(unzFile file);
using unzLocateFileFn = int (*)(unzFile file, const char* name, int caseSensitivity);
using unzGetCurrentFileInfoFn = int (*)(unzFile file, unz_file_info* info, char* name,
                                        uLong nameSize, void* extra, uLong extraSize, char* comment,
                                        uLong commentSize);
using unzOpenCurrentFileFn = int (*)(unzFile file);
using unzReadCurrentFileFn = int (*)(unzFile file, void* buffer, unsigned length);
using unzCloseCurrentFileFn = int (*)(unzFile file);

// The nine functions the extraction calls, all required.
struct MinizipEntryPoints {
    unzOpenFn unzOpen = nullptr;
    unzCloseFn unzClose = nullptr;
    unzGetGlobalInfoFn unzGetGlobalInfo = nullptr;
    unzGoToNextFileFn unzGoToNextFile = nullptr;
    unzLocateFileFn unzLocateFile = nullptr;
    unzGetCurrentFileInfoFn unzGetCurrentFileInfo = nullptr;
    unzOpenCurrentFileFn unzOpenCurrentFile = nullptr;
    unzReadCurrentFileFn unzReadCurrentFile = nullptr;
    unzCloseCurrentFileFn unzCloseCurrentFile = nullptr;

    void Resolve(ExportLookup& find) {
        find(unzOpen, "unzOpen");
        find(unzClose, "unzClose");
        find(unzGetGlobalInfo, "unzGetGlobalInfo");
        find(unzGoToNextFile, "unzGoToNextFile");
        find(unzLocateFile, "unzLocateFile");
        find(unzGetCurrentFileInfo, "unzGetCurrentFileInfo");
        find(unzOpenCurrentFile, "unzOpenCurrentFile");
        find(unzReadCurrentFile, "unzReadCurrentFile");
        find(unzCloseCurrentFile, "unzCloseCurrentFile");
    }
};

}  // namespace ikx
