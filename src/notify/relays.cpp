#include "notify/relays.h"

#include "hostagent/ipc.h"
#include "hostagent/nipc_channel.h"
#include "log/log.h"

namespace ikx {
namespace {

// What one relay writes, in its own function's name; null: no such record.
// Every record is at info level but `failed`, which is a warning.
struct RelayRow {
    uint32_t type;
    uint32_t commandId;  // 0: any command of this type without a row of its own
    const char* function;
    const char* start;         // before anything else
    const char* emptyRefused;  // an empty text is refused with this record
    const char* sending;       // once bound, before the send
    const char* sent;
    const char* failed;
    const char* end;  // after the channel is released
};

const RelayRow kRelayRows[] = {
    {kNipcTypeNoReply, kKxCmdComponentUpdate, "TriggeriKXComponentUpdate", "[Start]",
     "InValid input params.", "Notify iKX Client to do component update", nullptr,
     "Send NIPC Command failed.", nullptr},
    {kNipcTypeReply, kKxCmdTrustedPrograms, "ReceivedLocalWhitelistFromPelmoAgent",
     "[ReceivedLocalWhitelistFromPelmoAgent][Start]", nullptr, nullptr,
     "[ReceivedLocalWhitelistFromPelmoAgent][Send NIPC Command Successed.]",
     "[ReceivedLocalWhitelistFromPelmoAgent][Send NIPC Command failed!!]",
     "[ReceivedLocalWhitelistFromPelmoAgent][End]"},
    {kNipcTypeNoReply, 0, "SendKxIpcNotifaction", nullptr, nullptr, "[SendKxIpcNotifaction]",
     nullptr, "Send NIPC Command failed.", nullptr},
};

const RelayRow* RowFor(uint32_t type, uint32_t commandId) {
    for (const RelayRow& row : kRelayRows) {
        if (row.type == type && (row.commandId == commandId || row.commandId == 0)) return &row;
    }
    return nullptr;
}

void Note(const RelayRow& row, int level, const char* message) {
    if (message) IKX_LOG_FOR(row.function, level, "%s", message);
}

}  // namespace

bool RelayToSensor(uint32_t type, uint32_t commandId, const std::wstring& text) {
    const RelayRow* row = RowFor(type, commandId);
    if (!row) return false;
    Note(*row, kInfo, row->start);
    if (text.empty() && row->emptyRefused) {
        Note(*row, kInfo, row->emptyRefused);
        return false;
    }
    NipcChannel channel;
    if (!NIPC_BOUND_OR_LOGGED_AS(row->function, channel.Bound())) return false;
    Note(*row, kInfo, row->sending);
    // A wide string's code units are UTF-16LE on Windows; no terminator goes out.
    const bool sent =
        SendNIPCCmdToKxAgent(channel.get(), type, commandId, text.c_str(),
                             static_cast<uint32_t>(text.size() * sizeof(wchar_t)), nullptr);
    Note(*row, sent ? kInfo : kWarn, sent ? row->sent : row->failed);
    channel.Release();
    Note(*row, kInfo, row->end);
    return sent;
}

}  // namespace ikx
