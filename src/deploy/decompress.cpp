#include "deploy/decompress.h"

#include "platform/text.h"
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
        // Paths the 8-bit calls cannot name exactly are never opened or written.
        std::string path;
        const int opened =
            WideToAnsiExactly(archive, path) ? unzip.OpenZip(path.c_str()) : kUnzipNotReady;
        if (opened != 0) {
            LOG_WARN("Failed to open zip file: %ws, CUnzip return code: %d", archive.c_str(),
                     opened);
            return false;
        }
        if (!WideToAnsiExactly(folder, path)) throw CWinFileException(ERROR_NO_UNICODE_TRANSLATION);
        const int result = unzip.ExtractAll(path.c_str());
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
