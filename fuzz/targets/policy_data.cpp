// Policy data text (UTF-16LE units): the id in base 64 and the MDR parity.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "command/policy_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text;
    for (size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    ikx::PolicyData policy;
    const bool decoded = ikx::DecodePolicyText(text, policy);
    if (decoded == text.empty()) std::abort();
    if (!decoded && (policy.id != -1 || policy.mdrMode != ikx::kMdrModeOff)) std::abort();
    if (decoded && policy.mdrMode != ((text.back() & 1) ? ikx::kMdrModeOn : ikx::kMdrModeOff)) {
        std::abort();
    }
    return 0;
}
