#include "win32/folder_rules.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

namespace ikx {
namespace {

constexpr size_t kWindowsUnits = 261;

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Both normalised: `inner` equals `outer` or starts with it (which ends with
// a backslash, so C:\A\ never contains C:\AB\).
bool HasPrefix(const std::wstring& outer, const std::wstring& inner) {
    return inner.size() >= outer.size() && SameFolder(outer, inner.substr(0, outer.size()));
}

std::wstring WindowsFolder() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(windows, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(windows, length) : std::wstring();
}

std::vector<std::wstring> ProgramFilesFolders() {
    std::vector<std::wstring> folders;
    for (const int csidl : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86}) {
        wchar_t folder[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder))) {
            folders.push_back(folder);
        }
    }
    // The 64-bit one, as a 32-bit process on 64-bit Windows sees it.
    wchar_t native[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"ProgramW6432", native, MAX_PATH);
    if (length > 0 && length < MAX_PATH) folders.push_back(native);
    return folders;
}

}  // namespace

void GetWindowsTempFolder(std::wstring& folder) {
    static const wchar_t kSuffix[] = L"\\Temp";
    wchar_t windows[kWindowsUnits] = {};
    const UINT length = ::GetWindowsDirectoryW(windows, kWindowsUnits);
    const size_t suffixLength = wcslen(kSuffix);
    if (length >= 1 && length <= kWindowsUnits - 1 && length + suffixLength < kWindowsUnits) {
        folder = std::wstring(windows, length) + kSuffix;
    } else {
        folder = L"C:\\WINDOWS\\Temp";
    }
}

bool NormalizeFolder(const std::wstring& folder, std::wstring& full, DWORD maxUnits) {
    std::vector<wchar_t> buffer(maxUnits, L'\0');
    const std::wstring withBackslash = folder + L"\\";
    const DWORD length =
        ::GetFullPathNameW(withBackslash.c_str(), maxUnits, buffer.data(), nullptr);
    if (length == 0) return false;
    if (length >= maxUnits) {
        // "Buffer too small" is told by the length alone; the error would be stale.
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    full.assign(buffer.data(), length);
    if (full.back() != L'\\') full += L'\\';
    return true;
}

bool FolderContains(const std::wstring& outer, const std::wstring& inner) {
    std::wstring outerFull, innerFull;
    return NormalizeFolder(outer, outerFull) && NormalizeFolder(inner, innerFull) &&
           HasPrefix(outerFull, innerFull);
}

bool IsSystemFolder(const std::wstring& folder) {
    std::wstring full;
    if (folder.empty() || !NormalizeFolder(folder, full)) return true;
    if (::PathIsRootW(full.c_str())) return true;
    std::wstring windows, temp;
    const std::wstring windowsFolder = WindowsFolder();
    GetWindowsTempFolder(temp);
    if (!windowsFolder.empty() && NormalizeFolder(windowsFolder, windows) &&
        HasPrefix(windows, full)) {
        std::wstring tempFull;
        const bool belowTemp = NormalizeFolder(temp, tempFull) && HasPrefix(tempFull, full) &&
                               full.size() > tempFull.size();
        if (!belowTemp) return true;
    }
    for (const std::wstring& programFiles : ProgramFilesFolders()) {
        std::wstring programFull;
        if (NormalizeFolder(programFiles, programFull) && SameFolder(programFull, full))
            return true;
    }
    return false;
}

}  // namespace ikx
