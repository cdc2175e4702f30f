#pragma once
// The environment of a program the service starts as SYSTEM. Inherited, TEMP
// and TMP would name the Windows temp folder, where every user may write:
// installers that unpack there hand their files to anyone who replaces them
// first. So TEMP and TMP name a folder made for the run that only SYSTEM and
// Administrators may write, and PATH holds only the system folders; the rest
// is this process's environment.
#include <windows.h>

#include <vector>

#include "workfolders/work_folders.h"

namespace ikx {

class ChildEnvironment {
  public:
    ChildEnvironment() = default;
    ~ChildEnvironment();
    ChildEnvironment(const ChildEnvironment&) = delete;
    ChildEnvironment& operator=(const ChildEnvironment&) = delete;

    // Makes the run's folder and the block; a Windows error, 0 on success.
    DWORD Prepare();
    // For CreateProcessW with CREATE_UNICODE_ENVIRONMENT.
    void* Block() { return block_.data(); }

  private:
    WorkFolder temp_;
    std::vector<wchar_t> block_;
};

}  // namespace ikx
