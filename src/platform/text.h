#pragma once
// Conversions between 8-bit and UTF-16 text. Every caller names its code page:
// 65001 for JSON values, 0 (ANSI) for paths and registry text.
#include <algorithm>
#include <string>

namespace ikx {

constexpr unsigned kCodePageAnsi = 0;
constexpr unsigned kCodePageUtf8 = 65001;

// Empty when the conversion fails.
std::wstring MultiByteToWide(const char* text, unsigned codePage);
inline std::wstring MultiByteToWide(const std::string& text, unsigned codePage) {
    return MultiByteToWide(text.c_str(), codePage);
}

// Bytes written including the terminator; 0 on failure (out is then empty).
int WideToMultiByte(const wchar_t* text, std::string& out, unsigned codePage);
inline std::string WideToMultiByte(const std::wstring& text, unsigned codePage) {
    std::string out;
    WideToMultiByte(text.c_str(), out, codePage);
    return out;
}

// The exact ANSI form of a path for the 8-bit calls. False where a character
// has none: Windows would put "?" or a look-alike ("A" for U+0100) in its
// place, which names another file.
bool WideToAnsiExactly(const std::wstring& text, std::string& out);

// 8-bit text of the ANSI code page (registry values read with the 8-bit
// calls) as the same characters in UTF-8, as every JSON answer carries them.
// ASCII reads the same in every ANSI code page and in UTF-8, and versions and
// GUIDs are ASCII: they are taken as they are, without two conversions.
inline std::string AnsiToUtf8(const std::string& text) {
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? text : WideToMultiByte(MultiByteToWide(text, kCodePageAnsi), kCodePageUtf8);
}

// The same UTF-16 units as the pure rules take them (char16_t) and as the
// Win32 calls take them (wchar_t, 16 bits on Windows). A null pointer is
// empty text.
std::u16string Utf16Of(const wchar_t* text);
inline std::u16string Utf16Of(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}
std::wstring WideOf(const std::u16string& text);

// Overwrites the characters of a string that held a secret, before it is freed.
void WipeText(std::wstring& text);

}  // namespace ikx
