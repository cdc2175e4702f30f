#include "request/request_text.h"

#include <cstring>

#include "request/json_text.h"

namespace ikx {

std::string RequestText(const char* request, uint32_t length) {
    if (!request || length == 0) return {};
    const void* nul = std::memchr(request, '\0', length);
    const size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - request) : length;
    return std::string(request, size);
}

std::string WholeRequestText(const char* request, uint32_t length) {
    return request ? std::string(request, length) : std::string();
}

Json::Value ParseRequest(const std::string& text) {
    Json::Value value;
    ParseJsonText(text, value);
    return value;
}

}  // namespace ikx
