// MailboxSync: contacts, appointments and tasks, read from the server after the messages.
#include "MailboxSync.h"

#include "StoreSync.h"

#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <set>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;

constexpr size_t kContactBatch = 100;

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
    for (size_t next = 0; next < pending.contacts.size();) {
        CheckInterrupt();
        const size_t count = std::min(kContactBatch, pending.contacts.size() - next);
        const std::vector<int32_t> batch(pending.contacts.begin() + static_cast<ptrdiff_t>(next),
                                         pending.contacts.begin() + static_cast<ptrdiff_t>(next + count));
        const std::vector<int32_t> failed = FetchContacts(batch);
        // In the store and the mapper before the pending record marks them done.
        m_mailbox.Flush();
        MarkDone(pending, batch, failed, FetchKind::Contact);
        next += count;
    }
    pending.contacts.clear();
    for (const bool bTask : {false, true}) {
        std::vector<int32_t>& ids = bTask ? pending.tasks : pending.appointments;
        for (int32_t id : ids) {
            CheckInterrupt();
            const bool bWritten = FetchCalendarItem(id, bTask);
            m_mailbox.Flush();
            MarkDone(pending, {id}, bWritten ? std::vector<int32_t>() : std::vector<int32_t>{id},
                     bTask ? FetchKind::Task : FetchKind::Appointment);
        }
        ids.clear();
    }
}

std::vector<int32_t> MailboxSync::FetchContacts(const std::vector<int32_t>& ids) {
    const std::vector<LONG> lids(ids.begin(), ids.end());
    GetContactsRequest request(lids.data(), static_cast<unsigned>(lids.size()), nullptr, 0, 0);
    Response* pResponse = nullptr;
    try {
        m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    } catch (const SoapFaultResponse&) {
        // One contact the server refuses (deleted meanwhile) fails the batch: ask one by one.
        if (ids.size() > 1) {
            std::vector<int32_t> failed;
            for (int32_t id : ids) {
                const std::vector<int32_t> one = FetchContacts({id});
                failed.insert(failed.end(), one.begin(), one.end());
            }
            return failed;
        }
        OSTLOG_ERROR(L"Contact %d skipped: the server refused to send it", ids.front());
        m_pStore->CountFailure();
        return ids;
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
        return ids;
    }
    std::set<int32_t> done;
    std::vector<int32_t> failed;
    for (const auto& pContact : *pList) {
        const int32_t id = pContact->GetContId();
        if (!std::count(ids.begin(), ids.end(), id) || !done.insert(id).second) {
            OSTLOG_ERROR(L"Contact %d skipped: it was not asked for", id);
            m_pStore->CountFailure();
            continue;
        }
        const size_t cFailedBefore = m_pStore->Counts().cFailed;
        m_pStore->WriteContact(*pContact, Listed(id, pContact->ParentFolderId()));
        if (m_pStore->Counts().cFailed != cFailedBefore)
            failed.push_back(id);  // logged and counted by the store's writer
    }
    for (int32_t id : ids) {
        if (!done.count(id)) {
            OSTLOG_ERROR(L"Contact %d skipped: the server did not send it", id);
            m_pStore->CountFailure();
            failed.push_back(id);
        }
    }
    return failed;
}

bool MailboxSync::FetchCalendarItem(int32_t iId, bool bTask) {
    GetAppointmentRequest request(iId, bTask ? 1 : 0);
    Response* pResponse = nullptr;
    try {
        m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    } catch (const SoapFaultResponse&) {
        OSTLOG_ERROR(L"%s %d skipped: the server refused to send it", bTask ? L"Task" : L"Appointment", iId);
        m_pStore->CountFailure();
        return false;
    }
    std::unique_ptr<Response> response(pResponse);
    std::wstring wsError;
    Ostrel::Mail::AppointmentPtr pItem = Ostrel::Mail::ReadCalendarReply(response->GetDocument(), wsError);
    if (!pItem || pItem->GetId() != iId) {
        OSTLOG_ERROR(L"%s %d skipped: the server's reply breaks the rules (%s)", bTask ? L"Task" : L"Appointment", iId,
                     pItem ? L"another item" : wsError.c_str());
        m_pStore->CountFailure();
        return false;
    }
    const size_t cFailedBefore = m_pStore->Counts().cFailed;
    m_pStore->WriteCalendarItem(iId, *pItem, bTask, Listed(iId, static_cast<int32_t>(pItem->GetParentFolder())));
    return m_pStore->Counts().cFailed == cFailedBefore;
}

}  // namespace OstrelCli
