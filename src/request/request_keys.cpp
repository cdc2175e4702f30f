#include "request/request_keys.h"

#include "request/json_members.h"

namespace ikx {
namespace {

struct KeyNames {
    const char* id;
    const char* data;
    const char* type;
};

KeyNames NamesOf(RequestKind kind) {
    switch (kind) {
        case RequestKind::kQuery:
            return {"query_id", "query_data", "query_type"};
        case RequestKind::kCommand:
            return {"command_id", "command_data", "command_type"};
        case RequestKind::kNotify:
            break;
    }
    return {"notify_id", "notify_data", "notify_type"};
}

}  // namespace

RequestKeys ReadRequestKeys(const Json::Value& request, RequestKind kind) {
    const KeyNames names = NamesOf(kind);
    return {MemberText(request, "product_id"), MemberText(request, names.id),
            NestedMemberText(request, names.data, names.type)};
}

}  // namespace ikx
