// The release's own bytes at work: the DLL scripts/release packed (path in
// IKX_RELEASE_DLL), loaded by this 32-bit program under 32-bit Wine on a
// 64-bit prefix, binds to the signed host agent stand-in, answers one query
// of each kind and unloads with nothing of it left in the process. It has no
// time scaling: the release reads no test setting.
#include <cstdlib>

#include "sensor_world.h"

using namespace testsupport;

namespace {

struct QueryCase {
    const char* id;
    const char* type;
    const char* holds;  // a piece of the answer that only a read of the sensor gives
};

const QueryCase kQueries[] = {
    {"VORN_ONQUERY_SERVICE_STATUS", "", "\"status_code\""},
    {"VORN_ONQUERY_PRODUCT_VERSION", "", "3.4.5.6789"},
    {"VORN_ONQUERY_COMMON_SETTINGS", "", "\"content\""},
    {"VORN_ONQUERY_SELF_PROTECTION", "", "\"content\""},
    {"VORN_ONQUERY_CLIENT_STATUS_LOG", "VORN_CLIENT_ALL_STATUS_LOG", "\"content\""},
    // No component is listed while the sensor's services are not running.
    {"VORN_ONQUERY_COMPONENT_INFO", "VORN_RUNTIME_COMPONENT_INFO", "\"content\" : []"},
    {"VORN_ONQUERY_COMPONENT_INFO", "VORN_ALL_PLATFORM_COMPONENT_INFO", "\"content\" : []"}};

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

TEST(ReleaseDll, LoadsBindsAnswersEachQueryAndUnloads) {
    static_assert(sizeof(void*) == 4, "the release is loaded by a 32-bit program");
    const char* path = std::getenv("IKX_RELEASE_DLL");
    ASSERT_TRUE(path && *path) << "IKX_RELEASE_DLL names no DLL (scripts/test sets it)";
    LogCollector log;
    HostAgent agent;
    CleanSensor();
    RegisterSensor();

    HMODULE module = ::LoadLibraryW(Widen(path).c_str());
    ASSERT_NE(module, nullptr) << path << ": error " << ::GetLastError();
    const auto init = Export<int32_t (*)()>(module, "vornExt_Init");
    const auto deinit = Export<int32_t (*)()>(module, "vornExt_Deinit");
    const auto release = Export<int32_t (*)(void*)>(module, "vornExt_Free");
    const auto query = Export<int32_t (*)(int32_t, uint32_t, const char*, uint32_t*, char**)>(
        module, "vornExt_OnQueryData");
    ASSERT_TRUE(init && deinit && release && query);

    EXPECT_EQ(init(), 0);
    EXPECT_TRUE(log.Contains("VornAgent dll's signer is Corvask, Inc."));
    EXPECT_FALSE(log.Contains("Init VornAgent object failed!"));
    for (const QueryCase& row : kQueries) {
        const std::string request = IkxQuery(row.id, row.type);
        uint32_t length = 0;
        char* response = nullptr;
        EXPECT_EQ(
            query(0, static_cast<uint32_t>(request.size()), request.c_str(), &length, &response),
            0);
        ASSERT_NE(response, nullptr) << row.id << " " << row.type;
        const std::string text(response, length);
        release(response);
        const Json::Value answer = Parse(text);
        EXPECT_EQ(answer["product_id"].asString(), "VORN_IPRODUCT_IKX") << text;
        EXPECT_EQ(answer["result_code"].asInt(), 0) << text;
        EXPECT_NE(text.find(row.holds), std::string::npos) << row.id << ": " << text;
    }
    EXPECT_FALSE(log.Contains("Haven't init!"));
    EXPECT_FALSE(log.Contains("Dll Loader is invalid!"));

    EXPECT_EQ(deinit(), 0);
    EXPECT_EQ(::GetModuleHandleW((agent.Folder() + L"VornAgent.dll").c_str()), nullptr);
    EXPECT_TRUE(::FreeLibrary(module));
    EXPECT_EQ(::GetModuleHandleW(Widen(path).c_str()), nullptr);
    EXPECT_EQ(::GetModuleHandleW(L"vornExt_iKXClient.dll"), nullptr);
    CleanSensor();
}

}  // namespace
