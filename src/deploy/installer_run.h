#pragma once
// Running the sensor's installer: start it, hand it a command code over IPC
// destination 21 until it takes it, then wait for it to end.
//
// The install, uninstall and upgrade paths differ only in the parameters
// below, so each keeps its own function name and module on the records the
// run logs ("SendNIPCTOKXInstaller failed, need to try." at info after each
// refused send, and "Wait for KXInstaller to finish." when asked).
#include <windows.h>

#include <cstdint>
#include <string>

#include "hostagent/ipc.h"

namespace ikx {

struct InstallerRun {
    std::wstring installer;      // full path; the command line is this path quoted
    std::wstring workingFolder;  // the installer's current directory
    NipcObject* ipc = nullptr;   // bound by the caller
    uint32_t code = 0;           // 0x5001 install, 0x5002 uninstall, 0x5003 over an old one
    DWORD creationFlags = 0;     // CREATE_NO_WINDOW for commands, 0 for the upgrade
    const char* logFile = "";    // module file name on the run's records (IKX_LOG_FILE)
    const char* function = "";   // function name on the run's records
    bool announceWait = false;   // log "Wait for KXInstaller to finish." before the long wait
};

struct InstallerResult {
    enum Outcome {
        kStartFailed,         // CreateProcessW failed
        kEndedBeforeAck,      // the installer ended before a send succeeded
        kTimedOut,            // no end within 20 minutes of the acknowledgement: terminated
        kExitCodeUnreadable,  // GetExitCodeProcess failed
        kExited,              // ended; exitCode holds its code
    } outcome = kStartFailed;
    DWORD exitCode = 0;
    // Only 0x20ff0000 is the installer's success.
    bool Succeeded() const { return outcome == kExited && exitCode == kKxInstallerSuccess; }
};

// Polls every 5 s while the installer runs, sending `code` until a send
// succeeds; then waits up to 20 minutes and terminates it (exit code
// 0xFFFFFFFF) when it has not ended. All waits go through the clock.
InstallerResult RunInstaller(const InstallerRun& run);

}  // namespace ikx
