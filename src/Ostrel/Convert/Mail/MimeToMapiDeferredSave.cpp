#include "Ostrel/Convert/Mail/MimeToMapiDeferredSave.h"

#include <atomic>

namespace {

class DeferredSaveMessage final : public IMessage {
public:
    explicit DeferredSaveMessage(IMessage* pInner) : m_pInner(pInner) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
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
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG c = --m_cRef;
        if (c == 0)
            delete this;
        return c;
    }

    // The message stays open for writing, as after a save that keeps it so.
    HRESULT SaveChanges(ULONG) override { return S_OK; }

    HRESULT GetLastError(HRESULT hr, ULONG ulFlags, LPMAPIERROR* pp) override {
        return m_pInner->GetLastError(hr, ulFlags, pp);
    }
    HRESULT GetProps(LPSPropTagArray pTags, ULONG ulFlags, ULONG* pc, LPSPropValue* pp) override {
        return m_pInner->GetProps(pTags, ulFlags, pc, pp);
    }
    HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* pp) override { return m_pInner->GetPropList(ulFlags, pp); }
    HRESULT OpenProperty(ULONG ulTag, LPCIID piid, ULONG ulOptions, ULONG ulFlags, LPUNKNOWN* pp) override {
        return m_pInner->OpenProperty(ulTag, piid, ulOptions, ulFlags, pp);
    }
    HRESULT SetProps(ULONG c, LPSPropValue pValues, LPSPropProblemArray* pp) override {
        return m_pInner->SetProps(c, pValues, pp);
    }
    HRESULT DeleteProps(LPSPropTagArray pTags, LPSPropProblemArray* pp) override {
        return m_pInner->DeleteProps(pTags, pp);
    }
    HRESULT CopyTo(ULONG ciid, LPCIID piidExclude, LPSPropTagArray pExclude, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress,
                   LPCIID piid, LPVOID pDest, ULONG ulFlags, LPSPropProblemArray* pp) override {
        return m_pInner->CopyTo(ciid, piidExclude, pExclude, ulUI, pProgress, piid, pDest, ulFlags, pp);
    }
    HRESULT CopyProps(LPSPropTagArray pTags, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress, LPCIID piid, LPVOID pDest,
                      ULONG ulFlags, LPSPropProblemArray* pp) override {
        return m_pInner->CopyProps(pTags, ulUI, pProgress, piid, pDest, ulFlags, pp);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* ppTags, LPGUID pGuid, ULONG ulFlags, ULONG* pc,
                            LPMAPINAMEID** ppp) override {
        return m_pInner->GetNamesFromIDs(ppTags, pGuid, ulFlags, pc, ppp);
    }
    HRESULT GetIDsFromNames(ULONG c, LPMAPINAMEID* ppNames, ULONG ulFlags, LPSPropTagArray* pp) override {
        return m_pInner->GetIDsFromNames(c, ppNames, ulFlags, pp);
    }
    HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* pp) override {
        return m_pInner->GetAttachmentTable(ulFlags, pp);
    }
    HRESULT OpenAttach(ULONG ulNum, LPCIID piid, ULONG ulFlags, LPATTACH* pp) override {
        return m_pInner->OpenAttach(ulNum, piid, ulFlags, pp);
    }
    HRESULT CreateAttach(LPCIID piid, ULONG ulFlags, ULONG* pulNum, LPATTACH* pp) override {
        return m_pInner->CreateAttach(piid, ulFlags, pulNum, pp);
    }
    HRESULT DeleteAttach(ULONG ulNum, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress, ULONG ulFlags) override {
        return m_pInner->DeleteAttach(ulNum, ulUI, pProgress, ulFlags);
    }
    HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* pp) override {
        return m_pInner->GetRecipientTable(ulFlags, pp);
    }
    HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST pMods) override {
        return m_pInner->ModifyRecipients(ulFlags, pMods);
    }
    HRESULT SubmitMessage(ULONG ulFlags) override { return m_pInner->SubmitMessage(ulFlags); }
    HRESULT SetReadFlag(ULONG ulFlags) override { return m_pInner->SetReadFlag(ulFlags); }

private:
    ~DeferredSaveMessage() override = default;

    Platform::ComPtr<IMessage> m_pInner;
    std::atomic<ULONG> m_cRef{1};
};

}  // namespace

Platform::ComPtr<IMessage> CreateDeferredSaveMessage(IMessage* pInner) {
    Platform::ComPtr<IMessage> p;
    p.Attach(new DeferredSaveMessage(pInner));
    return p;
}
