// Request bytes as the three request exports read them: text up to the first
// NUL (queries), every byte (commands), then the routing keys and the
// integer members the handlers read.
#include <cstdint>
#include <cstdlib>

#include "request/request_keys.h"
#include "request/json_members.h"
#include "request/request_text.h"

namespace {

void ReadAsHandlersDo(const Json::Value& request, ikx::RequestKind kind) {
    const ikx::RequestKeys keys = ikx::ReadRequestKeys(request, kind);
    // A key that reads as text was a string, number or boolean member.
    if (!keys.id.empty() && !request.isObject()) std::abort();
    int32_t value = 0;
    for (const char* outer : {"command_data", "query_data", "notify_data"}) {
        for (const char* inner : {"enable", "cfg_flag", "state"}) {
            if (!ikx::NestedMemberInt(request, outer, inner, value) && value != 0) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const uint32_t length = static_cast<uint32_t>(size);
    const std::string query = ikx::RequestText(bytes, length);
    if (query.size() > size || query.find('\0') != std::string::npos) std::abort();
    ReadAsHandlersDo(ikx::ParseRequest(query), ikx::RequestKind::kQuery);
    const std::string command = ikx::WholeRequestText(bytes, length);
    if (command.size() != size) std::abort();
    ReadAsHandlersDo(ikx::ParseRequest(command), ikx::RequestKind::kCommand);
    return 0;
}
