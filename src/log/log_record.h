#pragma once
// The log record as it goes over the pipe: UTF-16 fields joined by tabs,
// "LOG_WRITE", time, process, thread, level, module file, line, text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ikx {

// The fields of one record; the two texts are the caller's, read up to their
// first NUL.
struct LogRecord {
    int32_t time = 0;  // seconds since 1970, cut to 32 bits
    uint32_t processId = 0;
    uint32_t threadId = 0;
    int level = 0;  // sent as its low byte, signed
    std::u16string_view file;
    int32_t line = 0;
    std::u16string_view text;
};

// Bytes of the text field's buffer; the text itself is at most two fewer.
constexpr size_t kLogTextBytes = 8192;

// "[-iKXClient-][tag][function]message", a null part as empty, cut short at
// kLogTextBytes - 2 bytes as the bounded format leaves it; written into
// `out` with its NUL, and its length returned.
size_t LogRecordText(const char* tag, const char* function, const char* message,
                     char (&out)[kLogTextBytes]);
std::string LogRecordText(const char* tag, const char* function, const char* message);

// The record without its terminating NUL; a field ends at its first NUL.
std::u16string EncodeLogRecord(const LogRecord& record);

}  // namespace ikx
