// What became of a notification, told plainly: vornExt_OnNotify returns 0
// whatever its handler did, so the outcome is read from the records.
#include <cstdio>

bool VornhostLogged(const char* suffix);

void ReportNotifyOutcome() {
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
        if (VornhostLogged(outcome.record)) std::printf("vornhost: %s\n", outcome.meaning);
    }
}
