#pragma once
// The staged update entry points.
#include <cstdint>

namespace ikx::update {

constexpr int32_t kInvalidArgument = 0x1030003;
constexpr int32_t kCreateContextFailed = 0x1030007;

int32_t vornExt_GetPrerequest(void* prerequisite);
int32_t vornExt_CreateContext(void** contextOut);
int32_t vornExt_ReleaseContext(void* context);
int32_t vornExt_PreUpdate(const void* options, void* context);
int32_t vornExt_DoUpdate(const void* options, void* context);
int32_t vornExt_PostUpdate(const void* options, void* context);
int32_t vornExt_Rollback(const void* options, void* context);

}  // namespace ikx::update
