#include "workfolders/child_environment.h"

#include <algorithm>
#include <string>

#include "platform/links.h"

namespace ikx {
namespace {

// Names set here, never taken from this process.
bool IsReplacedName(const std::wstring& entry) {
    for (const wchar_t* name : {L"TEMP=", L"TMP=", L"PATH="}) {
        const size_t length = wcslen(name);
        if (entry.size() >= length && _wcsnicmp(entry.c_str(), name, length) == 0) return true;
    }
    return false;
}

std::vector<std::wstring> InheritedEntries() {
    std::vector<std::wstring> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (!block) return entries;
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
        if (!IsReplacedName(entry)) entries.emplace_back(entry);
    }
    ::FreeEnvironmentStringsW(block);
    return entries;
}

std::wstring SystemPath() {
    wchar_t system[MAX_PATH] = {}, windows[MAX_PATH] = {};
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    const UINT windowsLength = ::GetWindowsDirectoryW(windows, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH || windowsLength == 0 ||
        windowsLength >= MAX_PATH) {
        return std::wstring();
    }
    const std::wstring systemFolder(system, systemLength);
    return systemFolder + L";" + std::wstring(windows, windowsLength) + L";" + systemFolder +
           L"\\Wbem;" + systemFolder + L"\\WindowsPowerShell\\v1.0\\";
}

// Sorted by name without regard to case, as Windows keeps its own blocks.
bool ByName(const std::wstring& a, const std::wstring& b) {
    const std::wstring nameA = a.substr(0, a.find(L'=', 1));
    const std::wstring nameB = b.substr(0, b.find(L'=', 1));
    return ::CompareStringOrdinal(nameA.c_str(), static_cast<int>(nameA.size()), nameB.c_str(),
                                  static_cast<int>(nameB.size()), TRUE) == CSTR_LESS_THAN;
}

}  // namespace

ChildEnvironment::~ChildEnvironment() {
    // What the program left there goes with it; what it still holds, with
    // the next deployment's sweep. A destructor lets nothing out: an
    // allocation failure here would end the host.
    try {
        DisposePrivateFolder(temp_);
    } catch (...) {
    }
}

DWORD ChildEnvironment::Prepare() {
    const std::wstring path = SystemPath();
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    DisposePrivateFolder(temp_);  // a folder of an earlier run goes first
    if (const DWORD error = MakePrivateFolder(temp_)) return error;
    folder_ = WithoutTrailingBackslash(temp_.Path());
    const std::wstring& temp = folder_;
    std::vector<std::wstring> entries = InheritedEntries();
    entries.push_back(L"PATH=" + path);
    entries.push_back(L"TEMP=" + temp);
    entries.push_back(L"TMP=" + temp);
    std::stable_sort(entries.begin(), entries.end(), ByName);
    block_.clear();
    for (const std::wstring& entry : entries) {
        block_.insert(block_.end(), entry.begin(), entry.end());
        block_.push_back(L'\0');
    }
    block_.push_back(L'\0');
    return 0;
}

}  // namespace ikx
