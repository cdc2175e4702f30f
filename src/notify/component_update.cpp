// Component update: each listed pattern file that is newer than the installed
// component is copied into the sensor's temporary pattern folder, and the
// sensor client is told to take it up.
#include <windows.h>
// shlobj.h needs windows.h first.
#include <shlobj.h>

#include <system_error>

#include "win32/file_ops.h"
#include "hostagent/ipc.h"
#include "sensor/sensor_registry.h"
#include "sensor/components.h"
#include "platform/text.h"
#include "request/request_text.h"
#include "log/log.h"
#include "notify/notify_handlers.h"
#include "notify/notify_json.h"
#include "notify/relays.h"
#include "platform/handles.h"

namespace ikx {
namespace {

constexpr char kHandler[] = "NotifyClientComponentUpdate";

// What one element names, once it has passed the checks.
struct PatternUpdate {
    AgentComponent component;
    uint32_t version = 0;
    std::wstring downloadFolder;
};

// The checks of one element: false (after its record) for an element to skip.
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
    if (!IsNewerComponentVersion(installed, update.version)) {
        LOG_INFO_AS(kHandler, "Current component version [%lu] is newer [%lu]",
                    static_cast<unsigned long>(installed),
                    static_cast<unsigned long>(update.version));
        return false;
    }
    return true;
}

// The same file under two names (a doubled separator, a hard link).
bool SameFile(const std::wstring& a, const std::wstring& b) {
    const auto open = [](const std::wstring& path) {
        // Backup semantics opens folders too; no access beyond attributes.
        return UniqueFile(
            ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    };
    const UniqueFile first = open(a), second = open(b);
    BY_HANDLE_FILE_INFORMATION one = {}, other = {};
    return first && second && ::GetFileInformationByHandle(first.get(), &one) &&
           ::GetFileInformationByHandle(second.get(), &other) &&
           one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

// Replaces the target; a folder source is copied whole. 0 or the Windows
// error. A copy onto itself would empty the file before reading it.
DWORD CopyReplacing(const std::wstring& source, const std::wstring& target) {
    if (SameFile(source, target)) return ERROR_FILE_EXISTS;
    const DWORD attributes = ::GetFileAttributesW(source.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return CopyDirectory(source.c_str(), target.c_str());
    }
    return CopyReplacingName(source, target);
}

std::string ErrorText(int code) {
    return std::system_category().message(code);
}

// The copy into the temporary folder and the command for it.
void CopyAndTrigger(const std::wstring& installFolder, const PatternUpdate& update) {
    const AgentComponent& c = update.component;
    const std::wstring fileName = c.file_prefix + std::to_wstring(update.version) + L".ptn";
    const std::wstring source = update.downloadFolder + L"\\" + fileName;
    const std::wstring tempFolder = installFolder + L"\\" + c.temp_folder + L"\\";
    std::wstring command = L"-Type=" + c.update_type;
    LOG_TRACE_AS(kHandler, "iKX pattern temp folder: [%ws]", tempFolder.c_str());

    // Creates every missing parent; the copy below decides whatever this says.
    const int created = ::SHCreateDirectoryExW(nullptr, tempFolder.c_str(), nullptr);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS &&
        created != ERROR_FILE_EXISTS) {
        LOG_WARN_AS(kHandler, "The folder [%ws] doesn't exist, error: %s.", tempFolder.c_str(),
                    ErrorText(created).c_str());
    }
    // A failing test counts as absent.
    if (::GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LOG_WARN_AS(kHandler, "The component file [%ws] doesn't exist.", source.c_str());
        return;
    }
    const std::wstring target = tempFolder + fileName;
    if (const DWORD copyError = CopyReplacing(source, target)) {
        LOG_WARN_AS(kHandler, "Copy file failed, error: %s. [%ws] to [%ws]",
                    ErrorText(static_cast<int>(copyError)).c_str(), source.c_str(), target.c_str());
        return;
    }
    command += L" -Ptn_data=\"" + target + L"\"";
    LOG_INFO_AS(kHandler, "Update command: [%ws]", command.c_str());
    RelayToSensor(kNipcTypeNoReply, kKxCmdComponentUpdate, command);
}

}  // namespace

uint32_t ParseNotifyVersion(const std::string& text) {
    return StrToULong(NotifiedVersionDigits(text), 10);
}

bool NotifyClientComponentUpdate(const Json::Value& request, Json::Value&) {
    LOG_TRACE("[Start]");
    if (ReadText(request, "product_id") == kProductIkx) {
        std::wstring installFolder;
        // Without the install folder a pattern would land relative to the working folder.
        const bool placeable = GetKxInstallFolder(installFolder);
        const Json::Value& content = NotifyContent(request);
        // The size is read again for every element, as the list is walked.
        for (Json::ArrayIndex i = 0; placeable && i < content.size(); ++i) {
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
