#pragma once
// What a program the product started was given as its environment, as one
// journal line: "TEMP=<..>|TMP=<..>|PATH=<..>|TEMP folder present=<0|1>|CWD=<..>".
#include <windows.h>

#include <string>

namespace testbed {

inline std::string EnvironmentLine() {
    const auto variable = [](const char* name) {
        char value[4096] = {};
        const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
        return length < sizeof value ? std::string(value, length) : std::string("<too long>");
    };
    const std::string temp = variable("TEMP");
    const DWORD attributes = ::GetFileAttributesA(temp.c_str());
    const bool present =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    char folder[MAX_PATH] = {};
    const DWORD folderLength = ::GetCurrentDirectoryA(MAX_PATH, folder);
    return "TEMP=" + temp + "|TMP=" + variable("TMP") + "|PATH=" + variable("PATH") +
           "|TEMP folder present=" + (present ? "1" : "0") +
           "|CWD=" + std::string(folder, folderLength < MAX_PATH ? folderLength : 0);
}

}  // namespace testbed
