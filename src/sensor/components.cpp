// The sensor's pattern components: their registry values and conversions.
#include <cstdio>
#include <cstdlib>

#include "win32/registry.h"
#include "sensor/components.h"
#include "sensor/sensor_registry.h"
#include "log/log.h"

namespace ikx {
namespace {

constexpr DWORD kAnsiValueBytes = 260;

AgentComponent MakeComponent(uint32_t auid, const char* versionKey, const char* timeKey,
                             const char* folder, const wchar_t* tempFolder, const wchar_t* prefix,
                             const wchar_t* updateType) {
    AgentComponent c;
    c.auid = auid;
    char hex[16] = {};
    // At most eight hex digits: never cut short.
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(auid));  // NOLINT(cert-err33-c)
    c.au_type = hex;
    c.version_key = versionKey;
    c.download_time_key = timeKey;
    c.download_folder = folder;
    c.temp_folder = tempFolder;
    c.file_prefix = prefix;
    c.update_type = updateType;
    return c;
}

const ComponentTable g_componentTable = [] {
    ComponentTable table;
    for (AgentComponent c : {
             MakeComponent(0x48040184, "SLF_KernelGlobalVersion", "SLF_KernelGlobalDownloadTime",
                           "Pattern\\excpglbqv", L"temp\\Pattern\\excpglbqv", L"excpGlbQV",
                           L"ker_global"),
             MakeComponent(0x48040224, "SLF_ADECorvaskVersion", "SLF_ADECorvaskDownloadTime",
                           "Pattern\\kxadp", L"temp\\Pattern\\kxadp", L"ikx_adp_", L"fans_corvask"),
             MakeComponent(0x48040244, "XdrFilterVersion", "XdrFilterDownloadTime",
                           "Pattern\\qvxdrfilter", L"temp\\Pattern\\qvxdrfilter", L"qvxdrfilter",
                           L"xdr_filter"),
         }) {
        table.emplace(c.auid, c);
    }
    return table;
}();

// Reads one row's two values; false (after its log) when either is missing.
bool ReadComponentValues(HKEY key, AgentComponent& row) {
    std::string text;
    LONG status = QueryAnsiString(key, row.version_key.c_str(), kAnsiValueBytes, text);
    if (status != ERROR_SUCCESS) {
        LOG_WARN_AS("GetKxAgentComponentList", "Query value [%s] failed, error: %ld",
                    row.version_key.c_str(), static_cast<long>(status));
        return false;
    }
    row.version = text;
    status = QueryAnsiString(key, row.download_time_key.c_str(), kAnsiValueBytes, text);
    if (status != ERROR_SUCCESS) {
        LOG_WARN_AS("GetKxAgentComponentList", "Query value [%s] failed, error: %lu",
                    row.download_time_key.c_str(), static_cast<unsigned long>(status));
        return false;
    }
    const long long fileTime = std::strtoll(text.c_str(), nullptr, 10);
    FileTimeToDateString(static_cast<uint64_t>(fileTime), row.download_time);
    return true;
}

}  // namespace

const ComponentTable& GetComponentTable() {
    return g_componentTable;
}

uint32_t StrToULong(const std::string& text, int base) {
    uint32_t value = 0;
    switch (ParseUnsigned32(text, base, value)) {
        case NumberText::kNoDigits:
            LOG_WARN("input string is invalid [%s]", text.c_str());
            break;
        case NumberText::kOutOfRange:
            LOG_WARN("input string is out of range [%s]", text.c_str());
            break;
        case NumberText::kValid:
            break;
    }
    return value;
}

void FileTimeToDateString(uint64_t fileTime, std::string& text) {
    if (fileTime == 0) {
        text = "1970-01-01 00:00:00";
        return;
    }
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(fileTime & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME st = {};
    if (!::FileTimeToSystemTime(&ft, &st)) {
        text.clear();
        return;
    }
    char buffer[32] = {};
    // A SYSTEMTIME's fields give at most 20 characters: never cut short.
    // NOLINTNEXTLINE(cert-err33-c)
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond);
    text = buffer;
}

bool GetKxAgentComponentList(std::vector<AgentComponent>& list) {
    list.clear();
    UniqueHkey key;
    const LONG status = OpenKeyForRead(kKxcKey, key);
    if (status != ERROR_SUCCESS) {
        LOG_WARN("Open RegKey failed, error: %ld", static_cast<long>(status));
        return false;
    }
    bool complete = true;
    for (const auto& entry : GetComponentTable()) {
        AgentComponent row = entry.second;
        if (ReadComponentValues(key.get(), row)) {
            list.push_back(row);
        } else {
            complete = false;
        }
    }
    return complete;
}

bool GetKxAgentComponent(uint32_t auid, AgentComponent& component) {
    const auto it = GetComponentTable().find(auid);
    if (it == GetComponentTable().end()) {
        LOG_WARN("Unknown AUID: 0x%x.", static_cast<unsigned>(auid));
        return false;
    }
    component = it->second;
    return true;
}

uint32_t GetComponentVersion(uint32_t auid) {
    const auto it = GetComponentTable().find(auid);
    if (it == GetComponentTable().end()) {
        LOG_WARN("Unsupport AUID: 0x%x.", static_cast<unsigned>(auid));
        return 0;
    }
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvask\\KXC", 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS) {
        return 0;
    }
    std::string text;
    if (QueryAnsiString(key.get(), it->second.version_key.c_str(), kAnsiValueBytes, text) !=
        ERROR_SUCCESS) {
        return 0;
    }
    return StrToULong(VersionWithoutDots(text), 10);
}

}  // namespace ikx
