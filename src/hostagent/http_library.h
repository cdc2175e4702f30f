#pragma once
// The host agent's HTTP library, loaded through its verified loader.
#include <windows.h>

#include <cstdint>

#include "platform/bound_library.h"

namespace ikx {

// The response text pointer is handed over for the library to fill; it is
// never read back.
using QvSendHttpFn = int32_t(__cdecl*)(const char* path, int32_t, const char* body,
                                       uint32_t bodyLength, int32_t, uint32_t* httpStatus,
                                       char** responseText, int32_t);
struct QvsockEntryPoints {
    QvSendHttpFn qvSendHttpToPelmoServer = nullptr;

    void Resolve(ExportLookup& find) { find(qvSendHttpToPelmoServer, "qvSendHttpToPelmoServer"); }
};
// Bound for each send and released after it.
using QvsockObject = BoundLibrary<QvsockEntryPoints>;

bool InitQvsockObj(QvsockObject* obj);

}  // namespace ikx
