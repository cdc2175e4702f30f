// A notification as the notify export and its handlers read it: the text up
// to its NUL, the routing keys, then every content reader. A JSON type error
// ends a handler (the frame catches it); anything else is a fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "notify/notify_content.h"
#include "request/request_keys.h"
#include "request/request_text.h"

namespace {

constexpr const char* kContentKeys[] = {
    "data_ver", "agent_guid", "domain",  "domain_guid", "location",       "agent_context",
    "coexist",  "server",     "au_type", "version",     "download_folder"};

void ReadContent(const Json::Value& request) {
    const Json::Value& content = ikx::NotifyContent(request);
    const std::string compact = ikx::CompactJson(content);
    if (compact.empty() || compact.back() != '\n') std::abort();
    if (ikx::SelfProtectionWord(content) > 1) std::abort();
    ikx::ProxyEnabled(content);
    for (const char* key : kContentKeys) ikx::ReadText(content, key);
    if (content.isArray()) {
        for (const Json::Value& element : content) {
            for (const char* key : kContentKeys) ikx::ReadText(element, key);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Json::Value request = ikx::ParseRequest(std::string(text.c_str()));
    ikx::ReadRequestKeys(request, ikx::RequestKind::kNotify);
    try {
        ReadContent(request);
    } catch (const Json::Exception&) {
    }
    return 0;
}
