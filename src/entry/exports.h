#pragma once
// The bodies of the exports. The C entry points in exports.cpp only guard
// them; keeping the export names here gives log records the right function.
#include <cstdint>

namespace ikx::exports {

int32_t vornExt_Init();
int32_t vornExt_Deinit();
int32_t vornExt_Free(void* buffer);
int32_t vornExt_OnQueryData(uint32_t requestLength, const char* request, uint32_t* responseLength,
                            char** response);
int32_t vornExt_OnCommand(uint32_t requestLength, const char* request);
int32_t vornExt_OnNotify(uint32_t requestLength, const char* request);
// vornExt_ParseLog: the file cannot be opened for reading and writing (or
// held in memory), and the file does not hold a valid detection log record.
constexpr int32_t kParseLogUnreadable = -24001;
constexpr int32_t kParseLogInvalid = -24002;
int32_t vornExt_ParseLog(const wchar_t* logPath, uint32_t typeNameCapacity, wchar_t* typeName,
                         char** data, uint32_t* dataLength);

}  // namespace ikx::exports
