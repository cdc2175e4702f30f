// The fourteen exports: cdecl, undecorated (exports.def), each guarded so that
// no exception reaches the framework.
#include "entry/exports.h"

#include <cstdint>

#include "entry/lifecycle.h"
#include "update/update.h"

#define VORN_EXPORT extern "C" int32_t __cdecl

using ikx::Guarded;
namespace ex = ikx::exports;
namespace up = ikx::update;

VORN_EXPORT vornExt_Init() {
    return Guarded(0, [] { return ex::vornExt_Init(); });
}
VORN_EXPORT vornExt_Deinit() {
    return Guarded(0, [] { return ex::vornExt_Deinit(); });
}
VORN_EXPORT vornExt_Free(void* buffer) {
    return Guarded(0, [&] { return ex::vornExt_Free(buffer); });
}
VORN_EXPORT vornExt_OnQueryData(int32_t, uint32_t requestLength, const char* request,
                                uint32_t* responseLength, char** response) {
    return Guarded(0, [&] {
        return ex::vornExt_OnQueryData(requestLength, request, responseLength, response);
    });
}
VORN_EXPORT vornExt_OnCommand(int32_t, uint32_t requestLength, const char* request) {
    return Guarded(0, [&] { return ex::vornExt_OnCommand(requestLength, request); });
}
VORN_EXPORT vornExt_OnNotify(int32_t, uint32_t requestLength, const char* request) {
    return Guarded(0, [&] { return ex::vornExt_OnNotify(requestLength, request); });
}
VORN_EXPORT vornExt_ParseLog(const wchar_t* logPath, uint32_t typeNameCapacity, wchar_t* typeName,
                             char** data, uint32_t* dataLength) {
    // An unexpected failure must not look like a record handed over (0).
    return Guarded(ex::kParseLogUnreadable, [&] {
        return ex::vornExt_ParseLog(logPath, typeNameCapacity, typeName, data, dataLength);
    });
}
VORN_EXPORT vornExt_GetPrerequest(void* prerequisite) {
    return Guarded(0, [&] { return up::vornExt_GetPrerequest(prerequisite); });
}
VORN_EXPORT vornExt_CreateContext(void** contextOut) {
    return Guarded(up::kCreateContextFailed, [&] { return up::vornExt_CreateContext(contextOut); });
}
VORN_EXPORT vornExt_ReleaseContext(void* context) {
    return Guarded(0, [&] { return up::vornExt_ReleaseContext(context); });
}
VORN_EXPORT vornExt_PreUpdate(const void* options, void* context) {
    return Guarded(up::kInvalidArgument, [&] { return up::vornExt_PreUpdate(options, context); });
}
VORN_EXPORT vornExt_DoUpdate(const void* options, void* context) {
    return Guarded(up::kInvalidArgument, [&] { return up::vornExt_DoUpdate(options, context); });
}
VORN_EXPORT vornExt_PostUpdate(const void* options, void* context) {
    return Guarded(up::kInvalidArgument, [&] { return up::vornExt_PostUpdate(options, context); });
}
VORN_EXPORT vornExt_Rollback(const void* options, void* context) {
    return Guarded(up::kInvalidArgument, [&] { return up::vornExt_Rollback(options, context); });
}
