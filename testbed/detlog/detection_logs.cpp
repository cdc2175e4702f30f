#include "detection_logs.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace detlog {
namespace {

using Members = std::vector<std::pair<std::string, std::string>>;  // name, JSON value

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// Values of every JSON type: only the names decide validity.
Members RequiredMembers(unsigned seed) {
    char guid[40], ip[16];
    std::snprintf(guid, sizeof guid, "\"5C1E%04X-2B7A-4D1E-9F03-%012X\"", seed & 0xFFFF, seed);
    std::snprintf(ip, sizeof ip, "\"192.0.2.%u\"", seed % 250 + 1);
    return {{"SLF_CategoryID", std::to_string(3 + seed % 5)},
            {"SLF_LogGenerationTime", Quoted("2024-06-11 09:14:" + std::to_string(10 + seed % 50))},
            {"SLF_LogGenerationTimeZone", "480"},
            {"SLF_IsDayLightSaving", "false"},
            {"SLF_ClientGUID", guid},
            {"SLF_ClientIP", ip},
            {"SLF_InstanceID", std::to_string(1000000 + seed)},
            {"SLF_RiskLevel", seed % 2 ? "2" : "\"high\""},
            {"SLF_LogLevel", "1"},
            {"SLF_IsHidden", "0"},
            {"SLF_RuleID", Quoted("XDR-" + std::to_string(seed % 997))},
            {"SLF_RuleSerial", "17"},
            {"SLF_PatternNumber", "\"2.101.7\""},
            {"SLF_HasDetailTrace", "true"},
            {"SLF_ADEObjectGroup_Info", "[]"}};
}

std::string DetectedObject(size_t index) {
    const std::string n = std::to_string(index);
    return "{\"ObjectType\":\"process\",\"Pid\":" + std::to_string(4000 + index % 60000) +
           ",\"Path\":\"C:\\\\Windows\\\\System32\\\\tool" + n + ".exe\",\"CommandLine\":\"tool" +
           n + ".exe -x /y:\\\"quoted " + n +
           "\\\"\",\"Sha1\":\"3f786850e387550fdab836ed7e6dc881de23001b\",\"Signed\":false,"
           "\"Parent\":{\"Pid\":4,\"Name\":\"services.exe\"},\"Score\":0.75,\"Tags\":[1,2,3]}";
}

std::string Join(const Members& members) {
    std::string text = "{";
    for (const auto& [name, value] : members) {
        if (text.size() > 1) text += ",";
        text += Quoted(name) + ":" + value;
    }
    return text + "}";
}

// Detected objects until the record is within one object of `bytes`, then a
// last object whose note fills the rest exactly.
void FillObjectGroup(Members& members, size_t bytes) {
    auto group = std::find_if(members.begin(), members.end(),
                              [](const auto& m) { return m.first == "SLF_ADEObjectGroup_Info"; });
    if (group == members.end()) {
        members.emplace_back("SLF_Detail", "[]");
        group = members.end() - 1;
    }
    const std::string note = "{\"Note\":\"\"}";
    std::string objects;
    size_t base = Join(members).size();
    for (size_t i = 0;; ++i) {
        const std::string next = DetectedObject(i);
        if (base + objects.size() + next.size() + note.size() + 2 > bytes) break;
        objects += next + ",";
    }
    const size_t used = base + objects.size() + note.size();
    if (used > bytes) return;  // smaller than the bare record
    group->second = "[" + objects + "{\"Note\":\"" + std::string(bytes - used, 'n') + "\"}]";
}

}  // namespace

const std::vector<std::string>& RequiredFields() {
    static const std::vector<std::string> fields = [] {
        std::vector<std::string> names;
        for (const auto& member : RequiredMembers(0)) names.push_back(member.first);
        return names;
    }();
    return fields;
}

std::string Record(const RecordShape& shape) {
    Members members;
    for (auto& member : RequiredMembers(shape.seed)) {
        if (std::find(shape.omit.begin(), shape.omit.end(), member.first) == shape.omit.end()) {
            members.push_back(std::move(member));
        }
    }
    if (shape.extraMembers) {
        members.insert(members.begin() + static_cast<long>(members.size() / 2),
                       {"SLF_Vendor", "{\"Name\":\"Corvask\",\"Build\":[3,0,1308]}"});
        members.emplace_back("SLF_Unknown", "null");
    }
    if (shape.bytes) FillObjectGroup(members, shape.bytes);
    return Join(members);
}

std::vector<Sample> MixedSamples(size_t largeBytes) {
    const std::string record = Record({1000, {}});
    std::string nulAfter = Record() + '\0' + "bytes after the NUL are the framework's too";
    return {{"valid_1000.json", record, true},
            {"valid_extra_members.json", Record({0, {}, true, 7}), true},
            {"valid_nul_after_object.json", nulAfter, true},
            {"valid_large.json", Record({largeBytes, {}, false, 3}), true},
            {"missing_SLF_RuleID.json", Record({0, {"SLF_RuleID"}}), false},
            {"missing_SLF_ClientIP_and_SLF_RuleID.json",
             Record({0, {"SLF_ClientIP", "SLF_RuleID"}}), false},
            {"truncated.json", record.substr(0, record.size() / 2), false},
            {"not_json.json", "SLF_CategoryID=3; SLF_RuleID=XDR-1; not JSON", false},
            {"top_level_array.json", "[" + record + "]", false},
            {"empty.json", "", false},
            {"deeply_nested.json", std::string(100000, '['), false}};
}

std::vector<Sample> EachFieldMissing() {
    std::vector<Sample> samples;
    for (const std::string& field : RequiredFields()) {
        samples.push_back({"missing_" + field + ".json", Record({0, {field}}), false});
    }
    return samples;
}

std::string Mutate(const std::string& record, std::mt19937& random) {
    const auto pick = [&](size_t n) {
        return n ? std::uniform_int_distribution<size_t>(0, n - 1)(random) : 0;
    };
    std::string text = record;
    const size_t at = pick(text.size());
    switch (pick(8)) {
        case 0:
            text[at] = static_cast<char>(pick(256));
            break;
        case 1:
            text.resize(at);
            break;
        case 2:
            text.insert(at, 1, "{}[]\",:\\"[pick(8)]);
            break;
        case 3:
            text.erase(at, 1 + pick(16));
            break;
        case 4:
            text.insert(at, 1, '\0');
            break;
        case 5: {  // a required field renamed: still JSON, now incomplete
            const std::string& field = RequiredFields()[pick(RequiredFields().size())];
            const size_t found = text.find("\"" + field + "\"");
            if (found != std::string::npos) text[found + 1 + pick(field.size())] ^= 0x20;
            break;
        }
        case 6:  // a member given twice: still complete
            if (!text.empty() && text[0] == '{') text.insert(1, "\"SLF_CategoryID\":0,");
            break;
        default:  // wrapped in an array, or a second object after the first
            text = pick(2) ? "[" + text + "]" : text + "\n{\"SLF_CategoryID\":1}";
            break;
    }
    return text;
}

bool IsCompleteRecord(const std::string& bytes) {
    Json::Value value;
    try {
        const char* text = bytes.c_str();
        if (!Json::Reader().parse(text, text + std::strlen(text), value)) return false;
    } catch (const std::exception&) {  // nested deeper than the reader goes
        return false;
    }
    const auto& fields = RequiredFields();
    return value.isObject() && std::all_of(fields.begin(), fields.end(), [&](const auto& field) {
               return value.isMember(field);
           });
}

}  // namespace detlog
