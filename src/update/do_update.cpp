// Update: the installer from the setup folder, handed the upgrade command.
#include "log/log.h"
#include "update/update.h"
#include "update/update_context.h"

namespace ikx::update {

int32_t vornExt_DoUpdate(const void* options, void* context) {
    if (const int32_t refused = CheckStageEntry(__func__, options, context)) return refused;
    auto& update = *static_cast<UpdateContext*>(context);
    update.state = kInstalling;
    return kInstallerNotStarted;  // INTERIM until the shared installer runner lands
}

}  // namespace ikx::update
