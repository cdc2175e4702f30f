#pragma once
// The fields every query answer carries.
#include <json/json.h>

namespace ikx {

constexpr char kResultTypeData[] = "VORN_QUERY_RESULT_TYPE_DATA";

inline void SetQueryHeader(Json::Value& response, const char* queryId) {
    response["query_id"] = queryId;
    response["result_code"] = 0;
    response["result_data"]["type"] = kResultTypeData;
}

}  // namespace ikx
