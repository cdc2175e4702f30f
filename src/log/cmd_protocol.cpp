#include "log/cmd_protocol.h"

namespace ikx {
namespace {

// Room for the decimal text of any 32-bit integer, sign included.
constexpr size_t kDecimalUnits = 11;

// The decimal text of `value`, written backwards from the end of `units`.
std::u16string_view DecimalText(long long value, char16_t (&units)[kDecimalUnits]) {
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    size_t start = kDecimalUnits;
    do {
        units[--start] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) units[--start] = u'-';
    return {units + start, kDecimalUnits - start};
}

}  // namespace

CCmdProtocol::CCmdProtocol(const char16_t* separator, size_t reserve) : separator_(separator) {
    buffer_.reserve(reserve);
}

CCmdProtocol& CCmdProtocol::Append(std::u16string_view text) {
    text = text.substr(0, text.find(u'\0'));
    if (buffer_.capacity() - buffer_.size() < separator_.size() + text.size()) {
        buffer_.reserve(buffer_.capacity() * 2);
    }
    if (firstField_) {
        firstField_ = false;
    } else {
        buffer_ += separator_;
    }
    buffer_ += text;
    return *this;
}

CCmdProtocol& CCmdProtocol::Append(const char16_t* text) {
    return Append(text ? std::u16string_view(text) : std::u16string_view());
}

CCmdProtocol& CCmdProtocol::Append(int32_t value) {
    char16_t units[kDecimalUnits];
    return Append(DecimalText(value, units));
}

CCmdProtocol& CCmdProtocol::Append(uint32_t value) {
    char16_t units[kDecimalUnits];
    return Append(DecimalText(value, units));
}

}  // namespace ikx
