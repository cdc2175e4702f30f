#pragma once
// Shared by the request tests: a clean sensor world around the loaded DLL,
// the sensor's services under the service manager, and asking a query.
#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "support.h"

namespace testsupport {
using namespace std::chrono_literals;

inline const std::wstring kKxcKey = L"SOFTWARE\\Corvask\\KXC";
inline const std::wstring kKxeKey = L"SOFTWARE\\Corvask\\KXE";
inline const std::wstring kAgentKey = L"SOFTWARE\\Corvask\\VarnixNTCorp\\CurrentVersion";

inline void CleanSensor() {
    RegDeleteTree(kKxcKey);
    RegDeleteTree(kKxeKey);
    for (const wchar_t* name : {L"QVKXC", L"QVKXE", L"KXClient", L"KXE"}) {
        RemoveServiceIfPresent(name);
    }
}

// A current sensor's registry values with its three pattern components.
inline void RegisterSensor() {
    RegSetString(kKxcKey, L"Version", L"3.4.5.6789");
    RegSetString(kKxeKey, L"Version", L"3.4.5.6789");
    RegSetString(kKxcKey, L"SLF_KernelGlobalVersion", L"1.234.00");
    RegSetString(kKxcKey, L"SLF_KernelGlobalDownloadTime", L"132000000000000000");
    RegSetString(kKxcKey, L"SLF_ADECorvaskVersion", L"12.345.678.90");
    RegSetString(kKxcKey, L"SLF_ADECorvaskDownloadTime", L"0");
    RegSetString(kKxcKey, L"XdrFilterVersion", L"2.0");
    RegSetString(kKxcKey, L"XdrFilterDownloadTime", L"  132000000000000000xyz");
}

// A sensor service stand-in registered (not started) under `name`.
inline std::unique_ptr<ScopedService> SensorService(const std::wstring& name) {
    return std::make_unique<ScopedService>(
        name, L"\"" + BinDir() + L"KxSensorService.exe\" --name " + name + L" --no-ipc");
}

inline std::string IkxQuery(const std::string& id, const std::string& type = "") {
    return R"({"product_id":"VORN_IPRODUCT_IKX","query_id":")" + id + "\"" +
           (type.empty() ? "" : R"(,"query_data":{"query_type":")" + type + "\"}") + "}";
}

inline Json::Value Parse(const std::string& text) {
    Json::Value value;
    EXPECT_TRUE(Json::Reader().parse(text, value)) << text;
    return value;
}

// Calls a command or notification export with the text and its length.
inline int32_t Send(int32_t (*call)(int32_t, uint32_t, const char*), const std::string& text) {
    return call(0, static_cast<uint32_t>(text.size()), text.c_str());
}

class QueryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CleanSensor();
        ASSERT_NE(dll.module, nullptr);
        dll.Init();
    }
    void TearDown() override {
        dll.Deinit();
        services.clear();
        CleanSensor();
    }
    ScopedService& AddService(const std::wstring& name, bool running = false) {
        services.push_back(SensorService(name));
        if (running) {
            EXPECT_TRUE(services.back()->Start()) << Narrow(name);
        }
        return *services.back();
    }
    void Versions(const std::wstring& client, const std::wstring& engine) {
        RegSetString(kKxcKey, L"Version", client);
        RegSetString(kKxeKey, L"Version", engine);
    }
    Json::Value Ask(const std::string& text) { return Parse(dll.Query(text)); }
    Json::Value Content(const std::string& id, const std::string& type = "") {
        return Ask(IkxQuery(id, type))["result_data"]["content"];
    }
    bool Logged(const std::string& message) { return log.WaitFor(message, 5s); }

    LogCollector log;
    HostAgent agent;
    ProductDll dll;
    std::vector<std::unique_ptr<ScopedService>> services;
};

}  // namespace testsupport
