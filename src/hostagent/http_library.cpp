#include "hostagent/http_library.h"

#include <string>
#include <utility>

#include "hostagent/host_agent.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"

namespace ikx {

bool InitQvsockObj(QvsockObject* obj) {
    if (!obj) return false;
    if (!IsVornAgentBound()) {
        LOG_WARN("Vorn Agent object is invalid");
        return false;
    }
    std::wstring folder;
    if (!GetPelmoClientInsallPath(folder)) {
        LOG_WARN("Cannot get Pelmo folder.");
        return false;
    }
    UniqueModule module(LoadVerifiedLibrary((folder + L"QvSock.dll").c_str()));
    if (!module) {
        LOG_WARN("Load NIPC DLL failed (error: %d).", static_cast<int>(::GetLastError()));
        return false;
    }
    if (obj->Bind(std::move(module))) return true;
    LOG_WARN("GetProcAddress failed (error: %d).", static_cast<int>(::GetLastError()));
    return false;
}

}  // namespace ikx
