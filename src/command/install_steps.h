#pragma once
// What the install and uninstall commands share inside the command module.
#include <cstdint>
#include <string>

#include "common/ipc.h"
#include "common/staging.h"

namespace ikx {

// Runs the installer with no window and `workingFolder` as its current
// directory, hands it `code`, and waits for it; true only on its success code.
bool TriggerInstaller(const std::wstring& installer, const std::wstring& workingFolder,
                      NipcObject& ipc, uint32_t code);

// The major number of the client ("KXC") or engine ("KXE") version value;
// false when the value cannot be read.
bool ClientMajorVersion(uint32_t& major);
bool EngineMajorVersion(uint32_t& major);

bool InstallIKX(NipcObject& ipc, const StagingPaths& paths, bool oldFound, bool isWow64);
bool UnRegisterClient();
bool UninstallIKX(NipcObject& ipc, const StagingPaths& paths);

}  // namespace ikx
