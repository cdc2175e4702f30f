#pragma once
// The staged update entry points and their result codes.
#include <cstdint>

namespace ikx::update {

// Result codes of every stage; 0 is success.
constexpr int32_t kClearFailed = 0x1030002;  // a file in the way, or no installer exit code
constexpr int32_t kInvalidArgument = 0x1030003;
constexpr int32_t kCreateContextFailed = 0x1030007;
constexpr int32_t kRollbackRefused = 0x1030008;  // post-update already ran
constexpr int32_t kFolderNotEmptied = 0x1030013;
constexpr int32_t kExtractOrBackupFailed = 0x1030014;
constexpr int32_t kInstallerFailed = 0x1030015;
constexpr int32_t kInstallerNotStarted = 0x1030016;
constexpr int32_t kIpcFailed = 0x1030017;  // no binding, or the installer never took the command
constexpr int32_t kInstallerTimedOut = 0x1030018;

int32_t vornExt_GetPrerequest(void* prerequisite);
int32_t vornExt_CreateContext(void** contextOut);
int32_t vornExt_ReleaseContext(void* context);
int32_t vornExt_PreUpdate(const void* options, void* context);
int32_t vornExt_DoUpdate(const void* options, void* context);
int32_t vornExt_PostUpdate(const void* options, void* context);
int32_t vornExt_Rollback(const void* options, void* context);

}  // namespace ikx::update
