#pragma once
// The environment of a program the service starts as SYSTEM. Inherited, TEMP
// and TMP would name the Windows temp folder, where every user may write:
// installers that unpack there hand their files to anyone who replaces them
// first. So TEMP and TMP name a folder made for the run that only SYSTEM and
// Administrators may write, under a name nobody can take first, and the
// program starts in it; PATH holds only the system folders; the rest is this
// process's environment.
#include <windows.h>

#include <vector>

#include "win32/processes.h"
#include "workfolders/work_folders.h"

namespace ikx {

class ChildEnvironment : public ChildSetup {
  public:
    ChildEnvironment() = default;
    ~ChildEnvironment() override;
    ChildEnvironment(const ChildEnvironment&) = delete;
    ChildEnvironment& operator=(const ChildEnvironment&) = delete;

    // Makes the run's folder and the block; a Windows error, 0 on success.
    DWORD Prepare() override;
    // For CreateProcessW with CREATE_UNICODE_ENVIRONMENT.
    void* Block() override { return block_.data(); }
    // The run's folder, without a trailing backslash.
    const wchar_t* Folder() const override { return folder_.c_str(); }

  private:
    WorkFolder temp_;
    std::wstring folder_;
    std::vector<wchar_t> block_;
};

}  // namespace ikx
