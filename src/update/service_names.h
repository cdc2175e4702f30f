#pragma once
// Giving the sensor services back the names that builds of 3.0 before 1308 used.
#include <string>

#include "update/update_context.h"

namespace ikx::update {

// The service's configured binary path as the service manager stores it.
bool GetServiceBinaryPath(const wchar_t* serviceName, std::wstring& binaryPath);
// Deletes `currentName` and creates `oldName` in its place.
bool RecreateService(const wchar_t* currentName, const wchar_t* oldName, const wchar_t* binaryPath,
                     const wchar_t* displayName);
// The rollback's renaming, done only for a context version 3.0 with a build below 1308.
void RestoreOldServiceNames(const UpdateContext& context);

}  // namespace ikx::update
