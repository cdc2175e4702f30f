// Detection log intake: one log file per call is read whole, validated, and
// either handed to the framework or moved aside so it is not offered again.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "request/corrupt_log_name.h"
#include "request/detection_log.h"
#include "sensor/sensor_registry.h"
#include "entry/exports.h"
#include "entry/lifecycle.h"
#include "log/log.h"
#include "platform/handles.h"
#include "platform/text.h"

namespace ikx {
namespace {

constexpr char kParseLog[] = "vornExt_ParseLog";
constexpr wchar_t kLogTypeName[] = L"VORN_IPRODUCT_DETECTION_LOG";
constexpr wchar_t kCorruptFolder[] = L"temp\\Corrupt\\";
// Replace an earlier file of the same name; the move is done when the call returns.
constexpr DWORD kCorruptMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// Largest buffer handed back: the length goes back as a u32, with one byte more
// (this also stays below SIZE_MAX of a 32-bit build).
constexpr uint64_t kMaxLogBuffer = UINT32_MAX - 1;
// Room past the size first seen, so that reaching the end of a file that did
// not change takes no reallocation.
constexpr uint64_t kReadSlack = 4096;
// The most one ReadFile call is asked for; keeps the DWORD count in range.
constexpr size_t kMaxReadChunk = size_t{1} << 30;

struct FreeDeleter {
    void operator()(char* bytes) const { std::free(bytes); }
};
// From the allocator vornExt_Free gives memory back to.
using LogBuffer = std::unique_ptr<char, FreeDeleter>;

struct LogText {
    LogBuffer bytes;  // length + 1 bytes, the last one NUL
    size_t length = 0;
};

// Every file call takes the caller's UTF-16 path as it is: an ANSI copy would
// lose characters outside the code page and leave such a log unreadable for
// good.
//
// The file must exist and may be read and written (access mode 6), which
// turns away read-only files. Opening it for both as well turns away a folder
// and a file the sensor still holds open for writing: all are left for a later
// call. Sharing everything ourselves keeps the sensor's own opens working.
UniqueFile OpenLog(const wchar_t* path) {
    if (_waccess(path, 6) != 0) return UniqueFile();
    return UniqueFile(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool Reserve(LogText& text, uint64_t capacity) {
    char* grown = static_cast<char*>(std::realloc(text.bytes.get(), static_cast<size_t>(capacity)));
    if (!grown) return false;
    // realloc has taken the old block over: ours to give up, not to free.
    text.bytes.release();  // NOLINT(bugprone-unused-return-value)
    text.bytes.reset(grown);
    return true;
}

// Everything up to the end of the file, also when it grows or shrinks while
// it is read. False when it cannot be read or does not fit in memory.
bool ReadWholeLog(HANDLE file, LogText& text) {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size)) return false;
    const uint64_t seen = static_cast<uint64_t>(size.QuadPart);
    if (seen >= kMaxLogBuffer) return false;
    uint64_t capacity = std::min(seen + 1 + kReadSlack, kMaxLogBuffer);
    if (!Reserve(text, capacity)) return false;
    for (;;) {
        if (text.length + 1 == capacity) {  // full, and the file may go on
            if (capacity == kMaxLogBuffer) return false;
            capacity = std::min(capacity + std::max(capacity / 2, kReadSlack), kMaxLogBuffer);
            if (!Reserve(text, capacity)) return false;
        }
        const DWORD chunk =
            static_cast<DWORD>(std::min<uint64_t>(capacity - 1 - text.length, kMaxReadChunk));
        DWORD got = 0;
        if (!::ReadFile(file, text.bytes.get() + text.length, chunk, &got, nullptr)) return false;
        text.length += got;
        if (got < chunk) break;  // a short read of a disk file is its end
    }
    text.bytes.get()[text.length] = '\0';
    return true;
}

// Install folder + "temp\Corrupt\" + the name the log keeps there.
std::wstring CorruptLogDestination(const std::wstring& path) {
    std::wstring folder;
    // No folder, no destination: the move then fails and the file is deleted,
    // never moved relative to the working folder.
    if (!GetKxInstallFolder(folder)) return std::wstring();
    return folder + kCorruptFolder + WideOf(CorruptLogName(Utf16Of(path)));
}

void MoveAsideCorruptLog(const std::wstring& path) {
    const std::wstring destination = CorruptLogDestination(path);
    LOG_TRACE_AS(kParseLog, "Moving file from %ws to %ws", path.c_str(), destination.c_str());
    if (::MoveFileExW(path.c_str(), destination.c_str(), kCorruptMoveFlags)) return;
    LOG_WARN_AS(kParseLog, "Failure on moving file from %ws to %ws. Delete broken file directly.",
                path.c_str(), destination.c_str());
    ::DeleteFileW(path.c_str());
}

// "%s" formatting bounded by the caller's capacity; a capacity of 0 gets nothing.
void WriteTypeName(wchar_t* typeName, uint32_t capacity) {
    if (!typeName || capacity == 0) return;
    _snwprintf_s(typeName, capacity, _TRUNCATE, L"%ls", kLogTypeName);
}

// Outputs go only where the caller gave somewhere to put them; a buffer that
// cannot be handed over is released here.
void HandOver(LogText& text, uint32_t typeNameCapacity, wchar_t* typeName, char** data,
              uint32_t* dataLength) {
    if (data) *data = text.bytes.release();
    if (dataLength) *dataLength = static_cast<uint32_t>(text.length);
    WriteTypeName(typeName, typeNameCapacity);
    LOG_TRACE_AS(kParseLog, "strTemp.length = %d", static_cast<int>(text.length));
}

enum class Verdict { kUnreadable, kValid, kInvalid };

// The file is closed again before it is moved.
Verdict ReadAndValidate(const wchar_t* path, LogText& text) {
    try {
        const UniqueFile file = OpenLog(path);
        if (!file || !ReadWholeLog(file.get(), text)) return Verdict::kUnreadable;
        return IsAdeLogValid(text.bytes.get()) ? Verdict::kValid : Verdict::kInvalid;
    } catch (const std::bad_alloc&) {
        // Too large to hold or to parse: not a verdict on the record.
        return Verdict::kUnreadable;
    }
}

int32_t ParseLogFile(const wchar_t* path, uint32_t typeNameCapacity, wchar_t* typeName, char** data,
                     uint32_t* dataLength) {
    LogText text;
    switch (ReadAndValidate(path, text)) {
        case Verdict::kUnreadable:
            LOG_WARN_AS(kParseLog, "[%ws] Failure on opening the log", path);
            return exports::kParseLogUnreadable;
        case Verdict::kValid:
            HandOver(text, typeNameCapacity, typeName, data, dataLength);
            return 0;
        case Verdict::kInvalid:
            break;
    }
    LOG_WARN_AS(kParseLog, "[%ws] Fail to validate log.", path);
    MoveAsideCorruptLog(path);
    return exports::kParseLogInvalid;
}

}  // namespace

namespace exports {

int32_t vornExt_ParseLog(const wchar_t* logPath, uint32_t typeNameCapacity, wchar_t* typeName,
                         char** data, uint32_t* dataLength) {
    if (!PassesCommonGate(__func__)) return 0;
    LOG_TRACE(">>>");
    const int32_t result =
        ParseLogFile(logPath ? logPath : L"", typeNameCapacity, typeName, data, dataLength);
    LOG_TRACE("<<<");
    return result;
}

}  // namespace exports
}  // namespace ikx
