// NoOpRequest: the cheapest call, used to check that a token is still valid.
#include "ostrel-server/Endpoint.h"

namespace {

OstrelServer::SoapEndpoint s_noOp("NoOpRequest", [](const OstrelServer::SoapCall&) {
    return OstrelServer::SoapReply::Body("<NoOpResponse xmlns=\"urn:ostrelMail\"/>");
});

}  // namespace
