#pragma once
// Which folders a removal may walk. Deployment removes and empties folders
// named by registry values and by the temp folder; none of them may turn out
// to be a drive root, the Windows folder, Program Files, or a folder above
// what must stay.
#include <windows.h>

#include <string>

namespace ikx {

// The Windows temp folder without a trailing backslash, e.g. C:\Windows\Temp.
void GetWindowsTempFolder(std::wstring& folder);

// The full path of `folder`, ending with a backslash. False when it cannot
// be made; the last error is then set (ERROR_FILENAME_EXCED_RANGE when it
// does not fit `maxUnits`, the terminator included).
bool NormalizeFolder(const std::wstring& folder, std::wstring& full, DWORD maxUnits = 32768);

// Whether `inner` is `outer` or lies below it; both normalised, without
// regard to case. False when either cannot be normalised.
bool FolderContains(const std::wstring& outer, const std::wstring& inner);

// A drive or share root, the Windows folder or anything in it but what lies
// below its temp folder, or a Program Files folder itself. A folder that
// cannot be normalised counts as one: it cannot be shown to be anything else.
bool IsSystemFolder(const std::wstring& folder);

}  // namespace ikx
