// Prints the signer name the product reads from each file's embedded
// signature, through the function the binding uses on VornAgent.dll: one line
// per file, the name or "unsigned". The release's signer test compares it with
// the certificate it signed the shipping DLL with.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "hostagent/vorn_agent.h"

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        wchar_t name[ikx::kSignerNameChars] = {};
        if (ikx::GetSignerNamer(argv[i], name) == 0) {
            std::printf("unsigned\n");
            continue;
        }
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
        std::vector<char> text(bytes > 0 ? bytes : 1, '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, name, -1, text.data(), bytes, nullptr, nullptr);
        std::printf("%s\n", text.data());
    }
    return argc > 1 ? 0 : 2;
}
