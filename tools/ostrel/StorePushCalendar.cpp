// Appointments and tasks made or edited in the store's calendar and task folders go to the server
// through the calendar pusher, which makes a repeated push replace what an interrupted one stored
// (the server files calendar items by their UID). An item is edited when its modification time is
// later than the baseline's stamp; one the pusher left pending is sent again. An edited item the
// server changed since the pull is held back: the next pull keeps the local version as a conflict
// copy and writes the server's.
#include "StorePush.h"

#include "Ostrel/Convert/Calendar/OLToOstrelPush.h"
#include "Ostrel/Store/MailItem.h"
#include "Util/Log/Log.h"

namespace OstrelCli {

using Platform::ComPtr;

void StorePush::PushCalendarFolder(IMAPIFolder* pFolder, int32_t iFolderId, PushReport& report) {
    Ostrel::Mail::CalendarPusher pusher(m_oc, m_pStore, m_pAddrBook, m_wsOwnerName, m_wsOwnerEmail);
    for (const PushCandidate& candidate : Candidates(pFolder)) {
        if (candidate.kind != Ostrel::Mail::MIT_APPOINTMENT && candidate.kind != Ostrel::Mail::MIT_TASK)
            continue;
        const LONG lKnown = candidate.lId;
        ComPtr<IMessage> pItem = OpenMessage(candidate.entryId);
        if (!pItem) {
            ++report.cFailed;
            continue;
        }
        ItemBaseline before;
        if (lKnown && m_mailbox.Baseline().Read(pItem.Get(), before)) {
            const ServerSide server = ServerChangeSince(lKnown, before);
            if (server == ServerSide::Changed) {
                ++report.cConflicts;
                continue;
            }
            if (server == ServerSide::Unknown) {
                ++report.cFailed;
                continue;
            }
        }
        LONG lId = 0;
        const HRESULT hr = pusher.Push(pItem.Get(), &lId);
        if (FAILED(hr) || lId <= 0 || FAILED(Complete(pItem.Get(), lId, iFolderId))) {
            OSTLOG_ERROR(L"Calendar item %d of folder %d was not sent, hr: %x", lKnown, iFolderId,
                         static_cast<unsigned>(hr));
            ++report.cFailed;
            continue;
        }
        ++report.cCalendar;
    }
}

}  // namespace OstrelCli
