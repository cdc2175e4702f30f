#include "hostagent/http_library.h"

#include <string>

#include "hostagent/host_agent.h"
#include "hostagent/export_lookup.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"

namespace ikx {

bool InitQvsockObj(QvsockObject* obj) {
    if (!obj) return false;
    if (!VornAgentObj.LoadLibraryWithSignCheck.load()) {
        LOG_WARN("Vorn Agent object is invalid");
        return false;
    }
    std::wstring folder;
    if (!GetPelmoClientInsallPath(folder)) {
        LOG_WARN("Cannot get Pelmo folder.");
        return false;
    }
    obj->module = LoadVerifiedLibrary((folder + L"QvSock.dll").c_str());
    if (!obj->module) {
        LOG_WARN("Load NIPC DLL failed (error: %d).", static_cast<int>(::GetLastError()));
        return false;
    }
    obj->qvSendHttpToPelmoServer = LookupAs<QvSendHttpFn>(obj->module, "qvSendHttpToPelmoServer");
    if (obj->qvSendHttpToPelmoServer) return true;
    LOG_WARN("GetProcAddress failed (error: %d).", static_cast<int>(::GetLastError()));
    ::FreeLibrary(obj->module);
    obj->module = nullptr;
    return false;
}

}  // namespace ikx
