#pragma once
// The notification handlers: each turns one notification into one message
// for the sensor client. The first six are the rows of the notify map; the
// rest are the handlers the two sub-dispatchers select by notify type.
#include <json/json.h>

#include <cstdint>
#include <string>

namespace ikx {

bool NotifyClientComponentUpdate(const Json::Value& request, Json::Value& response);
bool NotifyClientContextChange(const Json::Value& request, Json::Value& response);
bool NotifyClientSelfProtectionSettings(const Json::Value& request, Json::Value& response);
bool NotifyClientConfigChange(const Json::Value& request, Json::Value& response);
bool NotifyXdrDataLakeLogginInfoChange(const Json::Value& request, Json::Value& response);
bool NotifyClientLightWeightModeChange(const Json::Value& request, Json::Value& response);

bool NotifyClientAgentContextChange(const Json::Value& request);
bool NotifyAggressiveDetectionChange(const Json::Value& request);
bool NotifyTrustedProgramList(const Json::Value& request);
bool NotifyClientSarnCensusInfo(const Json::Value& request);
bool NotifyClientProxyChange(const Json::Value& request);

// The notified component version as a number; 0 when it cannot be read.
uint32_t ParseNotifyVersion(const std::string& text);

}  // namespace ikx
