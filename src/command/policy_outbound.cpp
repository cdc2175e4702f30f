// What leaves the policy handler for elsewhere: the policy data decoding, the
// sibling iBorda extension, and the acknowledgement over the agent's HTTP library.
#include <cstdio>
#include <cstring>
#include <string>

#include "command/agent_policy.h"
#include "hostagent/http_library.h"
#include "hostagent/sibling_extension.h"
#include "log/log.h"
#include "platform/text.h"

namespace ikx {
namespace {

constexpr char kPolicyAckPath[] = "/palomir_ikxagent/v4/PolicyAck";
constexpr size_t kAckBodyBytes = 260;
constexpr uint32_t kHttpOk = 200;

}  // namespace

bool DecodePolicyData(const wchar_t* policyData, int64_t& policyId, int& mdrMode) {
    PolicyData data;
    const bool decoded = DecodePolicyText(Utf16Of(policyData), data);
    policyId = data.id;
    mdrMode = data.mdrMode;
    if (!decoded) {
        LOG_WARN("Policy data is invalid!");
        return false;
    }
    LOG_INFO("wszPolicyData: %ws", policyData);
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
    // Five names and numbers, under a hundred characters: never cut short.
    // NOLINTNEXTLINE(cert-err33-c)
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
