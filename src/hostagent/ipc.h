#pragma once
// The short-lived binding to the host agent's IPC library PlmPIPC.dll, the
// command record it fills, and the command codes the rest of the system sends.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/bound_library.h"

namespace ikx {

// Command types.
constexpr uint32_t kNipcTypeNoReply = 1;  // reply not read
constexpr uint32_t kNipcTypeReply = 3;    // reply code read and handed back

// Destinations.
constexpr uint32_t kNipcKxClient = 20;
constexpr uint32_t kNipcKxInstaller = 21;

// The installer's success reply; the client answers 0 for success.
constexpr uint32_t kKxInstallerSuccess = 0x20ff0000;

// Commands to the sensor client.
constexpr uint32_t kKxCmdEnableOrNewTask = 0x4001;  // MDR on; new policy task
constexpr uint32_t kKxCmdSelfProtection = 0x4002;   // also sent before a stop
constexpr uint32_t kKxCmdEnablePolicy = 0x4004;
constexpr uint32_t kKxCmdComponentUpdate = 0x5006;
constexpr uint32_t kKxCmdAgentContext = 0x5007;
constexpr uint32_t kKxCmdSarnCensus = 0x5008;
constexpr uint32_t kKxCmdTrustedPrograms = 0x5010;
constexpr uint32_t kKxCmdLightWeightMode = 0x5011;
constexpr uint32_t kKxCmdProxy = 0x5012;
constexpr uint32_t kKxCmdDataLakeLogging = 0x5014;
constexpr uint32_t kKxCmdAggressiveDetection = 0x5015;
constexpr uint32_t kKxCmdDisable = 0x6001;          // MDR off; policy disable
constexpr uint32_t kKxCmdUninstallNotice = 0x6002;  // before an uninstall starts

// Commands to the sensor installer.
constexpr uint32_t kInstallerCmdInstall = 0x5001;
constexpr uint32_t kInstallerCmdUninstall = 0x5002;
constexpr uint32_t kInstallerCmdInstallOverOld = 0x5003;  // also the upgrade

// The record a sender provides for one command. Only the reply pointer at
// byte 48 is ours to read; the rest belongs to PlmPIPC.dll. 68 bytes on the
// 32-bit build; on 64-bit the pointer is wider and the record grows with it.
struct NipcCommand {
    uint8_t opaque[48];
    const uint32_t* reply;  // the first word of the reply data is the reply code
    uint8_t tail[16];
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(NipcCommand) == 68, "the command record is 68 bytes");
#else
static_assert(sizeof(NipcCommand) == 72, "68 bytes with an 8-byte reply pointer");
#endif
static_assert(offsetof(NipcCommand, reply) == 48, "the reply pointer sits at byte 48");

using NipcInitFn = uint32_t(__cdecl*)(uint32_t, uint32_t, const char* name);
using NipcSendDataFn = uint32_t(__cdecl*)(NipcCommand* record, uint32_t destination,
                                          uint32_t handle);
using NipcDeInitFn = void(__cdecl*)(uint32_t* handle);
using NipcCreateCommandFn = void(__cdecl*)(NipcCommand* record, uint32_t type, uint32_t code,
                                           uint32_t length, uint32_t handle);
using NipcCmdDataCopyFn = void(__cdecl*)(NipcCommand* record, const void* data, uint32_t handle);
using NipcFreeCommandFn = void(__cdecl*)(NipcCommand* record, uint32_t handle);

// The IPC library's entry points; the two receive functions are looked up
// but never called, so their absence fails nothing.
struct NipcEntryPoints {
    NipcInitFn NIPC_Init = nullptr;
    NipcSendDataFn NIPC_SendData = nullptr;
    NipcDeInitFn NIPC_DeInit = nullptr;
    NipcCreateCommandFn NIPC_CreateCommand = nullptr;
    NipcCmdDataCopyFn NIPC_CmdDataCopy = nullptr;
    NipcFreeCommandFn NIPC_FreeCommand = nullptr;
    FARPROC NIPC_ReceiveStart = nullptr;
    FARPROC NIPC_ReceiveStop = nullptr;

    void Resolve(ExportLookup& find);
};

// Owned by its user, empty before InitNIPC, released by DeInitNIPC.
struct NipcObject {
    BoundLibrary<NipcEntryPoints> library;
    uint32_t handle = 0;  // 0 = not initialised
};

bool InitNIPC(NipcObject* object);
void DeInitNIPC(NipcObject* object);
// One command to the sensor client. With type 3 and `reply`, the reply code
// is handed back as it came; judging it is the caller's work.
bool SendNIPCCmdToKxAgent(NipcObject* object, uint32_t type, uint32_t code, const void* data,
                          uint32_t length, uint32_t* reply);
// One type-3 command without data to the installer; true only on its success reply.
bool SendNIPCTOKXInstaller(NipcObject* object, uint32_t code);

// Gives `bound` back; when false, "Init NIPC failed" goes on a warning record
// that names the caller's module, line and function, as if it logged it itself.
bool NipcBindNoted(bool bound, const char* logFile, int line, const char* function);

}  // namespace ikx

#define NIPC_BOUND_OR_LOGGED(bound) ::ikx::NipcBindNoted((bound), IKX_LOG_FILE, __LINE__, __func__)
#define NIPC_BOUND_OR_LOGGED_AS(function, bound) \
    ::ikx::NipcBindNoted((bound), IKX_LOG_FILE, __LINE__, function)
