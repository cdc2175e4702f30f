#include "hostagent/sibling_extension.h"

#include "hostagent/export_lookup.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"

namespace ikx {

bool InitIProductVornExtObj(const wchar_t* path, IProductVornExtObject* obj) {
    if (!path || !obj) {
        LOG_WARN("input parameter is null");
        return false;
    }
    if (!VornAgentObj.LoadLibraryWithSignCheck.load()) {
        LOG_WARN("Vorn Agent object is invalid");
        return false;
    }
    obj->module = LoadVerifiedLibrary(path);
    if (!obj->module) {
        LOG_WARN("Load NIPC DLL failed (error: %d). Dll path: %ws",
                 static_cast<int>(::GetLastError()), path);
        return false;
    }
    HMODULE m = obj->module;
    obj->Init = LookupAs<SiblingInitFn>(m, "vornExt_Init");
    obj->Deinit = LookupAs<SiblingInitFn>(m, "vornExt_Deinit");
    obj->OnQueryData = LookupAs<SiblingQueryFn>(m, "vornExt_OnQueryData");
    obj->OnCommand = LookupAs<SiblingRequestFn>(m, "vornExt_OnCommand");
    obj->OnNotify = LookupAs<SiblingRequestFn>(m, "vornExt_OnNotify");
    obj->ParseLog = Lookup(m, "vornExt_ParseLog");
    obj->Free = LookupAs<SiblingFreeFn>(m, "vornExt_Free");
    if (obj->Init && obj->Deinit && obj->OnQueryData && obj->OnCommand && obj->OnNotify &&
        obj->ParseLog && obj->Free) {
        return true;
    }
    const int error = static_cast<int>(::GetLastError());
    *obj = IProductVornExtObject{};
    LOG_WARN("GetProcAddress failed (error: %d).", error);
    ::FreeLibrary(m);
    return false;
}

}  // namespace ikx
