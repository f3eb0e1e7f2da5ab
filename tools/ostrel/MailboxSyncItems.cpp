// MailboxSync: contacts, appointments and tasks, read from the server after the messages.
#include "MailboxSync.h"

#include "StoreSync.h"

#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <set>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;

constexpr size_t kContactBatch = 100;
constexpr size_t kMaxGalPages = 1000;

}  // namespace

ItemBaseline MailboxSync::Listed(int32_t iId, int32_t iFolder) const {
    auto it = m_listed.find(iId);
    if (it != m_listed.end())
        return it->second;
    ItemBaseline unknown;
    unknown.iFolder = iFolder;
    return unknown;
}

void MailboxSync::FetchItems(PendingSync& pending) {
    while (!pending.contacts.empty()) {
        CheckInterrupt();
        const size_t count = std::min(kContactBatch, pending.contacts.size());
        FetchContacts(std::vector<int32_t>(pending.contacts.begin(), pending.contacts.begin() + count));
        // In the store and the mapper before the pending record forgets them.
        m_mailbox.Flush();
        pending.contacts.erase(pending.contacts.begin(), pending.contacts.begin() + count);
        m_local.SetPending(pending);
    }
    for (const bool bTask : {false, true}) {
        std::vector<int32_t>& ids = bTask ? pending.tasks : pending.appointments;
        while (!ids.empty()) {
            CheckInterrupt();
            FetchCalendarItem(ids.front(), bTask);
            m_mailbox.Flush();
            ids.erase(ids.begin());
            m_local.SetPending(pending);
        }
    }
}

void MailboxSync::FetchContacts(const std::vector<int32_t>& ids) {
    const std::vector<LONG> lids(ids.begin(), ids.end());
    GetContactsRequest request(lids.data(), static_cast<unsigned>(lids.size()), nullptr, 0, 0);
    Response* pResponse = nullptr;
    try {
        m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    } catch (const SoapFaultResponse&) {
        // One contact the server refuses (deleted meanwhile) fails the batch: ask one by one.
        if (ids.size() > 1) {
            for (int32_t id : ids)
                FetchContacts({id});
            return;
        }
        OSTLOG_ERROR(L"Contact %d skipped: the server refused to send it", ids.front());
        m_pStore->CountFailure();
        return;
    }
    std::unique_ptr<Response> response(pResponse);
    std::string xml;
    std::unique_ptr<Ostrel::Mail::Contact::List> pList;
    if (!response->GetDocument() || FAILED(response->GetDocument()->get_xmlUtf8(xml)) ||
        FAILED(Ostrel::Mail::ContactReader::ReadList(xml, true, 1, pList)) || !pList) {
        for (int32_t id : ids) {
            OSTLOG_ERROR(L"Contact %d skipped: the server's reply breaks the rules", id);
            m_pStore->CountFailure();
        }
        return;
    }
    std::set<int32_t> done;
    for (const auto& pContact : *pList) {
        const int32_t id = pContact->GetContId();
        if (!std::count(ids.begin(), ids.end(), id) || !done.insert(id).second) {
            OSTLOG_ERROR(L"Contact %d skipped: it was not asked for", id);
            m_pStore->CountFailure();
            continue;
        }
        m_pStore->WriteContact(*pContact, Listed(id, pContact->ParentFolderId()));
    }
    for (int32_t id : ids) {
        if (!done.count(id)) {
            OSTLOG_ERROR(L"Contact %d skipped: the server did not send it", id);
            m_pStore->CountFailure();
        }
    }
}

void MailboxSync::FetchCalendarItem(int32_t iId, bool bTask) {
    GetAppointmentRequest request(iId, bTask ? 1 : 0);
    Response* pResponse = nullptr;
    try {
        m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    } catch (const SoapFaultResponse&) {
        OSTLOG_ERROR(L"%s %d skipped: the server refused to send it", bTask ? L"Task" : L"Appointment", iId);
        m_pStore->CountFailure();
        return;
    }
    std::unique_ptr<Response> response(pResponse);
    std::wstring wsError;
    Ostrel::Mail::AppointmentPtr pItem = Ostrel::Mail::ReadCalendarReply(response->GetDocument(), wsError);
    if (!pItem || pItem->GetId() != iId) {
        OSTLOG_ERROR(L"%s %d skipped: the server's reply breaks the rules (%s)", bTask ? L"Task" : L"Appointment", iId,
                     pItem ? L"another item" : wsError.c_str());
        m_pStore->CountFailure();
        return;
    }
    m_pStore->WriteCalendarItem(iId, *pItem, bTask, Listed(iId, static_cast<int32_t>(pItem->GetParentFolder())));
}

void MailboxSync::SyncGal() {
    // A large list comes in pages ("more"), each from the token of the one before.
    for (size_t page = 0; page < kMaxGalPages; ++page) {
        CheckInterrupt();
        const std::optional<std::string> token = m_local.GalToken();
        const std::wstring wsToken = token ? Platform::FromUtf8(*token) : std::wstring();
        SyncGalRequest request(token ? wsToken.c_str() : nullptr);
        Response* pResponse = nullptr;
        try {
            m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        } catch (const SoapFaultResponse&) {
            // An account without an address list to synchronise: the mailbox is complete without it.
            OSTLOG_WARN(L"The server does not synchronise its global address list for this account");
            return;
        }
        std::unique_ptr<Response> response(pResponse);
        std::string xml;
        Ostrel::Mail::ContactReader reader(false, 1, [&](std::unique_ptr<Ostrel::Mail::Contact> pEntry) {
            m_pStore->WriteGalEntry(*pEntry);
            return S_OK;
        });
        if (!response->GetDocument() || FAILED(response->GetDocument()->get_xmlUtf8(xml)) || FAILED(reader.Read(xml))) {
            OSTLOG_ERROR(L"The global address list's reply breaks the rules; it is read again next time");
            m_pStore->CountFailure();
            return;
        }
        const auto& attributes = reader.ResponseAttributes();
        auto next = attributes.find(L"token");
        auto more = attributes.find(L"more");
        if (next == attributes.end() || next->second.empty())
            return;
        m_mailbox.Flush();
        const std::string sNext = Platform::ToUtf8(next->second);
        m_local.CommitGal(sNext);
        if (more == attributes.end() || (more->second != L"1" && more->second != L"true") || sNext == token)
            return;
    }
    OSTLOG_WARN(L"The global address list did not end after %d pages; the rest comes next time",
                static_cast<int>(kMaxGalPages));
}

}  // namespace OstrelCli
