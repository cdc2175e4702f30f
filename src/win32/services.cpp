#include "win32/services.h"

#include "log/log.h"
#include "platform/clock.h"
#include "platform/handles.h"

namespace ikx {
namespace {

constexpr DWORD kStartWaitPolls = 3;
constexpr DWORD kStartWaitIntervalMs = 3000;
constexpr int kStartAttempts = 5;
constexpr DWORD kStartRetryMs = 3000;
constexpr int kStopPolls = 20;
constexpr DWORD kStopPollMs = 3000;
constexpr int kLockAttempts = 3;
constexpr DWORD kLockRetryMs = 3000;
constexpr DWORD kNoPollLimit = 0xFFFFFFFF;

struct ServiceLockTraits {
    using Type = SC_LOCK;
    static Type Invalid() { return nullptr; }
    static void Close(Type lock) { ::UnlockServiceDatabase(lock); }
};
using UniqueServiceLock = UniqueResource<ServiceLockTraits>;

UniqueScHandle OpenManager(DWORD access) {
    return UniqueScHandle(::OpenSCManagerW(nullptr, nullptr, access));
}

}  // namespace

int32_t scIsServiceInstalled(const wchar_t* name) {
    UniqueScHandle manager = OpenManager(GENERIC_READ);
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

bool scWaitServiceState(DWORD wanted, SC_HANDLE service, DWORD count, DWORD intervalMs) {
    if (!service) return false;
    DWORD polls = 0;
    for (;;) {
        SERVICE_STATUS status = {};
        if (::QueryServiceStatus(service, &status)) {
            if (status.dwCurrentState == wanted) return true;
            // A stopped service will not reach any other state on its own.
            if (status.dwCurrentState == SERVICE_STOPPED) return false;
        }
        SleepMs(intervalMs);
        ++polls;
        if (count != kNoPollLimit && polls >= count) return false;
    }
}

int32_t scQueryServiceStatus(const wchar_t* name, DWORD& state) {
    UniqueScHandle manager = OpenManager(SC_MANAGER_ENUMERATE_SERVICE);
    if (!manager) return kScOpenManagerFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    if (!service) return kScOpenServiceFailed;
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.get(), &status)) return kScQueryFailed;
    state = status.dwCurrentState;
    return kScSuccess;
}

int32_t scStartService(const wchar_t* name) {
    UniqueScHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return kScOpenManagerFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return kScOpenServiceFailed;
    if (scWaitServiceState(SERVICE_RUNNING, service.get(), kStartWaitPolls, kStartWaitIntervalMs)) {
        return kScSuccess;
    }
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        if (::StartServiceW(service.get(), 0, nullptr)) {
            return scWaitServiceState(SERVICE_RUNNING, service.get(), kStartWaitPolls,
                                      kStartWaitIntervalMs)
                       ? kScSuccess
                       : kScStartFailed;
        }
        SleepMs(kStartRetryMs);
    }
    return kScStartFailed;
}

namespace {

// Sends the stop control once the service can take it; 0 once it was sent
// or the service is stopped, else the Windows error or -8 after the last poll.
int32_t RequestStop(SC_HANDLE service) {
    for (int poll = 0; poll < kStopPolls; ++poll) {
        SERVICE_STATUS status = {};
        if (!::QueryServiceStatus(service, &status)) return static_cast<int32_t>(::GetLastError());
        if (status.dwCurrentState == SERVICE_RUNNING) {
            if (!::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                return static_cast<int32_t>(::GetLastError());
            }
            return kScSuccess;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) return kScSuccess;
        SleepMs(kStopPollMs);
    }
    return kScStopFailed;
}

}  // namespace

int32_t scStopService(const wchar_t* name, DWORD count, DWORD intervalMs) {
    if (!name || !*name) return kScStopFailed;
    {
        UniqueScHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
        if (!manager) return static_cast<int32_t>(::GetLastError());
        UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
        if (!service) return static_cast<int32_t>(::GetLastError());
        if (const int32_t result = RequestStop(service.get())) return result;
    }
    // Fresh handles for the wait, as the stop request's handles are gone.
    UniqueScHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return kScStopFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return kScStopFailed;
    return scWaitServiceState(SERVICE_STOPPED, service.get(), count, intervalMs) ? kScSuccess
                                                                                 : kScStopFailed;
}

int32_t scChangeServiceStartType(const wchar_t* name, DWORD startType) {
    UniqueScHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return kScOpenManagerFailed;
    UniqueServiceLock lock;
    for (int attempt = 0; attempt < kLockAttempts && !lock; ++attempt) {
        lock.reset(::LockServiceDatabase(manager.get()));
        if (!lock) SleepMs(kLockRetryMs);
    }
    if (!lock) return kScLockFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return kScOpenServiceFailed;
    const BOOL changed =
        ::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    return changed ? kScSuccess : kScChangeConfigFailed;
}

int32_t scCreateService(const wchar_t* executablePath, const wchar_t* serviceName,
                        const wchar_t* displayName) {
    UniqueScHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return kScOpenManagerFailed;
    const wchar_t* shownName = displayName && *displayName ? displayName : serviceName;
    // No account and no password: the service runs as LocalSystem.
    UniqueScHandle service(
        ::CreateServiceW(manager.get(), serviceName, shownName, SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                         executablePath, nullptr, nullptr, nullptr, nullptr, nullptr));
    return service ? kScSuccess : kScOpenServiceFailed;
}

int32_t scDeleteService(const wchar_t* name) {
    UniqueScHandle manager = OpenManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return kScOpenManagerFailed;
    UniqueScHandle service(::OpenServiceW(manager.get(), name, DELETE));
    if (!service) return kScOpenServiceFailed;
    if (::DeleteService(service.get())) return kScSuccess;
    return ::GetLastError() == ERROR_IO_PENDING ? kScDeletePending : kScDeleteFailed;
}

}  // namespace ikx
