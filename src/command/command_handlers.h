#pragma once
// The command handlers of the dispatch table. Each writes its integer
// result_code into the response and returns true when it did its work.
#include <json/json.h>

namespace ikx {

bool OnCommandMDRSettings(const Json::Value& request, Json::Value& response);
bool OnCommandInstall(const Json::Value& request, Json::Value& response);
bool OnCommandUninstall(const Json::Value& request, Json::Value& response);
bool OnCommandStartService(const Json::Value& request, Json::Value& response);
bool OnCommandStopService(const Json::Value& request, Json::Value& response);
bool OnCommandAgentPolicy(const Json::Value& request, Json::Value& response);

}  // namespace ikx
