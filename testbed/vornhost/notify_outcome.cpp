#include "notify_outcome.h"

#include <cstdio>

namespace vornhost {

void ReportNotifyOutcome(bool (*logged)(const char* suffix)) {
    const struct {
        const char* record;
        const char* meaning;
    } outcomes[] = {
        {"[vornExt_OnNotify][iKX haven't install]",
         "notification refused: no QVKXC service with a KXC version of 3 or later"},
        {"[vornExt_OnNotify][product_id is not iKX]", "notification ignored: not for iKX"},
        {"[vornExt_OnNotify][End]", "notification ignored: no handler for this id and type"},
        {"[vornExt_OnNotify][Execute Notify data failed]", "the notification handler failed"},
        {"[vornExt_OnNotify][Execute Notify data succeed]", "the notification handler succeeded"},
    };
    for (const auto& outcome : outcomes) {
        if (logged(outcome.record)) std::printf("vornhost: %s\n", outcome.meaning);
    }
}

}  // namespace vornhost
