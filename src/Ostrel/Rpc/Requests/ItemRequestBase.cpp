#include "Ostrel/Rpc/Requests/ItemRequestBase.h"

#include <cstdio>

#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"
#include "Util/Exception.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"

namespace Ostrel::Rpc {

using Platform::ComPtr;

namespace {

void ThrowIfFailed(HRESULT hr, const wchar_t* pwszWhat) {
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"cannot build %s: hr(%x)", pwszWhat, hr);
        OST_THROW_C_EXCEPTION(hr, std::wstring(L"the request could not be built: ") + pwszWhat);
    }
}

}  // namespace

namespace {

// UserSession's feature queries behind the interface; keeps the session alive while in use.
class UserSessionFeatures final : public IItemRequestSession {
public:
    explicit UserSessionFeatures(std::shared_ptr<UserSession> pSession) : m_pSession(std::move(pSession)) {}
    int SetSupportTagNames() override { return m_pSession->SetSupportTagNames(); }
    int SetSupportTagIds() override { return m_pSession->SetSupportTagIds(); }
    int SetSupportOSV8() override { return m_pSession->SetSupportOSV8(); }

private:
    std::shared_ptr<UserSession> m_pSession;
};

}  // namespace

std::shared_ptr<IItemRequestSession> CurrentItemSession() {
    // Sessions found through the finder live as long as the finder hands them out.
    if (auto* pOwn = dynamic_cast<IItemRequestSession*>(FindSession(CurrentProfileName())))
        return std::shared_ptr<IItemRequestSession>(std::shared_ptr<void>(), pOwn);
    if (std::shared_ptr<UserSession> pUser = UserSession::GetInstance())
        return std::make_shared<UserSessionFeatures>(std::move(pUser));
    OSTLOG_WARN(L"no user session for the item request; tags and version 8 content are left out");
    return nullptr;
}

std::wstring ColorToRgb(ULONG color) {
    wchar_t wszRgb[8];
    std::swprintf(wszRgb, std::size(wszRgb), L"#%02X%02X%02X", static_cast<unsigned>(color & 0xFF),
                  static_cast<unsigned>((color >> 8) & 0xFF), static_cast<unsigned>((color >> 16) & 0xFF));
    return wszRgb;
}

TagAttribute ChooseTagAttribute(IItemRequestSession* pSession, bool idsAllowed) {
    if (!pSession)
        return TagAttribute::None;
    if (pSession->SetSupportTagNames())
        return TagAttribute::Names;
    if (pSession->SetSupportTagIds() && idsAllowed)
        return TagAttribute::Ids;
    return TagAttribute::None;
}

ItemRequestBase::ItemRequestBase(const wchar_t* pwszCallName, int minusNoQualify, bool setCallName)
    : Request(setCallName ? pwszCallName : nullptr, minusNoQualify) {}

ItemRequestBase::~ItemRequestBase() {
    Util::SafeRelease(m_pBody);
}

void ItemRequestBase::CreateBody(const wchar_t* pwszName, const wchar_t* pwszNamespace) {
    ComPtr<IXMLDOMElement> body = NewElement(pwszName);
    SetAttr(body.Get(), Soap::kXmlns, pwszNamespace);
    ThrowIfFailed(AppendToSoapBody(body.Get()), pwszName);
    Util::SafeRelease(m_pBody);
    m_pBody = body.Detach();
}

ComPtr<IXMLDOMElement> ItemRequestBase::NewElement(const wchar_t* pwszName) {
    ComPtr<IXMLDOMElement> element;
    ThrowIfFailed(GetDocument()->createElement(pwszName, element.AddressOf()), pwszName);
    return element;
}

ComPtr<IXMLDOMElement> ItemRequestBase::AddChild(IXMLDOMElement* pParent, const wchar_t* pwszName) {
    ComPtr<IXMLDOMElement> child = NewElement(pwszName);
    ThrowIfFailed(pParent->appendChild(child.Get(), nullptr), pwszName);
    return child;
}

void ItemRequestBase::SetAttr(IXMLDOMElement* pElement, const wchar_t* pwszName, std::wstring_view value) {
    ThrowIfFailed(pElement->setAttribute(pwszName, value), pwszName);
}

void ItemRequestBase::SetText(IXMLDOMElement* pElement, std::wstring_view text) {
    ThrowIfFailed(pElement->put_text(text), L"text");
}

void ItemRequestBase::SetTagAttribute(IXMLDOMElement* pElement, const Mail::TagIdList* pTagIds,
                                      const Mail::TagNameList* pTagNames, bool idsAllowed) {
    std::wstring wsIds = pTagIds ? pTagIds->ToString() : L"";
    std::wstring wsNames = pTagNames ? pTagNames->ToString() : L"";
    if (wsIds.empty() && wsNames.empty())
        return;
    switch (ChooseTagAttribute(CurrentItemSession().get(), idsAllowed)) {
        case TagAttribute::Names:
            if (!wsNames.empty())
                SetAttr(pElement, L"tn", wsNames);
            break;
        case TagAttribute::Ids:
            if (!wsIds.empty())
                SetAttr(pElement, L"t", wsIds);
            break;
        case TagAttribute::None:
            break;
    }
}

}  // namespace Ostrel::Rpc
