#pragma once
// The keys that route a request: whom it is for, its id and its type.
#include <json/json.h>

#include <string>

namespace ikx {

enum class RequestKind { kQuery, kCommand, kNotify };

struct RequestKeys {
    std::string productId;  // "product_id"
    std::string id;         // "query_id", "command_id" or "notify_id"
    std::string type;       // "<kind>_data"."<kind>_type"
};

// Each key as text whatever its JSON type (see MemberText); "" when absent or
// when the request is no object.
RequestKeys ReadRequestKeys(const Json::Value& request, RequestKind kind);

}  // namespace ikx
