#include "Util/Exception.h"

#include <cstdio>
#include <cstring>

#include "Platform/Base/Utf.h"

namespace Ostrel::Util {

C_Exception::C_Exception(HRESULT hr, std::wstring wsMessage, const char* pszFile, int nLine)
    : m_hr(hr), m_wsMessage(std::move(wsMessage)), m_nLine(nLine) {
    if (pszFile) {
        const char* pSlash = std::strrchr(pszFile, '/');
        m_sFile = pSlash ? pSlash + 1 : pszFile;
    }
    char szCode[32];
    std::snprintf(szCode, sizeof szCode, " (hr 0x%08X)", static_cast<unsigned>(hr));
    m_sWhat = Platform::ToUtf8(m_wsMessage) + szCode;
}

void RethrowOriginalCException() {
    std::exception_ptr pCurrent = std::current_exception();
    if (!pCurrent)
        return;
    try {
        std::rethrow_exception(pCurrent);
    } catch (const C_Exception&) {
        throw;
    } catch (...) {
    }
}

}  // namespace Ostrel::Util
