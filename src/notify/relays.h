#pragma once
// The one relay that carries a UTF-16 text to the sensor client over a
// channel of its own that lives for the one message. The payload is the
// text's characters without a terminator, twice the character count in bytes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ikx {

// Command texts of a fixed prefix and one value are built in buffers of this
// many UTF-16 units, the terminator included.
constexpr size_t kCommandUnits = 261;

// Sends `text` as a command of `type` under `commandId`; with type 3 the
// reply is not read. Each (type, id) logs as the relay the sensor's protocol
// names for it: the component update refuses an empty command, the trusted
// program list sends an empty one as a payload of length 0.
bool RelayToSensor(uint32_t type, uint32_t commandId, const std::wstring& text);

}  // namespace ikx
