// The frames of the three JSON request exports: gate, parse, product check,
// dispatch, and (for queries) the response buffer.
#include <cstdlib>
#include <cstring>

#include "sensor/installed.h"
#include "platform/text.h"
#include "entry/dispatch.h"
#include "entry/exports.h"
#include "entry/lifecycle.h"
#include "request/request_keys.h"
#include "request/request_text.h"
#include "log/log.h"

namespace ikx {
namespace {

// Hands the styled response to the caller in a buffer released by vornExt_Free.
void WriteQueryResponse(const Json::Value& response, uint32_t* responseLength, char** out) {
    const std::string text = response.toStyledString();
    LOG_TRACE_AS("vornExt_OnQueryData", "Response Json Data:%s", text.c_str());
    char* buffer = static_cast<char*>(std::malloc(text.size() + 1));
    if (!buffer) return;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *out = buffer;
    *responseLength = static_cast<uint32_t>(text.size());
}

// A handler that meets a JSON type error in its notification (an object
// where text is expected, a negative number read as unsigned) has failed;
// the error ends the handler, not the call.
bool RunNotifyHandler(RequestHandler handler, const Json::Value& request) {
    Json::Value discarded;
    try {
        return handler(request, discarded);
    } catch (const Json::Exception&) {
        return false;
    }
}

// The words each frame uses when a request names another product.
struct ProductCheckWords {
    const char* frame;
    const char* notIkx;
    const char* productIdFormat;
};
const ProductCheckWords kQueryWords = {"vornExt_OnQueryData", "product_id is not iKX",
                                       "[vornExt_OnQueryData][product_id][%s]"};
const ProductCheckWords kNotifyWords = {"vornExt_OnNotify",
                                        "[vornExt_OnNotify][product_id is not iKX]",
                                        "[vornExt_OnNotify][product_id][%s]"};

bool IsForIkx(const std::string& productId, const ProductCheckWords& words) {
    if (productId == kProductIkx) return true;
    LOG_TRACE_AS(words.frame, "%s", words.notIkx);
    LOG_TRACE_AS(words.frame, words.productIdFormat, productId.c_str());
    return false;
}

// Every notify row of the id is logged as it is compared, up to the one that matches.
void NoteNotifyRow(const std::wstring& rowType, const std::wstring& type) {
    LOG_TRACE_AS("vornExt_OnNotify", "[vornExt_OnNotify][it][second][%ws]", rowType.c_str());
    LOG_TRACE_AS("vornExt_OnNotify", "[vornExt_OnNotify][jvNotify][%ws]", type.c_str());
}

}  // namespace

namespace exports {

int32_t vornExt_OnQueryData(uint32_t requestLength, const char* request, uint32_t* responseLength,
                            char** response) {
    if (!PassesCommonGate(__func__)) return 0;
    const Json::Value parsed = ParseRequest(RequestText(request, requestLength));
    const RequestKeys keys = ReadRequestKeys(parsed, RequestKind::kQuery);
    if (!IsForIkx(keys.productId, kQueryWords)) return 0;
    LOG_TRACE("[vornExt_OnQueryData][query_id][%s][query_type][%s]", keys.id.c_str(),
              keys.type.c_str());
    const std::wstring id = MultiByteToWide(keys.id, kCodePageUtf8);
    const RequestHandler handler =
        FindHandler(QueryDispatchMap(), id, MultiByteToWide(keys.type, kCodePageUtf8));
    if (!handler) return 0;

    LOG_INFO("[vornExt_OnQueryData][it][Hit][%ws]", id.c_str());
    Json::Value result;
    if (handler(parsed, result)) {
        LOG_TRACE("Execute query data succeed");
    } else {
        LOG_WARN("Execute query data failed");
    }
    result["product_id"] = kProductIkx;
    if (responseLength && response) WriteQueryResponse(result, responseLength, response);
    return 0;
}

int32_t vornExt_OnCommand(uint32_t requestLength, const char* request) {
    if (!PassesCommonGate(__func__)) return 0;
    LOG_TRACE("vornExt_OnCommand() >>>");
    const Json::Value parsed = ParseRequest(WholeRequestText(request, requestLength));
    const RequestKeys keys = ReadRequestKeys(parsed, RequestKind::kCommand);
    const std::wstring id = MultiByteToWide(keys.id, kCodePageUtf8);
    const std::wstring type = MultiByteToWide(keys.type, kCodePageUtf8);
    LOG_TRACE("command_id: %ws, command_type: %ws", id.c_str(), type.c_str());
    if (const RequestHandler handler = FindHandler(CommandDispatchMap(), id, type)) {
        Json::Value discarded;
        if (handler(parsed, discarded)) {
            LOG_TRACE("Execute command succeed");
        } else {
            LOG_WARN("Execute command failed");
        }
    }
    LOG_TRACE("vornExt_OnCommand() <<<");
    return 0;
}

int32_t vornExt_OnNotify(uint32_t requestLength, const char* request) {
    if (!PassesCommonGate(__func__)) return 0;
    LOG_TRACE("[vornExt_OnNotify][Start][iTotalBytesInData][%d]", static_cast<int>(requestLength));
    if (requestLength == 0 || !request) return -1;
    if (!HasCurrentQvkxcClient(ReadSensorSnapshot())) {
        LOG_WARN("[vornExt_OnNotify][iKX haven't install]");
        return -1;
    }
    // Notification text comes NUL-terminated; the length is only a presence test.
    const Json::Value parsed = ParseRequest(std::string(request));
    const RequestKeys keys = ReadRequestKeys(parsed, RequestKind::kNotify);
    if (!IsForIkx(keys.productId, kNotifyWords)) return 0;
    LOG_TRACE("[vornExt_OnNotify][notify_id][%s][notify_type][%s]", keys.id.c_str(),
              keys.type.c_str());
    const std::wstring id = MultiByteToWide(keys.id, kCodePageUtf8);
    const std::wstring type = MultiByteToWide(keys.type, kCodePageUtf8);
    if (const RequestHandler handler = FindHandler(NotifyDispatchMap(), id, type, NoteNotifyRow)) {
        LOG_INFO("[vornExt_OnNotify][vornExt_NotifyData][it][Hit][%ws]", id.c_str());
        if (RunNotifyHandler(handler, parsed)) {
            LOG_TRACE("[vornExt_OnNotify][Execute Notify data succeed]");
        } else {
            LOG_WARN("[vornExt_OnNotify][Execute Notify data failed]");
        }
        return 0;
    }
    LOG_TRACE("[vornExt_OnNotify][End]");
    return 0;
}

}  // namespace exports
}  // namespace ikx
