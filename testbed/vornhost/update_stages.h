#pragma once
// vornhost update: plays the framework's staged upgrade through the seven
// update exports.
#include <windows.h>

namespace vornhost {

// argv[at] is the package folder; options follow. Returns the exit code.
int RunUpdate(HMODULE module, int argc, char** argv, int at);

}  // namespace vornhost
