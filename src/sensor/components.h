#pragma once
// The sensor's pattern components: the fixed table, their registry values and
// the conversions of those values.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sensor/version_text.h"

namespace ikx {

struct AgentComponent {
    uint32_t auid = 0;
    uint32_t au_klass = 3;
    std::string au_type;
    uint32_t au_platform_id = 0;
    uint32_t au_language_id = 1;
    std::string version_key;
    std::string download_time_key;
    std::string version;
    std::string download_time;
    std::string download_folder;
    std::wstring temp_folder;
    std::wstring file_prefix;
    std::wstring update_type;
};
using ComponentTable = std::map<uint32_t, AgentComponent>;
const ComponentTable& GetComponentTable();

// ParseUnsigned32 with its records; 0 when the text is no number in range.
uint32_t StrToULong(const std::string& text, int base);
bool GetKxAgentComponentList(std::vector<AgentComponent>& list);
bool GetKxAgentComponent(uint32_t auid, AgentComponent& component);
uint32_t GetComponentVersion(uint32_t auid);
void FileTimeToDateString(uint64_t fileTime, std::string& text);

}  // namespace ikx
