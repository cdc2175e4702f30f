// The sensor's registry knowledge: component values and their conversions,
// and the policy values.
#include "sensor/sensor_registry.h"
#include "sensor/components.h"
#include "sensor/policy_values.h"
#include "sensor/versions.h"
#include "in_process.h"

#include <cwchar>

using namespace testsupport;

namespace {

TEST_F(SensorRegistry, ComponentListKeepsTheRowsThatCouldBeRead) {
    RegSetString(kKxcKey, L"SLF_ADECorvaskVersion", L"1.234.00");
    RegSetString(kKxcKey, L"SLF_ADECorvaskDownloadTime", L"  132000000000000000xyz");
    RegSetString(kKxcKey, L"XdrFilterVersion", L"2.1");
    RegSetString(kKxcKey, L"XdrFilterDownloadTime", L"0");
    std::vector<ikx::AgentComponent> rows;
    EXPECT_FALSE(ikx::GetKxAgentComponentList(rows));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].auid, 0x48040224u);
    EXPECT_EQ(rows[0].au_type, "48040224");
    EXPECT_EQ(rows[0].version, "1.234.00");
    EXPECT_EQ(rows[0].download_time, "2019-04-17 18:40:00");
    EXPECT_EQ(rows[1].download_time, "1970-01-01 00:00:00");
    EXPECT_TRUE(log.Contains("Query value [SLF_KernelGlobalVersion] failed, error: 2"));
    EXPECT_EQ(ikx::GetComponentVersion(0x48040224), 123400u);
}

TEST_F(SensorRegistry, ComponentVersionConversionLimits) {
    const struct {
        const wchar_t* text;
        uint32_t value;
        std::vector<std::string> records;
    } rows[] = {
        {L"12.345.678.90", 1234567890u, {}},
        {L"2.147.483.648", 2147483648u, {}},
        {L"4.294.967.295", 4294967295u, {}},
        {L"4.294.967.296", 0, {"input string is out of range [4294967296]"}},
        {L"99.999.999.99", 0, {"input string is out of range [9999999999]"}},
        {L"beta", 0, {"input string is invalid [beta]"}},
    };
    for (const auto& row : rows) {
        RegSetString(kKxcKey, L"SLF_KernelGlobalVersion", row.text);
        log.Clear();
        EXPECT_EQ(ikx::GetComponentVersion(0x48040184), row.value) << Narrow(row.text);
        EXPECT_EQ(log.Texts(), row.records) << Narrow(row.text);
    }
    EXPECT_EQ(ikx::GetComponentVersion(0x48040000), 0u);
    EXPECT_TRUE(log.Contains("Unsupport AUID: 0x48040000."));
    ikx::AgentComponent row;
    EXPECT_FALSE(ikx::GetKxAgentComponent(0x48040000, row));
    EXPECT_TRUE(log.Contains("Unknown AUID: 0x48040000."));
    ASSERT_TRUE(ikx::GetKxAgentComponent(0x48040244, row));
    EXPECT_EQ(row.update_type, L"xdr_filter");
}

// The client version reads as the C runtime's own "%d.%d.%d" scan reads the
// same text (the second opinion): blanks of every kind, signs, values past 32
// bits, and fields it does not reach keep what the caller had.
TEST_F(SensorRegistry, ClientVersionReadsAsTheRuntimesScan) {
    const wchar_t* const texts[] = {L"3.0.1308",
                                    L" 3. 1.-2",
                                    L"+3.+4.5.6",
                                    L"2147483648.-99999999999.4294967296",
                                    L"3..4",
                                    L"7 .1.1",
                                    L"\u3000\u00a05.1",
                                    L"\u2028\u205f\u1680\u200a\u202f"
                                    L"9",
                                    L"\u0085"
                                    L"9",
                                    L"\uffff"
                                    L"7.1",
                                    L"\u200b"
                                    L"1.1",
                                    L"\ufeff"
                                    L"1.1",
                                    L"0x10.1.1",
                                    L"-",
                                    L".5.1",
                                    L"\u0661.2.3",
                                    L"\uff11.2"};
    for (const wchar_t* text : texts) {
        RegSetString(kKxcKey, L"Version", text);
        int scanned[3] = {11, 12, 13};
        std::swscanf(text, L"%d.%d.%d", &scanned[0], &scanned[1], &scanned[2]);
        uint32_t major = 11, minor = 12, build = 13;
        ASSERT_EQ(ikx::GetKxcVersion(major, minor, build), ERROR_SUCCESS);
        EXPECT_EQ(major, static_cast<uint32_t>(scanned[0])) << Narrow(text);
        EXPECT_EQ(minor, static_cast<uint32_t>(scanned[1])) << Narrow(text);
        EXPECT_EQ(build, static_cast<uint32_t>(scanned[2])) << Narrow(text);
    }
}

TEST_F(SensorRegistry, PolicyValuesRoundTripAndFailWithoutTheKey) {
    uint32_t setting = 9;
    EXPECT_FALSE(ikx::SetPolicySettingRegKey(2));
    EXPECT_FALSE(ikx::GetPolicySetting(setting));
    EXPECT_EQ(setting, 9u);
    // The code logged is the thread's last error, whatever it is.
    EXPECT_EQ(log.CountStarting("Failed to open registry key. error code: "), 2);
    RegSetString(kKxcKey, L"Version", L"3.0.1308");
    EXPECT_TRUE(ikx::SetPolicySettingRegKey(2));
    EXPECT_TRUE(ikx::GetPolicySetting(setting));
    EXPECT_EQ(setting, 2u);
    EXPECT_TRUE(ikx::SetPolicyIdRegKey(-5));
    uint64_t id = 0;
    ASSERT_TRUE(RegReadQword(kKxcKey, L"PolicyId", id));
    EXPECT_EQ(static_cast<int64_t>(id), -5);
    EXPECT_TRUE(log.Contains(">> Policy id: -5"));
    EXPECT_TRUE(log.Contains("<< Ret: 1, policy setting: 2"));
}

}  // namespace
