// holdfile.exe FILE... : opens each file for reading, sharing reading only
// (as a scanner or backup agent does, so that it can be neither replaced nor
// deleted), prints "holding" and keeps them open until its input closes.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    std::vector<HANDLE> held;
    for (int i = 1; i < argc; ++i) {
        const HANDLE file = ::CreateFileW(argv[i], GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot hold %ls (error %lu)\n", argv[i], ::GetLastError());
            return 1;
        }
        held.push_back(file);
    }
    std::printf("holding\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    for (const HANDLE file : held) ::CloseHandle(file);
    return 0;
}
