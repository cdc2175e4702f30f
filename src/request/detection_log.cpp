#include "request/detection_log.h"

#include "log/log.h"
#include "request/detection_log_fields.h"

namespace ikx {

bool IsAdeLogValid(const char* text) {
    const char* missing = FirstMissingLogField(text);
    if (!missing) return true;
    LOG_WARN("Error, Lack of %s", missing);
    return false;
}

}  // namespace ikx
