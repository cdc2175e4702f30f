// INTERIM until the shared staging helpers land.
#include "common/file_ops.h"
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {

int32_t ClearStagingFolder(const std::wstring& staging) {
    const std::wstring path = WithoutTrailingBackslash(staging);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (CleanDirectory(staging.c_str(), false, false)) {
            LOG_WARN_AS("vornExt_PreUpdate", "Sensor folder (%ws) is not empty.\n",
                        staging.c_str());
            return kFolderNotEmptied;
        }
        return 0;
    }
    if (!::DeleteFileW(path.c_str())) {
        LOG_WARN_AS("vornExt_PreUpdate", "Clear Sensor folder failed, error: %d",
                    static_cast<int>(::GetLastError()));
        return kClearFailed;
    }
    return 0;
}

void KeepUpgradeLogs() {
    std::wstring temp;
    GetWindowsTempFolder(temp);
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t client[MAX_PATH] = {}, events[MAX_PATH] = {};
    _snwprintf_s(client, MAX_PATH, _TRUNCATE,
                 L"KXC_debug_Upgrade_%04d_%02d_%02d_%02d_%02d_%02d_%03d.log", now.wYear, now.wMonth,
                 now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    _snwprintf_s(events, MAX_PATH, _TRUNCATE,
                 L"Torv_Event_Upgrade_%04d_%02d_%02d_%02d_%02d_%02d_%03d.log", now.wYear,
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    const std::wstring debug = temp + L"\\Sensor\\" + L"\\Setup\\" + L"debug";
    const std::wstring kept = temp + L"\\KXE_Debug\\";
    TryCopyFile(debug.c_str(), kept.c_str(), L"KXC_debug.log.0", client);
    TryCopyFile(debug.c_str(), kept.c_str(), L"Torv_Event.log", events);
}

std::wstring SensorDataFolder() {
    std::wstring temp;
    GetWindowsTempFolder(temp);
    return temp + L"\\SensorData\\";
}

}  // namespace ikx::update
