#include "unzip/zip_exceptions.h"

#include <cstdio>

#include "platform/handles.h"

namespace ikx {

namespace {
constexpr UINT kReportBytes = 1024;
}

int CZipCommonException::ReportError(UINT boxFlags) const {
    char message[kReportBytes] = {};
    if (!GetErrorMessage(message, kReportBytes) || message[0] == '\0') return 0;
    return ::MessageBoxA(nullptr, message, "Error", boxFlags);
}

void CZipCommonException::FormatCommonMessage(char* buffer, UINT size) const {
    char* text = nullptr;
    ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(m_errorCode), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<char*>(&text), 0, nullptr);
    UniqueLocal owner(text);
    _snprintf_s(buffer, size, _TRUNCATE, "Error : %d, Description : %s",
                static_cast<int>(m_errorCode), text ? text : "");
}

bool CZipCommonException::GetErrorMessage(char* buffer, UINT size, UINT* helpContext) const {
    if (helpContext) *helpContext = 0;
    if (!buffer || size == 0) return false;
    FormatCommonMessage(buffer, size);
    return true;
}

bool CWinFileException::GetErrorMessage(char* buffer, UINT size, UINT* helpContext) const {
    if (helpContext) *helpContext = 0;
    if (!buffer || size == 0) return false;
    char common[kReportBytes] = {};
    FormatCommonMessage(common, kReportBytes);
    _snprintf_s(buffer, size, _TRUNCATE, "CWinFileException: %s", common);
    return true;
}

}  // namespace ikx
