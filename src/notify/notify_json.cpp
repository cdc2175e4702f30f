#include "notify/notify_json.h"

#include "platform/text.h"
#include "log/log.h"

namespace ikx {

std::wstring ReadWide(const Json::Value& object, const char* key) {
    return MultiByteToWide(ReadText(object, key), kCodePageUtf8);
}

void EchoEnvelope(const char* handler, const Json::Value& request) {
    LOG_INFO_AS(handler, "[vornExt_OnNotify][JsonIn][NotifyID][%s]",
                ReadText(request, "notify_id").c_str());
    LOG_INFO_AS(handler, "[vornExt_OnNotify][JsonIn][iProductID][%s]",
                ReadText(request, "product_id").c_str());
    LOG_INFO_AS(handler, "[vornExt_OnNotify][JsonIn][NotifyData_NotifyType][%s]",
                ReadText(request["notify_data"], "notify_type").c_str());
}

void EchoEnvelopeFramed(const char* handler, const Json::Value& request) {
    LOG_INFO_AS(handler, "[vornExt_OnNotify][iProduct Get Json Data][Start]");
    EchoEnvelope(handler, request);
}

void LogJsonDataEnd(const char* handler) {
    LOG_INFO_AS(handler, "[vornExt_OnNotify][iProduct Get Json Data][End]");
}

}  // namespace ikx
