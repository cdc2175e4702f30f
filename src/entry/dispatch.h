#pragma once
// The three dispatch maps: (id, type) -> handler, read-only after load.
#include <json/json.h>

#include <map>
#include <string>
#include <utility>

namespace ikx {

using RequestHandler = bool (*)(const Json::Value& request, Json::Value& response);
using DispatchMap = std::multimap<std::wstring, std::pair<std::wstring, RequestHandler>>;

const DispatchMap& QueryDispatchMap();
const DispatchMap& CommandDispatchMap();
const DispatchMap& NotifyDispatchMap();

// The first row, in table order, whose id and type equal the given ones.
// `compared`, when given, sees each row's type of that id before it is compared.
using RowComparedFn = void (*)(const std::wstring& rowType, const std::wstring& type);
RequestHandler FindHandler(const DispatchMap& map, const std::wstring& id, const std::wstring& type,
                           RowComparedFn compared = nullptr);

}  // namespace ikx
