#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Util/Text/XmlUtil.h"

namespace Ostrel::Rpc {

namespace {

std::wstring ReadText(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    std::wstring text;
    if (!pDocument)
        return text;
    wchar_t* pwszValue = nullptr;
    if (Util::XmlUtil::FindNodeValue(pDocument, pwszXPath, &pwszValue) && pwszValue)
        text = pwszValue;
    Util::XmlUtil::Free(pwszValue);
    return text;
}

}  // namespace

AuthResponse::AuthResponse(IXMLDOMDocument2* pDocument)
    : Response(pDocument),
      m_wsAuthToken(ReadText(pDocument, L"//account:authToken")),
      m_wsLifeTime(ReadText(pDocument, L"//account:lifetime")),
      m_wsSessionId(ReadText(pDocument, L"//account:sessionId")),
      m_bTwoFactorAuthRequired(ReadText(pDocument, L"//account:twoFactorAuthRequired") == L"TRUE") {}

}  // namespace Ostrel::Rpc
