#include "parselog.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace vornhost {
namespace {

using ParseLogFn = int32_t(__cdecl*)(const wchar_t*, uint32_t, wchar_t*, char**, uint32_t*);

constexpr size_t kShownBytes = 72;

std::wstring Widen(const char* text) {
    const int units = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(units > 0 ? units : 1, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], units);
    out.resize(out.size() - 1);
    return out;
}

std::string Narrow(const std::wstring& text) {
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? bytes : 1, '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Every file directly in the folder, in name order, as a collector takes them.
std::vector<std::wstring> FilesIn(std::wstring folder) {
    if (folder.back() != L'\\') folder += L'\\';
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder + L"*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(folder + entry.cFileName);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    std::sort(files.begin(), files.end());
    return files;
}

// Where the extension puts a broken log: the sensor's install folder as its
// registry names it, "temp\Corrupt\", the name with its backslash, ".brk".
std::wstring CorruptCopy(const std::wstring& path) {
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD size = sizeof folder - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvask\\KXE", L"InstallDir", RRF_RT_REG_SZ,
                       nullptr, folder, &size) != ERROR_SUCCESS) {
        return {};
    }
    std::wstring base = folder;
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    const size_t slash = path.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? L"\\" + path : path.substr(slash);
    return base + L"temp\\Corrupt\\" + name + L".brk";
}

std::string Shown(const char* data, uint32_t length) {
    std::string text(data, std::min<size_t>(length, kShownBytes));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = '.';
    }
    return length > kShownBytes ? text + "..." : text;
}

void ParseOne(ParseLogFn parse, FreeFn free, const std::wstring& path) {
    const bool existed = Exists(path);
    wchar_t typeName[64] = {};
    char* data = nullptr;
    uint32_t length = 0;
    const int32_t rc = parse(path.c_str(), 64, typeName, &data, &length);
    std::printf("%s\n  vornExt_ParseLog returned %d", Narrow(path).c_str(), rc);
    if (data) {
        std::printf(": %s, %u bytes\n  text: %s\n", Narrow(typeName).c_str(), length,
                    Shown(data, length).c_str());
        free(data);
    } else {
        std::printf("\n");
    }
    const std::wstring moved = CorruptCopy(path);
    if (!existed) {
        std::printf("  no such file\n");
    } else if (Exists(path)) {
        std::printf("  file %s\n", rc == 0 ? "accepted, left in place" : "left in place");
    } else if (!moved.empty() && Exists(moved)) {
        std::printf("  file moved aside to %s\n", Narrow(moved).c_str());
    } else {
        std::printf("  file deleted\n");
    }
}

}  // namespace

int ParseLogs(HMODULE extension, FreeFn free, int count, char** paths) {
    const auto parse = reinterpret_cast<ParseLogFn>(
        reinterpret_cast<void*>(::GetProcAddress(extension, "vornExt_ParseLog")));
    if (!parse) {
        std::printf("vornhost: the extension lacks vornExt_ParseLog\n");
        return 3;
    }
    for (int i = 0; i < count; ++i) {
        const std::wstring path = Widen(paths[i]);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            for (const std::wstring& file : FilesIn(path)) ParseOne(parse, free, file);
        } else {
            // A missing file is handed over too: the extension's answer is the point.
            ParseOne(parse, free, path);
        }
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace vornhost
