#pragma once
// The service primitives: fixed access rights, waits, retry counts and the
// negative result codes below. Each opens and closes its own handles.
#include <windows.h>

#include <cstdint>

namespace ikx {

enum ServiceResult : int32_t {
    kScSuccess = 0,
    kScInstalled = 1,
    kScOpenManagerFailed = -2,
    kScOpenServiceFailed = -3,
    kScDeleteFailed = -4,
    kScDeletePending = -5,
    kScStopFailed = -8,
    kScLockFailed = -10,
    kScChangeConfigFailed = -11,
    kScQueryFailed = -12,
    kScStartFailed = -13,
    kScMarkedForDelete = -15,
};

int32_t scIsServiceInstalled(const wchar_t* name);
bool scWaitServiceState(DWORD wanted, SC_HANDLE service, DWORD count, DWORD intervalMs);
int32_t scQueryServiceStatus(const wchar_t* name, DWORD& state);
// Starts `name`, waiting for it to run; it may already be running.
int32_t scStartService(const wchar_t* name);
int32_t scStopService(const wchar_t* name, DWORD count, DWORD intervalMs);
int32_t scChangeServiceStartType(const wchar_t* name, DWORD startType);
int32_t scCreateService(const wchar_t* executablePath, const wchar_t* serviceName,
                        const wchar_t* displayName);
int32_t scDeleteService(const wchar_t* name);

}  // namespace ikx
