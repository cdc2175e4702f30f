#include "request/detection_log_fields.h"

#include <json/json.h>

#include <cstring>

namespace ikx {
namespace {

// Checked in this order; only presence counts, not the values.
constexpr const char* kRequiredFields[] = {"SLF_CategoryID",
                                           "SLF_LogGenerationTime",
                                           "SLF_LogGenerationTimeZone",
                                           "SLF_IsDayLightSaving",
                                           "SLF_ClientGUID",
                                           "SLF_ClientIP",
                                           "SLF_InstanceID",
                                           "SLF_RiskLevel",
                                           "SLF_LogLevel",
                                           "SLF_IsHidden",
                                           "SLF_RuleID",
                                           "SLF_RuleSerial",
                                           "SLF_PatternNumber",
                                           "SLF_HasDetailTrace",
                                           "SLF_ADEObjectGroup_Info"};

// A text that does not parse, or nests deeper than the reader allows, yields a
// document without members.
Json::Value ParseRecord(const char* text) {
    Json::Value document;
    try {
        if (Json::Reader().parse(text, text + std::strlen(text), document, true)) return document;
    } catch (const Json::Exception&) {
    }
    return Json::Value();
}

}  // namespace

const char* FirstMissingLogField(const char* text) {
    const Json::Value document = ParseRecord(text ? text : "");
    for (const char* field : kRequiredFields) {
        // isMember asserts on arrays and scalars, so the type is checked first.
        if (!document.isObject() || !document.isMember(field)) return field;
    }
    return nullptr;
}

}  // namespace ikx
