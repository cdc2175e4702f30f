#pragma once
// Detection log records as the sensor writes them (one JSON object per file),
// and the broken files a collector meets: missing fields, extra members, a
// NUL after the object, text that is not JSON, empty and very large files.
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace detlog {

// The structured-log fields every record carries, in the sensor's order.
const std::vector<std::string>& RequiredFields();

struct RecordShape {
    size_t bytes = 0;               // exact file size; 0 for the natural size
    std::vector<std::string> omit;  // required fields left out
    bool extraMembers = false;      // members beyond the required ones
    unsigned seed = 1;              // varies the values
};
// A record; the detected objects are repeated until `bytes` is reached.
std::string Record(const RecordShape& shape = {});

struct Sample {
    std::string name;   // file name
    std::string bytes;  // file content
    bool valid;         // a complete record the framework should get
};
// One file of each kind, the large one of `largeBytes`.
std::vector<Sample> MixedSamples(size_t largeBytes = 8u << 20);
// A record without each required field in turn.
std::vector<Sample> EachFieldMissing();

// One random change: byte damage (flip, cut, insert, drop, NUL) or a
// structural one (a field renamed or duplicated, the object wrapped).
std::string Mutate(const std::string& record, std::mt19937& random);

// Judged on its own: the text up to its first NUL parses as a JSON object
// that carries every required field.
bool IsCompleteRecord(const std::string& bytes);

bool WriteBytes(const std::wstring& path, const std::string& bytes);
// A file of `bytes` bytes that takes no disk space, for sizes no record reaches.
bool WriteSparse(const std::wstring& path, uint64_t bytes);

}  // namespace detlog
