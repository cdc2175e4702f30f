#include "common/text.h"

#include <windows.h>

namespace ikx {

std::wstring MultiByteToWide(const char* text, unsigned codePage) {
    if (!text) return {};
    const int units = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (units <= 0) return {};
    std::wstring out(static_cast<size_t>(units), L'\0');
    if (::MultiByteToWideChar(codePage, 0, text, -1, &out[0], units) <= 0) return {};
    out.resize(static_cast<size_t>(units) - 1);
    return out;
}

int WideToMultiByte(const wchar_t* text, std::string& out, unsigned codePage) {
    out.clear();
    if (!text) return 0;
    const int bytes = ::WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return 0;
    out.assign(static_cast<size_t>(bytes), '\0');
    if (::WideCharToMultiByte(codePage, 0, text, -1, &out[0], bytes, nullptr, nullptr) <= 0) {
        out.clear();
        return 0;
    }
    out.resize(static_cast<size_t>(bytes) - 1);
    return bytes;
}

}  // namespace ikx
