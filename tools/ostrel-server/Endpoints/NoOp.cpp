// NoOpRequest: the cheapest call, used to check that a token is still valid.
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"

namespace {

OstrelServer::SoapEndpoint s_noOp("NoOpRequest", [](const OstrelServer::SoapCall& call) {
    std::optional<OstrelServer::SoapReply> fault;
    OstrelServer::RequireToken(call, fault);
    if (fault)
        return *fault;
    return OstrelServer::SoapReply::Body("<NoOpResponse xmlns=\"urn:ostrelMail\"/>");
});

}  // namespace
