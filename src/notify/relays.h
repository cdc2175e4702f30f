#pragma once
// The three relays that carry a UTF-16 text to the sensor client, each over a
// channel of its own that lives for the one message. The payload is the
// text's characters without a terminator, twice the character count in bytes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ikx {

// Command texts of a fixed prefix and one value are built in buffers of this
// many UTF-16 units, the terminator included.
constexpr size_t kCommandUnits = 261;

// Type 1 under any command id.
bool SendKxIpcNotifaction(uint32_t commandId, const std::wstring& text);
// Type 1 under the component-update id; an empty command is refused.
bool TriggeriKXComponentUpdate(const std::wstring& command);
// Type 3 under the whitelist id without reading the reply; an empty
// whitelist still goes out, as a payload of length 0.
bool ReceivedLocalWhitelistFromPelmoAgent(const std::wstring& whitelist);

}  // namespace ikx
