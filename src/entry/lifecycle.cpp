#include "entry/lifecycle.h"

#include <windows.h>

#include <cstdlib>

#include "sensor/stop_pending.h"
#include "hostagent/vorn_agent.h"
#include "entry/exports.h"
#include "log/log.h"

namespace ikx {

std::atomic<int32_t> InitCount{0};

bool PassesCommonGate(const char* caller) {
    if (!IsVornAgentBound()) {
        IKX_LOG_FOR(caller, kWarn, "Haven't init!");
        return false;
    }
    const VornAgentEntryPoints* agent = VornAgentObj.get();
    if (!agent || agent->VerifyLoaderProcessSign(kExpectedSigner) == 0) {
        IKX_LOG_FOR(caller, kWarn, "Dll Loader is invalid!");
        return false;
    }
    return true;
}

namespace exports {

int32_t vornExt_Init() {
    LOG_TRACE(">>><<<");
    if (InitCount.fetch_add(1) + 1 != 1) return 0;
    LOG_TRACE("Init VornAgent object");
    if (InitVornAgentObj()) return 0;
    LOG_WARN("Init VornAgent object failed!");
    InitCount.exchange(0);
    ServiceStopPending.exchange(0);
    return 0;
}

int32_t vornExt_Deinit() {
    LOG_TRACE(">>><<<");
    // A decrement that never takes the count below 0, even for racing calls.
    int32_t count = InitCount.load();
    do {
        if (count == 0) return 0;
    } while (!InitCount.compare_exchange_weak(count, count - 1));
    if (count - 1 != 0) return 0;
    LOG_TRACE("Deinit VornAgent object");
    ReleaseVornAgentObj();
    return 0;
}

int32_t vornExt_Free(void* buffer) {
    LOG_TRACE(">>>");
    std::free(buffer);
    LOG_TRACE("<<<");
    return 0;
}

}  // namespace exports
}  // namespace ikx

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ikx::CreateLogWriter();
        ::DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        ikx::DestroyLogWriter();
    }
    return TRUE;
}
