#include "platform/text.h"

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

bool WideToAnsiExactly(const std::wstring& text, std::string& out) {
    // A UTF-8 code page converts every character and takes neither check.
    if (::GetACP() == CP_UTF8) return WideToMultiByte(text.c_str(), out, CP_UTF8) != 0;
    out.clear();
    BOOL lossy = FALSE;
    const int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr,
                                            0, nullptr, &lossy);
    if (bytes <= 0 || lossy) return false;
    out.assign(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, &out[0], bytes, nullptr,
                          nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return true;
}

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units are 16 bits on Windows");

std::u16string Utf16Of(const wchar_t* text) {
    if (!text) return {};
    std::u16string out;
    for (; *text; ++text) out += static_cast<char16_t>(*text);
    return out;
}

std::wstring WideOf(const std::u16string& text) {
    return std::wstring(text.begin(), text.end());
}

void WipeText(std::wstring& text) {
    if (!text.empty()) ::SecureZeroMemory(&text[0], text.size() * sizeof(wchar_t));
}

}  // namespace ikx
