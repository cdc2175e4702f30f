// vornhost update <package folder> [--option N] [--fail-at STAGE] [--rollback]
//
// Plays the framework's sequence: prerequisite, create, pre-update, update,
// then post-update, or rollback when a stage failed, when --fail-at names the
// stage after which the framework gives up (pre-update, update or
// post-update), or when --rollback asks for it; finally release. Prints each
// stage's result code by name, the prerequisite record's fields and the
// context's state (the framework's stand-in may peek at its first field).
#include "update_stages.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vornhost {
namespace {

using PrerequestFn = int32_t(__cdecl*)(void*);
using CreateFn = int32_t(__cdecl*)(void**);
using ReleaseFn = int32_t(__cdecl*)(void*);
using StageFn = int32_t(__cdecl*)(const void*, void*);

struct UpdateExports {
    PrerequestFn prerequest = nullptr;
    CreateFn create = nullptr;
    ReleaseFn release = nullptr;
    StageFn preUpdate = nullptr, doUpdate = nullptr, postUpdate = nullptr, rollback = nullptr;
};

// The framework's records, laid out at the byte offsets the exports use.
#pragma pack(push, 1)
struct Prerequisite {
    uint32_t reserved;
    uint32_t flags;                // offset 4
    uint32_t major, minor, build;  // offsets 8, 12, 16
    uint8_t pad;
    uint8_t noNeedUnzip;  // offset 21
    uint8_t tail[42];
};
struct Options {
    uint32_t reserved;
    uint32_t option;             // offset 4
    wchar_t filePath[MAX_PATH];  // offset 8
};
#pragma pack(pop)

struct Settings {
    std::string packageFolder;
    uint32_t option = 0;
    std::string failAt;
    bool rollback = false;
};

const char* CodeName(int32_t code) {
    switch (code) {
        case 0:
            return "OK";
        case 0x1030002:
            return "CLEAR_OR_EXIT_CODE_FAILED";
        case 0x1030003:
            return "INVALID_ARGUMENT";
        case 0x1030007:
            return "CREATE_CONTEXT_FAILED";
        case 0x1030008:
            return "ROLLBACK_AFTER_POST_UPDATE";
        case 0x1030013:
            return "FOLDER_NOT_EMPTIED";
        case 0x1030014:
            return "EXTRACT_OR_BACKUP_FAILED";
        case 0x1030015:
            return "INSTALLER_FAILED";
        case 0x1030016:
            return "INSTALLER_NOT_STARTED";
        case 0x1030017:
            return "IPC_FAILED";
        case 0x1030018:
            return "INSTALLER_TIMED_OUT";
        default:
            return "UNKNOWN";
    }
}

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (!fn) std::printf("vornhost: the DLL lacks %s\n", name);
    return fn != nullptr;
}

bool Bind(HMODULE module, UpdateExports& ex) {
    return Resolve(module, "vornExt_GetPrerequest", ex.prerequest) &
           Resolve(module, "vornExt_CreateContext", ex.create) &
           Resolve(module, "vornExt_ReleaseContext", ex.release) &
           Resolve(module, "vornExt_PreUpdate", ex.preUpdate) &
           Resolve(module, "vornExt_DoUpdate", ex.doUpdate) &
           Resolve(module, "vornExt_PostUpdate", ex.postUpdate) &
           Resolve(module, "vornExt_Rollback", ex.rollback);
}

bool Parse(int argc, char** argv, int at, Settings& settings) {
    if (at >= argc) return false;
    settings.packageFolder = argv[at];
    for (int i = at + 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rollback") {
            settings.rollback = true;
        } else if (arg == "--option" && i + 1 < argc) {
            settings.option = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (arg == "--fail-at" && i + 1 < argc) {
            settings.failAt = argv[++i];
        } else {
            return false;
        }
    }
    const std::string& f = settings.failAt;
    return f.empty() || f == "pre-update" || f == "update" || f == "post-update";
}

// The file the framework names: the package itself, inside its folder.
void FillOptions(const Settings& settings, Options& options) {
    std::string path = settings.packageFolder;
    if (path.empty() || path.back() != '\\') path += '\\';
    path += "instupg_iKX.zip";
    options = {};
    options.option = settings.option;
    ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, options.filePath, MAX_PATH - 1);
}

// Runs one stage and prints its result; true when it succeeded and the
// framework would go on.
bool Stage(const char* name, StageFn fn, const Options& options, void* context,
           const Settings& settings, const char* stage) {
    const int32_t rc = fn(&options, context);
    std::printf("%-19s returned 0x%x %s; context state %u\n", name, static_cast<unsigned>(rc),
                CodeName(rc), context ? *static_cast<uint32_t*>(context) : 0u);
    if (rc == 0 && *stage && settings.failAt == stage) {
        std::printf("vornhost: giving up after %s as asked\n", stage);
        return false;
    }
    return rc == 0;
}

void PrintPrerequisite(const UpdateExports& ex) {
    Prerequisite record = {};
    const int32_t rc = ex.prerequest(&record);
    std::printf(
        "vornExt_GetPrerequest returned 0x%x %s: field@4 %u, version %u.%u.%u, "
        "bNoNeedUnzip %u\n",
        static_cast<unsigned>(rc), CodeName(rc), record.flags, record.major, record.minor,
        record.build, record.noNeedUnzip);
}

}  // namespace

int RunUpdate(HMODULE module, int argc, char** argv, int at) {
    Settings settings;
    if (!Parse(argc, argv, at, settings)) {
        std::printf(
            "usage: vornhost update PACKAGE_FOLDER [--option N] "
            "[--fail-at pre-update|update|post-update] [--rollback]\n");
        return 2;
    }
    UpdateExports ex;
    if (!Bind(module, ex)) return 3;
    PrintPrerequisite(ex);
    void* context = nullptr;
    const int32_t created = ex.create(&context);
    std::printf("vornExt_CreateContext returned 0x%x %s\n", static_cast<unsigned>(created),
                CodeName(created));
    if (created != 0) return 1;
    Options options;
    FillOptions(settings, options);
    bool upgraded =
        Stage("vornExt_PreUpdate", ex.preUpdate, options, context, settings, "pre-update") &&
        Stage("vornExt_DoUpdate", ex.doUpdate, options, context, settings, "update");
    if (upgraded && !settings.rollback) {
        upgraded =
            Stage("vornExt_PostUpdate", ex.postUpdate, options, context, settings, "post-update");
        if (!upgraded) Stage("vornExt_Rollback", ex.rollback, options, context, settings, "");
    } else {
        Stage("vornExt_Rollback", ex.rollback, options, context, settings, "");
        upgraded = false;
    }
    std::printf("vornExt_ReleaseContext returned %d\n", ex.release(context));
    std::printf("vornhost: upgrade %s\n", upgraded ? "completed" : "abandoned");
    return upgraded ? 0 : 1;
}

}  // namespace vornhost
