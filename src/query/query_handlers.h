#pragma once
// Handlers of the query dispatch rows.
#include <json/json.h>

namespace ikx {

bool OnQueryClientServiceStatus(const Json::Value& request, Json::Value& response);
bool QueryClientProductVersion(const Json::Value& request, Json::Value& response);
bool QueryClientStatusLog(const Json::Value& request, Json::Value& response);
bool QueryClientComponentInfo(const Json::Value& request, Json::Value& response);
bool OnQueryClientCommonSettings(const Json::Value& request, Json::Value& response);
bool OnQuerySelfProtectionSettings(const Json::Value& request, Json::Value& response);

}  // namespace ikx
