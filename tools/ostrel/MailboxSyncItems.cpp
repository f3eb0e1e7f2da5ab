// MailboxSync: the global address list, read from the server after the mailbox.
#include "MailboxSync.h"

#include "StoreSync.h"

#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <set>
#include <unordered_set>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;
using Platform::ComPtr;

constexpr size_t kMaxGalPages = 1000;

// The keys of the entries a reply reports deleted: each `deleted` element's id and reference,
// whichever it gives. False when one gives neither.
bool ReadGalDeletions(IXMLDOMDocument2* pDocument, std::set<std::wstring>& keys) {
    ComPtr<IXMLDOMNodeList> pList;
    if (pDocument->selectNodes(L"/soap:Envelope/soap:Body/account:SyncGalResponse/account:deleted",
                               pList.AddressOf()) != S_OK ||
        !pList)
        return true;
    bool bValid = true;
    ComPtr<IXMLDOMNode> pNode;
    while (pList->nextNode(pNode.AddressOf()) == S_OK && pNode) {
        ComPtr<IXMLDOMElement> pElement;
        bool bNamed = false;
        if (SUCCEEDED(pNode.As(&pElement)) && pElement) {
            for (const wchar_t* pwszName : {L"id", L"ref"}) {
                std::wstring wsKey;
                if (pElement->getAttribute(pwszName, wsKey) == S_OK && !wsKey.empty()) {
                    keys.insert(wsKey);
                    bNamed = true;
                }
            }
        }
        bValid = bValid && bNamed;
        pNode.Reset();
    }
    return bValid;
}

}  // namespace

void MailboxSync::SyncGal(bool bFull) {
    // A large list comes in pages ("more"), each from the token of the one before. Without a token
    // the pages list the whole address list, and what the store holds beyond them went while no
    // token was kept; the tokens of such a listing are committed only after that comparison, so a
    // run cut short lists it all again.
    std::optional<std::string> token = bFull ? std::nullopt : m_local.GalToken();
    bool bWhole = !token;
    std::unordered_set<size_t> listed;
    // The entries go into the store in one batch, committed after each page: nothing uncommitted
    // waits while the next page is asked for.
    m_pStore->BeginGalListing();
    struct EndListing {
        StoreSync& store;
        ~EndListing() { store.EndGalListing(); }
    } endListing{*m_pStore};
    for (size_t page = 0; page < kMaxGalPages; ++page) {
        CheckInterrupt();
        const std::wstring wsToken = token ? Platform::FromUtf8(*token) : std::wstring();
        SyncGalRequest request(token ? wsToken.c_str() : nullptr);
        Response* pResponse = nullptr;
        try {
            m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        } catch (const SoapFaultResponse& fault) {
            if (token && dynamic_cast<const MailServiceException_MUST_RESYNC*>(&fault)) {
                OSTLOG_WARN(L"The server no longer knows the address list's token %hs; listing it whole",
                            token->c_str());
                token.reset();
                bWhole = true;
                listed.clear();
                continue;
            }
            // An account without an address list to synchronise: the mailbox is complete without it.
            OSTLOG_WARN(L"The server does not synchronise its global address list for this account");
            return;
        }
        std::unique_ptr<Response> response(pResponse);
        std::string xml;
        Ostrel::Mail::ContactReader reader(false, 1, [&](std::unique_ptr<Ostrel::Mail::Contact> pEntry) {
            if (bWhole)
                listed.insert(StoreSync::GalKeyHash(Ostrel::Mapi::ContactStoreWriter::GalKey(*pEntry)));
            m_pStore->WriteGalEntry(*pEntry);
            return S_OK;
        });
        const bool bRead = response->GetDocument() && SUCCEEDED(response->GetDocument()->get_xmlUtf8(xml)) &&
                           SUCCEEDED(reader.Read(xml));
        // Without its entries in the store the page is not done: its token is not kept.
        if (!m_pStore->CommitGalEntries())
            return;
        if (!bRead) {
            OSTLOG_ERROR(L"The global address list's reply breaks the rules; it is read again next time");
            m_pStore->CountFailure();
            return;
        }
        std::set<std::wstring> deleted;
        if (!ReadGalDeletions(response->GetDocument(), deleted)) {
            OSTLOG_ERROR(L"The global address list's reply reports a deletion without id or reference");
            m_pStore->CountFailure();
        }
        m_pStore->DeleteGalEntries(deleted);
        const auto& attributes = reader.ResponseAttributes();
        auto next = attributes.find(L"token");
        auto more = attributes.find(L"more");
        if (next == attributes.end() || next->second.empty())
            return;
        m_mailbox.Flush();
        const std::string sNext = Platform::ToUtf8(next->second);
        const bool bMore = more != attributes.end() && (more->second == L"1" || more->second == L"true");
        if (bMore && sNext == token) {
            OSTLOG_WARN(
                L"The global address list's next page has the token of the one before; the rest is read next time");
            if (!bWhole)
                m_local.CommitGal(sNext);
            return;
        }
        if (!bMore && bWhole) {
            m_pStore->DeleteUnlistedGalEntries(listed);
            m_mailbox.Flush();
        }
        if (!bMore || !bWhole)
            m_local.CommitGal(sNext);
        if (!bMore)
            return;
        token = sNext;
    }
    OSTLOG_WARN(L"The global address list did not end after %d pages; %s next time", static_cast<int>(kMaxGalPages),
                bWhole ? L"it is listed whole again" : L"the rest comes");
}

}  // namespace OstrelCli
