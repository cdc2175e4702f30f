// Component update: each listed pattern file that is newer than the installed
// component is copied into the sensor's temporary pattern folder, and the
// sensor client is told to take it up.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/sensor_registry.h"
#include "common/text.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify/notify_json.h"
#include "notify/relays.h"

namespace ikx {
namespace {

namespace fs = std::filesystem;

constexpr char kProductIkx[] = "VORN_IPRODUCT_IKX";
constexpr char kHandler[] = "NotifyClientComponentUpdate";

// What one element names, once it has passed the checks.
struct PatternUpdate {
    AgentComponent component;
    uint32_t version = 0;
    std::wstring downloadFolder;
};

// Steps 2 to 6 of an element: false (after its record) for an element to skip.
bool CheckElement(const Json::Value& element, PatternUpdate& update) {
    update.downloadFolder = ReadWide(element, "download_folder");
    if (update.downloadFolder.empty()) {
        LOG_WARN_AS(kHandler, "VORN_JSON_KEY_COMPONENT_DOWNLOAD_FOLDER is empty.");
        return false;
    }
    const uint32_t auid = StrToULong(ReadText(element, "au_type"), 16);
    if (auid == 0) {
        LOG_WARN_AS(kHandler, "VORN_JSON_KEY_AU_TYPE is invalid.");
        return false;
    }
    update.version = ParseNotifyVersion(ReadText(element, "version"));
    if (update.version == 0) {
        LOG_WARN_AS(kHandler, "VORN_JSON_KEY_COMPONENT_VERSION is invalid.");
        return false;
    }
    if (!GetKxAgentComponent(auid, update.component)) {
        LOG_WARN_AS(kHandler, "Unsupport AUID: 0x%x.", static_cast<unsigned>(auid));
        return false;
    }
    const uint32_t installed = GetComponentVersion(auid);
    if (installed >= update.version) {
        LOG_INFO_AS(kHandler, "Current component version [%lu] is newer [%lu]",
                    static_cast<unsigned long>(installed),
                    static_cast<unsigned long>(update.version));
        return false;
    }
    return true;
}

// Steps 7 to 11: the copy into the temporary folder and the command for it.
void CopyAndTrigger(const std::wstring& installFolder, const PatternUpdate& update) {
    const AgentComponent& c = update.component;
    const std::wstring fileName = c.file_prefix + std::to_wstring(update.version) + L".ptn";
    const std::wstring source = update.downloadFolder + L"\\" + fileName;
    const std::wstring tempFolder = installFolder + L"\\" + c.temp_folder + L"\\";
    std::wstring command = L"-Type=" + c.update_type;
    LOG_TRACE_AS(kHandler, "iKX pattern temp folder: [%ws]", tempFolder.c_str());

    std::error_code error;
    fs::create_directories(tempFolder, error);
    if (error) {
        LOG_WARN_AS(kHandler, "The folder [%ws] doesn't exist, error: %s.", tempFolder.c_str(),
                    error.message().c_str());
    }
    if (!fs::exists(source, error)) {
        LOG_WARN_AS(kHandler, "The component file [%ws] doesn't exist.", source.c_str());
        return;
    }
    const std::wstring target = tempFolder + fileName;
    // A folder source is copied whole; links inside it are not followed.
    fs::copy(source, target,
             fs::copy_options::overwrite_existing | fs::copy_options::recursive |
                 fs::copy_options::skip_symlinks,
             error);
    if (error) {
        LOG_WARN_AS(kHandler, "Copy file failed, error: %s. [%ws] to [%ws]",
                    error.message().c_str(), source.c_str(), target.c_str());
        return;
    }
    command += L" -Ptn_data=\"" + target + L"\"";
    LOG_INFO_AS(kHandler, "Update command: [%ws]", command.c_str());
    TriggeriKXComponentUpdate(command);
}

}  // namespace

uint32_t ParseNotifyVersion(const std::string& text) {
    std::string kept = text.substr(0, text.find(' '));
    kept.erase(std::remove(kept.begin(), kept.end(), ' '), kept.end());
    return StrToULong(kept, 10);
}

bool NotifyClientComponentUpdate(const Json::Value& request, Json::Value&) {
    LOG_TRACE("[Start]");
    if (ReadText(request, "product_id") == kProductIkx) {
        std::wstring installFolder;
        GetKxInstallFolder(installFolder);
        const Json::Value& content = NotifyContent(request);
        // The size is read again for every element, as the list is walked.
        for (Json::ArrayIndex i = 0; i < content.size(); ++i) {
            const Json::Value& element = content[i];
            LOG_TRACE("VORN_JSON_KEY_NOTIFY_CONTENT [%d] [%s]: ", static_cast<int>(i),
                      element.toStyledString().c_str());
            PatternUpdate update;
            if (CheckElement(element, update)) CopyAndTrigger(installFolder, update);
        }
    }
    LOG_INFO("[NotifyClientComponentUpdate][End]");
    return true;
}

}  // namespace ikx
