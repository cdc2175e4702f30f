#include "command/policy_data.h"

namespace ikx {
namespace {

int Base64Digit(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - u'a';
    if (c >= u'A' && c <= u'Z') return c - u'A' + 26;
    if (c >= u'0' && c <= u'9') return c - u'0' + 52;
    if (c == u'-') return 62;
    if (c == u'_') return 63;
    return -1;
}

}  // namespace

bool DecodePolicyText(const std::u16string& text, PolicyData& data) {
    data = PolicyData();
    if (text.empty()) return false;
    uint64_t value = 0;  // unsigned, so that overflow wraps
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        const int digit = Base64Digit(text[i]);
        if (digit < 0) {
            value = static_cast<uint64_t>(-1);
            break;
        }
        value = value * 64 + static_cast<uint64_t>(digit);
    }
    data.id = static_cast<int64_t>(value);
    data.mdrMode = (text.back() & 1) ? kMdrModeOn : kMdrModeOff;
    return true;
}

}  // namespace ikx
