// Version texts: the registry's "major.minor.build" (UTF-16LE units) and the
// component numbers of the registry and of notifications (8-bit text).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sensor/version_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string wide;
    for (size_t i = 0; i + 1 < size; i += 2) {
        wide += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    const ikx::VersionFields version = ikx::ParseVersionFields(wide);
    if (version.fields < 0 || version.fields > 3) std::abort();
    for (int i = version.fields; i < 3; ++i) {
        if (version.part[i] != 0) std::abort();
    }

    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string digits = ikx::VersionWithoutDots(text);
    if (digits.find('.') != std::string::npos) std::abort();
    const std::string word = ikx::NotifiedVersionDigits(text);
    if (word.find(' ') != std::string::npos || text.compare(0, word.size(), word) != 0) {
        std::abort();
    }
    for (int base : {0, 10, 16}) {
        uint32_t value = 1;
        const ikx::NumberText verdict = ikx::ParseUnsigned32(digits, base, value);
        if (verdict != ikx::NumberText::kValid && value != 0) std::abort();
    }
    uint32_t installed = 0, notified = 0;
    ikx::ParseUnsigned32(digits, 10, installed);
    ikx::ParseUnsigned32(word, 10, notified);
    if (ikx::IsNewerComponentVersion(installed, notified) &&
        ikx::IsNewerComponentVersion(notified, installed)) {
        std::abort();
    }
    return 0;
}
