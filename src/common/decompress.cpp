#include "common/file_ops.h"
#include "common/text.h"
#include "log/log.h"
#include "unzip/unzip.h"
#include "unzip/zip_exceptions.h"

namespace ikx {

bool DecompressFile(const std::wstring& archive, const std::wstring& folder) {
    LOG_INFO("Source file: %ws", archive.c_str());
    LOG_INFO("Target folder path: %ws", folder.c_str());
    try {
        // Closes the archive and releases the library on every way out.
        CUnzip unzip;
        if (!unzip.Init()) {
            LOG_WARN("Failed to load CUnzip");
            return false;
        }
        const int opened = unzip.OpenZip(WideToMultiByte(archive, kCodePageAnsi).c_str());
        if (opened != 0) {
            LOG_WARN("Failed to open zip file: %ws, CUnzip return code: %d", archive.c_str(),
                     opened);
            return false;
        }
        const int result = unzip.ExtractAll(WideToMultiByte(folder, kCodePageAnsi).c_str());
        if (result == kUnzipOutsideTarget) LOG_WARN("Archive entry outside target folder refused");
        return result == 0;
    } catch (const CZipCommonException& error) {
        LOG_WARN("error code: %d", static_cast<int>(error.GetErrorCode()));
        return false;
    } catch (...) {
        // Out of memory while building paths: the extraction simply failed.
        return false;
    }
}

}  // namespace ikx
