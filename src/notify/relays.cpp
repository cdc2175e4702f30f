#include "notify/relays.h"

#include "hostagent/ipc.h"
#include "hostagent/nipc_channel.h"
#include "log/log.h"

namespace ikx {
namespace {

// A wide string's code units are UTF-16LE on Windows; no terminator goes out.
uint32_t PayloadBytes(const std::wstring& text) {
    return static_cast<uint32_t>(text.size() * sizeof(wchar_t));
}

bool SendText(NipcChannel& channel, uint32_t type, uint32_t commandId, const std::wstring& text) {
    return SendNIPCCmdToKxAgent(channel.get(), type, commandId, text.c_str(), PayloadBytes(text),
                                nullptr);
}

}  // namespace

bool SendKxIpcNotifaction(uint32_t commandId, const std::wstring& text) {
    NipcChannel channel;
    if (!NIPC_BOUND_OR_LOGGED(channel.Bound())) {
        return false;
    }
    LOG_INFO("[SendKxIpcNotifaction]");
    const bool sent = SendText(channel, kNipcTypeNoReply, commandId, text);
    if (!sent) LOG_WARN("Send NIPC Command failed.");
    return sent;
}

bool TriggeriKXComponentUpdate(const std::wstring& command) {
    LOG_INFO("[Start]");
    if (command.empty()) {
        LOG_INFO("InValid input params.");
        return false;
    }
    NipcChannel channel;
    if (!NIPC_BOUND_OR_LOGGED(channel.Bound())) {
        return false;
    }
    LOG_INFO("Notify iKX Client to do component update");
    const bool sent = SendText(channel, kNipcTypeNoReply, kKxCmdComponentUpdate, command);
    if (!sent) LOG_WARN("Send NIPC Command failed.");
    return sent;
}

bool ReceivedLocalWhitelistFromPelmoAgent(const std::wstring& whitelist) {
    LOG_INFO("[ReceivedLocalWhitelistFromPelmoAgent][Start]");
    NipcChannel channel;
    if (!NIPC_BOUND_OR_LOGGED(channel.Bound())) {
        return false;
    }
    const bool sent = SendText(channel, kNipcTypeReply, kKxCmdTrustedPrograms, whitelist);
    if (sent) {
        LOG_INFO("[ReceivedLocalWhitelistFromPelmoAgent][Send NIPC Command Successed.]");
    } else {
        LOG_WARN("[ReceivedLocalWhitelistFromPelmoAgent][Send NIPC Command failed!!]");
    }
    channel.Release();
    LOG_INFO("[ReceivedLocalWhitelistFromPelmoAgent][End]");
    return sent;
}

}  // namespace ikx
