// Reads the server's answer to GetAppointmentRequest or GetTaskRequest into the calendar model.
//
// The item element (`appt` or `task`) carries id, uid, folder ("l"), modification time ("md",
// Unix seconds), next alarm ("nextAlarm", Unix milliseconds) and tags ("t", "tn"); its children
// are the series (`default`), modified instances (`except`) and cancelled instances (`cancel`),
// each holding one `m` with the same vocabulary SetAppointmentRequest writes: `tz` elements, then
// `inv` with its dates, organizer, attendees, rule, alarm and extended properties, then `su` and
// the `mp` body parts. Parts kept as files (cd="attachment" or a file name) are listed on their
// invitation by part id, name, type and size, for the conversion to fetch. A cancelled instance
// also becomes a cancel-node id of the series.
//
// The reply comes from the network: every value is checked, unknown elements are skipped, and a
// reply without a readable series gives null with the reason.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Platform/Xml/Dom.h"

namespace Ostrel::Mail {

struct AppointmentDeleter {
    void operator()(Appointment* p) const { Appointment::destroy(p); }
};
using AppointmentPtr = std::unique_ptr<Appointment, AppointmentDeleter>;

// The item of a parsed reply document.
AppointmentPtr ReadCalendarReply(IXMLDOMDocument2* pDocument, std::wstring& wsError);
// The item of a reply as it came from the server (UTF-8 XML).
AppointmentPtr ReadCalendarReplyXml(std::string_view xml, std::wstring& wsError);
// One `appt` or `task` element.
AppointmentPtr ReadCalendarItem(IXMLDOMNode* pItem, std::wstring& wsError);

}  // namespace Ostrel::Mail
