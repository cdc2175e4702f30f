// PLACEHOLDER until the service control work lands: refuses, result_code 1.
#include "command/command_handlers.h"

namespace ikx {

bool OnCommandMDRSettings(const Json::Value&, Json::Value& response) {
    response["result_code"] = 1;
    return false;
}
bool OnCommandStartService(const Json::Value&, Json::Value& response) {
    response["result_code"] = 1;
    return false;
}
bool OnCommandStopService(const Json::Value&, Json::Value& response) {
    response["result_code"] = 1;
    return false;
}
bool OnCommandAgentPolicy(const Json::Value&, Json::Value& response) {
    response["result_code"] = 1;
    return false;
}

}  // namespace ikx
