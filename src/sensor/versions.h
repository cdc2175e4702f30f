#pragma once
// The client ("KXC") and engine ("KXE") version values.
#include <windows.h>

#include <cstdint>
#include <string>

namespace ikx {

// A sensor counts as a current installation from this major version on.
constexpr uint32_t kCurrentMajorVersion = 3;

LONG GetKxcVersion(uint32_t& major, uint32_t& minor, uint32_t& build);
LONG GetKxeVersion(uint32_t& major, uint32_t& minor, uint32_t& build);
LONG GetKxcVersionString(std::string& text);
// The major number of the client ("KXC") or engine ("KXE") version value;
// false when the value cannot be read.
bool ClientMajorVersion(uint32_t& major);
bool EngineMajorVersion(uint32_t& major);

}  // namespace ikx
