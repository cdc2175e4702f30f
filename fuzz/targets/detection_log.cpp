// A detection log file's bytes: the validator's verdict must be the testbed
// generator's own (a complete record or not).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "detection_logs.h"
#include "request/detection_log_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const bool complete = ikx::FirstMissingLogField(bytes.c_str()) == nullptr;
    if (complete != detlog::IsCompleteRecord(bytes)) std::abort();
    return 0;
}
