// The path of a broken detection log (UTF-16LE units): the name it keeps in
// the Corrupt folder holds no separator past its first unit.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "request/corrupt_log_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string path;
    for (size_t i = 0; i + 1 < size; i += 2) {
        path += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    const std::u16string name = ikx::CorruptLogName(path);
    if (name.size() < 5 || (name[0] != u'\\' && name[0] != u'/')) std::abort();
    if (name.find_first_of(u"\\/", 1) != std::u16string::npos) std::abort();
    if (name.compare(name.size() - 4, 4, u".brk") != 0) std::abort();
    return 0;
}
