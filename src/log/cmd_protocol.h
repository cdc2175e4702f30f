#pragma once
// Builds the text of one log record: fields joined by a separator.
#include <cstdint>
#include <string>

namespace ikx {

class CCmdProtocol {
  public:
    CCmdProtocol(const wchar_t* separator, size_t reserve);
    virtual ~CCmdProtocol() = default;

    CCmdProtocol& Append(const wchar_t* text);
    CCmdProtocol& Append(int32_t value);
    CCmdProtocol& Append(uint32_t value);

    const std::wstring& Text() const { return buffer_; }

  private:
    std::wstring separator_;
    std::wstring buffer_;
    bool firstField_ = true;
};

}  // namespace ikx
