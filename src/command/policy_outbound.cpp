// What leaves the policy handler for elsewhere: the policy data decoding, the
// sibling iBorda extension, and the acknowledgement over the agent's HTTP library.
#include <cstdio>
#include <cstring>
#include <string>

#include "command/agent_policy.h"
#include "hostagent/http_library.h"
#include "hostagent/sibling_extension.h"
#include "log/log.h"

namespace ikx {
namespace {

constexpr char kPolicyAckPath[] = "/palomir_ikxagent/v4/PolicyAck";
constexpr size_t kAckBodyBytes = 260;
constexpr uint32_t kHttpOk = 200;

// a-z 0..25, A-Z 26..51, 0-9 52..61, '-' 62, '_' 63; -1 for anything else.
int Base64Digit(wchar_t c) {
    if (c >= L'a' && c <= L'z') return c - L'a';
    if (c >= L'A' && c <= L'Z') return c - L'A' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'-') return 62;
    if (c == L'_') return 63;
    return -1;
}

}  // namespace

bool DecodePolicyData(const wchar_t* policyData, int64_t& policyId, int& mdrMode) {
    if (!policyData || !*policyData) {
        LOG_WARN("Policy data is invalid!");
        policyId = -1;
        mdrMode = kMdrModeOff;
        return false;
    }
    LOG_INFO("wszPolicyData: %ws", policyData);
    const size_t length = std::wcslen(policyData);
    uint64_t value = 0;  // unsigned, so that overflow wraps
    for (size_t i = 0; i + 1 < length; ++i) {
        const int digit = Base64Digit(policyData[i]);
        if (digit < 0) {
            value = static_cast<uint64_t>(-1);
            break;
        }
        value = value * 64 + static_cast<uint64_t>(digit);
    }
    policyId = static_cast<int64_t>(value);
    mdrMode = (policyData[length - 1] & 1) ? kMdrModeOn : kMdrModeOff;
    return true;
}

bool OnCommandBordaVornExtDll(const Json::Value& request, int32_t& iBordaResult) {
    // The length counts every byte of the compact text, its newline included.
    const std::string text = Json::FastWriter().write(request);
    return USE_BORDA_EXTENSION([&](const SiblingEntryPoints& sibling) {
        iBordaResult = sibling.OnCommand(0, static_cast<uint32_t>(text.size()), text.c_str());
    });
}

bool ReportPolicyStatusToServer(int32_t cfgFlag, int32_t iKxErr, int64_t policyId,
                                int32_t iBordaErr) {
    LOG_TRACE("Report policy status");
    QvsockObject qvsock;
    if (!InitQvsockObj(&qvsock)) {
        LOG_WARN("Init Qvsock DLL object failed!");
        return false;
    }
    char body[kAckBodyBytes] = {};
    std::snprintf(body, sizeof body, "%s=%lld&%s=%d&%s=%u&%s=%d&%s=%d", "policyId",
                  static_cast<long long>(policyId), "enable", (cfgFlag & kCfgEnable) ? 1 : 0,
                  "sessionId", 0u, "iKxErr", iKxErr, "iBordaErr", iBordaErr);
    uint32_t status = 0;
    char* responseText = nullptr;
    qvsock->qvSendHttpToPelmoServer(kPolicyAckPath, 0, body,
                                    static_cast<uint32_t>(std::strlen(body)), 0, &status,
                                    &responseText, 0);
    const bool accepted = status == kHttpOk;
    if (accepted) {
        LOG_TRACE("Send policy statud to server success");
    } else {
        LOG_WARN("qvSendHttpToPelmoServer failed (response code: %d)!", static_cast<int>(status));
    }
    LOG_TRACE("Report policy status");
    return accepted;
}

}  // namespace ikx
