#include "common/services.h"

#include "common/sensor_registry.h"
#include "log/log.h"
#include "platform/handles.h"

namespace ikx {

int32_t scIsServiceInstalled(const wchar_t* name) {
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!manager) return kScOpenManagerFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_CHANGE_CONFIG));
    if (!service) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
        // Access denied still proves the service exists.
        return error == ERROR_ACCESS_DENIED ? kScInstalled : kScOpenServiceFailed;
    }
    // A change that changes nothing tells a live service from one marked for deletion.
    SERVICE_DESCRIPTIONW description = {};
    if (::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        return kScInstalled;
    }
    return ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE ? kScMarkedForDelete
                                                               : kScChangeConfigFailed;
}

namespace {

bool HasCurrentClientVersion() {
    uint32_t major = 0, minor = 0, build = 0;
    return GetKxcVersion(major, minor, build) == ERROR_SUCCESS && major >= kCurrentMajorVersion;
}

// 0 on success; the state is 0 unless it was read.
int QueryState(const wchar_t* name, DWORD& state) {
    state = 0;
    return static_cast<int>(scQueryServiceStatus(name, state));
}

}  // namespace

int32_t scQueryServiceStatus(const wchar_t* name, DWORD& state) {
    UniqueScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return kScOpenManagerFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    if (!service) return kScOpenServiceFailed;
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.get(), &status)) return kScQueryFailed;
    state = status.dwCurrentState;
    return kScSuccess;
}

KxServiceGeneration GetKxServiceGeneration() {
    if (scIsServiceInstalled(kClientService) == kScInstalled && HasCurrentClientVersion()) {
        return KxServiceGeneration::kCurrent;
    }
    if (scIsServiceInstalled(kOldClientService) == kScInstalled && HasCurrentClientVersion()) {
        return KxServiceGeneration::kOld;
    }
    return KxServiceGeneration::kNone;
}

void QueryIKxclientServiceStatus(DWORD& state) {
    if (const int result = QueryState(kClientService, state))
        LOG_WARN("Query iKX service status failed, error: %d", result);
}

void QueryOldKxclientServiceStatus(DWORD& state) {
    if (const int result = QueryState(kOldClientService, state))
        LOG_WARN("Query old iKX service status failed, error: %d", result);
}

void QueryKxeServiceStatus(DWORD& state) {
    if (const int result = QueryState(kEngineService, state))
        LOG_WARN("Query KXE service status failed, error: %d", result);
}

void QueryOldKxeServiceStatus(DWORD& state) {
    if (const int result = QueryState(kOldEngineService, state))
        LOG_WARN("Query old KXE service status failed, error: %d", result);
}

}  // namespace ikx
