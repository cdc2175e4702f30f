#pragma once
// Putting a backup back over the install folder without ever deleting what it
// cannot put back: every file the backup lists is copied over what is there
// first, going on past one that cannot be replaced (a reader may hold it
// open); only then is what the backup does not list removed.
#include <windows.h>

#include <string>
#include <vector>

#include "deploy/backup_manifest.h"

namespace ikx {

struct RestoreFailure {
    std::wstring path;  // relative to the install folder
    DWORD error = 0;
};

// `backup` and `installFolder` end with a backslash; `manifest` is what the
// backup held once it was whole. Returns every listed entry that could not
// be put back. A link met in the install folder is neither written through
// nor walked: an entry there fails, an unlisted one is removed itself.
std::vector<RestoreFailure> RestoreBackup(const std::wstring& backup,
                                          const std::wstring& installFolder,
                                          const BackupManifest& manifest);

}  // namespace ikx
