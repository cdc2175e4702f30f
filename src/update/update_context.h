#pragma once
// The records the framework hands to the update stages, read and written at
// their fixed byte offsets (the same on the 32-bit and the 64-bit build), and
// the context that carries an update from stage to stage.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <memory>

#include "deploy/backup_manifest.h"
#include "hostagent/ipc.h"
#include "workfolders/work_folders.h"

namespace ikx::update {

// Prerequisite record, filled for the framework.
constexpr size_t kPrerequisiteFlagsOffset = 4;
constexpr size_t kPrerequisiteMajorOffset = 8;
constexpr size_t kPrerequisiteMinorOffset = 12;
constexpr size_t kPrerequisiteBuildOffset = 16;
constexpr size_t kPrerequisiteNoNeedUnzipOffset = 21;
constexpr uint32_t kPrerequisiteFlags = 512;

// Update options record, passed to every stage.
constexpr size_t kOptionsOptionOffset = 4;
constexpr size_t kOptionsFilePathOffset = 8;
// The framework's path field holds at most this many UTF-16 units.
constexpr size_t kOptionsFilePathUnits = MAX_PATH;
constexpr uint32_t kHighestUpdateOption = 2;

constexpr size_t kInstallFolderUnits = 260;

enum UpdateState : uint32_t {
    kCreated = 0,
    kStaged = 1,      // package staged, installation backed up
    kInstalling = 2,  // installer being run
    kInstalled = 3,   // installer reported success
    kPostUpdating = 4,
    kRollingBack = 5,
    kFinished = 6,
};

// Opaque to the framework; allocated zero-filled so `ipc` starts unbound.
struct UpdateContext {
    uint32_t state;
    wchar_t installFolder[kInstallFolderUnits];
    NipcObject ipc;
    uint32_t versionMajor;
    uint32_t versionMinor;
    uint32_t versionBuild;
    // Beyond the framework's view: the staging folder, held from pre-update
    // until the update ends, and what its backup held once it was whole,
    // written last by pre-update. Without both a rollback restores nothing.
    WorkFolder staging;
    std::unique_ptr<BackupManifest> backup;
};

template <typename T>
T ReadField(const void* record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof value);
    return value;
}

template <typename T>
void WriteField(void* record, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &value, sizeof value);
}

inline uint32_t UpdateOption(const void* options) {
    return ReadField<uint32_t>(options, kOptionsOptionOffset);
}

// The options record's file path, read up to its terminator; false when the
// field holds no terminator (the text is then what the field holds).
bool ReadOptionsFilePath(const void* options, std::wstring& path);

// The checks every stage makes first, logged in the stage's name: a null
// context or options record, or an update option above 2, give 0x1030003.
int32_t CheckStageEntry(const char* stage, const void* options, const void* context);

}  // namespace ikx::update
