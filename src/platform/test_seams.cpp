#include "platform/test_seams.h"

#ifdef IKX_TEST_BUILD
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/links.h"

namespace ikx {

AfterListingSeam testAfterListing = nullptr;

bool TestSaysOwnedByOthers(const std::wstring& path) {
    // Read at every call: a test names and unnames folders as it goes.
    std::vector<wchar_t> list(32768);
    const DWORD length = ::GetEnvironmentVariableW(L"IKX_TEST_FOREIGN_OWNED", list.data(),
                                                   static_cast<DWORD>(list.size()));
    if (length == 0 || length >= list.size()) return false;
    const std::wstring self = WithoutTrailingBackslash(path);
    const std::wstring names(list.data(), length);
    size_t start = 0;
    while (start <= names.size()) {
        const size_t end = std::min(names.find(L';', start), names.size());
        const std::wstring named = WithoutTrailingBackslash(names.substr(start, end - start));
        if (!named.empty() && _wcsicmp(named.c_str(), self.c_str()) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool TestRandomFails() {
    char value[2] = {};
    return ::GetEnvironmentVariableA("IKX_TEST_RANDOM_FAILS", value, sizeof value) == 1 &&
           value[0] == '1';
}

int TestWow64Answer() {
    static const int answer = [] {
        const char* text = std::getenv("IKX_TEST_WOW64");
        if (text && std::strcmp(text, "1") == 0) return 1;
        return text && std::strcmp(text, "0") == 0 ? 0 : -1;
    }();
    return answer;
}

}  // namespace ikx
#endif
