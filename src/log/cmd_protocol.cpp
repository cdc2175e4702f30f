#include "log/cmd_protocol.h"

namespace ikx {
namespace {

std::u16string DecimalText(long long value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace

CCmdProtocol::CCmdProtocol(const char16_t* separator, size_t reserve) : separator_(separator) {
    buffer_.reserve(reserve);
}

CCmdProtocol& CCmdProtocol::Append(const char16_t* text) {
    const size_t length = text ? std::char_traits<char16_t>::length(text) : 0;
    if (buffer_.capacity() - buffer_.size() < separator_.size() + length) {
        buffer_.reserve(buffer_.capacity() * 2);
    }
    if (firstField_) {
        firstField_ = false;
    } else {
        buffer_ += separator_;
    }
    if (length) buffer_.append(text, length);
    return *this;
}

CCmdProtocol& CCmdProtocol::Append(int32_t value) {
    return Append(DecimalText(value).c_str());
}

CCmdProtocol& CCmdProtocol::Append(uint32_t value) {
    return Append(DecimalText(value).c_str());
}

}  // namespace ikx
