#pragma once
// Errors that end an extraction. They carry a Windows error code (or -1 for an
// operation on a closed file) out of the unzip wrapper to DecompressFile.
#include <windows.h>

#include <cstdint>

namespace ikx {

class CZipCommonException {
  public:
    explicit CZipCommonException(int32_t errorCode) : m_errorCode(errorCode) {}
    CZipCommonException(const CZipCommonException&) = default;
    CZipCommonException& operator=(const CZipCommonException&) = default;

    // Shows the message in a box titled "Error"; 0 when nothing could be formatted.
    virtual int ReportError(UINT boxFlags) const;
    virtual bool GetErrorMessage(char* buffer, UINT size, UINT* helpContext = nullptr) const;
    virtual ~CZipCommonException() = default;
    virtual int32_t GetErrorCode() const { return m_errorCode; }

  protected:
    // "Error : <code>, Description : <system text>".
    void FormatCommonMessage(char* buffer, UINT size) const;

  private:
    int32_t m_errorCode;
};

class CWinFileException : public CZipCommonException {
  public:
    using CZipCommonException::CZipCommonException;
    bool GetErrorMessage(char* buffer, UINT size, UINT* helpContext = nullptr) const override;
};

}  // namespace ikx
