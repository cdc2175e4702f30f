// Service status and product version queries.
#include "hostagent/host_agent.h"
#include "sensor/versions.h"
#include "sensor/installed.h"
#include "sensor/sensor_services.h"
#include "platform/text.h"
#include "log/log.h"
#include "query/query_handlers.h"
#include "query/query_response.h"
#include "query/sensor_status.h"

namespace ikx {
namespace {

void ReadServiceStates(KxServiceGeneration generation, DWORD& client, DWORD& engine) {
    if (generation == KxServiceGeneration::kCurrent) {
        QueryIKxclientServiceStatus(client);
        QueryKxeServiceStatus(engine);
    } else {
        QueryOldKxclientServiceStatus(client);
        QueryOldKxeServiceStatus(engine);
    }
}

// Logs in the name of the handler that asked.
int32_t ClassifyBothServices(const char* op, DWORD client, DWORD engine) {
    if (client == SERVICE_RUNNING && engine == SERVICE_RUNNING) {
        LOG_WARN_AS(op, "iKX service is running");
        return kSensorRunning;
    }
    if (client == SERVICE_STOPPED || engine == SERVICE_STOPPED) {
        LOG_WARN_AS(op, "iKX service is stopped");
        return kSensorStopped;
    }
    const auto pending = [](DWORD s) {
        return s == SERVICE_START_PENDING || s == SERVICE_STOP_PENDING;
    };
    if (pending(client) || pending(engine)) {
        LOG_WARN_AS(op, "iKX service is pending");
        return kSensorPending;
    }
    LOG_WARN_AS(op, "iKX service status is unknown...");
    return kSensorUnknown;
}

int32_t SensorStatusOfBothServices(const char* op) {
    if (!IsIKxInstalled()) {
        LOG_INFO_AS(op, "iKX is not installed");
        return kSensorNotInstalled;
    }
    const KxServiceGeneration generation = GetKxServiceGeneration();
    if (generation == KxServiceGeneration::kNone) {
        LOG_TRACE_AS(op, "iKX client is gone, return stopped");
        return kSensorStopped;
    }
    DWORD client = 0, engine = 0;
    ReadServiceStates(generation, client, engine);
    LOG_TRACE_AS(op, "iKX Current State: KXClient - %d, KXE - %d", static_cast<int>(client),
                 static_cast<int>(engine));
    return ClassifyBothServices(op, client, engine);
}

}  // namespace

void ReadBothServiceStates(KxServiceGeneration generation, DWORD& client, DWORD& engine) {
    ReadServiceStates(generation, client, engine);
}

bool OnQueryClientServiceStatus(const Json::Value&, Json::Value& response) {
    LOG_INFO("[vornExt_OnQueryData][OnQueryClientServiceStatus][Start]");
    SetQueryHeader(response, "VORN_ONQUERY_SERVICE_STATUS");
    response["result_data"]["content"]["status_code"] = SensorStatusOfBothServices(__func__);
    return true;
}

int32_t GetKXAgentServiceStatus() {
    if (!IsIKxInstalled()) {
        LOG_WARN("iKX is not installed.");
        return kSensorNotInstalled;
    }
    const KxServiceGeneration generation = GetKxServiceGeneration();
    if (generation == KxServiceGeneration::kNone) {
        LOG_WARN("iKX client is gone, set status to stopped");
        return kSensorStopped;
    }
    DWORD state = 0;
    if (generation == KxServiceGeneration::kCurrent) {
        QueryIKxclientServiceStatus(state);
    } else {
        QueryOldKxclientServiceStatus(state);
    }
    LOG_INFO("iKX Current State: KXClient - %d", static_cast<int>(state));
    switch (state) {
        case SERVICE_RUNNING:
            LOG_INFO("iKX service is running");
            return kSensorRunning;
        case SERVICE_STOPPED:
            LOG_INFO("iKX service is stopped");
            return kSensorStopped;
        case SERVICE_START_PENDING:
        case SERVICE_STOP_PENDING:
            LOG_INFO("iKX service is pending");
            return kSensorPending;
        default:
            LOG_INFO("iKX service status is unknown...");
            return kSensorUnknown;
    }
}

bool QueryClientProductVersion(const Json::Value&, Json::Value& response) {
    LOG_TRACE("[Start]");
    std::string version;
    GetKxcVersionString(version);
    std::string guid;
    GetPelmoClientGUID(guid);
    SetQueryHeader(response, "VORN_ONQUERY_PRODUCT_VERSION");
    response["result_data"]["content"]["product_version"] = AnsiToUtf8(version);
    response["result_data"]["content"]["agent_guid"] = AnsiToUtf8(guid);
    LOG_TRACE("[End]");
    return true;
}

}  // namespace ikx
