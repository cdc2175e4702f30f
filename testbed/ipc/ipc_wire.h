#pragma once
// Wire format between the PlmPIPC.dll stand-in and the endpoints that serve a
// destination (the sensor client 20, the installer 21).
//
// Transport: one duplex, message-mode named pipe per destination,
//   \\.\pipe\ikx_nipc_<destination in decimal>      (e.g. \\.\pipe\ikx_nipc_20)
// One command per connection:
//   client -> endpoint: one message = RequestHeader followed by dataLength bytes
//   endpoint -> client: one message = ReplyHeader
//   the client closes; the endpoint then disconnects and serves the next client.
// All fields are little-endian 32-bit words; the structs have no padding.
// A reply with hasReply 0 means "answered, but without reply data": the
// library then leaves the record's reply pointer null.
//
// Endpoint journal file (when a path is given): one UTF-8 line per command,
//   "<destination> <type> 0x<code, 4+ hex digits> <dataLength> <data as hex or ->"
// for example "20 3 0x4002 4 00000000" or "21 3 0x5001 0 -".
#include <cstdint>
#include <string>

namespace testbed {
namespace ipcwire {

constexpr uint32_t kRequestMagic = 0x5150494E;  // "NIPQ"
constexpr uint32_t kReplyMagic = 0x5250494E;    // "NIPR"
// Commands carry short texts and ids; this only bounds a corrupt header.
constexpr uint32_t kMaxDataLength = 16u * 1024u * 1024u;

struct RequestHeader {
    uint32_t magic;
    uint32_t destination;
    uint32_t type;
    uint32_t code;
    uint32_t dataLength;
};
static_assert(sizeof(RequestHeader) == 20, "request header is five words");

struct ReplyHeader {
    uint32_t magic;
    uint32_t hasReply;
    uint32_t replyCode;
};
static_assert(sizeof(ReplyHeader) == 12, "reply header is three words");

inline std::wstring PipePath(uint32_t destination) {
    return L"\\\\.\\pipe\\ikx_nipc_" + std::to_wstring(destination);
}

}  // namespace ipcwire
}  // namespace testbed
