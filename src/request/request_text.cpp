#include "request/request_text.h"

#include <cstring>

#include "request/json_text.h"

namespace ikx {

std::string RequestText(const char* request, uint32_t length) {
    if (!request || length == 0) return {};
    const void* nul = std::memchr(request, '\0', length);
    const size_t size = nul ? static_cast<size_t>(static_cast<const char*>(nul) - request) : length;
    return std::string(request, size);
}

std::string WholeRequestText(const char* request, uint32_t length) {
    return request ? std::string(request, length) : std::string();
}

Json::Value ParseRequest(const std::string& text) {
    Json::Value value;
    ParseJsonText(text, value);
    return value;
}

std::string MemberText(const Json::Value& object, const char* key) {
    if (!object.isObject()) return {};
    const Json::Value* member = object.find(key, key + std::strlen(key));
    if (!member) return {};
    if (member->isString() || member->isBool() || member->isNumeric()) return member->asString();
    return {};
}

std::string NestedMemberText(const Json::Value& object, const char* outer, const char* inner) {
    if (!object.isObject()) return {};
    const Json::Value* member = object.find(outer, outer + std::strlen(outer));
    return member ? MemberText(*member, inner) : std::string();
}

namespace {

const Json::Value* FindMember(const Json::Value& object, const char* key) {
    return object.isObject() ? object.find(key, key + std::strlen(key)) : nullptr;
}

}  // namespace

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
