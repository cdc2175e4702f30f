#include "sensor/version_text.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace ikx {
namespace {

// What the C runtime's wide scan skips before a number: Unicode's white space
// but U+0085, and U+FFFF, which it reads as the end of input and passes over.
bool IsWideSpace(char16_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000 || c == 0xFFFF;
}

// One "%d" from `at`: white space, a sign, decimal digits; a value beyond 32
// bits is held at the nearest limit, as the runtime's scan does.
bool ScanDecimal(const std::u16string& text, size_t& at, int32_t& value) {
    while (at < text.size() && IsWideSpace(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == u'-';
    if (at < text.size() && (text[at] == u'-' || text[at] == u'+')) ++at;
    const size_t digits = at;
    int64_t magnitude = 0;
    constexpr int64_t kCap = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
        if (magnitude < kCap) magnitude = magnitude * 10 + (text[at] - u'0');
    }
    if (at == digits) return false;
    if (magnitude > kCap) magnitude = kCap;
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > std::numeric_limits<int32_t>::max()) {
        value = std::numeric_limits<int32_t>::max();
    } else {
        value = static_cast<int32_t>(signedValue);
    }
    return true;
}

}  // namespace

VersionFields ParseVersionFields(const std::u16string& text) {
    VersionFields version;
    size_t at = 0;
    for (int32_t& part : version.part) {
        if (version.fields > 0) {
            if (at >= text.size() || text[at] != u'.') break;
            ++at;
        }
        if (!ScanDecimal(text, at, part)) break;
        ++version.fields;
    }
    return version;
}

NumberText ParseUnsigned32(const std::string& text, int base, uint32_t& value) {
    value = 0;
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(start, &end, base);
    if (end == start) return NumberText::kNoDigits;
    if (errno == ERANGE || number > 0xFFFFFFFFull) return NumberText::kOutOfRange;
    value = static_cast<uint32_t>(number);
    return NumberText::kValid;
}

std::string VersionWithoutDots(const std::string& version) {
    std::string digits;
    for (char c : version) {
        if (c != '.') digits += c;
    }
    return digits;
}

std::string NotifiedVersionDigits(const std::string& version) {
    return version.substr(0, version.find(' '));
}

}  // namespace ikx
