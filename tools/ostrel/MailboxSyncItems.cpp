// MailboxSync: the global address list, read from the server after the mailbox.
#include "MailboxSync.h"

#include "StoreSync.h"

#include "Ostrel/Convert/Contact/ContactStoreWriter.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <exception>
#include <map>
#include <set>
#include <unordered_set>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;
using Platform::ComPtr;

constexpr size_t kMaxGalPages = 1000;
// Entries whose details one request asks for.
constexpr size_t kGalDetailBatch = 100;

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
        // The page names the entries; their details are asked for a chunk at a time, and each
        // chunk is committed before the next is asked for.
        std::vector<std::unique_ptr<Ostrel::Mail::Contact>> chunk;
        bool bSaved = true;
        auto writeChunk = [&] {
            WriteGalEntries(chunk);
            chunk.clear();
            return bSaved = m_pStore->CommitGalEntries();
        };
        // Thrown while reading (a lost connection, an interruption): carried past the parser.
        std::exception_ptr failure;
        Ostrel::Mail::ContactReader reader(false, 1, [&](std::unique_ptr<Ostrel::Mail::Contact> pEntry) {
            try {
                if (bWhole)
                    listed.insert(StoreSync::GalKeyHash(Ostrel::Mapi::ContactStoreWriter::GalKey(*pEntry)));
                chunk.push_back(std::move(pEntry));
                return chunk.size() < kGalDetailBatch || writeChunk() ? S_OK : E_FAIL;
            } catch (...) {
                failure = std::current_exception();
                return E_FAIL;
            }
        });
        const bool bRead = response->GetDocument() && SUCCEEDED(response->GetDocument()->get_xmlUtf8(xml)) &&
                           SUCCEEDED(reader.Read(xml));
        if (failure)
            std::rethrow_exception(failure);
        // Without its entries in the store the page is not done: its token is not kept.
        if (!bSaved || !writeChunk())
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

void MailboxSync::WriteGalEntries(const std::vector<std::unique_ptr<Ostrel::Mail::Contact>>& listed) {
    std::map<std::wstring, std::unique_ptr<Ostrel::Mail::Contact>> details;
    FetchGalDetails(listed, 0, listed.size(), details);
    for (const auto& pListed : listed) {
        const std::wstring wsKey = Ostrel::Mapi::ContactStoreWriter::GalKey(*pListed);
        auto it = details.find(pListed->TextId());
        if (it == details.end()) {
            // Written as listed, an entry the store holds would lose the details it has.
            if (m_mailbox.Gal().Contains(wsKey)) {
                OSTLOG_WARN(L"Address list entry %s: the server sent no details; kept as it was", wsKey.c_str());
            } else {
                OSTLOG_WARN(L"Address list entry %s: the server sent no details; written as listed", wsKey.c_str());
                m_pStore->WriteGalEntry(*pListed);
            }
            continue;
        }
        // Under the key the listing names it by, as its deletion and the next whole listing do.
        it->second->SetUniqueId(wsKey);
        m_pStore->WriteGalEntry(*it->second);
    }
}

void MailboxSync::FetchGalDetails(const std::vector<std::unique_ptr<Ostrel::Mail::Contact>>& listed, size_t first,
                                  size_t count,
                                  std::map<std::wstring, std::unique_ptr<Ostrel::Mail::Contact>>& details) {
    CheckInterrupt();
    std::set<std::wstring> wanted;
    std::vector<const wchar_t*> ids;
    for (size_t i = first; i < first + count; ++i)
        if (!listed[i]->TextId().empty() && wanted.insert(listed[i]->TextId()).second)
            ids.push_back(listed[i]->TextId().c_str());
    if (ids.empty())
        return;
    GetContactsRequest request(ids.data(), static_cast<unsigned>(ids.size()), nullptr, 0, 0, 1);
    Response* pResponse = nullptr;
    try {
        m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    } catch (const SoapFaultResponse&) {
        // One entry the server refuses (removed meanwhile) fails the chunk: ask one by one.
        for (size_t i = first; count > 1 && i < first + count; ++i)
            FetchGalDetails(listed, i, 1, details);
        return;
    }
    std::unique_ptr<Response> response(pResponse);
    std::string xml;
    std::unique_ptr<Ostrel::Mail::Contact::List> pList;
    if (!response->GetDocument() || FAILED(response->GetDocument()->get_xmlUtf8(xml)) ||
        FAILED(Ostrel::Mail::ContactReader::ReadList(xml, true, 1, pList)) || !pList) {
        OSTLOG_ERROR(L"The details of %d address list entries break the rules", static_cast<int>(ids.size()));
        return;
    }
    for (Ostrel::Mail::Contact*& pEntry : *pList) {
        // Only what was asked for, each once: the list frees what is left in it.
        if (wanted.count(pEntry->TextId()) && !details.count(pEntry->TextId())) {
            details.emplace(pEntry->TextId(), std::unique_ptr<Ostrel::Mail::Contact>(pEntry));
            pEntry = nullptr;
        }
    }
}

}  // namespace OstrelCli
