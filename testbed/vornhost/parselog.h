#pragma once
// vornhost parselog FILE_OR_FOLDER...: hands detection log files to
// vornExt_ParseLog one by one, as the framework's collector does.
#include <windows.h>

#include <cstdint>

namespace vornhost {

using FreeFn = int32_t(__cdecl*)(void*);

// A folder stands for every file in it; 3 when the export is missing.
int ParseLogs(HMODULE extension, FreeFn free, int count, char** paths);

}  // namespace vornhost
