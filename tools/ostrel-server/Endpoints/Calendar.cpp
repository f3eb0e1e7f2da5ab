// GetAppointmentRequest, GetTaskRequest, SetAppointmentRequest and SetTaskRequest over the
// CalendarBook (see Calendar.h).
#include "ostrel-server/Calendar.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Mailbox.h"
#include "ostrel-server/Server.h"

namespace OstrelServer {

static SoapEndpoint s_getAppointment("GetAppointmentRequest", [](const SoapCall& call) {
    return call.server.State<CalendarBook>().GetItem(call.doc, false);
});

static SoapEndpoint s_getTask("GetTaskRequest", [](const SoapCall& call) {
    return call.server.State<CalendarBook>().GetItem(call.doc, true);
});

static SoapEndpoint s_setAppointment("SetAppointmentRequest", [](const SoapCall& call) {
    return call.server.State<CalendarBook>().SetItem(call.http.body, false, call.server.State<UploadStore>());
});

static SoapEndpoint s_setTask("SetTaskRequest", [](const SoapCall& call) {
    return call.server.State<CalendarBook>().SetItem(call.http.body, true, call.server.State<UploadStore>());
});

}  // namespace OstrelServer
