// The log record encoder: what it writes reads back field by field, and the
// text field is the bounded format of its parts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "log/log_record.h"

namespace {

std::u16string Units(FuzzedDataProvider& input, size_t most) {
    std::u16string text;
    const size_t count = input.ConsumeIntegralInRange<size_t>(0, most);
    for (size_t i = 0; i < count && input.remaining_bytes() >= 2; ++i) {
        const char16_t unit = input.ConsumeIntegral<char16_t>();
        if (unit == 0) break;  // a field ends at its first NUL
        text += unit;
    }
    return text;
}

std::u16string Decimal(long long value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    ikx::LogRecord record;
    record.time = input.ConsumeIntegral<int32_t>();
    record.processId = input.ConsumeIntegral<uint32_t>();
    record.threadId = input.ConsumeIntegral<uint32_t>();
    record.level = input.ConsumeIntegral<int>();
    record.line = input.ConsumeIntegral<int32_t>();
    // Module file names are the build's own and hold no tab.
    std::u16string file;
    for (char16_t unit : Units(input, 64)) {
        if (unit != u'\t') file += unit;
    }
    record.file = file;
    const std::string tag = input.ConsumeRandomLengthString(64);
    const std::string function = input.ConsumeRandomLengthString(256);
    const std::string message = input.ConsumeRandomLengthString(ikx::kLogTextBytes * 2);
    const std::string text = ikx::LogRecordText(tag.c_str(), function.c_str(), message.c_str());
    const std::string whole = "[-iKXClient-][" + std::string(tag.c_str()) + "][" +
                              function.c_str() + "]" + message.c_str();
    if (text.size() > ikx::kLogTextBytes - 2 || whole.compare(0, text.size(), text) != 0) {
        std::abort();
    }
    const std::u16string recordText = Units(input, 4096);
    record.text = recordText;

    const std::u16string encoded = ikx::EncodeLogRecord(record);
    const std::vector<std::u16string> expected = {u"LOG_WRITE",
                                                  Decimal(record.time),
                                                  Decimal(record.processId),
                                                  Decimal(record.threadId),
                                                  Decimal(static_cast<signed char>(record.level)),
                                                  file,
                                                  Decimal(record.line)};
    size_t start = 0;
    for (const std::u16string& field : expected) {
        const size_t tab = encoded.find(u'\t', start);
        if (tab == std::u16string::npos || encoded.compare(start, tab - start, field) != 0) {
            std::abort();
        }
        start = tab + 1;
    }
    if (encoded.compare(start, std::u16string::npos, recordText) != 0) std::abort();
    return 0;
}
