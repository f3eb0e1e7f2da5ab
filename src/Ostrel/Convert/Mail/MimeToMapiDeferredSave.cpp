#include "Ostrel/Convert/Mail/MimeToMapiDeferredSave.h"

HRESULT ForwardingMessage::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMessage) {
        *ppv = static_cast<IMessage*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG ForwardingMessage::Release() {
    const ULONG c = --m_cRef;
    if (c == 0)
        delete this;
    return c;
}

HRESULT ForwardingMessage::GetLastError(HRESULT hr, ULONG ulFlags, LPMAPIERROR* pp) {
    return m_pInner->GetLastError(hr, ulFlags, pp);
}
HRESULT ForwardingMessage::SaveChanges(ULONG ulFlags) {
    return m_pInner->SaveChanges(ulFlags);
}
HRESULT ForwardingMessage::GetProps(LPSPropTagArray pTags, ULONG ulFlags, ULONG* pc, LPSPropValue* pp) {
    return m_pInner->GetProps(pTags, ulFlags, pc, pp);
}
HRESULT ForwardingMessage::GetPropList(ULONG ulFlags, LPSPropTagArray* pp) {
    return m_pInner->GetPropList(ulFlags, pp);
}
HRESULT ForwardingMessage::OpenProperty(ULONG ulTag, LPCIID piid, ULONG ulOptions, ULONG ulFlags, LPUNKNOWN* pp) {
    return m_pInner->OpenProperty(ulTag, piid, ulOptions, ulFlags, pp);
}
HRESULT ForwardingMessage::SetProps(ULONG c, LPSPropValue pValues, LPSPropProblemArray* pp) {
    return m_pInner->SetProps(c, pValues, pp);
}
HRESULT ForwardingMessage::DeleteProps(LPSPropTagArray pTags, LPSPropProblemArray* pp) {
    return m_pInner->DeleteProps(pTags, pp);
}
HRESULT ForwardingMessage::CopyTo(ULONG ciid, LPCIID piidExclude, LPSPropTagArray pExclude, ULONG_PTR ulUI,
                                  LPMAPIPROGRESS pProgress, LPCIID piid, LPVOID pDest, ULONG ulFlags,
                                  LPSPropProblemArray* pp) {
    return m_pInner->CopyTo(ciid, piidExclude, pExclude, ulUI, pProgress, piid, pDest, ulFlags, pp);
}
HRESULT ForwardingMessage::CopyProps(LPSPropTagArray pTags, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress, LPCIID piid,
                                     LPVOID pDest, ULONG ulFlags, LPSPropProblemArray* pp) {
    return m_pInner->CopyProps(pTags, ulUI, pProgress, piid, pDest, ulFlags, pp);
}
HRESULT ForwardingMessage::GetNamesFromIDs(LPSPropTagArray* ppTags, LPGUID pGuid, ULONG ulFlags, ULONG* pc,
                                           LPMAPINAMEID** ppp) {
    return m_pInner->GetNamesFromIDs(ppTags, pGuid, ulFlags, pc, ppp);
}
HRESULT ForwardingMessage::GetIDsFromNames(ULONG c, LPMAPINAMEID* ppNames, ULONG ulFlags, LPSPropTagArray* pp) {
    return m_pInner->GetIDsFromNames(c, ppNames, ulFlags, pp);
}
HRESULT ForwardingMessage::GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* pp) {
    return m_pInner->GetAttachmentTable(ulFlags, pp);
}
HRESULT ForwardingMessage::OpenAttach(ULONG ulNum, LPCIID piid, ULONG ulFlags, LPATTACH* pp) {
    return m_pInner->OpenAttach(ulNum, piid, ulFlags, pp);
}
HRESULT ForwardingMessage::CreateAttach(LPCIID piid, ULONG ulFlags, ULONG* pulNum, LPATTACH* pp) {
    return m_pInner->CreateAttach(piid, ulFlags, pulNum, pp);
}
HRESULT ForwardingMessage::DeleteAttach(ULONG ulNum, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress, ULONG ulFlags) {
    return m_pInner->DeleteAttach(ulNum, ulUI, pProgress, ulFlags);
}
HRESULT ForwardingMessage::GetRecipientTable(ULONG ulFlags, LPMAPITABLE* pp) {
    return m_pInner->GetRecipientTable(ulFlags, pp);
}
HRESULT ForwardingMessage::ModifyRecipients(ULONG ulFlags, LPADRLIST pMods) {
    return m_pInner->ModifyRecipients(ulFlags, pMods);
}
HRESULT ForwardingMessage::SubmitMessage(ULONG ulFlags) {
    return m_pInner->SubmitMessage(ulFlags);
}
HRESULT ForwardingMessage::SetReadFlag(ULONG ulFlags) {
    return m_pInner->SetReadFlag(ulFlags);
}

namespace {

class DeferredSaveMessage final : public ForwardingMessage {
public:
    using ForwardingMessage::ForwardingMessage;
    // The message stays open for writing, as after a save that keeps it so.
    HRESULT SaveChanges(ULONG) override { return S_OK; }
};

}  // namespace

Platform::ComPtr<IMessage> CreateDeferredSaveMessage(IMessage* pInner) {
    Platform::ComPtr<IMessage> p;
    p.Attach(new DeferredSaveMessage(pInner));
    return p;
}
