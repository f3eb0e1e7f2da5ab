// The attachments of a converted calendar item, uploaded for SetAppointmentRequest: those of the
// series and of each modified instance, read from the message each invitation holds. Cancelled
// instances carry none. A recurring item keeps its modified instances as attachments of its
// message (flagged as exceptions); those are the item's structure, not the user's files, and are
// never sent. They are passed over here rather than removed from a copy of the message: copying
// every recurring item with modified instances cost more than all the rest of a push.
//
// Files go up as they are; an embedded message goes up as its MIME text (message/rfc822).
// Attachments of other kinds (links, OLE objects) have nothing the server could store and are
// left out, with a warning in the log.
#pragma once

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Platform/Mapi/Mapi.h"

#include <memory>
#include <vector>

namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace Ostrel::Mail {

class InvitationAttachments {
public:
    InvitationAttachments(Rpc::OstrelConnection& oc, IAddrBook* pAddrBook);
    ~InvitationAttachments();
    InvitationAttachments(const InvitationAttachments&) = delete;
    InvitationAttachments& operator=(const InvitationAttachments&) = delete;

    // Uploads the attachments of the series and of each modified instance. An attachment that
    // cannot be read or uploaded fails the whole (logged), so that the item is not stored on the
    // server without it. RpcException does not escape.
    HRESULT Upload(Appointment& appointment);
    // The uploads by invitation, for SetAppointmentRequest; null when there are none.
    Rpc::AppointmentAttachmentMap* Map() { return m_map.empty() ? nullptr : &m_map; }

private:
    HRESULT UploadOf(Inv& inv);
    HRESULT UploadOne(IMessage* pMessage, const SRow& row, Inv& inv);

    Rpc::OstrelConnection& m_oc;
    IAddrBook* m_pAddrBook;
    std::vector<std::unique_ptr<Rpc::AttachmentDetails>> m_details;
    Rpc::AppointmentAttachmentMap m_map;
};

}  // namespace Ostrel::Mail
