#include "log/cmd_protocol.h"

#include <cwchar>

namespace ikx {

CCmdProtocol::CCmdProtocol(const wchar_t* separator, size_t reserve) : separator_(separator) {
    buffer_.reserve(reserve);
}

CCmdProtocol& CCmdProtocol::Append(const wchar_t* text) {
    const size_t length = text ? std::wcslen(text) : 0;
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
    return Append(std::to_wstring(value).c_str());
}

CCmdProtocol& CCmdProtocol::Append(uint32_t value) {
    return Append(std::to_wstring(value).c_str());
}

}  // namespace ikx
