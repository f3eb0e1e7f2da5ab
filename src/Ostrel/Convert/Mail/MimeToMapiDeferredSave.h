// The target message as the host's converter sees it: every call goes on to the message, except
// that the converter's own save is held back. The conversion saves once, after it has written the
// server's values, so the store never holds the converter's result without them, a failed
// conversion never leaves a saved message behind, and each message costs one store transaction.
#pragma once

#include <atomic>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

// A message that passes every call on to another one; a subclass changes the calls it needs.
class ForwardingMessage : public IMessage {
public:
    explicit ForwardingMessage(IMessage* pInner) : m_pInner(pInner) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override;

    HRESULT GetLastError(HRESULT hr, ULONG ulFlags, LPMAPIERROR* pp) override;
    HRESULT SaveChanges(ULONG ulFlags) override;
    HRESULT GetProps(LPSPropTagArray pTags, ULONG ulFlags, ULONG* pc, LPSPropValue* pp) override;
    HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* pp) override;
    HRESULT OpenProperty(ULONG ulTag, LPCIID piid, ULONG ulOptions, ULONG ulFlags, LPUNKNOWN* pp) override;
    HRESULT SetProps(ULONG c, LPSPropValue pValues, LPSPropProblemArray* pp) override;
    HRESULT DeleteProps(LPSPropTagArray pTags, LPSPropProblemArray* pp) override;
    HRESULT CopyTo(ULONG ciid, LPCIID piidExclude, LPSPropTagArray pExclude, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress,
                   LPCIID piid, LPVOID pDest, ULONG ulFlags, LPSPropProblemArray* pp) override;
    HRESULT CopyProps(LPSPropTagArray pTags, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress, LPCIID piid, LPVOID pDest,
                      ULONG ulFlags, LPSPropProblemArray* pp) override;
    HRESULT GetNamesFromIDs(LPSPropTagArray* ppTags, LPGUID pGuid, ULONG ulFlags, ULONG* pc,
                            LPMAPINAMEID** ppp) override;
    HRESULT GetIDsFromNames(ULONG c, LPMAPINAMEID* ppNames, ULONG ulFlags, LPSPropTagArray* pp) override;
    HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* pp) override;
    HRESULT OpenAttach(ULONG ulNum, LPCIID piid, ULONG ulFlags, LPATTACH* pp) override;
    HRESULT CreateAttach(LPCIID piid, ULONG ulFlags, ULONG* pulNum, LPATTACH* pp) override;
    HRESULT DeleteAttach(ULONG ulNum, ULONG_PTR ulUI, LPMAPIPROGRESS pProgress, ULONG ulFlags) override;
    HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* pp) override;
    HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST pMods) override;
    HRESULT SubmitMessage(ULONG ulFlags) override;
    HRESULT SetReadFlag(ULONG ulFlags) override;

protected:
    ~ForwardingMessage() override = default;
    IMessage* Inner() const { return m_pInner.Get(); }

private:
    Platform::ComPtr<IMessage> m_pInner;
    std::atomic<ULONG> m_cRef{1};
};

Platform::ComPtr<IMessage> CreateDeferredSaveMessage(IMessage* pInner);
