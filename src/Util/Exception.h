// The utility library's own exception type, and the helper that lets a catch-all handler pass it on.
#pragma once

#include <exception>
#include <string>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

class C_Exception : public std::exception {
public:
    C_Exception(HRESULT hr, std::wstring wsMessage, const char* pszFile = nullptr, int nLine = 0);

    HRESULT GetHResult() const noexcept { return m_hr; }
    const std::wstring& GetMessage() const noexcept { return m_wsMessage; }
    // Base name of the source file that threw, or empty.
    const std::string& GetFile() const noexcept { return m_sFile; }
    int GetLine() const noexcept { return m_nLine; }
    // "message (hr 0x80004005)" in UTF-8.
    const char* what() const noexcept override { return m_sWhat.c_str(); }

private:
    HRESULT m_hr;
    std::wstring m_wsMessage;
    std::string m_sFile;
    int m_nLine;
    std::string m_sWhat;
};

// Called inside a catch block: when the exception being handled is a C_Exception, re-throws that
// same object (type, message, code and origin unchanged); otherwise returns and lets the handler
// deal with whatever it caught. Outside a catch block it does nothing.
void RethrowOriginalCException();

}  // namespace Ostrel::Util

#define OST_THROW_C_EXCEPTION(hr, message) throw ::Ostrel::Util::C_Exception((hr), (message), __FILE__, __LINE__)
