#pragma once
// The host agent's HTTP library, loaded through its verified loader.
#include <windows.h>

#include <cstdint>

namespace ikx {

// The host agent's HTTP library, bound for each send. The response text
// pointer is handed over for the library to fill; it is never read back.
using QvSendHttpFn = int32_t(__cdecl*)(const char* path, int32_t, const char* body,
                                       uint32_t bodyLength, int32_t, uint32_t* httpStatus,
                                       char** responseText, int32_t);
struct QvsockObject {
    QvSendHttpFn qvSendHttpToPelmoServer = nullptr;
    HMODULE module = nullptr;
};
bool InitQvsockObj(QvsockObject* obj);

}  // namespace ikx
