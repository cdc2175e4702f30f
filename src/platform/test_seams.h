#pragma once
// Where a test build lets a test stand in for what Wine cannot show: another
// account owning a file or folder, a user changing a tree in the middle of a
// walk, the system refusing random numbers, and the 32-bit DLL on 64-bit
// Windows. The shipping build has none of them: the answers are constants there.
#include <string>

namespace ikx {

#ifdef IKX_TEST_BUILD
// Whether IKX_TEST_FOREIGN_OWNED (file or folder paths separated by ';',
// compared without regard to case and trailing backslashes) names `path`:
// Wine gives every file the one owner, so a test names what "someone else"
// owns.
bool TestSaysOwnedByOthers(const std::wstring& path);

// Called by a walk through handles right after it read a folder's listing,
// with the folder's path as the walk was asked for it; a test swaps the
// folder for a link there. Null in every other run.
using AfterListingSeam = void (*)(const std::wstring& folder);
extern AfterListingSeam testAfterListing;
inline void TestAfterListing(const std::wstring& folder) {
    if (testAfterListing) testAfterListing(folder);
}
// Whether a test watches listings: only then does a walk spell its paths.
inline bool TestWatchesListings() {
    return testAfterListing != nullptr;
}

// Whether IKX_TEST_RANDOM_FAILS is "1" now: the system's random numbers are
// then refused, as BCryptGenRandom may refuse them.
bool TestRandomFails();

// What IsWow64Process is to answer: 1 or 0 when IKX_TEST_WOW64 is "1" or
// "0" (read once), -1 when it is not set and Windows answers. The shipping
// DLL is 32-bit and hears true on 64-bit Windows; the 64-bit test build never
// would.
int TestWow64Answer();
#else
inline bool TestSaysOwnedByOthers(const std::wstring&) {
    return false;
}
inline void TestAfterListing(const std::wstring&) {}
inline bool TestWatchesListings() {
    return false;
}
inline bool TestRandomFails() {
    return false;
}
inline int TestWow64Answer() {
    return -1;
}
#endif

}  // namespace ikx
