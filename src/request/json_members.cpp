#include "request/json_members.h"

#include <cstring>

namespace ikx {
namespace {

const Json::Value* FindMember(const Json::Value& object, const char* key) {
    return object.isObject() ? object.find(key, key + std::strlen(key)) : nullptr;
}

}  // namespace

std::string MemberText(const Json::Value& object, const char* key) {
    const Json::Value* member = FindMember(object, key);
    if (!member) return {};
    if (member->isString() || member->isBool() || member->isNumeric()) return member->asString();
    return {};
}

std::string NestedMemberText(const Json::Value& object, const char* outer, const char* inner) {
    const Json::Value* member = FindMember(object, outer);
    return member ? MemberText(*member, inner) : std::string();
}

bool NestedMemberInt(const Json::Value& object, const char* outer, const char* inner,
                     int32_t& value) {
    const Json::Value* parent = FindMember(object, outer);
    const Json::Value* member = parent ? FindMember(*parent, inner) : nullptr;
    value = 0;
    if (!member || member->isNull()) return true;
    if (member->isBool()) {
        value = member->asBool() ? 1 : 0;
        return true;
    }
    // isInt holds for whole reals in range too; asInt then gives them exactly.
    if (!member->isInt()) return false;
    value = member->asInt();
    return true;
}

}  // namespace ikx
