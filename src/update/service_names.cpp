#include "update/service_names.h"

#include <windows.h>

#include "sensor/sensor_services.h"
#include "win32/services.h"
#include "log/log.h"
#include "platform/handles.h"

namespace ikx::update {
namespace {

// Builds of 3.0 before this one named the services "KXClient" and "KXE".
constexpr uint32_t kFirstBuildWithCurrentNames = 1308;

constexpr wchar_t kOldClientDisplayName[] = L"Corvask Kexaro Service (Agent)";
constexpr wchar_t kOldEngineDisplayName[] = L"Corvask Kexaro Engine Wrapper";

bool UsedOldServiceNames(const UpdateContext& context) {
    return context.versionMajor == 3 && context.versionMinor == 0 &&
           context.versionBuild < kFirstBuildWithCurrentNames;
}

// True when only the current name exists, so the old one has to come back.
bool NeedsOldName(const wchar_t* oldName, const wchar_t* currentName) {
    return scIsServiceInstalled(oldName) != kScInstalled &&
           scIsServiceInstalled(currentName) == kScInstalled;
}

}  // namespace

bool GetServiceBinaryPath(const wchar_t* serviceName, std::wstring& binaryPath) {
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        LOG_WARN("OpenSCManager failed (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    UniqueScHandle service(::OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
    if (!service) {
        LOG_WARN("OpenService failed (%d)\n", static_cast<int>(::GetLastError()));
        return false;
    }
    DWORD needed = 0;
    if (!::QueryServiceConfigW(service.get(), nullptr, 0, &needed)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            LOG_WARN("QueryServiceConfig() failed, error %u", static_cast<unsigned>(error));
            return false;
        }
    }
    UniqueLocal memory(::LocalAlloc(LPTR, needed));
    auto* config = static_cast<QUERY_SERVICE_CONFIGW*>(memory.get());
    if (!config || !::QueryServiceConfigW(service.get(), config, needed, &needed)) {
        LOG_WARN("query failed %d", static_cast<int>(::GetLastError()));
        return false;
    }
    binaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    return true;
}

bool RecreateService(const wchar_t* currentName, const wchar_t* oldName, const wchar_t* binaryPath,
                     const wchar_t* displayName) {
    if (const int32_t result = scDeleteService(currentName)) {
        LOG_WARN("scDeleteService failed %x", static_cast<unsigned>(result));
        return false;
    }
    if (const int32_t result = scCreateService(binaryPath, oldName, displayName)) {
        LOG_WARN("scCreateService failed %x", static_cast<unsigned>(result));
        return false;
    }
    return true;
}

void RestoreOldServiceNames(const UpdateContext& context) {
    if (!UsedOldServiceNames(context)) return;
    constexpr char kRollback[] = "vornExt_Rollback";
    std::wstring path;
    if (NeedsOldName(kOldClientService, kClientService)) {
        LOG_INFO_AS(kRollback, "Need to rollback KXC service name");
        if (!GetServiceBinaryPath(kClientService, path)) {
            LOG_WARN_AS(kRollback, "Failed to get KXC service's binary path!");
        } else if (!RecreateService(kClientService, kOldClientService, path.c_str(),
                                    kOldClientDisplayName)) {
            LOG_WARN_AS(kRollback, "Failed to change KXC service name back!");
        }
    }
    if (NeedsOldName(kOldEngineService, kEngineService)) {
        if (!GetServiceBinaryPath(kEngineService, path)) {
            LOG_WARN_AS(kRollback, "Failed to get KXE service's binary path!");
        } else if (!RecreateService(kEngineService, kOldEngineService, path.c_str(),
                                    kOldEngineDisplayName)) {
            LOG_WARN_AS(kRollback, "Failed to change KXE service name back!");
        }
    }
}

}  // namespace ikx::update
