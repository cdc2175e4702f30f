#pragma once
// The notification handlers: each turns one notification into one message
// for the sensor client. The first six are the rows of the notify map; the
// rest are the handlers the two sub-dispatchers select by notify type.
#include <json/json.h>

#include <cstddef>
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

// One notify type of a handler that serves several: the record its
// dispatcher writes on entering the type's handler, and the handler.
struct NotifyTypeRow {
    const wchar_t* type;
    const char* entering;
    bool (*handler)(const Json::Value& request);
};

// Runs the handler of the first row of `type`, after that row's record in
// `dispatcher`'s name; nothing for a type without a row.
void RunNotifyTypeRow(const NotifyTypeRow* rows, size_t count, const std::wstring& type,
                      const Json::Value& request, const char* dispatcher);
template <size_t N>
void RunNotifyTypeRow(const NotifyTypeRow (&rows)[N], const std::wstring& type,
                      const Json::Value& request, const char* dispatcher) {
    RunNotifyTypeRow(rows, N, type, request, dispatcher);
}

// The notified component version as a number; 0 when it cannot be read.
uint32_t ParseNotifyVersion(const std::string& text);

}  // namespace ikx
