#pragma once
// The agent policy's data text: its policy id and the MDR mode it asks for.
#include <cstdint>
#include <string>

namespace ikx {

constexpr int kMdrModeOn = 1;
constexpr int kMdrModeOff = 2;

struct PolicyData {
    int64_t id = -1;
    int mdrMode = kMdrModeOff;
};

// All UTF-16 units but the last are the policy id in base 64 (a-z 0..25,
// A-Z 26..51, 0-9 52..61, '-' 62, '_' 63; the value wraps at 64 bits; -1 when
// one is no digit); the last unit's parity is the MDR mode. False, with id -1
// and mode off, for an empty text.
bool DecodePolicyText(const std::u16string& text, PolicyData& data);

}  // namespace ikx
