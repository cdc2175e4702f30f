#pragma once
// What became of a notification, told plainly: vornExt_OnNotify returns 0
// whatever its handler did, so the outcome is read from the records.

namespace vornhost {

// `logged` says whether the extension sent a record ending in the given text.
void ReportNotifyOutcome(bool (*logged)(const char* suffix));

}  // namespace vornhost
