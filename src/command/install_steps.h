#pragma once
// What the install and uninstall commands share inside the command module.
#include <cstdint>
#include <string>

#include "hostagent/ipc.h"
#include "deploy/staging.h"

namespace ikx {

// Runs the installer with no window and `workingFolder` as its current
// directory, hands it `code`, and waits for it; true only on its success code.
bool TriggerInstaller(const std::wstring& installer, const std::wstring& workingFolder,
                      NipcObject& ipc, uint32_t code);

bool InstallIKX(NipcObject& ipc, const StagingPaths& paths, bool oldFound, bool isWow64);
bool UnRegisterClient();
bool UninstallIKX(NipcObject& ipc, const StagingPaths& paths);

}  // namespace ikx
