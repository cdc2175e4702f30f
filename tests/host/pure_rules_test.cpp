// The pure rules on the host under ASan/UBSan, each beside a second opinion
// where one exists: the detection log generator's own verdict and OpenSSL's
// base 64 decoder.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>
#include <random>
#include <string>

#include "command/policy_data.h"
#include "detection_logs.h"
#include "log/log_record.h"
#include "notify/notify_content.h"
#include "request/corrupt_log_name.h"
#include "request/detection_log_fields.h"
#include "request/request_keys.h"
#include "request/request_text.h"
#include "sensor/version_text.h"
#include "unzip/entry_names.h"

namespace {

using ikx::RequestKind;

TEST(RequestKeys, ReadAsTextWhateverTheirType) {
    const struct {
        const char* text;
        RequestKind kind;
        const char *product, *id, *type;
    } rows[] = {
        {R"({"product_id":"P","query_id":"Q","query_data":{"query_type":"T"}})",
         RequestKind::kQuery, "P", "Q", "T"},
        {R"({"product_id":7,"command_id":true,"command_data":{"command_type":-1.5}})",
         RequestKind::kCommand, "7", "true", "-1.5"},
        {R"({"notify_id":["N"],"notify_data":"T"})", RequestKind::kNotify, "", "", ""},
        {R"({"query_id":"Q","query_data":{"query_type":"T"}})", RequestKind::kCommand, "", "", ""},
        {R"(["product_id","P"])", RequestKind::kQuery, "", "", ""},
        {R"({"product_id":"P",})", RequestKind::kQuery, "", "", ""},  // does not parse
    };
    for (const auto& row : rows) {
        const ikx::RequestKeys keys = ikx::ReadRequestKeys(ikx::ParseRequest(row.text), row.kind);
        EXPECT_EQ(keys.productId, row.product) << row.text;
        EXPECT_EQ(keys.id, row.id) << row.text;
        EXPECT_EQ(keys.type, row.type) << row.text;
    }
    // A query stops at its first NUL; a command keeps every byte.
    const char bytes[] = "{\"query_id\":\"Q\"}\0{";
    EXPECT_EQ(ikx::RequestText(bytes, sizeof bytes - 1), "{\"query_id\":\"Q\"}");
    EXPECT_EQ(ikx::WholeRequestText(bytes, sizeof bytes - 1).size(), sizeof bytes - 1);
}

TEST(DetectionLog, VerdictIsTheGeneratorsOwnAlsoForMutatedRecords) {
    std::vector<detlog::Sample> samples = detlog::MixedSamples(64 * 1024);
    for (auto& sample : detlog::EachFieldMissing()) samples.push_back(sample);
    for (const auto& sample : samples) {
        EXPECT_EQ(ikx::FirstMissingLogField(sample.bytes.c_str()) == nullptr, sample.valid)
            << sample.name;
    }
    std::mt19937 random(7);
    const std::string record = detlog::Record({0, {}, true});
    for (int i = 0; i < 2000; ++i) {
        const std::string text = detlog::Mutate(record, random);
        ASSERT_EQ(ikx::FirstMissingLogField(text.c_str()) == nullptr,
                  detlog::IsCompleteRecord(text))
            << text;
    }
}

TEST(DetectionLog, NamesTheFirstMissingFieldInTheSensorsOrder) {
    EXPECT_STREQ(
        ikx::FirstMissingLogField(detlog::Record({0, {"SLF_RuleID", "SLF_ClientIP"}}).c_str()),
        "SLF_ClientIP");
    EXPECT_STREQ(ikx::FirstMissingLogField("[]"), "SLF_CategoryID");
    EXPECT_STREQ(ikx::FirstMissingLogField(nullptr), "SLF_CategoryID");
    EXPECT_STREQ(ikx::FirstMissingLogField(std::string(5000, '{').c_str()), "SLF_CategoryID");
}

TEST(DetectionLog, BrokenLogKeepsItsNameBelowTheCorruptFolder) {
    EXPECT_EQ(ikx::CorruptLogName(u"C:\\logs\\a.json"), u"\\a.json.brk");
    EXPECT_EQ(ikx::CorruptLogName(u"x/../../a.json"), u"/a.json.brk");
    EXPECT_EQ(ikx::CorruptLogName(u"a.json"), u"\\a.json.brk");
    EXPECT_EQ(ikx::CorruptLogName(u"C:\\logs\\"), u"\\.brk");
}

// The policy id is a big-endian number of 6-bit digits; OpenSSL decodes the
// same digits spelled in the standard alphabet, padded on the left with zeros.
uint64_t OpenSslPolicyId(const std::string& digits) {
    static const std::string ours =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
    static const std::string standard =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string spelled(digits.size() % 4 ? 4 - digits.size() % 4 : 0, 'A');
    for (char c : digits) spelled += standard[ours.find(c)];
    std::vector<unsigned char> bytes(spelled.size() / 4 * 3 + 1);
    const int decoded =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(spelled.data()),
                        static_cast<int>(spelled.size()));
    uint64_t value = 0;  // wraps at 64 bits, as the policy id does
    for (int i = 0; i < decoded; ++i) value = value << 8 | bytes[i];
    return value;
}

std::u16string Units(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

TEST(PolicyData, IdMatchesAnIndependentBase64Decode) {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
    std::mt19937 random(64);
    for (int i = 0; i < 3000; ++i) {
        std::string digits(std::uniform_int_distribution<size_t>(0, 14)(random), 'a');
        for (char& c : digits) c = alphabet[random() % 64];
        ikx::PolicyData data;
        ASSERT_TRUE(ikx::DecodePolicyText(Units(digits + "1"), data));
        ASSERT_EQ(static_cast<uint64_t>(data.id), OpenSslPolicyId(digits)) << digits;
    }
}

TEST(PolicyData, NonDigitsEmptyTextAndTheModeParity) {
    const struct {
        std::u16string text;
        bool decoded;
        int64_t id;
        int mode;
    } rows[] = {
        {u"ba1", true, 64, ikx::kMdrModeOn},       {u"ba2", true, 64, ikx::kMdrModeOff},
        {u"1", true, 0, ikx::kMdrModeOn},          {u"b+a1", true, -1, ikx::kMdrModeOn},
        {u"b\u0101b", true, -1, ikx::kMdrModeOff},  // only ASCII letters are digits
        {u"ba\u0101", true, 64, ikx::kMdrModeOn},   // the parity of the last unit
        {u"", false, -1, ikx::kMdrModeOff},
    };
    for (const auto& row : rows) {
        ikx::PolicyData data;
        const std::string name(row.text.begin(), row.text.end());  // for the message only
        EXPECT_EQ(ikx::DecodePolicyText(row.text, data), row.decoded) << name;
        EXPECT_EQ(data.id, row.id) << name;
        EXPECT_EQ(data.mdrMode, row.mode) << name;
    }
}

TEST(Versions, FieldsAreReadAsTheRuntimesScanReadsThem) {
    const struct {
        std::u16string text;
        int fields;
        int32_t major, minor, build;
    } rows[] = {
        {u"3.0.1308", 3, 3, 0, 1308},
        {u" 3. 1.-2", 3, 3, 1, -2},
        {u"+3.+4.5.6", 3, 3, 4, 5},
        {u"2147483648.-99999999999.4294967296", 3, 2147483647, -2147483647 - 1, 2147483647},
        {u"3..4", 1, 3, 0, 0},
        {u"7 .1.1", 1, 7, 0, 0},
        {u"\u3000\u00a05.1", 2, 5, 1, 0},
        {u"\u0085"
         u"9",
         0, 0, 0, 0},  // the one Unicode blank the runtime does not skip
        {u"0x10.1.1", 1, 0, 0, 0},
        {u"-", 0, 0, 0, 0},
        {u".5.1", 0, 0, 0, 0},
        {u"\u0661.2.3", 0, 0, 0, 0},  // only ASCII digits count
    };
    for (const auto& row : rows) {
        const ikx::VersionFields version = ikx::ParseVersionFields(row.text);
        EXPECT_EQ(version.fields, row.fields);
        EXPECT_EQ(version.part[0], row.major);
        EXPECT_EQ(version.part[1], row.minor);
        EXPECT_EQ(version.part[2], row.build);
    }
}

TEST(Versions, ComponentNumbersAndTheirComparison) {
    const struct {
        std::string text;
        int base;
        ikx::NumberText verdict;
        uint32_t value;
    } rows[] = {
        {ikx::VersionWithoutDots("1.745.300"), 10, ikx::NumberText::kValid, 1745300},
        {ikx::NotifiedVersionDigits("1745301 (build 12)"), 10, ikx::NumberText::kValid, 1745301},
        {"48040224", 16, ikx::NumberText::kValid, 0x48040224},
        {"4294967295", 10, ikx::NumberText::kValid, 4294967295u},
        {"4294967296", 10, ikx::NumberText::kOutOfRange, 0},
        {"99999999999999999999", 10, ikx::NumberText::kOutOfRange, 0},
        {"", 10, ikx::NumberText::kNoDigits, 0},
        {"v3", 10, ikx::NumberText::kNoDigits, 0},
    };
    for (const auto& row : rows) {
        uint32_t value = 7;
        EXPECT_EQ(ikx::ParseUnsigned32(row.text, row.base, value), row.verdict) << row.text;
        EXPECT_EQ(value, row.value) << row.text;
    }
    EXPECT_TRUE(ikx::IsNewerComponentVersion(1745300, 1745301));
    EXPECT_FALSE(ikx::IsNewerComponentVersion(1745300, 1745300));
}

TEST(NotifyContent, SwitchesAndTheProxyWord) {
    const struct {
        const char* content;
        uint32_t selfProtection;
        bool proxy;
    } rows[] = {
        {R"({"enable":{"file":0,"process":0,"registry":0,"service":1}})", 1, false},
        {R"({"enable":{"file":0},"ie_proxy":{"use_proxy":true}})", 0, true},
        {R"({"ie_proxy":{"use_proxy":"true"}})", 0, true},
        {R"({"ie_proxy":{"use_proxy":"True"}})", 0, false},
        {R"({"ie_proxy":{"use_proxy":1}})", 0, false},
        {"null", 0, false},
    };
    for (const auto& row : rows) {
        const Json::Value content = ikx::ParseRequest(row.content);
        EXPECT_EQ(ikx::SelfProtectionWord(content), row.selfProtection) << row.content;
        EXPECT_EQ(ikx::ProxyEnabled(content), row.proxy) << row.content;
    }
    // A switch that is no number fails the handler through the JSON exception.
    EXPECT_THROW(ikx::SelfProtectionWord(ikx::ParseRequest(R"({"enable":{"file":"on"}})")),
                 Json::Exception);
    EXPECT_EQ(ikx::CompactJson(Json::Value()), "null\n");
}

TEST(EntryNames, WhereEachNameMayBeWritten) {
    const std::string folder = "C:\\t";
    const struct {
        std::string name;
        ikx::EntryPlace place;
        const char* target;
    } rows[] = {
        {"Setup/KXInstaller.exe", ikx::EntryPlace::kInside, "C:\\t\\Setup\\KXInstaller.exe"},
        {"a..b/c...d", ikx::EntryPlace::kInside, "C:\\t\\a..b\\c...d"},
        {"./a/./b/.", ikx::EntryPlace::kInside, "C:\\t\\a\\b\\."},
        {".//x\\\\y/", ikx::EntryPlace::kInside, "C:\\t\\x\\y\\"},
        {"a/.b/. /b.", ikx::EntryPlace::kInside, "C:\\t\\a\\.b\\. \\b."},
        {"sub/../x", ikx::EntryPlace::kOutside, ""},
        {"...", ikx::EntryPlace::kOutside, ""},
        {"a/.. ./b", ikx::EntryPlace::kOutside, ""},
        {"/x", ikx::EntryPlace::kOutside, ""},
        {"C:x", ikx::EntryPlace::kOutside, ""},
        {"a.txt:stream", ikx::EntryPlace::kOutside, ""},
        {std::string(255, 'n'), ikx::EntryPlace::kInside, nullptr},  // 260 bytes in all
        {std::string(256, 'n'), ikx::EntryPlace::kTooLong, ""},
    };
    for (const auto& row : rows) {
        std::string target;
        size_t folderEnd = 0;
        EXPECT_EQ(ikx::PlaceEntry(folder, row.name, target, folderEnd), row.place) << row.name;
        if (row.target) EXPECT_EQ(target, row.target) << row.name;
        if (row.place == ikx::EntryPlace::kInside) EXPECT_EQ(folderEnd, folder.size());
    }
}

TEST(LogRecord, FieldsJoinedByTabsAndTheTextBounded) {
    ikx::LogRecord record;
    record.time = -5;
    record.processId = 4294967295u;
    record.threadId = 36;
    record.level = 0x1FF;  // its low byte, signed: -1
    record.file = u"vornExt_iKX_dllMain.cpp";
    record.line = 36;
    record.text = u"[-iKXClient-][VORN_EXT_IKX][f]m\tn";
    EXPECT_EQ(ikx::EncodeLogRecord(record),
              u"LOG_WRITE\t-5\t4294967295\t36\t-1\tvornExt_iKX_dllMain.cpp\t36\t"
              u"[-iKXClient-][VORN_EXT_IKX][f]m\tn");
    record.file = std::u16string_view(u"a\0b", 3);  // a field ends at its NUL
    record.text = {};
    EXPECT_EQ(ikx::EncodeLogRecord(record), u"LOG_WRITE\t-5\t4294967295\t36\t-1\ta\t36\t");
    record.time = 0;
    record.line = INT32_MIN;  // the one value whose magnitude has no positive int32
    EXPECT_EQ(ikx::EncodeLogRecord(record),
              u"LOG_WRITE\t0\t4294967295\t36\t-1\ta\t-2147483648\t");

    EXPECT_EQ(ikx::LogRecordText(nullptr, "f", "m"), "[-iKXClient-][][f]m");
    const std::string text = ikx::LogRecordText("T", "f", std::string(9000, 'm').c_str());
    EXPECT_EQ(text.size(), ikx::kLogTextBytes - 2);
    EXPECT_EQ(text.substr(0, 20), "[-iKXClient-][T][f]m");
}

}  // namespace
