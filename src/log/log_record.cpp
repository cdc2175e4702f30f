#include "log/log_record.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "log/cmd_protocol.h"

namespace ikx {

size_t LogRecordText(const char* tag, const char* function, const char* message,
                     char (&out)[kLogTextBytes]) {
    constexpr size_t kMost = kLogTextBytes - 2;
    size_t length = 0;
    for (const char* part : {"[-iKXClient-][", tag, "][", function, "]", message}) {
        if (!part) continue;
        const size_t size = std::min(std::strlen(part), kMost - length);
        std::memcpy(out + length, part, size);
        length += size;
    }
    out[length] = '\0';
    return length;
}

std::string LogRecordText(const char* tag, const char* function, const char* message) {
    char text[kLogTextBytes];
    return std::string(text, LogRecordText(tag, function, message, text));
}

std::u16string EncodeLogRecord(const LogRecord& record) {
    CCmdProtocol fields(u"\t", 1024);
    fields.Append(u"LOG_WRITE")
        .Append(record.time)
        .Append(record.processId)
        .Append(record.threadId)
        .Append(static_cast<int32_t>(static_cast<signed char>(record.level)))
        .Append(record.file)
        .Append(record.line)
        .Append(record.text);
    return fields.TakeText();
}

}  // namespace ikx
