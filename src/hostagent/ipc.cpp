#include "hostagent/ipc.h"

#include <string>
#include <utility>

#include "hostagent/host_agent.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"
#include "platform/handles.h"

namespace ikx {

void NipcEntryPoints::Resolve(ExportLookup& find) {
    find(NIPC_Init, "NIPC_Init");
    find(NIPC_SendData, "NIPC_SendData");
    find(NIPC_DeInit, "NIPC_DeInit");
    find(NIPC_CreateCommand, "NIPC_CreateCommand");
    find(NIPC_CmdDataCopy, "NIPC_CmdDataCopy");
    find(NIPC_FreeCommand, "NIPC_FreeCommand");
    find.Optional(NIPC_ReceiveStart, "NIPC_ReceiveStart");
    find.Optional(NIPC_ReceiveStop, "NIPC_ReceiveStop");
}

namespace {

bool IsBound(const NipcObject* object) {
    return object && object->library.bound();
}

// One command record, created in the library and freed on every way out.
class ScopedCommand {
  public:
    ScopedCommand(const NipcObject& object, uint32_t type, uint32_t code, uint32_t length)
        : ipc_(*object.library.get()), handle_(object.handle) {
        ipc_.NIPC_CreateCommand(&record_, type, code, length, handle_);
    }
    ~ScopedCommand() { ipc_.NIPC_FreeCommand(&record_, handle_); }
    ScopedCommand(const ScopedCommand&) = delete;
    ScopedCommand& operator=(const ScopedCommand&) = delete;

    void CopyData(const void* data) { ipc_.NIPC_CmdDataCopy(&record_, data, handle_); }
    // Synchronous: the reply can be read as soon as this returns 0.
    uint32_t Send(uint32_t destination) {
        return ipc_.NIPC_SendData(&record_, destination, handle_);
    }
    const uint32_t* Reply() const { return record_.reply; }

  private:
    const NipcEntryPoints& ipc_;
    const uint32_t handle_;
    NipcCommand record_ = {};
};

}  // namespace

bool InitNIPC(NipcObject* object) {
    if (!object) return false;
    std::wstring folder;
    if (!GetPelmoClientInsallPath(folder)) {
        LOG_WARN("Cannot get Pelmo folder.");
        return false;
    }
    const std::wstring path = folder + L"PlmPIPC.dll";
    if (!IsVornAgentBound()) {
        LOG_WARN("Vorn Agent object is invalid");
        return false;
    }
    UniqueModule module(LoadVerifiedLibrary(path.c_str()));
    if (!module) {
        const int error = static_cast<int>(::GetLastError());
        LOG_WARN("Load NIPC DLL failed (error: %d).", error);
        return false;
    }
    if (!object->library.Bind(std::move(module))) {
        LOG_WARN("GetProcAddress failed (error: %d).", static_cast<int>(::GetLastError()));
        return false;
    }
    object->handle = object->library->NIPC_Init(0, 0, "IKX");
    if (object->handle == 0) {
        const int error = static_cast<int>(::GetLastError());
        LOG_WARN("Fail to init NPIC for CLI! Last Error: %d", error);
        object->library.reset();
        return false;
    }
    LOG_INFO("Success to init NPIC for CLI!");
    return true;
}

void DeInitNIPC(NipcObject* object) {
    if (!object) return;
    if (object->handle != 0 && object->library.bound()) {
        object->library->NIPC_DeInit(&object->handle);
    }
    object->handle = 0;
    object->library.reset();
}

bool SendNIPCCmdToKxAgent(NipcObject* object, uint32_t type, uint32_t code, const void* data,
                          uint32_t length, uint32_t* reply) {
    // An unbound object has no entry points to call: as invalid as a null one.
    if (!IsBound(object)) {
        LOG_WARN("Invalid NIPC object");
        return false;
    }
    LOG_INFO("Send command to KXClient");
    ScopedCommand command(*object, type, code, length);
    command.CopyData(data);
    const uint32_t sent = command.Send(kNipcKxClient);
    if (sent != 0) {
        LOG_WARN("Send NIPC Command failed (error: %d).", static_cast<int>(sent));
        return false;
    }
    if (type != kNipcTypeReply || !reply) return true;
    const uint32_t* replied = command.Reply();
    if (!replied) {
        LOG_WARN("Replied data is NULL.");
        return false;
    }
    *reply = *replied;
    LOG_INFO("KXClient reply code: %d.", static_cast<int>(*reply));
    return true;
}

bool SendNIPCTOKXInstaller(NipcObject* object, uint32_t code) {
    if (!object || object->handle == 0 || !IsBound(object)) {
        LOG_WARN("IPC haven't init");
        return false;
    }
    ScopedCommand command(*object, kNipcTypeReply, code, 0);
    command.CopyData(nullptr);
    const uint32_t sent = command.Send(kNipcKxInstaller);
    if (sent != 0) {
        LOG_WARN("Send NIPC Command failed (error: %d).", static_cast<int>(sent));
        return false;
    }
    LOG_INFO("Sent NIPC Command.");
    const uint32_t* replied = command.Reply();
    if (!replied) {
        LOG_WARN("Replied data is NULL.");
        return false;
    }
    const uint32_t replyCode = *replied;
    LOG_INFO("KXClient reply code: %d.", static_cast<int>(replyCode));
    if (replyCode != kKxInstallerSuccess) {
        LOG_INFO("Notify KXInstaller failed (error: %d).", static_cast<int>(replyCode));
        return false;
    }
    return true;
}

bool NipcBindNoted(bool bound, const char* logFile, int line, const char* function) {
    if (!bound) WriteDebugLog(kLogTag, kWarn, logFile, line, function, "Init NIPC failed");
    return bound;
}

}  // namespace ikx
