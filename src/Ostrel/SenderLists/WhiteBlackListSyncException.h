// What a step of the sender list synchronisation throws when it fails: where (function and line),
// what it tried and the HRESULT, as one text "FUNCTION line N MESSAGE. Failed with hr: XXXXXXXX".
#pragma once

#include "Platform/Base/HResult.h"

#include <string>

namespace Ostrel::Mapi {

class WhiteBlackListSyncException {
public:
    WhiteBlackListSyncException(const char* pszFunction, int iLine, const std::wstring& wsMessage, HRESULT hr);

    const std::wstring& GetText() const { return m_wsText; }
    // The step's message alone, for a one-line report to the user.
    const std::wstring& GetMessage() const { return m_wsMessage; }
    HRESULT GetHResult() const { return m_hr; }

private:
    std::wstring m_wsText;
    std::wstring m_wsMessage;
    HRESULT m_hr;
};

#define WBSYNC_THROW(message, hr) throw ::Ostrel::Mapi::WhiteBlackListSyncException(__func__, __LINE__, (message), (hr))

}  // namespace Ostrel::Mapi
