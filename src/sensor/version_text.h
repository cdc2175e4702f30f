#pragma once
// Version texts as the registry and the notifications carry them, read as
// numbers and compared.
#include <cstdint>
#include <string>

namespace ikx {

// A "major.minor.build" value: `fields` counts the leading parts read (0 to
// 3), each an optionally signed decimal after optional white space, as
// "%d.%d.%d" reads it. Parts not read stay 0.
struct VersionFields {
    int fields = 0;
    int32_t part[3] = {};
};
VersionFields ParseVersionFields(const std::u16string& text);

enum class NumberText { kValid, kNoDigits, kOutOfRange };
// `text` as an unsigned 32-bit number in `base` (2 to 36, or 0 for C's
// prefixes), as strtoull reads it: leading white space, a sign and, for base
// 16, "0x" allowed. `value` is 0 unless kValid.
NumberText ParseUnsigned32(const std::string& text, int base, uint32_t& value);

// Removes every "." from a version text (1.234.00 -> 123400): how a
// component's registry version compares with a notified one.
std::string VersionWithoutDots(const std::string& version);
// What comes before the first blank of a notified version ("1745301 (build 12)").
std::string NotifiedVersionDigits(const std::string& version);
// A notified component version replaces the installed one only when greater.
inline bool IsNewerComponentVersion(uint32_t installed, uint32_t notified) {
    return notified > installed;
}

}  // namespace ikx
