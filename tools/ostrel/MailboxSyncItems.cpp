// MailboxSync: the global address list, read from the server after the mailbox.
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

constexpr size_t kMaxGalPages = 1000;

}  // namespace

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
