#include "notify/notify_content.h"

namespace ikx {

const Json::Value& NotifyContent(const Json::Value& request) {
    return request["notify_data"]["notify_content"];
}

std::string ReadText(const Json::Value& object, const char* key) {
    return object[key].asString();
}

std::string CompactJson(const Json::Value& value) {
    return Json::FastWriter().write(value);
}

uint32_t SelfProtectionWord(const Json::Value& content) {
    const Json::Value& enable = content["enable"];
    for (const char* name : {"file", "process", "registry", "service"}) {
        if (enable[name].asInt() != 0) return 1;
    }
    return 0;
}

bool ProxyEnabled(const Json::Value& content) {
    return ReadText(content["ie_proxy"], "use_proxy") == "true";
}

}  // namespace ikx
