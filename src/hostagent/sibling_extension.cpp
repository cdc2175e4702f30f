#include "hostagent/sibling_extension.h"

#include <string>
#include <utility>

#include "hostagent/host_agent.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"

namespace ikx {

void SiblingEntryPoints::Resolve(ExportLookup& find) {
    find(Init, "vornExt_Init");
    find(Deinit, "vornExt_Deinit");
    find(OnQueryData, "vornExt_OnQueryData");
    find(OnCommand, "vornExt_OnCommand");
    find(OnNotify, "vornExt_OnNotify");
    find(ParseLog, "vornExt_ParseLog");
    find(Free, "vornExt_Free");
}

bool InitIProductVornExtObj(const wchar_t* path, IProductVornExtObject* obj) {
    if (!path || !obj) {
        LOG_WARN("input parameter is null");
        return false;
    }
    if (!IsVornAgentBound()) {
        LOG_WARN("Vorn Agent object is invalid");
        return false;
    }
    UniqueModule module(LoadVerifiedLibrary(path));
    if (!module) {
        LOG_WARN("Load NIPC DLL failed (error: %d). Dll path: %ws",
                 static_cast<int>(::GetLastError()), path);
        return false;
    }
    if (obj->Bind(std::move(module))) return true;
    LOG_WARN("GetProcAddress failed (error: %d).", static_cast<int>(::GetLastError()));
    return false;
}

bool UseBordaExtension(const std::function<void(const SiblingEntryPoints&)>& use,
                       const char* logFile, int line, const char* function) {
    std::wstring folder;
    if (!GetPelmoClientInsallPath(folder)) {
        WriteDebugLog(kLogTag, kWarn, logFile, line, function, "Cannot get Pelmo folder.");
        return false;
    }
    IProductVornExtObject sibling;
    if (!InitIProductVornExtObj((folder + L"vornExt_iBordaClient.dll").c_str(), &sibling)) {
        WriteDebugLog(kLogTag, kWarn, logFile, line, function, "Cannot load iBorda's ext dll.");
        return false;
    }
    sibling->Init(0, 0);
    use(*sibling.get());
    sibling->Deinit(0, 0);
    // Both the policy forwarding and the status query leave the library
    // loaded after its Deinit: unloading the framework's other extension is
    // the framework's to do.
    sibling.release();
    return true;
}

}  // namespace ikx
