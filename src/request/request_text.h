#pragma once
// Reading request envelopes: text up to the first NUL and lenient parsing
// (their members: request/json_members.h).
#include <json/json.h>

#include <cstdint>
#include <string>

namespace ikx {

// The "product_id" that requests for this extension carry and its answers give.
constexpr char kProductIkx[] = "VORN_IPRODUCT_IKX";

// The request bytes up to the first NUL within `length` (empty for null):
// how a query is read.
std::string RequestText(const char* request, uint32_t length);
// All `length` bytes, NULs included (empty for null): how a command is read.
std::string WholeRequestText(const char* request, uint32_t length);
// Parses with comments collected; any failure, nesting too deep included,
// gives a null value.
Json::Value ParseRequest(const std::string& text);
}  // namespace ikx
