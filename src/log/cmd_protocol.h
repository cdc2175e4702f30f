#pragma once
// Builds the text of one log record: fields joined by a separator.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace ikx {

class CCmdProtocol {
  public:
    CCmdProtocol(const char16_t* separator, size_t reserve);
    virtual ~CCmdProtocol() = default;

    // A field ends at its first NUL; null is an empty field.
    CCmdProtocol& Append(std::u16string_view text);
    CCmdProtocol& Append(const char16_t* text);
    CCmdProtocol& Append(int32_t value);
    CCmdProtocol& Append(uint32_t value);

    const std::u16string& Text() const { return buffer_; }
    // The text, handed over without a copy; the object is left empty.
    std::u16string TakeText() { return std::move(buffer_); }

  private:
    std::u16string separator_;
    std::u16string buffer_;
    bool firstField_ = true;
};

}  // namespace ikx
