// The staged upgrade arrives in its own change; until then every stage
// refuses, so a framework that tries an update sees a clean error.
#include "update/update.h"

#include "log/log.h"

namespace ikx::update {

int32_t vornExt_GetPrerequest(void*) {
    return kInvalidArgument;
}
int32_t vornExt_CreateContext(void**) {
    return kCreateContextFailed;
}
int32_t vornExt_ReleaseContext(void*) {
    return 0;
}
int32_t vornExt_PreUpdate(const void*, void*) {
    return kInvalidArgument;
}
int32_t vornExt_DoUpdate(const void*, void*) {
    return kInvalidArgument;
}
int32_t vornExt_PostUpdate(const void*, void*) {
    return kInvalidArgument;
}
int32_t vornExt_Rollback(const void*, void*) {
    return kInvalidArgument;
}

}  // namespace ikx::update
