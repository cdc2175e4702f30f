#include "log/log_record.h"

#include "log/cmd_protocol.h"

namespace ikx {

std::string LogRecordText(const char* tag, const char* function, const char* message) {
    std::string text = "[-iKXClient-][";
    text += tag ? tag : "";
    text += "][";
    text += function ? function : "";
    text += "]";
    text += message ? message : "";
    if (text.size() > kLogTextBytes - 2) text.resize(kLogTextBytes - 2);
    return text;
}

std::u16string EncodeLogRecord(const LogRecord& record) {
    CCmdProtocol fields(u"\t", 1024);
    fields.Append(u"LOG_WRITE")
        .Append(record.time)
        .Append(record.processId)
        .Append(record.threadId)
        .Append(static_cast<int32_t>(static_cast<signed char>(record.level)))
        .Append(record.file.c_str())
        .Append(record.line)
        .Append(record.text.c_str());
    return fields.Text();
}

}  // namespace ikx
