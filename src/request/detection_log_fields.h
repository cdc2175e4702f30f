#pragma once
// The structured-log fields a detection log record must carry.
#include <cstddef>

namespace ikx {

// The first required field that `text` (read up to its first NUL; null reads
// as empty) lacks, or null for a complete record. A text that does not parse,
// nests deeper than the reader allows, or is no object lacks the first field.
// Running out of memory while parsing is no verdict: std::bad_alloc propagates.
const char* FirstMissingLogField(const char* text);

}  // namespace ikx
