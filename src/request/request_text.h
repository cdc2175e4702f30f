#pragma once
// Reading request envelopes: text up to the first NUL, lenient parsing, and
// keys that read as text whatever their JSON type.
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
// A member as text: strings as they are, numbers and booleans as their text,
// anything else (absent, null, array, object, or a non-object parent) as "".
std::string MemberText(const Json::Value& object, const char* key);
std::string NestedMemberText(const Json::Value& object, const char* outer, const char* inner);
// A member as a 32-bit integer: absent or null (also under a non-object
// parent) as 0, booleans as 0 or 1, whole numbers in range as they are.
// False for text, arrays, objects, fractions and numbers out of range.
bool NestedMemberInt(const Json::Value& object, const char* outer, const char* inner,
                     int32_t& value);

}  // namespace ikx
