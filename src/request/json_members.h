#pragma once
// Reading members of parsed requests leniently: whatever their JSON type, a
// wrong type reads as absent instead of throwing.
#include <json/json.h>

#include <cstdint>
#include <string>

namespace ikx {

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
