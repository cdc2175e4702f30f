#include "hostagent/ipc.h"

#include <string>

#include "hostagent/host_agent.h"
#include "hostagent/vorn_agent.h"
#include "log/log.h"
#include "platform/handles.h"

namespace ikx {

namespace {

// Looks up one entry point; keeps the last error of the first required
// lookup that fails, before later lookups can overwrite it.
template <typename Fn>
Fn Resolve(HMODULE module, const char* name, DWORD* firstError) {
    FARPROC address = ::GetProcAddress(module, name);
    if (!address && *firstError == 0) *firstError = ::GetLastError();
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// Fills the eight entry points; true when the six the library calls are there.
bool BindEntryPoints(HMODULE module, NipcObject* object, DWORD* error) {
    object->NIPC_Init = Resolve<NipcInitFn>(module, "NIPC_Init", error);
    object->NIPC_SendData = Resolve<NipcSendDataFn>(module, "NIPC_SendData", error);
    object->NIPC_DeInit = Resolve<NipcDeInitFn>(module, "NIPC_DeInit", error);
    object->NIPC_CreateCommand = Resolve<NipcCreateCommandFn>(module, "NIPC_CreateCommand", error);
    object->NIPC_CmdDataCopy = Resolve<NipcCmdDataCopyFn>(module, "NIPC_CmdDataCopy", error);
    object->NIPC_FreeCommand = Resolve<NipcFreeCommandFn>(module, "NIPC_FreeCommand", error);
    // Optional: never called, so their absence does not fail the binding.
    object->NIPC_ReceiveStart = ::GetProcAddress(module, "NIPC_ReceiveStart");
    object->NIPC_ReceiveStop = ::GetProcAddress(module, "NIPC_ReceiveStop");
    return object->NIPC_Init && object->NIPC_SendData && object->NIPC_DeInit &&
           object->NIPC_CreateCommand && object->NIPC_CmdDataCopy && object->NIPC_FreeCommand;
}

void ClearEntryPoints(NipcObject* object) {
    object->NIPC_Init = nullptr;
    object->NIPC_SendData = nullptr;
    object->NIPC_DeInit = nullptr;
    object->NIPC_CreateCommand = nullptr;
    object->NIPC_CmdDataCopy = nullptr;
    object->NIPC_FreeCommand = nullptr;
    object->NIPC_ReceiveStart = nullptr;
    object->NIPC_ReceiveStop = nullptr;
}

bool IsBound(const NipcObject* object) {
    return object && object->NIPC_CreateCommand && object->NIPC_CmdDataCopy &&
           object->NIPC_SendData && object->NIPC_FreeCommand;
}

// One command record, created in the library and freed on every way out.
class ScopedCommand {
  public:
    ScopedCommand(const NipcObject& object, uint32_t type, uint32_t code, uint32_t length)
        : object_(object) {
        object_.NIPC_CreateCommand(&record_, type, code, length, object_.handle);
    }
    ~ScopedCommand() { object_.NIPC_FreeCommand(&record_, object_.handle); }
    ScopedCommand(const ScopedCommand&) = delete;
    ScopedCommand& operator=(const ScopedCommand&) = delete;

    void CopyData(const void* data) { object_.NIPC_CmdDataCopy(&record_, data, object_.handle); }
    // Synchronous: the reply can be read as soon as this returns 0.
    uint32_t Send(uint32_t destination) {
        return object_.NIPC_SendData(&record_, destination, object_.handle);
    }
    const uint32_t* Reply() const { return record_.reply; }

  private:
    const NipcObject& object_;
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
    if (!VornAgentObj.LoadLibraryWithSignCheck.load()) {
        LOG_WARN("Vorn Agent object is invalid");
        return false;
    }
    UniqueModule module(LoadVerifiedLibrary(path.c_str()));
    if (!module) {
        const int error = static_cast<int>(::GetLastError());
        LOG_WARN("Load NIPC DLL failed (error: %d).", error);
        return false;
    }
    DWORD lookupError = 0;
    if (!BindEntryPoints(module.get(), object, &lookupError)) {
        LOG_WARN("GetProcAddress failed (error: %d).", static_cast<int>(lookupError));
        *object = NipcObject{};
        return false;  // the module owner releases the library
    }
    object->handle = object->NIPC_Init(0, 0, "IKX");
    if (object->handle == 0) {
        const int error = static_cast<int>(::GetLastError());
        LOG_WARN("Fail to init NPIC for CLI! Last Error: %d", error);
        ClearEntryPoints(object);
        return false;
    }
    object->module = module.release();
    LOG_INFO("Success to init NPIC for CLI!");
    return true;
}

void DeInitNIPC(NipcObject* object) {
    if (!object) return;
    if (object->handle != 0 && object->NIPC_DeInit) {
        object->NIPC_DeInit(&object->handle);
    }
    object->handle = 0;
    ClearEntryPoints(object);
    if (object->module) {
        ::FreeLibrary(object->module);
        object->module = nullptr;
    }
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
