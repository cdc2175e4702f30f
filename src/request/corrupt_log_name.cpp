#include "request/corrupt_log_name.h"

namespace ikx {

std::u16string CorruptLogName(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"\\/");
    const std::u16string name = slash == std::u16string::npos ? u"\\" + path : path.substr(slash);
    return name + u".brk";
}

}  // namespace ikx
