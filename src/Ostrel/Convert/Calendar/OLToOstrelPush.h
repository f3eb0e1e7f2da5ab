// Sends an appointment or task of the store to the server and records the answer on the item.
//
// A push survives interruption: before anything is sent the item gets its iCalendar UID (when it
// has none) and a pending mark, both saved with the item. The server files calendar items by UID,
// so sending the same item again replaces what an interrupted push stored instead of adding a
// second copy; the pending mark tells the next run which items still have to go. Only after the
// server's answer is the server id stamped and the mark cleared.
#pragma once

#include "Platform/Mapi/Mapi.h"

#include <string>
#include <vector>

namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace Ostrel::Mail {

class CalendarPusher {
public:
    CalendarPusher(Rpc::OstrelConnection& oc, IMsgStore* pStore, IAddrBook* pAddrBook, std::wstring wsOwnerName,
                   std::wstring wsOwnerEmail);

    // Prepare, Send and Complete in turn; *plServerId (may be null) receives the server id.
    HRESULT Push(IMessage* pItem, LONG* plServerId);

    // UID and pending mark, saved.
    HRESULT Prepare(IMessage* pItem);
    // Converts the item, uploads its attachments and sends it; the server's id, or a failure (the server's error or an
    // interrupted connection gives E_FAIL, logged) with the item still pending.
    HRESULT Send(IMessage* pItem, LONG* plServerId);
    // Stamps the server id and clears the pending mark, saved.
    HRESULT Complete(IMessage* pItem, LONG lServerId);

    // Deletes the server's copy of an item deleted in the store (server id, task or appointment);
    // E_FAIL, logged, when the server refuses or cannot be reached.
    HRESULT Delete(LONG lServerId, bool bTask);

    // The item was prepared and not completed since.
    static bool IsPending(IMessage* pItem);
    // Entry ids of the folder's items that are pending.
    static HRESULT PendingItems(IMAPIFolder* pFolder, std::vector<std::vector<BYTE>>& entryIds);

private:
    Rpc::OstrelConnection& m_oc;
    IMsgStore* m_pStore;
    IAddrBook* m_pAddrBook;
    std::wstring m_wsOwnerName;
    std::wstring m_wsOwnerEmail;
};

}  // namespace Ostrel::Mail
