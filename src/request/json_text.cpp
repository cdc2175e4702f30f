#include "request/json_text.h"

namespace ikx {

bool ParseJsonText(const std::string& text, Json::Value& value) {
    try {
        Json::Reader reader;
        if (reader.parse(text, value, true)) return true;
    } catch (const std::exception&) {
        // Nested past the reader's stack limit, or out of memory while reading.
    }
    value = Json::Value();
    return false;
}

}  // namespace ikx
