#pragma once
// Validation of the sensor's detection log records.

namespace ikx {

// True when `text`, read up to its first NUL byte and parsed as JSON, is an
// object carrying every required structured-log field. Logs the first missing
// field. Running out of memory while parsing is not a verdict on the record:
// std::bad_alloc propagates to the caller.
bool IsAdeLogValid(const char* text);

}  // namespace ikx
