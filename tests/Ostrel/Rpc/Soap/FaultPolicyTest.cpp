#include "Ostrel/Rpc/Soap/RPCFaultPolicy.h"
#include "Platform/Ui/ScriptedUi.h"
#include "SoapTestSupport.h"
#include "Support/SessionDouble.h"
#include "Util/Log/Log.h"
#include "Util/Text/Localized.h"

#include <map>
#include <memory>
#include <typeinfo>
#include <vector>

using namespace Ostrel::Rpc;
using namespace SoapTest;

namespace {

using FakeSession = TestSupport::SessionDouble;

struct Deleter {
    void operator()(Response* p) const { Response::Manager::DeleteResponse(p); }
};
using ResponsePtr = std::unique_ptr<Response, Deleter>;

ResponsePtr Fault(const wchar_t* code) {
    auto doc = Document(FaultEnvelope(code));
    return ResponsePtr(Response::Manager::NewResponse(doc.Get()));
}

// What the policy did: "false", "true", or the thrown class and its error code.
std::string Outcome(Response* response, bool throwAll, IUserSessionAuth* session) {
    try {
        return CheckForErrorAndReAuthIfReqd(response, throwAll, session) ? "true" : "false";
    } catch (const SoapFaultResponse& e) {
        std::wstring code = e.ErrorCode();
        std::wstring type = e.ExcepType();
        return std::string(type.begin(), type.end()) + " " + std::string(code.begin(), code.end());
    }
}

}  // namespace

class FaultPolicy : public SoapFixture {};

TEST_F(FaultPolicy, ServiceConditionsAreAlwaysThrownAsTheirClass) {
    FakeSession session;
    const struct {
        const wchar_t* pwszCode;
        const char* pszThrown;
    } rows[] = {
        {L"account.MAINTENANCE_MODE", "AccountServiceException_MAINTENANCE_MODE account.MAINTENANCE_MODE"},
        {L"service.TEMPORARILY_UNAVAILABLE",
         "AccountServiceException_MAINTENANCE_MODE service.TEMPORARILY_UNAVAILABLE"},
        {L"mail.MAINTENANCE", "MailServiceException_MAINTENANCE mail.MAINTENANCE"},
        {L"mail.ALREADY_EXISTS", "MailServiceException_ALREADY_EXISTS mail.ALREADY_EXISTS"},
        {L"service.PERM_DENIED", "ServiceException_PERM_DENIED service.PERM_DENIED"},
        {L"mail.MUST_RESYNC", "MailServiceException_MUST_RESYNC mail.MUST_RESYNC"},
    };
    for (const auto& row : rows)
        for (bool throwAll : {false, true}) {
            auto response = Fault(row.pwszCode);
            EXPECT_EQ(Outcome(response.get(), throwAll, &session), row.pszThrown);
        }
    EXPECT_TRUE(session.invalidations.empty());

    // The thrown copy can be caught as its own class and outlives the response it came from.
    auto resync = Fault(L"mail.MUST_RESYNC");
    try {
        CheckForErrorAndReAuthIfReqd(resync.get(), false, nullptr);
        FAIL() << "not thrown";
    } catch (const MailServiceException_MUST_RESYNC& e) {
        resync.reset();
        EXPECT_STREQ(e.ErrorCode(), L"mail.MUST_RESYNC");
        EXPECT_NE(e.GetDocument(), nullptr);
    }
}

TEST_F(FaultPolicy, AuthenticationFaultsReauthenticateOnceThenThrow) {
    Ostrel::Util::LogCapture capture;
    FakeSession session;
    auto failed = Fault(L"account.AUTH_FAILED");
    EXPECT_EQ(Outcome(failed.get(), false, &session), "true");
    auto expired = Fault(L"service.AUTH_EXPIRED");
    EXPECT_EQ(Outcome(expired.get(), false, &session), "true");
    auto password = Fault(L"account.CHANGE_PASSWORD");
    EXPECT_EQ(Outcome(password.get(), false, &session), "true");
    EXPECT_EQ(session.invalidations, (std::vector<int>{0, 1, 0}));
    EXPECT_TRUE(capture.Contains(L"soap response got exception, error code (service.AUTH_EXPIRED)"));

    // Without a session there is nobody to re-authenticate.
    EXPECT_EQ(Outcome(failed.get(), false, nullptr), "false");
    // On the second attempt everything is thrown, as a SoapFaultResponse.
    EXPECT_EQ(Outcome(failed.get(), true, &session), "SoapFaultResponse account.AUTH_FAILED");
    EXPECT_EQ(Outcome(expired.get(), true, &session), "SoapFaultResponse service.AUTH_EXPIRED");
    EXPECT_EQ(session.invalidations.size(), 3u);
}

TEST_F(FaultPolicy, OtherFaultsAreThrownAndPlainResponsesPass) {
    Ostrel::Util::LogCapture capture;
    FakeSession session;
    for (const wchar_t* code : {L"mail.NO_SUCH_ITEM", L"service.AUTH_REQUIRED", L"account.TWO_FACTOR_AUTH_FAILED"}) {
        auto response = Fault(code);
        std::wstring wsCode = code;
        EXPECT_EQ(Outcome(response.get(), false, &session),
                  "SoapFaultResponse " + std::string(wsCode.begin(), wsCode.end()));
    }
    EXPECT_TRUE(capture.Contains(L"the error (mail.NO_SUCH_ITEM) can not be handled here."));
    auto plain = ResponsePtr(Response::Manager::NewResponse(Document(Envelope(L"<SyncResponse/>")).Get()));
    EXPECT_EQ(Outcome(plain.get(), true, &session), "false");
    EXPECT_EQ(Outcome(nullptr, true, &session), "false");
    EXPECT_TRUE(session.invalidations.empty());
}

TEST_F(FaultPolicy, ServiceFaultHeaders) {
    auto reader = [](std::map<std::wstring, std::wstring> headers, DWORD failOn = 0) {
        return [headers, failOn](const wchar_t* name, std::wstring& value) -> DWORD {
            auto it = headers.find(name);
            if (it == headers.end())
                return 12150;
            if (failOn)
                return failOn;
            value = it->second;
            return 0;
        };
    };
    std::wstring code, message;
    // DoSFilter wins over the fault headers, whatever its case.
    EXPECT_TRUE(GetServiceFaultInfo(reader({{L"X-Ostrel-Fault-Code", L"service.FAILURE"},
                                            {L"X-Ostrel-Fault-Message", L"boom"},
                                            {L"DoSFilter", L"UnAvailable"}}),
                                    code, message));
    EXPECT_EQ(code, L"DoSFilter");
    EXPECT_EQ(message, L"UnAvailable");

    EXPECT_TRUE(GetServiceFaultInfo(reader({{L"X-Ostrel-Fault-Code", L"service.FAILURE"},
                                            {L"X-Ostrel-Fault-Message", L"boom"},
                                            {L"DoSFilter", L"ok"}}),
                                    code, message));
    EXPECT_EQ(code, L"service.FAILURE");
    EXPECT_EQ(message, L"boom");

    EXPECT_FALSE(GetServiceFaultInfo(reader({{L"X-Ostrel-Fault-Code", L"service.FAILURE"}}), code, message));
    EXPECT_TRUE(code.empty());
    EXPECT_FALSE(GetServiceFaultInfo(reader({}), code, message));

    Ostrel::Util::LogCapture capture;
    EXPECT_FALSE(GetServiceFaultInfo(reader({{L"DoSFilter", L"unavailable"}}, 12019), code, message));
    EXPECT_TRUE(capture.Contains(L"WinHttpQueryHeaders(DoSFilter) returned"));
}

TEST_F(FaultPolicy, OnlyStatusesAbove500AreHttpFaults) {
    class Trace : public IConnectionTrace {
    public:
        std::wstring GetRequestDetails() const override { return L"POST /service/soap/SyncRequest"; }
        std::string GetCallerFunction() const override { return "Ostrel::Rpc::Connection::SendRequestSynchronous"; }
        int GetCallerLine() const override { return 120; }
    } trace;
    Ostrel::Util::LogCapture capture;
    EXPECT_NO_THROW(CheckHttpStatus(200, "f", 1, &trace));
    EXPECT_NO_THROW(CheckHttpStatus(500, "f", 1, &trace));
    try {
        CheckHttpStatus(502, "Ostrel::Rpc::OstrelConnection::Send", 88, &trace);
        FAIL() << "not thrown";
    } catch (const MailboxUnreachableException& e) {
        EXPECT_STREQ(e.ExcepText(), L"502 Bad gateway");
        EXPECT_STREQ(e.ExcepType(), L"NginxException");
        EXPECT_EQ(e.ExcepNum(0), 502u);
    }
    EXPECT_TRUE(
        capture.Contains(L"'POST /service/soap/SyncRequest' at 'SendRequestSynchronous#120' returned "
                         L"'502 Bad gateway' -> throw NginxException:  [Send#88]"));
    try {
        CheckHttpStatus(599, "f", 1, nullptr);
        FAIL() << "not thrown";
    } catch (const NginxException& e) {
        EXPECT_STREQ(e.ExcepText(), L"599 Unknown Error");
    }
}

TEST_F(FaultPolicy, SslMismatchOnlyBeforeTheFirstResponse) {
    ResetResponseReceivedForTesting();
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(IsSSLError(12152, 1), 1);
    EXPECT_EQ(IsSSLError(12175, 1), 1);
    EXPECT_EQ(IsSSLError(12029, 1), 0);
    EXPECT_TRUE(capture.Contains(L"first request, this is potentially an SSL mismatch."));
    EXPECT_TRUE(capture.Contains(L"[12029] is not an SSL mismatch code."));
    NoteResponseReceived();
    EXPECT_EQ(IsSSLError(12152, 2), 0);
    EXPECT_EQ(IsSSLError(12175, 2), 0);
    ResetResponseReceivedForTesting();
}

TEST_F(FaultPolicy, ConnectionFailuresAskOnceAndGoOffline) {
    auto ui = std::make_shared<Platform::Ui::ScriptedUi>();
    Platform::Ui::SetCurrent(ui);
    int switches = 0;
    Platform::Host::SetOfflineSwitcher([&](bool) {
        ++switches;
        Platform::Host::SetOffline(true);
        return S_OK;
    });
    HWND owner = reinterpret_cast<HWND>(0x1234);

    EXPECT_EQ(HandleConnectionFailure(owner, WinHttpException(12029, 0)), S_FALSE);
    EXPECT_TRUE(ui->History().empty());

    EXPECT_EQ(HandleConnectionFailure(owner, WinHttpException(12175, 1)), S_OK);
    ASSERT_EQ(ui->History().size(), 1u);
    auto shown = ui->History()[0];
    EXPECT_EQ(shown.hwndOwner, owner);
    EXPECT_EQ(shown.uType & MB_ICONMASK, MB_ICONEXCLAMATION);
    EXPECT_EQ(shown.wsText, Ostrel::Util::GetLocalizedString("MBOX_CONNSETMISMATCH"));
    EXPECT_EQ(shown.wsCaption, Ostrel::Util::GetLocalizedString("MBOX_CAPTION_CONNSETMISMATCH"));
    EXPECT_EQ(switches, 1);

    // Already offline: nothing more to do.
    Ostrel::Util::LogCapture capture;
    EXPECT_EQ(HandleConnectionFailure(owner, WinHttpException(12175, 1)), S_FALSE);
    EXPECT_TRUE(capture.Contains(L"Outlook is in offline mode. do not need to do anything else"));
    EXPECT_EQ(ui->History().size(), 1u);

    // The handheld-server edition has no one to ask.
    Platform::Host::SetOffline(false);
    SetHandheldServerEdition(true);
    EXPECT_EQ(HandleConnectionFailure(owner, WinHttpException(12175, 1)), S_FALSE);
    EXPECT_EQ(switches, 1);
    Platform::Ui::SetCurrent(nullptr);
}
