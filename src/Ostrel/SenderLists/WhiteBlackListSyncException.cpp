#include "Ostrel/SenderLists/WhiteBlackListSyncException.h"

#include "Platform/Base/Utf.h"

#include <cinttypes>
#include <cstdio>

namespace Ostrel::Mapi {

WhiteBlackListSyncException::WhiteBlackListSyncException(const char* pszFunction, int iLine,
                                                         const std::wstring& wsMessage, HRESULT hr)
    : m_wsMessage(wsMessage), m_hr(hr) {
    char hrText[16];
    std::snprintf(hrText, sizeof hrText, "%08" PRIX32, static_cast<uint32_t>(hr));
    m_wsText = Platform::FromUtf8(pszFunction) + L" line " + std::to_wstring(iLine) + L" " + wsMessage +
               L". Failed with hr: " + Platform::FromUtf8(hrText);
}

}  // namespace Ostrel::Mapi
