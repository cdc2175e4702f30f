// The selection by notify type inside the handlers that serve several types.
#include "log/log.h"
#include "notify/notify_handlers.h"

namespace ikx {

void RunNotifyTypeRow(const NotifyTypeRow* rows, size_t count, const std::wstring& type,
                      const Json::Value& request, const char* dispatcher) {
    for (const NotifyTypeRow* row = rows; row != rows + count; ++row) {
        if (type != row->type) continue;
        LOG_INFO_AS(dispatcher, "%s", row->entering);
        row->handler(request);
        return;
    }
}

}  // namespace ikx
