// PLACEHOLDER until the install work lands: refuses, result_code 1.
#include "command/command_handlers.h"

namespace ikx {

bool OnCommandInstall(const Json::Value&, Json::Value& response) {
    response["result_code"] = 1;
    return false;
}
bool OnCommandUninstall(const Json::Value&, Json::Value& response) {
    response["result_code"] = 1;
    return false;
}

}  // namespace ikx
